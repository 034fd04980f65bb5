// Several processes on one state directory: two long-lived service
// processors (this binary again, with --serve) and the gard tool beside
// them. Each long-lived process answers queries one line at a time and
// holds the state lock around each, as a firmware process would.
//
// GARD_LOOP_COUNT sets the commands per loop of the parallel cases (100).
// They run with sync on, as in real use: its slower writes are what left
// the window in which two unlocked commands lost an update.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gard/gard.h"
#include "platform/utilreg.h"
#include "platform/vorm.h"
#include "support/fixture.h"

extern char** environ;

#ifndef GARD_TOOL_PATH
#define GARD_TOOL_PATH ""  // built without the tool: its cases are skipped
#endif

namespace {

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- the long-lived process

std::string query(const std::string& line) {
    std::istringstream in(line);
    std::string what, text;
    in >> what >> text;
    const auto n = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 0));
    if (what == "dogard") return std::to_string(GardRdndQel::GardQelDoGard(n));
    if (what == "usable") return std::to_string(gardIsQelUsable(n));
    if (what == "present") return std::to_string(isQelPresent(n) ? 1 : 0);
    ErrlEntry* e = nullptr;
    uint32_t value = 0;
    if (what == "failover") {
        GardFoStatus fo = GARD_FO_CAPABLE;
        e = gardCheckFailoverCapable(fo);
        value = fo;
    } else if (what == "mailbox") {
        unsigned type = 0;
        in >> type;
        e = GardRdndQel::GardMailboxSetState(n, type);
    } else if (what == "reg") {
        std::size_t size = 1;
        e = UtilReg::read(text.c_str(), &value, size, true, nullptr);
    } else if (what == "policy") {
        uint32_t size = 0;
        e = vormGardGetPolicy(n, &value, &size, 0);
    } else {
        return "unknown";
    }
    const bool failed = e != nullptr;
    delete e;
    return failed ? "fail" : std::to_string(value);
}

int serve() {
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::string answer;
        {
            gardhost::StateLock lock(gardhost::StateLock::kExclusive);
            answer = lock.held() ? query(line) : "no lock";
        }
        std::printf("%s\n", answer.c_str());
        std::fflush(stdout);
    }
    return 0;
}

// A long-lived process running as service processor `sp`.
class Sp {
public:
    Sp(const std::string& dir, int sp) {
        int toChild[2], fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            ::setenv("GARD_STATE_DIR", dir.c_str(), 1);
            ::setenv("GARD_HOST_SP", std::to_string(sp).c_str(), 1);
            ::execl("/proc/self/exe", "multiproc_test", "--serve", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        to_ = ::fdopen(toChild[1], "w");
        from_ = ::fdopen(fromChild[0], "r");
    }
    ~Sp() {
        if (to_ != nullptr) std::fclose(to_);  // end of input: the process ends
        if (from_ != nullptr) std::fclose(from_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    std::string ask(const std::string& request) {
        std::fprintf(to_, "%s\n", request.c_str());
        std::fflush(to_);
        char line[256] = "";
        if (std::fgets(line, sizeof line, from_) == nullptr) return "gone";
        line[std::strcspn(line, "\n")] = '\0';
        return line;
    }

private:
    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

// ---------------------------------------------------------------- the tool

class MultiProcess : public gardtest::StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        if (::access(GARD_TOOL_PATH, X_OK) != 0) GTEST_SKIP() << "no gard tool at " GARD_TOOL_PATH;
        ::setenv("GARD_STATE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("GARD_STATE_DIR");
        StateTest::TearDown();
    }
    // Starts the tool with `args`, its output to `out` (a file, or /dev/null).
    static pid_t start(const Args& args, const char* out = "/dev/null") {
        std::vector<char*> argv{const_cast<char*>("gard")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t io;
        posix_spawn_file_actions_init(&io);
        posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&io, 2, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        if (posix_spawn(&pid, GARD_TOOL_PATH, &io, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&io);
        return pid;
    }
    static int finish(pid_t pid) {
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static int gard(const Args& args) { return finish(start(args)); }
};

// ---------------------------------------------------------------- two service processors

// sp1 gards itself through a mailbox failure; sp0's very next calls see it.
// The lab tool then clears it, and both see that too.
TEST_F(MultiProcess, TwoServiceProcessorsSeeEachOthersGard) {
    Sp sp0(dir_, 0), sp1(dir_, 1);
    const auto answers = [&](Sp& sp) {
        return sp.ask("dogard 0x201") + " " + sp.ask("usable 0x201") + " " + sp.ask("failover");
    };
    EXPECT_EQ(answers(sp0), "0 0 2") << "do-gard, usable, failover before";
    // Seeded, sp1 is in role 0, which may not write its record: it takes role 1.
    ASSERT_EQ(gard({"--sp", "1", "platform", "reg", "dscv/QelRole", "1"}), 0);
    EXPECT_EQ(sp1.ask("mailbox 0x201 1"), "0");
    EXPECT_EQ(answers(sp0), "1 2 1") << "garded, garded (2), sibling down";
    EXPECT_EQ(sp1.ask("failover"), "0") << "sp1 itself is not usable";

    ASSERT_EQ(gard({"--sp", "1", "sp", "set-state", "0x201", "cleared"}), 0);
    EXPECT_EQ(answers(sp0), "0 0 2");
    EXPECT_EQ(answers(sp1), "0 0 2");
}

// A long-lived process that has read a value sees another process's change
// of it at its very next call.
struct Change {
    const char* name;
    int sp;
    const char* query;
    Args tool;
    const char* before;
    const char* after;
};

void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

class SeesChange : public MultiProcess, public ::testing::WithParamInterface<Change> {};

TEST_P(SeesChange, AtItsNextCall) {
    const Change& c = GetParam();
    Sp sp(dir_, c.sp);
    EXPECT_EQ(sp.ask(c.query), c.before);
    ASSERT_EQ(gard(c.tool), 0);
    EXPECT_EQ(sp.ask(c.query), c.after);
}

const std::string kGardedRecord = "0c055d" + std::string(58, '0');

INSTANTIATE_TEST_SUITE_P(
    Table, SeesChange,
    ::testing::Values(
        Change{"Keyword", 0, "dogard 0x201", {"platform", "keyword", "0x201", kGardedRecord}, "0", "1"},
        Change{"Registry", 0, "reg dscv/SiblingState", {"platform", "reg", "dscv/SiblingState", "2"}, "1", "2"},
        Change{"Policy", 0, "policy 11", {"platform", "policy", "11", "1"}, "0", "1"},
        Change{"Presence", 1, "present 0x200", {"platform", "present", "0x200", "off"}, "1", "0"},
        Change{"Fault", 1, "reg dscv/QelRole", {"platform", "fault", "add", "UtilReg::read@dscv/QelRole"}, "0",
               "fail"}),
    [](const auto& row) { return std::string(row.param.name); });

// A command that waits for the lock says so once, then runs.
TEST_F(MultiProcess, WaitingCommandSaysSoOnce) {
    const std::string err = dir_ + "/stderr";
    gardhost::StateLock held(gardhost::StateLock::kExclusive);
    ASSERT_TRUE(held.held());
    const pid_t pid = start({"units", "list"}, err.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "ran beside an exclusive holder";
    held.release();
    EXPECT_EQ(finish(pid), 0);
    std::ifstream in(err);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "gard: waiting for another command or program using " + dir_ + " to finish\n");
}

// ---------------------------------------------------------------- parallel loops

// Two loops of tool commands run at once; what each asked for must all be
// there afterwards, as if they had run one after the other.
struct Loops {
    const char* name;
    std::function<Args(unsigned)> first, second;  // command i (from 1) of each loop
    // What the state must show after n commands per loop, and what it shows.
    std::function<std::string(unsigned)> want;
    std::function<std::string()> found;
    bool tableOfTwo = false;  // the table holds the units both loops name first
};

unsigned loopCount() {
    const char* n = std::getenv("GARD_LOOP_COUNT");
    return n != nullptr && std::atoi(n) > 0 ? static_cast<unsigned>(std::atoi(n)) : 100;
}

std::vector<gardhost::Committed> stateChangedLogs() {
    std::vector<gardhost::Committed> out;
    for (auto& c : gardtest::committedWith(0x4000))
        if (!c.srcs.empty() && c.srcs[0].reasonCode == 0xCA01 && c.srcs[0].modId == 0x67) out.push_back(c);
    return out;
}

// Units in the table, or only those in state `state`.
std::string units(int state = -1) {
    vpdRecordMenu menu{};
    ErrlEntry* e = gardAcc::GardGetVpdConfigData(0, &menu);
    gardtest::drop(e);
    unsigned n = 0;
    for (unsigned i = 0; i < GARD_MAX_VPD_UNITS; ++i)
        n += menu.unitId[i] != 0 && (state < 0 || menu.state[i] == static_cast<unsigned>(state));
    return std::to_string(n) + (state < 0 ? " units" : " garded");
}

Args unitArgs(const char* verb, unsigned id, const std::string& last) {
    return {"units", verb, std::to_string(id), "1", last};
}

void PrintTo(const Loops& l, std::ostream* os) { *os << l.name; }

class ParallelLoops : public MultiProcess, public ::testing::WithParamInterface<Loops> {};

TEST_P(ParallelLoops, KeepEveryChange) {
    const Loops& l = GetParam();
    const unsigned n = loopCount();
    ASSERT_LE(2 * n, static_cast<unsigned>(GARD_MAX_VPD_UNITS));
    for (unsigned i = 1; l.tableOfTwo && i <= 2 * n; ++i) {
        gardFruState fru{};
        ErrlEntry* e = gardAcc::GardUpdateVpdUnit(static_cast<uint16_t>(i), svpd_SerialNum{}, 1, &fru);
        ASSERT_EQ(e, nullptr);
    }
    gardhost::clearCommitted();
    const auto t0 = Clock::now();
    pid_t loops[2];
    for (int k = 0; k < 2; ++k) {
        loops[k] = ::fork();
        if (loops[k] == 0) {
            unsigned failed = 0;
            for (unsigned i = 1; i <= n; ++i) failed += gard(k == 0 ? l.first(i) : l.second(i)) != 0;
            std::_Exit(failed > 0 ? 1 : 0);
        }
    }
    EXPECT_EQ(finish(loops[0]), 0) << "a command of the first loop failed";
    EXPECT_EQ(finish(loops[1]), 0) << "a command of the second loop failed";
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const std::string found = l.found();
    EXPECT_EQ(found, l.want(n));
    std::printf("[ figures  ] %s, 2 loops of %u commands: %s (want %s), %.1f s\n", l.name, n, found.c_str(),
                l.want(n).c_str(), seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParallelLoops,
    ::testing::Values(
        Loops{"UnitsAdd", [](unsigned i) { return unitArgs("add", i, "S" + std::to_string(i)); },
              [](unsigned i) { return unitArgs("add", loopCount() + i, "T" + std::to_string(i)); },
              [](unsigned n) { return std::to_string(2 * n) + " units"; }, [] { return units(); }},
        // Every change reached the table, each with exactly one "state changed" log.
        Loops{"SetState", [](unsigned i) { return unitArgs("set-state", i, "garded"); },
              [](unsigned i) { return unitArgs("set-state", loopCount() + i, "garded"); },
              [](unsigned n) { return std::to_string(2 * n) + " garded, " + std::to_string(2 * n) + " logs"; },
              [] { return units(GARD_GARDED) + ", " + std::to_string(stateChangedLogs().size()) + " logs"; },
              true},
        Loops{"FaultsBesideReads",
              [](unsigned i) {
                  char fault[48];
                  std::snprintf(fault, sizeof fault, "homGetUnitId@0x%x", 0x1000 + i);
                  return Args{"platform", "fault", "add", fault};
              },
              [](unsigned) { return Args{"units", "list"}; },
              [](unsigned n) { return std::to_string(n) + " faults"; },
              [] {
                  std::vector<uint8_t> text;
                  gardhost::getValue("faults", text);
                  return std::to_string(std::count(text.begin(), text.end(), '\n')) + " faults";
              }}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--serve") == 0) return serve();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
