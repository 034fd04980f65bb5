// DMA-path deconfiguration (SRC number, gard bit, copies per unit) and the
// clearing of gard data by domain.
#include <algorithm>
#include <cstdio>

#include "fixture.h"
#include "gard/gard.h"
#include "platform/hom.h"

namespace {

using gardtest::reasons;

ErrlEntry* makeEntry(uint16_t reason) {
    return new ErrlEntry(0xCA00, 0, 0, 0xD1, 0, 0x21, 0x4399, reason, 1, 2, 3, 4, 0x75, 0);
}

class Dma : public gardtest::StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        first_ = homGetUnitId(0x2E70, 4);
        second_ = homGetUnitId(0x2E90, 3);
        setPort(first_, 0x11);
        setPort(second_, 0x22);
        gardhost::clearCalls();
    }
    static void setPort(uint32_t unit, uint32_t port) {
        gardhost::setU32("vorm/port/" + gardhost::unitName(unit), port);
    }
    // The stored copy's primary reason and gard bit; reason 0 when none.
    static std::pair<uint16_t, bool> stored(uint32_t unit) {
        ErrlEntry* e = nullptr;
        ErrlEntry* failure = GardGetStoredErrl(unit, e);
        EXPECT_EQ(failure, nullptr);
        gardtest::drop(failure);
        std::pair<uint16_t, bool> out{0, false};
        if (e != nullptr) out = {e->src(0).reasonCode, e->src(0).gardBit};
        gardtest::drop(e);
        return out;
    }
    ErrlEntry* deconfig(ErrlEntry* errl) {
        GARD_RC rc = static_cast<GARD_RC>(77);
        ErrlEntry* result = GardDeconfigDmaPath(path_, 9, 0xBEEF, rc, errl);
        EXPECT_EQ(rc, 77u);
        return result;
    }
    homDMAPath path_{{0xF0, 0xF1, 0xF2, 3, 4, 0x5A5}};
    uint32_t first_ = 0, second_ = 0;
};

struct SrcCase {
    const char* name;
    friend void PrintTo(const SrcCase& c, std::ostream* os) { *os << c.name; }
    const char* text;
    uint32_t number;
};

class SrcNumber : public Dma, public ::testing::WithParamInterface<SrcCase> {};

TEST_P(SrcNumber, IsTheFirstFiveCharactersReadAsHex) {
    ErrlEntry* e = makeEntry(0xCA01);
    e->getSRC(0)->setAsciiString(GetParam().text);
    gardhost::setU32("vorm/deconfig_out", 1);
    EXPECT_EQ(deconfig(e), nullptr);
    const auto& log = gardhost::calls();
    auto call = std::find_if(log.begin(), log.end(),
                             [](const auto& c) { return c.name == "vormGardDeconfigDmaPath"; });
    ASSERT_NE(call, log.end());
    char want[64];
    std::snprintf(want, sizeof want, "path=0x5a5 errorType=0x9 src=0x%x flags=0x1000",
                  GetParam().number);
    EXPECT_EQ(call->args, want);
    gardtest::drop(e);
}

INSTANTIATE_TEST_SUITE_P(Texts, SrcNumber,
                         ::testing::Values(SrcCase{"Hex", "1A2B3C", 0x1A2B3},
                                           SrcCase{"StopsAtNonDigit", "12G45", 0x12},
                                           SrcCase{"Empty", "", 0},
                                           SrcCase{"Short", "b7", 0xB7},
                                           SrcCase{"LongerThanFive", "ABCDEF0123456789ABCDEF0123456789XYZ", 0xABCDE},
                                           SrcCase{"HexPrefix", "0x1F9A", 0x1F9},
                                           SrcCase{"SpaceAndSign", " -1A9F", 0xFFFFFE57},
                                           SrcCase{"NoDigit", "G1234", 0}),
                         [](const auto& row) { return std::string(row.param.name); });

struct DeconfigCase {
    const char* name;
    friend void PrintTo(const DeconfigCase& c, std::ostream* os) { *os << c.name; }
    uint32_t outWord;
    const char* fault;
    bool failed, gardBit;
    uint16_t firstReason, secondReason;  // stored copies, 0 = none
    std::size_t committed;
    uint16_t earlier = 0;  // a copy stored by an earlier deconfiguration
};

class Deconfig : public Dma, public ::testing::WithParamInterface<DeconfigCase> {};

TEST_P(Deconfig, GardsAndKeepsACopyPerUnit) {
    const DeconfigCase& c = GetParam();
    ErrlEntry* earlier = c.earlier ? makeEntry(c.earlier) : nullptr;
    if (earlier != nullptr) {
        EXPECT_EQ(deconfig(earlier), nullptr);
    }
    gardhost::setU32("vorm/deconfig_out", c.outWord);
    if (std::string(c.fault) == "port")
        gardhost::eraseValue("vorm/port/" + gardhost::unitName(first_));
    else if (*c.fault != 0) gardhost::failCall(c.fault);
    ErrlEntry* e = makeEntry(0xCA01);
    ErrlEntry* result = deconfig(e);
    EXPECT_EQ(result != nullptr, c.failed);
    EXPECT_EQ(e->src(0).gardBit, c.gardBit);
    EXPECT_EQ(gardtest::committedWith(0x2000).size(), c.committed);
    gardhost::clearFaults();
    // the copies carry the gard bit whenever the caller's entry got it
    EXPECT_EQ(stored(first_), std::make_pair(c.firstReason, c.gardBit && c.firstReason != 0));
    EXPECT_EQ(stored(second_), std::make_pair(c.secondReason, c.gardBit && c.secondReason != 0));
    gardtest::drop(result);
    gardtest::drop(e);
    gardtest::drop(earlier);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Deconfig,
    ::testing::Values(DeconfigCase{"OutWord0", 0, "", false, true, 0xCA01, 0xCA01, 0},
                      DeconfigCase{"OutWord1", 1, "", false, false, 0, 0, 0},
                      DeconfigCase{"CallFails", 0, "vormGardDeconfigDmaPath", true, false, 0, 0, 0},
                      DeconfigCase{"FirstPortFails", 0, "port", false, true, 0, 0xCA01, 1},
                      DeconfigCase{"FirstStoreFails", 0, "UtilFile::Read@gardErrl#1", false, true,
                                   0, 0xCA01, 1},
                      DeconfigCase{"NoPrimarySrc", 0, "ErrlEntry::getSRC", false, false, 0xCA01,
                                   0xCA01, 0},
                      DeconfigCase{"AlreadyStored", 0, "", false, true, 0xCA02, 0xCA02, 0, 0xCA02}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(Dma, DmaPathStateChangeDoesNothing) {
    gardSetStateReturn r = static_cast<gardSetStateReturn>(7);
    EXPECT_EQ(GardRdndQel::GardSetDmaPathState(0x200, 1, GARD_QEL_GARDED, 5, r), nullptr);
    EXPECT_EQ(r, 7u);
    EXPECT_TRUE(gardhost::calls().empty());
}

struct DomainCase {
    const char* name;
    friend void PrintTo(const DomainCase& c, std::ostream* os) { *os << c.name; }
    uint32_t domain;
    const char* value;  // registry key set to `set`, or a fault to inject
    uint32_t set;
    uint32_t rc;
    bool table, own;  // the unit table written, the own record cleared
};

class Domains : public gardtest::StateTest, public ::testing::WithParamInterface<DomainCase> {};

TEST_P(Domains, ClearWhatTheDomainSelects) {
    const DomainCase& c = GetParam();
    std::vector<uint8_t> record(32, 0xFF);
    record[0] = 0x0C, record[1] = 0x05, record[2] = 0x5C;
    gardhost::setValue("vpd/0x200/keyword", record);
    gardhost::setValue("vpd/0x201/keyword", record);
    std::string v = c.value;
    if (v.find("::") != std::string::npos) gardhost::failCall(v);
    else if (v == "smgr/StateData") gardhost::setU32(gardhost::regName(v), c.set);
    else if (!v.empty()) gardhost::setU8(gardhost::regName(v), static_cast<uint8_t>(c.set));

    GARD_RC rc = static_cast<GARD_RC>(77);
    EXPECT_EQ(GardClearSystemResources(rc, static_cast<GARD_Domain>(c.domain)), nullptr);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(gardFileExists("gardRask"), c.table);
    std::vector<uint8_t> own;
    ASSERT_TRUE(gardhost::getValue("vpd/0x200/keyword", own));
    if (c.own) {  // state cleared, failure and extra words 0
        record[2] = 0xCC;
        std::fill(&record[4], &record[12], 0);
    }
    EXPECT_EQ(own, record);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Domains,
    ::testing::Values(DomainCase{"Units", 171, "", 0, 0, true, false},
                      DomainCase{"OwnRecord", 167, "", 0, 0, false, true},
                      DomainCase{"Both", 175, "", 0, 0, true, true},
                      DomainCase{"Other", 100, "", 0, 0, false, false},
                      DomainCase{"BothTableFails", 175, "UtilFile::Open@gardRask", 0, 4, false, true},
                      DomainCase{"SiblingDown", 167, "dscv/SiblingState", 2, 0, false, false},
                      DomainCase{"OtherPosition", 167, "dscv/QelPosition", 2, 0, false, false},
                      DomainCase{"RoleRefused", 167, "dscv/QelRole", 2, 4, false, false},
                      DomainCase{"SystemStateRefused", 167, "smgr/StateData", 9, 4, false, false},
                      DomainCase{"PositionUnreadable", 167, "UtilReg::read@dscv/QelPosition#1", 0,
                                 4, false, false}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
