// Control of the host platform: the state directory, the store of named
// values behind every platform service, fault injection, the call log, the
// error-log commit log and live count, and the trace buffers.
//
// Environment:
//   GARD_STATE_DIR    state directory (else $XDG_STATE_HOME/gard, else
//                     ~/.local/state/gard)
//   GARD_HOST_SP      0 or 1: run as the service processor at that
//                     position, with its own registry view (default 0)
//   GARD_HOST_FAULTS  fault specs separated by commas, e.g.
//                     "UtilFile::Read#2,UtilReg::read@dscv/QelRole"
//   GARD_HOST_NOSYNC  1: file writes skip fsync (tests, benchmarks)
//   GARD_HOST_CALLLOG 1: also append every call to <state>/calls.log
#ifndef PLATFORM_HOST_HOST_H
#define PLATFORM_HOST_HOST_H

#include <cstddef>
#include <cstdint>
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
//   mnfg/flag/<n>                     1 byte; missing = not set
//   rmgr/log                          one line per redundancy-manager call
//   errl/committed                    one line per committed error log
//   faults                            one fault spec per line
//   trace/<buffer>                    saved trace entries (saveTrace)
void setStateDir(const std::string& dir);  // overrides GARD_STATE_DIR
std::string stateDir();                    // created on first use
void setPosition(int sp);                  // overrides GARD_HOST_SP
int position();
// Seeds every value that is missing with a working default: both
// processors present with erased (32 x 0xFF) keywords, registry of each
// position (sp0: position 0, role 1; sp1: position 1, role 0; sibling
// state 1, system type 0x10030000, system state 0, P3 root "/opt/p3"),
// policies 0 and 11 permitting, DMA paths functional, deconfig out-word 0.
// Runs once per state directory on first use; explicit deletions stay.
void seedDefaults();
// A firmware path ("/opt/p3/gard/x") as a path inside the state directory.
std::string resolvePath(const std::string& firmwarePath);

// ---- named values, relative to the state directory
bool getValue(const std::string& name, std::vector<uint8_t>& out);
void setValue(const std::string& name, const std::vector<uint8_t>& bytes);
void eraseValue(const std::string& name);
void setU8(const std::string& name, uint8_t v);
void setU32(const std::string& name, uint32_t v);
std::string regName(const std::string& key, int sp = -1);  // "sp<N>/reg/<key>", current sp by default
std::string unitName(uint32_t unit);                         // "0x200"

// ---- fault injection
// A spec is a call name ("UtilFile::Read"), optionally "@target" (registry
// key, unit as 0x200, file name as gardRask, policy id), optionally "#N":
// only the Nth matching call of this process fails (else every one).
// A failing call returns an error log (UtilFile: leaves it pending; calls
// without error log return their failure value) and does no work.
void failCall(const std::string& spec);
void clearFaults();

// ---- call log (in process; always on)
struct Call {
    std::string name;    // "UtilFile::Read"
    std::string target;  // as in fault specs
    std::string args;    // the arguments, printed
    bool failed;         // made to fail by fault injection
};
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
// The platform's own failure entry, as a failing call returns it.
ErrlEntry* platformFailure(const std::string& call);

// ---- trace
struct TraceEntry {
    uint32_t id;
    std::string format;
    uint32_t line;
    std::vector<uint32_t> values;
};
std::vector<TraceEntry> traceEntries(const std::string& buffer);  // oldest first
void clearTrace(const std::string& buffer);
std::string formatTrace(const TraceEntry& e);  // "line 123 id 0x... : 0x200,0x5d"
// Appends this process's entries to <state>/trace/<buffer>, keeping the
// newest ones within the buffer size; loadTrace reads them back.
void saveTrace(const std::string& buffer);
std::vector<TraceEntry> loadTrace(const std::string& buffer);

// ---- files
void setSync(bool on);  // overrides GARD_HOST_NOSYNC

}  // namespace gardhost

#endif
