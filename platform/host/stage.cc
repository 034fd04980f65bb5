// Calls: what a process changes between a call's start and its end (a
// StateLock hold, or one platform write made without one) is staged here,
// seen by the process's own reads and by no other process, and committed
// at the end as one journal record (journal.cc).
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace gardhost::detail {
namespace {

struct Content {
    bool exists = false;
    std::vector<uint8_t> bytes;
};

// Recursive: a commit reads values, whose cache may read through the stage.
std::recursive_mutex g_mutex;
int g_depth = 0;
std::vector<Part> g_parts;
std::map<std::string, Content, std::less<>> g_overlay;

void forkedChild() {
    // A child commits nothing of what its parent staged.
    g_depth = 0;
    g_parts.clear();
    g_overlay.clear();
}

void installOnce() {
    static std::once_flag once;
    std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, forkedChild); });
}

// Under g_mutex: the content before a new change of `name`.
int current(std::string_view name, Content& out) {
    if (auto it = g_overlay.find(name); it != g_overlay.end()) {
        out = it->second;
        return 0;
    }
    const int err = readWhole(name, out.bytes);
    out.exists = err == 0;
    return err == ENOENT ? 0 : err;
}

// Under g_mutex: commits the parts staged so far.
int commitStaged() {
    if (g_parts.empty()) return 0;
    std::vector<Part> parts = std::move(g_parts);
    g_parts.clear();
    const int err = journalCommit(parts);
    g_overlay.clear();
    // A failed call leaves no staged content in the values' cache.
    if (err != 0) forgetValues();
    return err;
}

// Under g_mutex: a change staged, committed at once outside a call.
int stage(Change&& change) {
    Content& now = g_overlay[change.name];
    now.exists = change.exists;
    now.bytes = change.after;
    Part p;
    p.kind = Part::kChange;
    p.change = std::move(change);
    g_parts.push_back(std::move(p));
    return g_depth == 0 ? commitStaged() : 0;
}

}  // namespace

void beginCall() {
    installOnce();
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    ++g_depth;
}

int endCall(bool commit) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (g_depth == 0 || --g_depth > 0) return 0;
    if (!commit) {
        std::vector<Part> logs;
        for (Part& p : g_parts)
            if (p.kind == Part::kLog) logs.push_back(std::move(p));
        g_parts = std::move(logs);
        const bool changed = !g_overlay.empty();
        g_overlay.clear();
        if (changed) forgetValues();
    }
    return commitStaged();
}

int commitCall() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return commitStaged();
}

bool inCall() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return g_depth > 0;
}

int writeContent(std::string_view name, const Piece* pieces, std::size_t count, std::vector<uint8_t>* onDisk) {
    // Logs and traces are no journal's: put in place now, never flushed,
    // other processes told.
    if (!historyTracked(name)) {
        WriteWindow window;
        window.touch(name);
        return replaceFile(name, pieces, count);
    }
    Change c;
    c.name = std::string(name);
    c.exists = true;
    for (std::size_t i = 0; i < count; ++i) {
        const auto* d = static_cast<const uint8_t*>(pieces[i].data);
        if (pieces[i].size > kMaxContent - c.after.size()) return EFBIG;
        if (d != nullptr)
            c.after.insert(c.after.end(), d, d + pieces[i].size);
        else
            c.after.resize(c.after.size() + pieces[i].size, 0);
    }
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Content before;
    const bool known = onDisk != nullptr && g_overlay.find(name) == g_overlay.end();
    if (known) {
        before.exists = true;
        before.bytes = std::move(*onDisk);
    } else if (int err = current(name, before); err != 0) {
        return err;
    }
    if (before.exists && before.bytes == c.after) return 0;  // nothing changes
    // What would keep the change from being put in place fails its call.
    if (!known && g_overlay.find(name) == g_overlay.end())
        if (int err = writable(name); err != 0) return err;
    c.existed = before.exists;
    c.before = std::move(before.bytes);
    c.setup = seedingDefaults();
    return stage(std::move(c));
}

int removeContent(std::string_view name) {
    if (!historyTracked(name)) {
        WriteWindow window;
        window.touch(name);
        return unlinkFile(name);
    }
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Content before;
    if (int err = current(name, before); err != 0) return err;
    if (!before.exists) return ENOENT;
    Change c;
    c.name = std::string(name);
    c.existed = true;
    c.before = std::move(before.bytes);
    c.setup = seedingDefaults();
    return stage(std::move(c));
}

void commitLog(std::string line) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Part p;
    p.kind = Part::kLog;
    p.line = std::move(line);
    g_parts.push_back(std::move(p));
    if (g_depth == 0) commitStaged();
}

int readContent(std::string_view name, std::vector<uint8_t>& out) {
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        if (auto it = g_overlay.find(name); it != g_overlay.end()) {
            if (!it->second.exists) return ENOENT;
            out = it->second.bytes;
            return 0;
        }
    }
    return readWhole(name, out);
}

bool staged(std::string_view name, const std::vector<uint8_t>*& content) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    auto it = g_overlay.find(name);
    if (it == g_overlay.end()) return false;
    content = it->second.exists ? &it->second.bytes : nullptr;
    return true;
}

std::vector<std::string> stagedLogs() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    std::vector<std::string> out;
    for (const Part& p : g_parts)
        if (p.kind == Part::kLog) out.push_back(sealedLog(p.line));
    return out;
}

void forgetCall() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    g_parts.clear();
    g_overlay.clear();
}

}  // namespace gardhost::detail

namespace gardhost {

std::vector<StagedChange> stagedChanges() {
    std::lock_guard<std::recursive_mutex> lock(detail::g_mutex);
    std::vector<StagedChange> out;
    for (const detail::Part& p : detail::g_parts)
        if (p.kind == detail::Part::kChange) out.push_back(p.change);
    return out;
}

}  // namespace gardhost
