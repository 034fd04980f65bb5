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
//                     it did find may then be in the buffer. Write, sync
//                     on, rewrites the whole file atomically (temporary
//                     file, fsync, rename, directory fsync); a process
//                     killed mid-write leaves the old file whole, and maybe
//                     a ".<name>.XXXXXX" temporary beside it, which the next
//                     process to use the state directory removes. Sync
//                     off (tests and benchmarks) gives that up for speed:
//                     Write overwrites the range in place, and a writer
//                     killed mid-write may leave a torn file. Either way a
//                     file opened "w+" appears whole with its first Write.
//                     Close of a file never opened succeeds. A fault on
//                     exists() answers true: the Open("r+") that follows then
//                     fails on a missing file, and no existing file is
//                     replaced by a fresh one.
//   mkdir             (the library's, via --wrap) "/opt/..." lands in
//                     <state>/root, parents made; a fault returns -1, EIO.
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
#include <vector>

#include "platform/errl.h"

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
//                                     text hex-encoded
//   faults                            one fault per line ('#' starts a comment)
//   trace/<buffer>                    saved trace entries (saveTrace), one a line
//   calls.log                         the call log, with GARD_HOST_CALLLOG=1
//   .seeded                           defaults were seeded here
//   generation                        the change counters every process maps
//                                     (16 bytes; the platform's own, not to be edited)
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
// (<state>/root/opt/p3/gard/x); paths outside "/opt" are returned unchanged.
std::string resolvePath(const std::string& firmwarePath);

// ---- named values, relative to the state directory
// A read returns what the last completed write by any process left. Values
// are cached in the process and the cache is checked against the state
// directory's change counter, which every write through the platform
// (setValue, eraseValue, the platform's own keyword writes and log appends,
// in any process) bumps once it is complete: one atomic load per read when
// nothing changed, a fresh read of the file when something did. A file
// changed behind the platform's back (an editor, `echo > file`) is seen
// once some process writes a value or calls reloadValues, which makes every
// process read afresh. Platform writes of a value follow the sync setting:
// atomic replace with sync on, in place with sync off (a new value is
// always created whole).
bool getValue(const std::string& name, std::vector<uint8_t>& out);
void setValue(const std::string& name, const std::vector<uint8_t>& bytes);
void eraseValue(const std::string& name);
void reloadValues();  // every process reads values afresh
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
    uint16_t compId;
    uint32_t actions;
    uint8_t severity, eventType;
    uint32_t rc;
    std::vector<SrciSrc> srcs;  // with their ASCII forms
};
std::vector<Committed> committed();  // oldest first, from errl/committed
void clearCommitted();
// The platform's own failure entry, as a failing call returns it: component
// 0xE000, srciType 0xE1, a reason per call (0xE001 UtilFile::Open ... see
// faults.cc; 0xE0FF others), ud1-ud3 the target (a number as itself, a name
// as up to 12 characters, 4 per word), ud4 the errno (0: injected fault),
// rc the errno or 0xFA, and the text "call target: reason" as detail data.
ErrlEntry* platformFailure(const std::string& call);

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

// ---- serialising callers
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
    void release();

    Status status() const { return status_; }
    bool held() const { return status_ == kHeld; }
    int error() const { return error_; }  // the errno behind a failure, else 0
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    Status status_ = kNotTaken;
    int error_ = 0;
    std::string path_;
};

// ---- files
// Overrides GARD_HOST_NOSYNC. Off is for tests and benchmarks only: no
// fsync, and files and values overwritten in place, so a writer killed
// mid-write may leave a torn file.
void setSync(bool on);

}  // namespace gardhost

#endif
