// Service-processor records checked byte for byte as the host VPD store
// holds them (built here from the layout table: marker 0C 05, state, byte 3,
// failure and extra words big-endian, bytes 12-31), and scenarios of every
// operation, each run again once per platform call it made with that call
// failing.
#include <map>
#include <set>

#include "fixture.h"
#include "gard/gard.h"
#include "golden.h"

namespace {

using Bytes = std::vector<uint8_t>;
using golden::record;

std::string kw(unsigned unit) { return "vpd/" + gardhost::unitName(unit) + "/keyword"; }
Bytes keyword(unsigned unit) {
    Bytes b;
    gardhost::getValue(kw(unit), b);
    return b;
}
const Bytes kFresh = record(0x5C), kNone, kBadMarker = {0x0C, 0x06, 0x5D}, kNine = {9}, kShort = {0, 9, 0};
const Bytes kUnreadable = [] { Bytes r(32, 0xFF); r[2] = 0x5D; return r; }();
const Bytes kLong9 = [] { Bytes b(100, 7); b[0] = 9, b[1] = b[2] = b[3] = 0; return b; }();
unsigned g_ids[2];
qelDataBuffer g_buf;
gardVpdReturn g_vpd;

class Records : public gardtest::StateTest {};

// Every length the store holds, arbitrary bytes: even lengths start with
// marker and garded state, odd ones with a byte that is no marker.
TEST_F(Records, KeywordsOfAnyLength) {
    uint32_t seed = 12345;
    for (unsigned len = 0; len <= 64; ++len) {
        SCOPED_TRACE(len);
        Bytes k(len), expect = len == 0 || len > 32 ? kUnreadable : kFresh;
        for (auto& b : k) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
        const Bytes prefix = len % 2 ? Bytes{0x00} : Bytes{0x0C, 0x05, 0x5D};
        std::copy_n(prefix.begin(), std::min<std::size_t>(len, prefix.size()), k.begin());
        gardhost::setValue(kw(0x201), k);
        const bool garded = len >= 3 && len % 2 == 0;
        bool answer = !garded;
        EXPECT_EQ(GardRdndQel::GardGetQelState(0x201, answer, true, false), nullptr);
        EXPECT_EQ(answer, garded);
        GardRdndQel::GardReadVPD(g_ids, &g_buf, 64, &g_vpd);
        EXPECT_EQ(g_vpd, len == 0 || len > 32 ? GARD_VPD_UNREADABLE : GARD_VPD_OK);
        if (garded && len <= 32) std::copy(k.begin(), k.end(), expect.begin());
        EXPECT_EQ(Bytes(g_buf.bytes + 32, g_buf.bytes + 64), expect);
        if (len && len <= 32) { EXPECT_EQ(keyword(0x201), garded ? k : kFresh); }
    }
}

// The outcome table, one row per new state; 0x42 stands for any other.
struct Outcome {
    uint8_t state;
    bool refusedOver5D;
    const char *overGarded, *overOther;  // redundancy-manager call by old state
    uint16_t log, refusedAt9;            // informational log; refusal at state 9
};
constexpr Outcome kOutcomes[] = {
    {0x5C, false, "rmgrUngardBackup", "", 0, 0},      {0x5D, false, "", "rmgrGardBackup", 0xCA01, 0},
    {0xEC, true, "rmgrUngardBackup", "", 0, 0xCA12},  {0xED, true, "", "rmgrGardBackup", 0xCA02, 0xCA12},
    {0xCC, false, "rmgrUngardBackup", "", 0, 0xCA15}, {0x42, false, "", "", 0, 0},
};
using Row = std::tuple<Outcome, uint8_t, bool, bool>;  // outcome, old state, notify, state 9
class StateChange : public gardtest::StateTest, public ::testing::WithParamInterface<Row> {};

TEST_P(StateChange, FollowsOutcomeTable) {
    const auto [o, old, notify, at9] = GetParam();
    if (at9) gardhost::setU32(gardhost::regName("smgr/StateData"), 9);
    Bytes before = record(old, 0x11223344, 0x55667788, 0xA5);
    gardhost::setValue(kw(0x200), before);
    if (old == 0xFF) before[2] = 0x5C;  // repaired by the read first
    gardSetStateReturn result = GARD_SET_FAILED;
    EXPECT_EQ(GardRdndQel::GardSetQelState(0x200, gardQelState{o.state}, 0x010000B7, result, notify, 0xCAFE), nullptr);
    const bool refused = (at9 && o.refusedAt9) || (o.refusedOver5D && old == 0x5D);
    EXPECT_EQ(result, refused ? GARD_SET_NOT_DONE : GARD_SET_DONE);
    EXPECT_EQ(keyword(0x200), refused ? before : record(o.state, 0x010000B7, 0xCAFE, 0xA5));
    std::string made;
    for (const auto& c : gardhost::calls()) made += c.name.rfind("rmgr", 0) ? "" : c.name;
    EXPECT_EQ(made, refused || !notify ? "" : old == 0x5D || old == 0xED ? o.overGarded : o.overOther);
    const uint16_t reason = !refused ? o.log : at9 && o.refusedAt9 ? o.refusedAt9 : 0xCA12;
    const auto logs = gardhost::committed();
    ASSERT_EQ(logs.size(), reason ? 1u : 0u);
    if (!reason) return;
    const SrciSrc& s = logs[0].srcs[0];
    using U = std::vector<uint32_t>;
    const auto [site, ud] = reason == 0xCA15   ? std::pair(golden::kQelClearRefused, U{0x15, 0xCC, 9, 0})
                            : reason == 0xCA12 ? std::pair(golden::kQelRefused, U{2, 0x200, o.state, 0})
                            : reason == 0xCA02 ? std::pair(golden::kQelGarded2, U{0xD, 0x200, o.state, 0x010000B7})
                                               : std::pair(golden::kQelGarded, U{0xD, 0x200, o.state, 0x010000B7});
    EXPECT_EQ(std::make_tuple(logs[0].actions, s.reasonCode, s.modId, logs[0].eventType, logs[0].severity, s.srciType),
              std::make_tuple(site.actions, site.reason, site.mod, site.eventType, golden::kSeverity, golden::kSrciNew));
    EXPECT_EQ(U(s.ud, s.ud + 4), ud);
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    const auto& [o, old, notify, at9] = info.param;
    char name[64];
    std::snprintf(name, sizeof name, "New%02X_Old%02X_%s%s", o.state, old, notify ? "Notify" : "Silent",
                  at9 ? "_State9" : "");
    return name;
}
INSTANTIATE_TEST_SUITE_P(Table, StateChange,
    ::testing::Combine(::testing::ValuesIn(kOutcomes), ::testing::Values(0x5C, 0x5D, 0xEC, 0xED, 0xCC, 0xFF),
                       ::testing::Bool(), ::testing::Bool()), rowName);

// ---- scenarios: the store prepared, one operation asked for one word, and
// its effects: the state bytes of both keywords, the redundancy-manager and
// DMA-path calls, the logs committed (action / 0x1000) and the log returned.
std::string g_returned;

std::string describe(const SrciSrc& s) {
    char text[64];
    std::snprintf(text, sizeof text, s.compId == 0xCA00 ? "%X[%X,%X,%X,%X]" : "%X", s.reasonCode, s.ud[0], s.ud[1],
                  s.ud[2], s.ud[3]);
    return text;
}
std::string effects() {
    std::string out;
    for (unsigned unit : {0x200u, 0x201u}) {
        const Bytes k = keyword(unit);
        char text[8];
        std::snprintf(text, sizeof text, "%02X ", k.size() < 3 ? 0 : k[2]);
        out += k.size() < 3 ? "-- " : text;
    }
    for (const auto& c : gardhost::calls())
        out += c.name.rfind("rmgr", 0) ? c.name.rfind("vormGardCheck", 0) ? "" : "Dma " : c.name.substr(4) + " ";
    for (const auto& c : gardhost::committed()) out += describe(c.srcs[0]) + "/" + std::to_string(c.actions / 0x1000) + " ";
    out.pop_back();
    return g_returned.empty() ? out : out + " -> " + g_returned;
}
uint32_t keep(ErrlEntry* errl, uint32_t answer) {
    if (errl != nullptr) g_returned = describe(*errl->getSRC(0));
    gardtest::drop(errl);
    return answer;
}

void reg(const char* key, int v) {  // -1 removes the key
    v < 0 ? gardhost::eraseValue(gardhost::regName(key)) : gardhost::setU8(gardhost::regName(key), static_cast<uint8_t>(v));
}
void pos(int v) { reg("dscv/QelPosition", v); }
void role(int v) { reg("dscv/QelRole", v); }
void states(uint8_t s0, uint8_t s1) {  // 0: an empty keyword
    gardhost::setValue(kw(0x200), s0 ? record(s0) : kNone);
    gardhost::setValue(kw(0x201), s1 ? record(s1) : kNone);
}
void fail(const char* fault) { gardhost::failCall(fault); }
void sysType(uint32_t v) { gardhost::setU32(gardhost::regName("hutl/HOMSystemType"), v); }
void stateData(const Bytes& v) { gardhost::setValue(gardhost::regName("smgr/StateData"), v); }

uint32_t read(unsigned size) {
    EXPECT_EQ(GardRdndQel::GardReadVPD(g_ids, &g_buf, size, &g_vpd), nullptr);
    return g_vpd;
}
uint32_t set(unsigned unit, uint32_t state) {
    gardSetStateReturn result = GARD_SET_FAILED;
    ErrlEntry* errl = GardRdndQel::GardSetQelState(unit, gardQelState{state}, 1, result, true, 0);
    return keep(errl, result);
}
uint32_t get(unsigned unit, bool assertPor, bool vpdFlag) {
    bool garded = false;
    ErrlEntry* errl = GardRdndQel::GardGetQelState(unit, garded, assertPor, vpdFlag);
    EXPECT_EQ(gardhost::calls().at(0).args, vpdFlag ? "flag=1" : "flag=0");
    return keep(errl, garded);
}
uint32_t fo() {
    GardFoStatus status = GARD_FO_NOT_USABLE;
    EXPECT_EQ(gardCheckFailoverCapable(status), nullptr);
    return status;
}
uint32_t dma(unsigned size) {  // result code, and where the mark is; the rest is as read
    EXPECT_EQ(GardRdndQel::GardGetQelDmaConfig(g_ids, &g_buf, size, &g_vpd), nullptr);
    Bytes got(g_buf.bytes, g_buf.bytes + 64), both = kFresh;
    both.insert(both.end(), kFresh.begin(), kFresh.end());
    const auto mark = std::find(got.begin(), got.end(), 0x5A);
    if (mark != got.end()) *mark = 0x5C;
    if (g_vpd == GARD_VPD_OK) { EXPECT_EQ(got, both); }
    return g_vpd << 8 | static_cast<uint32_t>(mark - got.begin()) % 64;
}
uint32_t mailbox(unsigned unit, uint32_t type) {  // the failure word in 0x200's record
    EXPECT_EQ(GardRdndQel::GardMailboxSetState(unit, type), nullptr);
    const Bytes k = keyword(0x200);
    return uint32_t{k[4]} << 24 | uint32_t{k[5]} << 16 | uint32_t{k[6]} << 8 | k[7];
}

struct Scenario {
    const char* name;
    void (*prepare)();
    uint32_t (*ask)();
    uint32_t answer;
    const char* effects;
};
#define ROW(name, prepare, ask, answer, effects) \
    Scenario{name, [] { prepare; }, [] { return static_cast<uint32_t>(ask); }, answer, effects}
class Operations : public gardtest::StateTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Operations, AnswerAndEffects) {
    const Scenario& s = GetParam();
    g_returned.clear();
    s.prepare();
    EXPECT_EQ(s.ask(), s.answer);
    EXPECT_EQ(effects(), s.effects);
}

INSTANTIATE_TEST_SUITE_P(Rows, Operations, ::testing::Values(
    ROW("ReadErased", , read(64), 0, "5C 5C"),
    ROW("ReadEmpty", gardhost::setValue(kw(0x200), kNone), read(64), 1, "-- 5C"),
    ROW("ReadAbsent", gardhost::setU8("vpd/0x200/present", 0), read(64), 0, "FF 5C"),
    ROW("ReadRole2SkipsRepair", role(2), read(64), 0, "FF FF"),
    ROW("Read1Then15", (states(0, 0xFF), fail("SVPD_set_qel_gd_keyword@0x201")), read(64), 15, "-- FF E032/2"),
    ROW("Read15Then1", (states(0xFF, 0), fail("SVPD_set_qel_gd_keyword@0x200")), read(64), 1, "FF -- E032/2"),
    ROW("ReadSize63", , read(63), 31, "FF FF"),
    ROW("SetSp0", , set(0x200, 0x5D), 0, "5D 5C GardBackup CA01[D,200,5D,1]/4"),
    ROW("SetSp1", pos(1), set(0x201, 0xED), 0, "5C ED GardBackup CA02[D,201,ED,1]/4"),
    ROW("SetSiblingUnit", , set(0x201, 0x5D), 1, "FF FF -> CA11[1,201,5D,0]"),
    ROW("SetWrongPosition", pos(1), set(0x200, 0x5D), 1, "FF FF -> CA11[1,200,5D,0]"),
    ROW("SetPosition2", pos(2), set(0x200, 0x5D), 1, "FF FF -> CA11[1,200,5D,0]"),
    ROW("SetRole0", role(0), set(0x200, 0x5D), 1, "FF FF -> CA11[1,200,5D,0]"),
    ROW("SetRole2Clearing", role(2), set(0x200, 0xCC), 1, "FF FF -> CA11[1,200,CC,0]"),
    ROW("SetNotAServiceProcessor", , set(0x300, 0x5D), 1, "FF FF -> CA11[1,300,5D,0]"),
    // A state wider than the record's byte: its low byte is stored, decisions go by the whole value.
    ROW("SetWideState", , set(0x200, 0x15D), 0, "5D 5C"),
    ROW("SetWideStateSiblingUnit", , set(0x201, 0x15D), 1, "FF FF -> CA11[1,201,15D,0]"),
    ROW("SetWideStatePolicyForbids", gardhost::setU32("vorm/policy/11", 1), set(0x200, 0x15D), 1, "FF FF"),
    ROW("SetOwnAbsent", gardhost::setU8("vpd/0x200/present", 0), set(0x200, 0x5D), 1, "FF 5C -> CA11[4,200,5D,0]"),
    ROW("SetPolicyForbids", gardhost::setU32("vorm/policy/11", 1), set(0x200, 0x5D), 1, "FF FF"),
    ROW("SetClearingIgnoresPolicy", gardhost::setU32("vorm/policy/0", 1), set(0x200, 0xCC), 0, "CC 5C"),
    ROW("SetSiblingUnreadable", states(0x5C, 0), set(0x200, 0x5D), 2, "5C -- -> CA07[3,200,5D,1]"),
    ROW("SetWriteFails", (states(0x5C, 0x5C), fail("SVPD_set_qel_gd_keyword")), set(0x200, 0x5D), 0,
        "5C 5C GardBackup E032/2 CA01[D,200,5D,1]/4"),
    ROW("SetStateOneByte9", stateData(kNine), set(0x200, 0xCC), 1, "5C 5C CA15[15,CC,9,0]/4"),
    ROW("SetStateLong9", stateData(kLong9), set(0x200, 0xCC), 1, "5C 5C CA15[15,CC,9,0]/4"),
    ROW("SetStateThreeBytes", stateData(kShort), set(0x200, 0xCC), 0, "CC 5C"),
    ROW("DoGardSp1", states(0x5C, 0xED), GardRdndQel::GardQelDoGard(0x201), 1, "5C ED"),
    ROW("DoGardOtherIdReadsRecord0", states(0x5D, 0x5C), GardRdndQel::GardQelDoGard(0x300), 1, "5D 5C"),
    ROW("Usable", , gardIsQelUsable(0x200), 0, "5C 5C Dma"),
    ROW("UsableGarded", states(0xED, 0x5C), gardIsQelUsable(0x200), 2, "ED 5C"),
    ROW("UsableNoDmaPath", gardhost::setU8("vorm/functional/0x201", 0), gardIsQelUsable(0x201), 1, "5C 5C Dma"),
    ROW("UsableNoFunctionalValue", gardhost::eraseValue("vorm/functional/0x200"), gardIsQelUsable(0x200), 0, "5C 5C Dma"),
    ROW("UsableOtherSystemType", sysType(0x10020000), gardIsQelUsable(0x200), 0, "FF FF"),
    ROW("UsableNotAServiceProcessor", , gardIsQelUsable(0x300), 0, "5C 5C"),
    ROW("FailoverOwnGarded", states(0x5D, 0x5D), fo(), 0, "5D 5D"),
    ROW("FailoverSiblingGarded", states(0x5C, 0xED), fo(), 1, "5C ED Dma"),
    ROW("FailoverBothUsable", , fo(), 2, "5C 5C Dma Dma"),
    ROW("FailoverPosition1", (pos(1), states(0x5D, 0x5C)), fo(), 1, "5D 5C Dma"),
    ROW("FailoverPosition2", pos(2), fo(), 2, "FF FF"),
    ROW("FailoverOtherSystemType", sysType(0), fo(), 2, "FF FF"),
    ROW("GetOwnAssertsSiblingPor", states(0x5D, 0x5C), get(0x200, true, false), 1, "5D 5C AssertSiblingQELPOR"),
    ROW("GetOwnGardsBackup", states(0xED, 0x5C), get(0x200, false, true), 1, "ED 5C GardBackup"),
    ROW("GetSibling", (pos(1), states(0x5D, 0x5C)), get(0x200, true, true), 1, "5D 5C"),
    ROW("GetNotGarded", states(0xEC, 0x5D), get(0x200, true, false), 0, "EC 5D"),
    ROW("GetWrongMarker", gardhost::setValue(kw(0x200), kBadMarker), get(0x200, true, false), 0, "5D FF"),
    ROW("DmaRole1MarksSibling", , dma(64), 34, "5C 5C"),
    ROW("DmaRole1Position1", pos(1), dma(64), 2, "5C 5C"),
    ROW("DmaRole0SiblingState1", role(0), dma(64), 2, "FF FF"),
    ROW("DmaRole0SiblingState2", (role(0), reg("dscv/SiblingState", 2)), dma(64), 0, "FF FF"),
    ROW("DmaRole0SiblingState0", (role(0), reg("dscv/SiblingState", 0)), dma(64), 0, "FF FF"),
    ROW("DmaRole0SiblingUnreadable", (role(0), reg("dscv/SiblingState", -1)), dma(64), 0, "FF FF E010/2"),
    ROW("DmaRole3", role(3), dma(64), 0, "FF FF"),
    ROW("DmaPosition2", pos(2), dma(64), 0, "5C 5C"),
    ROW("DmaSize63", , dma(63), 0x1F00, "FF FF"),
    ROW("Mailbox1", , mailbox(0x200, 1), 0x010000B7, "5D 5C GardBackup CA01[D,200,5D,10000B7]/4"),
    ROW("Mailbox6", , mailbox(0x200, 6), 0x060000B7, "5D 5C GardBackup CA01[D,200,5D,60000B7]/4"),
    ROW("MailboxInvalidUnit", , mailbox(0x100, 1), ~0u, "FF FF CA11[4,100,1,0]/2"),
    ROW("MailboxSiblingRefused", , mailbox(0x201, 6), ~0u, "FF FF CA11[1,201,5D,0]/2")),
    [](const auto& info) { return std::string(info.param.name); });

// Failure types other than 1 and 6 only read (and repair) the records, and
// are told apart by their trace entries: 3 and 4 write one, 3 and 5
// another; the other types neither.
TEST_F(Records, MailboxTypesToldApartByTraces) {
    std::map<uint32_t, std::set<uint32_t>> extra;  // the ids beyond those of type 0
    for (uint32_t type : {0u, 2u, 3u, 4u, 5u, 7u}) {
        gardhost::clearTrace("gard");
        EXPECT_EQ(GardRdndQel::GardMailboxSetState(0x200, type), nullptr);
        EXPECT_EQ(keyword(0x200), kFresh) << type;
        for (const auto& e : gardhost::traceEntries("gard")) extra[type].insert(e.id);
    }
    EXPECT_TRUE(gardhost::committed().empty());
    EXPECT_EQ(gardhost::callCount("rmgrGardBackup"), 0u);
    for (auto& [type, ids] : extra)
        if (type != 0)
            for (uint32_t id : extra[0]) ids.erase(id);
    extra.erase(0);
    const auto& three = extra[3];
    ASSERT_EQ(three.size(), 2u);
    const std::set<uint32_t> a{*three.begin()}, b{*three.rbegin()};
    EXPECT_TRUE((extra[4] == a && extra[5] == b) || (extra[4] == b && extra[5] == a));
    EXPECT_EQ(std::make_pair(extra[2], extra[7]), std::make_pair(std::set<uint32_t>{}, std::set<uint32_t>{}));
}

}  // namespace
