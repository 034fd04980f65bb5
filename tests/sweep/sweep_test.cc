// Every platform failure, one at a time: each operation runs once cleanly
// with the call log on, then once more for every call in that log with just
// that call failing. Each run is checked for its returned error log (SRC
// reasons and user data), its out-values, the logs it committed, leaked
// entries, and the bytes of the gard files, the VPD keywords and the
// redundancy manager's log, which stay as before wherever no write is due.
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "fixture.h"
#include "gard/gard.h"
#include "platform/utilfile.h"

namespace {

using Bytes = std::vector<uint8_t>;
using U32s = std::vector<uint32_t>;
using Outs = std::vector<uint64_t>;
using Reasons = std::vector<uint16_t>;
using gardhost::Call;

// The platform's own reason code for a failing call (its first SRC).
uint16_t platformReason(const std::string& call) {
    static const std::map<std::string, uint16_t> reasons = {
        {"UtilFile::Open", 0xE001},
        {"UtilFile::Close", 0xE002},
        {"UtilFile::Read", 0xE003},
        {"UtilFile::Write", 0xE004},
        {"UtilFile::Seek", 0xE005},
        {"UtilReg::read", 0xE010},
        {"UtilReg::path", 0xE011},
        {"SVPD_get_qel_gd_keyword", 0xE031},
        {"SVPD_set_qel_gd_keyword", 0xE032},
        {"rmgrGardBackup", 0xE040},
        {"rmgrUngardBackup", 0xE041},
        {"vormGardGetPolicy", 0xE050},
        {"vormGardCheckFunctionalDmaPath", 0xE051},
        {"vormGardDeconfigDmaPath", 0xE052},
        {"vormGetVPDPort", 0xE053}};
    auto it = reasons.find(call);
    return it == reasons.end() ? 0xE0FF : it->second;
}

// Logged calls that have no failure to inject.
bool cannotFail(const std::string& call) {
    return call == "ErrlEntry::commit" || call == "ErrlEntry::prune";
}

struct Commit {
    uint32_t actions;
    Reasons reasons;
    std::optional<U32s> lastUd = std::nullopt;  // user data of the last SRC, compared where expected
    bool operator==(const Commit& o) const {
        return actions == o.actions && reasons == o.reasons &&
               (!lastUd || !o.lastUd || *lastUd == *o.lastUd);
    }
};
void PrintTo(const Commit& c, std::ostream* os) {
    *os << std::hex << c.actions << ":";
    for (uint16_t r : c.reasons) *os << " " << r;
}

// Whatever a run may change: the stores and the redundancy manager's log.
using Stores = std::map<std::string, std::optional<Bytes>>;

// What a run gave, or what it should give.
struct Result {
    Reasons reasons;                 // the returned handle's SRCs; empty = null
    std::map<std::size_t, U32s> ud;  // user data of SRC i (expected: only those given)
    uint32_t rc = 0;                 // the handle's return code, when given
    bool checkRc = false;
    Outs outs;
    std::vector<Commit> commits;
    Stores stores;
};

// One operation with its state, its call and what each failure must do.
struct Ctx {
    const std::vector<Call>& log;  // the clean run's calls
    std::size_t k;                 // the failing call
    const Result& clean;
    const Stores& before;
    const Call& call() const { return log[k]; }
    const std::string& name() const { return log[k].name; }
    bool is(const char* n, const char* target = nullptr) const {
        return name() == n && (target == nullptr || log[k].target == target);
    }
    // Calls named `n` before the failing one.
    std::size_t seen(const char* n) const {
        std::size_t count = 0;
        for (std::size_t i = 0; i < k; ++i) count += log[i].name == n;
        return count;
    }
    // The clean run's commits made before the failing call.
    std::vector<Commit> commitsBefore() const {
        return std::vector<Commit>(
            clean.commits.begin(),
            clean.commits.begin() + static_cast<long>(seen("ErrlEntry::commit")));
    }
    // The clean result with one more 0x2000 commit where the failing call was.
    Result cleanPlusCommit(const Reasons& reasons, std::optional<U32s> lastUd = {}) const {
        Result r = clean;
        r.commits.insert(r.commits.begin() + static_cast<long>(seen("ErrlEntry::commit")),
                         Commit{0x2000, reasons, lastUd});
        return r;
    }
    Reasons platform() const { return {platformReason(name())}; }
    Reasons platformThen(std::initializer_list<uint16_t> more) const {
        Reasons r = platform();
        r.insert(r.end(), more);
        return r;
    }
};

struct Case {
    std::string name;
    std::function<void()> setup;           // state, once
    std::function<void()> prepare;         // before each run, not swept
    std::function<ErrlEntry*(Outs&)> run;  // the operation
    std::function<void()> finish;          // after each run, not swept
    std::function<Result(const Ctx&)> expect;
};

// ---------------------------------------------------------------- state helpers

Bytes record(uint8_t state) {
    Bytes r(32, 0xFF);
    r[0] = 0x0C, r[1] = 0x05, r[2] = state;
    return r;
}
void setKeyword(unsigned unit, const Bytes& b) {
    gardhost::setValue("vpd/" + gardhost::unitName(unit) + "/keyword", b);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
Outs words(const unsigned char* p, std::size_t n) {
    Outs o;
    for (std::size_t i = 0; i < n; i += 8) {
        uint64_t w = 0;
        std::memcpy(&w, p + i, 8);
        o.push_back(w);
    }
    return o;
}
uint64_t fnv(const void* p, std::size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
    return h;
}
void check(ErrlEntry* e) { ASSERT_EQ(e, nullptr) << "setup step failed"; }
svpd_SerialNum serial(char c) {
    svpd_SerialNum s;
    std::memset(s.bytes, c, sizeof s.bytes);
    return s;
}

void writeGard(const std::string& name, const Bytes& bytes) {
    std::filesystem::path p = gardhost::resolvePath("/opt/p3/gard/" + name);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// A unit table of `n` entries: unit 0x10 + i, group 1, entry 0 garded.
void unitTable(unsigned n) {
    check(gardAcc::GardResetVpdData());
    gardFruState fru{};
    for (unsigned i = 0; i < n; ++i)
        check(gardAcc::GardUpdateVpdUnit(static_cast<uint16_t>(0x10 + i), serial('a'), 1, &fru));
    check(gardAcc::GardSetVpdUnitState(0x10, 1, GARD_GARDED, 2, nullptr));
}

ErrlEntry* logWithText(const std::string& text) {
    auto* e = new ErrlEntry(0xAB00, 0, 0, 0xD1, 0, 0x10, 0x4399, 0xAB01, 1, 2, 3, 4, 0x75, 0);
    e->getSRC(0)->setAsciiString(text);
    return e;
}

// The slot the store must write, with the platform's own flatten.
void storeSlot(Bytes& file, unsigned slot, uint32_t unit, uint32_t port, const ErrlEntry& e) {
    uint8_t* s = &file[slot * 2056];
    std::fill(s, s + 2056, 0);
    put32(s, unit);
    put32(s + 4, port);
    ErrlEntry copy(e);
    copy.prune(2048);
    ASSERT_EQ(copy.flatten(s + 8, 2048), 0);
}

// ---------------------------------------------------------------- shared expectations

// Which step of a gard file cycle a call belongs to.
enum class Step { Open, Exists, Read, Write, Close, None };
Step stepOf(const Ctx& x) {
    const std::string& n = x.name();
    if (n == "UtilReg::path" || n == "UtilFile::Open") return Step::Open;
    if (n == "UtilFile::exists") return Step::Exists;
    if (n == "UtilFile::Read") return Step::Read;
    if (n == "UtilFile::Write") return Step::Write;
    if (n == "UtilFile::Close") return Step::Close;
    if (n == "UtilFile::Seek")
        for (std::size_t i = x.k + 1; i < x.log.size(); ++i) {
            if (x.log[i].name == "UtilFile::Read") return Step::Read;
            if (x.log[i].name == "UtilFile::Write") return Step::Write;
        }
    return Step::None;
}

struct Progress {
    uint8_t mod;
    uint32_t read, write, close;
};

// A failing step of a file cycle that returns its failure: open and read
// failures change nothing, a write failure nothing on disk, a close failure
// is committed and the result stays. `failed` gives the out-values of a
// failed cycle.
Result fileCycle(const Ctx& x, const Progress& p, const Outs& failed) {
    Result r = x.clean;
    const Step step = stepOf(x);
    if (step == Step::Exists) return r;  // an existing file: the host's faulted check says so too
    if (step == Step::Close) return x.cleanPlusCommit({0xE002, 0xCA09}, U32s{p.close, 0, 0, 0});
    if (step == Step::None) {
        ADD_FAILURE() << "no file step: " << x.name();
        return r;
    }
    const uint16_t reason = step == Step::Open ? 0xCA06 : step == Step::Read ? 0xCA07 : 0xCA08;
    const uint32_t ud1 = step == Step::Open ? 0 : step == Step::Read ? p.read : p.write;
    r.reasons = x.platformThen({reason});
    r.ud = {{1, {ud1, 0, 0, 0}}};
    r.outs = failed;
    r.commits = x.commitsBefore();
    r.stores = x.before;
    return r;
}

// GardSetQelState(0x200 ...) from position 0, role 1: a failing call's
// returned log, result word and stores. `part` is the call's index within
// the state change's own calls.
struct QelOutcome {
    Result r;
    uint32_t word;
};
QelOutcome setQelFailure(const Ctx& x, uint32_t state, uint32_t cleanWord) {
    QelOutcome o{x.clean, cleanWord};
    Result& r = o.r;
    auto refused = [&](Reasons reasons, uint32_t word) {
        r.reasons = std::move(reasons);
        r.commits = x.commitsBefore();
        r.stores["vpd/0x200/keyword"] = x.before.at("vpd/0x200/keyword");
        r.stores["rmgr/log"] = x.before.at("rmgr/log");
        o.word = word;
    };
    const std::string& t = x.call().target;
    if (x.is("UtilReg::read") && (t == "dscv/QelPosition" || t == "dscv/QelRole") &&
        !x.log[x.k + 1 < x.log.size() ? x.k + 1 : x.k].name.starts_with("SVPD_set")) {
        refused(x.platform(), 1);
    } else if (x.is("vormGardGetPolicy")) {
        refused({}, 1);
        r.commits.push_back({0x2000, x.platform()});
    } else if (x.is("SVPD_fru_status", "0x200")) {
        refused({0xCA11}, 1);  // own processor absent: nothing to change
        r.ud = {{0, {4, 0x200, state, 0}}};
    } else if (x.is("SVPD_get_qel_gd_keyword")) {
        refused({0xCA07}, 2);
        r.ud = {{0, {3, 0x200, state, 1}}};
        r.commits.push_back({0x2000, x.platform()});
    } else if (x.is("UtilReg::read", "smgr/StateData")) {
        refused(x.platform(), 2);
    } else if (x.is("UtilReg::read", "dscv/QelRole")) {  // the write gate: writes all the same
        r = x.cleanPlusCommit(x.platform());
    } else if (x.is("SVPD_set_qel_gd_keyword")) {
        r = x.cleanPlusCommit(x.platform());
        r.stores["vpd/0x200/keyword"] = x.before.at("vpd/0x200/keyword");
    } else if (x.name().starts_with("rmgr")) {
        r.reasons = x.platform();
        r.commits = x.commitsBefore();
        r.stores["rmgr/log"] = x.before.at("rmgr/log");
        o.word = 2;
    }
    // SVPD_fru_status of 0x201: the sibling counts as absent, nothing changes.
    return o;
}

// ---------------------------------------------------------------- the cases

UtilFile* g_file = nullptr;
ErrlEntry* g_cause = nullptr;  // made before the swept run: its own set-up calls are not swept
void makeCause(const char* text) { g_cause = logWithText(text); }
void dropCause() {
    delete g_cause;
    g_cause = nullptr;
}
unsigned char g_image[14504];

void openTable() { ASSERT_EQ(GardSysFileOpen(g_file, 0x6A, 1, 3), nullptr); }
void closeTable() {
    ErrlEntry* e = GardSysFileClose(g_file, 0x6A, 23);
    delete e;
}

// GardReadVPD or GardGetQelDmaConfig; outs: both ids, the result code, the buffer.
using RecordRead = ErrlEntry* (*)(unsigned*, qelDataBuffer*, unsigned, gardVpdReturn*);
ErrlEntry* readRecords(RecordRead op, Outs& o) {
    unsigned ids[2] = {9, 9};
    qelDataBuffer b;
    gardVpdReturn r = GARD_VPD_BUFFER_SMALL;
    ErrlEntry* e = op(ids, &b, sizeof b, &r);
    o = {ids[0], ids[1], r};
    Outs w = words(b.bytes, 64);
    o.insert(o.end(), w.begin(), w.end());
    return e;
}

// The outs of a record read where record `index` reads as `rec` and the
// result code is `code`.
Outs withRecord(Outs o, unsigned index, const Bytes& rec, uint64_t code, bool absent = false) {
    if (o.empty()) return o;  // an operation that hands out no records
    Outs w = words(rec.data(), 32);
    for (int i = 0; i < 4; ++i) o[3 + index * 4 + i] = w[i];
    o[2] = code;
    if (absent) o[index] = 0;
    return o;
}
Bytes unreadable() {
    Bytes r(32, 0xFF);
    r[2] = 0x5D;
    return r;
}

std::vector<Case> cases() {
    std::vector<Case> all;

    // ---- gard system files
    all.push_back({"GardSysFileOpen_FirstUse", [] {}, nullptr,
                   [](Outs& o) {
                       ErrlEntry* e = GardSysFileOpen(g_file, 0x42, 15, 4);
                       o = {g_file != nullptr};
                       return e;
                   },
                   closeTable,
                   [](const Ctx& x) -> Result {
                       Result r = x.clean;
                       r.stores = x.before;  // every failure leaves no file
                       r.outs = {1};
                       if (x.is("UtilReg::path")) r.outs = {0};
                       if (x.is("UtilFile::Seek") || x.is("UtilFile::Write")) {
                           r.reasons = x.platformThen({0xCA08, 0xCA06});
                           r.ud = {{1, {15, 0, 0, 0}}, {2, {0, 0, 0, 0}}};
                       } else if (x.is("mkdir") || x.is("UtilFile::exists")) {
                           // No directory, or an existing file assumed: the open fails.
                           r.reasons = {0xE001, 0xCA06};
                       } else {
                           r.reasons = x.platformThen({0xCA06});
                           r.ud = {{1, {0, 0, 0, 0}}};
                       }
                       return r;
                   }});
    all.push_back({"GardSysFileRead", [] { unitTable(3); }, openTable,
                   [](Outs& o) {
                       std::memset(g_image, 0x77, sizeof g_image);
                       ErrlEntry* e =
                           GardSysFileRead(g_file, 0, g_image, sizeof g_image, 0x42, 6, 7, 8, 9);
                       o = {fnv(g_image, sizeof g_image)};
                       return e;
                   },
                   closeTable,
                   [](const Ctx& x) {
                       Result r = x.clean;
                       r.reasons = x.platformThen({0xCA07});
                       r.ud = {{1, {6, 7, 8, 9}}};
                       Bytes untouched(sizeof g_image, 0x77);
                       r.outs = {fnv(untouched.data(), untouched.size())};
                       return r;
                   }});
    all.push_back({"GardSysFileWrite", [] { unitTable(3); }, openTable,
                   [](Outs&) {
                       std::memset(g_image, 0x33, sizeof g_image);
                       return GardSysFileWrite(g_file, 0, g_image, sizeof g_image, 0x42, 9, 1, 2,
                                               3);
                   },
                   closeTable,
                   [](const Ctx& x) {
                       Result r = x.clean;
                       r.reasons = x.platformThen({0xCA08});
                       r.ud = {{1, {9, 1, 2, 3}}};
                       r.stores = x.before;
                       return r;
                   }});
    all.push_back({"GardSysFileSeek", [] { unitTable(1); }, openTable,
                   [](Outs&) { return GardSysFileSeek(g_file, 100, 0x42, 1, 2, 3, 4); }, closeTable,
                   [](const Ctx& x) {
                       Result r = x.clean;
                       r.reasons = x.platform();  // bare: the seek adds no SRC
                       return r;
                   }});
    all.push_back({"GardSysFileClose", [] { unitTable(1); }, openTable,
                   [](Outs& o) {
                       ErrlEntry* e = GardSysFileClose(g_file, 0x42, 33);
                       o = {g_file == nullptr};
                       return e;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       Result r = x.clean;  // the object is gone either way
                       r.reasons = x.platformThen({0xCA09});
                       r.ud = {{1, {33, 0, 0, 0}}};
                       return r;
                   }});

    // ---- unit gard table
    all.push_back({"GardGetVpdUnitState", [] { unitTable(5); }, nullptr,
                   [](Outs& o) {
                       bool garded = true;
                       ErrlEntry* e = gardAcc::GardGetVpdUnitState(0x10, 1, &garded);
                       o = {garded};
                       return e;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       return fileCycle(x, {0x6A, 6, 0, 23}, {0});
                   }});
    all.push_back({"GardGetVpdConfigData", [] { unitTable(5); }, nullptr,
                   [](Outs& o) {
                       static vpdRecordMenu menu;
                       std::memset(&menu, 0x11, sizeof menu);
                       ErrlEntry* e = gardAcc::GardGetVpdConfigData(0, &menu);
                       o = {fnv(&menu, sizeof menu)};
                       return e;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       vpdRecordMenu untouched;
                       std::memset(&untouched, 0x11, sizeof untouched);
                       return fileCycle(x, {0x6B, 7, 0, 24}, {fnv(&untouched, sizeof untouched)});
                   }});
    all.push_back({"GardUpdateVpdUnit", [] { unitTable(5); }, nullptr,
                   [](Outs& o) {
                       gardFruState fru = static_cast<gardFruState>(77);
                       ErrlEntry* e = gardAcc::GardUpdateVpdUnit(0x40, serial('b'), 2, &fru);
                       o = {fru};
                       return e;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       return fileCycle(x, {0x66, 1, 9, 33}, {77});
                   }});
    all.push_back(
        {"GardSetVpdUnitState", [] { unitTable(5); },
         [] { makeCause("B1234567 cause of the gard....."); },
         [](Outs&) { return gardAcc::GardSetVpdUnitState(0x12, 1, GARD_GARDED_2, 7, g_cause); },
         dropCause,
         [](const Ctx& x) {
             if (x.is("mnfgIsPolicyFlagSet")) {  // a failing query refuses
                 Result r = x.clean;
                 r.reasons = {0x0001};
                 r.ud = {{0, {0x2C, 0x12, 0, 0}}};
                 r.rc = 1, r.checkRc = true;
                 r.commits = {};
                 r.stores = x.before;
                 return r;
             }
             if (x.is("ErrlEntry::getSRC")) {  // no SRC: the entry's text stays
                 Result r = x.clean;
                 Bytes& rask = *r.stores["gardRask"];
                 const Bytes& old = *x.before.at("gardRask");
                 for (unsigned j = 0; j < 32; ++j)
                     rask[6504 + 250 * j + 2] = old[6504 + 250 * j + 2];
                 return r;
             }
             return fileCycle(x, {0x67, 3, 10, 20}, {});
         }});
    all.push_back({"GardClearVpdData", [] { unitTable(5); }, nullptr,
                   [](Outs&) { return gardAcc::GardClearVpdData(); }, nullptr,
                   [](const Ctx& x) {
                       return fileCycle(x, {0x68, 4, 5, 21}, {});
                   }});
    all.push_back({"GardResetVpdData", [] { unitTable(5); }, nullptr,
                   [](Outs&) { return gardAcc::GardResetVpdData(); }, nullptr,
                   [](const Ctx& x) {
                       return fileCycle(x, {0x69, 42, 43, 22}, {});
                   }});

    // ---- stored error logs
    all.push_back(
        {"GardGetStoredErrl",
         [] {
             gardhost::setU32("vorm/port/0x2e71", 5);
             gardhost::setU32("vorm/port/0x2e92", 6);
             ErrlEntry* cause = logWithText("B7001234");
             GARD_RC rc{};
             homDMAPath path{{0, 0, 0, 2, 1, 0x99}};
             check(GardDeconfigDmaPath(path, 1, 0, rc, cause));
             delete cause;
         },
         [] { makeCause("replaced"); },
         [](Outs& o) {
             ErrlEntry* e = GardGetStoredErrl(0x2E92, g_cause);
             o = {g_cause != nullptr, g_cause != nullptr ? g_cause->src(0).reasonCode : 0u};
             return e;
         },
         dropCause,
         [](const Ctx& x) {
             if (x.is("ErrlEntry::unflatten") || x.is("ErrlBase::operator new")) {
                 Result r = x.clean;
                 r.outs = {0, 0};
                 return r;
             }
             return fileCycle(x, {0xD0, 16, 0, 20}, {0, 0});
         }});

    // ---- service-processor records
    all.push_back({"isQelPresent", [] {}, nullptr,
                   [](Outs& o) {
                       o = {isQelPresent(0x200)};
                       return nullptr;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       Result r = x.clean;  // absent, and its log deleted uncommitted
                       r.outs = {0};
                       return r;
                   }});
    // 0x201's erased keyword is repaired and written back.
    auto readVpd = [](Outs& o) { return readRecords(GardRdndQel::GardReadVPD, o); };
    auto readVpdFailure = [](const Ctx& x) {
        Result r = x.clean;
        const unsigned index = x.call().target == "0x201" ? 1 : 0;
        if (x.is("SVPD_fru_status")) {
            r.outs = withRecord(r.outs, index, Bytes(32, 0xFF), 0, true);
            if (index == 1) r.stores = x.before;  // no repair of an absent unit
        } else if (x.is("SVPD_get_qel_gd_keyword")) {
            r.outs = withRecord(r.outs, index, unreadable(), 1);
            r.commits.insert(r.commits.begin(), {0x2000, x.platform()});
            if (index == 1) r.stores = x.before;
        } else if (x.is("UtilReg::read", "dscv/QelRole")) {
            r = x.cleanPlusCommit(x.platform());  // the role gate writes
        } else if (x.is("SVPD_set_qel_gd_keyword")) {
            r = x.cleanPlusCommit(x.platform());
            if (!r.outs.empty()) r.outs[2] = 15;
            r.stores = x.before;
        }
        return r;
    };
    all.push_back({"GardReadVPD", [] { setKeyword(0x200, record(0x5C)); }, nullptr, readVpd,
                   nullptr, readVpdFailure});
    all.push_back({"GardWriteVPD", [] {}, nullptr,
                   [](Outs&) {
                       Bytes rec = record(0xEC);
                       return GardRdndQel::GardWriteVPD(0x200, 32, rec.data());
                   },
                   nullptr,
                   [](const Ctx& x) {
                       if (x.is("UtilReg::read")) return x.cleanPlusCommit(x.platform());
                       Result r = x.clean;
                       r.reasons = x.platform();
                       r.stores = x.before;
                       return r;
                   }});
    all.push_back({"GardSetQelState",
                   [] {
                       setKeyword(0x200, record(0x5C));
                       setKeyword(0x201, record(0x5C));
                   },
                   nullptr,
                   [](Outs& o) {
                       gardSetStateReturn word = static_cast<gardSetStateReturn>(9);
                       ErrlEntry* e = GardRdndQel::GardSetQelState(0x200, GARD_QEL_GARDED,
                                                                   0x010000B7, word, true, 0);
                       o = {word};
                       return e;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       QelOutcome q = setQelFailure(x, 0x5D, 0);
                       q.r.outs = {q.word};
                       return q.r;
                   }});
    all.push_back({"GardGetQelState", [] { setKeyword(0x200, record(0x5D)); }, nullptr,
                   [](Outs& o) {
                       bool garded = false;
                       ErrlEntry* e = GardRdndQel::GardGetQelState(0x200, garded, false, false);
                       o = {garded};
                       return e;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       Result r = x.clean;
                       r.reasons = x.platform();
                       r.stores = x.before;  // no redundancy call made
                       r.outs = {!x.is("SVPD_get_qel_gd_keyword")};
                       return r;
                   }});
    all.push_back({"GardQelDoGard",
                   [] {
                       setKeyword(0x200, record(0x5D));
                       setKeyword(0x201, record(0x5C));
                   },
                   nullptr,
                   [](Outs& o) {
                       o = {static_cast<uint64_t>(GardRdndQel::GardQelDoGard(0x200))};
                       return nullptr;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       Result r = x.clean;
                       if (x.is("SVPD_fru_status", "0x200")) r.outs = {0};  // record 0 blank
                       if (x.is("SVPD_get_qel_gd_keyword")) {
                           r.outs = {0};  // not judged
                           r.commits = {{0x2000, x.platform()}};
                       }
                       return r;
                   }});
    // 0x200 usable, 0x201 without a functional DMA path.
    auto usableState = [] {
        setKeyword(0x200, record(0x5C));
        setKeyword(0x201, record(0x5C));
        gardhost::setU8("vorm/functional/0x201", 0);
    };
    all.push_back({"gardIsQelUsable", usableState, nullptr,
                   [](Outs& o) {
                       o = {static_cast<uint64_t>(gardIsQelUsable(0x201))};
                       return nullptr;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       Result r = x.clean;
                       if (x.is("SVPD_fru_status"))
                           return r;  // a blank record is not garded either
                       r.outs = {0};
                       r.commits = {{0x2000, x.platform()}};
                       return r;
                   }});
    all.push_back({"gardCheckFailoverCapable", usableState, nullptr,
                   [](Outs& o) {
                       GardFoStatus s = static_cast<GardFoStatus>(9);
                       ErrlEntry* e = gardCheckFailoverCapable(s);
                       o = {s};
                       return e;
                   },
                   nullptr,
                   [](const Ctx& x) {
                       Result r = x.clean;
                       if (x.is("SVPD_fru_status")) return r;
                       r.commits = {{0x2000, x.platform()}};
                       // Before the own check, and in the sibling's check, a
                       // failure means "cannot be judged": status 2. In the
                       // own check it means "own usable", and the sibling decides.
                       const bool ownCheck = x.seen("vormGardCheckFunctionalDmaPath") == 0 &&
                                             x.seen("UtilReg::read") >= 2 &&
                                             !(x.is("vormGardCheckFunctionalDmaPath", "0x201"));
                       r.outs = {ownCheck ? 1u : 2u};
                       return r;
                   }});
    all.push_back(
        {"GardGetQelDmaConfig",
         [] {
             setKeyword(0x200, record(0x5C));
             setKeyword(0x201, record(0xED));
         },
         nullptr, [](Outs& o) { return readRecords(GardRdndQel::GardGetQelDmaConfig, o); }, nullptr,
         [](const Ctx& x) {
             Result r = x.clean;
             Bytes marked = record(0xED);
             marked[2] = 0x5A;
             const unsigned index = x.call().target == "0x201" ? 1 : 0;
             if (x.is("SVPD_fru_status")) {
                 r.outs = withRecord(r.outs, index, Bytes(32, 0xFF), 0, true);
                 if (index == 1)
                     r.outs = withRecord(
                         r.outs, 1,
                         [] {
                             Bytes b(32, 0xFF);
                             b[2] = 0x5A;
                             return b;
                         }(),
                         0, true);
             } else if (x.is("SVPD_get_qel_gd_keyword")) {
                 r.outs =
                     withRecord(withRecord(r.outs, 1, record(0xED), 1), index, unreadable(), 1);
                 r.commits = {{0x2000, x.platform()}};
             } else {  // position or role unreadable: the copy stays unmarked
                 r.outs = withRecord(r.outs, 1, record(0xED), 0);
                 r.commits = {{0x2000, x.platform()}};
             }
             return r;
         }});

    // ---- system resources
    all.push_back(
        {"GardDeconfigDmaPath",
         [] {
             gardhost::setU32("vorm/port/0x2e71", 5);
             gardhost::setU32("vorm/port/0x2e92", 6);
             // Slot 0 belongs to another unit; the path's units go to the next free slots.
             Bytes file(51200, 0);
             ErrlEntry* other = logWithText("B1110000");
             storeSlot(file, 0, 0x2E00, 1, *other);
             delete other;
             writeGard("gardErrl", file);
         },
         [] { makeCause("1A2B3C this path failed"); },
         [](Outs& o) {
             GARD_RC rc = static_cast<GARD_RC>(9);
             homDMAPath path{{0, 0, 0, 2, 1, 0x99}};
             ErrlEntry* e = GardDeconfigDmaPath(path, 1, 0, rc, g_cause);
             o = {g_cause->src(0).gardBit, rc};
             return e;
         },
         dropCause,
         [](const Ctx& x) {
             Result r = x.clean;
             auto slots = [&](bool first, bool second, bool gardBit) {
                 Bytes file = *x.before.at("gardErrl");
                 ErrlEntry* cause = logWithText("1A2B3C this path failed");
                 if (gardBit) cause->getSRC(0)->SetGardBit();
                 unsigned slot = 1;
                 if (first) storeSlot(file, slot++, 0x2E71, 5, *cause);
                 if (second) storeSlot(file, slot, 0x2E92, 6, *cause);
                 delete cause;
                 return file;
             };
             r.stores["gardErrl"] = slots(true, true, true);
             if (x.is("ErrlEntry::getSRC")) {  // no SRC: no SRC number, no gard bit
                 r.outs = {0, 9};
                 r.stores["gardErrl"] = slots(true, true, false);
                 std::string log(r.stores["vorm/log"]->begin(), r.stores["vorm/log"]->end());
                 log.replace(log.find("src=0x1a2b3"), 11, "src=0x0");
                 r.stores["vorm/log"] = Bytes(log.begin(), log.end());
                 return r;
             }
             if (x.is("vormGardDeconfigDmaPath")) {
                 r.reasons = x.platform();
                 r.outs = {0, 9};
                 r.stores = x.before;
                 return r;
             }
             const Step step = stepOf(x);
             if (step == Step::Exists) return r;
             // Each unit is handled on its own: a failure skips its copy only.
             const bool first = x.seen("homGetUnitId") == 0 ||
                                (x.seen("homGetUnitId") == 1 && !x.is("homGetUnitId"));
             if (step == Step::Close) return x.cleanPlusCommit({0xE002, 0xCA09}, U32s{20, 0, 0, 0});
             // A copy that cannot be made or flattened is no error.
             if (!x.is("ErrlEntry::flatten") && !x.is("ErrlBase::operator new")) {
                 Reasons committed = x.platform();
                 if (x.is("homGetUnitId")) committed = {0xE053};  // no port for a unit no one has
                 if (step == Step::Open) committed.push_back(0xCA06);
                 if (step == Step::Read) committed.push_back(0xCA07);
                 if (step == Step::Write) committed.push_back(0xCA08);
                 r = x.cleanPlusCommit(committed);
             }
             r.stores["gardErrl"] = first ? slots(false, true, true) : slots(true, false, true);
             return r;
         }});
    all.push_back(
        {"GardClearSystemResources",
         [] {
             unitTable(3);
             setKeyword(0x200, record(0x5D));
             setKeyword(0x201, record(0x5C));
         },
         nullptr,
         [](Outs& o) {
             GARD_RC rc = static_cast<GARD_RC>(9);
             ErrlEntry* e = GardClearSystemResources(rc, GARD_DOMAIN_ALL);
             o = {rc};
             return e;
         },
         nullptr,
         [](const Ctx& x) {
             Result r = x.clean;
             const bool inTable = x.seen("UtilFile::Close") == 0;
             if (inTable) {
                 const Step step = stepOf(x);
                 if (step == Step::Exists) return r;
                 const uint16_t reason = step == Step::Open    ? 0xCA06
                                         : step == Step::Read  ? 0xCA07
                                         : step == Step::Write ? 0xCA08
                                                               : 0xCA09;
                 r = x.cleanPlusCommit(x.platformThen({reason}));
                 if (step != Step::Close) {  // a failed close does not fail the clear
                     r.outs = {4};
                     r.stores["gardRask"] = x.before.at("gardRask");
                 }
                 return r;
             }
             // Reads of the own clearing step before the state change.
             const bool beforeChange = x.seen("UtilReg::read") < 2 ||
                                       (x.seen("UtilReg::read") == 2 && !x.is("UtilReg::read"));
             auto untouched = [&](Result& res) {
                 res.stores["vpd/0x200/keyword"] = x.before.at("vpd/0x200/keyword");
                 res.stores["rmgr/log"] = x.before.at("rmgr/log");
             };
             if (beforeChange) {
                 if (x.is("UtilReg::read")) {
                     r = x.cleanPlusCommit(x.platform());
                     r.outs = {4};
                     untouched(r);
                 } else if (x.is("SVPD_fru_status", "0x200")) {
                     r = x.cleanPlusCommit({0xCA11});  // no own processor to clear
                     r.outs = {4};
                     untouched(r);
                 } else if (x.is("SVPD_get_qel_gd_keyword")) {
                     r = x.cleanPlusCommit(x.platform());  // records not judged: nothing to do
                     untouched(r);
                 }
                 return r;
             }
             QelOutcome q = setQelFailure(x, 0xCC, 0);
             r = q.r;
             if (!r.reasons.empty()) r.commits.push_back({0x2000, r.reasons});
             r.reasons.clear();
             r.ud.clear();
             r.outs = {q.word == 0 ? 0u : 4u};
             return r;
         }});
    all.push_back({"GardSetDmaPathState", [] {}, nullptr,
                   [](Outs& o) {
                       gardSetStateReturn word = static_cast<gardSetStateReturn>(9);
                       ErrlEntry* e =
                           GardRdndQel::GardSetDmaPathState(0x200, 1, GARD_QEL_GARDED, 2, word);
                       o = {word};
                       return e;
                   },
                   nullptr, [](const Ctx& x) { return x.clean; }});
    return all;
}

// ---------------------------------------------------------------- the sweep

std::size_t g_pairs = 0, g_logged = 0, g_unfailable = 0;

class Sweep : public gardtest::StateTest, public ::testing::WithParamInterface<std::string> {
protected:
    Stores stores() const {
        Stores s;
        for (const char* f : {"gardRask", "gardErrl"})
            s[f] = gardFileExists(f) ? std::optional<Bytes>(gardFile(f)) : std::nullopt;
        for (const char* v : {"vpd/0x200/keyword", "vpd/0x201/keyword", "rmgr/log", "vorm/log"}) {
            Bytes b;
            s[v] = gardhost::getValue(v, b) ? std::optional<Bytes>(b) : std::nullopt;
        }
        return s;
    }
    void restore(const Stores& s) {
        for (const auto& [name, bytes] : s) {
            const bool gard = name.rfind("gard", 0) == 0;
            if (!bytes) {
                std::error_code ec;
                if (gard)
                    std::filesystem::remove(gardhost::resolvePath("/opt/p3/gard/" + name), ec);
                else
                    gardhost::eraseValue(name);
            } else if (gard) {
                writeGardFile(name, *bytes);
            } else {
                gardhost::setValue(name, *bytes);
            }
        }
        std::error_code ec;
        if (!s.at("gardRask") && !s.at("gardErrl"))
            std::filesystem::remove(gardhost::resolvePath("/opt/p3/gard"), ec);
        gardhost::clearCommitted();
        gardhost::clearTrace("gard");
    }
    // One run; `fault` names the call made to fail ("" for none).
    Result runOnce(const Case& c, const std::string& fault) {
        const long live = gardhost::liveErrls();
        if (c.prepare) c.prepare();
        gardhost::clearCalls();
        if (!fault.empty()) gardhost::failCall(fault);
        Result r;
        ErrlEntry* e = c.run(r.outs);
        calls_ = gardhost::calls();
        gardhost::clearFaults();
        if (c.finish) c.finish();
        if (e != nullptr) {
            for (std::size_t i = 0; i < e->srcCount(); ++i) {
                r.reasons.push_back(e->src(i).reasonCode);
                r.ud[i] = U32s(e->src(i).ud, e->src(i).ud + 4);
                // An SRC the library adds to a log made elsewhere is its own kind.
                if (i > 0 && e->src(i).compId == 0xCA00) {
                    EXPECT_EQ(std::make_tuple(e->src(i).srciType, e->src(i).serviceCodes, e->src(i).epubSubSystem),
                              std::make_tuple(uint8_t{0xB1}, uint16_t{0x4399}, uint8_t{0x75}));
                }
            }
            r.rc = e->getRC();
            delete e;
        }
        for (const auto& cm : gardhost::committed()) {
            Reasons reasons;
            for (const SrciSrc& s : cm.srcs) reasons.push_back(s.reasonCode);
            const uint32_t* ud = cm.srcs.empty() ? nullptr : cm.srcs.back().ud;
            r.commits.push_back({cm.actions, reasons, ud ? std::optional<U32s>(U32s(ud, ud + 4)) : std::nullopt});
        }
        r.stores = stores();
        EXPECT_EQ(gardhost::liveErrls(), live) << "error-log entries leaked";
        return r;
    }
    static void compare(const Result& want, const Result& got) {
        EXPECT_EQ(got.reasons, want.reasons);
        for (const auto& [i, ud] : want.ud) {
            auto it = got.ud.find(i);
            if (it != got.ud.end()) {
                EXPECT_EQ(it->second, ud) << "user data of SRC " << i;
            }
        }
        if (want.checkRc) {
            EXPECT_EQ(got.rc, want.rc);
        }
        EXPECT_EQ(got.outs, want.outs);
        EXPECT_EQ(got.commits, want.commits);
        for (const auto& [name, bytes] : want.stores)
            EXPECT_TRUE(got.stores.at(name) == bytes) << name << " differs";
    }
    std::vector<Call> calls_;
};

TEST_P(Sweep, EveryFailingCallDoesWhatItMust) {
    std::vector<Case> all = cases();
    const Case* found = nullptr;
    for (const Case& c : all)
        if (c.name == GetParam()) found = &c;
    ASSERT_NE(found, nullptr);
    const Case& c = *found;
    c.setup();
    gardhost::clearCommitted();
    gardhost::eraseValue("rmgr/log");
    gardhost::eraseValue("vorm/log");
    const Stores start = stores();

    const Result clean = runOnce(c, "");
    const std::vector<Call> log = calls_;
    std::size_t pairs = 0, unfailable = 0;
    for (std::size_t k = 0; k < log.size(); ++k) {
        if (cannotFail(log[k].name)) {
            ++unfailable;
            continue;
        }
        // "name@target#n" fails the n-th call of that name and target; a
        // call without a target is counted among all calls of its name.
        std::size_t n = 0;
        for (std::size_t i = 0; i <= k; ++i)
            n += log[i].name == log[k].name &&
                 (log[k].target.empty() || log[i].target == log[k].target);
        const std::string fault = log[k].name + (log[k].target.empty() ? "" : "@" + log[k].target) +
                                  "#" + std::to_string(n);
        SCOPED_TRACE(fault);
        restore(start);
        const Result got = runOnce(c, fault);
        std::size_t failed = 0;
        for (const Call& call : calls_) failed += call.failed;
        ASSERT_EQ(failed, 1u) << "the fault did not hit exactly one call";
        const Ctx ctx{log, k, clean, start};
        compare(c.expect(ctx), got);
        ++pairs;
    }
    g_pairs += pairs;
    g_logged += log.size();
    g_unfailable += unfailable;
    std::printf("[ sweep    ] %s: %zu failing calls of %zu logged (%zu cannot fail)\n",
                c.name.c_str(), pairs, log.size(), unfailable);
}

std::vector<std::string> caseNames() {
    std::vector<std::string> names;
    for (const Case& c : cases()) names.push_back(c.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Operations, Sweep, ::testing::ValuesIn(caseNames()),
                         [](const auto& info) { return info.param; });

// The total, when the whole sweep runs in one process.
class Total : public ::testing::Environment {
    void TearDown() override {
        if (g_pairs > 0)
            std::printf(
                "[ sweep    ] covered %zu (operation, failing call) pairs: every failable call of "
                "%zu logged "
                "(%zu cannot be made to fail)\n",
                g_pairs, g_logged, g_unfailable);
    }
};
[[maybe_unused]] const auto* const g_total = ::testing::AddGlobalTestEnvironment(new Total);

}  // namespace
