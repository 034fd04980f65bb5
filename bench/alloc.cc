// Counting allocator: the executable's malloc family and operator new take
// precedence over glibc's for every shared object of the process, so the
// library's and the host platform's allocations all pass through here.
#include "alloc.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string_view>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace gardbench {
namespace {

bool g_on = false;
AllocCount g_count;
uintptr_t g_libLow = 0, g_libHigh = 0;

void note(std::size_t size, const void* caller) {
    if (!g_on) return;
    ++g_count.calls;
    g_count.bytes += size;
    if (size > g_count.largest) g_count.largest = size;
    auto at = reinterpret_cast<uintptr_t>(caller);
    if (at >= g_libLow && at < g_libHigh) {
        ++g_count.library;
        if (size > g_count.libraryLargest) g_count.libraryLargest = size;
    }
}

}  // namespace

void locateLibrary(const void* anyLibraryFunction) {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(anyLibraryFunction, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr)
        return;
    // The executable segments of the object that holds the function.
    struct Range {
        const char* name;
        uintptr_t low, high;
    } range{map->l_name, UINTPTR_MAX, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* obj, std::size_t, void* data) {
            auto* r = static_cast<Range*>(data);
            if (obj->dlpi_name == nullptr || std::string_view(obj->dlpi_name) != r->name) return 0;
            for (int i = 0; i < obj->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = obj->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
                uintptr_t low = obj->dlpi_addr + ph.p_vaddr;
                if (low < r->low) r->low = low;
                if (low + ph.p_memsz > r->high) r->high = low + ph.p_memsz;
            }
            return 1;
        },
        &range);
    g_libLow = range.low;
    g_libHigh = range.high;
}

void startCounting() {
    g_count = AllocCount{};
    g_on = true;
}

AllocCount stopCounting() {
    g_on = false;
    return g_count;
}

}  // namespace gardbench

extern "C" {
void* malloc(std::size_t size) {
    gardbench::note(size, __builtin_return_address(0));
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    gardbench::note(n * size, __builtin_return_address(0));
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    gardbench::note(size, __builtin_return_address(0));
    return __libc_realloc(p, size);
}
void free(void* p) { __libc_free(p); }
}

// operator new is replaced too, so that the caller seen is the code that
// said `new`, not libstdc++.
void* operator new(std::size_t size) {
    gardbench::note(size, __builtin_return_address(0));
    void* p = __libc_malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size) {
    gardbench::note(size, __builtin_return_address(0));
    void* p = __libc_malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    gardbench::note(size, __builtin_return_address(0));
    return __libc_malloc(size != 0 ? size : 1);
}
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }
