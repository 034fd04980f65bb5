// Control of the host platform: the state directory, the store of named
// values behind every platform service, fault injection, the call log, the
// error-log commit log and live count, and the trace buffers.
//
// Environment, read once at first use, never on every call:
//   GARD_STATE_DIR    state directory (else $XDG_STATE_HOME/gard, else
//                     ~/.local/state/gard)
//   GARD_HOST_SP      0 or 1: run as the service processor at that
//                     position, with its own registry view (default 0)
//   GARD_HOST_FAULTS  faults separated by commas, e.g.
//                     "UtilFile::Read#2,UtilReg::read@dscv/QelRole"; read
//                     again by setStateDir and reloadFaults
//   GARD_HOST_NOSYNC  1: sync off, for tests and benchmarks: file writes
//                     skip fsync and overwrite in place (see UtilFile)
//   GARD_HOST_CALLLOG 1: also append every call to <state>/calls.log; read
//                     again by setStateDir
//   GARD_HOST_HISTORY_MAX  bytes at which <state>/history becomes history.1
//                     (default 2 MiB), for tests that fill it
//   GARD_HOST_ERRL_MAX  bytes at which <state>/errl/committed becomes
//                     committed.1 (default 1 MiB), for tests that fill it
//                     Both sizes: decimal bytes, or with K, M or G (512K);
//                     another form is said once and the default used
//
// Behaviour of the platform calls where a real platform leaves a choice:
//   UtilReg::read     missing key fails (errno ENOENT in ud4); null buffer
//                     with size 0 is the size query; flag and errl unused.
//   UtilReg::path     the roots' values joined with "/", then the name.
//   UtilFile          "r+" opens an existing file; "w+" checks that the file
//                     could be made (directory there and writable, path not a
//                     directory) and creates it only with the first Write.
//                     Read is all or nothing: unless every byte asked for
//                     is there it fails (ENODATA) and returns 0; the bytes
//                     it did find may then be in the buffer. Write is a
//                     change of the call under way (see StateLock): made
//                     durable by the call's journal record, then put in
//                     place whole, written beside the file and renamed over
//                     it, so that a process killed or a machine cut off at
//                     any moment leaves the old content or the new one,
//                     never a mix. Until the call ends this process reads
//                     what it wrote, and no other process does. Sync off
//                     (tests and benchmarks) overwrites in place, and a
//                     writer killed mid-write may leave a torn file. Either
//                     way a file opened "w+" appears whole with its first
//                     Write.
//                     Close of a file never opened succeeds. A fault on
//                     exists() answers true: the Open("r+") that follows then
//                     fails on a missing file, and no existing file is
//                     replaced by a fresh one.
//   paths             every firmware path, "/opt/..." or any other, lands in
//                     <state>/root; no file operation of the platform follows
//                     a symbolic link or leaves the state directory through
//                     "..", and none writes in place into a file that has a
//                     second (hard) link: a link is replaced or refused.
//   mkdir             (the library's, via --wrap) lands in <state>/root,
//                     parents made; a fault returns -1, EIO.
//   SVPD_fru_status   no present value = absent (status 0, no error).
//   SVPD_get_qel_gd_keyword  no keyword value fails (ENOENT); an empty value
//                     is a keyword of length 0; over 64 bytes fails. A block
//                     from scalar operator new is handed over on every
//                     successful read, even of length 0.
//   vorm              no policy value fails; no functional value =
//                     functional; no deconfig_out = 0 (garding goes on); no
//                     port value fails. vormGardDeconfigDmaPath also appends
//                     its arguments and out-word to vorm/log.
//   homGetUnitId      base + instance; a fault gives 0xFFFFFFFF.
//   mnfgIsPolicyFlagSet  no value = not set (returns 0); a fault returns 1
//                     and leaves the bool untouched.
//   ErrlEntry         getSRC, flatten, unflatten, prune and commit are in the
//                     call log; the first three can be made to fail (null;
//                     non-zero; non-zero with the entry left empty). The
//                     flattened form is big-endian with magic "GERL",
//                     version 1, length and a CRC-32 (errl.cc). prune drops
//                     detail bytes, then SRCs from the last, then shortens
//                     the primary SRC's custom text. The nothrow
//                     ErrlBase::operator new is in the call log too and
//                     can be made to fail (null); the throwing one is not.
//   trace             not in the call log and never failed: nothing looks at
//                     their results, and they must stay cheap.
#ifndef PLATFORM_HOST_HOST_H
#define PLATFORM_HOST_HOST_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gard/platform/errl.h"

namespace gardhost {

// ---- state directory
// Layout (every value is a file of raw bytes; numbers in host byte order):
//   root/opt/p3/gard/<file>           the gard files ("/opt/p3/..." paths)
//   sp<N>/reg/<key>                   registry of the processor at position N
//                                     (e.g. sp0/reg/dscv/QelRole)
//   vpd/<unit>/present                1 byte; unit as 0x200
//   vpd/<unit>/keyword                0 to 64 bytes, the gard keyword
//   vorm/policy/<id>                  4 bytes
//   vorm/functional/<unit>            1 byte
//   vorm/port/<unit>                  4 bytes; missing = the look-up fails
//   vorm/deconfig_out                 4 bytes, the out-word of the deconfiguration
//   vorm/log                          one line per DMA-path deconfiguration
//   mnfg/flag/<n>                     1 byte; missing = not set
//   rmgr/log                          one line per redundancy-manager call
//   errl/committed                    one line per committed error log: key=value
//                                     fields, each SRC after " | ", its ASCII
//                                     text hex-encoded, its place in the
//                                     journal, a checksum; made durable by its
//                                     call's journal record; past a bound
//                                     it becomes errl/committed.1, dropping
//                                     the older one, and ends in a line
//                                     "dropped=N | crc=X": the logs dropped
//                                     before its own
//   faults                            one fault per line ('#' starts a comment)
//   trace/<buffer>                    saved trace entries (saveTrace), one a line
//   calls.log                         the call log, with GARD_HOST_CALLLOG=1
//   .seeded                           defaults were seeded here
//   generation                        the change counters every process maps
//                                     (4096 bytes; the platform's own, not to be
//                                     edited: made anew when damaged)
//   lock                              the lock of StateLock (empty)
// Numbers may also be 1 or 2 bytes wide where 4 are listed.
// Overrides GARD_STATE_DIR. Not to be called while platform calls run on
// other threads.
void setStateDir(const std::string& dir);
std::string stateDir();                    // created on first use
void setPosition(int sp);                  // overrides GARD_HOST_SP
int position();
// Seeds every value that is missing with a working default: both
// processors present with erased (32 x 0xFF) keywords, registry of each
// position (sp0: position 0, role 1; sp1: position 1, role 0; sibling
// state 1, system type 0x10030000, system state 0, P3 root "/opt/p3"),
// policies 0 and 11 permitting, DMA paths functional, deconfig out-word 0.
// Runs once per state directory on first use (any access seeds a directory
// not marked .seeded); explicit deletions stay.
void seedDefaults();
// A firmware path ("/opt/p3/gard/x") as a path inside the state directory
// (<state>/root/opt/p3/gard/x); any other path lands there too, ".." never
// climbing above <state>/root.
std::string resolvePath(const std::string& firmwarePath);
// Bytes from the state directory (file content, names, paths) as a message
// or a screen may show them: printable UTF-8 as it is, every other byte
// (control characters, bytes that are not UTF-8, the invisible characters
// that reorder or break a line) as \xHH, and a backslash as \\. The host's
// own messages and the gard tool show bytes by this one rule.
std::string shown(std::string_view bytes);
// Whether shown(bytes) is the bytes themselves.
bool plainText(std::string_view bytes);

// ---- named values, relative to the state directory
// A read returns what the last completed write by any process left, also
// when a writer died half-way. Values are cached in the process while two
// words of the state directory's counter file stay as they were: no write
// under way, and the change counter unmoved. Every write through the
// platform (setValue, eraseValue, the platform's own keyword writes and log
// appends, in any process) marks itself under way before its first byte
// and moves the counter once complete; a writer that dies leaves its mark,
// and the first process to find its writer gone clears it and moves the
// counter. Two loads per read when nothing changed; when something did, a
// fresh read of the values whose names changed (a count per group of
// names, moved before the counter), of all of them when a writer died or
// recovery ran. A file changed behind the platform's back (an editor,
// `echo > file`) is seen once some process writes that value (or one of its
// group) or calls reloadValue(name), or reloadValues, which makes every
// process read every value afresh. Platform writes of a
// value are changes of the call under way, as UtilFile's (see StateLock).
bool getValue(const std::string& name, std::vector<uint8_t>& out);
// The same with the reason a value cannot be read: 0, or an errno (ENOENT:
// no such value; EACCES; EISDIR; EINVAL: not a regular file). A call under
// way sees what it staged.
int readState(const std::string& name, std::vector<uint8_t>& out);
void setValue(const std::string& name, const std::vector<uint8_t>& bytes);
void eraseValue(const std::string& name);
void reloadValues();                        // every process reads values afresh
void reloadValue(const std::string& name);  // every process reads this one afresh
void setU8(const std::string& name, uint8_t v);
void setU32(const std::string& name, uint32_t v);
std::string regName(const std::string& key, int sp = -1);  // "sp<N>/reg/<key>", current sp by default
std::string unitName(uint32_t unit);                         // "0x200"

// ---- fault injection
// A fault is a call name ("UtilFile::Read"), optionally "@target" (registry
// key, unit as 0x200, file name as gardRask, policy id, mnfg flag number,
// DMA path word as 0x.., hom base as 0x.., mkdir's path as given), optionally
// "#N": only the Nth matching call fails (else every one). Calls are counted
// per fault from when it was read: failCall; GARD_HOST_FAULTS and the faults
// file at the first platform call, after setStateDir and after
// reloadFaults. The faults file follows the named values: a change by any
// process is seen at the next call (its counts start again when its text
// changed). With no fault at all, a call does no matching work.
// A failing call returns an error log (UtilFile: leaves it pending; calls
// without error log return their failure value) and does no work.
void failCall(const std::string& fault);
// Reads GARD_HOST_FAULTS and the faults file again before the next call,
// the file even when it was changed behind the platform's back.
void reloadFaults();
// The call names a fault can name.
std::vector<std::string> failableCalls();
// Drops the faults of failCall, of GARD_HOST_FAULTS (until reloadFaults or
// setStateDir) and of the faults file.
void clearFaults();
// The faults in force, as the next call would see them: each as
// "name[@target][#N]" with where it comes from, "call" (failCall),
// "environment" (GARD_HOST_FAULTS) or "file" (the faults file). Comments,
// blank lines and entries that name no call are none.
struct FaultInForce {
    std::string fault;
    std::string source;
};
std::vector<FaultInForce> faultsInForce();

// ---- call log (in process; always on)
// Calls are kept raw and printed when calls() is read.
struct Call {
    std::string name;    // "UtilFile::Read"
    std::string target;  // as in faults
    std::string args;    // the arguments, printed
    bool failed;         // made to fail by fault injection
};
// The newest million calls; older ones are dropped in halves.
const std::vector<Call>& calls();
void clearCalls();
// Calls named `name` (any target) since the last clearCalls.
std::size_t callCount(const std::string& name);

// ---- error logs
long liveErrls();  // ErrlEntry objects alive in this process
struct Committed {
    uint16_t compId = 0;
    uint32_t actions = 0;
    uint8_t severity = 0, eventType = 0;
    uint32_t rc = 0;
    std::vector<SrciSrc> srcs;  // with their ASCII forms
    // Where and when it was committed; 0 and empty for logs committed
    // before these were kept.
    int sp = 0;
    uint64_t time = 0;    // microseconds since 1970-01-01 UTC
    std::string program;  // the program's name
    int pid = 0;
    std::string call;     // as HistoryRecord::call
    uint64_t number = 0;  // 1 for the first ever committed, those rotated away counted
    uint64_t seq = 0;     // its journal record (0: committed before logs were journaled)
    unsigned part = 0;    // its place in the record
};
// Oldest first, the kept ones: errl/committed.1, then errl/committed; lines
// that are no whole error log (blank, junk, cut short by a kill or a power
// cut) are passed over. The first one's number less one were dropped.
std::vector<Committed> committed();
// Where the committed logs end now; committedSince gives the logs committed
// after it, reading only those (and counting the others to number them).
struct CommittedMark {
    uint64_t file = 0, size = 0;  // errl/committed's inode (0: none) and length
    uint64_t older = 0;           // errl/committed.1's inode
};
CommittedMark committedEnd();
std::vector<Committed> committedSince(const CommittedMark& mark);
void clearCommitted();
// The platform's own failure entry, as a failing call returns it: component
// 0xE000, srciType 0xE1, a reason per call (0xE001 UtilFile::Open ... see
// faults.cc; 0xE0FF others), ud1-ud3 the target (a number as itself, a name
// as up to 12 characters, 4 per word), ud4 the errno (0: injected fault),
// rc the errno or 0xFA, and the text "call target: reason" as detail data.
ErrlEntry* platformFailure(const std::string& call);

// ---- history: the journal
// Every change of a gard file, a VPD value, a registry value or another
// platform value (not logs and traces) made through the platform, by any
// process, and every committed error log, is a part of a record of the
// journal <state>/history: one record a call (a StateLock hold, or one
// platform write made without one), made durable before the call's changes
// are put in place (journal.cc). Records are in the order they were made;
// their times are shown, never used to order them.
struct HistoryRecord {
    enum Kind { kChange, kLog, kCancel } kind = kChange;
    uint64_t seq = 0;     // the record's number: later records have larger ones
    unsigned part = 0;    // the part's place in its record
    uint64_t time = 0;    // microseconds since 1970-01-01 UTC, as the writer's clock read
    int sp = 0;           // position of the processor the program ran as
    std::string program;  // its name
    int pid = 0;
    std::string call;     // "<pid>.<n>": its nth StateLock hold ("<pid>.0": none held)
    std::string command;  // its command line, arguments separated by spaces (bounded)
    // kChange: the name in the state directory ("root/opt/p3/gard/gardRask",
    // "vpd/0x200/keyword", "sp1/reg/dscv/QelRole" ...) and its content.
    std::string name;
    bool before = false, after = false;  // the value was there before, after
    uint32_t beforeSize = 0, afterSize = 0, beforeCrc = 0, afterCrc = 0;
    struct Run {
        std::size_t offset;
        std::vector<uint8_t> before, after;
    };
    std::vector<Run> runs;  // the bytes that differ
    bool setup = false;     // a default given to a new state directory
    // The content before is not the one the journal's last record of the
    // name left: it was changed outside the platform in between.
    bool outside = false;
    // Happened: a change of the journal. Not happened: a kCancel's record,
    // whose changes were journaled but could not be put in place.
    enum Status { kHappened, kNotHappened, kUnknown } status = kHappened;
    uint64_t cancelled = 0;  // kCancel: the seq of that record
    Committed log;           // kLog (its number is 0: committed() numbers logs)
};
using HistoryEach = std::function<void(const HistoryRecord&, const std::vector<uint8_t>* before,
                                       const std::vector<uint8_t>* after)>;
// Reads the journal in one pass, oldest record first (history.1, then
// history), with memory that grows with the names, not the records. `each`
// gets every part with the value's whole content before and after it where
// the journal holds enough to rebuild them (else null). Every record is read
// with bounds: one that claims more than it holds, or than a content may
// be, is junk. Problems with the journal files (not readable, lines that
// are no record) are added to `problems`, one line each.
class HistoryReader {
public:
    HistoryReader();
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;
    // Reads what was appended since the last call (everything the first
    // time), following the journal through its rotations. The number of
    // records read.
    std::size_t read(const HistoryEach& each, std::vector<std::string>& problems);
    // Names whose content now is not what the journal's last record of them
    // left (changed outside the platform since), one line each.
    void outsideChanges(std::vector<std::string>& problems);

    struct State;  // what the reader keeps between records

private:
    State* state_;  // owned
};
void readHistory(const HistoryEach& each, std::vector<std::string>& problems);
// Flushes (fsync, fdatasync) this process made: a durable change costs one.
uint64_t flushes();

// ---- trace
struct TraceEntry {
    uint32_t id;
    std::string format;
    uint32_t line;
    std::vector<uint32_t> values;
};
// Each entry takes 16 bytes + 4 per value of its buffer's size; the oldest
// go first when a new one does not fit.
std::vector<TraceEntry> traceEntries(const std::string& buffer);  // oldest first
void clearTrace(const std::string& buffer);  // this process's entries only
std::string formatTrace(const TraceEntry& e);  // "line 123 id 0x... : 0x200,0x5d"
// Appends this process's entries to <state>/trace/<buffer>, keeping the
// newest ones within the buffer size; loadTrace reads them back. Entries
// already saved are not saved twice.
void saveTrace(const std::string& buffer);
std::vector<TraceEntry> loadTrace(const std::string& buffer);

// ---- serialising callers, and calls
// The library takes no lock, and two of its read-change-write cycles on one
// gard file or keyword must not overlap. Programs that may run beside others
// on a state directory (the gard tool, firmware processes, scripts) hold
// this lock around their calls: an flock of <state>/lock, shared for calls
// that only read, exclusive for calls that may change anything. Nearly
// every library call may write (GardReadVPD and the queries built on it
// repair records, GardSysFileOpen creates missing files), so take it
// exclusive unless the calls only read values through this header. Holders
// in one process exclude each other as well; a thread must not take it
// twice. A process that dies drops its lock.
//
// A hold is one call: what the process changes while it holds the lock is
// staged (its own reads see it, no other process does) and committed when
// the lock is released, or at commit(): one journal record, one flush, then
// the files at their names. A process killed before that changed nothing;
// one killed after it has its changes finished by the next process.
// Without a lock, each platform write is a call of its own.
class StateLock {
public:
    enum Mode { kShared, kExclusive };
    enum Status {
        kHeld,
        kNotTaken,     // default-constructed or released
        kUncreatable,  // no lock file, and none can be made (read-only file system)
        kNotRegular,   // the lock file is a directory, a pipe, a link ...
        kUnopenable,   // the lock file cannot be opened (error() says why)
    };
    StateLock() = default;
    // Takes the lock of the state directory (created if missing; not seeded
    // yet), waiting as long as another holder keeps a conflicting one.
    // `onWait`, when given, runs once on another thread if the wait passes
    // `notice`. Only kHeld holds anything.
    explicit StateLock(Mode mode, const std::function<void()>& onWait = {},
                       std::chrono::milliseconds notice = std::chrono::seconds(1));
    StateLock(StateLock&& other) noexcept;
    StateLock& operator=(StateLock&& other) noexcept;
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    ~StateLock();
    // Commits what the hold changed, then lets go (a failed commit is said
    // on stderr: call commit() first to act on it).
    void release();
    // Commits what the hold changed so far: 0, or the errno that kept the
    // changes from being made (then none of them was made).
    int commit();
    // Drops what the hold changed and did not commit; the error logs it
    // committed stay committed.
    void discard();

    Status status() const { return status_; }
    bool held() const { return status_ == kHeld; }
    int error() const { return error_; }  // the errno behind a failure, else 0
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    Status status_ = kNotTaken;
    int error_ = 0;
    bool call_ = false;  // a call was begun for this hold
    std::string path_;
};
// A change staged and not committed yet: by a hold under way in this process.
struct StagedChange {
    std::string name;
    bool existed = false, exists = false;
    std::vector<uint8_t> before, after;
    bool setup = false;  // a default given to a new state directory
};
std::vector<StagedChange> stagedChanges();

// ---- files
// Overrides GARD_HOST_NOSYNC. Off is for tests and benchmarks only: no
// fsync, and files and values overwritten in place, so a writer killed
// mid-write may leave a torn file.
void setSync(bool on);

// ---- test modes: crash points and simulated power loss
// GARD_HOST_CRASH_AT=N (or NAME#N) makes a process kill itself with SIGKILL
// at the Nth crash point (of that name): "opened" (a write window opened),
// "journaled" (a call's record written, not yet flushed), "flushed" (the
// record durable, its changes not yet in place), "written" and "renamed" (a
// file's new content written beside it, then renamed into place),
// "applied" (one name of a call in place), "appended", "removed",
// "checkpointing" and "checkpointed" (everything synced; the checkpoint
// record written), "rotated" (a log renamed to <name>.1, before its
// directory is synced), "recovering" (a name redone after a power cut),
// "announced" (the counter moved, the window not yet closed).
//
// Simulated power loss: after startPowerSim, every process with
// GARD_HOST_POWERSIM=<simDir> (startPowerSim sets it for this process and
// its children) records what each sync makes durable in simDir instead of
// syncing; everything in the state directory at the start counts as
// durable. cutPower, with no process using the state directory, rebuilds it
// as a disk that lost power may leave it: what a sync made durable stays;
// what was written after it may be there, in part, or as junk or zeros, and
// a directory's entries are as last synced or, by chance, as they stood.
// `seed` makes those chances repeatable (0: a random one). Recording goes on
// from the rebuilt state, and the processes after a cut run in a new
// (simulated) boot. It returns one line for each file whose content, and
// each directory whose entries, were never synced.
void startPowerSim(const std::string& simDir);
// Syncs are made again, in this process and the ones it starts.
void stopPowerSim();
std::string cutPower(const std::string& simDir, uint64_t seed = 0);

}  // namespace gardhost

#endif
