// gard-undo: restore and follow with several processes at once.
//
// restore: sequences of random changes made by three processes at once,
// each a loop of gard commands; meanwhile this process takes the state
// directory's lock at random moments and copies the bytes of every tracked
// file, with the journal's last event then (read from the journal's last
// line, not through the tool). Afterwards each moment is restored (gard
// restore --before N+1, or --to the moment's time) and must give those bytes
// exactly; the restore restored back (--before its own event) must give the
// latest bytes again. One sequence in three rotates its journal: a moment
// whose events it dropped must be refused, the others still restored.
//
// follow: gard history --follow --json beside three loops of commands, some
// of them killed at a random crash point, with a journal small enough to
// rotate. Every event the history holds afterwards must have been printed
// once, in the history's order, as the history prints it; the wake-up
// latency (the line's arrival less its writer's stamp) and the processor
// time used while nothing changes are the figures.
//
// Usage: gard-undo GARD WORKDIR restore [--sequences N] [--seed N] [--seconds S]
//        gard-undo GARD WORKDIR follow [--commands N] [--seed N]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;

namespace {

using Json = nlohmann::json;
using Files = std::map<std::string, std::string>;  // tracked name -> bytes
std::string g_gard, g_state;
std::mt19937 g_rng;
int g_failures = 0;

std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(g_rng); }
template <class T>
const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint64_t nowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::string isoTime(uint64_t micros) {
    const time_t secs = static_cast<time_t>(micros / 1000000u);
    tm t{};
    gmtime_r(&secs, &t);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<unsigned>(micros % 1000000u));
    return text;
}

// The names the journal keeps, as docs/host.md lists them: gard files, VPD,
// registries, the platform's settings, the faults file and the seeded mark;
// not logs, traces, or the temporaries of a writer.
bool tracked(const std::string& name) {
    const std::string base = fs::path(name).filename().string();
    if (base.empty() || (base[0] == '.' && name != ".seeded")) return false;
    for (const char* top : {"root/", "vpd/", "sp0/", "sp1/", "vorm/", "mnfg/"})
        if (name.rfind(top, 0) == 0) return name != "vorm/log";
    return name == "faults" || name == ".seeded";
}

Files trackedFiles() {
    Files out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(g_state, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        const std::string name = fs::relative(it->path(), g_state).string();
        if (tracked(name)) out[name] = slurp(it->path().string());
    }
    return out;
}

// The journal's first event: the seq of the first line it keeps.
uint64_t firstEvent() {
    for (const char* file : {"/history.1", "/history"}) {
        const std::string text = slurp(g_state + file);
        if (text.rfind("J seq=", 0) == 0) return std::strtoull(text.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// The journal's last event: the seq of its last whole line.
uint64_t lastEvent() {
    for (const char* file : {"/history", "/history.1"}) {
        const std::string text = slurp(g_state + file);
        const std::size_t end = text.rfind('\n');
        if (end == std::string::npos) continue;
        const std::size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
        const std::string line = text.substr(start == std::string::npos || end == 0 ? 0 : start + 1);
        if (line.rfind("J seq=", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

struct Run {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
};
Run gard(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), g_gard);
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> vars(env);
    for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
    for (std::string& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    const std::string out = g_state + ".out." + std::to_string(getpid());
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    Run r;
    if (posix_spawn(&pid, g_gard.c_str(), &fa, nullptr, argv.data(), envp.data()) == 0) {
        int ws = 0;
        waitpid(pid, &ws, 0);
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = slurp(out);
    fs::remove(out);
    return r;
}

// A random command of those that change gard state, as a lab's scripts run them.
std::vector<std::string> randomCommand() {
    const std::string unit = std::to_string(1 + below(6)), group = std::to_string(1 + below(2)), sp = std::to_string(below(2));
    switch (below(16)) {
        case 0:
        case 1: return {"units", "add", unit, group, "SN" + std::to_string(below(1000))};
        case 2:
        case 3:
            return {"units", "set-state", unit, group, pick<std::string>({"new", "garded", "cleared", "0xec"}),
                    "--src", "B18" + std::to_string(10000 + below(90000))};
        case 4: return {"units", below(2) ? "clear" : "reset", "--yes"};
        case 5: return {"--sp", sp, "sp", "set-state", pick<std::string>({"0x200", "0x201"}), pick<std::string>({"new", "garded", "cleared"})};
        case 6: return {"--sp", sp, "platform", "reg", "dscv/QelRole", std::to_string(below(2))};
        case 7: return {"--sp", sp, "platform", "reg", "dscv/SiblingState", std::to_string(below(3))};
        case 8: return {"platform", "keyword", "0x201", below(3) == 0 ? "erased" : "0c05" + pick<std::string>({"5c", "5d", "cc"})};
        case 9: return {"platform", "present", "0x201", below(4) == 0 ? "off" : "on"};
        case 10: return {"platform", "policy", "11", std::to_string(below(2))};
        case 11: return {"platform", "mnfg-flag", "2", below(2) ? "on" : "off"};
        case 12: return below(2) ? std::vector<std::string>{"platform", "reg", "lab/Note", "--bytes", "0102"}
                                 : std::vector<std::string>{"platform", "reg", "lab/Note", "--remove"};
        case 13: return below(2) ? std::vector<std::string>{"platform", "fault", "add", "homGetUnitId@" + std::to_string(1000 + below(50))}
                                 : std::vector<std::string>{"platform", "fault", "clear"};
        case 14: return {"--sp", sp, "mailbox-failure", pick<std::string>({"0x200", "0x201", "0x100"}), "1"};
        default: return {"--sp", sp, "clear", pick<std::string>({"units", "own", "all"}), "--yes"};
    }
}

void fail(const std::string& why) {
    ++g_failures;
    std::cerr << "FAIL " << why << '\n';
}

std::string differing(const Files& a, const Files& b) {
    std::string names;
    for (const auto& [name, bytes] : a)
        if (b.count(name) == 0 || b.at(name) != bytes) names += " " + name;
    for (const auto& [name, bytes] : b)
        if (a.count(name) == 0) names += " " + name + "(not wanted)";
    return names;
}

// ---------------------------------------------------------------- restore

struct Snapshot {
    uint64_t event, time;
    Files files;
};

// Taken under the state directory's lock, so that no call is half done.
Snapshot snapshot() {
    const int fd = ::open((g_state + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ::flock(fd, LOCK_EX);
    Snapshot s{lastEvent(), nowMicros(), trackedFiles()};
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return s;
}

int restoreSequences(int sequences, double seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    int done = 0, restored = 0, back = 0, mismatches = 0, rotated = 0, refused = 0;
    for (; done < sequences && std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() < seconds; ++done) {
        g_state = fs::current_path().string() + "/seq-" + std::to_string(done);
        fs::remove_all(g_state);
        fs::create_directories(g_state);
        setenv("GARD_STATE_DIR", g_state.c_str(), 1);
        // One sequence in three with a journal small enough to rotate: its
        // moments are rebuilt from what the records after a checkpoint hold.
        const bool small = below(3) == 0;
        rotated += small;
        if (small) setenv("GARD_HOST_HISTORY_MAX", "12K", 1);
        else unsetenv("GARD_HOST_HISTORY_MAX");
        gard({"units", "add", "1", "1", "FIRST"});
        // Three writers at once, each with its own commands; snapshots between their calls.
        std::vector<std::vector<std::vector<std::string>>> loops(3);
        for (auto& l : loops)
            for (std::size_t i = 0, n = 3 + below(6); i < n; ++i) l.push_back(randomCommand());
        std::vector<pid_t> writers;
        for (const auto& l : loops) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                for (const auto& c : l) gard(c);
                std::_Exit(0);
            }
            writers.push_back(pid);
        }
        std::vector<Snapshot> moments;
        for (bool running = true; running;) {
            std::this_thread::sleep_for(std::chrono::microseconds(below(8000)));  // a random moment, not a wait
            moments.push_back(snapshot());
            running = false;
            for (pid_t pid : writers) running |= ::waitpid(pid, nullptr, WNOHANG) == 0;
        }
        for (pid_t pid : writers) ::waitpid(pid, nullptr, 0);
        const Snapshot latest = snapshot();
        std::shuffle(moments.begin(), moments.end(), g_rng);
        const int failuresBefore = g_failures;
        for (const Snapshot& m : moments) {
            if (m.event >= latest.event) continue;  // the latest state: nothing to restore
            const bool byTime = below(2) == 0;
            const uint64_t first = firstEvent();
            const Run r = gard({"restore", byTime ? "--to" : "--before", byTime ? isoTime(m.time) : std::to_string(m.event + 1),
                                "--yes", "--json"});
            Json j = Json::parse(r.out, nullptr, false);
            // A moment whose events rotated out of the journal is not known: refused as bad input.
            if (m.event < first) {
                ++refused;
                if (r.status != 2 || !j.is_object() || j.value("error", "").find("is before the history starts") == std::string::npos)
                    ++mismatches, fail("sequence " + std::to_string(done) + ": restore to after #" + std::to_string(m.event) +
                                       ", rotated out, was not refused: " + r.out.substr(0, 300));
                continue;
            }
            ++restored;
            if (r.status != 0 || !j.is_object() || j.value("restored", false) != true) {
                ++mismatches;
                fail("sequence " + std::to_string(done) + ": restore to after #" + std::to_string(m.event) + " exited " +
                     std::to_string(r.status) + ": " + r.out.substr(0, 300));
                continue;
            }
            if (const std::string d = differing(m.files, trackedFiles()); !d.empty()) {
                ++mismatches;
                fail("sequence " + std::to_string(done) + ": restored to after #" + std::to_string(m.event) +
                     " (by " + (byTime ? "time" : "event") + "), these differ:" + d);
            }
            if (j["restoreEvent"].is_null()) continue;  // the state was as it was then: no event to undo
            const Run b = gard({"restore", "--before", std::to_string(j["restoreEvent"].get<uint64_t>()), "--yes"});
            ++back;
            if (const std::string d = differing(latest.files, trackedFiles()); b.status != 0 || !d.empty()) {
                ++mismatches;
                fail("sequence " + std::to_string(done) + ": restoring the restore of #" + std::to_string(m.event) +
                     " back (exit " + std::to_string(b.status) + "), these differ from the latest:" + d);
            }
        }
        if (g_failures == failuresBefore) fs::remove_all(g_state);
        else std::cerr << "  its state directory is kept: " << g_state << '\n';
    }
    std::printf("[ figures  ] restore: %d sequences of 3 writers at once (%d with a journal rotating), %d moments "
                "restored (half by time), %d restored back, %d refused as rotated out, %d mismatches, %.1f s\n",
                done, rotated, restored, back, refused, mismatches,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (done < sequences) fail("only " + std::to_string(done) + " of " + std::to_string(sequences) + " sequences in time");
    return g_failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------- follow

struct Line {
    std::string text;
    uint64_t arrived;
};

// Nanoseconds the process has run on a processor (the scheduler's count).
uint64_t cpuNanos(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    uint64_t ns = 0;
    in >> ns;
    return ns;
}

// An event's place: its record, its part, what it is.
std::string placeOf(const Json& e) {
    return std::to_string(e["seq"].get<uint64_t>()) + "." + std::to_string(e.value("part", 0u)) + " " +
           e["type"].get<std::string>();
}

int followLoops(int commands) {
    g_state = fs::current_path().string() + "/follow";
    fs::remove_all(g_state);
    fs::create_directories(g_state);
    setenv("GARD_STATE_DIR", g_state.c_str(), 1);
    setenv("GARD_HOST_HISTORY_MAX", "32K", 1);  // rotations and checkpoints while following
    gard({"units", "add", "1", "1", "FIRST"});
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return 1;
    const std::string err = g_state + ".follow.err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string a0 = g_gard, a1 = "history", a2 = "--follow", a3 = "--json";
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
    pid_t follower = 0;
    if (posix_spawn(&follower, g_gard.c_str(), &fa, nullptr, argv, environ) != 0) return 1;
    ::close(pipeFds[1]);
    std::mutex mutex;
    std::vector<Line> lines;
    std::thread reader([&] {
        std::string partial;
        char buf[65536];
        for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) {
            const uint64_t at = nowMicros();
            partial.append(buf, static_cast<std::size_t>(n));
            std::lock_guard<std::mutex> lock(mutex);
            for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1))
                lines.push_back({partial.substr(0, nl), at});
        }
    });
    auto waitFor = [](const std::function<bool()>& done) {  // at most a minute, polled
        for (int i = 0; i < 3000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return done();
    };
    if (!waitFor([&] { return slurp(err).find("following the history") != std::string::npos; }))
        fail("the follower did not start: " + slurp(err));
    const uint64_t before = lastEvent();  // it follows from now: what came before is not printed

    // Three loops at once; one command in five killed at a random crash point.
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<pid_t> loops;
    for (int k = 0; k < 3; ++k) {
        const unsigned seed = static_cast<unsigned>(g_rng());
        const pid_t pid = ::fork();
        if (pid == 0) {
            g_rng.seed(seed);
            int killed = 0;
            for (int i = 0; i < commands; ++i) {
                std::vector<std::string> env;
                if (below(5) == 0) env.push_back("GARD_HOST_CRASH_AT=" + std::to_string(1 + below(12)));
                killed += gard(randomCommand(), env).status == 128 + SIGKILL;
            }
            std::_Exit(std::min(killed, 255));
        }
        loops.push_back(pid);
    }
    int killed = 0;
    for (pid_t pid : loops) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        killed += WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    }
    const double busy = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The history as it stands (its reading finishes what a killed writer left).
    const Run h = gard({"history", "--json"});
    const Json history = Json::parse(h.out, nullptr, false);
    if (!history.is_object() || history["history"].empty()) {
        fail("gard history --json: " + h.out.substr(0, 300));
        return 1;
    }
    const std::string last = placeOf(history["history"].back());
    auto printedLast = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            const Json e = Json::parse(it->text, nullptr, false);
            if (e.is_object() && placeOf(e) == last) return true;
        }
        return false;
    };
    if (!waitFor(printedLast)) fail("the follower never printed the last event, " + last);
    // Idle: no change for two seconds, the processor time it takes meanwhile.
    const uint64_t ran = cpuNanos(follower);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double idle = static_cast<double>(cpuNanos(follower) - ran) / 2e9;
    ::kill(follower, SIGINT);
    int ws = 0;
    ::waitpid(follower, &ws, 0);
    reader.join();
    ::close(pipeFds[0]);
    if (!WIFEXITED(ws) || WEXITSTATUS(ws) != 0) fail("SIGINT did not end the follower with status 0");

    // Every event of the history printed once, in its order, as the history prints it.
    std::map<std::string, Json> printed;
    std::vector<std::string> order;
    std::vector<double> latency;
    for (const Line& l : lines) {
        Json e = Json::parse(l.text, nullptr, false);
        if (!e.is_object() || e["schema"] != "history-event") {
            fail("a line that is no event: " + l.text.substr(0, 200));
            continue;
        }
        e.erase("schema");
        e.erase("schemaVersion");
        const std::string place = placeOf(e);
        if (printed.count(place) != 0) fail("printed twice: " + place);
        // The journal's order is its events' numbers, also for those rotated out since.
        if (!order.empty() && e["seq"].get<uint64_t>() < printed[order.back()]["seq"].get<uint64_t>())
            fail("printed out of the journal's order: " + place + " after " + order.back());
        latency.push_back(static_cast<double>(l.arrived) - static_cast<double>(e["time"].get<uint64_t>()));
        printed[place] = e;
        order.push_back(place);
    }
    std::size_t at = 0, missing = 0, differ = 0;
    for (const Json& e : history["history"]) {
        if (e["seq"].get<uint64_t>() <= before) continue;
        const std::string place = placeOf(e);
        const auto it = std::find(order.begin() + static_cast<long>(std::min(at, order.size())), order.end(), place);
        if (printed.count(place) == 0) {
            ++missing;
            continue;
        }
        if (it == order.end()) fail("printed out of the history's order: " + place);
        else at = static_cast<std::size_t>(it - order.begin()) + 1;
        if (printed[place] != e) ++differ, fail("printed otherwise than the history prints it: " + place);
    }
    if (missing != 0) fail(std::to_string(missing) + " events of the history never printed");
    std::sort(latency.begin(), latency.end());
    const uint64_t firstHeld = history["history"].front()["seq"].get<uint64_t>();
    std::size_t rotated = 0;
    for (const auto& [place, e] : printed) rotated += e["seq"].get<uint64_t>() < firstHeld;
    std::printf("[ figures  ] follow: 3 loops of %d commands, %d of them killed at a crash point, %.1f s; %zu events "
                "printed, %zu of them rotated out of the journal since; the history's %zu events: %zu missing, %zu "
                "printed otherwise; wake-up latency median %.2f ms, worst %.2f ms; idle %.1f us of processor time a second\n",
                commands, killed, busy, order.size(), rotated, history["history"].size(), missing, differ,
                latency.empty() ? 0.0 : latency[latency.size() / 2] / 1000.0, latency.empty() ? 0.0 : latency.back() / 1000.0,
                idle * 1e6);
    fs::remove_all(g_state);
    fs::remove(err);
    return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: gard-undo GARD WORKDIR restore|follow [--sequences N] [--commands N] [--seed N] [--seconds S]\n";
        return 2;
    }
    g_gard = fs::absolute(argv[1]).string();
    fs::create_directories(argv[2]);
    fs::current_path(argv[2]);
    const std::string mode = argv[3];
    int sequences = 200, commands = 60;
    double seconds = 600;
    unsigned seed = std::random_device{}();
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--sequences") sequences = std::atoi(argv[i + 1]);
        else if (opt == "--commands") commands = std::atoi(argv[i + 1]);
        else if (opt == "--seed") seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (opt == "--seconds") seconds = std::atof(argv[i + 1]);
    }
    std::printf("gard-undo %s, seed %u\n", mode.c_str(), seed);
    g_rng.seed(seed);
    const int status = mode == "restore" ? restoreSequences(sequences, seconds) : followLoops(commands);
    std::printf("%s\n", status == 0 ? "passed" : "failed");
    return status;
}
