// The tool's words for error logs and trace entries, checked against what the
// library's sources and the host platform can produce.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "cli.h"
#include "explain.h"
#include "files/gtrace.h"

namespace {

using gardcli::Json;

// Every source file of the library, by its path from the top of the tree.
std::map<std::string, std::string> librarySources() {
    std::map<std::string, std::string> files;
    const std::filesystem::path root = GARD_SOURCE_DIR;
    for (const auto& f : std::filesystem::recursive_directory_iterator(root / "src")) {
        std::string ext = f.path().extension().string();
        if (ext != ".cc" && ext != ".h") continue;
        std::ifstream in(f.path());
        std::ostringstream text;
        text << in.rdbuf();
        // Comments may show a call as an example; they are not calls.
        files[std::filesystem::relative(f.path(), root).string()] =
            std::regex_replace(text.str(), std::regex("//[^\n]*"), "");
    }
    return files;
}

// Values of the constants named `prefix...` in the sources; with `only16`,
// of the 16-bit ones only: reason codes are 16 bits, return codes 32.
std::set<unsigned> constants(const std::string& prefix, bool only16) {
    std::set<unsigned> out;
    const std::regex value("\\b" + prefix + "\\w*\\s*=\\s*(0x[0-9A-Fa-f]+|\\d+)");
    const std::regex wide16("enum\\s*:\\s*uint16_t\\s*\\{[^}]*\\}|uint16_t\\s+" + prefix + "\\w*\\s*=[^;]*");
    for (const auto& [file, text] : librarySources()) {
        std::vector<std::string> parts;
        if (!only16) parts.push_back(text);
        if (only16)
            for (std::sregex_iterator b(text.begin(), text.end(), wide16), end; b != end; ++b)
                parts.push_back(b->str());
        for (const std::string& part : parts)
            for (std::sregex_iterator v(part.begin(), part.end(), value), end; v != end; ++v)
                out.insert(static_cast<unsigned>(std::stoul((*v)[1].str(), nullptr, 0)));
    }
    return out;
}

TEST(ExplainSources, EveryReasonCodeTheLibraryMakesHasWords) {
    std::set<unsigned> reasons = constants("kRc", true);
    ASSERT_GE(reasons.size(), 8u) << "the reason codes were not found in src/";
    for (unsigned r : reasons)
        EXPECT_TRUE(gardcli::reasonHasWords(0xCA00, static_cast<uint16_t>(r))) << "reason " << std::hex << r;
}

TEST(ExplainSources, EveryModuleIdTheLibraryUsesNamesAnOperation) {
    std::set<unsigned> modules = constants("kMod", false);
    ASSERT_GE(modules.size(), 8u) << "the module ids were not found in src/";
    for (unsigned m : modules)
        EXPECT_TRUE(gardcli::moduleHasWords(static_cast<uint8_t>(m))) << "module " << std::hex << m;
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
    {"ClearByPortWrite", 0xFA, {{0xE000, 4, 0xE004, kGard, kErrl, 0, 0}, {0xCA00, 0xD0, 0xCA08, 19, 0, 0, 0}},
     "gard file gardErrl: write failed (injected fault), operation stored error log clear by port", true},
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

// ---- trace messages

TEST(TraceStrings, EveryTraceCallOfTheLibraryIsInTheTable) {
    std::ifstream in(GARD_TRACE_STRINGS);
    ASSERT_TRUE(in) << GARD_TRACE_STRINGS;
    std::multiset<std::string> rows;  // "id file message"
    std::map<std::string, std::size_t> perFile;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream row(line);
        for (std::string field; std::getline(row, field, '\t');) f.push_back(field);
        ASSERT_EQ(f.size(), 6u) << line;
        rows.insert(f[0] + " " + f[1] + " " + f[5]);
        ++perFile[f[1]];
    }
    const std::regex call("\\bGARD_TRACE\\s*\\(\\s*\"((?:[^\"\\\\]|\\\\.)*)\"");
    const std::regex any("\\bGARD_TRACE\\s*\\("), define("#\\s*define\\s+GARD_TRACE\\s*\\(");
    auto count = [](const std::string& text, const std::regex& re) {
        return static_cast<std::size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), {}));
    };
    std::size_t total = 0;
    for (const auto& [file, text] : librarySources()) {
        const std::size_t uses = count(text, any) - count(text, define);
        for (std::sregex_iterator m(text.begin(), text.end(), call), end; m != end; ++m) {
            char id[16];
            std::snprintf(id, sizeof id, "%08x", gard::traceId((*m)[1].str().c_str()));
            EXPECT_EQ(rows.count(std::string(id) + " " + file + " " + (*m)[1].str()), 1u)
                << file << ": \"" << (*m)[1] << "\"";
        }
        EXPECT_EQ(perFile[file], uses) << file;
        total += uses;
    }
    EXPECT_GE(total, 50u) << "the trace calls were not found in src/";
}

}  // namespace
