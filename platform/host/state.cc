// The state directory: where it is, its defaults, and the named values in
// it, read through an in-process cache that follows every process's writes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace fs = std::filesystem;

namespace gardhost {
namespace {

std::mutex g_mutex;  // the state directory
std::string g_dir;   // empty until chosen
std::atomic<bool> g_ready{false};  // g_dir created and seeded
// -1: not read yet from the environment.
std::atomic<int> g_position{-1};  // GARD_HOST_SP
std::atomic<int> g_noSync{-1};    // GARD_HOST_NOSYNC
std::atomic<int> g_callLog{-1};   // GARD_HOST_CALLLOG

// Whether the variable is "1", read from the environment the first time.
bool envFlag(std::atomic<int>& cached, const char* variable) {
    int on = cached;
    if (on < 0) {
        const char* value = std::getenv(variable);
        on = value != nullptr && std::strcmp(value, "1") == 0 ? 1 : 0;
        cached = on;
    }
    return on == 1;
}

// Values as last read or written by this process; a missing one is kept too.
struct Cached {
    bool present = false;
    std::vector<uint8_t> bytes;
};
std::mutex g_valuesMutex;
std::map<std::string, Cached, std::less<>> g_values;
std::atomic<uint64_t> g_generation{0};  // counts changes to g_values

// The change counters of the state directory, <state>/generation, mapped
// by every process that uses it: each write of a value bumps the first once
// the write is complete, so one load tells a reader whether its cache still
// holds; a write of the faults file also bumps the second, which every
// platform call looks at. Without them (a file that cannot be made or
// mapped) nothing is cached.
constexpr std::size_t kCounterSize = 16;
enum Counter { kValues, kFaults };
std::atomic<uint64_t*> g_counter{nullptr};  // changed under g_valuesMutex
bool g_counterWritable = false;
constexpr uint64_t kUnseen = ~uint64_t{0};
uint64_t g_seen = kUnseen;  // the counter g_values was filled under (g_valuesMutex)

// A counter's value, or kUnseen without one.
uint64_t counterNow(Counter which = kValues) {
    uint64_t* counter = g_counter.load(std::memory_order_acquire);
    return counter != nullptr ? std::atomic_ref<uint64_t>(counter[which]).load(std::memory_order_acquire)
                              : kUnseen;
}

// After the faults file was written or removed.
void announceFaults() {
    uint64_t* counter = g_counter.load(std::memory_order_acquire);
    if (counter != nullptr && g_counterWritable)
        std::atomic_ref<uint64_t>(counter[kFaults]).fetch_add(1, std::memory_order_acq_rel);
}

void unmapCounter() {
    if (uint64_t* counter = g_counter.exchange(nullptr)) ::munmap(counter, kCounterSize);
    g_counterWritable = false;
}

void mapCounter(const std::string& dir) {
    unmapCounter();
    const std::string path = dir + "/generation";
    bool writable = true;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        writable = false;  // a read-only state directory: nobody writes there
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) return;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // Growing an existing file to its size never changes a counter's value.
    if (ok && static_cast<std::size_t>(st.st_size) < kCounterSize)
        ok = writable && ::ftruncate(fd, kCounterSize) == 0;
    void* map = ok ? ::mmap(nullptr, kCounterSize, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                            MAP_SHARED, fd, 0)
                   : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED) return;
    g_counterWritable = writable;
    g_counter = static_cast<uint64_t*>(map);
}

// Under g_valuesMutex: empties the cache when some process completed a
// write since it was filled, and always when there is no counter.
void followWriters() {
    const uint64_t now = counterNow();
    if (now == g_seen && now != kUnseen) return;
    g_values.clear();
    g_seen = now;
    ++g_generation;
}

// Under g_valuesMutex, after a write completed: tells every process. The
// cache stays only when no other process wrote since it was filled; then
// `keep` may put this write's own result into it.
template <class Keep>
void announce(Keep&& keep) {
    ++g_generation;
    uint64_t* counter = g_counter.load(std::memory_order_relaxed);
    if (counter == nullptr || !g_counterWritable) {
        g_values.clear();
        g_seen = kUnseen;
        return;
    }
    const uint64_t before = std::atomic_ref<uint64_t>(*counter).fetch_add(1, std::memory_order_acq_rel);
    if (before != g_seen) {
        g_values.clear();
    } else {
        keep();
    }
    g_seen = before + 1;
}
void announce() {
    announce([] {});
}

// Descriptors of the files appended to, kept open: checking that one is
// still linked costs less than looking its path up again.
std::mutex g_appendMutex;
std::map<std::string, int, std::less<>> g_appends;

void forgetValues() {
    {
        std::lock_guard<std::mutex> lock(g_valuesMutex);
        g_values.clear();
        g_seen = kUnseen;
        ++g_generation;
    }
    std::lock_guard<std::mutex> lock(g_appendMutex);
    for (const auto& [name, fd] : g_appends) ::close(fd);
    g_appends.clear();
}

// After `name` was written outside writeValue: every process reads it afresh.
void forget(std::string_view name) {
    std::lock_guard<std::mutex> lock(g_valuesMutex);
    if (auto it = g_values.find(name); it != g_values.end()) g_values.erase(it);
    announce();
}

std::string defaultDir() {
    if (const char* d = std::getenv("GARD_STATE_DIR"); d != nullptr && *d != '\0') return d;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x != nullptr && *x != '\0')
        return std::string(x) + "/gard";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && *home != '\0' ? home : ".") + "/.local/state/gard";
}

// Names stay inside the state directory: relative, no ".." component.
bool validName(std::string_view name) {
    if (name.empty() || name.front() == '/') return false;
    for (std::size_t at = 0; at <= name.size();) {
        std::size_t end = std::min(name.find('/', at), name.size());
        if (name.substr(at, end - at) == "..") return false;
        at = end + 1;
    }
    return true;
}

// One spelling per value, so that "a//b" and "a/./b" share the cached "a/b".
bool plain(std::string_view name) {
    for (std::size_t at = 0; at <= name.size();) {
        std::size_t end = std::min(name.find('/', at), name.size());
        std::string_view part = name.substr(at, end - at);
        if (part.empty() || part == ".") return false;
        at = end + 1;
    }
    return true;
}

std::string canonical(std::string_view name) {
    std::string out;
    for (std::size_t at = 0; at <= name.size();) {
        std::size_t end = std::min(name.find('/', at), name.size());
        std::string_view part = name.substr(at, end - at);
        if (!part.empty() && part != ".") {
            if (!out.empty()) out += '/';
            out += part;
        }
        at = end + 1;
    }
    return out;
}

std::vector<uint8_t> u32Bytes(uint32_t v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

int putIn(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::path p = fs::path(dir) / name;
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    return detail::replaceFile(p.string(), bytes.data(), bytes.size());
}

// True when it wrote something.
bool seedIfNew(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (fs::exists(fs::path(dir) / ".seeded", ec)) return false;
    auto seed = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
        if (!fs::exists(fs::path(dir) / name, ec)) putIn(dir, name, bytes);
    };
    for (uint32_t unit : {0x200u, 0x201u}) {
        std::string u = unitName(unit);
        seed("vpd/" + u + "/present", {1});
        seed("vpd/" + u + "/keyword", std::vector<uint8_t>(32, 0xFF));
        seed("vorm/functional/" + u, {1});
    }
    for (int sp : {0, 1}) {
        auto reg = [&](const std::string& key) { return regName(key, sp); };
        seed(reg("dscv/QelPosition"), {static_cast<uint8_t>(sp)});
        seed(reg("dscv/QelRole"), {static_cast<uint8_t>(sp == 0 ? 1 : 0)});
        seed(reg("dscv/SiblingState"), {1});
        seed(reg("hutl/HOMSystemType"), u32Bytes(0x10030000));
        seed(reg("smgr/StateData"), u32Bytes(0));
        const std::string root = "/opt/p3";
        seed(reg("fstp/P3_Root"), std::vector<uint8_t>(root.begin(), root.end()));
    }
    seed("vorm/policy/0", u32Bytes(0));
    seed("vorm/policy/11", u32Bytes(0));
    seed("vorm/deconfig_out", u32Bytes(0));
    putIn(dir, ".seeded", {});
    return true;
}

// A name mkostemp made from ".<name>.XXXXXX".
bool temporaryName(std::string_view n) {
    if (n.size() < 9 || n[0] != '.' || n[n.size() - 7] != '.') return false;
    return std::all_of(n.end() - 6, n.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// Whether `path` still names the file open as `fd`.
bool stillNamed(const char* path, int fd) {
    struct stat byName {}, open {};
    return ::lstat(path, &byName) == 0 && ::fstat(fd, &open) == 0 && byName.st_dev == open.st_dev &&
           byName.st_ino == open.st_ino;
}

// Removes the temporary files of writers that died before their rename. A
// live writer holds the lock of its temporary file until the rename, so
// only those whose lock can be taken go.
void sweepTemporaries(const std::string& dir) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!temporaryName(name) || !it->is_regular_file(ec)) continue;
        const std::string path = it->path().string();
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && stillNamed(path.c_str(), fd)) ::unlink(path.c_str());
        ::close(fd);
    }
}

// The whole content of a regular file; false when there is none.
bool loadFile(const std::string& path, std::vector<uint8_t>& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.resize(256);
    std::size_t used = 0;
    bool ok = true;
    for (;;) {
        if (used == out.size()) out.resize(out.size() * 2);
        ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;  // a directory fails here (EISDIR)
            break;
        }
        used += static_cast<std::size_t>(n);
        if (used < out.size()) break;  // a file reads short only at its end: no read of 0 needed
    }
    ::close(fd);
    out.resize(ok ? used : 0);
    return ok;
}

// Runs `use` on the cached value, reading it from its file on first use.
template <class Use>
bool withValue(std::string_view name, Use&& use) {
    std::string spelled;
    if (!plain(name)) name = spelled = canonical(name);
    const std::string& root = detail::stateRoot();
    std::lock_guard<std::mutex> lock(g_valuesMutex);
    followWriters();
    auto it = g_values.find(name);
    if (it == g_values.end()) {
        Cached c;
        std::string path;
        path.reserve(root.size() + 1 + name.size());
        path.append(root).append(1, '/').append(name);
        c.present = loadFile(path, c.bytes);
        it = g_values.emplace(std::string(name), std::move(c)).first;
    }
    if (!it->second.present) return false;
    use(it->second.bytes);
    return true;
}

int writeAll(int fd, const uint8_t* data, std::size_t size, off_t offset = -1) {
    while (size > 0) {
        ssize_t n = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        if (offset >= 0) offset += n;
    }
    return 0;
}

// Writes the pieces in order, zero pieces from a block of zeros.
int writePieces(int fd, const detail::Piece* pieces, std::size_t count) {
    static const uint8_t kZeros[4096] = {};
    iovec iov[16];
    int n = 0;
    auto flush = [&]() -> int {
        iovec* v = iov;
        while (n > 0) {
            ssize_t w = ::writev(fd, v, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            auto done = static_cast<std::size_t>(w);
            while (n > 0 && done >= v->iov_len) {
                done -= v->iov_len;
                ++v;
                --n;
            }
            if (n > 0) {
                v->iov_base = static_cast<char*>(v->iov_base) + done;
                v->iov_len -= done;
            }
        }
        return 0;
    };
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t left = pieces[i].size;
        const auto* data = static_cast<const uint8_t*>(pieces[i].data);
        while (left > 0) {
            std::size_t len = data != nullptr ? left : std::min(left, sizeof kZeros);
            iov[n++] = iovec{const_cast<uint8_t*>(data != nullptr ? data : kZeros), len};
            left -= len;
            if (n == 16)
                if (int err = flush(); err != 0) return err;
        }
    }
    return flush();
}

int syncDir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

// A new temporary file from `tmpl` (".<name>.XXXXXX"), locked: the sweep of
// another process may take one in the moment between its creation and its
// lock, so a file no longer at its name is given up for another. The
// descriptor, or minus an errno.
int lockedTemporary(std::string& tmpl) {
    const std::size_t x = tmpl.size() - 6;
    for (int attempt = 0; attempt < 16; ++attempt) {
        tmpl.replace(x, 6, "XXXXXX");
        int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd < 0) return -errno;
        int rc;
        while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (rc == 0 && stillNamed(tmpl.c_str(), fd)) return fd;
        ::close(fd);
    }
    return -EAGAIN;
}

// Makes the directories above a value's file.
void makeParent(const std::string& path) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
}

}  // namespace

// ---- where the state lives

void setStateDir(const std::string& dir) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_dir = dir;
        g_ready = false;
    }
    g_callLog = -1;
    forgetValues();
    detail::faultsStale();
}

std::string stateDir() { return detail::stateRoot(); }

void seedDefaults() {
    const bool seeded = seedIfNew(detail::stateRoot());
    forgetValues();
    if (seeded) {
        std::lock_guard<std::mutex> lock(g_valuesMutex);
        announce();
    }
}

void reloadValues() {
    forgetValues();
    std::lock_guard<std::mutex> lock(g_valuesMutex);
    announce();
}

void setPosition(int sp) { g_position = sp; }

int position() {
    int sp = g_position;
    if (sp < 0) {
        const char* env = std::getenv("GARD_HOST_SP");
        sp = env != nullptr ? std::atoi(env) : 0;
        if (sp < 0) sp = 0;
        g_position = sp;
    }
    return sp;
}

void setSync(bool on) { g_noSync = on ? 0 : 1; }

namespace {

// Where a firmware path lands: `root` + "/root" + `path` (the path in normal
// form) under "/opt", else `path` as given.
struct Resolved {
    std::string_view root;  // empty: not a firmware path
    std::string_view given;
    std::string normal;  // the normal form, when the given one was not
    bool normalized = false;
    std::string_view path() const { return normalized ? std::string_view(normal) : given; }
};

Resolved resolve(std::string_view given) {
    // Most paths are already in normal form: no need to build it.
    bool normal = !given.empty() && given.back() != '/';
    for (std::size_t at = 0; normal && at < given.size();) {
        std::size_t end = std::min(given.find('/', at), given.size());
        std::string_view part = given.substr(at, end - at);
        normal = !(part.empty() && at != 0) && part != "." && part != "..";
        at = end + 1;
    }
    Resolved r;
    r.given = given;
    if (!normal) r.normal = fs::path(given).lexically_normal().string();
    const std::string_view p = normal ? given : std::string_view(r.normal);
    if (p == "/opt" || p.rfind("/opt/", 0) == 0) {
        r.root = detail::stateRoot();
        r.normalized = !normal;
    }
    return r;
}

}  // namespace

std::string resolvePath(const std::string& firmwarePath) {
    const Resolved r = resolve(firmwarePath);
    std::string out;
    out.reserve(r.root.size() + 5 + r.path().size());
    if (!r.root.empty()) out.append(r.root).append("/root");
    return out.append(r.path());
}

// ---- named values

bool getValue(const std::string& name, std::vector<uint8_t>& out) {
    if (!validName(name)) return false;
    return withValue(name, [&](const std::vector<uint8_t>& bytes) { out = bytes; });
}

void setValue(const std::string& name, const std::vector<uint8_t>& bytes) {
    int err = validName(name) ? detail::writeValue(canonical(name), bytes.data(), bytes.size()) : EINVAL;
    if (err != 0)
        std::fprintf(stderr, "gardhost: cannot set %s: %s\n", name.c_str(), std::strerror(err));
    if (validName(name) && canonical(name) == "faults") {
        announceFaults();
        detail::faultsFileChanged();
    }
}

void eraseValue(const std::string& name) {
    if (!validName(name)) return;
    std::error_code ec;
    fs::remove(detail::stateRoot() + "/" + name, ec);
    const std::string key = canonical(name);
    forget(key);
    if (key == "faults") {
        announceFaults();
        detail::faultsFileChanged();
    }
}

void setU8(const std::string& name, uint8_t v) { setValue(name, {v}); }
void setU32(const std::string& name, uint32_t v) { setValue(name, u32Bytes(v)); }

std::string regName(const std::string& key, int sp) {
    return "sp" + std::to_string(sp < 0 ? position() : sp) + "/reg/" + key;
}

std::string unitName(uint32_t unit) { return detail::hex(unit); }

namespace detail {

char* resolveCopy(const char* firmwarePath) {
    const Resolved r = resolve(firmwarePath);
    const std::size_t prefix = r.root.empty() ? 0 : r.root.size() + 5;
    const std::string_view path = r.path();
    auto* out = static_cast<char*>(std::malloc(prefix + path.size() + 1));
    if (out == nullptr) return nullptr;
    if (prefix != 0) {
        std::memcpy(out, r.root.data(), r.root.size());
        std::memcpy(out + r.root.size(), "/root", 5);
    }
    std::memcpy(out + prefix, path.data(), path.size());
    out[prefix + path.size()] = '\0';
    return out;
}

const std::string& stateRoot() {
    if (g_ready.load(std::memory_order_acquire)) return g_dir;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_ready) {
        // The first use of a directory in this process: its counter mapped,
        // what dead writers left removed, the defaults seeded.
        if (g_dir.empty()) g_dir = defaultDir();
        std::error_code ec;
        fs::create_directories(g_dir, ec);
        std::lock_guard<std::mutex> values(g_valuesMutex);
        mapCounter(g_dir);
        sweepTemporaries(g_dir);
        g_values.clear();
        g_seen = kUnseen;
        ++g_generation;
        if (seedIfNew(g_dir)) announce();
        g_ready.store(true, std::memory_order_release);
    }
    return g_dir;
}

std::string chosenDir() {
    std::string dir;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_dir.empty()) g_dir = defaultDir();
        dir = g_dir;
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir;
}

bool syncOn() { return !envFlag(g_noSync, "GARD_HOST_NOSYNC"); }

bool callLogToFile() { return envFlag(g_callLog, "GARD_HOST_CALLLOG"); }

Name& Name::add(std::string_view s) {
    if (big_.empty() && len_ + s.size() <= sizeof small_) {
        if (!s.empty()) std::memcpy(small_ + len_, s.data(), s.size());
        len_ += s.size();
        return *this;
    }
    if (big_.empty()) big_.assign(small_, len_);
    big_ += s;
    return *this;
}

Name& Name::hex(uint32_t v) {
    char text[10] = {'0', 'x'};
    std::size_t n = 2;
    int shift = 28;
    while (shift > 0 && (v >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) text[n++] = "0123456789abcdef"[(v >> shift) & 15];
    return add({text, n});
}

Name& Name::dec(uint32_t v) {
    char text[10];
    std::size_t n = sizeof text;
    do {
        text[--n] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return add({text + n, sizeof text - n});
}

Name regName(std::string_view key) {
    Name n;
    n.add("sp").dec(static_cast<uint32_t>(position())).add("/reg/").add(key);
    return n;
}

bool readValue(std::string_view name, void* buffer, std::size_t capacity, std::size_t& size) {
    return withValue(name, [&](const std::vector<uint8_t>& bytes) {
        size = bytes.size();
        if (buffer != nullptr && !bytes.empty())
            std::memcpy(buffer, bytes.data(), std::min(capacity, bytes.size()));
    });
}

uint64_t valuesGeneration() {
    std::lock_guard<std::mutex> lock(g_valuesMutex);
    followWriters();
    return g_generation;
}

void dropCached(std::string_view name) {
    std::lock_guard<std::mutex> lock(g_valuesMutex);
    if (auto it = g_values.find(name); it != g_values.end()) g_values.erase(it);
}

uint64_t faultsChangeCount() {
    static std::atomic<uint64_t> uncounted{0};  // no counter: every look is a change
    const uint64_t now = counterNow(kFaults);
    return now != kUnseen ? now : ++uncounted;
}

bool numberValue(std::string_view name, uint32_t& value) {
    uint8_t b[4];
    std::size_t size = 0;
    if (!readValue(name, b, sizeof b, size)) return false;
    if (size == 1) {
        value = b[0];
    } else if (size == 2) {
        uint16_t v;
        std::memcpy(&v, b, sizeof v);
        value = v;
    } else if (size == 4) {
        std::memcpy(&value, b, sizeof value);
    } else {
        return false;
    }
    return true;
}

int writeValue(std::string_view name, const uint8_t* data, std::size_t size) {
    const std::string& root = stateRoot();
    std::string path;
    path.reserve(root.size() + 1 + name.size());
    path.append(root).append(1, '/').append(name);
    int err = -1;  // not written yet
    if (!syncOn()) {
        // In place; only a value of another length is cut to size.
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            bool sameSize = false;
            {
                std::lock_guard<std::mutex> lock(g_valuesMutex);
                followWriters();
                auto it = g_values.find(name);
                sameSize = it != g_values.end() && it->second.present && it->second.bytes.size() == size;
            }
            err = writeAll(fd, data, size, 0);
            if (err == 0 && !sameSize && ::ftruncate(fd, static_cast<off_t>(size)) != 0) err = errno;
            ::close(fd);
        }
    }
    if (err < 0) {
        // A new value, or sync on: the whole file replaced atomically.
        err = replaceFile(path, data, size);
        if (err == ENOENT) {
            makeParent(path);
            err = replaceFile(path, data, size);
        }
    }
    std::lock_guard<std::mutex> lock(g_valuesMutex);
    if (auto it = g_values.find(name); it != g_values.end()) g_values.erase(it);
    announce([&] {
        if (err == 0) g_values.emplace(std::string(name), Cached{true, {data, data + size}});
    });
    return err;
}

int replaceFile(const std::string& path, const Piece* pieces, std::size_t count, int* keep, int mode) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string tmpl = dir;
    tmpl.append("/.").append(path, slash == std::string::npos ? 0 : slash + 1).append(".XXXXXX");
    int fd = lockedTemporary(tmpl);
    if (fd < 0) return -fd;
    if (mode < 0) {
        struct stat st {};
        mode = ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : 0644;
    }
    bool sync = syncOn();
    int err = writePieces(fd, pieces, count);
    if (err == 0 && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) err = errno;
    if (err == 0 && sync && ::fsync(fd) != 0) err = errno;
    if (err == 0 && ::rename(tmpl.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmpl.c_str());
        ::close(fd);
        return err;
    }
    ::flock(fd, LOCK_UN);
    // The content is in place; a failed directory sync still is a failure,
    // since the rename may not survive a crash.
    if (sync) err = syncDir(dir);
    if (keep != nullptr && err == 0)
        *keep = fd;
    else
        ::close(fd);
    return err;
}

void appendLine(std::string_view name, std::string_view line) {
    const std::string& root = stateRoot();
    {
        std::lock_guard<std::mutex> lock(g_appendMutex);
        int fd = -1;
        if (auto it = g_appends.find(name); it != g_appends.end()) {
            // Removed or replaced since: appends go to the file now there.
            struct stat st {};
            if (::fstat(it->second, &st) == 0 && st.st_nlink > 0) {
                fd = it->second;
            } else {
                ::close(it->second);
                g_appends.erase(it);
            }
        }
        if (fd < 0) {
            std::string path;
            path.reserve(root.size() + 1 + name.size());
            path.append(root).append(1, '/').append(name);
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0 && errno == ENOENT) {
                makeParent(path);
                fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            }
            if (fd >= 0) g_appends.emplace(std::string(name), fd);
        }
        if (fd >= 0) {
            const Piece text[2] = {{line.data(), line.size()}, {"\n", 1}};
            writePieces(fd, text, 2);
        }
    }
    forget(name);
}

std::string hex(uint32_t v) { return format("0x%x", v); }

std::string format(const char* fmt, ...) {
    char small[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string hexText(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string out(text.size() * 2, '\0');
    char* p = out.data();
    for (unsigned char c : text) {
        *p++ = digits[c >> 4];
        *p++ = digits[c & 15];
    }
    return out;
}

std::string unhexText(const std::string& digits) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        int hi = nibble(digits[i]), lo = nibble(digits[i + 1]);
        if (hi < 0 || lo < 0) break;
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

}  // namespace detail
}  // namespace gardhost
