// Scratch directories, and the copy of a read-only state directory that
// library queries run on. A scratch directory goes when the tool exits and
// also when SIGINT, SIGTERM or SIGHUP ends it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli.h"

namespace gardcli {

namespace {

// The scratch directory to remove, for the signal handler: a fixed buffer,
// set while the signals are blocked.
char g_scratch[PATH_MAX];
volatile sig_atomic_t g_scratchSet = 0;

// Removes `name` below `parent` and everything in it, links as links.
// Async-signal-safe: system calls on a stack buffer, no allocation.
void removeTree(int parent, const char* name) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        unlinkat(parent, name, 0);
        return;
    }
    // Entries removed while reading may hide others: read again until a
    // pass removes nothing.
    for (bool removed = true; removed;) {
        removed = false;
        lseek(fd, 0, SEEK_SET);
        alignas(8) char buf[4096];
        for (long n; (n = syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0;) {
            for (long at = 0; at < n;) {
                // struct linux_dirent64: inode, offset, record length, type, name.
                unsigned short length = 0;
                std::memcpy(&length, buf + at + 16, sizeof length);
                const char* entry = buf + at + 19;
                at += length;
                if (std::strcmp(entry, ".") == 0 || std::strcmp(entry, "..") == 0) continue;
                struct stat st {};
                if (fstatat(fd, entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) removeTree(fd, entry);
                else unlinkat(fd, entry, 0);
                removed = true;
            }
        }
    }
    close(fd);
    unlinkat(parent, name, AT_REMOVEDIR);
}

void removeScratch() {
    if (g_scratchSet != 0) removeTree(AT_FDCWD, g_scratch);
    g_scratchSet = 0;
}

void onSignal(int sig) {
    removeScratch();
    signal(sig, SIG_DFL);
    raise(sig);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// What a copy of a state directory may hold: beyond it the copy is refused,
// so that a state directory grown by accident cannot fill the disk.
constexpr std::uintmax_t kCopyBytes = 64u << 20;
constexpr std::size_t kCopyEntries = 10000;

// A file descriptor closed when it goes.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

struct Copy {
    std::uintmax_t bytes = 0;
    std::size_t entries = 0;
    std::vector<std::string> left;  // what was not copied, and why
};

void copyFile(int from, int to, const char* name, const std::string& path, const struct stat& st, Copy& c) {
    const Fd in(openat(from, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (in.fd < 0) throw Usage("cannot read " + shown(path) + ": " + errnoWords(errno));
    const Fd out(openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, (st.st_mode & 0777) | 0600));
    if (out.fd < 0) throw Usage("cannot copy " + shown(path) + ": " + errnoWords(errno));
    char buf[65536];
    for (ssize_t n; (n = read(in.fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Usage("cannot read " + shown(path) + ": " + errnoWords(errno));
        if ((c.bytes += static_cast<std::uintmax_t>(n)) > kCopyBytes)
            throw Usage("the state directory holds more than " + std::to_string(kCopyBytes >> 20) +
                    " MiB of files (" + shown(path) + " passes it): too big for a query on a copy; "
                    "copy it yourself to a writable place and give that with --state");
        if (write(out.fd, buf, static_cast<std::size_t>(n)) != n)
            throw Usage("cannot copy " + shown(path) + ": " + errnoWords(errno));
    }
}

// Copies the directory open as `from` into `to`: regular files and
// directories only, no symbolic link followed.
void copyTree(int from, int to, const std::string& path, bool top, Copy& c) {
    DIR* dir = fdopendir(dup(from));
    if (dir == nullptr) throw Usage("cannot read " + shown(path) + ": " + errnoWords(errno));
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
    for (dirent* e; (e = readdir(dir)) != nullptr;) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        // At the top only what the host keeps there; not its call log, which
        // only grows, nor the lock, which the copy does not take.
        if (top && (!stateDirEntry(name) || name == "calls.log" || name == "lock")) continue;
        const std::string at = path + "/" + name;
        if (++c.entries > kCopyEntries)
            throw Usage("the state directory holds more than " + std::to_string(kCopyEntries) +
                        " files: too many for a query on a copy");
        struct stat st {};
        if (fstatat(from, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            throw Usage("cannot read " + shown(at) + ": " + errnoWords(errno));
        if (S_ISREG(st.st_mode)) {
            copyFile(from, to, e->d_name, at, st, c);
        } else if (S_ISDIR(st.st_mode)) {
            const Fd sub(openat(from, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.fd < 0) throw Usage("cannot read " + shown(at) + ": " + errnoWords(errno));
            const Fd made(mkdirat(to, e->d_name, 0700) == 0 ? openat(to, e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
            if (made.fd < 0) throw Usage("cannot copy " + shown(at) + ": " + errnoWords(errno));
            copyTree(sub.fd, made.fd, at, false, c);
        } else {
            c.left.push_back(shown(at) + (S_ISLNK(st.st_mode)    ? " (a symbolic link, not followed)"
                                          : S_ISFIFO(st.st_mode) ? " (a named pipe)"
                                                                 : " (neither a file nor a directory)"));
        }
    }
}

}  // namespace

std::string scratchDir(const std::string& prefix) {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/" + prefix + ".XXXXXX";
    if (g_scratchSet != 0 || pattern.size() >= sizeof g_scratch) return makeTempDir(prefix);
    // The handler sees the name only once the directory is there.
    sigset_t block, old;
    sigemptyset(&block);
    for (int s : kSignals) sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &old);
    std::memcpy(g_scratch, pattern.c_str(), pattern.size() + 1);
    const bool made = mkdtemp(g_scratch) != nullptr;
    g_scratchSet = made ? 1 : 0;
    static bool installed = false;
    if (made && !installed) {
        installed = true;
        std::atexit(removeScratch);
        for (int s : kSignals) {
            struct sigaction now {}, before {};
            sigaction(s, nullptr, &before);
            if (before.sa_handler == SIG_IGN) continue;  // nohup: stays ignored
            now.sa_handler = onSignal;
            sigemptyset(&now.sa_mask);
            sigaction(s, &now, nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (!made) throw Usage("cannot create a temporary directory " + pattern + ": " + errnoWords(errno));
    return g_scratch;
}

void dropScratch() { removeScratch(); }

std::string readOnlyCopy(const std::string& dir) {
    const std::string scratch = scratchDir("gard-readonly");
    const Fd from(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (from.fd < 0) throw Usage("cannot read " + shown(dir) + ": " + errnoWords(errno));
    const Fd to(open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Copy c;
    copyTree(from.fd, to.fd, dir, true, c);
    if (!c.left.empty()) {
        std::string names;
        for (std::size_t i = 0; i < c.left.size() && i < 3; ++i) names += (i == 0 ? "" : ", ") + c.left[i];
        if (c.left.size() > 3) names += " and " + std::to_string(c.left.size() - 3) + " more";
        std::cerr << "gard: the copy leaves out what is neither a file nor a directory, read as missing: " << names
                  << '\n';
    }
    return scratch;
}

}  // namespace gardcli
