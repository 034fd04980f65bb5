// Registry, VPD, trace, the other services, fault injection and the call log.
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/host/host.h"
#include "platform/mnfg.h"
#include "platform/svpd.h"
#include "platform/trace.h"
#include "platform/utilreg.h"
#include "support/fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ServicesTest : public gardtest::StateTest {
protected:
    // Reads "dscv/QelRole" and tells whether the read failed.
    static bool roleReadFails() {
        unsigned char role = 7;
        std::size_t size = 1;
        ErrlEntry* e = UtilReg::read("dscv/QelRole", &role, size, true, nullptr);
        bool failed = e != nullptr;
        gardtest::drop(e);
        return failed;
    }
};

TEST_F(ServicesTest, RegistryMissingKeyFailsAndViewFollowsPosition) {
    gardhost::eraseValue(gardhost::regName("dscv/QelRole"));
    EXPECT_TRUE(roleReadFails());
    gardhost::setPosition(1);
    unsigned char role = 7;
    std::size_t size = 1;
    EXPECT_EQ(UtilReg::read("dscv/QelRole", &role, size, true, nullptr), nullptr);
    EXPECT_EQ(role, 0);  // sp1's seeded role
    gardhost::seedDefaults();
    gardhost::setPosition(0);
    EXPECT_TRUE(roleReadFails()) << "seeding again brought a deleted value back";
}

TEST_F(ServicesTest, RegistryPathJoinsRootAndName) {
    const char* const roots[] = {"fstp/P3_Root"};
    char* path = nullptr;
    std::size_t length = 0;
    ASSERT_EQ(UtilReg::path(roots, 1, "gard/gardRask", path, length), nullptr);
    EXPECT_STREQ(path, "/opt/p3/gard/gardRask");
    EXPECT_EQ(length, std::strlen(path));
    std::free(path);
    gardhost::setValue(gardhost::regName("fstp/P3_Root"), Bytes{'/', 'x', '/'});
    ASSERT_EQ(UtilReg::path(roots, 1, "gard/gardRask", path, length), nullptr);
    EXPECT_STREQ(path, "/x/gard/gardRask") << "the changed root";
    std::free(path);
}

// Faults against a sequence of four reads of "dscv/QelRole".
struct FaultCase {
    const char* name;
    const char* fault;
    std::vector<bool> fails;
};

class FaultSources : public ServicesTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    void check() {
        gardhost::clearCalls();
        std::vector<bool> seen;
        for (std::size_t i = 0; i < GetParam().fails.size(); ++i) seen.push_back(roleReadFails());
        EXPECT_EQ(seen, GetParam().fails);
        ASSERT_EQ(gardhost::calls().size(), seen.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(gardhost::calls()[i].name, "UtilReg::read");
            EXPECT_EQ(gardhost::calls()[i].target, "dscv/QelRole");
            EXPECT_EQ(gardhost::calls()[i].failed, seen[i]);
        }
    }
};

// The same fault given through failCall, the environment, the faults file.
TEST_P(FaultSources, FailCallEnvironmentAndFile) {
    gardhost::failCall(GetParam().fault);
    check();
    gardhost::clearFaults();
    setenv("GARD_HOST_FAULTS", (std::string("vormGetVPDPort,") + GetParam().fault).c_str(), 1);
    gardhost::reloadFaults();
    check();
    unsetenv("GARD_HOST_FAULTS");
    gardhost::clearFaults();
    const std::string text = std::string("# comment\n\n") + GetParam().fault + "\n";
    gardhost::setValue("faults", Bytes(text.begin(), text.end()));
    check();
}

INSTANTIATE_TEST_SUITE_P(
    Table, FaultSources,
    ::testing::Values(FaultCase{"Always", "UtilReg::read", {true, true, true}},
                      FaultCase{"Nth", "UtilReg::read#2", {false, true, false, false}},
                      FaultCase{"NthZeroIsRejected", "UtilReg::read#0", {false, false}},
                      FaultCase{"Target", "UtilReg::read@dscv/QelRole", {true, true}},
                      FaultCase{"TargetNth", "UtilReg::read@dscv/QelRole#3", {false, false, true}},
                      FaultCase{"OtherTarget", "UtilReg::read@dscv/QelPosition", {false, false}},
                      FaultCase{"OtherCall", "UtilReg::path", {false}}),
    [](const auto& row) { return std::string(row.param.name); });

// Files written behind the platform's back (no process's platform wrote
// them) are seen after the matching reload.
TEST_F(ServicesTest, ChangesBehindThePlatformSeenAfterReload) {
    EXPECT_FALSE(roleReadFails());  // the value and the faults file, cached
    std::ofstream(dir_ + "/" + gardhost::regName("dscv/QelRole"), std::ios::trunc) << "\x07";
    std::ofstream(dir_ + "/faults", std::ios::trunc) << "mnfgIsPolicyFlagSet\n";
    gardhost::reloadFaults();
    bool set = false;
    EXPECT_EQ(mnfgIsPolicyFlagSet(2, set), 1) << "the fault from the file";
    gardhost::reloadValues();
    unsigned char role = 0;
    std::size_t size = 1;
    ASSERT_EQ(UtilReg::read("dscv/QelRole", &role, size, true, nullptr), nullptr);
    EXPECT_EQ(role, 7);
}

TEST_F(ServicesTest, CallLogFileWhenAsked) {
    setenv("GARD_HOST_CALLLOG", "1", 1);
    gardhost::failCall("UtilReg::read#2");
    roleReadFails();
    roleReadFails();
    unsetenv("GARD_HOST_CALLLOG");
    Bytes log;
    ASSERT_TRUE(gardhost::getValue("calls.log", log));
    EXPECT_EQ(std::string(log.begin(), log.end()),
              "UtilReg::read target=dscv/QelRole args=size=1 flag=1\n"
              "UtilReg::read target=dscv/QelRole args=size=1 flag=1 FAILED\n");
}

// Keywords of up to 64 bytes are written and read back; longer ones fail.
TEST_F(ServicesTest, KeywordOf64BytesAtMost) {
    const Bytes full(64, 0xA5);
    ErrlEntry* e = SVPD_set_qel_gd_keyword(0x200, 64, full.data());
    EXPECT_EQ(e, nullptr);
    gardtest::drop(e);
    unsigned int length = 0;
    unsigned char* block = nullptr;
    e = SVPD_get_qel_gd_keyword(0x200, &length, &block, false);
    EXPECT_EQ(e, nullptr);
    ASSERT_EQ(length, 64u);
    EXPECT_EQ(Bytes(block, block + length), full);
    ::operator delete(block);
    const Bytes over(65, 0);
    e = SVPD_set_qel_gd_keyword(0x200, 65, over.data());
    EXPECT_NE(e, nullptr);
    gardtest::drop(e);
}

TEST_F(ServicesTest, KeywordReadFailureSetsNothing) {
    for (const char* why : {"missing", "too long", "fault"}) {
        gardhost::clearFaults();
        gardhost::setValue("vpd/0x200/keyword", Bytes(32, 0xFF));
        if (std::strcmp(why, "missing") == 0) gardhost::eraseValue("vpd/0x200/keyword");
        if (std::strcmp(why, "too long") == 0) gardhost::setValue("vpd/0x200/keyword", Bytes(65, 0));
        if (std::strcmp(why, "fault") == 0) gardhost::failCall("SVPD_get_qel_gd_keyword@0x200");
        unsigned int length = 7;
        unsigned char* block = nullptr;
        ErrlEntry* e = SVPD_get_qel_gd_keyword(0x200, &length, &block, false);
        EXPECT_NE(e, nullptr) << why;
        EXPECT_EQ(length, 7u) << why;
        EXPECT_EQ(block, nullptr) << why;
        gardtest::drop(e);
    }
}

TEST_F(ServicesTest, PolicyFlagFaultLeavesBoolUntouched) {
    bool set = true;
    EXPECT_EQ(mnfgIsPolicyFlagSet(2, set), 0);
    EXPECT_FALSE(set);
    gardhost::setU8("mnfg/flag/2", 1);
    EXPECT_EQ(mnfgIsPolicyFlagSet(2, set), 0);
    EXPECT_TRUE(set);
    gardhost::failCall("mnfgIsPolicyFlagSet@2");
    set = false;
    EXPECT_NE(mnfgIsPolicyFlagSet(2, set), 0);
    EXPECT_FALSE(set);
}

TEST_F(ServicesTest, TraceRingDropsOldestWithinItsSize) {
    trace_desc_t td = 0;
    ASSERT_EQ(trace_ulka_init_buffer(&td, "ring", 100), 0);
    trace_desc_t again = 0;
    trace_ulka_init_buffer(&again, "ring", 100);
    EXPECT_EQ(again, td);
    gardhost::clearTrace("ring");
    // 16 + 4 per value: three entries of two values (24 bytes each) and one of
    // none fit in 100; the fifth pushes out the first.
    for (uint32_t i = 0; i < 4; ++i) trace_ulka_write_all(td, 0xAB, " %x,%d", 10 + i, 0, i, -1);
    trace_ulka_write_all(td, 0xCD, " ", 99, 0);
    auto entries = gardhost::traceEntries("ring");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries.front().line, 11u);
    EXPECT_EQ(entries.front().values, (std::vector<uint32_t>{1, 0xFFFFFFFF}));
    EXPECT_EQ(gardhost::formatTrace(entries.front()), "line 11 id 0x000000ab : 0x1,-1");
    gardhost::saveTrace("ring");
    gardhost::saveTrace("ring");  // nothing new: nothing appended
    auto saved = gardhost::loadTrace("ring");
    ASSERT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved.back().format, " ");
    EXPECT_EQ(gardhost::formatTrace(saved[1]), gardhost::formatTrace(entries[1]));
    // One of five values (36 bytes) pushes out one entry: 24 + 24 + 16 + 36 fill 100 exactly.
    trace_ulka_write_all(td, 0xEF, " %x,%x,%x,%x,%x", 98, 0, 1, 2, 3, 4, 5);
    EXPECT_EQ(gardhost::traceEntries("ring").front().line, 12u);
}

}  // namespace
