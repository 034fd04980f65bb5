// Named values of the state directory, read through an in-process cache
// that follows every process's completed writes (generation.cc).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace gardhost {
namespace {

constexpr uint64_t kNoMark = detail::kUntrusted;

// Values as last read or written by this process; a missing one is kept too.
struct Cached {
    int err = ENOENT;  // 0: present
    std::vector<uint8_t> bytes;
    uint64_t mark = kNoMark;  // its name's group count, read before the file; kNoMark: this process's own write
};
std::mutex g_mutex;
std::map<std::string, Cached, std::less<>> g_values;
uint64_t g_seen = detail::kUntrusted;   // the counter g_values was filled under
uint64_t g_epoch = detail::kUntrusted;  // and the page's epoch
std::atomic<uint64_t> g_generation{0};  // counts changes to g_values

// With `lock` on g_mutex held: drops what the cache holds of names changed
// since it was filled; all of it when that is not known. The count is read
// without the lock, as reading it may finish a dead writer's record, which
// takes the journal's lock, which a commit holds while it takes this one. A
// count read early only drops values once more.
void followWriters(std::unique_lock<std::mutex>& lock) {
    if (g_seen != detail::kUntrusted && detail::stillHolds(g_seen)) return;
    lock.unlock();
    const uint64_t count = detail::trustedCount();
    const uint64_t epoch = detail::pageEpoch();  // after the count: an epoch moved before it is seen
    lock.lock();
    ++g_generation;
    if (count != detail::kUntrusted && g_seen != detail::kUntrusted && epoch != detail::kUntrusted &&
        epoch == g_epoch) {
        for (auto it = g_values.begin(); it != g_values.end();)
            it = it->second.mark == kNoMark || detail::groupCount(it->first) != it->second.mark ? g_values.erase(it)
                                                                                                 : std::next(it);
    } else {
        g_values.clear();
        g_epoch = epoch;
    }
    g_seen = count;
}

// Under g_mutex, after a write in `window`: when no other process wrote
// since the cache was last looked at, `keep` may put this write's own
// result into it.
template <class Keep>
void afterWrite(detail::WriteWindow& window, std::string_view name, Keep&& keep) {
    ++g_generation;
    if (auto it = g_values.find(name); it != g_values.end()) g_values.erase(it);
    uint64_t next = 0;
    // When another process wrote too, the next look drops what moved, this
    // process's own writes among it (kNoMark).
    if (g_seen != detail::kUntrusted && window.announce(g_seen, next)) {
        keep();
        g_seen = next;
    }
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

bool plain(std::string_view name) {
    for (std::size_t at = 0; at <= name.size();) {
        std::size_t end = std::min(name.find('/', at), name.size());
        std::string_view part = name.substr(at, end - at);
        if (part.empty() || part == ".") return false;
        at = end + 1;
    }
    return true;
}

// Runs `use` on the cached value, reading it on first use (as this process
// sees it: what its call staged, else the file): 0, or the errno that kept
// it from being read.
template <class Use>
int withValue(std::string_view name, Use&& use) {
    std::string spelled;
    if (!plain(name)) name = spelled = canonical(name);
    detail::stateRoot();
    std::unique_lock<std::mutex> lock(g_mutex);
    followWriters(lock);
    auto it = g_values.find(name);
    if (it == g_values.end()) {
        // Read without the cache's lock: a read may finish a dead writer's
        // record, which takes the stage's lock, which a commit holds while it
        // takes this one.
        const uint64_t generation = g_generation;
        lock.unlock();
        Cached c;
        c.mark = detail::groupCount(name);  // before the read: a change after it moves the count
        c.err = detail::readContent(name, c.bytes);
        lock.lock();
        if (generation != g_generation) {
            // Changed meanwhile: use what was read, keep nothing.
            if (c.err != 0) return c.err;
            use(c.bytes);
            return 0;
        }
        it = g_values.emplace(std::string(name), std::move(c)).first;
    }
    if (it->second.err != 0) return it->second.err;
    use(it->second.bytes);
    return 0;
}

// Once per value and kind of failure: a link left in the state directory
// would otherwise be told of at every call.
void say(const char* what, const std::string& name, int err) {
    detail::sayOnce((std::string(what) + " " + name + " " + std::to_string(err)).c_str(),
                    detail::format("cannot %s %s: %s", what, name.c_str(), std::strerror(err)));
}

}  // namespace

bool getValue(const std::string& name, std::vector<uint8_t>& out) {
    if (!validName(name)) return false;
    return withValue(name, [&](const std::vector<uint8_t>& bytes) { out = bytes; }) == 0;
}

int readState(const std::string& name, std::vector<uint8_t>& out) {
    if (!validName(name)) return EINVAL;
    detail::stateRoot();
    return detail::readContent(canonical(name), out);
}

void setValue(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string key = validName(name) ? canonical(name) : std::string();
    int err = key.empty() ? EINVAL : detail::writeValue(key, bytes.data(), bytes.size());
    if (err != 0) say("set", name, err);
}

void eraseValue(const std::string& name) {
    if (!validName(name)) return;
    const std::string key = canonical(name);
    detail::stateRoot();
    const int err = detail::removeContent(key);
    if (err != 0 && err != ENOENT) say("remove", name, err);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_generation;
        if (err == 0 || err == ENOENT) g_values[key] = Cached{};
    }
    if (key == "faults") detail::faultsFileChanged();
}

void reloadValues() {
    detail::stateRoot();
    detail::forgetValues();
    detail::WriteWindow window(true);  // moves every process's counters, changing nothing
}

void reloadValue(const std::string& name) {
    if (!validName(name)) return;
    const std::string key = canonical(name);
    detail::stateRoot();
    detail::dropCached(key);
    detail::WriteWindow window;
    window.touch(key);
}

void setU8(const std::string& name, uint8_t v) { setValue(name, {v}); }
void setU32(const std::string& name, uint32_t v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    setValue(name, b);
}

namespace detail {

int readValue(std::string_view name, void* buffer, std::size_t capacity, std::size_t& size) {
    return withValue(name, [&](const std::vector<uint8_t>& bytes) {
        size = bytes.size();
        if (buffer != nullptr && !bytes.empty()) std::memcpy(buffer, bytes.data(), std::min(capacity, bytes.size()));
    });
}

uint64_t valuesGeneration() {
    std::unique_lock<std::mutex> lock(g_mutex);
    followWriters(lock);
    return g_generation;
}

void dropCached(std::string_view name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_generation;  // a read under way keeps nothing of what it read
    if (auto it = g_values.find(name); it != g_values.end()) g_values.erase(it);
}

bool numberValue(std::string_view name, uint32_t& value) {
    uint8_t b[4];
    std::size_t size = 0;
    if (readValue(name, b, sizeof b, size) != 0) return false;
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
    stateRoot();
    const int err = writeContent(name, data, size);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_generation;
        if (err == 0)
            g_values[std::string(name)] = Cached{0, {data, data + size}};
        else if (auto it = g_values.find(name); it != g_values.end())
            g_values.erase(it);
    }
    if (name == "faults") faultsFileChanged();
    return err;
}

void appendValue(std::string_view name, std::string_view line) {
    stateRoot();
    WriteWindow window;
    window.touch(name);
    // appendLine says why it refuses a file that is not the directory's own.
    if (int err = appendLine(name, line); err != 0 && err != EPERM) say("append to", std::string(name), err);
    std::lock_guard<std::mutex> lock(g_mutex);
    afterWrite(window, name, [] {});
}

void afterCommit(WriteWindow& window) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_generation;
    uint64_t next = 0;
    // What this process cached of its own call is what the files now hold,
    // but for the committed logs, appended by the commit itself.
    if (g_seen != kUntrusted && window.announce(g_seen, next)) {
        g_seen = next;
        for (const char* log : {"errl/committed", "errl/committed.1"})
            if (auto it = g_values.find(std::string_view(log)); it != g_values.end()) g_values.erase(it);
    }
}

void forgetValues() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_values.clear();
    g_seen = kUntrusted;
    ++g_generation;
}

}  // namespace detail
}  // namespace gardhost
