// Internals shared by the host platform's sources; not part of its control API.
//
// Where each part lives:
//   dir.cc         where the state directory is, its defaults, firmware paths
//   files.cc       file operations confined to the state directory, durable
//                  writes and appends
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
// parents when `make` (each new one made durable in its parent).
int openDirIn(std::string_view name, bool make);
// The whole content of a regular file: 0 or an errno (ENOENT, EACCES,
// ELOOP for a link, EISDIR ...).
int readWhole(std::string_view name, std::vector<uint8_t>& out);
// Pieces of a file's new content, in order; data null: that many zero bytes.
struct Piece {
    const void* data;
    std::size_t size;
};
// Puts new content at `name` so that it is either all there or not at all,
// also across a power cut with sync on: the content goes to a standby file
// beside it (".<name>.standby"), is synced, and is exchanged with the file
// in one rename; the directory is synced after. The old content becomes
// the standby for the next write. A new file is renamed into place.
// `mode` < 0 keeps the mode of the file replaced (0644 for a new one). With
// `keep` non-null the new file stays open for reading and writing and its
// descriptor is stored there. 0 or an errno.
int putFile(std::string_view name, const Piece* pieces, std::size_t count, int* keep = nullptr,
            int mode = -1);
inline int putFile(std::string_view name, const uint8_t* data, std::size_t size) {
    const Piece one{data, size};
    return putFile(name, &one, 1);
}
// Writes `data` over the start of the existing regular file `name` in
// place and cuts it to `size` (sync off only: fast, not crash-safe).
// ENOENT when there is no such file.
int overwriteFile(std::string_view name, const uint8_t* data, std::size_t size);
// A log kept to a bound: once `at` bytes long it becomes "<name>.1",
// replacing the older part, so that the two hold at most about twice `at`.
// `lastLine`, when given, is appended just before (durably): what the part
// being dropped held, told by the part that replaces it.
struct Rotation {
    off_t at;
    std::function<std::string()> lastLine;
};
// The bound set by the environment variable `env` (bytes), else `fallback`.
off_t byteLimit(const char* env, off_t fallback);
// Rotates the log `name` when the file `fd` (open on it) has reached the
// bound and is still the one at `name`: another writer may have rotated it
// first. Rotations of one directory exclude each other and the file writes
// in it; the rename is atomic and made durable, so a writer killed or cut
// off at any point leaves every line it appended in one of the two files.
void rotateLog(std::string_view name, int fd, const Rotation& rotation);
// Appends one line (a newline is added) to `name`, creating it; a torn line
// left by a writer that died is ended first, so that it spoils no other.
// `durable`: synced before the call returns (with sync on). With `rotation`
// the log is rotated after the line when it has reached its bound.
int appendLine(std::string_view name, std::string_view line, bool durable, const Rotation* rotation = nullptr);
// Appends `line` and a newline to the open file `fd` (`st` its fstat),
// ending first a line a killed writer left torn.
int appendTo(int fd, const struct stat& st, std::string_view line, bool durable);
// This process's id, without a system call each time.
int processId();
// A regular file of this directory only: a hard link would let a write in
// place land in a file elsewhere.
bool ownRegular(int fd, struct stat& st);
// Removes `name` (a file), durably with sync on. 0, or an errno (ENOENT).
int removeFile(std::string_view name);
// Whether a file name is a writer's work file: a standby (".x.standby") or
// a temporary an earlier version left (".x.XXXXXX").
bool workFileName(std::string_view name);
// Removes what writers that died left: temporary files (".x.XXXXXX") whose
// writer no longer holds their lock.
void sweepTemporaries();
// Forgets kept descriptors (setStateDir).
void closeKept();

// ---- change counters (generation.cc)
// Every change of a named value goes through a write window: opened before
// the first byte is written, closed once the change is complete, which
// moves the counter every process checks. A writer that dies inside its
// window leaves it open; readers then trust no cache until one of them
// finds the writer dead and closes the window for it.
class WriteWindow {
public:
    explicit WriteWindow(bool faults = false);
    ~WriteWindow();  // closes the window, announcing the change
    WriteWindow(const WriteWindow&) = delete;
    WriteWindow& operator=(const WriteWindow&) = delete;
    // The counter value the change will be announced under, when no other
    // process wrote since `seen`: lets the writer keep its own result cached.
    bool announce(uint64_t seen, uint64_t& next);

private:
    void* shared_ = nullptr;  // the mapping the window was opened in
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
// The same for the faults file: false when it may have changed since `seen`,
// which is then updated.
bool faultsUnchanged(uint64_t& seen);
// Maps the state directory's counter file, checking that the file at its
// name is the one mapped (it may have been removed, replaced or damaged):
// at first use, whenever a StateLock is taken, and before writes by a
// process that holds none.
void checkCounters();
void noteLockHeld(bool held);
// A file a reader opened may, once another write has put a new file in its
// place, become the standby that a third write fills anew. Every fill of a
// standby first moves a count, and a reader takes the count before it opens
// a file and again once it has read it: the same count, and what it read
// was a whole published content. kUntrusted without counters.
uint64_t rewritesBegun();
void noteRewrite();
// Whether a directory (by inode) owes a sync: a writer exchanged a file in
// it and may have died before syncing it.
void oweDirSync(uint64_t dirIno, bool owed);
bool dirSyncOwed(uint64_t dirIno);
void unmapCounters();
// The number of this process's StateLock hold under way (0 with none held):
// what one call of a program changes shares it.
uint64_t lockNumber();
// Whether history file `file` (inode) already holds a whole content of the
// name with this crc, from which later changes can be rebuilt.
bool historyBased(uint64_t file, uint32_t nameCrc);
void noteHistoryBased(uint64_t file, uint32_t nameCrc);

// ---- named values (values.cc), relative to the state directory
// Copies up to `capacity` bytes of the value into `buffer` and sets `size`
// to its whole length: 0, or an errno (ENOENT: no such value; EACCES ...).
int readValue(std::string_view name, void* buffer, std::size_t capacity, std::size_t& size);
// Changes whenever a cached value may have changed, in this process or by
// another one: what was derived from values with the same generation still
// holds.
uint64_t valuesGeneration();
// Forgets this process's cached copy of a value: read from its file next.
void dropCached(std::string_view name);
// A value holding a number of 1, 2 or 4 bytes (host byte order); false
// when it is missing or of another length.
bool numberValue(std::string_view name, uint32_t& value);
// Writes a value as the platform's own calls do: with sync on put in place
// whole (putFile), else overwritten in place. 0 or an errno.
int writeValue(std::string_view name, const uint8_t* data, std::size_t size);
// Appends a line to a value of the state directory, creating it; error logs
// are appended durably.
void appendValue(std::string_view name, std::string_view line, bool durable = false,
                 const Rotation* rotation = nullptr);
void forgetValues();

// ---- history (history.cc)
// Whether changes of `name` are history.
bool historyTracked(std::string_view name);
// Records the change of `name` from its content before (`existed` false: it
// was not there) to its content after (`exists` false: removed), durably
// with sync on, before the change is made. A change that changes nothing is
// not recorded.
void recordChange(std::string_view name, const uint8_t* before, std::size_t beforeSize, bool existed,
                  const uint8_t* after, std::size_t afterSize, bool exists);
// While one lives on a thread, its changes are not history (the defaults a
// new state directory is given).
class HistoryQuiet {
public:
    HistoryQuiet();
    ~HistoryQuiet();
    HistoryQuiet(const HistoryQuiet&) = delete;
    HistoryQuiet& operator=(const HistoryQuiet&) = delete;
};

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
int syncFile(int fd);
int syncDir(int dirFd);
// A file or directory this platform just created: with simulated power loss
// its durable content starts empty.
void created(int fd);

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
