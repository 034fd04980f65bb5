// The unit gard table in gard file 3, checked through the file's bytes.
#include <cstring>
#include <memory>

#include "fixture.h"
#include "gard/gard.h"
#include "golden.h"

namespace {
using Bytes = std::vector<uint8_t>;
using U32s = std::vector<uint32_t>;
using gardtest::drop;
using gardtest::reasons;

// The layout is golden's: one big-endian column per field, the SRC text
// transposed (character j of entry i at 6504 + 250 * j + i).
using Row = golden::Entry;
using golden::putBe;
Bytes table(const std::vector<Row>& rows) { return golden::unitTable(rows); }
svpd_SerialNum serial(char c) {
    svpd_SerialNum s;
    std::memset(s.bytes, c, sizeof s.bytes);
    return s;
}
// An error log of another component whose primary SRC reads `text`.
std::unique_ptr<ErrlEntry> withText(const std::string& text) {
    std::unique_ptr<ErrlEntry> e(
        new ErrlEntry(0xAB00, 0, 0, 0xD1, 0, 0x10, 0, 0xAB01, 0, 0, 0, 0, 0, 0));
    e->getSRC(0)->setAsciiString(text);
    return e;
}
U32s ud(const SrciSrc& s) { return U32s(s.ud, s.ud + 4); }

class UnitTable : public gardtest::StateTest {
protected:
    Bytes rask() const { return gardFile("gardRask"); }
    void seed(const Bytes& b) const { writeGardFile("gardRask", b); }
    static void ok(ErrlEntry* e) {
        EXPECT_EQ(reasons(e), std::vector<uint16_t>{});
        drop(e);
    }
    // A log the table makes itself at `site`, with user data 2 and 3.
    static void made(ErrlEntry* e, const golden::Site& site, uint32_t ud2, uint32_t ud3 = 0) {
        ASSERT_EQ(reasons(e), std::vector<uint16_t>{site.reason});
        const SrciSrc& s = e->src(0);
        EXPECT_EQ(std::make_tuple(s.modId, e->getRC(), e->eventType(), e->severity(), s.srciType, ud(s)),
                  std::make_tuple(site.mod, site.rc, site.eventType, golden::kSeverity, golden::kSrciNew,
                                  U32s{site.ud1, ud2, ud3, 0}));
        drop(e);
    }
    ErrlEntry* update(uint16_t unit, uint32_t group, char sn) {
        return gardAcc::GardUpdateVpdUnit(unit, serial(sn), group, &fru_);
    }
    static ErrlEntry* set(uint16_t unit, uint32_t group, uint32_t to, ErrlEntry* cause = nullptr) {
        return gardAcc::GardSetVpdUnitState(unit, group, static_cast<GARD_State>(to), 4, cause);
    }
    gardFruState fru_ = static_cast<gardFruState>(77);
};

TEST_F(UnitTable, LifeOfAnEntry) {
    ok(update(0x10, 7, 'A'));  // new file: the first free entry is 0
    ok(update(0x20, 7, 'B'));
    EXPECT_EQ(fru_, GARD_FRU_SET_UP);
    ok(set(0x20, 7, 0xED, withText("B1234567 TEXT OF THE PRIMARY SRC, CUT AT 32").get()));
    const std::string text = "B1234567 TEXT OF THE PRIMARY SRC";
    EXPECT_EQ(rask(), table({{0x10, 7, 0x5C, 0, 'A', ""}, {0x20, 7, 0xED, 4, 'B', text}}));

    const Bytes before = rask();
    gardhost::clearCalls();
    ok(update(0x20, 7, 'B'));  // same serial number: unchanged, still written
    EXPECT_EQ(fru_, GARD_FRU_UNCHANGED);
    EXPECT_EQ(gardhost::callCount("UtilFile::Write"), 1u);
    EXPECT_EQ(rask(), before);

    ok(update(0x20, 7, 'C'));  // another part: set up again in place, SRC text kept
    ok(update(0x20, 8, 'C'));  // another group: a second entry
    EXPECT_EQ(fru_, GARD_FRU_SET_UP);
    EXPECT_EQ(rask(), table({{0x10, 7, 0x5C, 0, 'A', ""}, {0x20, 7, 0x5C, 0, 'C', text},
                             {0x20, 8, 0x5C, 0, 'C', ""}}));
}

TEST_F(UnitTable, FullTableRefusesA251stPair) {
    std::vector<Row> rows;
    for (uint16_t u = 1; u <= 249; ++u) rows.push_back({u, 1, 0x5C, 0, 'S', ""});
    seed(table(rows));
    ok(update(250, 1, 'S'));  // the last free entry is taken
    rows.push_back({250, 1, 0x5C, 0, 'S', ""});
    EXPECT_EQ(rask(), table(rows));
    made(update(0x300, 1, 'S'), golden::kUnitTableFull, 0x300);
    EXPECT_EQ(fru_, GARD_FRU_SET_UP) << "not written by the refused update";
    EXPECT_EQ(rask(), table(rows));
    ok(set(250, 1, 0x5D));  // the last entry is garded and found so
    bool garded = false;
    ok(gardAcc::GardGetVpdUnitState(250, 1, &garded));
    EXPECT_TRUE(garded);
}

struct StateCase {
    const char* name;
    uint32_t from, to;
    bool updated;
};
class StateRules : public UnitTable, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateRules, GardedAndUnknownStatesStick) {
    const StateCase& c = GetParam();
    seed(table({{0x10, 7, c.from, 3, 'A', "OLD"}}));
    ok(set(0x10, 7, c.to));  // without an error log the text stays
    const Row kept{0x10, 7, c.from, 3, 'A', "OLD"}, changed{0x10, 7, c.to, 4, 'A', "OLD"};
    EXPECT_EQ(rask(), table({c.updated ? changed : kept}));
    using Names = std::vector<std::string>;
    Names order;  // the informational log goes out before the write
    for (const auto& call : gardhost::calls())
        if (call.name == "ErrlEntry::commit" || call.name == "UtilFile::Write")
            order.push_back(call.name);
    EXPECT_EQ(order, c.updated ? Names({"ErrlEntry::commit", "UtilFile::Write"}) : Names());
    const auto info = gardtest::committedWith(0x4000);
    ASSERT_EQ(info.size(), c.updated ? 1u : 0u);
    for (const auto& log : info) {
        const SrciSrc& src = log.srcs[0];
        EXPECT_EQ(std::make_tuple(log.eventType, src.modId, src.reasonCode, ud(src)),
                  std::make_tuple(uint8_t{1}, uint8_t{0x67}, uint16_t{0xCA01},
                                  U32s{0x0E, 0x10, 7, c.to}));
    }
}
INSTANTIATE_TEST_SUITE_P(, StateRules,
    ::testing::Values(StateCase{"None", 0x00, 0x5D, true}, StateCase{"New", 0x5C, 0xED, true},
                      StateCase{"Cleared", 0xCC, 0xEC, true},
                      StateCase{"NotGarded", 0xEC, 0x5D, true},
                      StateCase{"GardedToOddValue", 0xED, 0x12345, true},
                      StateCase{"GardedSticks", 0x5D, 0xCC, false},
                      StateCase{"OddValueSkipped", 0x77, 0x5C, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UnitTable, StateUpdateRefusals) {
    seed(table({{0x10, 7, 0x5C, 0, 'A', ""}}));
    const Bytes before = rask();
    for (auto [unit, group] : {std::pair<uint16_t, uint32_t>{0x11, 7}, {0x10, 8}})
        made(set(unit, group, 0x5D), golden::kUnitNotFound, unit);
    gardhost::clearCalls();
    gardhost::setU8("mnfg/flag/2", 1);
    made(set(0x10, 7, 0x5D), golden::kUnitPolicyRefused, 0x10);
    gardhost::eraseValue("mnfg/flag/2");
    gardhost::failCall("mnfgIsPolicyFlagSet");  // a flag left alone refuses too
    made(set(0x10, 7, 0x5D), golden::kUnitPolicyRefused, 0x10);
    EXPECT_EQ(gardhost::callCount("UtilFile::Open"), 0u);
    EXPECT_EQ(rask(), before);
}

TEST_F(UnitTable, SrcTextShortOrMissing) {
    const std::string old(32, 'X');
    seed(table({{0x10, 7, 0x5C, 0, 'A', old}}));
    ok(set(0x10, 7, 0x5C, std::unique_ptr<ErrlEntry>(new ErrlEntry()).get()));  // no SRC at all
    EXPECT_EQ(rask(), table({{0x10, 7, 0x5C, 4, 'A', old}}));
    ok(set(0x10, 7, 0x5C, withText("ABC").get()));
    EXPECT_EQ(rask(), table({{0x10, 7, 0x5C, 4, 'A', "ABC"}}));
}

TEST_F(UnitTable, QueriesSeeUsedEntriesOnly) {
    Bytes b = table({{1, 7, 0x5D, 1, 'A', ""}, {0, 9, 0xED, 9, 'Z', ""}, {2, 7, 0xED, 2, 'B', ""},
                     {3, 7, 0x5C, 3, 'C', ""}, {4, 7, 0xCC, 0, 'D', ""}, {5, 7, 0xEC, 0, 'E', ""},
                     {6, 7, 0x77, 0, 'F', ""}, {6, 7, 0x5D, 0, 'F', ""}});
    putBe(&b[0], 0xDEADBEEF, 4);  // the magic word is not tested
    seed(b);
    for (uint16_t unit = 0; unit <= 6; ++unit) {
        bool garded = true, other = true;
        ok(gardAcc::GardGetVpdUnitState(unit, 7, &garded));
        ok(gardAcc::GardGetVpdUnitState(unit, 8, &other));
        const bool want = unit == 1 || unit == 2 || unit == 6;  // 6: past its odd-state entry
        EXPECT_EQ(std::make_pair(garded, other), std::make_pair(want, false)) << unit;
    }
    bool freeGarded = false;  // unit id 0 is matched like any other: the free entry of group 9
    ok(gardAcc::GardGetVpdUnitState(0, 9, &freeGarded));
    EXPECT_TRUE(freeGarded);
    vpdRecordMenu m;
    ok(gardAcc::GardGetVpdConfigData(0, &m));
    EXPECT_EQ(U32s(m.groupId, m.groupId + 9), (U32s{7, 7, 7, 7, 7, 7, 7, 0, 0}));
    EXPECT_EQ(std::vector<uint16_t>(m.unitId, m.unitId + 8),
              (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 6, 0}));
    EXPECT_EQ(U32s(m.state, m.state + 8), (U32s{0x5D, 0xED, 0x5C, 0xCC, 0xEC, 0x77, 0x5D, 0xCC}));
    EXPECT_EQ(U32s(m.errorType, m.errorType + 8), (U32s{1, 2, 3, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::make_tuple(m.groupId[249], m.unitId[249], m.state[249], m.errorType[249]),
              std::make_tuple(0u, uint16_t{0}, GARD_CLEARED, 0u));
}

// Unit id 0 goes through the same scan as any unit id; its entry stays free.
TEST_F(UnitTable, UnitIdZero) {
    seed(table({{0x10, 7, 0x5C, 0, 'A', ""}}));
    ok(update(0, 7, 'B'));  // no pair (0, 7): set up in the first free entry
    EXPECT_EQ(fru_, GARD_FRU_SET_UP);
    ok(update(0, 7, 'B'));  // now found there, same serial number
    EXPECT_EQ(fru_, GARD_FRU_UNCHANGED);
    ok(set(0, 7, 0x5D));
    EXPECT_EQ(rask(), table({{0x10, 7, 0x5C, 0, 'A', ""}, {0, 7, 0x5D, 4, 'B', ""}}));
    bool garded = false;
    ok(gardAcc::GardGetVpdUnitState(0, 7, &garded));
    EXPECT_TRUE(garded);
    vpdRecordMenu m;
    ok(gardAcc::GardGetVpdConfigData(0, &m));
    EXPECT_EQ(std::make_pair(m.unitId[1], m.state[1]), std::make_pair(uint16_t{0}, GARD_CLEARED));
    ok(update(0x11, 7, 'C'));  // the entry counts as free and goes to the next unit
    EXPECT_EQ(rask(), table({{0x10, 7, 0x5C, 0, 'A', ""}, {0x11, 7, 0x5C, 0, 'C', ""}}));
}

}  // namespace
