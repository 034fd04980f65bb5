// Several processes on one state directory: two long-lived service
// processors (this binary again, with --serve) and the gard tool beside
// them. Each long-lived process answers queries one line at a time and
// holds the state lock around each, as a firmware process would.
// The suite runs with sync on, as in real use: its slower writes are what
// left the window in which two unlocked commands lost an update.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <vector>
#include <sstream>
#include <string>
#include <thread>

#include "gard/gard.h"
#include "platform/host/detail.h"
#include "platform/utilfile.h"
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
    if (what == "value") {  // through host.h alone, as a program that reads values does
        std::vector<uint8_t> bytes;
        return gardhost::getValue(text, bytes) ? std::string(bytes.begin(), bytes.end()) : "missing";
    }
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
    } else if (what == "unit") {
        bool garded = false;
        e = gardAcc::GardGetVpdUnitState(static_cast<uint16_t>(n), 1, &garded);
        value = garded ? 1 : 0;
    } else if (what == "all") {
        // All a service processor tells of the gard state.
        std::string all;
        for (const char* q : {"dogard 0x200", "dogard 0x201", "usable 0x200", "usable 0x201", "failover",
                              "unit 0x10", "reg dscv/QelRole", "reg dscv/SiblingState", "policy 11"})
            all += query(q) + " ";
        return all;
    } else {
        return "unknown";
    }
    const bool failed = e != nullptr;
    delete e;
    return failed ? "fail" : std::to_string(value);
}

// Reads value `name` until told to stop, and says at once when a read gives
// a smaller number than the one before; then reads once more and says what
// it read.
int watch(const char* name) {
    ::fcntl(0, F_SETFL, O_NONBLOCK);
    unsigned long last = 0, reads = 0;
    auto read = [&] {
        std::vector<uint8_t> bytes;
        gardhost::getValue(name, bytes);
        ++reads;
        return std::strtoul(std::string(bytes.begin(), bytes.end()).c_str(), nullptr, 10);
    };
    char c = 0;
    while (::read(0, &c, 1) != 1) {
        const unsigned long now = read();
        if (now < last) std::printf("back from %lu to %lu\n", last, now);
        last = now;
    }
    std::printf("%lu after %lu reads\n", read(), reads);
    return 0;
}

// Writes `count` numbers to value `name`, each one more than the last;
// with `temporary`, holds a temporary of that name (locked) while it writes,
// as a writer of an earlier version did.
int count(const char* name, int n, const char* temporary) {
    std::vector<uint8_t> bytes;
    gardhost::getValue(name, bytes);
    if (temporary != nullptr)
        ::flock(::open((gardhost::stateDir() + "/" + temporary).c_str(), O_RDWR | O_CREAT, 0600), LOCK_EX);
    unsigned long v = std::strtoul(std::string(bytes.begin(), bytes.end()).c_str(), nullptr, 10);
    for (int i = 0; i < n; ++i) {
        const std::string text = std::to_string(++v);
        gardhost::setValue(name, std::vector<uint8_t>(text.begin(), text.end()));
    }
    return 0;
}

// Writes each text in turn as the whole content of firmware file `path`.
// Writes each text in turn; "<count>*<c>" is that many bytes c.
int file(const char* path, char** texts, int n) {
    for (int i = 0; i < n; ++i) {
        std::string text = texts[i];
        if (const std::size_t star = text.find('*'); star != std::string::npos && star + 2 == text.size())
            text = std::string(std::strtoul(texts[i], nullptr, 10), text.back());
        UtilFile f(path);
        f.Open("w+");
        f.Write(text.data(), text.size());
        f.Close();
    }
    return 0;
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
    // `args` after the program's name; stderr to `err` when given.
    Sp(const std::string& dir, int sp, std::vector<std::string> args = {"--serve"}, const std::string& err = "") {
        int toChild[2], fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            ::setenv("GARD_STATE_DIR", dir.c_str(), 1);
            ::setenv("GARD_HOST_SP", std::to_string(sp).c_str(), 1);
            if (!err.empty()) ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 2);
            std::vector<char*> argv{const_cast<char*>("multiproc_test")};
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv("/proc/self/exe", argv.data());
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
        return answer();
    }
    // The next line the process writes.
    std::string answer() {
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
    // Runs the tool with `args` (no shell quoting needed), stderr to `err`,
    // with `env` ("NAME=value") set; -1 when it was killed.
    static int gard(const std::string& args, const std::string& err = "/dev/null", const std::string& env = "") {
        const int status = std::system((env + " " GARD_TOOL_PATH " " + args + " >/dev/null 2>" + err).c_str());
        return WIFEXITED(status) && WEXITSTATUS(status) < 128 ? WEXITSTATUS(status) : -1;
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

// Faults cleared by another process (the faults file removed) stop at the
// long-lived process's next call, as faults added start.
TEST_F(MultiProcess, ClearedFaultsStopAtTheNextCall) {
    Sp sp(dir_, 1);
    ASSERT_EQ(gard("platform fault add UtilReg::read@dscv/QelRole"), 0);
    EXPECT_EQ(sp.ask("reg dscv/QelRole"), "fail");
    gardhost::clearFaults();
    EXPECT_EQ(sp.ask("reg dscv/QelRole"), "0");
}

// A command that waits for the lock says so once, then runs. The lock is
// released when the notice has appeared, however slowly the command starts
// (a sanitized build takes seconds).
TEST_F(MultiProcess, WaitingCommandSaysSoOnce) {
    const std::string err = dir_ + "/stderr";
    // One line naming the lock and its holder, this process.
    const std::string notice = "gard: waiting for the lock of state directory " + dir_ + " (" + dir_ +
                               "/lock, to use it alone), held by pid " + std::to_string(getpid()) + " (";
    const auto said = [&] {
        std::ifstream in(err);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const auto once = [&] {
        const std::string s = said();
        return s.rfind(notice, 0) == 0 && s.find(")\n") == s.size() - 2;
    };
    gardhost::StateLock held(gardhost::StateLock::kExclusive);
    std::atomic<int> status{-2};
    std::thread command([&] { status = gard("units list", err); });
    for (const auto deadline = Clock::now() + std::chrono::seconds(120);
         !once() && status == -2 && Clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling the event, not timing it
    EXPECT_EQ(status, -2) << "ran beside an exclusive holder";
    held.release();
    command.join();
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(once()) << said();
}

// ---------------------------------------------------------------- writers that die

// Runs this binary again with `args`, stopped at crash point `point`.
void runStopped(const std::string& point, const std::string& args) {
    std::system(("GARD_HOST_CRASH_AT=" + point + " /proc/" + std::to_string(::getpid()) + "/exe " + args +
                 " >/dev/null 2>&1").c_str());
}

// Rounds of the tests below: GARD_ROUNDS, else a few for the suite.
int rounds(int otherwise) {
    const char* env = std::getenv("GARD_ROUNDS");
    return env != nullptr ? std::atoi(env) : otherwise;
}

// Changes the gard tool makes as a lab engineer would, beside two
// service processors.
const char* const kChanges[] = {
    "units set-state 0x10 1 garded",       "units clear --yes",
    "--sp 1 mailbox-failure 0x201 1",      "--sp 0 mailbox-failure 0x200 6",
    "--sp 0 sp set-state 0x200 cleared",   "--sp 1 sp set-state 0x201 cleared",
    "--sp 1 platform reg dscv/QelRole 1",  "--sp 1 platform reg dscv/QelRole 0",
    "platform reg dscv/SiblingState 2",    "platform reg dscv/SiblingState 1",
    "platform policy 11 1",                "platform policy 11 0",
    "platform keyword 0x201 erased",       "platform fault add UtilReg::read@dscv/SiblingState",
    "platform fault clear --yes",
};

// Where a writer is stopped: any crash point, or the moment between a
// file's rename into place and the announcement of the change.
struct Stop {
    const char* name;
    std::string (*point)(std::mt19937& random);
};

void PrintTo(const Stop& s, std::ostream* os) { *os << s.name; }

class StaleAfterKill : public MultiProcess, public ::testing::WithParamInterface<Stop> {};

// Two long-lived service processors, and a tool command stopped at a crash
// point in every round: at their next call both answer as a fresh process
// running as the same processor does.
TEST_P(StaleAfterKill, NoLiveProcessReadsOtherThanAFreshOne) {
    ASSERT_EQ(gard("units add 0x10 1 SN"), 0);
    Sp sp0(dir_, 0), sp1(dir_, 1);
    std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed());
    const int n = rounds(40);
    int stopped = 0, stale = 0;
    std::string first;
    for (int round = 0; round < n; ++round) {
        sp0.ask("all");  // both have everything cached
        sp1.ask("all");
        const std::string change = kChanges[random() % std::size(kChanges)];
        const std::string point = GetParam().point(random);
        const int status = gard("" + change + "", "/dev/null", "GARD_HOST_CRASH_AT=" + point);
        stopped += status == -1;
        // The live ones answer first: a fresh process may repair what the
        // stopped one left, and so hide a live one's stale cache.
        const std::string got[] = {sp0.ask("all"), sp1.ask("all")};
        for (int sp : {0, 1}) {
            Sp fresh(dir_, sp);
            const std::string want = fresh.ask("all");
            if (got[sp] != want && stale++ == 0)
                first = "round " + std::to_string(round) + " (" + change + ", stopped at " + point + "): sp" +
                        std::to_string(sp) + " answers " + got[sp] + ", a fresh process " + want;
        }
    }
    EXPECT_EQ(stale, 0) << first;
    std::printf("[ figures  ] %s: %d rounds, %d commands stopped, %d stale answers\n", GetParam().name, n, stopped,
                stale);
}

INSTANTIATE_TEST_SUITE_P(
    Points, StaleAfterKill,
    ::testing::Values(Stop{"AnyPoint", [](std::mt19937& r) { return std::to_string(1 + r() % 40); }},
                      Stop{"BetweenRenameAndAnnouncement",
                           [](std::mt19937& r) { return "renamed#" + std::to_string(1 + r() % 2); }}),
    [](const auto& row) { return std::string(row.param.name); });

// A process that keeps reading a value while other processes write it one
// number higher at a time and are stopped at random points: its reads never
// go back, and end on what is in the file.
TEST_F(MultiProcess, ReadsNeverGoBackAndEndOnTheFile) {
    Sp reader(dir_, 0, {"--watch", "probe"});
    std::mt19937 random(::testing::UnitTest::GetInstance()->random_seed());
    const int n = rounds(40);
    for (int round = 0; round < n; ++round) runStopped(std::to_string(1 + random() % 60), "--count probe 10");
    std::vector<uint8_t> onDisk;
    gardhost::reloadValues();
    gardhost::getValue("probe", onDisk);
    const std::string last = reader.ask("end");
    EXPECT_EQ(last.substr(0, last.find(' ')), std::string(onDisk.begin(), onDisk.end())) << last;
    EXPECT_EQ(last.find("back"), std::string::npos) << last;
}

// Commands that each commit one error log, every checkpoint's rotation of
// the committed logs stopped and the power cut there, cut after cut: every
// log stays, once and in order (the rotated part says how many went before
// it). A rotation before its checkpoint was durable dropped logs that the
// next recovery, going back to the checkpoint before, appended again.
TEST_F(MultiProcess, CutsAtLogRotationsKeepEachLogOnce) {
    const std::string sim = dir_ + ".power";
    // A few logs fill the committed file; the journal never rotates here.
    const std::string env = "GARD_HOST_NOSYNC=0 GARD_HOST_ERRL_MAX=1500 GARD_HOST_CRASH_AT=rotated#1";
    gardhost::startPowerSim(sim);
    int commands = 0, cuts = 0;
    for (; commands < 120 && cuts < 6; ++commands) {
        if (gard("--sp 0 sp set-state 0x200 garded", "/dev/null", env) != -1) continue;
        gardhost::cutPower(sim, static_cast<uint64_t>(++cuts));
    }
    ASSERT_EQ(cuts, 6) << "no log rotation in " << commands << " commands";
    ASSERT_EQ(gard("status"), 0);  // the last cut redone
    gardhost::stopPowerSim();
    std::filesystem::remove_all(sim);
    const std::vector<gardhost::Committed> kept = gardhost::committed();
    const uint64_t logs = kept.size(), dropped = kept.empty() ? 0 : kept.front().number - 1;
    uint64_t last = 0;
    std::string order;
    for (const gardhost::Committed& c : kept) {
        // Appended piece by piece: g++ 12 at -O3 reads the chained operator+
        // as an overlapping copy (-Wrestrict) and fails the Release build.
        if (c.seq <= last)
            order.append(" ").append(std::to_string(c.seq)).append(" after ").append(std::to_string(last)).append(";");
        last = c.seq;
    }
    EXPECT_EQ(dropped + logs, static_cast<uint64_t>(commands)) << dropped << " dropped, " << logs << " kept";
    EXPECT_EQ(order, "");
}

// A program that reads values through host.h alone (library calls look for
// dead writers first, this does not), beside a writer killed once its file
// is in place, before it announced the change: its next read gives the new
// content, and the temporary that writer held is gone, with no new process
// on the state directory to sweep it at its start.
TEST_F(MultiProcess, HostReaderAloneFollowsKilledWriter) {
    gardhost::setValue("probe", {'1'});
    Sp reader(dir_, 0);
    EXPECT_EQ(reader.ask("value probe"), "1");
    runStopped("renamed#1", "--count probe 1 .probe.Held01");
    ASSERT_TRUE(std::filesystem::exists(dir_ + "/.probe.Held01"));
    EXPECT_EQ(reader.ask("value probe"), "2");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/.probe.Held01"));
}

// Another process's write makes a reader read afresh the names it wrote,
// not the others. A file no process wrote, changed behind the platform's
// back, is still read as it was, until its name is reloaded, or a writer
// dies in its window (what a dead writer wrote is not known: every name is
// read afresh), or a process reloads every value.
TEST_F(MultiProcess, OthersWritesDropOnlyTheirNames) {
    const auto behindTheBack = [&](const char* text) { std::ofstream(dir_ + "/other", std::ios::trunc) << text; };
    gardhost::setValue("probe", {'1'});
    gardhost::setValue("other", {'a'});
    Sp reader(dir_, 0);
    EXPECT_EQ(reader.ask("value probe"), "1");
    EXPECT_EQ(reader.ask("value other"), "a");
    behindTheBack("b");
    gardhost::setValue("probe", {'2'});
    EXPECT_EQ(reader.ask("value probe"), "2");
    EXPECT_EQ(reader.ask("value other"), "a") << "read again though no process wrote it";
    gardhost::reloadValue("other");
    EXPECT_EQ(reader.ask("value other"), "b");
    behindTheBack("c");
    runStopped("renamed#1", "--count probe 1");
    EXPECT_EQ(reader.ask("value probe"), "3");
    EXPECT_EQ(reader.ask("value other"), "c") << "kept after a writer died";
    behindTheBack("d");
    gardhost::reloadValues();
    EXPECT_EQ(reader.ask("value other"), "d") << "kept after another process reloaded every value";
}

// Reads beside a writer that overwrites a file in place, content after
// content: every read, through a file kept open or one opened afresh, gives
// one whole content, never a mix of two.
TEST_F(MultiProcess, ReadsBesideOverwritesAreWhole) {
    constexpr std::size_t kSize = 16384;
    writeGardFile("probe", std::vector<uint8_t>(kSize, 'a'));
    // The writer starts once the reader is ready: on a loaded machine it
    // could otherwise be done before the first read.
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char start = 0;
        if (::read(go[0], &start, 1) != 1) std::_Exit(2);
        for (int i = 0; i < 300; ++i) {
            const std::string content(kSize, i % 2 != 0 ? 'a' : 'b');
            UtilFile f("/opt/p3/gard/probe");
            f.Open("r+");
            f.Write(content.data(), kSize);
            f.Close();
            if (f.iv_errl != nullptr) std::_Exit(1);
        }
        std::_Exit(0);
    }
    UtilFile kept("/opt/p3/gard/probe");
    kept.Open("r+");
    const auto whole = [](const std::string& s) { return s.find_first_not_of(s[0]) == std::string::npos; };
    int reads = 0, mixed = 0, status = 0;
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[0]);
    ::close(go[1]);
    do {
        std::string got(kSize, '\0');
        kept.Seek(0, UtilFile::SEEK_FROM_START);
        mixed += kept.Read(got.data(), kSize) == kSize && !whole(got);
        UtilFile fresh("/opt/p3/gard/probe");
        fresh.Open("r+");
        mixed += fresh.Read(got.data(), kSize) == kSize && !whole(got);
        fresh.Close();
        reads += 2;
    } while (::waitpid(child, &status, WNOHANG) == 0);
    kept.Close();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer failed";
    EXPECT_EQ(mixed, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 0);
}

// The descriptor this process has the journal open with, or -1.
int journalDescriptor(const std::string& dir) {
    const std::string want = std::filesystem::canonical(dir).string() + "/history";
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path(), ec).string() == want) return std::stoi(e.path().filename().string());
    }
    return -1;
}

// A child forked after its parent wrote opens the journal afresh: sharing
// the parent's open file description, it would share the parent's locks on
// it, so that neither excluded the other (a reader then took the live
// writer overwriting a file for a dead one: 30 of 60 runs of the test above
// under load, one of them with mixed reads).
TEST_F(MultiProcess, AForkedChildLocksTheJournalApart) {
    gardhost::setU8(gardhost::regName("dscv/SiblingState"), 1);
    const int mine = journalDescriptor(dir_);
    ASSERT_GE(mine, 0) << "the journal is not open after a write";
    int report[2], done[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        gardhost::setU8(gardhost::regName("dscv/SiblingState"), 2);
        const int fd = journalDescriptor(dir_);
        char wait = 0;
        if (::write(report[1], &fd, sizeof fd) != sizeof fd || ::read(done[0], &wait, 1) != 1) std::_Exit(1);
        std::_Exit(0);
    }
    int theirs = -1;
    ASSERT_EQ(::read(report[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
    // 0: the two descriptors are one open file description.
    const long same = theirs < 0 ? -1 : ::syscall(SYS_kcmp, ::getpid(), child, 0 /* KCMP_FILE */, mine, theirs);
    const int err = errno;
    ASSERT_EQ(::write(done[1], "x", 1), 1);
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_GE(theirs, 0) << "the child's journal is not open after its write";
    if (same < 0 && (err == EPERM || err == ENOSYS)) GTEST_SKIP() << "kcmp: " << std::strerror(err);
    EXPECT_NE(same, 0) << "the child appends through its parent's open journal";
}

// A gard file kept open while another process overwrites it in place and
// is killed half-way through its second content, after that content's
// journal record was made durable: reads through the open file and through
// one opened afresh give the killed writer's content whole, finished from
// its record, never the mix it left on disk.
TEST_F(MultiProcess, KeptFileReadsNoUnfinishedContent) {
    constexpr std::size_t kSize = 16384;
    writeGardFile("probe", std::vector<uint8_t>(kSize, 'a'));
    UtilFile kept("/opt/p3/gard/probe");
    kept.Open("r+");
    runStopped("overwriting#2", "--file /opt/p3/gard/probe 16384*b 16384*c");
    std::ifstream raw(gardhost::resolvePath("/opt/p3/gard/probe"), std::ios::binary);
    const std::string left(std::istreambuf_iterator<char>(raw), {});
    ASSERT_EQ(left.size(), kSize);
    ASSERT_EQ(left.front(), 'c') << "the writer was not stopped half-way";
    ASSERT_EQ(left.back(), 'b') << "the writer was not stopped half-way";
    // The platform's own read of a whole file, which looks for dead writers
    // only when it finds one overwriting: what a new writer stages from.
    std::vector<uint8_t> staged;
    ASSERT_EQ(gardhost::detail::readWhole("root/opt/p3/gard/probe", staged), 0);
    EXPECT_EQ(std::string(staged.begin(), staged.end()), std::string(kSize, 'c'));
    std::string got(kSize, '\0');
    EXPECT_EQ(kept.Read(got.data(), kSize), kSize);
    EXPECT_EQ(got, std::string(kSize, 'c'));
    kept.Close();
    UtilFile fresh("/opt/p3/gard/probe");
    fresh.Open("r+");
    got.assign(kSize, '\0');
    EXPECT_EQ(fresh.Read(got.data(), kSize), kSize);
    EXPECT_EQ(got, std::string(kSize, 'c'));
    fresh.Close();
}

// The counter file removed, cut short, replaced by a directory or filled
// with junk while two service processors run: neither crashes nor answers
// other than a fresh process after a change, and each says so once at most.
struct Damage {
    const char* name;
    const char* shell;  // run in the state directory
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class DamagedCounters : public MultiProcess, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedCounters, NeitherStaleNorCrashed) {
    const std::string err0 = dir_ + "/../" + std::to_string(::getpid()) + ".err0";
    const std::string err1 = err0.substr(0, err0.size() - 1) + "1";
    Sp sp0(dir_, 0, {"--serve"}, err0), sp1(dir_, 1, {"--serve"}, err1);
    for (const char* change : {"--sp 1 mailbox-failure 0x201 1", "platform reg dscv/SiblingState 2",
                               "--sp 1 platform reg dscv/QelRole 1", "--sp 1 mailbox-failure 0x201 1",
                               "--sp 1 sp set-state 0x201 cleared"}) {
        sp0.ask("all");
        sp1.ask("all");
        std::system(("cd " + dir_ + " && " + GetParam().shell).c_str());
        gard(change);
        for (int sp : {0, 1}) {
            Sp fresh(dir_, sp);
            EXPECT_EQ((sp == 0 ? sp0 : sp1).ask("all"), fresh.ask("all")) << "sp" << sp << " after " << change;
        }
    }
    for (const std::string& err : {err0, err1}) {
        std::ifstream in(err);
        std::string line;
        std::map<std::string, int> said;
        while (std::getline(in, line)) ++said[line];
        for (const auto& [text, times] : said) EXPECT_EQ(times, 1) << text;
        std::remove(err.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedCounters,
    ::testing::Values(Damage{"Removed", "rm -f generation"}, Damage{"CutShort", "truncate -s 8 generation"},
                      Damage{"Emptied", ": > generation"},
                      Damage{"Directory", "rm -rf generation && mkdir generation"},
                      Damage{"Junk", "head -c 4096 /dev/urandom > generation"}),
    [](const auto& row) { return std::string(row.param.name); });

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
    if (argc == 3 && std::strcmp(argv[1], "--watch") == 0) return watch(argv[2]);
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--count") == 0)
        return count(argv[2], std::atoi(argv[3]), argc == 5 ? argv[4] : nullptr);
    if (argc >= 3 && std::strcmp(argv[1], "--file") == 0) return file(argv[2], argv + 3, argc - 3);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
