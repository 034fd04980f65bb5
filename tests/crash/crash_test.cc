// Kill test: a driver process runs update operations in a loop while this
// process kills it with SIGKILL at random moments. The operations form one
// deterministic sequence, which this process replays in a state directory
// of its own: after each kill the gard files and the gard keyword must equal
// the state after the last operation the driver finished, or after the one
// it was running, byte for byte (never torn, never short), and the next
// driver, started on what the killed one left, must succeed and remove the
// temporary files the killed one left: after one last run none remains.
//
// Usage: gard-crash [--kills N] [--max-seconds S] [--dir D] [--seed N]
//        gard-crash drive STATE_DIR FIRST [COUNT]   (the driver)
// File writes are synced unless GARD_HOST_NOSYNC=1.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include <thread>
#include <vector>

#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/host/host.h"
#include "platform/utilfile.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- the operations

constexpr unsigned kUnits = 50;

// Operation j of the sequence, on the current state directory. Every kind
// of gard file write the library makes appears: unit table updates, the
// clear and the reset, a whole stored error-log image through the file
// operations, the store of a deconfigured path's error log, and the own
// service-processor record.
ErrlEntry* operation(uint64_t j) {
    const auto unit = static_cast<uint16_t>(0x100 + j / 6 % kUnits);
    switch (j % 6) {
        case 0: {
            svpd_SerialNum sn{};
            std::snprintf(reinterpret_cast<char*>(sn.bytes), sizeof sn.bytes, "%011llu",
                          static_cast<unsigned long long>(j));
            gardFruState fru{};
            return gardAcc::GardUpdateVpdUnit(unit, sn, 1, &fru);
        }
        case 1:
            return gardAcc::GardSetVpdUnitState(unit, 1,
                                                (j & 8) != 0 ? GARD_GARDED_2 : GARD_NOT_GARDED_2,
                                                static_cast<GARD_ErrorType>(j), nullptr);
        case 2: return j / 6 % 5 == 4 ? gardAcc::GardResetVpdData() : gardAcc::GardClearVpdData();
        case 3: {
            // A stored error-log file with every slot free but a marker in the unused tail.
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
            auto* cause = new ErrlEntry(0xAB00, 0, 0, 0xD1, 0, 0x10, 0x4399, 0xAB01,
                                        static_cast<uint32_t>(j), 0, 0, 0, 0x75, 0);
            homDMAPath path{};
            path.word[3] = path.word[4] = static_cast<uint32_t>(j / 6 % 10);
            path.word[5] = 0x99;
            GARD_RC rc{};
            ErrlEntry* e = GardDeconfigDmaPath(path, 1, 0, rc, cause);
            delete cause;
            return e;
        }
        default: {
            gardSetStateReturn word{};
            ErrlEntry* e =
                GardRdndQel::GardSetQelState(0x200, (j & 6) != 0 ? GARD_QEL_GARDED : GARD_QEL_NEW,
                                             static_cast<unsigned>(j), word, true, 0);
            if (e == nullptr && word != GARD_SET_DONE) e = new ErrlEntry();
            return e;
        }
    }
}

// A state directory the operations can run in: defaults and VPD ports.
void prepare(const std::string& dir) {
    gardhost::setStateDir(dir);
    gardhost::setPosition(0);
    gardhost::seedDefaults();
    // Only a path's first unit has a port: each deconfiguration stores one
    // copy, so that every operation is a single file write.
    for (uint32_t i = 0; i < 10; ++i)
        gardhost::setU32("vorm/port/" + gardhost::unitName(0x2E70 + i), 0x40 + i);
    // Records as the first read would repair them: an erased keyword would
    // make the first state change two writes (the repair, then the change),
    // and a kill between them leaves a third state that is not torn.
    for (uint32_t unit : {0x200u, 0x201u}) {
        Bytes record(32, 0xFF);
        record[0] = 0x0C;
        record[1] = 0x05;
        record[2] = 0x5C;
        gardhost::setValue("vpd/" + gardhost::unitName(unit) + "/keyword", record);
    }
}

void appendLine(int fd, const char* what, uint64_t j) {
    char line[48];
    int n = std::snprintf(line, sizeof line, "%s %llu\n", what, static_cast<unsigned long long>(j));
    if (::write(fd, line, static_cast<std::size_t>(n)) != n) std::_Exit(3);
}

// The driver: operations first, first + 1, ..., logging each start and end.
int drive(const std::string& dir, uint64_t first, uint64_t count) {
    gardhost::setStateDir(dir);
    gardhost::setPosition(0);
    gardhost::StateLock lock(gardhost::StateLock::kExclusive);
    if (!lock.held()) return 2;
    int log = ::open((dir + "/crash.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log < 0) return 2;
    for (uint64_t j = first; count == 0 || j < first + count; ++j) {
        appendLine(log, "start", j);
        if (ErrlEntry* e = operation(j)) {
            appendLine(log, "fail", j);
            delete e;
            return 1;
        }
        appendLine(log, "done", j);
    }
    return 0;
}

// ---------------------------------------------------------------- checking

// The gard files and the own gard keyword of a state directory; absent
// files stay empty optionals.
using Snapshot = std::map<std::string, std::optional<Bytes>>;
const std::string kRask = "root/opt/p3/gard/gardRask", kErrl = "root/opt/p3/gard/gardErrl";
Snapshot snapshot(const std::string& dir) {
    Snapshot s;
    for (const std::string& name : {kRask, kErrl, std::string("vpd/0x200/keyword")}) {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        s[name] =
            in ? std::optional<Bytes>(Bytes(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
    }
    return s;
}

// What differs from the replay, file by file.
std::string describe(const Snapshot& found, const Snapshot& want) {
    std::string out;
    for (const auto& [name, bytes] : found) {
        const auto& w = want.at(name);
        if (bytes == w) continue;
        out += name + ": " + (bytes ? std::to_string(bytes->size()) + " bytes" : "absent") +
               ", replay " + (w ? std::to_string(w->size()) + " bytes" : "absent") + "; ";
    }
    return out;
}

struct Log {
    std::optional<uint64_t> lastDone;
    std::size_t lines = 0;
    bool endsInStart = false;  // the last line starts an operation
    bool failed = false;
};
Log readLog(const std::string& dir) {
    Log log;
    std::ifstream in(dir + "/crash.log");
    std::string what;
    unsigned long long j = 0;
    while (in >> what >> j) {
        if (what == "done") log.lastDone = j;
        if (what == "fail") log.failed = true;
        log.endsInStart = what == "start";
        ++log.lines;
    }
    return log;
}

// Temporary files (".<name>.XXXXXX") anywhere in the state directory.
std::size_t temporaries(const std::string& dir) {
    std::size_t n = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        n += name.size() > 8 && name[0] == '.' && name[name.size() - 7] == '.';
    }
    return n;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "crash test FAILED: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "drive") == 0)
        return drive(argv[2], std::strtoull(argv[3], nullptr, 10),
                     argc >= 5 ? std::strtoull(argv[4], nullptr, 10) : 0);

    unsigned kills = 200;
    double maxSeconds = 120;
    std::string base = fs::current_path().string();
    unsigned seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--kills") kills = static_cast<unsigned>(std::atoi(argv[i + 1]));
        if (opt == "--max-seconds") maxSeconds = std::atof(argv[i + 1]);
        if (opt == "--dir") base = argv[i + 1];
        if (opt == "--seed") seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    const bool sync = [] {
        const char* off = std::getenv("GARD_HOST_NOSYNC");
        return off == nullptr || std::strcmp(off, "1") != 0;
    }();
    std::string real = base + "/gardcrash.XXXXXX";
    std::string sim = (fs::is_directory("/dev/shm") ? std::string("/dev/shm") : base) +
                      "/gardcrash-replay.XXXXXX";
    if (mkdtemp(real.data()) == nullptr || mkdtemp(sim.data()) == nullptr) return fail("mkdtemp");
    prepare(real);
    prepare(sim);  // the replay runs here, in this process
    gardhost::setSync(false);

    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayUs(0, sync ? 40000 : 15000);
    const std::string self = fs::canonical("/proc/self/exe").string();
    uint64_t next = 0;    // the next operation to run
    uint64_t logged = 0;  // operations the log shows finished
    std::size_t lines = 0;
    unsigned midOperation = 0, finishedUnlogged = 0, createdOnly = 0;
    std::size_t leftBehind = 0;  // temporary files found after the kills
    const auto start = std::chrono::steady_clock::now();
    unsigned killed = 0;
    for (; killed < kills; ++killed) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >
            maxSeconds)
            return fail("time ran out after " + std::to_string(killed) + " kills");
        const std::string first = std::to_string(next);
        pid_t pid = fork();
        if (pid < 0) return fail("fork");
        if (pid == 0) {
            execl(self.c_str(), self.c_str(), "drive", real.c_str(), first.c_str(),
                  static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFSIGNALED(status))
            return fail("the driver stopped by itself, status " + std::to_string(status));

        leftBehind += temporaries(real);
        const Log log = readLog(real);
        if (log.failed)
            return fail("an operation failed after a kill (see " + real + "/crash.log)");
        const uint64_t done =
            log.lastDone ? *log.lastDone + 1 : 0;  // operations logged as finished
        if (done < logged) return fail("the log went back");
        logged = done;
        if (log.lines > lines && log.endsInStart)
            ++midOperation;  // this driver died inside an operation
        lines = log.lines;
        for (; next < done; ++next)
            if (ErrlEntry* e = operation(next)) {
                delete e;
                return fail("the replay failed at operation " + std::to_string(next));
            }
        const Snapshot found = snapshot(real);
        const Snapshot before = snapshot(sim);
        if (found == before) continue;
        // The operation in flight may have created its gard file, zero-filled,
        // and died before its own write: it runs again on that file.
        bool created = false;
        for (const auto& [name, size] :
             {std::pair<std::string, std::size_t>{kRask, 20480}, {kErrl, 51200}}) {
            Snapshot zeroFilled = before;
            if (!before.at(name)) zeroFilled[name] = Bytes(size, 0);
            created |= !before.at(name) && found == zeroFilled;
        }
        if (created) {
            ++createdOnly;
            continue;
        }
        // Or it finished its write before it could log so.
        if (ErrlEntry* e = operation(next)) {
            delete e;
            return fail("the replay failed at operation " + std::to_string(next));
        }
        ++next;
        ++finishedUnlogged;
        if (found != snapshot(sim))
            return fail("after kill " + std::to_string(killed + 1) + " at operation " +
                        std::to_string(next - 1) + " the state is neither before nor after it: " +
                        describe(found, snapshot(sim)));
    }
    // A last run that is not killed: six operations, one of each kind.
    pid_t pid = fork();
    if (pid == 0) {
        const std::string first = std::to_string(next);
        execl(self.c_str(), self.c_str(), "drive", real.c_str(), first.c_str(), "6",
              static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail("the final run failed");
    for (uint64_t end = next + 6; next < end; ++next) delete operation(next);
    if (snapshot(real) != snapshot(sim))
        return fail("the final run left another state than its replay");
    const std::size_t left = temporaries(real);
    if (left != 0) return fail(std::to_string(left) + " temporary files left after the final run");

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "crash test: %u kills survived (%u during an operation: %u after its write, %u after only "
        "creating its file), %llu operations, fsync %s, %.1f s, %zu temporary files found after "
        "the kills, %zu left after one more run, seed %u\n",
        killed, midOperation, finishedUnlogged, createdOnly, static_cast<unsigned long long>(next),
        sync ? "on" : "off", seconds, leftBehind, left, seed);
    std::error_code ec;
    fs::remove_all(real, ec);
    fs::remove_all(sim, ec);
    return 0;
}
