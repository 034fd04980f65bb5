// Every platform failure, one at a time: each operation runs once cleanly,
// then once more for every call the clean run made with just that call
// failing. What every run must give comes from the golden tables, never from
// the clean run: the returned error log and every committed one field by
// field (every SRC, severity, event type, return code), the out-values, the
// bytes of the gard files, VPD keywords and platform logs, the arguments of
// every platform call, one close per file object made, and for the clean run
// its trace entries, each of which the tool's trace table must know.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include "fixture.h"
#include "gard/gard.h"
#include "golden.h"
#include "platform/utilfile.h"

namespace {

using namespace golden;
using Outs = std::vector<uint64_t>;
using gardhost::Call;

// ---------------------------------------------------------------- logs, field by field

struct Src {
    uint16_t comp;
    uint8_t type;
    uint32_t word;
    uint8_t mod;
    uint16_t svc, reason;
    U32s ud;
    uint8_t sub;
    bool gardBit = false;
    bool operator==(const Src&) const = default;
};
struct Log {
    std::vector<Src> srcs;
    uint8_t severity = 0, eventType = 0;
    uint32_t rc = 0;
    bool operator==(const Log&) const = default;
};
struct Commit {
    uint32_t actions;
    Log log;
    uint16_t comp = kComp;
    bool operator==(const Commit&) const = default;
};
void PrintTo(const Log& l, std::ostream* os) {
    *os << std::hex << "severity " << +l.severity << " event " << +l.eventType << " rc " << l.rc;
    for (const Src& s : l.srcs) {
        *os << " [" << s.comp << " " << +s.type << " " << s.word << " mod " << +s.mod << " " << s.svc << " reason "
            << s.reason << " ud " << s.ud[0] << " " << s.ud[1] << " " << s.ud[2] << " " << s.ud[3] << " sub "
            << +s.sub << (s.gardBit ? " gard" : "") << "]";
    }
}
void PrintTo(const Commit& c, std::ostream* os) {
    *os << std::hex << c.comp << "/" << c.actions << ": ", PrintTo(c.log, os);
}
Src srcOf(const SrciSrc& s) {
    return {s.compId, s.srciType, s.word, s.modId, s.serviceCodes, s.reasonCode, U32s(s.ud, s.ud + 4),
            s.epubSubSystem, s.gardBit};
}

// The host platform's failure entry of a call (host.h): component 0xE000, a
// reason per call, the target in user data 1 to 3 (a number as itself, a
// name as up to 12 characters, four to a word), the errno in word 4.
Log platform(const std::string& call, const std::string& target, uint32_t err = 0) {
    static const std::map<std::string, uint16_t> reasons = {
        {"UtilFile::Open", 0xE001}, {"UtilFile::Close", 0xE002}, {"UtilFile::Read", 0xE003},
        {"UtilFile::Write", 0xE004}, {"UtilFile::Seek", 0xE005}, {"UtilReg::read", 0xE010},
        {"UtilReg::path", 0xE011}, {"SVPD_get_qel_gd_keyword", 0xE031}, {"SVPD_set_qel_gd_keyword", 0xE032},
        {"rmgrGardBackup", 0xE040}, {"rmgrUngardBackup", 0xE041}, {"vormGardGetPolicy", 0xE050},
        {"vormGardCheckFunctionalDmaPath", 0xE051}, {"vormGardDeconfigDmaPath", 0xE052}, {"vormGetVPDPort", 0xE053}};
    const uint16_t reason = reasons.count(call) != 0 ? reasons.at(call) : 0xE0FF;
    U32s ud{0, 0, 0, err};
    char* end = nullptr;
    const unsigned long number = std::strtoul(target.c_str(), &end, 0);
    if (!target.empty() && *end == '\0')
        ud[0] = static_cast<uint32_t>(number);
    else
        for (std::size_t i = 0; i < target.size() && i < 12; ++i)
            ud[i / 4] |= uint32_t{static_cast<uint8_t>(target[i])} << (24 - 8 * (i % 4));
    return {{{0xE000, 0xE1, 0, static_cast<uint8_t>(reason & 0xFF), 0, reason, ud, 0}}, 0x40, 1, err != 0 ? err : 0xFA};
}
// An SRC the library adds to a log made elsewhere, and a log it makes.
Src added(uint8_t mod, uint16_t reason, uint32_t ud1, uint32_t ud2 = 0, uint32_t ud3 = 0, uint32_t ud4 = 0) {
    return {kComp, kSrciAdded, 0, mod, kServiceCodes, reason, {ud1, ud2, ud3, ud4}, kSubsystem};
}
Log made(const Site& s, uint32_t ud2, uint32_t ud3, uint32_t ud4) {
    return {{{kComp, kSrciNew, 0, s.mod, kServiceCodes, s.reason, {s.ud1, ud2, ud3, ud4}, kSubsystem}},
            kSeverity, s.eventType, s.rc};
}
Log operator+(Log l, const Src& s) {
    l.srcs.push_back(s);
    return l;
}
Commit info(const Log& l) { return {kActionInfo, l}; }
Commit error(const Log& l) { return {kActionError, l}; }

// ---------------------------------------------------------------- what a run gives

// Whatever a run may change: the gard files, the keywords, the platform logs.
using Stores = std::map<std::string, std::optional<Bytes>>;
struct Result {
    std::optional<Log> errl;  // the returned handle; none = null
    Outs outs;
    std::vector<Commit> commits;
    Stores stores;
};

// A failing call of an operation, and the golden clean result it is judged against.
struct Ctx {
    const std::vector<Call>& log;  // the clean run's calls
    std::size_t k;                 // the failing call
    const Result& clean;           // golden
    const Stores& before;
    const Call& call() const { return log[k]; }
    const std::string& name() const { return log[k].name; }
    bool is(const char* n, const char* target = nullptr) const {
        return name() == n && (target == nullptr || log[k].target == target);
    }
    std::size_t seen(const char* n) const {
        std::size_t count = 0;
        for (std::size_t i = 0; i < k; ++i) count += log[i].name == n;
        return count;
    }
    Log platform() const { return ::platform(name(), call().target); }
    long commitsSoFar() const { return static_cast<long>(std::min(seen("ErrlEntry::commit"), clean.commits.size())); }
    // The clean result with one more commit where the failing call was.
    Result cleanPlus(const Commit& c) const {
        Result r = clean;
        r.commits.insert(r.commits.begin() + commitsSoFar(), c);
        return r;
    }
    // Nothing done after the failing call: the log returned, the stores as before.
    Result stopped(std::optional<Log> l, Outs outs) const {
        return {std::move(l), std::move(outs), {clean.commits.begin(), clean.commits.begin() + commitsSoFar()}, before};
    }
};

using Expect = std::function<Result(const Ctx&)>;
using Traces = std::function<std::string(const Ctx&)>;
struct Case {
    std::string name;
    std::function<void()> setup;                  // state, once
    std::function<void()> prepare;                // before each run, not swept
    std::function<ErrlEntry*(Outs&)> run;         // the operation
    std::function<void()> finish;                 // after each run, not swept
    std::function<Result(const Stores&)> golden;  // the clean run, from the state before it
    const char* traces;                           // the clean run's trace entries
    Expect expect;
    bool ownFiles = true;                         // the operation opens and closes its files itself
    Traces failTraces = nullptr;                  // a failing run's trace entries; null: not compared
};

// ---------------------------------------------------------------- state helpers

void setKeyword(unsigned unit, const Bytes& b) { gardhost::setValue("vpd/" + gardhost::unitName(unit) + "/keyword", b); }
void keywords(uint8_t s0, uint8_t s1) { setKeyword(0x200, record(s0)), setKeyword(0x201, record(s1)); }
Outs words(const unsigned char* p, std::size_t n) {
    Outs o(n / 8);
    std::memcpy(o.data(), p, n);
    return o;
}
uint64_t fnv(const void* p, std::size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
    return h;
}
struct Files : gardtest::StateTest {
    using StateTest::writeGardFile;
};
void writeGard(const std::string& name, const Bytes& bytes) { Files::writeGardFile(name, bytes); }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
// A unit table of `n` entries: unit 0x10 + i, group 1, entry 0 garded with error type 2.
void unitTable(unsigned n) {
    std::vector<Entry> r;
    for (unsigned i = 0; i < n; ++i)
        r.push_back({static_cast<uint16_t>(0x10 + i), 1, i == 0 ? 0x5Du : 0x5Cu, i == 0 ? 2u : 0u, 'a', ""});
    writeGard("gardRask", golden::unitTable(r, unit::kMagic));
}
ErrlEntry* logWithText(const std::string& t, bool gardBit = false) {
    auto* e = new ErrlEntry(0xAB00, 0, 0, 0xD1, 0, 0x10, 0x4399, 0xAB01, 1, 2, 3, 4, 0x75, 0);
    e->getSRC(0)->setAsciiString(t);
    if (gardBit) e->getSRC(0)->SetGardBit();
    return e;
}
// Slot i holding the error log as the platform flattens a pruned copy.
void storeSlot(Bytes& file, unsigned i, uint32_t unit, uint32_t port, const ErrlEntry& e) {
    uint8_t* s = &file[i * slot::kSize];
    std::fill(s, s + slot::kSize, 0);
    putBe(s, unit, 4), putBe(s + 4, port, 4);
    ErrlEntry copy(e);
    copy.prune(slot::kErrlSize);
    ASSERT_EQ(copy.flatten(s + slot::kErrl, slot::kErrlSize), 0);
}

// ---------------------------------------------------------------- shared expectations

// Which step of a gard file cycle a call belongs to.
enum class Step { Open, Create, Exists, Read, Write, Close, None };
Step stepOf(const Ctx& x) {
    const std::string& n = x.name();
    if (n == "UtilReg::path" || n == "UtilFile::Open") return Step::Open;
    if (n == "UtilFile::exists") return Step::Exists;
    if (n == "UtilFile::Close") return Step::Close;
    if (n != "UtilFile::Read" && n != "UtilFile::Write" && n != "UtilFile::Seek") return Step::None;
    std::size_t i = x.k;
    while (i < x.log.size() && x.log[i].name == "UtilFile::Seek") ++i;
    const bool read = i < x.log.size() && x.log[i].name == "UtilFile::Read";
    // A write before the cycle's first read is the zero-fill of a new file.
    for (std::size_t j = x.k; !read && j-- > 0 && x.log[j].name != "UtilReg::path";)
        if (x.log[j].name == "UtilFile::Read") return Step::Write;
    return read ? Step::Read : Step::Create;
}

// A failing step of an operation's file cycle: open, read or write failures
// change nothing and return the step's log; a failed close is committed and
// the result stays. `failed` gives the out-values of a failed cycle.
Result fileCycle(const Ctx& x, const FileSteps& s, const Outs& failed) {
    const Log p = x.platform();
    switch (stepOf(x)) {
    case Step::Exists: return x.clean;  // a faulted check says "there", and the file is
    case Step::Close: return x.cleanPlus(error(p + added(s.mod, kRcClose, s.close)));
    case Step::Open: return x.stopped(p + added(s.mod, kRcOpen, 0), failed);
    case Step::Create: return x.stopped(p + added(s.mod, kRcWrite, s.open) + added(s.mod, kRcOpen, 0), failed);
    case Step::Read: return x.stopped(p + added(s.mod, kRcRead, s.read), failed);
    case Step::Write: return x.stopped(p + added(s.mod, kRcWrite, s.write), failed);
    case Step::None: break;
    }
    ADD_FAILURE() << "no file step: " << x.name();
    return x.clean;
}
Expect cycle(const char* op, Outs failed) {
    return [op, failed](const Ctx& x) { return fileCycle(x, steps(op), failed); };
}
// A golden clean result: the out-values and commits given, the stores as before but for `changed`.
std::function<Result(const Stores&)> golden(Outs outs, std::vector<Commit> commits = {}, Stores changed = {}) {
    return [=](const Stores& b) {
        Result r{{}, outs, commits, b};
        for (const auto& [k, v] : changed) r.stores[k] = v;
        return r;
    };
}
// The unit table before the run, with `change` made.
Bytes tableAfter(const Stores& before, const std::function<void(Bytes&)>& change) {
    Bytes b = *before.at("gardRask");
    change(b);
    return b;
}
void clearAll(Bytes& t) {
    for (unsigned i = 0; i < unit::kEntries; ++i)
        putBe(&t[unit::kStateAt + 4 * i], 0xCC, 4), putBe(&t[unit::kErrorTypeAt + 4 * i], 0, 4);
}

const std::string kRmgrGard = "rmgrGardBackup sp=0 comp=0xca00\n", kRmgrUngard = "rmgrUngardBackup sp=0 comp=0xca00\n";

// GardSetQelState(0x200, state ...) from position 0, role 1, both records
// read cleanly: what a failing call of its own does, and its result word.
std::pair<Result, uint32_t> setQelFailure(const Ctx& x, uint32_t state) {
    Result r = x.clean;
    uint32_t word = 0;
    auto refused = [&](std::optional<Log> l, uint32_t w) {
        r = x.stopped(std::move(l), r.outs);
        r.stores = x.clean.stores;
        r.stores["vpd/0x200/keyword"] = x.before.at("vpd/0x200/keyword");
        r.stores["rmgr/log"] = x.before.at("rmgr/log");
        word = w;
    };
    const std::string& t = x.call().target;
    const bool gate = x.k + 1 < x.log.size() && x.log[x.k + 1].name.starts_with("SVPD_set");
    if (x.is("UtilReg::read") && (t == "dscv/QelPosition" || t == "dscv/QelRole") && !gate) {
        refused(x.platform(), 1);
    } else if (x.is("vormGardGetPolicy")) {
        refused(std::nullopt, 1);
        r.commits.push_back(error(x.platform()));
    } else if (x.is("SVPD_fru_status", "0x200")) {
        refused(made(kQelOwnAbsent, 0x200, state, 0), 1);
    } else if (x.is("SVPD_get_qel_gd_keyword")) {
        refused(made(kQelRecordsUnread, 0x200, state, 1), 2);
        r.commits.push_back(error(x.platform()));
    } else if (x.is("UtilReg::read", "smgr/StateData")) {
        refused(x.platform(), 2);
    } else if (x.is("UtilReg::read", "dscv/QelRole")) {  // the write gate: writes all the same
        r = x.cleanPlus(error(x.platform()));
    } else if (x.is("SVPD_set_qel_gd_keyword")) {
        r = x.cleanPlus(error(x.platform()));
        r.stores["vpd/0x200/keyword"] = x.before.at("vpd/0x200/keyword");
    } else if (x.name().starts_with("rmgr")) {
        r = x.stopped(x.platform(), r.outs);
        r.stores = x.clean.stores;
        r.stores["rmgr/log"] = x.before.at("rmgr/log");
        word = 2;
    }
    // SVPD_fru_status of 0x201: the sibling counts as absent, nothing changes.
    return {r, word};
}

// ---------------------------------------------------------------- the cases

UtilFile* g_file = nullptr;
ErrlEntry* g_cause = nullptr;  // made before the swept run: its own calls are not swept
unsigned char g_image[unit::kImage];
void dropCause() { delete g_cause, g_cause = nullptr; }
void openTable() { ASSERT_EQ(GardSysFileOpen(g_file, 0x6A, 1, 3), nullptr); }
void closeTable() { delete GardSysFileClose(g_file, 0x6A, 23); }
Traces seekThenTransfer() { return [](const Ctx& x) { return std::string(x.is("UtilFile::Seek") ? "-|-" : "-"); }; }

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
Outs recordOuts(uint64_t id0, uint64_t id1, uint64_t code, const Bytes& rec0, const Bytes& rec1) {
    Bytes both = rec0;
    both.insert(both.end(), rec1.begin(), rec1.end());
    Outs o{id0, id1, code}, w = words(both.data(), 64);
    o.insert(o.end(), w.begin(), w.end());
    return o;
}
Bytes withState(Bytes r, uint8_t state) {
    r[2] = state;
    return r;
}
const Bytes kBlank(32, 0xFF), kUnreadable = withState(kBlank, 0x5D);

std::vector<Case> cases() {
    static const std::string kCause = "B1234567 cause of the gard.....", kPathCause = "1A2B3C this path failed";
    std::vector<Case> all;

    // ---- gard system files, driven directly (the test owns the file object)
    all.push_back(
        {"GardSysFileOpen_FirstUse", [] {}, nullptr,
         [](Outs& o) { ErrlEntry* e = GardSysFileOpen(g_file, 0x42, 15, 4); o = {g_file != nullptr}; return e; },
         closeTable, golden({1}, {}, {{"gardErrl", Bytes(51200, 0)}}), "-|-|-",
         [](const Ctx& x) -> Result {
             Result r = x.stopped(x.platform() + added(0x42, kRcOpen, 0), {!x.is("UtilReg::path")});
             if (x.is("UtilFile::Seek") || x.is("UtilFile::Write"))
                 r.errl = x.platform() + added(0x42, kRcWrite, 15) + added(0x42, kRcOpen, 0);
             if (x.is("mkdir") || x.is("UtilFile::exists"))  // no directory, or a file assumed: the open fails
                 r.errl = platform("UtilFile::Open", "gardErrl", ENOENT) + added(0x42, kRcOpen, 0);
             return r;
         },
         false,
         // the id's branch, the new object, (an existing file,) the seek's and
         // the transfer's failures, the open's failure, the exit
         [](const Ctx& x) -> std::string {
             if (x.is("UtilReg::path")) return "-|-|-";
             if (x.is("UtilFile::Seek")) return "-|-|-|-|-|-";
             return x.is("UtilFile::exists") || x.is("UtilFile::Write") ? "-|-|-|-|-" : "-|-|-|-";
         }});
    all.push_back(
        {"GardSysFileRead", [] { unitTable(3); }, openTable,
         [](Outs& o) {
             std::memset(g_image, 0x77, sizeof g_image);
             ErrlEntry* e = GardSysFileRead(g_file, 0, g_image, sizeof g_image, 0x42, 6, 7, 8, 9);
             o = {fnv(g_image, sizeof g_image)};
             return e;
         },
         closeTable, [](const Stores& b) { return Result{{}, {fnv(b.at("gardRask")->data(), unit::kImage)}, {}, b}; }, "",
         [](const Ctx& x) {
             const Bytes untouched(sizeof g_image, 0x77);
             return x.stopped(x.platform() + added(0x42, kRcRead, 6, 7, 8, 9), {fnv(untouched.data(), untouched.size())});
         },
         false, seekThenTransfer()});
    all.push_back({"GardSysFileSeek", [] { unitTable(1); }, openTable,
                   [](Outs&) { return GardSysFileSeek(g_file, 100, 0x42, 1, 2, 3, 4); }, closeTable, golden({}), "",
                   [](const Ctx& x) { return x.stopped(x.platform(), {}); },  // bare: the seek adds no SRC
                   false, [](const Ctx&) { return std::string("-"); }});
    all.push_back({"GardSysFileClose", [] { unitTable(1); }, openTable,
                   [](Outs& o) { ErrlEntry* e = GardSysFileClose(g_file, 0x42, 33); o = {g_file == nullptr}; return e; },
                   nullptr, golden({1}), "",  // the object is gone either way; the close traces nothing
                   [](const Ctx& x) { return x.stopped(x.platform() + added(0x42, kRcClose, 33), {1}); }, false,
                   [](const Ctx&) { return std::string(); }});

    // ---- unit gard table
    all.push_back({"GardGetVpdUnitState", [] { unitTable(5); }, nullptr,
                   [](Outs& o) {
                       bool g = true;
                       ErrlEntry* e = gardAcc::GardGetVpdUnitState(0x10, 1, &g);
                       return o = {g}, e;
                   },
                   nullptr, golden({1}), "-|-|-|-", cycle("GardGetVpdUnitState", {0})});
    static vpdRecordMenu menu, untouched;  // the menu as handed back, and as the caller left it
    std::memset(&untouched, 0x11, sizeof untouched);
    for (unsigned i = 0; i < GARD_MAX_VPD_UNITS; ++i) {  // the five entries, then free positions
        menu.groupId[i] = i < 5 ? 1 : 0;
        menu.unitId[i] = static_cast<uint16_t>(i < 5 ? 0x10 + i : 0);
        menu.state[i] = i == 0 ? GARD_GARDED : i < 5 ? GARD_STATE_NEW : GARD_CLEARED;
        menu.errorType[i] = i == 0 ? 2 : 0;
    }
    all.push_back({"GardGetVpdConfigData", [] { unitTable(5); }, nullptr,
                   [](Outs& o) {
                       static vpdRecordMenu got;
                       std::memset(&got, 0x11, sizeof got);
                       ErrlEntry* e = gardAcc::GardGetVpdConfigData(0, &got);
                       o = {fnv(&got, sizeof got)};
                       return e;
                   },
                   nullptr, golden({fnv(&menu, sizeof menu)}), "-|-|-|-",
                   cycle("GardGetVpdConfigData", {fnv(&untouched, sizeof untouched)})});
    all.push_back(
        {"GardUpdateVpdUnit", [] { unitTable(5); }, nullptr,
         [](Outs& o) {
             gardFruState fru = static_cast<gardFruState>(77);
             svpd_SerialNum serial;
             std::memset(serial.bytes, 'b', sizeof serial.bytes);
             ErrlEntry* e = gardAcc::GardUpdateVpdUnit(0x40, serial, 2, &fru);
             o = {fru};
             return e;
         },
         nullptr,
         [](const Stores& b) {
             Bytes t = tableAfter(b, [](Bytes& t) { putEntry(t, 5, {0x40, 2, 0x5C, 0, 'b', ""}); });
             return golden({GARD_FRU_SET_UP}, {}, {{"gardRask", t}})(b);
         },
         "-|-|-|-", cycle("GardUpdateVpdUnit", {77})});
    all.push_back(
        {"GardSetVpdUnitState", [] { unitTable(5); }, [] { g_cause = logWithText(kCause); },
         [](Outs&) { return gardAcc::GardSetVpdUnitState(0x12, 1, GARD_GARDED_2, 7, g_cause); }, dropCause,
         [](const Stores& b) {
             Bytes t = tableAfter(b, [](Bytes& t) { putEntry(t, 2, {0x12, 1, 0xED, 7, 'a', kCause}); });
             return golden({}, {info(made(kUnitStateChanged, 0x12, 1, 0xED))}, {{"gardRask", t}})(b);
         },
         "-|-|-|-",
         [](const Ctx& x) {
             if (x.is("mnfgIsPolicyFlagSet"))  // a failing query leaves the flag set: refused
                 return x.stopped(made(kUnitPolicyRefused, 0x12, 0, 0), {});
             if (!x.is("ErrlEntry::getSRC")) return fileCycle(x, steps("GardSetVpdUnitState"), {});
             Result r = x.clean;  // no SRC: the entry's text stays
             r.stores["gardRask"] = tableAfter(x.before, [](Bytes& t) { putEntry(t, 2, {0x12, 1, 0xED, 7, 'a', ""}); });
             return r;
         }});
    all.push_back({"GardClearVpdData", [] { unitTable(5); }, nullptr, [](Outs&) { return gardAcc::GardClearVpdData(); },
                   nullptr, [](const Stores& b) { return golden({}, {}, {{"gardRask", tableAfter(b, clearAll)}})(b); },
                   "-|-|-|-", cycle("GardClearVpdData", {})});
    all.push_back({"GardResetVpdData", [] { unitTable(5); }, nullptr, [](Outs&) { return gardAcc::GardResetVpdData(); },
                   nullptr,
                   [](const Stores& b) {
                       return golden({}, {}, {{"gardRask", tableAfter(b, [](Bytes& t) {
                                                   std::fill_n(t.begin(), unit::kImage, 0);
                                                   putBe(&t[unit::kMagicAt], unit::kMagic, 4);
                                               })}})(b);
                   },
                   "-|-|-|-", cycle("GardResetVpdData", {})});

    // ---- stored error logs: 0x2E71 in slot 0, 0x2E92 in slot 1
    all.push_back(
        {"GardGetStoredErrl",
         [] {
             Bytes file(51200, 0);
             ErrlEntry* stored = logWithText("B7001234", true);
             storeSlot(file, 0, 0x2E71, 5, *stored), storeSlot(file, 1, 0x2E92, 6, *stored);
             delete stored;
             writeGard("gardErrl", file);
         },
         [] { g_cause = logWithText("replaced"); },
         [](Outs& o) {
             ErrlEntry* e = GardGetStoredErrl(0x2E92, g_cause);
             o = {g_cause != nullptr};
             SrciSrc s = g_cause != nullptr ? g_cause->src(0) : SrciSrc();  // a copy: getSRC would be a swept call
             if (g_cause != nullptr) o.insert(o.end(), {s.reasonCode, s.gardBit, fnv(s.getAsciiString(), 8)});
             return e;
         },
         dropCause, golden({1, 0xAB01, 1, fnv("B7001234", 8)}), "-|-|-|-|-",
         [](const Ctx& x) {
             if (!x.is("ErrlEntry::unflatten") && !x.is("ErrlBase::operator new"))
                 return fileCycle(x, steps("gardReadStoredErrl"), {0});
             Result r = x.clean;  // nothing read back, no error
             r.outs = {0};
             return r;
         }});

    // ---- service-processor records
    all.push_back({"isQelPresent", [] {}, nullptr, [](Outs& o) { o = {isQelPresent(0x200)}; return nullptr; },
                   nullptr, golden({1}), "0x200,0x1",
                   [](const Ctx& x) { return x.stopped({}, {0}); }});  // absent, its log deleted uncommitted
    // 0x201's erased keyword is repaired and written back.
    all.push_back(
        {"GardReadVPD", [] { setKeyword(0x200, record(0x5C)); }, nullptr,
         [](Outs& o) { return readRecords(GardRdndQel::GardReadVPD, o); }, nullptr,
         golden(recordOuts(0x200, 0x201, 0, record(0x5C), record(0x5C)), {}, {{"vpd/0x201/keyword", record(0x5C)}}),
         "0x40|0x200,0x1|0x201,0x1|0x201,0x20|0x1,0x0|0x0",
         [](const Ctx& x) {
             Result r = x.clean;
             const bool first = x.call().target == "0x200";
             if (x.is("SVPD_fru_status")) {  // absent: a blank record, not repaired
                 r.outs = first ? recordOuts(0, 0x201, 0, kBlank, record(0x5C))
                                : recordOuts(0x200, 0, 0, record(0x5C), kBlank);
                 if (!first) r.stores = x.before;
             } else if (x.is("SVPD_get_qel_gd_keyword")) {
                 r.outs = first ? recordOuts(0x200, 0x201, 1, kUnreadable, record(0x5C))
                                : recordOuts(0x200, 0x201, 1, record(0x5C), kUnreadable);
                 r.commits.insert(r.commits.begin(), error(x.platform()));
                 if (!first) r.stores = x.before;
             } else if (x.is("UtilReg::read", "dscv/QelRole")) {
                 r = x.cleanPlus(error(x.platform()));  // the role gate writes
             } else if (x.is("SVPD_set_qel_gd_keyword")) {
                 r = x.cleanPlus(error(x.platform()));
                 r.outs[2] = 15, r.stores = x.before;
             }
             return r;
         }});
    all.push_back({"GardWriteVPD", [] {}, nullptr,
                   [](Outs&) { Bytes rec = record(0xEC); return GardRdndQel::GardWriteVPD(0x200, 32, rec.data()); },
                   nullptr, golden({}, {}, {{"vpd/0x200/keyword", record(0xEC)}}), "0x200,0x20|0x1,0x0",
                   [](const Ctx& x) {
                       return x.is("UtilReg::read") ? x.cleanPlus(error(x.platform())) : x.stopped(x.platform(), {});
                   }});
    all.push_back(
        {"GardSetQelState", [] { keywords(0x5C, 0x5C); }, nullptr,
         [](Outs& o) {
             gardSetStateReturn word = static_cast<gardSetStateReturn>(9);
             ErrlEntry* e = GardRdndQel::GardSetQelState(0x200, GARD_QEL_GARDED, 0x010000B7, word, true, 0);
             o = {word};
             return e;
         },
         nullptr,
         golden({0}, {info(made(kQelGarded, 0x200, 0x5D, 0x010000B7))},
                {{"vpd/0x200/keyword", record(0x5D, 0x010000B7, 0)}, {"rmgr/log", text(kRmgrGard)}}),
         "0x200,0x5d,0x10000b7|0x1|0x40|0x200,0x1|0x201,0x1|0x0|0x200,0x5d|0x200,0x20|0x1,0x0|0x0",
         [](const Ctx& x) {
             auto [r, word] = setQelFailure(x, 0x5D);
             r.outs = {word};
             return r;
         }});
    all.push_back(
        {"GardGetQelState", [] { setKeyword(0x200, record(0x5D)); }, nullptr,
         [](Outs& o) {
             bool g = false;
             ErrlEntry* e = GardRdndQel::GardGetQelState(0x200, g, false, false);
             return o = {g}, e;
         },
         nullptr, golden({1}, {}, {{"rmgr/log", text(kRmgrGard)}}), "0x200|0x1",
         [](const Ctx& x) { return x.stopped(x.platform(), {!x.is("SVPD_get_qel_gd_keyword")}); }});
    // A failure that stops the answer: its log committed, the default answer.
    auto defaulted = [](const Ctx& x, Outs outs) {
        Result r = x.stopped({}, std::move(outs));
        r.commits = {error(x.platform())};
        return r;
    };
    all.push_back({"GardQelDoGard", [] { keywords(0x5D, 0x5C); }, nullptr,
                   [](Outs& o) { o = {static_cast<uint64_t>(GardRdndQel::GardQelDoGard(0x200))}; return nullptr; },
                   nullptr, golden({1}), "0x200|0x40|0x200,0x1|0x201,0x1|0x0|0x1",
                   [defaulted](const Ctx& x) {
                       if (x.is("SVPD_get_qel_gd_keyword")) return defaulted(x, {0});  // not judged
                       Result r = x.clean;
                       if (x.is("SVPD_fru_status", "0x200")) r.outs = {0};  // record 0 blank
                       return r;
                   }});
    // 0x200 usable, 0x201 without a functional DMA path.
    auto usableState = [] {
        keywords(0x5C, 0x5C);
        gardhost::setU8("vorm/functional/0x201", 0);
    };
    all.push_back({"gardIsQelUsable", usableState, nullptr,
                   [](Outs& o) { o = {static_cast<uint64_t>(gardIsQelUsable(0x201))}; return nullptr; }, nullptr,
                   golden({GARD_QEL_NO_DMA_PATH}), "0x201|0x40|0x200,0x1|0x201,0x1|0x0|0x1",
                   [defaulted](const Ctx& x) {  // a blank record is not garded either
                       return x.is("SVPD_fru_status") ? x.clean : defaulted(x, {0});
                   }});
    all.push_back(
        {"gardCheckFailoverCapable", usableState, nullptr,
         [](Outs& o) {
             GardFoStatus s = static_cast<GardFoStatus>(9);
             ErrlEntry* e = gardCheckFailoverCapable(s);
             return o = {s}, e;
         },
         nullptr, golden({GARD_FO_SIBLING_DOWN}),
         "-|0x200|0x40|0x200,0x1|0x201,0x1|0x0|0x0|0x201|0x40|0x200,0x1|0x201,0x1|0x0|0x1|0x1",
         [defaulted](const Ctx& x) {
             if (x.is("SVPD_fru_status")) return x.clean;
             // Before the own check, and in the sibling's check, a failure means
             // "cannot be judged": status 2. In the own check it means "own
             // usable", and the sibling decides.
             const bool own = x.seen("vormGardCheckFunctionalDmaPath") == 0 && x.seen("UtilReg::read") >= 2 &&
                              !x.is("vormGardCheckFunctionalDmaPath", "0x201");
             return defaulted(x, {own ? 1u : 2u});
         }});
    all.push_back(
        {"GardGetQelDmaConfig", [] { keywords(0x5C, 0xED); }, nullptr,
         [](Outs& o) { return readRecords(GardRdndQel::GardGetQelDmaConfig, o); }, nullptr,
         // role 1 at position 0: the sibling's copy is marked
         golden(recordOuts(0x200, 0x201, 0, record(0x5C), withState(record(0xED), 0x5A))),
         "0x40|0x40|0x200,0x1|0x201,0x1|0x0|0x0",
         [defaulted](const Ctx& x) {
             const bool first = x.call().target == "0x200";
             if (x.is("SVPD_fru_status"))
                 return x.stopped({}, first ? recordOuts(0, 0x201, 0, kBlank, withState(record(0xED), 0x5A))
                                            : recordOuts(0x200, 0, 0, record(0x5C), withState(kBlank, 0x5A)));
             if (x.is("SVPD_get_qel_gd_keyword"))
                 return defaulted(x, first ? recordOuts(0x200, 0x201, 1, kUnreadable, record(0xED))
                                           : recordOuts(0x200, 0x201, 1, record(0x5C), kUnreadable));
             return defaulted(x, recordOuts(0x200, 0x201, 0, record(0x5C), record(0xED)));  // left unmarked
         }});

    // ---- system resources
    all.push_back(
        {"GardDeconfigDmaPath",
         [] {
             gardhost::setU32("vorm/port/0x2e71", 5);
             gardhost::setU32("vorm/port/0x2e92", 6);
             Bytes file(51200, 0);  // slot 0 is another unit's; the path's units take the next free ones
             ErrlEntry* other = logWithText("B1110000");
             storeSlot(file, 0, 0x2E00, 1, *other);
             delete other;
             writeGard("gardErrl", file);
         },
         [] { g_cause = logWithText(kPathCause); },
         [](Outs& o) {
             GARD_RC rc = static_cast<GARD_RC>(9);
             ErrlEntry* e = GardDeconfigDmaPath(homDMAPath{{0, 0, 0, 2, 1, 0x99}}, 1, 0, rc, g_cause);
             o = {g_cause->src(0).gardBit, rc};
             return e;
         },
         dropCause,
         [](const Stores& b) {
             Bytes file = *b.at("gardErrl");
             ErrlEntry* cause = logWithText(kPathCause, true);
             storeSlot(file, 1, 0x2E71, 5, *cause), storeSlot(file, 2, 0x2E92, 6, *cause);
             delete cause;
             const char* vorm = "vormGardDeconfigDmaPath sp=0 path=0x99 errorType=0x1 src=0x1a2b3 flags=0x1000 out=0x0\n";
             return golden({1, 9}, {}, {{"gardErrl", file}, {"vorm/log", text(vorm)}})(b);
         },
         "0x99,0x1|-|-|-|-|-|-|-|-|-|-",
         [](const Ctx& x) {
             Result r = x.clean;
             auto slots = [&](bool first, bool second, bool gardBit) {
                 Bytes file = *x.before.at("gardErrl");
                 ErrlEntry* cause = logWithText(kPathCause, gardBit);
                 if (first) storeSlot(file, 1, 0x2E71, 5, *cause);
                 if (second) storeSlot(file, first ? 2 : 1, 0x2E92, 6, *cause);
                 delete cause;
                 return file;
             };
             if (x.is("ErrlEntry::getSRC")) {  // no SRC: no SRC number, no gard bit
                 r.outs = {0, 9};
                 r.stores["gardErrl"] = slots(true, true, false);
                 std::string log(r.stores["vorm/log"]->begin(), r.stores["vorm/log"]->end());
                 r.stores["vorm/log"] = text(log.replace(log.find("src=0x1a2b3"), 11, "src=0x0"));
                 return r;
             }
             if (x.is("vormGardDeconfigDmaPath")) return x.stopped(x.platform(), {0, 9});
             const Step step = stepOf(x);
             if (step == Step::Exists) return r;
             // Each unit is handled on its own: a failure skips its copy only.
             const bool first = x.seen("homGetUnitId") == 0 || (x.seen("homGetUnitId") == 1 && !x.is("homGetUnitId"));
             if (step == Step::Close) return fileCycle(x, steps("gardStoreErrl"), {});
             // A copy that cannot be made or flattened is no error.
             if (!x.is("ErrlEntry::flatten") && !x.is("ErrlBase::operator new")) {
                 const Log l = step != Step::None        ? *fileCycle(x, steps("gardStoreErrl"), {}).errl
                               : x.is("homGetUnitId") ? platform("vormGetVPDPort", "0xffffffff", ENOENT)  // no such unit
                                                      : x.platform();
                 r = x.cleanPlus(error(l));
             }
             r.stores["gardErrl"] = first ? slots(false, true, true) : slots(true, false, true);
             return r;
         }});
    all.push_back(
        {"GardClearSystemResources", [] { unitTable(3), keywords(0x5D, 0x5C); }, nullptr,
         [](Outs& o) {
             GARD_RC rc = static_cast<GARD_RC>(9);
             ErrlEntry* e = GardClearSystemResources(rc, GARD_DOMAIN_ALL);
             return o = {rc}, e;
         },
         nullptr,
         [](const Stores& b) {
             return golden({0}, {}, {{"gardRask", tableAfter(b, clearAll)}, {"vpd/0x200/keyword", record(0xCC, 0, 0)},
                                     {"rmgr/log", text(kRmgrUngard)}})(b);
         },
         "175|-|-|-|-|0x40|0x200,0x1|0x201,0x1|0x0|0x200,0xcc,0x0|0x40|0x200,0x1|0x201,0x1|0x0|0x200,0xcc|"
         "0x200,0x20|0x1,0x0|0x0|0x0",
         [](const Ctx& x) {
             if (x.seen("UtilFile::Close") == 0) {  // in the table's clear
                 const Step step = stepOf(x);
                 Result r = fileCycle(x, steps("GardClearVpdData"), {});
                 if (step == Step::Exists || step == Step::Close) return r;  // a failed close does not fail the clear
                 r = x.cleanPlus(error(*r.errl));
                 r.outs = {4}, r.stores["gardRask"] = x.before.at("gardRask");
                 return r;
             }
             // Reads of the own clearing step before the state change.
             const bool beforeChange =
                 x.seen("UtilReg::read") < 2 || (x.seen("UtilReg::read") == 2 && !x.is("UtilReg::read"));
             if (!beforeChange) {
                 auto [r, word] = setQelFailure(x, 0xCC);
                 if (r.errl) r.commits.push_back(error(*r.errl));
                 r.errl.reset(), r.outs = {word == 0 ? 0u : 4u};
                 return r;
             }
             Result r = x.clean;
             if (x.is("UtilReg::read")) r = x.cleanPlus(error(x.platform())), r.outs = {4};
             if (x.is("SVPD_fru_status", "0x200"))  // no own processor to clear
                 r = x.cleanPlus(error(made(kQelNotThisProcessor, 0, 0xCC, 0))), r.outs = {4};
             if (x.is("SVPD_get_qel_gd_keyword")) r = x.cleanPlus(error(x.platform()));  // not judged: nothing to do
             if (x.is("UtilReg::read") || x.is("SVPD_fru_status", "0x200") || x.is("SVPD_get_qel_gd_keyword"))
                 for (const char* v : {"vpd/0x200/keyword", "rmgr/log"}) r.stores[v] = x.before.at(v);
             return r;
         }});
    return all;
}

// ---------------------------------------------------------------- checks beside the logs

// The arguments every call of a library operation must have (golden call rules).
void checkCallArguments(const std::vector<Call>& calls) {
    for (const Call& c : calls)
        for (const CallRule& rule : kCallRules) {
            if (c.name != rule.name || (*rule.target && !std::regex_match(c.target, std::regex(rule.target)))) continue;
            EXPECT_TRUE(rule.args != nullptr && std::regex_match(c.args, std::regex(rule.args)))
                << c.name << "@" << c.target << " called with \"" << c.args << "\"";
            break;
        }
}
// Every file object made (after a path look-up that succeeded) is closed once.
void checkOneClosePerFile(const std::vector<Call>& calls) {
    std::size_t made = 0, closed = 0;
    for (const Call& c : calls) made += c.name == "UtilReg::path" && !c.failed, closed += c.name == "UtilFile::Close";
    EXPECT_EQ(closed, made) << "file objects closed, of those made";
}
// The trace entries as "values|values|...", "-" for an entry without values.
std::string traceText() {
    std::string out;
    for (const auto& e : gardhost::traceEntries("gard")) {
        const std::string f = gardhost::formatTrace(e);
        std::string values = f.substr(f.find(" :") + 2);
        values.erase(0, values.find_first_not_of(' '));
        out.append(out.empty() ? "" : "|").append(values.empty() ? "-" : values);
    }
    return out;
}
// Every trace entry's message is in the tool's trace table, with its format.
void checkTraceTable() {
#ifdef GARD_TRACE_STRINGS
    static const std::multimap<uint32_t, std::string> table = [] {
        std::multimap<uint32_t, std::string> t;
        std::ifstream in(GARD_TRACE_STRINGS);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            std::istringstream row(line);
            for (std::string field; std::getline(row, field, '\t');) f.push_back(field);
            if (f.size() == 6) t.emplace(static_cast<uint32_t>(std::stoul(f[0], nullptr, 16)), f[4]);
        }
        return t;
    }();
    ASSERT_FALSE(table.empty()) << GARD_TRACE_STRINGS;
    for (const auto& e : gardhost::traceEntries("gard")) {
        bool known = false;
        for (auto [it, end] = table.equal_range(e.id); it != end; ++it) known = known || it->second == e.format;
        EXPECT_TRUE(known) << "trace entry of line " << e.line << " unknown to the trace table";
    }
#endif
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
        std::error_code ec;
        for (const auto& [name, bytes] : s) {
            const bool gard = name.rfind("gard", 0) == 0;
            if (bytes) gard ? writeGardFile(name, *bytes) : gardhost::setValue(name, *bytes);
            else if (gard) std::filesystem::remove(gardhost::resolvePath("/opt/p3/gard/" + name), ec);
            else gardhost::eraseValue(name);
        }
        if (!s.at("gardRask") && !s.at("gardErrl")) std::filesystem::remove(gardhost::resolvePath("/opt/p3/gard"), ec);
        gardhost::clearCommitted();
    }
    // One run; `fault` names the call made to fail ("" for none).
    Result runOnce(const Case& c, const std::string& fault) {
        const long live = gardhost::liveErrls();
        if (c.prepare) c.prepare();
        gardhost::clearCalls();
        gardhost::clearTrace("gard");
        if (!fault.empty()) gardhost::failCall(fault);
        Result r;
        ErrlEntry* e = c.run(r.outs);
        calls_ = gardhost::calls();
        gardhost::clearFaults();
        if (c.finish) c.finish();
        if (e != nullptr) {
            r.errl = Log{{}, e->severity(), e->eventType(), e->getRC()};
            for (std::size_t i = 0; i < e->srcCount(); ++i) r.errl->srcs.push_back(srcOf(e->src(i)));
            delete e;
        }
        for (const auto& cm : gardhost::committed()) {
            r.commits.push_back({cm.actions, Log{{}, cm.severity, cm.eventType, cm.rc}, cm.compId});
            for (const SrciSrc& s : cm.srcs) r.commits.back().log.srcs.push_back(srcOf(s));
        }
        r.stores = stores();
        EXPECT_EQ(gardhost::liveErrls(), live) << "error-log entries leaked";
        checkCallArguments(calls_);
        if (c.ownFiles) checkOneClosePerFile(calls_);
        checkTraceTable();
        return r;
    }
    static void compare(const Result& want, const Result& got) {
        EXPECT_EQ(got.errl, want.errl) << "the returned error log";
        EXPECT_EQ(got.outs, want.outs);
        EXPECT_EQ(got.commits, want.commits);
        for (const auto& [name, bytes] : want.stores) EXPECT_TRUE(got.stores.at(name) == bytes) << name << " differs";
    }
    std::vector<Call> calls_;
};

TEST_P(Sweep, EveryFailingCallDoesWhatItMust) {
    std::vector<Case> all = cases();
    const auto found = std::find_if(all.begin(), all.end(), [](const Case& c) { return c.name == GetParam(); });
    ASSERT_NE(found, all.end());
    const Case& c = *found;
    c.setup();
    gardhost::clearCommitted();
    gardhost::eraseValue("rmgr/log");
    gardhost::eraseValue("vorm/log");
    const Stores start = stores();
    const Result golden = c.golden(start);
    {
        SCOPED_TRACE("the clean run");
        compare(golden, runOnce(c, ""));
        EXPECT_EQ(traceText(), c.traces) << "trace entries";
    }
    const std::vector<Call> log = calls_;
    std::size_t pairs = 0, unfailable = 0;
    for (std::size_t k = 0; k < log.size(); ++k) {
        if (log[k].name == "ErrlEntry::commit" || log[k].name == "ErrlEntry::prune") {  // no failure to inject
            ++unfailable;
            continue;
        }
        // "name@target#n" fails the n-th call of that name and target; a
        // call without a target is counted among all calls of its name.
        std::size_t n = 0;
        for (std::size_t i = 0; i <= k; ++i)
            n += log[i].name == log[k].name && (log[k].target.empty() || log[i].target == log[k].target);
        const std::string fault = log[k].name + (log[k].target.empty() ? "" : "@" + log[k].target) + "#" + std::to_string(n);
        SCOPED_TRACE(fault);
        restore(start);
        const Result got = runOnce(c, fault);
        ASSERT_EQ(std::count_if(calls_.begin(), calls_.end(), [](const Call& call) { return call.failed; }), 1)
            << "the fault did not hit exactly one call";
        const Ctx ctx{log, k, golden, start};
        compare(c.expect(ctx), got);
        if (c.failTraces) {
            EXPECT_EQ(traceText(), c.failTraces(ctx)) << "trace entries";
        }
        ++pairs;
    }
    g_pairs += pairs, g_logged += log.size(), g_unfailable += unfailable;
    std::printf("[ sweep    ] %s: %zu failing calls of %zu logged (%zu cannot fail)\n", c.name.c_str(), pairs,
                log.size(), unfailable);
}

std::vector<std::string> caseNames() {
    std::vector<std::string> names;
    for (const Case& c : cases()) names.push_back(c.name);
    return names;
}
INSTANTIATE_TEST_SUITE_P(Operations, Sweep, ::testing::ValuesIn(caseNames()), [](const auto& info) { return info.param; });

// The total, when the whole sweep runs in one process.
class Total : public ::testing::Environment {
    void TearDown() override {
        if (g_pairs > 0)
            std::printf("[ sweep    ] covered %zu (operation, failing call) pairs: every failable call of %zu logged "
                        "(%zu cannot be made to fail)\n",
                        g_pairs, g_logged, g_unfailable);
    }
};
[[maybe_unused]] const auto* const g_total = ::testing::AddGlobalTestEnvironment(new Total);

}  // namespace
