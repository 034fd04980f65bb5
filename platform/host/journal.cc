// The journal of a state directory, <state>/history: the write-ahead log of
// every change of a tracked name and every committed error log.
//
// A call's changes and logs are one record, one line ending in the CRC-32 of
// the line. A call is acknowledged once its record is durable: one append,
// one flush. Only then are its changes put in place at their names and its
// logs appended to errl/committed, neither flushed on its own: a process
// killed half-way leaves its record marked in its slot of the counter page,
// and the next process that looks finishes it; after a power cut the first
// process redoes every record since the last checkpoint whose change the
// files do not show, rebuilding each content from the journal alone, never
// from bytes the cut may have spoilt.
//
// A record carries, for each change, the bytes that differ, and the whole
// content before ("base") where the journal does not hold it since its last
// checkpoint, so that every content can be rebuilt from the records after a
// checkpoint. A checkpoint flushes the files changed since the one before,
// then records itself; only then may the journal rotate to history.1, so
// that what a rotation drops a checkpoint covers.
//
// Locks, on the journal file (open file description locks, by byte): the
// gate (byte 0), held shared from a record's append until its changes are
// in place and exclusively by checkpoints and recovery, so that a
// checkpoint never covers a record not yet in place; the append lock
// (byte 1), which orders sequence numbers with the file; the place lock
// (byte 2), held by the one writer overwriting files in place, while the
// counter page's place count is odd (readers go by it, steadyRead).
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace gardhost::detail {
namespace {

constexpr const char* kJournal = "history";
constexpr const char* kOlder = "history.1";
constexpr const char* kLogs = "errl/committed";
constexpr std::size_t kMaxRecord = 64u << 20;  // a longer line is no record
constexpr std::size_t kMaxName = 4096;
constexpr std::size_t kSmall = 512;          // a content this small always carries its whole before
constexpr std::size_t kMaxDiff = 16 << 10;   // more differing bytes: the whole content after
constexpr std::size_t kJoin = 8;             // runs this close together make one
constexpr std::size_t kMaxCommand = 240;     // bytes of a command line kept
constexpr off_t kGate = 0, kAppend = 1, kPlace = 2;

// GARD_HOST_HISTORY_MAX: the journal's bound; a checkpoint at each half of
// it. Each costs a flush of every file changed since the last one and one
// of its record: every 256 KiB, updates that record whole 20 KB contents
// paid a fifth of a flush more per call; every 1 MiB, a twentieth.
off_t journalBound() {
    static const off_t bound = byteLimit("GARD_HOST_HISTORY_MAX", 2 << 20);
    return bound;
}
off_t checkpointBound() { return std::max<off_t>(4096, std::min<off_t>(1 << 20, journalBound() / 2)); }

// ---------------------------------------------------------------- encoding

void putHex(std::string& out, const uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    const std::size_t at = out.size();
    out.resize(at + 2 * n);
    char* o = out.data() + at;
    for (std::size_t i = 0; i < n; ++i) {
        *o++ = digits[p[i] >> 4];
        *o++ = digits[p[i] & 15];
    }
}

void putDec(std::string& out, uint64_t v) {
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, v);
    out.append(text, r.ptr);
}

void putContent(std::string& out, const char* key, bool present, const std::vector<uint8_t>& b) {
    out += key;
    if (!present) {
        out += '-';
        return;
    }
    putDec(out, b.size());
    out += format(":%08x", crc32(b.data(), b.size()));
}

// The first place at or after `i` where `a` and `b` differ; a place past
// either's end differs. Equal stretches go by blocks.
std::size_t nextDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, std::size_t i) {
    const std::size_t common = std::min(a.size(), b.size());
    for (; i + 64 <= common; i += 64)
        if (std::memcmp(a.data() + i, b.data() + i, 64) != 0) break;
    for (; i < common; ++i)
        if (a[i] != b[i]) return i;
    return i;
}

// The runs of bytes that differ, joined when close; false when there are
// more than kMaxDiff differing bytes.
bool diffRuns(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, std::string& out) {
    const std::size_t n = std::max(a.size(), b.size());
    std::size_t used = 0;
    bool first = true;
    for (std::size_t i = nextDiff(a, b, 0); i < n; i = nextDiff(a, b, i)) {
        std::size_t end = i + 1;
        for (std::size_t next; end < n && (next = nextDiff(a, b, end)) < n && next - end < kJoin;) end = next + 1;
        used += end - i;
        if (used > kMaxDiff) return false;
        out += first ? " diff=" : ",";
        first = false;
        putDec(out, i);
        out += ':';
        if (i < a.size()) putHex(out, a.data() + i, std::min(end, a.size()) - i);
        out += ':';
        if (i < b.size()) putHex(out, b.data() + i, std::min(end, b.size()) - i);
        i = end;
    }
    return true;
}

// A whole content as the runs of bytes that are not zero: gard files are
// mostly zeros.
void putWhole(std::string& out, const char* key, const std::vector<uint8_t>& p) {
    out += key;
    const std::size_t n = p.size();
    bool any = false;
    for (std::size_t i = 0; i < n;) {
        if (p[i] == 0) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        for (std::size_t gap = 0; end < n && gap < kJoin; ++end) gap = p[end] == 0 ? gap + 1 : 0;
        while (end > i + 1 && p[end - 1] == 0) --end;
        if (any) out += ',';
        any = true;
        putDec(out, i);
        out += ':';
        putHex(out, p.data() + i, end - i);
        i = end;
    }
    if (!any) out += "0:";
}

uint64_t nowMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// This process's command line, arguments joined by spaces, bounded.
const std::string& commandLine() {
    static const std::string line = [] {
        std::string out;
        int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return out;
        char buf[kMaxCommand + 1];
        ssize_t n = ::read(fd, buf, sizeof buf);
        ::close(fd);
        if (n <= 0) return out;
        out.assign(buf, static_cast<std::size_t>(std::min<ssize_t>(n, kMaxCommand)));
        while (!out.empty() && out.back() == '\0') out.pop_back();
        // The program by its name, not the path it was started by.
        const std::size_t end = std::min(out.find('\0'), out.size());
        const std::size_t slash = out.rfind('/', end);
        if (slash != std::string::npos) out.erase(0, slash + 1);
        std::replace(out.begin(), out.end(), '\0', ' ');
        if (n > static_cast<ssize_t>(kMaxCommand)) out += "...";
        return out;
    }();
    return line;
}

// A record's first fields: who, when, and its sequence number.
std::string header(uint64_t seq) {
    std::string line = "J seq=";
    putDec(line, seq);
    line += format(" t=%llu sp=%d prog=", static_cast<unsigned long long>(nowMicros()), position());
    line += hexText(program_invocation_short_name);
    line += format(" pid=%d call=%d.%llu cmd=", processId(), processId(),
                   static_cast<unsigned long long>(lockNumber()));
    line += hexText(commandLine());
    return line;
}

void seal(std::string& line) {
    line += format(" crc=%08x", crc32(reinterpret_cast<const unsigned char*>(line.data()), line.size()));
}

// A committed-log line given its place in the journal, and its checksum.
std::string placedLog(const std::string& body, uint64_t seq, std::size_t part) {
    std::string line = body;
    const std::size_t bar = line.find(" | ");
    line.insert(bar == std::string::npos ? line.size() : bar, " j=" + std::to_string(seq) + "." + std::to_string(part));
    line += format(" | crc=%08X", crc32(reinterpret_cast<const unsigned char*>(line.data()), line.size()));
    return line;
}

// ---------------------------------------------------------------- decoding, with bounds

bool decValue(std::string_view v, uint64_t& out) {
    if (v.empty() || v.size() > 20) return false;
    const auto r = std::from_chars(v.data(), v.data() + v.size(), out);
    return r.ec == std::errc() && r.ptr == v.data() + v.size();
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hexValue(std::string_view v, std::vector<uint8_t>& out, std::size_t max) {
    if (v.size() % 2 != 0 || v.size() / 2 > max) return false;
    out.resize(v.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = nibble(v[2 * i]), lo = nibble(v[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

bool textValue(std::string_view v, std::string& out, std::size_t max) {
    std::vector<uint8_t> b;
    if (!hexValue(v, b, max)) return false;
    out.assign(b.begin(), b.end());
    return true;
}

// "-" or "<size>:<crc>", the size within what a content may be.
bool contentValue(std::string_view v, bool& present, uint32_t& size, uint32_t& crc) {
    present = v != "-";
    if (!present) return true;
    const std::size_t colon = v.find(':');
    uint64_t n = 0, c = 0;
    if (colon == std::string_view::npos || !decValue(v.substr(0, colon), n) || n > kMaxContent) return false;
    const std::string_view digits = v.substr(colon + 1);
    if (digits.size() != 8) return false;
    const auto r = std::from_chars(digits.data(), digits.data() + 8, c, 16);
    if (r.ec != std::errc() || r.ptr != digits.data() + 8) return false;
    size = static_cast<uint32_t>(n);
    crc = static_cast<uint32_t>(c);
    return true;
}

// Splits `v` at `sep`, calling `each` with every piece; false when one fails.
template <class Each>
bool pieces(std::string_view v, char sep, Each&& each) {
    for (std::size_t at = 0;;) {
        const std::size_t end = v.find(sep, at);
        if (!each(v.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at))) return false;
        if (end == std::string_view::npos) return true;
        at = end + 1;
    }
}

// A whole content as putWhole wrote it, `size` bytes: every run within it.
bool wholeValue(std::string_view v, uint32_t size, std::vector<uint8_t>& out) {
    out.assign(size, 0);
    std::vector<uint8_t> bytes;
    return pieces(v, ',', [&](std::string_view run) {
        const std::size_t colon = run.find(':');
        uint64_t at = 0;
        if (colon == std::string_view::npos || !decValue(run.substr(0, colon), at) || at > size) return false;
        if (!hexValue(run.substr(colon + 1), bytes, size - at)) return false;
        std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<long>(at));
        return true;
    });
}

// The differing runs, each within the content before and after it.
bool diffValue(std::string_view v, uint32_t beforeSize, uint32_t afterSize, std::vector<HistoryRecord::Run>& out) {
    const uint32_t most = std::max(beforeSize, afterSize);
    return pieces(v, ',', [&](std::string_view run) {
        const std::size_t c1 = run.find(':');
        const std::size_t c2 = c1 == std::string_view::npos ? c1 : run.find(':', c1 + 1);
        uint64_t at = 0;
        if (c2 == std::string_view::npos || !decValue(run.substr(0, c1), at) || at > most) return false;
        HistoryRecord::Run r{static_cast<std::size_t>(at), {}, {}};
        if (!hexValue(run.substr(c1 + 1, c2 - c1 - 1), r.before, at <= beforeSize ? beforeSize - at : 0) ||
            !hexValue(run.substr(c2 + 1), r.after, at <= afterSize ? afterSize - at : 0))
            return false;
        out.push_back(std::move(r));
        return true;
    });
}

}  // namespace

std::string sealedLog(const std::string& body) { return placedLog(body, 0, 0); }

bool parseRecord(std::string_view line, Record& out) {
    out = Record{};
    const std::size_t at = line.rfind(" crc=");
    if (at == std::string_view::npos || line.size() != at + 13 || line.substr(0, 2) != "J ") return false;
    uint64_t crc = 0;
    const auto r = std::from_chars(line.data() + at + 5, line.data() + at + 13, crc, 16);
    if (r.ec != std::errc() || r.ptr != line.data() + at + 13) return false;
    if (crc != crc32(reinterpret_cast<const unsigned char*>(line.data()), at)) return false;
    bool seq = false, ok = true;
    Part* part = nullptr;
    std::string_view base, full, diff;
    // A change's contents are decoded once its sizes are known, at its end.
    auto finish = [&]() {
        if (part == nullptr || part->kind != Part::kChange) return true;
        Part& p = *part;
        if (p.change.name.empty()) return false;
        if (!base.empty()) {
            if (!p.change.existed || !wholeValue(base, p.beforeSize, p.change.before)) return false;
            p.base = true;
        }
        if (!full.empty()) {
            if (!p.change.exists || !wholeValue(full, p.afterSize, p.change.after)) return false;
            p.full = true;
        }
        if (!diff.empty() && !diffValue(diff, p.beforeSize, p.afterSize, p.runs)) return false;
        base = full = diff = {};
        return true;
    };
    pieces(line.substr(2, at - 2), ' ', [&](std::string_view field) {
        if (field == "C" || field == "E" || field == "K" || field == "X") {
            if (!finish()) return ok = false;
            out.parts.emplace_back();
            part = &out.parts.back();
            part->kind = field == "C" ? Part::kChange : field == "E" ? Part::kLog : field == "K" ? Part::kCheckpoint : Part::kCancel;
            part->number = out.parts.size() - 1;
            return true;
        }
        const std::size_t eq = field.find('=');
        if (eq == std::string_view::npos) return ok = false;
        const std::string_view key = field.substr(0, eq), v = field.substr(eq + 1);
        uint64_t n = 0;
        if (part == nullptr) {
            if (key == "seq") ok = seq = decValue(v, out.seq) && out.seq != 0;
            else if (key == "t") ok = decValue(v, out.time);
            else if (key == "sp") ok = decValue(v, n) && n <= 255, out.sp = static_cast<int>(n);
            else if (key == "pid") ok = decValue(v, n) && n <= 0x7FFFFFFF, out.pid = static_cast<int>(n);
            else if (key == "prog") ok = textValue(v, out.program, 256);
            else if (key == "cmd") ok = textValue(v, out.command, kMaxCommand + 3);
            else if (key == "call") ok = v.size() <= 48, out.call = std::string(v);
            return ok;
        }
        Part& p = *part;
        switch (p.kind) {
            case Part::kChange:
                if (key == "name") ok = textValue(v, p.change.name, kMaxName);
                else if (key == "from") ok = contentValue(v, p.change.existed, p.beforeSize, p.beforeCrc);
                else if (key == "to") ok = contentValue(v, p.change.exists, p.afterSize, p.afterCrc);
                else if (key == "setup") p.change.setup = v == "1";
                else if (key == "base") base = v;
                else if (key == "full") full = v;
                else if (key == "diff") diff = v;
                break;
            case Part::kLog:
                if (key == "line") ok = textValue(v, p.line, kMaxContent);
                break;
            case Part::kCheckpoint: {
                // Journals written before carry the committed-log file's
                // inode and size here; nothing reads them now.
                uint64_t ignored = 0;
                if (key == "file" || key == "size") ok = decValue(v, ignored);
                break;
            }
            case Part::kCancel:
                if (key == "seq") ok = decValue(v, p.number);
                break;
        }
        return ok;
    });
    return ok && finish() && seq;
}

namespace {

// ---------------------------------------------------------------- the journal file

// One commit, checkpoint, recovery or finish at a time in a process; the
// journal's locks order them between processes.
std::recursive_mutex g_mutex;
int g_fd = -1;        // the journal appended to
ino_t g_ino = 0;
thread_local bool t_busy = false;  // this thread works on the journal
thread_local int t_placing = 0;    // Placing holds of this thread

// A child forked after this process opened the journal would share its
// open file description, and with it every lock taken through it (gate,
// append, place): the parent's and the child's would not exclude each
// other, and a reader could take a live writer for a dead one. The child
// opens the journal afresh.
void forkedChild() {
    if (g_fd >= 0) ::close(g_fd);
    g_fd = -1;
    g_ino = 0;
    t_busy = false;
    t_placing = 0;
}

int lockByte(int fd, short type, off_t byte) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    while (::fcntl(fd, F_OFD_SETLKW, &fl) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

void unlockByte(int fd, off_t byte) { lockByte(fd, F_UNLCK, byte); }

// Under g_mutex: what stands at "history" when it is no regular file of the
// state directory (a directory, a pipe, a link) is moved aside, kept for
// whoever put it there, so that changes can go on with a journal.
bool moveAside(std::string& why) {
    const int root = rootFd();
    for (int n = 0; n < 100; ++n) {
        const std::string aside = std::string(kJournal) + ".unusable" + (n == 0 ? "" : "." + std::to_string(n));
        if (::renameat2(root, kJournal, root, aside.c_str(), RENAME_NOREPLACE) == 0) {
            sayOnce("journal-aside", shownDir() + "/" + kJournal + " was no regular file; it is kept as " + shownDir() +
                                         "/" + aside + " and a new journal begins");
            return true;
        }
        if (errno != EEXIST) break;
    }
    why = shownDir() + "/" + kJournal + " is no regular file and cannot be moved aside (" + std::strerror(errno) +
          "): remove it";
    return false;
}

// A journal file just made after a rotation goes on with the page's book of
// the file rotated away (its last number and checkpoint; nothing since it
// here yet): reading the whole history again to learn them took
// milliseconds, once per rotation. Only a page recovered in this boot is
// trusted so (after a power cut it may hold a book older than the files).
// Under the append lock, so that a process that already wrote to the new
// file keeps its own book.
void carryBook(int fd) {
    if (recoveredBoot() != bootId() || lockByte(fd, F_WRLCK, kAppend) != 0) return;
    JournalBook book;
    struct stat older {};
    if (journalBook(book) && fstatatQuiet(rootFd(), kOlder, &older, AT_SYMLINK_NOFOLLOW) == 0 &&
        older.st_ino == book.file) {
        book.file = g_ino;
        book.sinceAt = 0;
        book.end = 0;
        setJournalBook(book);
    }
    unlockByte(fd, kAppend);
}

// Under g_mutex: the file now named "history", open for appending, made when
// missing (its name made durable: a record in it must not vanish with it).
int journal(std::string& why) {
    static std::once_flag once;
    std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, forkedChild); });
    const int root = rootFd();
    struct stat named {}, st {};
    if (g_fd >= 0 && root >= 0 && fstatatQuiet(root, kJournal, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_ino == g_ino && ownRegular(g_fd, st))
        return g_fd;
    if (g_fd >= 0) ::close(g_fd);
    g_fd = -1;
    for (int attempt = 0; attempt < 2 && g_fd < 0; ++attempt) {
        g_fd = openIn(kJournal, O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK, 0644);
        const bool made = g_fd >= 0;
        if (g_fd == -EEXIST) g_fd = openIn(kJournal, O_RDWR | O_NONBLOCK);
        if (g_fd >= 0 && !ownRegular(g_fd, st)) {
            ::close(g_fd);
            g_fd = -EPERM;
        }
        const bool unusable = g_fd == -EPERM || g_fd == -ELOOP || g_fd == -EISDIR || g_fd == -ENXIO;
        if (unusable && attempt == 0 && moveAside(why)) {
            g_fd = -1;
            continue;
        }
        if (g_fd < 0) {
            const int err = -g_fd;
            g_fd = -1;
            if (why.empty())
                why = shownDir() + "/" + kJournal + " cannot be written (" + std::strerror(err) + ")";
            return -err;
        }
        g_ino = st.st_ino;
        if (made) {
            created(g_fd);
            if (syncOn()) {
                int dir = openIn("", O_RDONLY | O_DIRECTORY);
                if (dir >= 0) {
                    syncDir(dir, ".");
                    ::close(dir);
                }
            }
            carryBook(g_fd);
        }
    }
    return g_fd;
}

// Under g_mutex: the journal with its gate taken (`type`), still the one at
// its name once the lock is held (a checkpoint may have rotated it).
int openGate(short type, std::string& why) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = journal(why);
        if (fd < 0) return fd;
        if (int err = lockByte(fd, type, kGate); err != 0) {
            why = shownDir() + "/" + kJournal + " cannot be locked (" + std::strerror(err) + ")";
            return -err;
        }
        struct stat named {};
        if (fstatatQuiet(rootFd(), kJournal, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == g_ino) return fd;
        unlockByte(fd, kGate);
    }
    why = shownDir() + "/" + kJournal + " keeps being replaced";
    return -EAGAIN;
}

// Reads the record that starts at `offset` (bounded; a newline that ended a
// torn line before it passed over): false when none does.
bool recordAt(int fd, uint64_t offset, Record& out) {
    char first = 0;
    if (::pread(fd, &first, 1, static_cast<off_t>(offset)) == 1 && first == '\n') ++offset;
    std::string line;
    char buf[65536];
    for (uint64_t at = offset; line.size() < kMaxRecord;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        const auto* nl = static_cast<const char*>(std::memchr(buf, '\n', static_cast<std::size_t>(n)));
        line.append(buf, nl != nullptr ? static_cast<std::size_t>(nl - buf) : static_cast<std::size_t>(n));
        if (nl != nullptr) return parseRecord(line, out);
        at += static_cast<uint64_t>(n);
    }
    return false;
}

// Calls `each` with every whole line of the file `name` from `from` on and
// its offset; lines longer than a record may be are passed over.
template <class Each>
int eachLine(std::string_view name, uint64_t from, Each&& each) {
    int fd = openIn(name, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return -fd;
    struct stat st {};
    if (fstatQuiet(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return EINVAL;
    }
    std::string line;
    bool tooLong = false;
    uint64_t lineAt = from;
    char buf[1 << 16];
    for (uint64_t at = from;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n);) {
            const auto* nl = static_cast<const char*>(std::memchr(buf + i, '\n', static_cast<std::size_t>(n) - i));
            const std::size_t end = nl != nullptr ? static_cast<std::size_t>(nl - buf) : static_cast<std::size_t>(n);
            if (!tooLong && line.size() + (end - i) <= kMaxRecord)
                line.append(buf + i, end - i);
            else
                tooLong = true, line.clear();
            if (nl == nullptr) break;
            each(std::string_view(line), lineAt, tooLong);
            line.clear();
            tooLong = false;
            lineAt = at + end + 1;
            i = end + 1;
        }
        at += static_cast<uint64_t>(n);
    }
    ::close(fd);
    return 0;
}

// The last sequence number and checkpoint the journal holds, and where the
// records after that checkpoint start, when the page does not know them.
void readBook(JournalBook& book) {
    book = JournalBook{};
    book.file = g_ino;
    for (const char* name : {kOlder, kJournal}) {
        eachLine(name, 0, [&](std::string_view line, uint64_t at, bool) {
            Record r;
            if (!parseRecord(line, r)) return;
            book.seq = std::max(book.seq, r.seq);
            if (!r.parts.empty() && r.parts[0].kind == Part::kCheckpoint) {
                book.checkpoint = r.seq;
                book.sinceAt = std::strcmp(name, kJournal) == 0 ? at + line.size() + 1 : 0;
            }
        });
    }
}

// Under the append lock: the page's bookkeeping of this journal file.
JournalBook currentBook() {
    JournalBook book;
    if (!journalBook(book) || book.file != g_ino || book.seq == 0) readBook(book);
    return book;
}

// With sync on the journal's file holds zeros written ahead of its records:
// a record then lands in blocks the file system already holds, and its
// flush writes the record alone, no new size (about two thirds of an
// append's flush). Grown by this much at a time.
off_t zerosAhead() { return syncOn() ? std::clamp<off_t>(checkpointBound() / 4 & ~off_t{4095}, 4096, 64 << 10) : 0; }

// Under the append lock: where the written part of the journal ends, the
// next record's place. From the page's note of the last append's end, the
// first zero byte on (a writer killed after writing left its record there,
// whole or torn); without one, past the last byte that is not zero. `torn`
// when the line before is not ended.
struct Tail {
    off_t at = 0, size = 0;
    bool torn = false;
};

// The page's note of where the written part of this journal file ends, if
// it has one that fits a file `size` long; 0 when not.
off_t notedEnd(const JournalBook& book, off_t size) {
    return book.file == g_ino && book.end > 0 && static_cast<off_t>(book.end) <= size ? static_cast<off_t>(book.end) : 0;
}

// Whether a journal file with `length` written bytes, and `since` of them
// after its last checkpoint, is within the bounds that call for one.
bool withinBounds(off_t length, off_t since) { return since < checkpointBound() && length < journalBound(); }

int journalTail(int fd, const JournalBook& book, Tail& out) {
    struct stat st {};
    if (fstatQuiet(fd, &st) != 0) return errno;
    out = Tail{};
    out.size = st.st_size;
    char buf[4096];
    char last = '\n';
    bool lastKnown = false;
    if (const off_t noted = notedEnd(book, st.st_size); noted > 0) {
        // From the byte before the note, to learn whether a line ends there.
        for (off_t at = noted - 1;;) {
            const ssize_t n = ::pread(fd, buf, sizeof buf, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            const auto* zero = static_cast<const char*>(std::memchr(buf, '\0', static_cast<std::size_t>(n)));
            if (n == 0 || zero != nullptr) {
                const off_t end = zero != nullptr ? at + (zero - buf) : at;
                out.at = std::max(end, noted);
                if (zero != nullptr && zero > buf && out.at == end) last = zero[-1], lastKnown = true;
                break;
            }
            at += n;
        }
    } else {
        for (off_t to = st.st_size; to > 0 && out.at == 0;) {
            const off_t from = std::max<off_t>(0, to - static_cast<off_t>(sizeof buf));
            const ssize_t n = ::pread(fd, buf, static_cast<std::size_t>(to - from), from);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            for (ssize_t i = n; i > 0 && out.at == 0; --i)
                if (buf[i - 1] != '\0') out.at = from + i;
            to = from;
        }
    }
    if (!lastKnown && out.at > 0 && ::pread(fd, &last, 1, out.at - 1) != 1) last = '\n';
    out.torn = out.at > 0 && last != '\n';
    return 0;
}

// The length of the journal's written part, its zeros ahead left out (as
// the page notes it; the file's size where it does not); -1 when unknown.
off_t writtenLength(int fd) {
    struct stat st {};
    if (fstatQuiet(fd, &st) != 0) return -1;
    JournalBook book;
    const off_t noted = journalBook(book) ? notedEnd(book, st.st_size) : 0;
    return noted > 0 ? noted : st.st_size;
}

// Under the append lock: writes `line` where `tail` says, with zeros ahead
// when it reaches them; where it begins, or -errno. The page notes the new end.
int64_t appendRecord(int fd, JournalBook& book, const Tail& tail, const std::string& line) {
    const off_t start = tail.at + (tail.torn ? static_cast<off_t>(kTornEnd.size()) : 0);
    const off_t end = start + static_cast<off_t>(line.size()) + 1;
    const off_t ahead = zerosAhead();
    const std::size_t zeros = end > tail.size && ahead > 0 ? static_cast<std::size_t>((end + ahead) / 4096 * 4096 - end) : 0;
    const int64_t at = writeEnded(fd, tail.at, false, tail.torn, line, zeros);
    // Left torn where it failed: the next append ends the line first and
    // every reader passes over it by its checksum.
    if (at < 0) return at;
    crashPoint("journaled");
    book.end = static_cast<uint64_t>(end);
    setJournalBook(book);
    return at;
}

// A record of one part (a checkpoint, or the cancel of record `cancelled`),
// appended and flushed.
int appendLone(int fd, Part::Kind kind, uint64_t cancelled = 0) {
    lockByte(fd, F_WRLCK, kAppend);
    JournalBook book = currentBook();
    const uint64_t seq = ++book.seq;
    std::string line = header(seq);
    line += kind == Part::kCheckpoint ? std::string(" K") : " X seq=" + std::to_string(cancelled);
    seal(line);
    setJournalBook(book);  // the number taken before the first byte
    Tail tail;
    const int terr = journalTail(fd, book, tail);
    const int64_t at = terr != 0 ? -terr : appendRecord(fd, book, tail, line);
    if (at >= 0 && kind == Part::kCheckpoint) {
        book.checkpoint = seq;
        book.sinceAt = static_cast<uint64_t>(at) + line.size() + 1;
        setJournalBook(book);
    }
    unlockByte(fd, kAppend);
    if (at < 0) return static_cast<int>(-at);
    return syncOn() ? syncFile(fd, kJournal) : 0;
}

// ---------------------------------------------------------------- putting changes in place

// A name's changes within one record: the content before the first and
// after the last.
struct Net {
    std::string name;
    std::size_t first = 0, last = 0;
};

std::vector<Net> netChanges(const std::vector<Part>& parts) {
    std::vector<Net> out;
    std::map<std::string_view, std::size_t> at;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].kind != Part::kChange) continue;
        auto [it, fresh] = at.emplace(parts[i].change.name, out.size());
        if (fresh) out.push_back({parts[i].change.name, i, i});
        out[it->second].last = i;
    }
    return out;
}

// Overwritten in place while this thread holds the place lock (no new file
// per change: the journal's next flush then writes no new file's blocks
// first); else, or where there is no file to overwrite, replaced by a new
// file renamed there.
int putInPlace(const std::string& name, bool exists, const std::vector<uint8_t>& bytes) {
    const bool overwrite = exists && t_placing > 0;
    int err = !exists ? unlinkFile(name) : overwrite ? overwriteFile(name, bytes) : replaceFile(name, bytes);
    // No file to overwrite (or one that must not be): a new one.
    if (overwrite && (err == ENOENT || err == EMLINK || err == EISDIR || err == ELOOP)) err = replaceFile(name, bytes);
    if (err == ENOENT && !exists) err = 0;
    if (err == 0) crashPoint("applied");
    return err;
}

// The places ("seq.part") of the committed logs the files hold, to tell
// which of a record's logs are there: the part rotated away included, where
// a state directory written before rotations waited for their checkpoint
// may hold logs of records after the last one.
std::set<std::pair<uint64_t, unsigned>> placedLogs() {
    std::set<std::pair<uint64_t, unsigned>> out;
    for (const std::string& name : {std::string(kLogs) + ".1", std::string(kLogs)})
        eachLine(name, 0, [&](std::string_view line, uint64_t, bool) {
            Committed c;
            if (parseCommittedLine(line, c) && c.seq != 0) out.emplace(c.seq, c.part);
        });
    return out;
}

// The logs of record `seq` (its `parts`) those `placed` holds left out.
int appendLogs(uint64_t seq, const std::vector<Part>& parts, const std::set<std::pair<uint64_t, unsigned>>* placed) {
    for (const Part& p : parts) {
        if (p.kind != Part::kLog) continue;
        if (placed != nullptr && placed->count({seq, static_cast<unsigned>(p.number)}) != 0) continue;
        if (int err = appendLine(kLogs, p.line); err != 0) return err;
    }
    return 0;
}

void finishSlots(int fd, bool all);

// Under g_mutex, the gate held: while one is held this thread overwrites
// files in place. The place lock keeps writers to one at a time; the page's
// count, odd meanwhile, tells readers to wait. A holder that died left it
// odd and its record half in place: the next one (`mend`) first finishes
// the records of writers that died. Without a writable page nothing is
// overwritten (readers could not tell).
class Placing {
public:
    Placing(int fd, bool mend) : fd_(fd) {
        if (t_placing > 0) {
            ++t_placing, nested_ = true;
            return;
        }
        if (lockByte(fd, F_WRLCK, kPlace) != 0) return;
        locked_ = true;
        const uint64_t count = placingCount();
        // Odd: moved on by two, so that no reader takes it for the dead one's.
        if (!setPlacingCount(count + ((count & 1) != 0 ? 2 : 1))) return;
        counted_ = true;
        ++t_placing;
        if ((count & 1) != 0 && mend) finishSlots(fd, false);
    }
    ~Placing() {
        if (nested_ || counted_) --t_placing;
        if (counted_) setPlacingCount(placingCount() + 1);
        if (locked_) unlockByte(fd_, kPlace);
    }
    Placing(const Placing&) = delete;
    Placing& operator=(const Placing&) = delete;

private:
    int fd_;
    bool nested_ = false, locked_ = false, counted_ = false;
};

// The bytes a change's runs give, over `content`, cut or grown to its size after.
void applyRuns(const Part& p, std::vector<uint8_t>& content) {
    content.resize(p.afterSize);
    for (const HistoryRecord::Run& run : p.runs)
        for (std::size_t k = 0; k < run.after.size() && run.offset + k < content.size(); ++k)
            content[run.offset + k] = run.after[k];
}

// A content as a record's changes of it leave it, from `content` before the
// first: false where the record does not hold enough (or the result is not
// the one it names).
bool replay(const Part& p, bool& exists, std::vector<uint8_t>& content, bool& known) {
    if (p.base) content = p.change.before, known = true, exists = true;
    if (!p.change.existed) content.clear(), known = true, exists = false;
    if (known && (exists != p.change.existed ||
                  (exists && (content.size() != p.beforeSize || crc32(content.data(), content.size()) != p.beforeCrc))))
        known = false;
    exists = p.change.exists;
    if (!exists) {
        content.clear();
        known = true;
        return true;
    }
    if (p.full) {
        content = p.change.after;
        known = true;
    } else if (known) {
        applyRuns(p, content);
    }
    known = known && content.size() == p.afterSize && crc32(content.data(), content.size()) == p.afterCrc;
    return known;
}

bool shows(const std::vector<uint8_t>& bytes, bool present, bool exists, uint32_t size, uint32_t crc) {
    return present == exists && (!exists || (bytes.size() == size && crc32(bytes.data(), bytes.size()) == crc));
}

// What a record's changes of one name make of `content`, each of whose
// bytes held the one before the changes or the one after (a writer killed
// overwriting it leaves such a mix; one that did not start leaves the
// content before): false unless that gives the content after.
bool redoOver(const Record& r, const Net& n, bool& exists, std::vector<uint8_t>& content) {
    for (std::size_t i = n.first; i <= n.last; ++i) {
        const Part& p = r.parts[i];
        if (p.kind != Part::kChange || p.change.name != n.name) continue;
        exists = p.change.exists;
        if (!exists)
            content.clear();
        else if (p.full)
            content = p.change.after;
        else
            applyRuns(p, content);
    }
    const Part& last = r.parts[n.last];
    return shows(content, exists, last.change.exists, last.afterSize, last.afterCrc);
}

// Under the place lock: finishes a record a writer journaled and did not
// put in place, whole or in part: each name gets its content after.
void finishRecord(const Record& r) {
    for (const Net& n : netChanges(r.parts)) {
        const Part& last = r.parts[n.last];
        std::vector<uint8_t> now;
        bool exists = readWhole(n.name, now) == 0;
        if (shows(now, exists, last.change.exists, last.afterSize, last.afterCrc)) continue;
        if (!redoOver(r, n, exists, now)) {
            sayOnce(("finish " + n.name).c_str(),
                    n.name + " was changed outside the platform: record " + std::to_string(r.seq) +
                        " of the journal is not put in place for it");
            continue;
        }
        putInPlace(n.name, exists, now);
    }
    std::set<std::pair<uint64_t, unsigned>> placed = placedLogs();
    appendLogs(r.seq, r.parts, &placed);
}

// Under g_mutex, the gate held: the records of writers that died with them
// half in place.
void finishSlots(int fd, bool all) {
    bool durable = false;
    for (const PendingSlot& p : pendingSlots(all)) {
        // The mark is set before the append: a writer that died before it
        // wrote left the place to the next writer's record.
        Record r;
        if (recordAt(fd, p.pending - 1, r) && r.pid == p.pid) {
            // The writer may have died before its flush: what is put in
            // place, its logs above all, must never outlive its record.
            if (!durable && syncOn() && syncFile(fd, kJournal) != 0) return;
            durable = true;
            Placing place(fd, false);
            finishRecord(r);
        }
        clearPending(p.slot, p.pending);
    }
}

// ---------------------------------------------------------------- checkpoints

// Under g_mutex, the gate held exclusively: makes every file the records
// since the last checkpoint changed durable (the file system's whole
// content, in one flush), then records the checkpoint; rotates the
// committed logs and the journal past their bounds.
void checkpointLocked(int fd) {
    finishSlots(fd, true);
    // Everything written since the last checkpoint, every file and
    // directory the records since changed among it, durable in one flush.
    if (syncAll() != 0) return;  // no checkpoint over a file not made durable
    crashPoint("checkpointing");
    if (appendLone(fd, Part::kCheckpoint) != 0) return;
    crashPoint("checkpointed");
    // Only once the checkpoint is durable: a rotation drops the older logs,
    // and a recovery from the checkpoint before would append again the logs
    // of its records it no longer finds.
    rotateLog(kLogs, committedRotation());
    if (writtenLength(fd) >= journalBound()) {
        if (::renameat(rootFd(), kJournal, rootFd(), kOlder) == 0) {
            crashPoint("rotated");
            int dir = openIn("", O_RDONLY | O_DIRECTORY);
            if (dir >= 0) {
                syncDir(dir, ".");
                ::close(dir);
            }
        }
    }
}

// After a commit (`logged`: that appended error logs).
void maybeCheckpoint(bool logged) {
    // Far from every bound by the page's note of the append just made, and
    // the committed logs unchanged: nothing to look at.
    JournalBook noted;
    if (!logged && journalBook(noted) && noted.file == g_ino && noted.end >= noted.sinceAt && noted.end > 0 &&
        withinBounds(static_cast<off_t>(noted.end), static_cast<off_t>(noted.end - noted.sinceAt)))
        return;
    std::string why;
    const int fd = journal(why);
    if (fd < 0) return;
    struct stat logs {};
    JournalBook book;
    off_t length = writtenLength(fd);
    if (length < 0 || !journalBook(book)) return;
    const off_t since = book.file == g_ino ? length - static_cast<off_t>(book.sinceAt) : length;
    const bool logsFull = fstatatQuiet(rootFd(), kLogs, &logs, AT_SYMLINK_NOFOLLOW) == 0 &&
                          logs.st_size >= committedRotation().at;
    if (withinBounds(length, since) && !logsFull) return;
    if (openGate(F_WRLCK, why) < 0) return;
    const int gated = g_fd;
    // Another process may have checkpointed while this one waited.
    if (journalBook(book) && book.file == g_ino && (length = writtenLength(gated)) >= 0 &&
        withinBounds(length, length - static_cast<off_t>(book.sinceAt)) &&
        !(fstatatQuiet(rootFd(), kLogs, &logs, AT_SYMLINK_NOFOLLOW) == 0 && logs.st_size >= committedRotation().at)) {
        unlockByte(gated, kGate);
        return;
    }
    {
        // Logs rotate: every process reads them afresh.
        WriteWindow window;
        checkpointLocked(gated);
    }
    unlockByte(gated, kGate);
}

struct Busy {
    Busy() { t_busy = true; }
    ~Busy() { t_busy = false; }
};

}  // namespace

int journalCommit(std::vector<Part>& parts) {
    checkCounters();
    const std::string unwritable = countersUnwritable();
    if (!unwritable.empty()) {
        sayOnce(("counters " + unwritable).c_str(),
                "not changing " + shownDir() + ": " + unwritable + ", so other processes could not learn of the change");
        return EACCES;
    }
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Busy busy;
    std::string why;
    int err = 0;
    {
        WriteWindow window;
        for (const Part& p : parts) window.touch(p.kind == Part::kLog ? std::string_view(kLogs) : p.change.name);
        const int fd = openGate(F_RDLCK, why);
        if (fd < 0) {
            sayOnce(why.c_str(), "not changing " + shownDir() + ": " + why);
            return -fd;
        }
        // The record: every change with what rebuilds it, every log in place.
        lockByte(fd, F_WRLCK, kAppend);
        JournalBook book = currentBook();
        const uint64_t seq = ++book.seq;
        std::string line = header(seq);
        std::vector<uint64_t> wholeNames;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            Part& p = parts[i];
            if (p.kind == Part::kLog) {
                p.line = placedLog(p.line, seq, i);
                line += " E line=";
                putHex(line, reinterpret_cast<const uint8_t*>(p.line.data()), p.line.size());
                continue;
            }
            const Change& c = p.change;
            line += " C name=";
            line += hexText(c.name);
            putContent(line, " from=", c.existed, c.before);
            putContent(line, " to=", c.exists, c.after);
            if (c.setup) line += " setup=1";
            const uint64_t h = nameHash(c.name);
            bool whole = !c.existed;
            if (c.existed && (c.before.size() <= kSmall || !detail::based(book.checkpoint, h))) {
                putWhole(line, " base=", c.before);
                whole = true;
            }
            if (c.exists) {
                std::string runs;
                if (diffRuns(c.existed ? c.before : std::vector<uint8_t>(), c.after, runs)) {
                    line += runs;
                } else {
                    putWhole(line, " full=", c.after);
                    whole = true;
                }
            } else {
                whole = true;
            }
            if (whole) wholeNames.push_back(h);
        }
        seal(line);
        int64_t at = line.size() > kMaxRecord ? -E2BIG : 0;
        Tail tail;
        if (at == 0) at = -journalTail(fd, book, tail);
        if (at == 0) {
            // Its number taken and the record marked before the first byte:
            // a writer killed after that leaves no number to give twice, and
            // its record to be finished.
            setJournalBook(book);
            window.pending(static_cast<uint64_t>(tail.at) + (tail.torn ? kTornEnd.size() : 0) + 1);
            at = appendRecord(fd, book, tail, line);
        }
        if (at >= 0)
            for (uint64_t h : wholeNames) noteBased(book.checkpoint, h);
        unlockByte(fd, kAppend);
        if (at < 0) {
            window.pending(0);
            unlockByte(fd, kGate);
            err = static_cast<int>(-at);
            sayOnce(("journal " + std::to_string(err)).c_str(),
                    "not changing " + shownDir() + ": " + shownDir() + "/" + kJournal + " cannot be appended to (" +
                        std::strerror(err) + ")");
            return err;
        }
        // Acknowledged once durable: the one flush of the call.
        if (syncOn()) err = syncFile(fd, kJournal);
        if (err == 0) crashPoint("flushed");
        // In place: the logs, then each name's last content.
        const std::vector<Net> nets = netChanges(parts);
        std::size_t applied = 0;
        if (err == 0) err = appendLogs(seq, parts, nullptr);
        std::optional<Placing> place;
        if (err == 0 && !nets.empty()) place.emplace(fd, true);
        for (; err == 0 && applied < nets.size(); ++applied) {
            const Change& c = parts[nets[applied].last].change;
            err = putInPlace(c.name, c.exists, c.after);
        }
        if (err != 0) {
            // Not made after all: what was put in place goes back (the name
            // that failed too, counted in `applied`: it may be overwritten in
            // part), and the journal says the record's changes did not happen.
            for (std::size_t k = 0; k < applied; ++k) {
                const Change& c = parts[nets[k].first].change;
                putInPlace(c.name, c.existed, c.before);
            }
            place.reset();
            appendLone(fd, Part::kCancel, seq);
            forgetBased();  // recovery passes over the cancelled record, whole contents and all
            sayOnce(("apply " + std::to_string(err)).c_str(),
                    "a change of " + shownDir() + " was not made: " + std::strerror(err));
        }
        place.reset();
        window.pending(0);
        unlockByte(fd, kGate);
        afterCommit(window);
    }
    if (err == 0)
        maybeCheckpoint(std::any_of(parts.begin(), parts.end(), [](const Part& p) { return p.kind == Part::kLog; }));
    return err;
}

bool placingHere() { return t_placing > 0; }

bool settlePlacing() {
    if (t_busy) return false;  // the journal's own reads hold the place lock
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Busy busy;
    std::string why;
    const int fd = openGate(F_RDLCK, why);
    if (fd < 0) return false;
    // A writer overwriting holds the place lock: this waits until it is done.
    bool settled = lockByte(fd, F_RDLCK, kPlace) == 0 && (placingCount() & 1) == 0;
    unlockByte(fd, kPlace);
    if (!settled) {
        // It died half-way: the records of writers that died are finished.
        Placing place(fd, true);
        settled = placingHere();
    }
    unlockByte(fd, kGate);
    return settled;
}

bool finishDead(bool all) {
    if (t_busy) return false;  // the journal's own work reads values too
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Busy busy;
    std::string why;
    const int fd = openGate(all ? F_WRLCK : F_RDLCK, why);
    if (fd < 0) return false;
    finishSlots(fd, all);
    unlockByte(fd, kGate);
    return true;
}

void recover() {
    if (t_busy) return;
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    Busy busy;
    const uint64_t boot = bootId();
    if (recoveredBoot() == boot) return;
    // No journal yet: nothing to redo, and none is made by looking. The
    // page's book, as the cut left it, is no one's to go on with.
    struct stat there {};
    if (fstatatQuiet(rootFd(), kJournal, &there, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        setJournalBook(JournalBook{});
        setRecoveredBoot(boot);
        return;
    }
    std::string why;
    const int fd = openGate(F_WRLCK, why);
    if (fd < 0) {
        if (!why.empty()) sayOnce(why.c_str(), "the journal cannot be redone: " + why);
        return;
    }
    if (recoveredBoot() == boot) {
        unlockByte(fd, kGate);
        return;
    }
    // What is redone must be durable first: a counter page set up again
    // looks like a power cut, and a writer killed before its flush left its
    // record unflushed.
    if (syncOn() && syncFile(fd, kJournal) != 0) {
        unlockByte(fd, kGate);
        return;
    }
    // The records after the last checkpoint, in order, those cancelled left out.
    std::vector<Record> since;
    JournalBook book;
    book.file = g_ino;
    // Where a line that is no record, and that no later writer ended as
    // torn, begins: what was written before the cut ends there. A flush
    // makes everything before it durable, so nothing after it was flushed,
    // whatever the cut left of it.
    std::optional<uint64_t> cutAt;
    for (const char* name : {kOlder, kJournal}) {
        const bool current = std::strcmp(name, kJournal) == 0;
        eachLine(name, 0, [&](std::string_view line, uint64_t at, bool) {
            if (current && cutAt) return;
            Record r;
            if (!parseRecord(line, r)) {
                if (current && !line.ends_with(kTornEnd.substr(0, kTornEnd.size() - 1))) cutAt = at;
                return;
            }
            book.seq = std::max(book.seq, r.seq);
            if (!r.parts.empty() && r.parts[0].kind == Part::kCheckpoint) {
                since.clear();
                book.checkpoint = r.seq;
                book.sinceAt = current ? at + line.size() + 1 : 0;
                return;
            }
            if (!r.parts.empty() && r.parts[0].kind == Part::kCancel) {
                const uint64_t gone = r.parts[0].number;
                since.erase(std::remove_if(since.begin(), since.end(), [&](const Record& x) { return x.seq == gone; }),
                            since.end());
                return;
            }
            since.push_back(std::move(r));
        });
    }
    // Each name's content as the journal leaves it, rebuilt from the records alone.
    struct Rebuilt {
        bool exists = false, known = false;
        std::vector<uint8_t> bytes;
    };
    std::map<std::string, Rebuilt> names;
    std::vector<std::string> order;
    // Every file may be overwritten; what a writer that died half-way left
    // is redone below with the rest.
    Placing place(fd, false);
    for (const Record& r : since) {
        for (const Part& p : r.parts) {
            if (p.kind != Part::kChange) continue;
            auto [it, fresh] = names.try_emplace(p.change.name);
            Rebuilt& b = it->second;
            if (fresh) {
                order.push_back(p.change.name);
                // A first record that does not hold the whole content: the
                // file is the one the checkpoint made durable, if it shows it.
                if (!p.base && p.change.existed) {
                    b.exists = readWhole(p.change.name, b.bytes) == 0;
                    b.known = shows(b.bytes, b.exists, true, p.beforeSize, p.beforeCrc);
                }
            }
            replay(p, b.exists, b.bytes, b.known);
        }
    }
    for (const std::string& n : order) {
        const Rebuilt& b = names[n];
        if (!b.known) {
            sayOnce(("recover " + n).c_str(), n + ": the journal does not hold its content after a power cut; left as it is");
            continue;
        }
        std::vector<uint8_t> now;
        const bool present = readWhole(n, now) == 0;
        if (present == b.exists && (!present || now == b.bytes)) continue;
        putInPlace(n, b.exists, b.bytes);
        crashPoint("recovering");
    }
    // The committed logs: those of the records since that the files do not
    // hold, appended. Every log there belongs to a durable record (a log is
    // put in place only once its record is), so none is taken back; what a
    // cut tore is junk, passed over by every reader.
    const std::set<std::pair<uint64_t, unsigned>> placed = placedLogs();
    for (const Record& r : since) appendLogs(r.seq, r.parts, &placed);
    // What follows the end is zeroed, so that no reader takes a record there
    // for one, and the next record goes there.
    if (cutAt) {
        Tail tail;
        if (journalTail(fd, JournalBook{}, tail) == 0 && static_cast<off_t>(*cutAt) < tail.at) {
            const Piece zeros{nullptr, static_cast<std::size_t>(tail.at - static_cast<off_t>(*cutAt))};
            if (writePieces(fd, &zeros, 1, static_cast<off_t>(*cutAt)) == 0) book.end = *cutAt;
        }
    }
    // Records the cut took may have held the whole contents the page says
    // the journal holds: each name's next record carries its own again.
    forgetBased();
    setJournalBook(book);
    // No writer of the page's last boot is alive: their marks go.
    for (const PendingSlot& p : pendingSlots(true)) clearPending(p.slot, p.pending);
    setRecoveredBoot(boot);
    bumpCounters();
    unlockByte(fd, kGate);
}

}  // namespace gardhost::detail
