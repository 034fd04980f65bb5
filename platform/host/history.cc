// The history of a state directory, read from its journal: every change of
// a gard file, a VPD value, a registry value or another platform value, and
// every committed error log, in the order the journal holds them, with the
// contents before and after each change rebuilt from the records.
//
// The journal is read in one pass, a block at a time; what is kept between
// records is each name's content (bounded, see kBudget), never the records.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace gardhost {
namespace detail {
namespace {
thread_local int t_seeding = 0;
}  // namespace

// Gard files, VPD, registries, the platform's settings, the faults and the
// mark of a set-up directory; not logs, traces or work files.
bool historyTracked(std::string_view name) {
    for (std::string_view prefix : {"root/", "vpd/", "sp0/", "sp1/", "vorm/", "mnfg/"})
        if (name.substr(0, prefix.size()) == prefix) return name != "vorm/log";
    return name == "faults" || name == ".seeded";
}

SeedingDefaults::SeedingDefaults() { ++t_seeding; }
SeedingDefaults::~SeedingDefaults() { --t_seeding; }
bool seedingDefaults() { return t_seeding > 0; }

}  // namespace detail

namespace {

constexpr const char* kJournal = "history";
constexpr const char* kOlder = "history.1";

// What the reader knows of a name: its content where the records rebuild
// it, and what it was before the last record, should that be cancelled.
struct Known {
    bool known = false, exists = false;
    std::vector<uint8_t> bytes;
    uint64_t lastSeq = 0;
    bool prevKnown = false, prevExists = false;
    std::vector<uint8_t> prev;
};

}  // namespace

struct HistoryReader::State {
    uint64_t file = 0;     // inode of the journal file read last
    uint64_t offset = 0;   // where in it the next record starts
    bool olderRead = false;
    std::string partial;   // a line whose end has not been written yet
    std::map<std::string, Known> names;
    std::size_t held = 0;  // bytes of contents kept
    std::size_t budget = 0;
};

namespace {

// Contents kept are bounded by what the journal itself holds (twice its
// size, and at least enough for every gard file): a record that claims a
// larger content than it holds cannot make the reader hold more.
constexpr std::size_t kBudgetFloor = 8u << 20;

const std::vector<uint8_t>* known(const Known& k) { return k.known && k.exists ? &k.bytes : nullptr; }

void emitChange(HistoryReader::State& s, const detail::Record& r, const detail::Part& p, const HistoryEach& each,
                HistoryRecord& h) {
    Known& k = s.names[p.change.name];
    h.kind = HistoryRecord::kChange;
    h.name = p.change.name;
    h.before = p.change.existed;
    h.after = p.change.exists;
    h.beforeSize = p.beforeSize;
    h.afterSize = p.afterSize;
    h.beforeCrc = p.beforeCrc;
    h.afterCrc = p.afterCrc;
    h.runs = p.runs;
    h.setup = p.change.setup;
    h.status = HistoryRecord::kHappened;
    const std::size_t heldBefore = k.bytes.size() + k.prev.size();
    // The content before: the record's own, else what the journal last left.
    if (p.base) {
        k.known = k.exists = true;
        k.bytes = p.change.before;
    } else if (!p.change.existed) {
        k.known = true;
        k.exists = false;
        k.bytes.clear();
    }
    const bool chained = k.known && k.exists == p.change.existed &&
                         (!k.exists || (k.bytes.size() == p.beforeSize &&
                                        detail::crc32(k.bytes.data(), k.bytes.size()) == p.beforeCrc));
    h.outside = k.lastSeq != 0 && !chained && !p.base && p.change.existed;
    if (!chained) k.known = false;
    k.prevKnown = k.known;
    k.prevExists = k.exists;
    k.prev = k.bytes;
    std::vector<uint8_t> after;
    bool afterKnown = false;
    if (!p.change.exists) {
        afterKnown = true;
    } else if (p.full) {
        after = p.change.after;
        afterKnown = true;
    } else if (k.known) {
        after = k.bytes;
        after.resize(p.afterSize);
        for (const HistoryRecord::Run& run : p.runs)
            for (std::size_t i = 0; i < run.after.size() && run.offset + i < after.size(); ++i)
                after[run.offset + i] = run.after[i];
        afterKnown = detail::crc32(after.data(), after.size()) == p.afterCrc;
    }
    each(h, known(k), afterKnown && p.change.exists ? &after : nullptr);
    k.exists = p.change.exists;
    k.known = afterKnown;
    k.bytes = std::move(after);
    k.lastSeq = r.seq;
    // Past the budget a name's content is let go: later records of it that
    // do not carry it whole show without their contents.
    const std::size_t heldAfter = k.bytes.size() + k.prev.size();
    s.held = s.held - std::min(s.held, heldBefore) + heldAfter;
    if (s.held > s.budget) {
        s.held -= std::min(s.held, heldAfter);
        k.known = k.prevKnown = false;
        k.bytes = {};
        k.prev = {};
    }
}

void emitRecord(HistoryReader::State& s, const detail::Record& r, const HistoryEach& each) {
    HistoryRecord h;
    h.seq = r.seq;
    h.time = r.time;
    h.sp = r.sp;
    h.program = r.program;
    h.pid = r.pid;
    h.call = r.call;
    h.command = r.command;
    for (const detail::Part& p : r.parts) {
        h.part = static_cast<unsigned>(p.number);
        switch (p.kind) {
            case detail::Part::kChange:
                emitChange(s, r, p, each, h);
                break;
            case detail::Part::kLog: {
                HistoryRecord l = h;
                l.kind = HistoryRecord::kLog;
                if (!detail::parseCommittedLine(p.line, l.log)) break;
                each(l, nullptr, nullptr);
                break;
            }
            case detail::Part::kCancel: {
                // The cancelled record's names go back to their content before it.
                for (auto& [name, k] : s.names) {
                    if (k.lastSeq != p.number) continue;
                    k.known = k.prevKnown;
                    k.exists = k.prevExists;
                    k.bytes = k.prev;
                }
                HistoryRecord c = h;
                c.kind = HistoryRecord::kCancel;
                c.status = HistoryRecord::kNotHappened;
                c.cancelled = p.number;
                each(c, nullptr, nullptr);
                break;
            }
            case detail::Part::kCheckpoint:
                break;
        }
    }
}

// Reads the file `name` from `from` on, if it is the file `ino` (any file
// when 0): the number of records, and where it stopped (a line not ended
// yet is kept for the next read).
std::size_t readFile(HistoryReader::State& s, const char* name, uint64_t ino, uint64_t from, const HistoryEach& each,
                     std::vector<std::string>& problems, uint64_t* fileOut, uint64_t* endOut) {
    const std::string shown = detail::shownDir() + "/" + name;
    const int fd = detail::openIn(name, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        if (fd != -ENOENT)
            problems.push_back(shown + " cannot be read: " +
                               (fd == -ELOOP ? std::string("not a regular file") : std::strerror(-fd)));
        return 0;
    }
    struct stat st {};
    if (detail::fstatQuiet(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problems.push_back(shown + " cannot be read: not a regular file");
        ::close(fd);
        return 0;
    }
    if (ino != 0 && st.st_ino != ino) {
        ::close(fd);
        return 0;
    }
    s.budget = std::max(s.budget, std::max(kBudgetFloor, 2 * static_cast<std::size_t>(st.st_size)));
    if (fileOut != nullptr) *fileOut = st.st_ino;
    std::size_t records = 0, bad = 0, badAt = 0, lineNo = 0;
    uint64_t at = from;
    std::vector<char> buf(1 << 16);
    std::string& line = s.partial;
    constexpr std::size_t kMaxLine = 64u << 20;
    bool tooLong = line.size() > kMaxLine;
    for (;;) {
        const ssize_t n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n);) {
            const auto* nl = static_cast<const char*>(std::memchr(buf.data() + i, '\n', static_cast<std::size_t>(n) - i));
            const std::size_t end = nl != nullptr ? static_cast<std::size_t>(nl - buf.data()) : static_cast<std::size_t>(n);
            if (!tooLong && line.size() + (end - i) <= kMaxLine)
                line.append(buf.data() + i, end - i);
            else
                tooLong = true, line.clear();
            if (nl == nullptr) break;
            ++lineNo;
            detail::Record r;
            if (!tooLong && !line.empty() && detail::parseRecord(line, r)) {
                emitRecord(s, r, each);
                ++records;
            } else if (tooLong || !line.empty()) {
                if (bad++ == 0) badAt = lineNo;
            }
            line.clear();
            tooLong = false;
            i = end + 1;
        }
        at += static_cast<uint64_t>(n);
    }
    ::close(fd);
    // What follows the last newline is a record being written, or one a
    // writer left torn: read again next time from its start.
    if (endOut != nullptr) *endOut = at - line.size();
    // Zeros alone are the room written ahead of the next record.
    const bool torn = line.find_first_not_of('\0') != std::string::npos;
    line.clear();
    if (torn)
        problems.push_back(shown + ": its last record is cut short (its writer stopped while writing it, or is still "
                                   "writing it), passed over");
    if (bad != 0)
        problems.push_back(shown + ": " + std::to_string(bad) + (bad == 1 ? " line that is" : " lines that are") +
                           " no journal record (torn, junk or claiming more than it holds; first at line " +
                           std::to_string(badAt) + (from != 0 ? " of what was read" : "") + "), passed over");
    return records;
}

}  // namespace

HistoryReader::HistoryReader() : state_(new State) {}
HistoryReader::~HistoryReader() { delete state_; }

std::size_t HistoryReader::read(const HistoryEach& each, std::vector<std::string>& problems) {
    detail::stateRoot();
    State& s = *state_;
    std::size_t records = 0;
    if (!s.olderRead) {
        s.olderRead = true;
        records += readFile(s, kOlder, 0, 0, each, problems, nullptr, nullptr);
    }
    struct stat named {};
    const bool there = detail::fstatatQuiet(detail::rootFd(), kJournal, &named, AT_SYMLINK_NOFOLLOW) == 0;
    if (s.file != 0 && (!there || named.st_ino != s.file)) {
        // Rotated since: the rest of the file read last is history.1 now.
        uint64_t end = 0;
        records += readFile(s, kOlder, s.file, s.offset, each, problems, nullptr, &end);
        s.file = 0;
        s.offset = 0;
    }
    if (!there && s.file == 0) {
        if (detail::fstatatQuiet(detail::rootFd(), kJournal, &named, AT_SYMLINK_NOFOLLOW) != 0 && errno != ENOENT)
            problems.push_back(detail::shownDir() + "/" + kJournal + " cannot be read: " + std::strerror(errno));
        return records;
    }
    uint64_t file = 0, end = s.offset;
    records += readFile(s, kJournal, s.file, s.offset, each, problems, &file, &end);
    if (file != 0) {
        s.file = file;
        s.offset = end;
    }
    return records;
}

void HistoryReader::outsideChanges(std::vector<std::string>& problems) {
    for (const auto& [name, k] : state_->names) {
        if (!k.known) continue;
        std::vector<uint8_t> now;
        const bool present = detail::readContent(name, now) == 0;
        if (present != k.exists || (present && now != k.bytes))
            problems.push_back(detail::shownDir() + "/" + name +
                               " was changed outside the platform after its last change in the journal");
    }
}

void readHistory(const HistoryEach& each, std::vector<std::string>& problems) {
    HistoryReader reader;
    reader.read(each, problems);
}

}  // namespace gardhost
