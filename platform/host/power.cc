// Test modes that stop a process or the machine where a real one may stop:
// crash points, where a process kills itself, and simulated power loss,
// which keeps track of what each sync made durable and, at a cut, throws
// away everything else, as a machine that loses power does.
//
// With GARD_HOST_POWERSIM=<dir>, syncs are not made but recorded in <dir>:
// the content of a synced file under its inode, the entries of a synced
// directory under its inode. A cut rebuilds the state directory from the
// root's entries down, each directory as its last sync recorded it or, by
// chance, as it stood (renames and creations since may or may not have
// reached the disk). What a file's last sync made durable stays; what was
// written after it may be there, in part, or as junk or zeros (a file never
// synced may be empty), each by a seeded random choice.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace fs = std::filesystem;

namespace gardhost {
namespace {

// ---- crash points

struct CrashAt {
    std::string name;  // empty: any point
    long nth = 0;      // 0: none
};

const CrashAt& crashAt() {
    static const CrashAt at = [] {
        CrashAt c;
        const char* env = std::getenv("GARD_HOST_CRASH_AT");
        if (env == nullptr || *env == '\0') return c;
        std::string text = env;
        std::size_t hash = text.rfind('#');
        if (hash != std::string::npos) {
            c.name = text.substr(0, hash);
            text = text.substr(hash + 1);
        }
        c.nth = std::strtol(text.c_str(), nullptr, 10);
        return c;
    }();
    return at;
}

std::atomic<long> g_points{0};

// ---- simulated power loss

std::mutex g_simMutex;
std::string g_sim;
bool g_simRead = false;
std::atomic<uint64_t> g_flushes{0};

// GARD_HOST_POWERSIM, read once; startPowerSim sets it.
std::string simDir() {
    std::lock_guard<std::mutex> lock(g_simMutex);
    if (!g_simRead) {
        const char* env = std::getenv("GARD_HOST_POWERSIM");
        g_sim = env != nullptr ? env : "";
        g_simRead = true;
    }
    return g_sim;
}

std::string key(const struct stat& st) {
    return std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino);
}

// Writes a record whole: a process may be killed while writing one.
void putRecord(const std::string& dir, const std::string& name, const std::string& bytes) {
    static std::atomic<unsigned> serial{0};
    const std::string tmp = dir + "/.w" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::rename(tmp.c_str(), (dir + "/" + name).c_str());
}

std::string readAll(int fd) {
    std::string out;
    char buf[65536];
    for (off_t at = 0;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    return out;
}

// The entries of a directory, one a line: type, key, mode, name in hex
// (and a link's target in hex).
std::string listing(int dirFd) {
    std::string out;
    int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return out;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return out;
    }
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        char type = S_ISREG(st.st_mode) ? 'f' : S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'o';
        if (type == 'o') continue;
        out.append(1, type).append(1, ' ').append(key(st)).append(1, ' ');
        out.append(std::to_string(st.st_mode & 07777)).append(1, ' ').append(detail::hexText(name));
        if (type == 'l') {
            char target[4096];
            ssize_t n = ::readlinkat(fd, e->d_name, target, sizeof target);
            out.append(1, ' ').append(detail::hexText(std::string_view(target, n > 0 ? static_cast<std::size_t>(n) : 0)));
        }
        out.append(1, '\n');
    }
    ::closedir(d);
    return out;
}

void recordFile(const std::string& sim, int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    std::string name(1, S_ISDIR(st.st_mode) ? 'd' : 'f');
    name.append(key(st));
    if (S_ISDIR(st.st_mode)) {
        putRecord(sim, name, listing(fd));
        return;
    }
    // The descriptor may be open for writing only (an append).
    int readable = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (readable < 0) return;
    // A file only appended to gets its new end added to its record: copying
    // a long history whole at every sync made the test slow.
    struct stat rec {};
    const std::string path = sim + "/" + name;
    if ((::fcntl(fd, F_GETFL) & O_APPEND) != 0 && ::stat(path.c_str(), &rec) == 0 && rec.st_size <= st.st_size) {
        int out = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        std::string tail;
        char buf[65536];
        for (off_t at = rec.st_size;;) {
            ssize_t n = ::pread(readable, buf, sizeof buf, at);
            if (n <= 0) break;
            tail.append(buf, static_cast<std::size_t>(n));
            at += n;
        }
        if (out >= 0 && ::write(out, tail.data(), tail.size()) == static_cast<ssize_t>(tail.size())) {
            ::close(out);
            ::close(readable);
            return;
        }
        if (out >= 0) ::close(out);
    }
    putRecord(sim, name, readAll(readable));
    ::close(readable);
}

// Calls each(isDirectory, key, name, fd) for every file and directory of a
// listing of `dirFd`, opened without following links.
template <class Each>
void eachListed(int dirFd, const std::string& entries, Each&& each) {
    std::istringstream lines(entries);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string type, k, mode, name;
        fields >> type >> k >> mode >> name;
        if (type != "f" && type != "d") continue;
        int fd = ::openat(dirFd, detail::unhexText(name).c_str(),
                          (type == "d" ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        each(type == "d", k, detail::unhexText(name), fd);
        ::close(fd);
    }
}

// Records everything below `dirFd` as durable.
void recordTree(const std::string& sim, int dirFd) {
    recordFile(sim, dirFd);
    eachListed(dirFd, listing(dirFd), [&](bool dir, const std::string&, const std::string&, int fd) {
        if (dir)
            recordTree(sim, fd);
        else
            recordFile(sim, fd);
    });
}

std::string record(const std::string& sim, const std::string& name, bool& found) {
    std::ifstream in(sim + "/" + name, std::ios::binary);
    found = static_cast<bool>(in);
    return found ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

// What the state directory held at the cut: each directory's entries and
// each file's content, by key, and where each file was.
struct Live {
    std::map<std::string, std::string> dirs, files;
    std::map<std::string, fs::path> paths;
};

void readLive(int dirFd, const fs::path& path, Live& live, int depth) {
    struct stat st {};
    if (::fstat(dirFd, &st) != 0 || depth > 32) return;
    const std::string entries = listing(dirFd);
    // Built piece by piece: GCC 12 at -O3 sees a false overlap (-Wrestrict) in "d" + key(st).
    std::string dirKey = "d";
    dirKey += key(st);
    live.dirs[dirKey] = entries;
    eachListed(dirFd, entries, [&](bool dir, const std::string& k, const std::string& name, int fd) {
        if (dir) {
            readLive(fd, path / name, live, depth + 1);
        } else {
            live.files["f" + k] = readAll(fd);
            live.paths.emplace(k, path / name);
        }
    });
}

// What a file holds after the cut, given what its last sync made durable
// (`synced`, when `wasSynced`) and what it held at the cut. What a sync made
// durable stays; what came after it may be there, partly, or as junk.
std::string afterCut(bool wasSynced, const std::string& synced, const std::string* live, std::mt19937_64& random) {
    if (live == nullptr || (wasSynced && *live == synced)) return synced;
    auto junk = [&](std::size_t n) {
        std::string out(n, '\0');
        for (char& c : out) c = static_cast<char>(random());
        return out;
    };
    auto upTo = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(random); };
    if (!wasSynced) {
        // Never synced: nothing, all of it, a first part, junk, or zeros.
        switch (random() % 5) {
            case 0: return std::string();
            case 1: return *live;
            case 2: return live->substr(0, upTo(live->size()));
            case 3: return junk(upTo(live->size() + 64));
            default: return std::string(live->size(), '\0');
        }
    }
    if (live->size() > synced.size() && live->compare(0, synced.size(), synced) == 0) {
        // Appended since: none of it, all, a first part, or a first part and junk.
        const std::string tail = live->substr(synced.size());
        switch (random() % 4) {
            case 0: return synced;
            case 1: return *live;
            case 2: return synced + tail.substr(0, upTo(tail.size()));
            default: return synced + tail.substr(0, upTo(tail.size())) + junk(upTo(64));
        }
    }
    // Written in place since: its size old or new, and in each sector the
    // bytes that changed old, new or junk. A byte written with what it held
    // keeps it: a write never spoils the bytes around the ones it changes
    // (what a disk that writes whole sectors, or none, gives).
    constexpr std::size_t kSector = 512;
    std::string out(random() % 2 != 0 ? live->size() : synced.size(), '\0');
    for (std::size_t at = 0; at < out.size(); at += kSector) {
        const std::size_t n = std::min(kSector, out.size() - at);
        const auto choice = random() % 3;
        const std::string noise = junk(n);
        for (std::size_t i = at; i < at + n; ++i) {
            const char before = i < synced.size() ? synced[i] : '\0', now = i < live->size() ? (*live)[i] : '\0';
            out[i] = before == now || choice == 0 ? before : choice == 1 ? now : noise[i - at];
        }
    }
    return out;
}

// Builds at `path` the directory recorded under `k`.
void rebuild(const std::string& sim, const std::string& k, const fs::path& path, int depth, std::string& report,
             const Live& live, const fs::path& kept, std::mt19937_64& random) {
    bool found = false;
    std::string entries = record(sim, "d" + k, found);
    const auto now = live.dirs.find("d" + k);
    // Entries made or renamed since the last sync may have reached the disk.
    if (now != live.dirs.end() && now->second != entries && (random() & 1) != 0) entries = now->second;
    if (!found) report += path.string() + ": its entries were never synced\n";
    std::istringstream lines(entries);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string type, entry, mode, name, target;
        fields >> type >> entry >> mode >> name >> target;
        const fs::path at = path / detail::unhexText(name);
        const auto perms = static_cast<fs::perms>(std::strtoul(mode.c_str(), nullptr, 10));
        std::error_code ec;
        if (type == "d") {
            fs::create_directory(at, ec);
            fs::permissions(at, perms, ec);
            if (depth < 32) rebuild(sim, entry, at, depth + 1, report, live, kept, random);
        } else if (type == "l") {
            fs::create_symlink(detail::unhexText(target), at, ec);
        } else if (type == "f") {
            bool synced = false;
            const std::string bytes = record(sim, "f" + entry, synced);
            const auto held = live.files.find("f" + entry);
            const std::string content =
                afterCut(synced, bytes, held != live.files.end() ? &held->second : nullptr, random);
            if (!synced) report += at.string() + ": its content was never synced\n";
            // The same file where it still stands (a disk keeps a file's inode
            // across a cut); else a new one.
            fs::rename(kept / entry, at, ec);
            if (!ec) fs::permissions(at, fs::perms::owner_write, fs::perm_options::add, ec);
            std::ofstream(at, std::ios::binary | std::ios::trunc).write(content.data(),
                                                                         static_cast<std::streamsize>(content.size()));
            fs::permissions(at, perms, ec);
        }
    }
}

}  // namespace

void stopPowerSim() {
    ::unsetenv("GARD_HOST_POWERSIM");
    std::lock_guard<std::mutex> lock(g_simMutex);
    g_sim.clear();
    g_simRead = true;
}

void startPowerSim(const std::string& sim) {
    ::setenv("GARD_HOST_POWERSIM", sim.c_str(), 1);
    {
        std::lock_guard<std::mutex> lock(g_simMutex);
        g_sim = sim;
        g_simRead = true;
    }
    // The simulated boot goes on across the cuts of one simulation.
    bool had = false;
    const std::string boot = record(sim, "boot", had);
    std::error_code ec;
    fs::remove_all(sim, ec);
    fs::create_directories(sim, ec);
    putRecord(sim, "boot", had ? boot : "1");
    const std::string dir = detail::chosenDir();
    putRecord(sim, "dir", dir);
    int root = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return;
    struct stat st {};
    ::fstat(root, &st);
    putRecord(sim, "root", key(st));
    recordTree(sim, root);
    ::close(root);
}

std::string cutPower(const std::string& sim, uint64_t seed) {
    const std::string dir = detail::chosenDir();
    bool found = false;
    const std::string root = record(sim, "root", found);
    if (!found) return "no simulated power loss was started for " + dir;
    Live live;
    if (int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
        readLive(fd, dir, live, 0);
        ::close(fd);
    }
    // Every file is set aside under its key, so that the rebuilt tree can
    // take it back in place; all else goes.
    const fs::path kept = fs::path(dir) / ".power-cut";
    std::error_code ec;
    fs::remove_all(kept, ec);
    fs::create_directory(kept, ec);
    for (const auto& [k, path] : live.paths) fs::rename(path, kept / k, ec);
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.path() != kept) fs::remove_all(entry.path(), ec);
    std::string report;
    std::mt19937_64 random(seed != 0 ? seed : std::random_device{}());
    rebuild(sim, root, dir, 0, report, live, kept, random);
    fs::remove_all(kept, ec);
    // The next processes run in a boot of their own.
    bool had = false;
    const std::string boot = record(sim, "boot", had);
    putRecord(sim, "boot", std::to_string(std::strtoull(boot.c_str(), nullptr, 10) + 1));
    setStateDir(dir);  // nothing this process knew of the directory holds
    startPowerSim(sim);
    return report;
}

namespace detail {

void crashPoint(const char* name) {
    listPoint("crash", name);
    const CrashAt& at = crashAt();
    if (at.nth == 0) return;
    if (!at.name.empty() && at.name != name) return;
    if (g_points.fetch_add(1) + 1 == at.nth) ::raise(SIGKILL);
}

namespace {

// With simulated power loss the sync is recorded, not made.
int durable(int fd, int (*sync)(int), std::string_view what) {
    ++g_flushes;
    if (callLogToFile()) appendLine("calls.log", "host::flush target=" + std::string(what) + " args=-");
    if (const std::string sim = simDir(); !sim.empty()) {
        if (!detail::syncOn()) return 0;
        recordFile(sim, fd);
        return 0;
    }
    while (sync(fd) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

}  // namespace

int syncFile(int fd, std::string_view what) { return durable(fd, ::fdatasync, what); }

int syncAll() {
    const int root = rootFd();
    if (root < 0) return ENOENT;
    ++g_flushes;
    if (callLogToFile()) appendLine("calls.log", "host::flush target=(all) args=-");
    if (const std::string sim = simDir(); !sim.empty()) {
        if (syncOn()) recordTree(sim, root);  // every file and directory, as it stands
        return 0;
    }
    return ::syncfs(root) == 0 ? 0 : errno;
}
int syncDir(int dirFd, std::string_view what) { return durable(dirFd, ::fsync, what); }

uint64_t bootId() {
    auto hash = [](const std::string& text) {
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
        return h | 1;  // never 0, the mark of a page not recovered
    };
    // Simulated, for the state directory whose power is simulated: the cuts
    // counted in the simulation's directory.
    if (const std::string sim = simDir(); !sim.empty()) {
        bool found = false;
        if (record(sim, "dir", found) == detail::chosenDir() && found)
            return hash("sim " + record(sim, "boot", found));
    }
    static const uint64_t real = [&] {
        std::ifstream in("/proc/sys/kernel/random/boot_id");
        std::string id;
        std::getline(in, id);
        return hash(id.empty() ? std::string("no boot id") : id);
    }();
    return real;
}

}  // namespace detail

uint64_t flushes() { return g_flushes.load(); }

namespace detail {

void created(int fd) {
    const std::string sim = simDir();
    if (sim.empty() || !syncOn()) return;  // sync off, nothing is durable
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    std::string name(1, S_ISDIR(st.st_mode) ? 'd' : 'f');
    putRecord(sim, name.append(key(st)), "");
}

}  // namespace detail
}  // namespace gardhost
