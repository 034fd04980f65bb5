// What the system itself fixes, written once: module ids, progress codes of
// every file step, reason codes, the error logs each operation makes, the
// arguments of the platform calls where they are fixed, and the record
// layouts. Tests take their expected values from here, never from a run of
// the code they check or a scan of its sources.
#ifndef GARD_TESTS_GOLDEN_H
#define GARD_TESTS_GOLDEN_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace golden {

using Bytes = std::vector<uint8_t>;
using U32s = std::vector<uint32_t>;

// ---- fixed values of every log the library makes or adds an SRC to
constexpr uint16_t kComp = 0xCA00, kServiceCodes = 0x4399;
constexpr uint8_t kSeverity = 0, kTermState = 0, kSrciNew = 0xD1, kSrciAdded = 0xB1, kSubsystem = 0x75;
constexpr uint32_t kActionError = 0x2000, kActionInfo = 0x4000;

enum Reason : uint16_t {
    kRcRefused = 0x0001,   // manufacturing policy, or unit table full
    kRcGarded = 0xCA01,    // unit state changed; processor garded (0x5D)
    kRcGarded2 = 0xCA02,   // processor garded (0xED)
    kRcOpen = 0xCA06,
    kRcRead = 0xCA07,      // also: service-processor records not read cleanly
    kRcWrite = 0xCA08,
    kRcClose = 0xCA09,
    kRcNotFound = 0xCA11,  // not in the table, not this processor, not a service processor
    kRcQelRefused = 0xCA12,
    kRcQelClearRefused = 0xCA15,
};
constexpr Reason kReasons[] = {kRcRefused, kRcGarded, kRcGarded2, kRcOpen, kRcRead, kRcWrite, kRcClose,
                               kRcNotFound, kRcQelRefused, kRcQelClearRefused};

// ---- module ids and the progress codes each operation gives its file steps
// (0: the operation has no such step)
struct FileSteps {
    const char* op;
    uint8_t mod;
    uint32_t open, read, write, close;
};
constexpr FileSteps kFileSteps[] = {
    {"GardUpdateVpdUnit", 0x66, 1, 1, 9, 33},     {"GardSetVpdUnitState", 0x67, 1, 3, 10, 20},
    {"GardClearVpdData", 0x68, 1, 4, 5, 21},      {"GardResetVpdData", 0x69, 1, 42, 43, 22},
    {"GardGetVpdUnitState", 0x6A, 1, 6, 0, 23},   {"GardGetVpdConfigData", 0x6B, 1, 7, 0, 24},
    {"gardStoreErrl", 0xD0, 15, 16, 17, 20},      {"gardReadStoredErrl", 0xD0, 15, 16, 0, 20},
    {"gardClearStoredErrl", 0xD0, 17, 18, 20, 20}, {"gardClearStoredErrlByPort", 0xD0, 17, 18, 19, 20},
};
constexpr const FileSteps& steps(std::string_view op) {
    for (const FileSteps& s : kFileSteps)
        if (op == s.op) return s;
    return kFileSteps[0];
}
constexpr uint8_t kModSetQelState = 0x21, kModMailbox = 0x22;
constexpr uint8_t kModules[] = {0x21, 0x22, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0xD0};

// Gard system files by id: name and size when created.
struct SysFile {
    int id;
    const char* name;
    unsigned size;
};
constexpr SysFile kSysFiles[] = {{0, "gardArea", 40960},  {1, "memGard", 81920},
                                 {3, "gardRask", 20480},  {4, "gardErrl", 51200},
                                 {5, "DimmJedecData", 640}};

// ---- the logs the operations make themselves, one row per site; user-data
// words 2 to 4 are the site's values (unit, state, ...), given by the caller
struct Site {
    uint8_t mod;
    uint16_t reason;
    uint8_t eventType;
    uint32_t ud1;
    uint32_t actions;  // 0: returned to the caller
    uint32_t rc;       // the return code set on it
};
constexpr Site kUnitPolicyRefused{0x67, kRcRefused, 0, 0x2C, 0, 1};
constexpr Site kUnitNotFound{0x67, kRcNotFound, 0, 0x08, 0, 6};
constexpr Site kUnitStateChanged{0x67, kRcGarded, 1, 0x0E, kActionInfo, 0};
constexpr Site kUnitTableFull{0x67, kRcRefused, 0, 0x2C, 0, 0};  // the state update's module id
constexpr Site kQelNotThisProcessor{0x21, kRcNotFound, 1, 1, 0, 0};
constexpr Site kQelRecordsUnread{0x21, kRcRead, 1, 3, 0, 0};
constexpr Site kQelRefused{0x21, kRcQelRefused, 1, 2, kActionInfo, 0};
constexpr Site kQelClearRefused{0x21, kRcQelClearRefused, 1, 0x15, kActionInfo, 0};
constexpr Site kQelGarded{0x21, kRcGarded, 1, 0xD, kActionInfo, 0};
constexpr Site kQelGarded2{0x21, kRcGarded2, 1, 0xD, kActionInfo, 0};
constexpr Site kMailboxNotQel{0x22, kRcNotFound, 1, 4, kActionError, 0};
// The library's own choice where the system leaves it open: this
// processor's own unit reported absent stops the state change.
constexpr Site kQelOwnAbsent{0x21, kRcNotFound, 1, 4, 0, 0};
constexpr Site kSites[] = {kUnitPolicyRefused, kUnitNotFound,  kUnitStateChanged, kUnitTableFull,
                           kQelNotThisProcessor, kQelRecordsUnread, kQelRefused, kQelClearRefused,
                           kQelGarded, kQelGarded2, kMailboxNotQel, kQelOwnAbsent};

// ---- platform calls: the arguments the system fixes, as the host's call log
// prints them (a regular expression; target "" = any; null: not to be
// called so). Every logged call of a library operation matches the first row
// of its name and target.
struct CallRule {
    const char* name;
    const char* target;
    const char* args;
};
constexpr CallRule kCallRules[] = {
    {"UtilReg::path", "", "roots=fstp/P3_Root"},
    {"mkdir", "/opt/p3/gard", "mode=0777"},
    {"UtilFile::Seek", "", "offset=[0-9]+ origin=1"},
    // the whole record image at offset 0 (file 3: 14504 bytes, file 4:
    // 41120), or a new file's zero fill
    {"UtilFile::Read", "gardRask", "count=14504 pos=0"},
    {"UtilFile::Write", "gardRask", "count=(14504|20480) pos=0"},
    {"UtilFile::Read", "gardErrl", "count=41120 pos=0"},
    {"UtilFile::Write", "gardErrl", "count=(41120|51200) pos=0"},
    {"UtilReg::read", "dscv/.*", "size=1 flag=1"},
    {"UtilReg::read", "hutl/HOMSystemType", "size=4 flag=1"},
    // the size first (no buffer), then the value (flag false)
    {"UtilReg::read", "smgr/StateData", "size=0 flag=1 buffer=null|size=[1-9][0-9]* flag=0"},
    {"UtilReg::read", "", nullptr},  // no other key is read
    {"SVPD_set_qel_gd_keyword", "", "length=32"},
    {"rmgrGardBackup", "", "comp=0xca00"},
    {"rmgrUngardBackup", "", "comp=0xca00"},
    {"vormGardGetPolicy", "0|11", "flags=0x0"},
    {"vormGardGetPolicy", "", nullptr},
    {"vormGardDeconfigDmaPath", "", "path=0x[0-9a-f]+ errorType=0x[0-9a-f]+ src=0x[0-9a-f]+ flags=0x1000"},
    {"homGetUnitId", "0x2e70|0x2e90", "instance=[0-9]+"},
    {"mnfgIsPolicyFlagSet", "2", ""},
    {"ErrlEntry::getSRC", "", "0"},
    {"ErrlEntry::prune", "", "2048"},
    {"ErrlEntry::flatten", "", "2048"},
    {"ErrlEntry::unflatten", "", "2048"},
};

// ---- record layouts
// Unit gard table image (file 3): big-endian columns, entry i element i.
namespace unit {
constexpr unsigned kEntries = 250, kImage = 14504;
constexpr unsigned kMagicAt = 0, kSerialAt = 4, kGroupAt = 3004, kUnitAt = 4004, kStateAt = 4504,
                   kErrorTypeAt = 5504, kSrcTextAt = 6504;
constexpr uint32_t kMagic = 0xCAFE0001;
constexpr unsigned srcText(unsigned i, unsigned j) { return kSrcTextAt + kEntries * j + i; }
}  // namespace unit
// Stored error-log image (file 4): 20 slots of unit id, VPD port, flattened log.
namespace slot {
constexpr unsigned kSlots = 20, kSize = 2056, kImage = 41120, kErrl = 8, kErrlSize = 2048;
}
// Service-processor gard record: marker 0C 05, state, byte 3, failure and
// extra words big-endian; 0xFF where never written.
constexpr unsigned kRecordSize = 32;

inline void putBe(uint8_t* p, uint32_t v, int width) {
    for (int k = width - 1; k >= 0; --k, v >>= 8) p[k] = static_cast<uint8_t>(v);
}
inline Bytes record(uint8_t state, uint32_t failure = ~0u, uint32_t extra = ~0u, uint8_t rest = 0xFF) {
    Bytes r(kRecordSize, rest);
    r[0] = 0x0C, r[1] = 0x05, r[2] = state;
    putBe(&r[4], failure, 4);
    putBe(&r[8], extra, 4);
    return r;
}

// One used entry of a unit gard table.
struct Entry {
    uint16_t unit;
    uint32_t group, state, errorType;
    char serial;
    std::string text;
};
// Entry i of `image` written as `e` (the SRC text transposed).
inline void putEntry(Bytes& image, unsigned i, const Entry& e) {
    for (unsigned k = 0; k < 12; ++k) image[unit::kSerialAt + 12 * i + k] = static_cast<uint8_t>(e.serial);
    putBe(&image[unit::kGroupAt + 4 * i], e.group, 4);
    putBe(&image[unit::kUnitAt + 2 * i], e.unit, 2);
    putBe(&image[unit::kStateAt + 4 * i], e.state, 4);
    putBe(&image[unit::kErrorTypeAt + 4 * i], e.errorType, 4);
    for (unsigned j = 0; j < 32; ++j)
        image[unit::srcText(i, j)] = j < e.text.size() ? static_cast<uint8_t>(e.text[j]) : 0;
}
// A gard file 3 holding `entries` in order, the rest zero.
inline Bytes unitTable(const std::vector<Entry>& entries, uint32_t magic = 0, unsigned size = 20480) {
    Bytes b(size, 0);
    putBe(&b[unit::kMagicAt], magic, 4);
    for (unsigned i = 0; i < entries.size(); ++i) putEntry(b, i, entries[i]);
    return b;
}

}  // namespace golden

#endif
