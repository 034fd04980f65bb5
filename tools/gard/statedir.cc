// The state directory: which one, whether it is ours, its lock, and the
// read-only case.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>

#include "cli.h"
#include "platform/host/host.h"

namespace gardcli {

bool stateDirEntry(const std::string& name) {
    static const std::set<std::string> kOurs = {"root",   "sp0",   "sp1",  "vpd",        "vorm",
                                                "mnfg",   "rmgr",  "errl", "faults",     "trace",
                                                "lock",   "calls.log",     "generation", ".seeded",
                                                "history", "history.1", "history.unusable"};
    return kOurs.count(name) != 0;
}

namespace {
bool g_open = false;

// A directory holding anything but what the host keeps at the top of a
// state directory is someone else's (a home directory given by mistake,
// say), and is not to be filled with gard state.
bool stateDirContent(const std::string& dir) {
    std::error_code ec;
    if (std::filesystem::exists(dir + "/.seeded", ec)) return true;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (!stateDirEntry(entry.path().filename().string())) return false;
    return !ec;
}
}  // namespace

std::string stateDirProblem(const std::string& dir) {
    std::error_code ec;
    namespace fs = std::filesystem;
    if (fs::is_directory(dir, ec))
        return stateDirContent(dir) ? "" : "holds other things: not a gard state directory, and not empty";
    if (fs::exists(fs::symlink_status(dir, ec)))
        return "is not a directory";
    // The nearest part of the path that is there decides whether it can be made.
    fs::path at = fs::path(dir).parent_path();
    while (!at.empty() && !fs::exists(fs::symlink_status(at, ec)) && at != at.parent_path()) at = at.parent_path();
    if (at.empty()) at = ".";
    if (!fs::is_directory(at, ec)) return "cannot be made: " + at.string() + " is not a directory";
    if (access(at.c_str(), W_OK | X_OK) != 0) return "cannot be made in " + at.string() + ": " + errnoWords(errno);
    if (opts().stateGiven) return "does not exist: --state names an existing directory (mkdir -p " + dir + " makes one)";
    return "";
}

std::string stateDirChoice() {
    if (opts().stateGiven) {
        if (opts().stateDir.empty()) throw Usage("--state is empty: give a directory");
        return opts().stateDir;
    }
    if (const char* d = std::getenv("GARD_STATE_DIR"); d && *d) return d;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/gard";
    if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/state/gard";
    throw Usage("no state directory: give --state DIR or set GARD_STATE_DIR");
}

namespace {
// Held until the tool exits, so that commands run at once behave as if run
// one after the other.
gardhost::StateLock g_lock;

// Who holds the lock file `path`, as the kernel lists its locks (Linux):
// "pid 12 (gard units list)", several separated by commas; "" when that
// cannot be told.
std::string lockHolders(const std::string& path) {
    struct stat st {};
    std::ifstream locks("/proc/locks");
    if (stat(path.c_str(), &st) != 0 || !locks) return "";
    std::string line, holders;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->" before FLOCK.
    while (std::getline(locks, line)) {
        std::istringstream in(line);
        std::string number, kind, advisory, mode, device;
        long pid = 0;
        if (!(in >> number >> kind >> advisory >> mode >> pid >> device) || kind != "FLOCK" || pid == getpid())
            continue;
        const std::size_t colon = device.rfind(':');
        if (colon == std::string::npos || std::strtoull(device.c_str() + colon + 1, nullptr, 10) != st.st_ino) continue;
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        std::replace(args.begin(), args.end(), '\0', ' ');
        while (!args.empty() && args.back() == ' ') args.pop_back();
        if (args.rfind('/', args.find(' ')) != std::string::npos) args.erase(0, args.rfind('/', args.find(' ')) + 1);
        holders += (holders.empty() ? "" : ", ") + ("pid " + std::to_string(pid)) +
                   (args.empty() ? "" : " (" + shown(args.substr(0, 80)) + ")");
    }
    return holders;
}

void lockState(const std::string& dir) {
    using gardhost::StateLock;
    const bool shared = opts().access == Access::Reads;
    g_lock = StateLock(shared ? StateLock::kShared : StateLock::kExclusive, [dir, shared] {
        const std::string path = dir + "/lock", holders = lockHolders(path);
        std::cerr << "gard: waiting for the lock of state directory " << dir << " (" << path << ", to "
                  << (shared ? "read it beside other readers" : "use it alone") << "), held by "
                  << (holders.empty() ? "another command or program" : holders) << '\n';
    });
    const std::string why = g_lock.error() != 0 ? std::string(": ") + std::strerror(g_lock.error()) : "";
    const std::string cannot = "cannot lock state directory " + dir + ": ";
    switch (g_lock.status()) {
        case StateLock::kHeld:
        case StateLock::kNotTaken:
            return;
        case StateLock::kUncreatable:
            // A read-only state directory: reading it needs no lock, changing it would.
            if (opts().access == Access::Changes) throw Usage(cannot + "cannot create " + g_lock.path() + why);
            // Library queries go on unlocked, through a copy (see openState).
            if (shared)
                std::cerr << "gard: reading " << dir << " without its lock (cannot create " << g_lock.path()
                          << why << ")\n";
            return;
        case StateLock::kNotRegular:
            throw Usage(cannot + g_lock.path() + " is not a regular file (remove it; gard makes a new one)");
        case StateLock::kUnopenable:
            throw Usage(cannot + "cannot open " + g_lock.path() + why);
    }
}
}  // namespace

Access commandAccess(CLI::App& app) {
    CLI::App* leaf = &app;
    std::string name;
    while (!leaf->get_subcommands().empty()) {
        leaf = leaf->get_subcommands().front();
        name += (name.empty() ? "" : " ") + leaf->get_name();
    }
    auto given = [&](const char* option) {
        const CLI::Option* o = leaf->get_option_no_throw(option);
        return o != nullptr && o->count() > 0;
    };
    const auto readsIf = [](bool reads) { return reads ? Access::Reads : Access::Changes; };
    // Nearly every library call may write (record repairs, file creation):
    // only commands that read the platform's values and logs directly read.
    if (name == "errlogs list" || name == "errlogs show" || name == "platform rmgr-log" ||
        name == "platform unit-id" || name == "history" || name == "diff")
        return Access::Reads;
    if (name == "trace") return readsIf(!given("--clear"));
    if (name.rfind("platform fault", 0) == 0) return readsIf(name == "platform fault list");
    // The other platform commands show their value unless given a new one.
    if (name.rfind("platform ", 0) == 0) return readsIf(!given("VALUE") && !given("--remove") && !given("--bytes"));
    // Library queries; `sp garded` is not one: it may assert the sibling's
    // reset or gard the backup.
    static const std::set<std::string> kQueries = {
        "status",       "units list",  "units show",        "units is-garded", "sp show",
        "sp do-gard",   "sp usable",   "sp failover",       "sp dma-config",   "stored-errl"};
    return kQueries.count(name) != 0 ? Access::Asks : Access::Changes;
}

void refuseInsideState(const std::string& path, const std::string& option) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // What a write by rename replaces is the entry `path` names in its
    // directory, wherever a link there points.
    const fs::path given(path);
    const fs::path parent = fs::weakly_canonical(given.has_parent_path() ? given.parent_path() : fs::path("."), ec);
    fs::path dir = fs::weakly_canonical(stateDirChoice(), ec);
    if (ec) return;
    if (dir.filename().empty()) dir = dir.parent_path();  // "/tmp/gs/"
    const fs::path target = given.filename().empty() || given.filename() == "." || given.filename() == ".."
                                ? fs::weakly_canonical(given, ec)
                                : parent / given.filename();
    const auto [end, at] = std::mismatch(dir.begin(), dir.end(), target.begin(), target.end());
    if (end == dir.end())
        throw Usage(option + " " + path + " is inside the state directory " + stateDirChoice() +
                    ": give a file outside it (gard writes nothing there on request)");
}

void openState() {
    if (g_open) return;
    std::string dir = stateDirChoice();
    std::error_code ec;
    // A typo in --state is no new state directory: only an existing one is used.
    if (opts().stateGiven && !std::filesystem::exists(std::filesystem::symlink_status(dir, ec)))
        throw Usage("state directory " + dir + " " + stateDirProblem(dir));
    if (std::filesystem::is_directory(dir, ec) && !stateDirContent(dir))
        throw Usage(dir + " is not a gard state directory and not empty: give a new or empty directory");
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir))
        throw Usage("cannot create state directory " + dir + ": " +
                    (ec ? ec.message() : std::string(std::strerror(ENOTDIR))));
    gardhost::setStateDir(dir);
    lockState(dir);
    const bool unlocked = g_lock.status() == gardhost::StateLock::kUncreatable;
    if (opts().access != Access::Reads && (unlocked || access(dir.c_str(), W_OK | X_OK) != 0)) {
        const std::string why = unlocked ? "cannot create " + g_lock.path() + ": " + std::strerror(g_lock.error())
                                         : std::string("cannot be changed: ") + std::strerror(errno);
        if (opts().access == Access::Changes) throw Usage("state directory " + dir + " " + why);
        // Library queries may repair records or create files: they run on a
        // copy, so that a read-only state directory can still be asked.
        std::cerr << "gard: reading " << dir << " through a copy (" << why
                  << "): library queries may repair records or create files\n";
        gardhost::setStateDir(readOnlyCopy(dir));
    }
    if (opts().sp >= 0) gardhost::setPosition(opts().sp);
    gardhost::seedDefaults();
    committedShown();
    g_open = true;
}

bool stateOpen() { return g_open; }

bool peekState() {
    const std::string dir = stateDirChoice();
    std::error_code ec;
    if (!std::filesystem::exists(dir + "/.seeded", ec) || access(dir.c_str(), W_OK | X_OK) != 0) return false;
    const auto lock = std::filesystem::symlink_status(dir + "/lock", ec);
    if (std::filesystem::exists(lock) && !std::filesystem::is_regular_file(lock)) return false;
    gardhost::setStateDir(dir);
    return true;
}

std::string settleState(std::vector<std::string>& notWritten) {
    if (!g_lock.held()) return "";
    if (opts().access != Access::Changes || opts().dryRun) {
        // A gard file made zero-filled on first use is no repair worth a word.
        for (const gardhost::StagedChange& c : gardhost::stagedChanges())
            if (!c.setup && !(!c.existed && std::all_of(c.after.begin(), c.after.end(), [](uint8_t b) { return b == 0; })))
                for (std::string& w : stagedWords(c)) notWritten.push_back(std::move(w));
        g_lock.discard();
        return "";
    }
    const int err = g_lock.commit();
    return err == 0 ? "" : "the state directory could not be changed (" + errnoWords(err) + "); nothing of this command's changes was made";
}

void letGoOfState() {
    std::vector<std::string> unsaid;
    settleState(unsaid);
    g_lock.release();
}

void dropChanges() {
    if (g_lock.held()) g_lock.discard();
}

void newCall() {
    if (!g_lock.held()) return;
    g_lock.release();
    lockState(stateDirChoice());
}

std::string makeTempDir(const std::string& prefix) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr) throw Usage("cannot create a temporary directory " + pattern);
    return dir.data();
}

std::string valueProblem(const std::string& name) {
    std::vector<uint8_t> b;
    const int err = gardhost::readState(name, b);
    if (err == 0) return "holds " + std::to_string(b.size()) + " bytes (" + hexBytes(b.data(), b.size()) + ")";
    if (err == ENOENT || err == ENOTDIR) return "is missing";
    return err == EINVAL || err == EISDIR ? "cannot be read (not a regular file)" : "cannot be read (" + errnoWords(err) + ")";
}

std::string unreadableValue(const std::string& name) {
    std::vector<uint8_t> b;
    if (gardhost::getValue(name, b)) return "";
    const std::string why = valueProblem(name);
    return why == "is missing" ? "" : name + " " + why;
}

std::string committedUnreadable() {
    const std::string why = unreadableValue("errl/committed.1");
    return why.empty() ? unreadableValue("errl/committed") : why;
}

bool hostNumber(const std::string& name, uint32_t& value) {
    std::vector<uint8_t> b;
    if (!gardhost::getValue(name, b) || b.empty() || b.size() == 3) return false;
    if (b.size() == 1) {
        value = b[0];
    } else if (b.size() == 2) {
        uint16_t v16 = 0;
        std::memcpy(&v16, b.data(), 2);
        value = v16;
    } else {
        std::memcpy(&value, b.data(), 4);
    }
    return true;
}

}  // namespace gardcli
