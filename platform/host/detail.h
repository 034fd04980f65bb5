// Internals shared by the host platform's sources; not part of its control API.
//
// Where each part lives:
//   dir.cc         where the state directory is, its defaults, firmware paths
//   files.cc       file operations confined to the state directory: whole
//                  contents put in place, appends, rotations
//   stage.cc       calls: what a process changes, staged until the call ends
//   journal.cc     the journal: records, their one flush, putting changes in
//                  place, checkpoints, finishing dead writers' records,
//                  recovery after a power cut
//   history.cc     reading the journal as history
//   generation.cc  the change counters every process maps, and the windows
//                  writers open around their writes
//   values.cc      named values, through a cache that follows the counters
//   power.cc       test modes: crash points and simulated power loss
#ifndef PLATFORM_HOST_DETAIL_H
#define PLATFORM_HOST_DETAIL_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host.h"

class ErrlEntry;

namespace gardhost::detail {

// What a call works on, as faults and the call log name it: a text (file
// name, registry key, path) or a number shown in hex ("0x200") or decimal.
// Kept raw: it is printed only when a fault or the call log asks for it.
struct Target {
    enum Kind : uint8_t { kNone, kText, kHex, kDec };
    Kind kind = kNone;
    std::string_view text;
    uint32_t number = 0;

    static Target none() { return {}; }
    static Target of(std::string_view t) { return {kText, t, 0}; }
    static Target hex(uint32_t n) { return {kHex, {}, n}; }
    static Target dec(uint32_t n) { return {kDec, {}, n}; }
    std::string str() const;
};

// A call's arguments, kept raw and printed only when calls() is read: a
// literal format whose %d %u %x %X %o (flags and width allowed) take the
// numbers in order and whose %s takes `text`.
struct Args {
    const char* format = "";
    long long v[4] = {0, 0, 0, 0};
    std::string_view text;
    std::string str() const;
};
template <class... T>
Args args(const char* format, T... values) {
    static_assert(sizeof...(T) <= 4, "at most four numbers");
    Args a;
    a.format = format;
    long long* p = a.v;
    ((*p++ = static_cast<long long>(values)), ...);
    return a;
}
template <class... T>
Args argsText(const char* format, std::string_view text, T... values) {
    Args a = args(format, values...);
    a.text = text;
    return a;
}

// Logs a platform call and tells whether fault injection makes it fail.
// Calls without a failure value pass canFail false: logged, never failed.
bool enter(const char* name, const Target& target, const Args& args = {}, bool canFail = true);
// The entry a failed call returns: the injected fault (err 0) or a real
// failure with its errno.
ErrlEntry* failure(const std::string& call, const std::string& target, int err);
ErrlEntry* failure(const char* call, const Target& target, int err);
// The faults file or the environment is to be read again before the next call.
void faultsFileChanged();
void faultsStale();

// A name built on the stack ("sp0/reg/dscv/QelRole", "vpd/0x200/keyword");
// only a long one goes to the heap. Always NUL-terminated.
class Name {
public:
    Name() { small_[0] = '\0'; }
    Name& add(std::string_view s);
    Name& hex(uint32_t v);
    Name& dec(uint32_t v);
    std::string_view view() const { return big_.empty() ? std::string_view(small_, len_) : big_; }
    const char* c_str() const { return big_.empty() ? small_ : big_.c_str(); }

private:
    char small_[120];
    std::size_t len_ = 0;
    std::string big_;
};
// The registry name of `key` in the current processor's view.
Name regName(std::string_view key);

// ---- the state directory (dir.cc)
// Its path, created, swept and seeded on first use. Valid until the next
// setStateDir.
const std::string& stateRoot();
// Its path, created but not yet seeded or swept.
std::string chosenDir();
// Its path for messages; takes no lock another part may hold.
std::string shownDir();
// A descriptor of the state directory every file operation resolves
// against (opened with its path on first use), or -1 when it cannot be
// opened.
int rootFd();
bool syncOn();
// GARD_HOST_CALLLOG, read at first use and by setStateDir.
bool callLogToFile();
// A firmware path as a name inside the state directory: "root" and the
// path in normal form, ".." never climbing above "root" ("/opt/p3/x" and
// "/tmp/../opt/p3/x" both give "root/opt/p3/x").
std::string firmwareName(std::string_view firmwarePath);

// ---- files inside the state directory (files.cc)
// Every name is relative to the state directory and resolved beneath it:
// no symbolic link is followed and ".." cannot leave it, so no write lands
// outside whatever links the directory holds. Results are a descriptor or
// minus an errno.
int openIn(std::string_view name, int flags, mode_t mode = 0);
// The directory `name` ("" for the state directory), made with its missing
// parents when `make`. New directories are made durable by the next
// checkpoint, not here: the journal can make them again.
int openDirIn(std::string_view name, bool make);
// The whole content of a regular file as it is on disk (not what a call
// under way has staged): 0 or an errno (ENOENT, EACCES, ELOOP for a link,
// EISDIR ...).
int readWhole(std::string_view name, std::vector<uint8_t>& out);
// Pieces of a file's new content, in order; data null: that many zero bytes.
struct Piece {
    const void* data;
    std::size_t size;
};
// Writes the pieces at `offset` onwards (appends where it is -1), a piece
// with no data as zeros; 0 or an errno.
int writePieces(int fd, const Piece* pieces, std::size_t count, off_t offset);
// Puts new content at `name` so that every reader and every process killed
// at any moment sees the old content or the new one, never a mix: it is
// written to a temporary file beside it, which is renamed into place. No
// flush: the journal makes changes durable. With sync off an existing file
// of this directory alone is overwritten in place instead (fast, and a
// writer killed half-way may leave it torn). `mode` < 0 keeps the mode of
// the file replaced (0644 for a new one). 0 or an errno.
int replaceFile(std::string_view name, const Piece* pieces, std::size_t count, int mode = -1);
inline int replaceFile(std::string_view name, const std::vector<uint8_t>& bytes) {
    const Piece one{bytes.data(), bytes.size()};
    return replaceFile(name, &one, 1);
}
// Overwrites the regular file `name`, of this directory alone, in place
// with `bytes`: no new file, so the journal's next flush does not first
// write out a new file's blocks. Only while the journal's place lock is
// held (readers go by the page's count). ENOENT when there is no such
// file, EMLINK when it is linked elsewhere (replace it instead); 0 or an
// errno.
int overwriteFile(std::string_view name, const std::vector<uint8_t>& bytes);
// Removes the file `name`: 0, or an errno (ENOENT).
int unlinkFile(std::string_view name);
// Whether `name` could be written: its directory there or makeable and
// writable, the name no directory. 0 or an errno; checked when a change is
// staged, so that a change that cannot be put in place fails at its call.
int writable(std::string_view name);
// Makes the directory of `name` and each one above it durable. 0 or an errno.
int syncDirOf(std::string_view name);
// A log kept to a bound: once `at` bytes long it becomes "<name>.1",
// replacing the older part, so that the two hold at most about twice `at`.
// `lastLine`, when given, is appended just before: what the part being
// dropped held, told by the part that replaces it.
struct Rotation {
    off_t at;
    std::function<std::string()> lastLine;
};
// The bound set by the environment variable `env` (bytes), else `fallback`.
off_t byteLimit(const char* env, off_t fallback);
// Rotates the log `name` when it has reached the bound, durably. Only
// checkpoints rotate: what a rotation drops, a checkpoint has covered.
// True when it rotated.
bool rotateLog(std::string_view name, const Rotation& rotation);
// Appends one line (a newline is added) to `name`, creating it; a torn line
// left by a writer that died is ended first, so that it spoils no other.
// Not flushed.
int appendLine(std::string_view name, std::string_view line);
// What ends a line a writer left without its end (killed, or cut by a power
// loss) before the next line is appended. It is no "\n" alone: a line cut
// just before its end would then pass its checksum, a record never flushed
// or a log already put back after it becoming whole behind the reader's back.
inline constexpr std::string_view kTornEnd = " (torn)\n";
// Appends `line` and a newline to the open file `fd` (`st` its fstat),
// ending first a line a killed writer left torn.
int appendTo(int fd, const struct stat& st, std::string_view line);
// The same in one write to `fd`, opened for appending and `size` long: a
// torn last line is ended first, with a mark that keeps it junk. Where
// `line` begins, or -errno. No crash point.
int64_t appendEnded(int fd, off_t size, std::string_view line);
// Writes `line` and a newline at `at` (appended, where `append`: `at` is then
// the file's size), after the mark that ends a torn line when `torn`, and
// `zeros` zero bytes after it. Where `line` begins, or -errno.
int64_t writeEnded(int fd, off_t at, bool append, bool torn, std::string_view line, std::size_t zeros);
// This process's id, without a system call each time.
int processId();
// fstatat(2) and fstat(2) without the times (type, mode, links, inode,
// device and size are filled): a look that asks for a file's times has the
// file system keep its next change time to the nanosecond, and the inode
// changed by every write is then written by the next flush of any file
// whose inode shares its block, the journal's among them. The platform
// never needs the times.
int fstatatQuiet(int dirFd, const char* path, struct stat* st, int flags);
int fstatQuiet(int fd, struct stat* st);
// A regular file of this directory only: a hard link would let a write in
// place land in a file elsewhere.
bool ownRegular(int fd, struct stat& st);
// Whether a file name is a writer's work file: a temporary (".x.XXXXXX") or
// a standby an earlier version kept (".x.standby").
bool workFileName(std::string_view name);
// Removes what writers that died left: temporary files (".x.XXXXXX") whose
// writer no longer holds their lock, and standbys of earlier versions.
void sweepTemporaries();
// Forgets kept descriptors (setStateDir).
void closeKept();

// ---- change counters (generation.cc)
// Every change of a named value goes through a write window: opened before
// the first byte is written, closed once the change is complete, which
// moves the counter every process checks. A writer that dies inside its
// window leaves it open; readers then trust no cache until one of them
// finds the writer dead, finishes what its journal record holds, and closes
// the window for it.
class WriteWindow {
public:
    explicit WriteWindow(bool faults = false);
    ~WriteWindow();  // closes the window, announcing the change
    WriteWindow(const WriteWindow&) = delete;
    WriteWindow& operator=(const WriteWindow&) = delete;
    // The counter value the change will be announced under, when no other
    // process wrote since `seen`: lets the writer keep its own result cached.
    bool announce(uint64_t seen, uint64_t& next);
    // Names this window changes: readers keep cached values of other names.
    // A window that names none changes, for readers, every name. Naming
    // "faults" also moves every process's faults counter.
    void touch(std::string_view name);
    // Whether the window is open in a counter page this process can write.
    bool open() const { return shared_ != nullptr; }
    // The journal record this writer is putting in place (offset + 1; 0:
    // none): a writer that dies with one leaves it to be finished.
    void pending(uint64_t offsetPlusOne);

private:
    void moveGroups();
    void* shared_ = nullptr;  // the mapping the window was opened in
    uint64_t groups_ = 0;     // the groups of the names touched, one bit each
    int slot_ = -1;
    bool faults_;
    bool announced_ = false;
};
// A value of the values counter that a cache filled now may be trusted
// under, or kUntrusted (a write is under way, a writer died in its window,
// no counter could be kept). Closes the windows of dead writers it finds.
constexpr uint64_t kUntrusted = ~uint64_t{0};
uint64_t trustedCount();
// Whether a cache filled under `seen` still holds: two loads.
bool stillHolds(uint64_t seen);
// Once the counter moved: a value cached while its name's group count and
// the page's epoch were these still holds while both are unmoved
// (kUntrusted without a page).
uint64_t groupCount(std::string_view name);
uint64_t pageEpoch();
uint64_t nameHash(std::string_view name);
// The same for the faults file: false when it may have changed since `seen`,
// which is then updated.
bool faultsUnchanged(uint64_t& seen);
// Maps the state directory's counter file, checking that the file at its
// name is the one mapped (it may have been removed, replaced or damaged):
// at first use, whenever a StateLock is taken, and before writes by a
// process that holds none. A page set up anew, or one of another boot,
// has the journal redone first (recovery).
void checkCounters();
void noteLockHeld(bool held);
void unmapCounters();
// Why this process cannot announce changes ("" when it can): a change
// other processes could not learn of is not made.
std::string countersUnwritable();
// The number of this process's StateLock hold under way (0 with none held):
// what one call of a program changes shares it.
uint64_t lockNumber();
// The journal's shared bookkeeping in the counter page; all zero for a page
// set up anew. Read and written under the journal's append lock.
struct JournalBook {
    uint64_t seq = 0;          // the last sequence number given
    uint64_t checkpoint = 0;   // sequence number of the last checkpoint (its epoch)
    uint64_t file = 0;         // inode of the journal file the offsets below are of
    uint64_t sinceAt = 0;      // offset in it where the last checkpoint's records end
    uint64_t end = 0;          // where its written part ended after the last append (0: not known)
};
bool journalBook(JournalBook& out);
void setJournalBook(const JournalBook& book);
// Whether the journal holds, since the checkpoint of epoch `epoch`, a record
// with the whole content of the name whose hash is `name`.
bool based(uint64_t epoch, uint64_t name);
void noteBased(uint64_t epoch, uint64_t name);
void forgetBased();
// Slots whose writer put a journal record in place (offset + 1) and did
// not finish: of dead writers only, or `all` (the caller holds the journal's
// gate exclusively, so no live writer has one).
struct PendingSlot {
    int slot;
    uint64_t pending;
    int pid;  // the slot's writer
};
std::vector<PendingSlot> pendingSlots(bool all);
void clearPending(int slot, uint64_t pending);
// The boot this page was last recovered in; set once recovery is done.
uint64_t recoveredBoot();
void setRecoveredBoot(uint64_t boot);
// After recovery: every process reads afresh.
void bumpCounters();
// Files are overwritten in place: this count is odd while a writer does so
// (under the journal's place lock), so a reader that saw it even and
// unmoved around its read read no half-written content. 0 without a page.
uint64_t placingCount();
// False when this process has no writable page (nothing may then be
// overwritten in place: readers could not tell).
bool setPlacingCount(uint64_t count);
// Whether this thread holds the journal's place lock: its reads see its own
// writes whole (journal.cc).
bool placingHere();
// Waits for the writer overwriting files in place, or finishes what one
// that died doing so left; false when this process cannot (journal.cc).
bool settlePlacing();
// Runs `read` (0 or an errno) so that it sees no content half overwritten:
// after a writer doing so is done, and again when one overwrote a file
// meanwhile. EAGAIN when writers never let it (or one that died cannot be
// finished by this process).
template <class Read>
int steadyRead(Read&& read) {
    if (placingHere()) return read();
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const uint64_t before = placingCount();
        if ((before & 1) != 0) {
            if (!settlePlacing()) return EAGAIN;
            continue;
        }
        const int err = read();
        if (placingCount() == before) return err;
    }
    return EAGAIN;
}

// ---- named values (values.cc), relative to the state directory
// Copies up to `capacity` bytes of the value into `buffer` and sets `size`
// to its whole length: 0, or an errno (ENOENT: no such value; EACCES ...).
int readValue(std::string_view name, void* buffer, std::size_t capacity, std::size_t& size);
// Changes whenever a cached value may have changed, in this process or by
// another one: what was derived from values with the same generation still
// holds.
uint64_t valuesGeneration();
// Forgets this process's cached copy of a value (changed behind the
// platform's back): read from its file next; a read under way keeps none.
void dropCached(std::string_view name);
// A value holding a number of 1, 2 or 4 bytes (host byte order); false
// when it is missing or of another length.
bool numberValue(std::string_view name, uint32_t& value);
// Writes a value as the platform's own calls do: staged in the call under
// way, or committed at once. 0 or an errno.
int writeValue(std::string_view name, const uint8_t* data, std::size_t size);
// Appends a line to a log of the state directory (not journaled), creating it.
void appendValue(std::string_view name, std::string_view line);
// After this process's commit: its cache stays when no other process wrote.
void afterCommit(WriteWindow& window);
void forgetValues();

// ---- calls and the journal (stage.cc, journal.cc)
// What one call changes: a StateLock hold, or one platform write made
// without one. Its changes are staged in the process and seen by its own
// reads; at its end they go to the journal as one record, made durable by
// one flush, and are then put in place at their names. A call that ends
// without committing (a process killed, a discarded call) changed nothing.
using Change = StagedChange;
void beginCall();
// Ends a call: commits it (0 or an errno) or, with `commit` false, drops its
// changes; its error logs are committed all the same, as a log says what
// happened whether or not the changes are kept.
int endCall(bool commit);
// Commits what the call under way staged so far; the call goes on.
int commitCall();
bool inCall();
// Stages a change of a name the journal tracks (else writes it at once,
// without a flush). Outside a call it is committed at once. 0 or an errno.
// `onDisk`, when given, is what the caller just read at `name` through a
// descriptor open for writing: taken (moved from) instead of reading the
// file again and checking that it can be written.
int writeContent(std::string_view name, const Piece* pieces, std::size_t count,
                 std::vector<uint8_t>* onDisk = nullptr);
inline int writeContent(std::string_view name, const uint8_t* data, std::size_t size) {
    const Piece one{data, size};
    return writeContent(name, &one, 1);
}
int removeContent(std::string_view name);
// Stages a committed error log's line.
void commitLog(std::string line);
// The content of a name as this process sees it: what its call staged,
// else what is on disk. 0 or an errno, as readWhole.
int readContent(std::string_view name, std::vector<uint8_t>& out);
// Whether a name is staged; `content` then points at its staged bytes, null
// for a staged removal.
bool staged(std::string_view name, const std::vector<uint8_t>*& content);
// The committed-log lines this process staged and has not committed, sealed
// as the journal will seal them (their place in it not known yet: 0.0).
std::vector<std::string> stagedLogs();
std::string sealedLog(const std::string& body);
// Drops what is staged (setStateDir, a forked child).
void forgetCall();

// The journal <state>/history: one line a record, each a call's changes and
// error logs, ending in its CRC-32; past a bound (GARD_HOST_HISTORY_MAX) it
// becomes history.1. journal.cc.
struct Part {
    enum Kind { kChange, kLog, kCheckpoint, kCancel } kind = kChange;
    Change change;          // kChange
    std::string line;       // kLog: the committed-log line
    uint64_t number = 0;    // kLog: its place in the record; kCancel: the seq cancelled
    // kChange as read back: what the record holds of the contents.
    bool base = false, full = false;      // whole content before / after recorded
    std::vector<HistoryRecord::Run> runs;
    uint32_t beforeSize = 0, afterSize = 0, beforeCrc = 0, afterCrc = 0;
};
// Appends a record of `parts` durably, puts its changes in place and
// appends its logs. 0 or an errno; on an errno nothing changed.
int journalCommit(std::vector<Part>& parts);
// Finishes the records of writers that died putting them in place; false
// when that could not be done now.
bool finishDead(bool all);
// After a power cut (a page set up anew, or of another boot): redoes every
// record after the last checkpoint whose change the files do not show.
void recover();
// The committed log file's rotation (errl.cc), run by checkpoints, and a
// committed line read back (false: no whole error log).
const Rotation& committedRotation();
bool parseCommittedLine(std::string_view line, Committed& out);
// Records are read with bounds; a line that is no record is junk.
struct Record {
    uint64_t seq = 0, time = 0;
    int sp = 0, pid = 0;
    std::string program, call, command;
    std::vector<Part> parts;
};
bool parseRecord(std::string_view line, Record& out);
// The largest content a name may have in the journal.
constexpr std::size_t kMaxContent = 1 << 20;

// ---- history (history.cc)
// Whether changes of `name` are journaled.
bool historyTracked(std::string_view name);
// While one lives, changes staged are the defaults of a new state directory.
class SeedingDefaults {
public:
    SeedingDefaults();
    ~SeedingDefaults();
    SeedingDefaults(const SeedingDefaults&) = delete;
    SeedingDefaults& operator=(const SeedingDefaults&) = delete;
};
bool seedingDefaults();

// ---- test modes (power.cc)
// A crash point: with GARD_HOST_CRASH_AT naming this one ("N": the Nth point
// of any name; "name#N": the Nth of that name), the process kills itself
// here with SIGKILL, as a power cut or a kill -9 would stop it.
void crashPoint(const char* name);
// With GARD_HOST_POINTS naming a file, each crash point passed and each
// platform call is appended to it, one line each, with the counts that aim
// GARD_HOST_CRASH_AT or a fault at exactly that one (faults.cc).
void listPoint(const char* kind, const char* name, const std::string& target = {});
// Makes a file's or a directory's content durable: fsync with sync on; with
// simulated power loss (GARD_HOST_POWERSIM) recorded instead. 0 or an errno.
// Each is counted (flushes()) and logged as the call "host::flush".
int syncFile(int fd, std::string_view what);
int syncDir(int dirFd, std::string_view what);
// Makes everything the state directory's file system holds durable in one
// flush (syncfs): what a checkpoint needs. 0 or an errno.
int syncAll();
// A file or directory this platform just created: with simulated power loss
// its durable content starts empty.
void created(int fd);
// This boot, as a number: the kernel's boot id, or the simulated one.
uint64_t bootId();

// ---- text
uint32_t crc32(const unsigned char* p, std::size_t n);
std::string hex(uint32_t v);  // "0x1f"
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Text as hex digits and back, so any text fits a whitespace-separated line.
std::string hexText(std::string_view text);
std::string unhexText(const std::string& digits);
// Says `text` on stderr once per process and `key`.
void sayOnce(const char* key, const std::string& text);

}  // namespace gardhost::detail

#endif
