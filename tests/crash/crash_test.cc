// Crash test: a driver process runs changes of every kind in a loop, each
// one call (a StateLock hold, acknowledged when the lock is released), and
// stops at a random crash point (GARD_HOST_CRASH_AT), as a kill -9 would
// stop it; with --power the power is then cut as well (cutPower), and all
// that was not synced may be lost or spoilt; sometimes another process
// finishes the stopped writer's record before the cut, and sometimes the
// process that redoes the journal after the cut is stopped too, and the
// power cut again.
// The changes form one deterministic sequence, which this process replays
// in a state directory of its own, kept equal to what the driver left.
// After each stop, once the next process has looked at the state directory:
// - every file holds its content before the change under way or after it,
//   never anything else, and every change the driver finished is there;
// - the committed error logs are those of the finished changes, then those
//   of the change under way or none; kept to a small bound, they rotate
//   often, and the logs dropped are counted exactly;
// - the journal equals the files: each name's last content in it is the
//   file's, and as many changes happened as the replay made;
// - the next driver runs on what was left, and no temporary file remains.
//
// Usage: gard-crash [--rounds N] [--power] [--seed N] [--dir D] [--max-seconds S]
//        gard-crash drive STATE_DIR LOG FIRST COUNT     (the driver)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/host/host.h"
#include "platform/utilfile.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- the changes

constexpr unsigned kUnits = 50;
constexpr int kKinds = 9;

// Change j of the sequence, on the current state directory. Each changes at
// most one of the files compared, once: the unit table (update, state,
// clear or reset), the stored error-log file (a whole image through the
// file operations, or the store of a deconfigured path's log), the own
// service-processor record, a registry value, the faults file; and the
// committed error logs (the state change and the service-processor change
// commit one each, and one kind commits a log of its own).
ErrlEntry* change(uint64_t j) {
    const auto unit = static_cast<uint16_t>(0x100 + j / kKinds % kUnits);
    switch (j % kKinds) {
        case 0: {
            svpd_SerialNum sn{};
            std::snprintf(reinterpret_cast<char*>(sn.bytes), sizeof sn.bytes, "%011llu",
                          static_cast<unsigned long long>(j));
            gardFruState fru{};
            return gardAcc::GardUpdateVpdUnit(unit, sn, 1, &fru);
        }
        case 1:
            return gardAcc::GardSetVpdUnitState(unit, 1,
                                                (j & 16) != 0 ? GARD_GARDED_2 : GARD_NOT_GARDED_2,
                                                static_cast<GARD_ErrorType>(j), nullptr);
        case 2: return j / kKinds % 5 == 4 ? gardAcc::GardResetVpdData() : gardAcc::GardClearVpdData();
        case 3: {
            // Every slot free, a marker in the unused tail.
            static unsigned char image[51200];
            std::memset(image, 0, sizeof image);
            std::memcpy(image + 41120, &j, sizeof j);
            UtilFile* file = nullptr;
            ErrlEntry* e = GardSysFileOpen(file, 0xD0, 1, 4);
            if (e == nullptr) e = GardSysFileWrite(file, 0, image, sizeof image, 0xD0, 2, 0, 0, 0);
            ErrlEntry* closed = GardSysFileClose(file, 0xD0, 3);
            if (e == nullptr) return closed;
            delete closed;
            return e;
        }
        case 4: {
            ErrlEntry cause(0xAB00, 0, 0, 0xD1, 0, 0x10, 0x4399, 0xAB01, static_cast<uint32_t>(j), 0, 0, 0, 0x75, 0);
            homDMAPath path{};
            path.word[3] = path.word[4] = static_cast<uint32_t>(j / kKinds % 10);
            path.word[5] = 0x99;
            GARD_RC rc{};
            return GardDeconfigDmaPath(path, 1, 0, rc, &cause);
        }
        case 5: {
            gardSetStateReturn word{};
            ErrlEntry* e = GardRdndQel::GardSetQelState(0x200, (j & 16) != 0 ? GARD_QEL_GARDED : GARD_QEL_NEW,
                                                        static_cast<unsigned>(j), word, true, 0);
            if (e == nullptr && word != GARD_SET_DONE) e = new ErrlEntry();
            return e;
        }
        case 6: gardhost::setU8(gardhost::regName("dscv/SiblingState", 1), static_cast<uint8_t>(j % 3)); return nullptr;
        case 7:
            // A fault no call of these changes meets.
            if ((j & 16) != 0)
                gardhost::setValue("faults", Bytes{'h', 'o', 'm', 'G', 'e', 't', 'U', 'n', 'i', 't', 'I', 'd',
                                                   '@', '0', 'x', '9', '9', '9', '9', '\n'});
            else
                gardhost::eraseValue("faults");
            return nullptr;
        default: {
            ErrlEntry own(0xAB00, 0, 1, 0xD1, 0, 0x11, 0x4399, 0xAB02, static_cast<uint32_t>(j), 0, 0, 0, 0x75, 0);
            own.commit(0xAB00, 0x2000);
            return nullptr;
        }
    }
}

// A state directory the changes can run in: defaults, the gard files made,
// VPD ports (only a path's first unit has one, so a store is one write) and
// both records as a first read would repair them, so that no change makes
// two writes of a file.
void prepare(const std::string& dir) {
    gardhost::setStateDir(dir);
    gardhost::setPosition(0);
    gardhost::seedDefaults();
    bool garded = false;
    delete gardAcc::GardGetVpdUnitState(1, 1, &garded);
    ErrlEntry* stored = nullptr;
    delete GardGetStoredErrl(1, stored);
    for (uint32_t i = 0; i < 10; ++i) gardhost::setU32("vorm/port/" + gardhost::unitName(0x2E70 + i), 0x40 + i);
    for (uint32_t unit : {0x200u, 0x201u}) {
        Bytes record(32, 0xFF);
        record[0] = 0x0C;
        record[1] = 0x05;
        record[2] = 0x5C;
        gardhost::setValue("vpd/" + gardhost::unitName(unit) + "/keyword", record);
    }
}

void logLine(int fd, const char* what, uint64_t j) {
    char line[48];
    int n = std::snprintf(line, sizeof line, "%s %llu\n", what, static_cast<unsigned long long>(j));
    if (::write(fd, line, static_cast<std::size_t>(n)) != n) std::_Exit(3);
}

// The driver: changes first .. first + count - 1, each logged when it starts
// and when it is done, as a caller acknowledges it.
int drive(const std::string& dir, const std::string& logPath, uint64_t first, uint64_t count) {
    gardhost::setStateDir(dir);
    gardhost::setPosition(0);
    int log = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log < 0) return 2;
    for (uint64_t j = first; j < first + count; ++j) {
        logLine(log, "start", j);
        gardhost::StateLock lock(gardhost::StateLock::kExclusive);
        if (!lock.held()) return 2;
        ErrlEntry* e = change(j);
        if (e != nullptr || lock.commit() != 0) {
            logLine(log, "fail", j);
            delete e;
            return 1;
        }
        lock.release();
        logLine(log, "done", j);
    }
    return 0;
}

// ---------------------------------------------------------------- checking

const std::vector<std::string> kCompared = {"root/opt/p3/gard/gardRask", "root/opt/p3/gard/gardErrl",
                                            "vpd/0x200/keyword", "sp1/reg/dscv/SiblingState", "faults"};
using Snapshot = std::map<std::string, std::optional<Bytes>>;

std::optional<Bytes> fileOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Snapshot snapshot(const std::string& dir) {
    Snapshot s;
    for (const std::string& name : kCompared) s[name] = fileOf(dir + "/" + name);
    return s;
}

// The committed logs a state directory keeps, each as one comparable line
// (where and when it was committed left out), and how many went before them.
struct Logs {
    uint64_t dropped = 0;
    std::vector<std::string> lines;
    uint64_t total() const { return dropped + lines.size(); }
};
Logs committedLogs(const std::string& dir) {
    gardhost::setStateDir(dir);
    Logs out;
    const std::vector<gardhost::Committed> all = gardhost::committed();
    if (!all.empty()) out.dropped = all.front().number - 1;
    for (const gardhost::Committed& c : all) {
        std::string line = std::to_string(c.compId) + "/" + std::to_string(c.actions) + "/" + std::to_string(c.rc);
        // Appended piece by piece: GCC 12 at -O3 sees a false overlap (-Wrestrict) in a chain of +.
        for (SrciSrc s : c.srcs) {
            line.append(" ").append(s.getAsciiString()).append(":");
            for (int w = 0; w < 4; ++w) line.append(w > 0 ? "," : "").append(std::to_string(s.ud[w]));
            line.append(s.gardBit ? "g" : "");
        }
        out.lines.push_back(line);
    }
    return out;
}

// Whether the logs of `found` are those of `want` with the same numbers.
bool sameLogs(const Logs& found, const Logs& want) {
    for (std::size_t i = 0; i < found.lines.size(); ++i) {
        const uint64_t n = found.dropped + i;
        if (n >= want.dropped && n < want.total() && found.lines[i] != want.lines[n - want.dropped]) return false;
    }
    return true;
}


struct DriverLog {
    uint64_t done = 0;  // changes logged done, from the round's first
    std::optional<uint64_t> underWay;
    bool failed = false;
};
DriverLog readLog(const std::string& path, uint64_t first) {
    DriverLog log;
    std::ifstream in(path);
    std::string what;
    unsigned long long j = 0;
    while (in >> what >> j) {
        if (j < first) continue;
        if (what == "done") ++log.done, log.underWay.reset();
        if (what == "start") log.underWay = j;
        if (what == "fail") log.failed = true;
    }
    return log;
}

std::size_t temporaries(const std::string& dir) {
    std::size_t n = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        n += name.size() > 8 && name[0] == '.' && name[name.size() - 7] == '.';
    }
    return n;
}

// Opens `dir` as the next process would: a writer's record left half in
// place is finished, the journal redone after a power cut.
void lookAt(const std::string& dir) {
    gardhost::setStateDir(dir);
    Bytes ignored;
    gardhost::getValue(".seeded", ignored);
}

// Reads the records of `dir`'s journal after record `last` into `changes`,
// by name: every change must have happened, and the journal must end where
// the files are. Read every round, so that no rotation drops a record
// unread (a round's records fill less than one journal), and from the start
// of what the journal holds: after a power cut it is another file.
void readJournal(const std::string& dir, uint64_t& last, std::map<std::string, long>& changes, std::string& why) {
    gardhost::setStateDir(dir);
    std::vector<std::string> problems;
    gardhost::HistoryReader reader;
    uint64_t newest = last, record = 0;
    reader.read(
        [&](const gardhost::HistoryRecord& r, const Bytes*, const Bytes*) {
            // Each record's number larger than the one before it.
            if (r.seq != record && r.seq <= record)
                why += "record " + std::to_string(r.seq) + " after record " + std::to_string(record) + "; ";
            record = r.seq;
            newest = std::max(newest, r.seq);
            if (r.seq <= last) return;
            if (r.kind == gardhost::HistoryRecord::kCancel) why += "record " + std::to_string(r.cancelled) + " cancelled; ";
            if (r.kind != gardhost::HistoryRecord::kChange || r.setup) return;
            if (r.outside) why += r.name + ": a record out of its chain; ";
            ++changes[r.name];
        },
        problems);
    last = newest;
    reader.outsideChanges(problems);
    for (const std::string& p : problems)
        if (p.find("cut short") == std::string::npos && p.find("no journal record") == std::string::npos) why += p + "; ";
}

unsigned g_seed = 0;

int fail(const std::string& why) {
    std::fprintf(stderr, "crash test FAILED (seed %u): %s\n", g_seed, why.c_str());
    return 1;
}

struct Options {
    unsigned rounds = 200;
    bool power = false;
    double maxSeconds = 240;
    std::string base = fs::current_path().string();
    unsigned seed = std::random_device{}();
};

int run(const Options& o) {
    g_seed = o.seed;
    // The replay and the record of what was synced in memory where there is
    // some: they make and remove many small files.
    // With simulated power loss nothing is synced for real: the driver's
    // directory may be there too.
    const std::string scratch = fs::is_directory("/dev/shm") ? "/dev/shm" : o.base;
    std::string real = (o.power ? scratch : o.base) + "/gardcrash.XXXXXX",
                replay = scratch + "/gardcrash-replay.XXXXXX";
    if (mkdtemp(real.data()) == nullptr || mkdtemp(replay.data()) == nullptr) return fail("mkdtemp");
    const std::string sim = replay + ".power", log = real + ".log";
    // A committed log a dozen lines long: it rotates every few rounds, and
    // stops and cuts land inside rotations.
    ::setenv("GARD_HOST_ERRL_MAX", "4096", 1);
    prepare(real);
    prepare(replay);
    gardhost::setSync(false);  // the replay's own writes
    if (o.power) {
        gardhost::setStateDir(real);
        gardhost::startPowerSim(sim);
    }
    ::setenv("GARD_HOST_NOSYNC", "0", 1);  // the driver's writes are synced (or, with --power, recorded so)
    // A journal that checkpoints every few rounds and rotates now and then,
    // so that stops and cuts land in checkpoints; checks come often enough
    // that nothing rotates away unchecked.
    ::setenv("GARD_HOST_HISTORY_MAX", "65536", 1);
    const std::string self = fs::canonical("/proc/self/exe").string();
    // Runs this binary as a process that only looks at the state directory
    // (and so redoes the journal after a cut), stopped at crash point `at`.
    const auto lookStopped = [&](const std::string& at) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("GARD_HOST_CRASH_AT", at.c_str(), 1);
            ::execl(self.c_str(), self.c_str(), "look", real.c_str(), static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    };
    // Crash points of a checkpoint: every fourth round aims at one, should
    // the round's changes make one.
    const char* const kCheckpointPoints[] = {"checkpointing#1", "checkpointed#1", "rotated#1"};
    unsigned inCheckpoint = 0, recoveriesStopped = 0, cuts = 0, finishedFirst = 0;

    std::mt19937 random(o.seed);
    // About the crash points a round's changes pass.
    constexpr uint64_t kPerRound = 12;
    std::uniform_int_distribution<long> point(1, 60);
    uint64_t next = 0;
    unsigned stoppedInside = 0, tookEffect = 0, completed = 0, checks = 0;
    unsigned cutsThatLost = 0;  // cuts after which a compared file or the log was not as before it
    std::map<std::string, long> expected;  // changes made since the last history check
    uint64_t commits = committedLogs(real).total();  // counted by the replay's calls, not read from files
    unsigned rotations = 0;  // that dropped logs
    uint64_t dropped = 0;
    // The journal read as it grows; what the set-up changed is not counted.
    uint64_t lastRead = 0;
    std::map<std::string, long> recorded;
    {
        std::string setUp;
        readJournal(real, lastRead, recorded, setUp);
        recorded.clear();
    }
    const auto t0 = std::chrono::steady_clock::now();
    const auto stateOf = [&](const Snapshot& s) {
        std::string out;
        for (const auto& [name, bytes] : s) out += name + (bytes ? " " + std::to_string(bytes->size()) : " absent") + "; ";
        return out;
    };
    for (unsigned round = 0; round <= o.rounds; ++round) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() > o.maxSeconds)
            return fail("time ran out after " + std::to_string(round) + " rounds");
        const bool last = round == o.rounds;  // one more round, not stopped
        const bool atCheckpoint = round % 4 == 1;
        // Every fourth round stops a writer between its record's append and
        // its flush, and another process finishes that record before the cut.
        const bool atJournal = round % 4 == 3;
        const std::string crashAt = last           ? ""
                                    : atCheckpoint ? kCheckpointPoints[round / 4 % 3]
                                    : atJournal    ? "journaled#" + std::to_string(1 + random() % kPerRound)
                                                   : std::to_string(point(random));
        const std::string first = std::to_string(next), count = std::to_string(last ? kKinds : kPerRound);
        pid_t pid = ::fork();
        if (pid < 0) return fail("fork");
        if (pid == 0) {
            ::setenv("GARD_HOST_CRASH_AT", crashAt.c_str(), 1);
            ::execl(self.c_str(), self.c_str(), "drive", real.c_str(), log.c_str(), first.c_str(), count.c_str(),
                    static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        const bool stopped = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (!stopped && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            return fail("the driver failed, status " + std::to_string(status) + " (see " + log + ")");
        if (last && stopped) return fail("the last driver was stopped");
        completed += !stopped;
        inCheckpoint += stopped && atCheckpoint;
        if (o.power && stopped) {
            // Now and then another process finishes the stopped writer's
            // record before the cut: nothing it puts in place may outlive
            // a record the cut takes.
            if (atJournal || random() % 3 == 0) lookStopped(""), ++finishedFirst;
            const Snapshot live = snapshot(real);
            const auto logSize = [&] { return fileOf(real + "/errl/committed").value_or(Bytes{}).size(); };
            const std::size_t liveLogs = logSize();
            gardhost::setStateDir(real);
            gardhost::cutPower(sim, random());
            ++cuts;
            cutsThatLost += snapshot(real) != live || logSize() != liveLogs;
            // Now and then the process that redoes the journal is stopped
            // half-way, and the power cut again.
            if (random() % 3 == 0 && lookStopped("recovering#" + std::to_string(1 + random() % 3))) {
                ++recoveriesStopped;
                gardhost::setStateDir(real);
                gardhost::cutPower(sim, random());
                ++cuts;
            }
        }
        lookAt(real);
        const DriverLog dl = readLog(log, next);
        if (dl.failed) return fail("a change failed (see " + log + ")");

        // The replay of what the driver finished, then of the change under way.
        gardhost::setStateDir(replay);
        const std::size_t callsBefore = gardhost::callCount("ErrlEntry::commit");
        Snapshot before = snapshot(replay);
        for (uint64_t k = 0; k < dl.done; ++k, ++next) {
            delete change(next);
            const Snapshot after = snapshot(replay);
            for (const auto& [name, bytes] : after) expected[name] += bytes != before[name];
            before = after;
        }
        const uint64_t commitsBefore = commits + gardhost::callCount("ErrlEntry::commit") - callsBefore;
        Snapshot after = before;
        if (dl.underWay) {
            gardhost::setStateDir(replay);
            delete change(*dl.underWay);
            after = snapshot(replay);
            ++stoppedInside;
        }
        const uint64_t commitsAfter = commits + gardhost::callCount("ErrlEntry::commit") - callsBefore;
        const Logs logsAfter = committedLogs(replay);
        // Each file old or new; the logs those of the finished changes and a first part of the next's.
        const Snapshot found = snapshot(real);
        for (const auto& [name, bytes] : found) {
            if (bytes != before[name] && bytes != after[name])
                return fail("round " + std::to_string(round) + ", stopped at point " + crashAt + " in change " +
                            std::to_string(next) + ": " + name + " holds neither its content before nor after it (" +
                            stateOf(found) + ")");
            if (bytes == after[name] && after[name] != before[name]) ++expected[name], ++tookEffect;
        }
        const Logs logs = committedLogs(real);
        if (logs.total() < commitsBefore || logs.total() > commitsAfter || !sameLogs(logs, logsAfter))
            return fail("round " + std::to_string(round) + ", point " + crashAt + ": " +
                        std::to_string(logs.total()) + " committed logs (" + std::to_string(logs.dropped) +
                        " dropped), want those of the " + std::to_string(commitsBefore) +
                        " commits finished and up to " + std::to_string(commitsAfter - commitsBefore) +
                        " more, in order" + [&] {
                            std::string all = "\nfound:";
                            for (const std::string& l : logs.lines) all += "\n  " + l;
                            all += "\nreplay:";
                            for (const std::string& l : logsAfter.lines) all += "\n  " + l;
                            return all;
                        }());
        rotations += logs.dropped != dropped;
        dropped = logs.dropped;
        commits = logs.total();
        // The replay goes on from what the driver left, as the next driver does.
        gardhost::setStateDir(replay);
        for (const auto& [name, bytes] : found) {
            if (bytes)
                gardhost::setValue(name, *bytes);
            else
                gardhost::eraseValue(name);
        }
        for (const std::string name : {"errl/committed", "errl/committed.1"}) {
            if (const std::optional<Bytes> bytes = fileOf(real + "/" + name))
                gardhost::setValue(name, *bytes);
            else
                gardhost::eraseValue(name);
        }

        // The journal equals the files after every round; the changes it
        // holds are counted against the replay's every few rounds.
        std::string why;
        readJournal(real, lastRead, recorded, why);
        if (round % 5 == 0 || last) {
            for (const auto& [name, n] : recorded)
                if (std::find(kCompared.begin(), kCompared.end(), name) == kCompared.end())
                    why += name + " changed, which no change of the sequence changes; ";
            for (const auto& [name, n] : expected)
                if (recorded.count(name) == 0 ? n != 0 : recorded.at(name) != n)
                    why += name + ": " + std::to_string(recorded.count(name) ? recorded.at(name) : 0) +
                           " changes in the history, " + std::to_string(n) + " in the files; ";
            expected.clear();
            recorded.clear();
            ++checks;
        }
        if (!why.empty()) return fail("round " + std::to_string(round) + ", the journal: " + why);
    }
    if (const std::size_t left = temporaries(real); left != 0)
        return fail(std::to_string(left) + " temporary files left after the last run");
    std::printf(
        "crash test (%s): %u rounds, %u stopped inside a change (%u files changed by it), %u ran to the end, "
        "%u stopped in a checkpoint, %u cuts (%u of them after a stopped recovery, %u after another process "
        "finished the stopped one's record), %u cuts lost what was not synced, %llu changes, journal checked against the files %u times, %llu logs committed (%u rotations "
        "dropped some), 0 torn, 0 lost, 0 temporary files left, %.1f s, seed %u\n",
        o.power ? "power cut" : "kill", o.rounds, stoppedInside, tookEffect, completed, inCheckpoint, cuts,
        recoveriesStopped, finishedFirst, cutsThatLost, static_cast<unsigned long long>(next), checks,
        static_cast<unsigned long long>(commits), rotations,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), o.seed);
    std::error_code ec;
    for (const std::string& p : {real, replay, sim, log}) fs::remove_all(p, ec);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "look") == 0) {
        lookAt(argv[2]);
        return 0;
    }
    if (argc == 6 && std::strcmp(argv[1], "drive") == 0)
        return drive(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10));
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (opt == "--power") o.power = true;
        else if (opt == "--rounds") o.rounds = static_cast<unsigned>(std::atoi(value)), ++i;
        else if (opt == "--max-seconds") o.maxSeconds = std::atof(value), ++i;
        else if (opt == "--dir") o.base = value, ++i;
        else if (opt == "--seed") o.seed = static_cast<unsigned>(std::atoi(value)), ++i;
        else return fail("unknown option " + opt);
    }
    return run(o);
}
