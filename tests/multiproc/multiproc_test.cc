// Several processes on one state directory: two long-lived service
// processors (this binary again, with --serve) and the gard tool beside
// them. Each long-lived process answers queries one line at a time and
// holds the state lock around each, as a firmware process would.
// The suite runs with sync on, as in real use: its slower writes are what
// left the window in which two unlocked commands lost an update.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "gard/gard.h"
#include "platform/utilreg.h"
#include "platform/vorm.h"
#include "support/fixture.h"

namespace {

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
        e = GardRdndQel::GardMailboxSetState(n, 1);
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
        ::setenv("GARD_STATE_DIR", dir_.c_str(), 1);  // for the tool
    }
    // Runs the tool with `args` (no shell quoting needed), stderr to `err`.
    static int gard(const std::string& args, const std::string& err = "/dev/null") {
        const int status = std::system((GARD_TOOL_PATH " " + args + " >/dev/null 2>" + err).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
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
    ASSERT_EQ(gard("--sp 1 platform reg dscv/QelRole 1"), 0);
    EXPECT_EQ(sp1.ask("mailbox 0x201"), "0") << "failure type 1";
    EXPECT_EQ(answers(sp0), "1 2 1") << "garded, garded (2), sibling down";
    EXPECT_EQ(sp1.ask("failover"), "0") << "sp1 itself is not usable";

    ASSERT_EQ(gard("--sp 1 sp set-state 0x201 cleared"), 0);
    EXPECT_EQ(answers(sp0), "0 0 2");
    EXPECT_EQ(answers(sp1), "0 0 2");
}

// A long-lived process that has read a value sees another process's change
// of it at its very next call.
struct Change {
    const char* name;
    int sp;
    const char* query;
    std::string tool;
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

INSTANTIATE_TEST_SUITE_P(
    Table, SeesChange,
    ::testing::Values(
        Change{"Keyword", 0, "dogard 0x201", "platform keyword 0x201 0c055d" + std::string(58, '0'), "0", "1"},
        Change{"Registry", 0, "reg dscv/SiblingState", "platform reg dscv/SiblingState 2", "1", "2"},
        Change{"Policy", 0, "policy 11", "platform policy 11 1", "0", "1"},
        Change{"Presence", 1, "present 0x200", "platform present 0x200 off", "1", "0"},
        Change{"Fault", 1, "reg dscv/QelRole", "platform fault add UtilReg::read@dscv/QelRole", "0", "fail"}),
    [](const auto& row) { return std::string(row.param.name); });

// A command that waits for the lock says so once, then runs. The lock is
// released when the notice has appeared, however slowly the command starts
// (a sanitized build takes seconds).
TEST_F(MultiProcess, WaitingCommandSaysSoOnce) {
    const std::string err = dir_ + "/stderr";
    const std::string notice = "gard: waiting for another command or program using " + dir_ + " to finish\n";
    const auto said = [&] {
        std::ifstream in(err);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    gardhost::StateLock held(gardhost::StateLock::kExclusive);
    std::atomic<int> status{-2};
    std::thread command([&] { status = gard("units list", err); });
    for (const auto deadline = Clock::now() + std::chrono::seconds(120);
         said() != notice && status == -2 && Clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling the event, not timing it
    EXPECT_EQ(status, -2) << "ran beside an exclusive holder";
    held.release();
    command.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(said(), notice);
}

// ---------------------------------------------------------------- parallel loops

// Two loops of 100 tool commands run at once; what each asked for must all
// be there afterwards, as if they had run one after the other.
struct Loops {
    const char* name;
    std::string (*command)(int loop, unsigned i);  // i from 1 to 100
    std::string (*found)();
    const char* want;
    bool tableOfTwo;  // the units both loops name are recorded first
};

void PrintTo(const Loops& l, std::ostream* os) { *os << l.name; }

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

class ParallelLoops : public MultiProcess, public ::testing::WithParamInterface<Loops> {};

TEST_P(ParallelLoops, KeepEveryChange) {
    const Loops& l = GetParam();
    for (uint16_t i = 1; l.tableOfTwo && i <= 200; ++i) {
        gardFruState fru{};
        ASSERT_EQ(gardAcc::GardUpdateVpdUnit(i, svpd_SerialNum{}, 1, &fru), nullptr);
    }
    const auto t0 = Clock::now();
    pid_t loops[2];
    for (int k = 0; k < 2; ++k)
        if ((loops[k] = ::fork()) == 0) {
            bool failed = false;
            for (unsigned i = 1; i <= 100; ++i) failed |= gard(l.command(k, i)) != 0;
            std::_Exit(failed ? 1 : 0);
        }
    for (pid_t pid : loops) {
        int status = -1;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0) << "a command of a loop failed";
    }
    const std::string found = l.found();
    EXPECT_EQ(found, l.want);
    std::printf("[ figures  ] %s, 2 loops of 100 commands: %s (want %s), %.1f s\n", l.name, found.c_str(),
                l.want, std::chrono::duration<double>(Clock::now() - t0).count());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParallelLoops,
    ::testing::Values(
        Loops{"UnitsAdd",
              [](int k, unsigned i) { return "units add " + std::to_string(k * 100 + i) + " 1 SN"; },
              [] { return units(); }, "200 units", false},
        // Every change reached the table, each with exactly one "state changed" log.
        Loops{"SetState",
              [](int k, unsigned i) { return "units set-state " + std::to_string(k * 100 + i) + " 1 garded"; },
              [] {
                  std::size_t logs = 0;
                  for (auto& c : gardtest::committedWith(0x4000))
                      logs += c.srcs[0].reasonCode == 0xCA01 && c.srcs[0].modId == 0x67;
                  return units(GARD_GARDED) + ", " + std::to_string(logs) + " logs";
              },
              "200 garded, 200 logs", true},
        Loops{"FaultsBesideReads",
              [](int k, unsigned i) {
                  const std::string add = "platform fault add homGetUnitId@" + std::to_string(1000 + i);
                  return k == 1 ? std::string("units list") : add;
              },
              [] {
                  std::vector<uint8_t> text;
                  gardhost::getValue("faults", text);
                  return std::to_string(std::count(text.begin(), text.end(), '\n')) + " faults";
              },
              "100 faults", false},
        Loops{"FaultsInParallel",
              [](int k, unsigned i) { return "platform fault add homGetUnitId@" + std::to_string(1000 + 100 * k + i); },
              [] {
                  std::vector<uint8_t> text;
                  gardhost::getValue("faults", text);
                  return std::to_string(std::count(text.begin(), text.end(), '\n')) + " faults";
              },
              "200 faults", false}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--serve") == 0) return serve();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
