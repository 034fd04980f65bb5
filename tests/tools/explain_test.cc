// The tool's words for error logs, checked against the golden tables and
// what the host platform can produce.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>

#include "cli.h"
#include "explain.h"
#include "golden.h"

namespace {

using gardcli::Json;

// Every reason code, module id and log of the golden tables has words.
TEST(ExplainGolden, EveryReasonModuleAndLogHasWords) {
    for (uint16_t r : golden::kReasons) EXPECT_TRUE(gardcli::reasonHasWords(golden::kComp, r)) << std::hex << r;
    for (uint8_t m : golden::kModules) EXPECT_TRUE(gardcli::moduleHasWords(m)) << std::hex << +m;
    for (const golden::Site& s : golden::kSites) {
        Json e = {{"rc", s.rc},
                  {"srcs", {{{"compId", golden::kComp}, {"modId", s.mod}, {"reasonCode", s.reason},
                             {"userData", {s.ud1, 0x200, 0x5D, 1}}}}}};
        bool known = false;
        const std::string text = gardcli::explainErrl(e, &known);
        EXPECT_TRUE(known) << std::hex << +s.mod << " " << s.reason << ": " << text;
    }
}

// A failed write of each operation's gard file names the operation (the
// stored error-log operations share a module id: their progress codes tell).
TEST(ExplainGolden, EveryFileWriteNamesItsOperation) {
    const std::map<std::string, std::string> words = {
        {"GardUpdateVpdUnit", "unit add"},       {"GardSetVpdUnitState", "unit set-state"},
        {"GardClearVpdData", "unit table clear"}, {"GardResetVpdData", "unit table reset"},
        {"gardStoreErrl", "stored error log store"}, {"gardClearStoredErrl", "stored error log clear by unit"},
        {"gardClearStoredErrlByPort", "stored error log clear by port"}};
    for (const golden::FileSteps& s : golden::kFileSteps) {
        if (s.write == 0) continue;
        Json e = {{"rc", 0xFA},
                  {"srcs", {{{"compId", 0xE000}, {"modId", 4}, {"reasonCode", 0xE004}, {"userData", {0, 0, 0, 0}}},
                            {{"compId", golden::kComp}, {"modId", s.mod}, {"reasonCode", golden::kRcWrite},
                             {"userData", {s.write, 0, 0, 0}}}}}};
        EXPECT_EQ(gardcli::explainErrl(e), "gard file: write failed, file write failed (injected fault), operation " +
                                               words.at(s.op));
    }
}

TEST(ExplainSources, EveryPlatformFailureHasWords) {
    for (const std::string& call : gardhost::failableCalls()) {
        std::unique_ptr<ErrlEntry> e(gardhost::platformFailure(call));
        bool known = false;
        std::string text = gardcli::explainErrl(gardcli::errlJson(e.get()), &known);
        EXPECT_TRUE(known && text.rfind("platform call", 0) != 0) << call << ": " << text;
    }
}

// ---- whole lines, one row per kind of log

struct Src {
    uint16_t comp;
    uint16_t mod, reason;
    uint32_t ud1, ud2, ud3, ud4;
};
struct Line {
    const char* name;
    uint32_t rc;
    std::vector<Src> srcs;
    const char* text;
    bool known;
};

constexpr uint32_t kGard = 0x67617264, kRask = 0x5261736B, kErrl = 0x4572726C;  // "gard" "Rask" "Errl"

const Line kLines[] = {
    {"TableFull", 0, {{0xCA00, 0x67, 0x0001, 0x2C, 0x2E71, 0, 0}}, "unit table update refused: table full, unit 0x2e71", true},
    {"PolicyRefusal", 1, {{0xCA00, 0x67, 0x0001, 0x2C, 0x10, 0, 0}},
     "unit state change refused: manufacturing policy flag 2 is set, unit 0x10", true},
    {"ShortFile", ENODATA, {{0xE000, 3, 0xE003, kGard, kRask, 0, ENODATA}, {0xCA00, 0x67, 0xCA07, 3, 0, 0, 0}},
     "gard file gardRask: read failed (short file), operation unit set-state", true},
    {"NewFileNotWritten", 0xFA,
     {{0xE000, 4, 0xE004, kGard, kErrl, 0, 0}, {0xCA00, 0xD0, 0xCA08, 17, 0, 0, 0}, {0xCA00, 0xD0, 0xCA06, 0, 0, 0, 0}},
     "gard file gardErrl: creating it failed (injected fault), operation stored error log clear", true},
    {"PathLookUp", ENOENT, {{0xE000, 0x11, 0xE011, 0x66737470, 0x2F50335F, 0x526F6F74, ENOENT}, {0xCA00, 0x6A, 0xCA06, 0, 0, 0, 0}},
     "gard file: open failed, registry path look-up of fstp/P3_Root failed (missing), operation unit is-garded", true},
    {"RegistryRead", 0xFA, {{0xE000, 0x10, 0xE010, 0x64736376, 0x2F51656C, 0x526F6C65, 0}},
     "registry read failed for dscv/QelRole (injected fault)", true},
    {"KeywordWrite", EIO, {{0xE000, 0x32, 0xE032, 0x200, 0, 0, EIO}}, "VPD gard keyword write failed for 0x200 (I/O error)", true},
    // Any errno the host reports is said in words, not only those it gives a meaning of its own.
    {"KeywordDenied", EACCES, {{0xE000, 0x31, 0xE031, 0x201, 0, 0, EACCES}},
     "VPD gard keyword read failed for 0x201 (permission denied)", true},
    {"ValueReadOnly", EROFS, {{0xE000, 0x10, 0xE010, 0x64736376, 0x2F51656C, 0x526F6C65, EROFS}},
     "registry read failed for dscv/QelRole (read-only file system)", true},
    {"SpRefused", 0, {{0xCA00, 0x21, 0xCA12, 2, 0x200, 0xEC, 0}},
     "service-processor state change refused: not-garded-2 (0xec) is not allowed over a garded record or at "
     "system state 9, unit 0x200", true},
    {"RecordsUnread", 0, {{0xCA00, 0x21, 0xCA07, 3, 0x200, 0x5D, 1}},
     "service-processor state change stopped: the gard records could not be read cleanly (unreadable (1)), unit 0x200", true},
    {"SpGarded", 0, {{0xCA00, 0x21, 0xCA01, 0xD, 0x200, 0x5D, 0x010000B7}},
     "service processor 0x200 garded, state garded (0x5d), failure word 0x010000b7", true},
    {"SpClearRefused", 0, {{0xCA00, 0x21, 0xCA15, 0x15, 0xCC, 9, 0}},
     "service-processor clear refused: system state 9 forbids clearing (asked for cleared (0xcc))", true},
    {"MailboxBadUnit", 0, {{0xCA00, 0x22, 0xCA11, 4, 0x100, 1, 0}},
     "mailbox failure ignored: unit 0x100 is not a service processor (0x200 or 0x201), failure type 1", true},
    {"UnknownReason", 0, {{0xCA00, 0x67, 0xCA99, 1, 2, 3, 4}},
     "unit set-state: component 0xca00 module 0x67 reason 0xca99, user data 0x1 0x2 0x3 0x4", false},
    {"UnknownModule", 0, {{0xCA00, 0x42, 0xCA01, 1, 2, 3, 4}},
     "component 0xca00 module 0x42 reason 0xca01, user data 0x1 0x2 0x3 0x4", false},
};

class ExplainLine : public testing::TestWithParam<Line> {};

TEST_P(ExplainLine, SaysWhatHappened) {
    const Line& l = GetParam();
    Json e = {{"rc", l.rc}, {"srcs", Json::array()}};
    for (const Src& s : l.srcs)
        e["srcs"].push_back({{"compId", s.comp}, {"modId", s.mod}, {"reasonCode", s.reason},
                             {"userData", {s.ud1, s.ud2, s.ud3, s.ud4}}});
    bool known = !l.known;
    EXPECT_EQ(gardcli::explainErrl(e, &known), l.text);
    EXPECT_EQ(known, l.known);
}

INSTANTIATE_TEST_SUITE_P(Logs, ExplainLine, testing::ValuesIn(kLines),
                         [](const testing::TestParamInfo<Line>& i) { return i.param.name; });

}  // namespace
