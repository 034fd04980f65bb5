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

struct Buffer {
    std::string name;
    std::size_t size = 0;
    std::size_t used = 0;
    std::deque<gardhost::TraceEntry> entries;
    std::size_t saved = 0;  // entries at the front already in the saved file
};

std::mutex g_mutex;
std::deque<Buffer> g_buffers;  // descriptor = index + 1; deque keeps references stable

Buffer* find(const std::string& name) {
    for (Buffer& b : g_buffers)
        if (b.name == name) return &b;
    return nullptr;
}

void push(Buffer& b, gardhost::TraceEntry e) {
    b.used += entrySize(e.values.size());
    b.entries.push_back(std::move(e));
    while (b.used > b.size && !b.entries.empty()) {
        b.used -= entrySize(b.entries.front().values.size());
        b.entries.pop_front();
        if (b.saved > 0) --b.saved;
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
        g_buffers.push_back(Buffer{name, size, 0, {}, 0});
        b = &g_buffers.back();
    }
    *td = static_cast<trace_desc_t>(b - &g_buffers.front() + 1);
    return 0;
}

int trace_ulka_write_all(trace_desc_t td, uint32_t hash, const char* fmt, uint32_t line, int type,
                         ...) {
    if (fmt == nullptr) return -1;
    gardhost::TraceEntry e{hash, fmt, line, {}};
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
    va_list ap;
    va_start(ap, type);
    for (std::size_t i = 0; i < n; ++i) e.values.push_back(va_arg(ap, unsigned int));
    va_end(ap);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (td == 0 || td > g_buffers.size()) return -1;
    push(g_buffers[td - 1], std::move(e));
    return 0;
}

namespace gardhost {

std::vector<TraceEntry> traceEntries(const std::string& buffer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Buffer* b = find(buffer);
    return b != nullptr ? std::vector<TraceEntry>(b->entries.begin(), b->entries.end())
                        : std::vector<TraceEntry>{};
}

void clearTrace(const std::string& buffer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Buffer* b = find(buffer)) {
        b->entries.clear();
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
        fresh.assign(b->entries.begin() + static_cast<long>(b->saved), b->entries.end());
        b->saved = b->entries.size();
        size = b->size;
    }
    Buffer all{buffer, size, 0, {}, 0};
    for (TraceEntry& e : loadTrace(buffer)) push(all, std::move(e));
    for (TraceEntry& e : fresh) push(all, std::move(e));
    std::string text;
    for (const TraceEntry& e : all.entries) text += savedLine(e) + "\n";
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
