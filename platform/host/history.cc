// The change history of the state directory: every change of a gard file,
// a VPD value, a registry value or another platform value, with when, on
// which processor and by which program it was made.
//
// A change is recorded before it is made, durably with sync on: a record
// names the content before and after (size and CRC-32) and the bytes that
// differ, and the first record of a name in a history file (or any record
// of a small value) carries the whole content before, from which the
// others rebuild it. A writer killed or cut off between its record and its
// change leaves a record of a change that did not happen; a reader tells
// them apart by following each name's chain back from its content now:
// the record whose "after" is the content happened, one whose "before" is
// it did not.
//
// <state>/history holds the records, one a line, each ending in the CRC-32
// of the line; past 2 MiB it becomes history.1 (the older one goes), so the
// two hold at most about twice that.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace gardhost {
namespace {

// GARD_HOST_HISTORY_MAX (bytes) sets it lower, for tests that fill it.
const detail::Rotation& rotation() {
    static const detail::Rotation r{detail::byteLimit("GARD_HOST_HISTORY_MAX", 2 << 20), {}};
    return r;
}
constexpr std::size_t kSmall = 512;          // a value this small carries its whole content
constexpr std::size_t kMaxDiff = 16 << 10;   // more differing bytes: the whole content after
constexpr std::size_t kJoin = 8;             // runs this close together make one

thread_local int t_quiet = 0;

void putHex(std::string& out, const uint8_t* p, std::size_t n) {
    out += detail::hexText(std::string_view(reinterpret_cast<const char*>(p), n));
}

std::string contentField(const char* key, const uint8_t* p, std::size_t n, bool present) {
    if (!present) return std::string(" ") + key + "=-";
    return detail::format(" %s=%zu:%08x", key, n, detail::crc32(p, n));
}

// The first place at or after `i` where `a` (zeros when null) and `b`
// differ; a place past either's end differs. Equal stretches go by blocks.
std::size_t nextDiff(const uint8_t* a, std::size_t an, const uint8_t* b, std::size_t bn, std::size_t i) {
    static const uint8_t kZeros[64] = {};
    const std::size_t common = a != nullptr ? std::min(an, bn) : bn;
    for (; i + sizeof kZeros <= common; i += sizeof kZeros)
        if (std::memcmp(a != nullptr ? a + i : kZeros, b + i, sizeof kZeros) != 0) break;
    for (; i < common; ++i)
        if ((a != nullptr ? a[i] : 0) != b[i]) return i;
    return i;
}

// The runs of bytes that differ, joined when close (a missing content is
// taken as zeros); false when there are more than kMaxDiff differing bytes.
bool diffRuns(const uint8_t* a, std::size_t an, const uint8_t* b, std::size_t bn, std::string& out) {
    const std::size_t n = a != nullptr ? std::max(an, bn) : bn;
    std::size_t used = 0;
    bool first = true;
    for (std::size_t i = nextDiff(a, an, b, bn, 0); i < n; i = nextDiff(a, an, b, bn, i)) {
        std::size_t end = i + 1;
        for (std::size_t next; end < n && (next = nextDiff(a, an, b, bn, end)) < n && next - end < kJoin;)
            end = next + 1;
        used += end - i;
        if (used > kMaxDiff) return false;
        out += first ? " diff=" : ",";
        first = false;
        out += std::to_string(i) + ":";
        if (a != nullptr && i < an) putHex(out, a + i, std::min(end, an) - i);
        out += ":";
        if (i < bn) putHex(out, b + i, std::min(end, bn) - i);
        i = end;
    }
    return true;
}

// A whole content as the runs of bytes that are not zero: gard files are
// mostly zeros.
std::string wholeContent(const uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n;) {
        if (p[i] == 0) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        for (std::size_t gap = 0; end < n && gap < kJoin; ++end) gap = p[end] == 0 ? gap + 1 : 0;
        while (end > i + 1 && p[end - 1] == 0) --end;
        if (!out.empty()) out += ",";
        out += std::to_string(i) + ":";
        putHex(out, p + i, end - i);
        i = end;
    }
    return out.empty() ? "0:" : out;
}

std::mutex g_mutex;
int g_fd = -1;  // the history file appended to

// Under g_mutex: the file now named "history", opened for appending.
int historyFile(struct stat& st) {
    const int root = detail::rootFd();
    struct stat named {};
    const bool there = root >= 0 && ::fstatat(root, "history", &named, AT_SYMLINK_NOFOLLOW) == 0;
    if (g_fd >= 0 && there && detail::ownRegular(g_fd, st) && st.st_ino == named.st_ino) return g_fd;
    if (g_fd >= 0) ::close(g_fd);
    g_fd = detail::openIn("history", O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NONBLOCK, 0644);
    const bool made = g_fd >= 0;
    if (g_fd == -EEXIST) g_fd = detail::openIn("history", O_RDWR | O_APPEND | O_NONBLOCK);
    if (g_fd >= 0 && !detail::ownRegular(g_fd, st)) {
        ::close(g_fd);
        g_fd = -EPERM;
    }
    if (g_fd < 0) {
        const int err = -g_fd;
        g_fd = -1;
        detail::sayOnce("history-unwritable",
                        detail::shownDir() + "/history cannot be written (" +
                            (err == EPERM ? std::string("not a regular file of the state directory")
                                          : std::string(std::strerror(err))) +
                            "): changes go on without their history");
        return -1;
    }
    if (made) {
        detail::created(g_fd);
        if (detail::syncOn()) {
            int dir = detail::openIn("", O_RDONLY | O_DIRECTORY);
            if (dir >= 0) {
                detail::syncDir(dir);
                ::close(dir);
            }
        }
    }
    return g_fd;
}

uint64_t nowMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// ---- reading

struct Raw {
    HistoryRecord rec;
    std::vector<uint8_t> base;   // the whole content before, when recorded
    std::vector<uint8_t> whole;  // the whole content after, when recorded in place of runs
    bool hasBase = false;
    bool full = false;
};

bool parseContent(const std::string& v, bool& present, uint32_t& size, uint32_t& crc) {
    present = v != "-";
    if (!present) return true;
    const std::size_t colon = v.find(':');
    if (colon == std::string::npos) return false;
    size = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
    crc = static_cast<uint32_t>(std::strtoul(v.c_str() + colon + 1, nullptr, 16));
    return true;
}

std::vector<uint8_t> unhex(const std::string& digits) {
    const std::string text = detail::unhexText(digits);
    return std::vector<uint8_t>(text.begin(), text.end());
}

// A whole content, as wholeContent wrote it (its size set from the record).
bool parseWhole(const std::string& v, std::vector<uint8_t>& out) {
    std::istringstream runs(v);
    std::string run;
    while (std::getline(runs, run, ',')) {
        const std::size_t colon = run.find(':');
        if (colon == std::string::npos) return false;
        const std::size_t at = std::strtoul(run.c_str(), nullptr, 10);
        const std::vector<uint8_t> bytes = unhex(run.substr(colon + 1));
        if (at + bytes.size() > (64u << 20)) return false;
        if (out.size() < at + bytes.size()) out.resize(at + bytes.size());
        std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<long>(at));
    }
    return true;
}

bool parseLine(const std::string& line, Raw& r) {
    const std::size_t at = line.rfind(" crc=");
    if (at == std::string::npos || line.size() != at + 13) return false;
    const auto crc = static_cast<uint32_t>(std::strtoul(line.c_str() + at + 5, nullptr, 16));
    if (crc != detail::crc32(reinterpret_cast<const unsigned char*>(line.data()), at)) return false;
    std::istringstream fields(line.substr(0, at));
    std::string field;
    bool version = false, name = false, from = false, to = false;
    while (fields >> field) {
        const std::size_t eq = field.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = field.substr(0, eq), v = field.substr(eq + 1);
        HistoryRecord& h = r.rec;
        if (key == "v") version = v == "1";
        else if (key == "t") h.time = std::strtoull(v.c_str(), nullptr, 10);
        else if (key == "sp") h.sp = std::atoi(v.c_str());
        else if (key == "prog") h.program = detail::unhexText(v);
        else if (key == "pid") h.pid = std::atoi(v.c_str());
        else if (key == "call") h.call = v;
        else if (key == "name") name = !(h.name = detail::unhexText(v)).empty();
        else if (key == "from") from = parseContent(v, h.before, h.beforeSize, h.beforeCrc);
        else if (key == "to") to = parseContent(v, h.after, h.afterSize, h.afterCrc);
        else if (key == "base") r.hasBase = parseWhole(v, r.base);
        else if (key == "full") r.full = parseWhole(v, r.whole);
        else if (key == "diff") {
            std::istringstream runs(v);
            std::string run;
            while (std::getline(runs, run, ',')) {
                const std::size_t c1 = run.find(':'), c2 = run.find(':', c1 + 1);
                if (c1 == std::string::npos || c2 == std::string::npos) return false;
                h.runs.push_back({std::strtoul(run.c_str(), nullptr, 10), unhex(run.substr(c1 + 1, c2 - c1 - 1)),
                                  unhex(run.substr(c2 + 1))});
            }
        }
    }
    // Whole contents are recorded without their trailing zeros.
    if (r.hasBase) r.base.resize(r.rec.beforeSize);
    if (r.full) r.whole.resize(r.rec.afterSize);
    return version && name && from && to;
}

bool matches(const std::vector<uint8_t>& bytes, bool present, uint32_t size, uint32_t crc) {
    return present && bytes.size() == size && detail::crc32(bytes.data(), bytes.size()) == crc;
}

// The content after `r`, given the content before it.
std::vector<uint8_t> apply(const Raw& r, std::vector<uint8_t> content) {
    if (r.full) return r.whole;
    content.resize(r.rec.afterSize);
    for (const HistoryRecord::Run& run : r.rec.runs)
        for (std::size_t k = 0; k < run.after.size() && run.offset + k < content.size(); ++k)
            content[run.offset + k] = run.after[k];
    return content;
}

void readFile(const char* name, std::vector<Raw>& out, std::vector<std::string>& problems) {
    std::vector<uint8_t> bytes;
    const int err = detail::readWhole(name, bytes);
    const std::string shown = detail::shownDir() + "/" + name;
    if (err == ENOENT) return;
    if (err != 0) {
        problems.push_back(shown + " cannot be read: " +
                           (err == EINVAL || err == EISDIR ? std::string("not a regular file") : std::strerror(err)));
        return;
    }
    std::size_t bad = 0, lineNo = 0, firstBad = 0;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = start;
        while (end < bytes.size() && bytes[end] != '\n') ++end;
        ++lineNo;
        const std::string line(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(end));
        Raw r;
        if (!line.empty() && parseLine(line, r)) {
            out.push_back(std::move(r));
        } else if (!line.empty()) {
            if (bad++ == 0) firstBad = lineNo;
        }
        start = end + 1;
    }
    if (bad != 0)
        problems.push_back(shown + ": " + std::to_string(bad) + (bad == 1 ? " line that is" : " lines that are") +
                           " no history record (torn or junk; " +
                           "first at line " + std::to_string(firstBad) + "), passed over");
}

}  // namespace

void readHistory(const std::function<void(const HistoryRecord&, const std::vector<uint8_t>* before,
                                          const std::vector<uint8_t>* after)>& each,
                 std::vector<std::string>& problems) {
    detail::stateRoot();
    std::vector<Raw> raws;
    readFile("history.1", raws, problems);
    readFile("history", raws, problems);
    std::stable_sort(raws.begin(), raws.end(), [](const Raw& a, const Raw& b) { return a.rec.time < b.rec.time; });
    // Each name's chain, followed back from its content now.
    std::map<std::string, std::vector<std::size_t>> byName;
    for (std::size_t i = 0; i < raws.size(); ++i) byName[raws[i].rec.name].push_back(i);
    for (auto& [name, list] : byName) {
        std::vector<uint8_t> now;
        bool present = detail::readWhole(name, now) == 0;
        uint32_t size = static_cast<uint32_t>(now.size()), crc = detail::crc32(now.data(), now.size());
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            HistoryRecord& h = raws[*it].rec;
            const bool isAfter = h.after == present && (!present || (h.afterSize == size && h.afterCrc == crc));
            const bool isBefore = h.before == present && (!present || (h.beforeSize == size && h.beforeCrc == crc));
            h.status = isAfter ? HistoryRecord::kHappened
                       : isBefore ? HistoryRecord::kNotHappened
                                  : HistoryRecord::kUnknown;
            if (h.status != HistoryRecord::kNotHappened) {
                present = h.before;
                size = h.beforeSize;
                crc = h.beforeCrc;
            }
        }
    }
    // Forwards, each content rebuilt where a whole content was recorded.
    std::map<std::string, std::pair<bool, std::vector<uint8_t>>> content;  // known, bytes
    for (const Raw& r : raws) {
        const HistoryRecord& h = r.rec;
        auto& [known, bytes] = content[h.name];
        if (r.hasBase) {
            known = true;
            bytes = r.base;
        }
        if (!h.before) {
            known = true;
            bytes.clear();
        }
        known = known && (!h.before || matches(bytes, true, h.beforeSize, h.beforeCrc));
        if (h.status != HistoryRecord::kHappened || !known) {
            each(h, known ? &bytes : nullptr, nullptr);
            if (h.status == HistoryRecord::kUnknown) known = false;
            continue;
        }
        std::vector<uint8_t> next = h.after ? apply(r, bytes) : std::vector<uint8_t>();
        const bool rebuilt = !h.after || matches(next, true, h.afterSize, h.afterCrc);
        each(h, &bytes, rebuilt ? &next : nullptr);
        known = rebuilt;
        bytes = std::move(next);
    }
}

namespace detail {

// Gard files, VPD, registries, the platform's settings and the faults; not
// logs, traces or work files.
bool historyTracked(std::string_view name) {
    if (t_quiet > 0) return false;
    for (std::string_view prefix : {"root/", "vpd/", "sp0/", "sp1/", "vorm/", "mnfg/"})
        if (name.substr(0, prefix.size()) == prefix) return name != "vorm/log";
    return name == "faults";
}

HistoryQuiet::HistoryQuiet() { ++t_quiet; }
HistoryQuiet::~HistoryQuiet() { --t_quiet; }

void recordChange(std::string_view name, const uint8_t* before, std::size_t beforeSize, bool existed,
                  const uint8_t* after, std::size_t afterSize, bool exists) {
    if (!historyTracked(name)) return;
    // An empty content may come as a null pointer, which memcmp must not see.
    if (existed == exists &&
        (!exists || (beforeSize == afterSize && (afterSize == 0 || std::memcmp(before, after, afterSize) == 0))))
        return;  // nothing changes
    std::lock_guard<std::mutex> lock(g_mutex);
    struct stat st {};
    const int fd = historyFile(st);
    if (fd < 0) return;
    const uint32_t nameCrc = crc32(reinterpret_cast<const unsigned char*>(name.data()), name.size());
    // Created from nothing, a content can be rebuilt from this record on.
    const bool base = existed && (beforeSize <= kSmall || !historyBased(st.st_ino, nameCrc));
    std::string line = format("v=1 t=%llu sp=%d prog=%s pid=%d call=%d.%llu name=",
                              static_cast<unsigned long long>(nowMicros()), position(),
                              hexText(program_invocation_short_name).c_str(), processId(), processId(),
                              static_cast<unsigned long long>(lockNumber()));
    line += hexText(name);
    line += contentField("from", before, beforeSize, existed);
    line += contentField("to", after, afterSize, exists);
    if (base) line += " base=" + wholeContent(before, beforeSize);
    if (exists) {
        std::string runs;
        if (diffRuns(existed ? before : nullptr, existed ? beforeSize : 0, after, afterSize, runs))
            line += runs;
        else
            line += " full=" + wholeContent(after, afterSize);
    }
    line += format(" crc=%08x", crc32(reinterpret_cast<const unsigned char*>(line.data()), line.size()));
    if (appendTo(fd, st, line, true) != 0) return;
    if (base || !existed) noteHistoryBased(st.st_ino, nameCrc);
    detail::rotateLog("history", fd, rotation());
}

}  // namespace detail
}  // namespace gardhost
