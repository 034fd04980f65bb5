#include "stack.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

namespace gardbench {
namespace {

constexpr std::size_t kStackSize = 1 << 20;
constexpr unsigned char kPaint = 0xA5;

// Bytes of the painted stack used by a thread running `call` (or nothing).
std::size_t used(const std::function<void()>* call) {
    void* stack = nullptr;
    if (posix_memalign(&stack, 4096, kStackSize) != 0) return 0;
    std::memset(stack, kPaint, kStackSize);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kStackSize);
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        auto* fn = static_cast<const std::function<void()>*>(arg);
        if (fn != nullptr) (*fn)();
        return nullptr;
    };
    std::size_t result = 0;
    if (pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(call)) == 0) {
        pthread_join(thread, nullptr);
        // The stack grows down: the lowest byte that changed is the deepest.
        const auto* bytes = static_cast<const unsigned char*>(stack);
        std::size_t low = 0;
        while (low < kStackSize && bytes[low] == kPaint) ++low;
        result = kStackSize - low;
    }
    pthread_attr_destroy(&attr);
    std::free(stack);
    return result;
}

}  // namespace

std::size_t peakStack(const std::function<void()>& call) {
    const std::size_t base = used(nullptr);
    const std::size_t total = used(&call);
    return total > base ? total - base : 0;
}

}  // namespace gardbench
