// DMA-path deconfiguration (the SRC number; an out-word of 1 gards nothing;
// the copies per unit and every failure are the sweep's) and the clearing of
// gard data by domain.
#include <algorithm>
#include <cstdio>

#include "fixture.h"
#include "gard/gard.h"
#include "platform/hom.h"

namespace {

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
    // Whether a copy is stored for the unit.
    static bool stored(uint32_t unit) {
        ErrlEntry* e = nullptr;
        EXPECT_EQ(GardGetStoredErrl(unit, e), nullptr);
        const bool found = e != nullptr;
        gardtest::drop(e);
        return found;
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

// With the out-word left at 1, nothing more: no gard bit, no copy stored.
TEST_P(SrcNumber, IsTheFirstFiveCharactersReadAsHex) {
    ErrlEntry* e = makeEntry(0xCA01);
    e->getSRC(0)->setAsciiString(GetParam().text);
    gardhost::setU32("vorm/deconfig_out", 1);
    EXPECT_EQ(deconfig(e), nullptr);
    EXPECT_FALSE(e->src(0).gardBit);
    EXPECT_FALSE(stored(first_) || stored(second_));
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
                      DomainCase{"SiblingDown", 167, "dscv/SiblingState", 2, 0, false, false},
                      DomainCase{"OtherPosition", 167, "dscv/QelPosition", 2, 0, false, false},
                      DomainCase{"RoleRefused", 167, "dscv/QelRole", 2, 4, false, false},
                      DomainCase{"SystemStateRefused", 167, "smgr/StateData", 9, 4, false, false}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
