// Trace buffers: an in-process ring per named buffer, bounded by its size in
// bytes, and their copies saved in the state directory.
#include "platform/trace.h"

#include <algorithm>
#include <cstdarg>
#include <deque>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace {

// Room an entry takes in its buffer: a fixed header and a word per value.
constexpr std::size_t kEntryBytes = 16;
constexpr std::size_t kValueBytes = 4;
constexpr std::size_t kMaxValues = 8;

std::size_t entrySize(std::size_t values) { return kEntryBytes + kValueBytes * values; }

// One entry as the ring keeps it; slots are reused, so a write allocates
// nothing once the ring has grown.
struct Slot {
    uint32_t id = 0;
    uint32_t line = 0;
    std::string format;
    std::size_t count = 0;
    uint32_t values[kMaxValues] = {};
};

struct Buffer {
    std::string name;
    std::size_t size = 0;
    std::size_t used = 0;
    std::vector<Slot> ring;
    std::size_t head = 0;   // oldest entry
    std::size_t count = 0;  // entries in the ring
    std::size_t saved = 0;  // entries at the front already in the saved file

    Slot& at(std::size_t i) {
        const std::size_t at = head + i;  // i < ring.size(): no division needed
        return ring[at < ring.size() ? at : at - ring.size()];
    }
    gardhost::TraceEntry entry(std::size_t i) {
        Slot& s = at(i);
        return {s.id, s.format, s.line, std::vector<uint32_t>(s.values, s.values + s.count)};
    }
};

std::mutex g_mutex;
std::deque<Buffer> g_buffers;  // descriptor = index + 1; deque keeps references stable

Buffer* find(const std::string& name) {
    for (Buffer& b : g_buffers)
        if (b.name == name) return &b;
    return nullptr;
}

// Adds an entry; the oldest go while the buffer is over its size.
void push(Buffer& b, uint32_t id, const char* format, uint32_t line, const uint32_t* values,
          std::size_t count) {
    if (b.count == b.ring.size()) {
        std::rotate(b.ring.begin(), b.ring.begin() + static_cast<long>(b.head), b.ring.end());
        b.head = 0;
        b.ring.emplace_back();
    }
    Slot& s = b.at(b.count++);
    s.id = id;
    s.line = line;
    s.format.assign(format);
    s.count = count;
    std::copy(values, values + count, s.values);
    b.used += entrySize(count);
    while (b.used > b.size && b.count > 0) {
        b.used -= entrySize(b.at(0).count);
        if (++b.head == b.ring.size()) b.head = 0;
        --b.count;
        if (b.saved > 0) --b.saved;
    }
}

// The newest entries that fit in `size` bytes.
void keepNewest(std::deque<gardhost::TraceEntry>& entries, std::size_t size) {
    std::size_t used = 0;
    for (const auto& e : entries) used += entrySize(e.values.size());
    while (used > size && !entries.empty()) {
        used -= entrySize(entries.front().values.size());
        entries.pop_front();
    }
}

// One saved entry a line: id, line, hex of the format, values.
std::string savedLine(const gardhost::TraceEntry& e) {
    std::string line = gardhost::detail::format("id=%08x line=%u fmt=%s values=", e.id, e.line,
                                                gardhost::detail::hexText(e.format).c_str());
    for (std::size_t i = 0; i < e.values.size(); ++i)
        line += gardhost::detail::format(i ? ",%x" : "%x", e.values[i]);
    return line;
}

bool parseSaved(const std::string& line, gardhost::TraceEntry& e) try {
    std::istringstream in(line);
    std::string field;
    e = gardhost::TraceEntry{};
    bool haveId = false;
    while (in >> field) {
        std::size_t eq = field.find('=');
        if (eq == std::string::npos) return false;
        std::string key = field.substr(0, eq), val = field.substr(eq + 1);
        if (key == "id") {
            e.id = static_cast<uint32_t>(std::stoul(val, nullptr, 16));
            haveId = true;
        } else if (key == "line") {
            e.line = static_cast<uint32_t>(std::stoul(val));
        } else if (key == "fmt") {
            e.format = gardhost::detail::unhexText(val);
        } else if (key == "values") {
            std::istringstream words(val);
            std::string w;
            while (std::getline(words, w, ','))
                e.values.push_back(static_cast<uint32_t>(std::stoul(w, nullptr, 16)));
        }
    }
    return haveId;
} catch (const std::exception&) {
    return false;  // a damaged line is skipped
}

}  // namespace

// Trace calls are neither logged nor faulted: nothing looks at their results,
// and they must stay cheap. traceEntries shows what was written.
int trace_ulka_init_buffer(trace_desc_t* td, const char* name, std::size_t size) {
    if (td == nullptr || name == nullptr) return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    Buffer* b = find(name);
    if (b == nullptr) {
        g_buffers.push_back(Buffer{name, size, 0, {}, 0, 0, 0});
        b = &g_buffers.back();
    }
    *td = static_cast<trace_desc_t>(b - &g_buffers.front() + 1);
    return 0;
}

int trace_ulka_write_all(trace_desc_t td, uint32_t hash, const char* fmt, uint32_t line, int type,
                         ...) {
    if (fmt == nullptr) return -1;
    std::size_t n = 0;
    for (const char* p = fmt; *p != '\0'; ++p) {
        if (*p != '%') continue;
        if (p[1] == '%') {
            ++p;
        } else if (p[1] != '\0') {
            ++n;
        }
    }
    n = std::min(n, kMaxValues);
    uint32_t values[kMaxValues];
    va_list ap;
    va_start(ap, type);
    for (std::size_t i = 0; i < n; ++i) values[i] = va_arg(ap, unsigned int);
    va_end(ap);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (td == 0 || td > g_buffers.size()) return -1;
    push(g_buffers[td - 1], hash, fmt, line, values, n);
    return 0;
}

namespace gardhost {

std::vector<TraceEntry> traceEntries(const std::string& buffer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<TraceEntry> out;
    if (Buffer* b = find(buffer))
        for (std::size_t i = 0; i < b->count; ++i) out.push_back(b->entry(i));
    return out;
}

void clearTrace(const std::string& buffer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Buffer* b = find(buffer)) {
        b->head = b->count = 0;
        b->used = 0;
        b->saved = 0;
    }
}

std::string formatTrace(const TraceEntry& e) {
    std::string out = detail::format("line %u id 0x%08x :", e.line, e.id);
    std::size_t v = 0;
    for (std::size_t i = 0; i < e.format.size(); ++i) {
        char c = e.format[i];
        if (c != '%' || i + 1 >= e.format.size()) {
            out += c;
            continue;
        }
        char conv = e.format[++i];
        if (conv == '%') {
            out += '%';
        } else if (v >= e.values.size()) {
            out += "?";
        } else if (conv == 'd') {
            out += std::to_string(static_cast<int32_t>(e.values[v++]));
        } else {
            out += detail::hex(e.values[v++]);
        }
    }
    return out;
}

void saveTrace(const std::string& buffer) {
    std::vector<TraceEntry> fresh;
    std::size_t size = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        Buffer* b = find(buffer);
        if (b == nullptr) return;
        for (std::size_t i = b->saved; i < b->count; ++i) fresh.push_back(b->entry(i));
        b->saved = b->count;
        size = b->size;
    }
    if (fresh.empty()) return;  // nothing to add: a reader writes nothing
    std::vector<TraceEntry> old = loadTrace(buffer);
    std::deque<TraceEntry> all(old.begin(), old.end());
    all.insert(all.end(), fresh.begin(), fresh.end());
    keepNewest(all, size);
    std::string text;
    for (const TraceEntry& e : all) text += savedLine(e) + "\n";
    setValue("trace/" + buffer, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<TraceEntry> loadTrace(const std::string& buffer) {
    std::vector<TraceEntry> out;
    std::vector<uint8_t> bytes;
    if (!getValue("trace/" + buffer, bytes)) return out;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    TraceEntry e;
    while (std::getline(in, line))
        if (parseSaved(line, e)) out.push_back(e);
    return out;
}

}  // namespace gardhost
