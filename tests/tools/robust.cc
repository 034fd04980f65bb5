// gard-robust: the gard tool on bytes nobody meant it to see. Runs
// `decode` on random files (any size up to 64 KiB, all 0x00, all 0xff,
// real gard files truncated, grown or with bytes flipped), and the reading
// commands on state directories holding random SRC text, serial numbers,
// table and error-log files, fault lines and change histories. Every run must exit normally
// with a status the command may give, print no internal error, and every
// JSON output must parse (strict UTF-8); text output holds no raw control
// character. What the tool reports is checked against the bytes given: the
// file's size and kind, one entry or slot per unit id that is not 0, exit 3
// exactly when there are anomalies, and a table listed through the library
// with as many units as its file holds. Built with the sanitizers, the tool
// runs under them. The suite runs a sample; scripts/ci-proof.sh the long run.
// Usage: gard-robust GARD WORKDIR [--files N] [--states N] [--seconds S] [--seed N]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;

namespace {

using Bytes = std::string;
using Json = nlohmann::json;
std::string g_gard, g_work;
std::mt19937 g_rng;
int g_failures = 0, g_runs = 0;

Bytes slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void spill(const std::string& path, const Bytes& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
std::size_t below(std::size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(g_rng); }
Bytes randomBytes(std::size_t n, bool noNul = false) {
    Bytes b(n, '\0');
    for (char& c : b) c = static_cast<char>(noNul ? 1 + below(255) : below(256));
    return b;
}

struct Run {
    int status = -1;  // exit status, or 128 + signal
    Bytes out, err;
};
Run run(std::vector<std::string> args) {
    args.insert(args.begin(), g_gard);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = g_work + "/out", err = g_work + "/err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    Run r;
    if (posix_spawn(&pid, g_gard.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
        int ws = 0;
        waitpid(pid, &ws, 0);
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = slurp(out), r.err = slurp(err);
    ++g_runs;
    return r;
}

Json fail(const std::vector<std::string>& args, int status, const std::string& why, const Bytes& said,
          const std::string& keep) {
    ++g_failures;
    std::cerr << "FAIL (" << why << ", exit " << status << "): gard";
    for (const std::string& a : args) std::cerr << ' ' << a;
    std::cerr << "\n  said: " << said.substr(0, 400) << "\n";
    if (!keep.empty()) {
        const std::string kept = g_work + "/failed-" + std::to_string(g_failures);
        std::error_code ec;
        fs::copy(keep, kept, fs::copy_options::recursive, ec);
        std::cerr << "  input kept in " << kept << "\n";
    }
    return nullptr;
}

// Runs a command, in JSON or as text, and checks what any run must give;
// the JSON output, or null.
Json check(std::vector<std::string> args, const std::set<int>& allowed, bool json, const std::string& keep = "",
           int* status = nullptr) {
    if (json) args.insert(args.begin(), "--json");
    Run r = run(args);
    if (status != nullptr) *status = r.status;
    if (allowed.count(r.status) == 0) return fail(args, r.status, "exit status", r.err, keep);
    if (r.err.find("internal error") != Bytes::npos) return fail(args, r.status, "internal error", r.err, keep);
    // The host platform's own warnings ("gardhost: ...") are not the tool's text.
    Bytes text = r.out;
    for (std::size_t at = 0, end; at < r.err.size(); at = end + 1) {
        end = std::min(r.err.find('\n', at), r.err.size());
        if (r.err.compare(at, 9, "gardhost:") != 0) text += r.err.substr(at, end - at + 1);
    }
    try {
        (void)Json(text).dump();  // strict UTF-8
    } catch (const Json::exception&) {
        return fail(args, r.status, "output not UTF-8", r.err, keep);
    }
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7F) return fail(args, r.status, "raw control character", r.err, keep);
    try {
        return json ? Json::parse(r.out) : Json(nullptr);
    } catch (const Json::exception& e) {
        return fail(args, r.status, std::string("JSON does not parse: ") + e.what(), r.err, keep);
    }
}

// Unit ids that are not 0 among `count` big-endian ids of `width` bytes at
// `at`, `step` apart; bytes past the end read as 0.
std::size_t usedIds(const Bytes& b, std::size_t at, std::size_t width, std::size_t step, std::size_t count) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < count; ++i) {
        bool any = false;
        for (std::size_t k = 0; k < width; ++k) any = any || (at + i * step + k < b.size() && b[at + i * step + k] != 0);
        used += any;
    }
    return used;
}
std::size_t usedUnits(const Bytes& b) { return usedIds(b, 4004, 2, 2, 250); }

// What decode says of file `b` named `name`, against the bytes themselves.
void judgeDecode(const std::string& path, const std::string& name, const Bytes& b, const Json& j, int status) {
    if (j.is_null()) return;
    const std::string kind = j.value("kind", "");
    const std::size_t expected = kind == "units" ? 20480 : 51200;
    const Json anomalies = j.value("anomalies", Json::array());
    const std::string size = b.size() < expected ? "truncated" : "oversized";
    std::string why;
    if (j.value("size", std::size_t{0}) != b.size()) why = "size";
    else if ((name == "gardRask" || name == "gardErrl") && kind != (name == "gardRask" ? "units" : "errl"))
        why = "kind of a named file";
    else if (j.value("expectedSize", std::size_t{0}) != expected) why = "expected size";
    else if ((status == 3) != !anomalies.empty()) why = "exit status against anomalies";
    else if (b.size() != expected && (anomalies.empty() || anomalies[0].get<std::string>().find(size) == std::string::npos))
        why = "size anomaly";
    else if (kind == "units" && j["entries"].size() != usedUnits(b)) why = "entries of the table";
    else if (kind == "errl" && j["slots"].size() != usedIds(b, 0, 4, 2056, 20)) why = "slots of the file";
    if (!why.empty()) fail({"decode", path}, status, why, j.dump(), path);
}

// A state with one garded unit and error logs stored for the two units of
// DMA path 0x42 (instances 1 and 2), its text and serials as given.
void makeState(const std::string& dir, const Bytes& serial, const Bytes& src) {
    fs::create_directories(dir);  // --state names an existing directory
    for (const std::vector<std::string>& cmd : std::vector<std::vector<std::string>>{
             {"units", "add", "--", "0x10", "1", serial}, {"units", "set-state", "0x10", "1", "garded", "--src=" + src},
             {"platform", "port", "0x2e71", "5"}, {"platform", "port", "0x2e92", "6"},
             {"dma-deconfig", "0x42", "1", "2", "--src=" + src}}) {
        std::vector<std::string> args = {"--state", dir};
        args.insert(args.end(), cmd.begin(), cmd.end());
        check(args, {0}, true);
    }
}
void readState(const std::string& dir) {
    for (const std::vector<std::string>& cmd : std::vector<std::vector<std::string>>{
             {"status"}, {"units", "list"}, {"units", "show", "0x10", "1"}, {"stored-errl", "0x2e71"}, {"errlogs", "show"},
             {"trace"}, {"platform", "fault", "list"}, {"platform", "rmgr-log"}, {"sp", "show"}, {"history", "--all"}}) {
        std::vector<std::string> args = {"--state", dir};
        args.insert(args.end(), cmd.begin(), cmd.end());
        // status answers unknown (1) where a random keyword cannot be read.
        const std::set<int> allowed = cmd[0] == "status" ? std::set<int>{0, 1, 4} : std::set<int>{0, 4};
        for (bool json : {true, false}) check(args, allowed, json, dir);
    }
}

// File i: random, blank, cut from or damaged in a real gard file.
void decodeOne(long i, const Bytes& rask, const Bytes& errl) {
    const char* names[] = {"gardRask", "gardErrl", "image.bin"};
    std::string name = names[below(3)];
    Bytes b;
    switch (i % 6) {
    case 0: b = randomBytes(below(65537)); break;
    case 1: b = Bytes(below(2) ? below(65537) : (below(2) ? 20480 : 51200), '\0'); break;
    case 2: b = Bytes(below(2) ? below(65537) : (below(2) ? 20480 : 51200), '\xff'); break;
    case 3: b = rask.substr(0, below(rask.size() + 1)), name = below(2) ? "gardRask" : "cut.bin"; break;
    case 4: b = errl.substr(0, below(errl.size() + 1)) + (below(4) ? "" : randomBytes(below(512))), name = "gardErrl"; break;
    default:
        b = below(2) ? rask : errl;
        for (std::size_t k = below(64) + 1; k > 0; --k) b[below(b.size())] = static_cast<char>(below(256));
    }
    const std::string path = g_work + "/files/" + name;
    spill(path, b);
    int status = -1;
    const Json j = check({"decode", path}, {0, 3}, true, path, &status);
    judgeDecode(path, name, b, j, status);
    if (i % 5 == 0) check({"decode", path}, {0, 3}, false, path);
}

// A state made with random text, read; then its files made random, read.
// The first state's texts hold every kind of byte that must not reach a
// terminal raw: DEL, an escape sequence, a backslash, bytes that are not
// UTF-8, a right-to-left override.
void stateOne(long i) {
    const std::string dir = g_work + "/state";
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (i == 0)
        makeState(dir, "\x7f\x01\\\xff", "\x7f\x1b[31m\\\xff\xe9\xe2\x80\xae\xc0\x80");
    else
        makeState(dir, randomBytes(1 + below(12), true), randomBytes(1 + below(32), true));
    spill(dir + "/faults", randomBytes(below(200)) + "\n" + randomBytes(below(40), true));
    readState(dir);
    const Bytes rask = randomBytes(20480);
    spill(dir + "/root/opt/p3/gard/gardRask", rask);
    spill(dir + "/root/opt/p3/gard/gardErrl", randomBytes(51200));
    spill(dir + "/vpd/0x201/keyword", randomBytes(below(65)));
    spill(dir + "/errl/committed", slurp(dir + "/errl/committed") + randomBytes(below(300)) + "\n");
    spill(dir + "/trace/gard", slurp(dir + "/trace/gard") + randomBytes(below(300)) + "\n");
    Bytes history = slurp(dir + "/history");
    for (std::size_t k = below(8); k > 0 && !history.empty(); --k) history[below(history.size())] = static_cast<char>(below(256));
    spill(dir + "/history", history + randomBytes(below(300)));
    readState(dir);
    // With no faults, the library lists every unit of the random table.
    spill(dir + "/faults", "");
    const Json list = check({"--state", dir, "units", "list"}, {0}, true, dir);
    if (!list.is_null() && list.value("units", Json::array()).size() != usedUnits(rask))
        fail({"units", "list"}, 0, "units listed of the table", list.dump(), dir);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: gard-robust GARD WORKDIR [--files N] [--states N] [--seconds S] [--seed N]\n";
        return 2;
    }
    g_gard = argv[1], g_work = argv[2];
    long files = 1000, states = 10, seconds = 240, seed = 11;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        long& value = opt == "--files" ? files : opt == "--states" ? states : opt == "--seconds" ? seconds : seed;
        value = std::stol(argv[i + 1]);
    }
    g_rng.seed(static_cast<unsigned>(seed));
    std::error_code ec;
    fs::remove_all(g_work, ec);
    fs::create_directories(g_work);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto late = [&] { return std::chrono::steady_clock::now() > deadline; };

    // Real gard files to cut and damage.
    const std::string gardDir = g_work + "/real/root/opt/p3/gard/";
    makeState(g_work + "/real", "YL10A1", "B1814602");
    const Bytes rask = slurp(gardDir + "gardRask"), errl = slurp(gardDir + "gardErrl");
    if (rask.size() != 20480 || errl.size() != 51200) {
        std::cerr << "FAIL: the real state has gardRask " << rask.size() << " and gardErrl " << errl.size() << " bytes\n";
        return 1;
    }
    long decoded = 0, made = 0;
    for (long i = 0; i < files && !late(); ++i, ++decoded) decodeOne(i, rask, errl);
    for (long i = 0; i < states && !late(); ++i, ++made) stateOne(i);
    std::cout << "gard-robust: decoded " << decoded << " files and read " << made << " random states in " << g_runs
              << " runs: " << g_failures << " failure(s)" << (late() ? " (time limit reached)" : "") << "\n";
    return g_failures == 0 ? 0 : 1;
}
