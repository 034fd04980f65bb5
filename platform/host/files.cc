// File operations confined to the state directory: whole-file replacement
// that no reader sees half-done, appends, and the flushes of checkpoints.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/host/detail.h"

namespace gardhost::detail {
namespace {

constexpr uint64_t kBeneath = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
std::atomic<bool> g_noOpenat2{false};  // the kernel lacks it: components are walked instead

// Opens `name` beneath `dirFd` one component at a time, never through a link.
int walkOpen(int dirFd, const char* name, int flags, mode_t mode) {
    std::vector<std::string> parts;
    for (const char* p = name; *p != '\0';) {
        const char* end = std::strchr(p, '/');
        if (end == nullptr) end = p + std::strlen(p);
        std::string part(p, static_cast<std::size_t>(end - p));
        if (part == "..") return -EXDEV;
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        p = *end == '/' ? end + 1 : end;
    }
    if (parts.empty()) parts.emplace_back(".");
    int fd = ::openat(dirFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t i = 0; fd >= 0 && i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        int next = last ? ::openat(fd, parts[i].c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode)
                        : ::openat(fd, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        ::close(fd);
        if (next < 0) return -err;
        fd = next;
    }
    return fd < 0 ? -errno : fd;
}

// The directory part and the last component of a name.
std::pair<std::string_view, std::string_view> split(std::string_view name) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view(), name};
    return {name.substr(0, slash), name.substr(slash + 1)};
}

int flockRetrying(int fd, int operation) {
    int rc;
    while ((rc = ::flock(fd, operation)) != 0 && errno == EINTR) {
    }
    return rc;
}


// Descriptors of the files appended to, kept open: checking that one is
// still linked costs less than looking its path up again.
std::mutex g_appendMutex;
std::map<std::string, int, std::less<>> g_appends;

bool temporaryName(std::string_view n) {
    if (n.size() < 9 || n[0] != '.' || n[n.size() - 7] != '.') return false;
    return std::all_of(n.end() - 6, n.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// Removes, below `dirFd`, the temporaries whose writer no longer holds their lock.
void sweepBelow(int dirFd, int depth) {
    if (depth > 16) return;
    int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return;
    }
    std::vector<std::string> dirs;
    while (dirent* e = ::readdir(d)) {
        const std::string_view n = e->d_name;
        if (n == "." || n == "..") continue;
        if (e->d_type == DT_DIR) {
            dirs.emplace_back(n);
        } else if (n.size() > 9 && n[0] == '.' && n.substr(n.size() - 8) == ".standby" &&
                   (e->d_type == DT_REG || e->d_type == DT_UNKNOWN)) {
            ::unlinkat(fd, e->d_name, 0);  // an earlier version's spare copy: nothing reads it
        } else if (temporaryName(n) && (e->d_type == DT_REG || e->d_type == DT_UNKNOWN)) {
            int t = ::openat(fd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (t < 0) continue;
            struct stat open {}, named {};
            if (flockRetrying(t, LOCK_EX | LOCK_NB) == 0 && fstatQuiet(t, &open) == 0 && S_ISREG(open.st_mode) &&
                fstatatQuiet(fd, e->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == open.st_ino)
                ::unlinkat(fd, e->d_name, 0);
            ::close(t);
        }
    }
    for (const std::string& sub : dirs) {
        int s = ::openat(fd, sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (s < 0) continue;
        sweepBelow(s, depth + 1);
        ::close(s);
    }
    ::closedir(d);
}

}  // namespace

int writePieces(int fd, const Piece* pieces, std::size_t count, off_t offset) {
    static const uint8_t kZeros[4096] = {};
    iovec iov[16];
    int n = 0;
    auto flush = [&]() -> int {
        iovec* v = iov;
        while (n > 0) {
            ssize_t w = offset < 0 ? ::writev(fd, v, n) : ::pwritev(fd, v, n, offset);
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (offset >= 0) offset += w;
            auto done = static_cast<std::size_t>(w);
            while (n > 0 && done >= v->iov_len) {
                done -= v->iov_len;
                ++v;
                --n;
            }
            if (n > 0) {
                v->iov_base = static_cast<char*>(v->iov_base) + done;
                v->iov_len -= done;
            }
        }
        return 0;
    };
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t left = pieces[i].size;
        const auto* data = static_cast<const uint8_t*>(pieces[i].data);
        while (left > 0) {
            std::size_t len = data != nullptr ? left : std::min(left, sizeof kZeros);
            iov[n++] = iovec{const_cast<uint8_t*>(data != nullptr ? data : kZeros), len};
            if (data != nullptr) data += len;
            left -= len;
            if (n == 16)
                if (int err = flush(); err != 0) return err;
        }
    }
    return flush();
}

int fstatatQuiet(int dirFd, const char* path, struct stat* st, int flags) {
    struct statx x {};
    if (::statx(dirFd, path, flags, STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE, &x) != 0)
        return -1;
    *st = {};
    st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st->st_ino = x.stx_ino;
    st->st_mode = x.stx_mode;
    st->st_nlink = x.stx_nlink;
    st->st_size = static_cast<off_t>(x.stx_size);
    return 0;
}

int fstatQuiet(int fd, struct stat* st) { return fstatatQuiet(fd, "", st, AT_EMPTY_PATH); }

bool ownRegular(int fd, struct stat& st) {
    return fstatQuiet(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
}

int openIn(std::string_view name, int flags, mode_t mode) {
    const int root = rootFd();
    if (root < 0) return -ENOENT;
    Name n;
    n.add(name.empty() ? std::string_view(".") : name);
    if (!g_noOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) != 0 ? mode : 0;
        how.resolve = kBeneath;
        for (;;) {
            long fd = ::syscall(SYS_openat2, root, n.c_str(), &how, sizeof how);
            if (fd >= 0) return static_cast<int>(fd);
            if (errno == EINTR || errno == EAGAIN) continue;
            if (errno != ENOSYS) return -errno;
            g_noOpenat2 = true;
            break;
        }
    }
    return walkOpen(root, n.c_str(), flags, mode);
}

int openDirIn(std::string_view name, bool make) {
    int fd = openIn(name, O_RDONLY | O_DIRECTORY);
    if (fd != -ENOENT || !make) return fd;
    // Made one component at a time; a checkpoint makes them durable.
    int parent = openIn("", O_RDONLY | O_DIRECTORY);
    if (parent < 0) return parent;
    std::size_t at = 0;
    while (at <= name.size()) {
        std::size_t end = std::min(name.find('/', at), name.size());
        const std::string part(name.substr(at, end - at));
        at = end + 1;
        if (part.empty() || part == ".") continue;
        bool made = ::mkdirat(parent, part.c_str(), 0755) == 0;
        int next = ::openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        if (next >= 0 && made) created(next);
        ::close(parent);
        if (next < 0) return -err;
        parent = next;
    }
    return parent;
}

namespace {

// One read of a whole file.
int readOnce(std::string_view name, std::vector<uint8_t>& out) {
    out.clear();
    int fd = openIn(name, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return -fd;
    struct stat st {};
    int err = 0;
    if (fstatQuiet(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;  // a pipe or a device holds no value
    std::size_t used = 0;
    if (err == 0) out.resize(static_cast<std::size_t>(st.st_size) + 1);
    while (err == 0) {
        if (used == out.size()) out.resize(out.size() * 2);
        const std::size_t asked = out.size() - used;
        ssize_t n = ::read(fd, out.data() + used, asked);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        used += static_cast<std::size_t>(n);
        // A regular file's read comes short only at its end: no second read
        // to hear it (the buffer holds one byte more than the file had).
        if (static_cast<std::size_t>(n) < asked) break;
    }
    ::close(fd);
    out.resize(err == 0 ? used : 0);
    return err;
}

}  // namespace

int readWhole(std::string_view name, std::vector<uint8_t>& out) {
    return steadyRead([&] { return readOnce(name, out); });
}

namespace {

// A temporary beside `file` in `dfd`, locked by this writer until it is
// renamed: the sweep of dead writers' temporaries passes over it.
int openTemporary(int dfd, const std::string& file, mode_t mode, std::string& tmp) {
    static std::atomic<unsigned> serial{0};
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint64_t v = (static_cast<uint64_t>(processId()) << 20) ^ (serial++ * 0x9E3779B97F4A7C15ull) ^
                     static_cast<uint64_t>(attempt);
        tmp = "." + file + ".";
        for (int i = 0; i < 6; ++i, v /= 62) tmp += kChars[v % 62];
        int fd = ::openat(dfd, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return -errno;
        flockRetrying(fd, LOCK_EX);
        created(fd);
        return fd;
    }
    return -EEXIST;
}

// Writes the pieces over the open file `fd` (`size` bytes long) from its
// start and cuts it to their length. `split`: one piece, in two writes with
// a crash point between, so that a writer killed half-way leaves a mix of
// both contents, which the next process must mend. 0 or an errno.
int overwriteOpen(int fd, off_t size, const Piece* pieces, std::size_t count, bool split) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].size;
    const std::size_t half = split && count == 1 && total > 8192 ? total / 2 & ~std::size_t{4095} : total;
    int err = 0;
    if (half < total) {
        const auto* bytes = static_cast<const uint8_t*>(pieces[0].data);
        const Piece first{bytes, half}, second{bytes + half, total - half};
        err = writePieces(fd, &first, 1, 0);
        if (err == 0) crashPoint("overwriting");
        if (err == 0) err = writePieces(fd, &second, 1, static_cast<off_t>(half));
    } else {
        err = writePieces(fd, pieces, count, 0);
    }
    if (err == 0 && static_cast<std::size_t>(size) != total && ::ftruncate(fd, static_cast<off_t>(total)) != 0)
        err = errno;
    return err;
}

}  // namespace

int replaceFile(std::string_view name, const Piece* pieces, std::size_t count, int mode) {
    const auto [dir, base] = split(name);
    if (base.empty() || base == "." || base == "..") return EINVAL;
    int dfd = openDirIn(dir, true);
    if (dfd < 0) return -dfd;
    const std::string file(base);
    struct stat cur {};
    const bool exists = fstatatQuiet(dfd, file.c_str(), &cur, AT_SYMLINK_NOFOLLOW) == 0;
    int err = exists && S_ISDIR(cur.st_mode) ? EISDIR : 0;
    if (exists && S_ISLNK(cur.st_mode))
        sayOnce(std::string(name).c_str(), format("replacing the symbolic link %.*s with a file",
                                                  static_cast<int>(name.size()), name.data()));
    const auto m = static_cast<mode_t>(mode >= 0 ? mode : exists && S_ISREG(cur.st_mode) ? cur.st_mode & 07777 : 0644);
    // Sync off (tests and benchmarks): in place, into a file this directory alone holds.
    if (err == 0 && !syncOn() && exists && S_ISREG(cur.st_mode) && cur.st_nlink == 1) {
        int fd = ::openat(dfd, file.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && ownRegular(fd, st)) {
            err = overwriteOpen(fd, st.st_size, pieces, count, false);
            ::close(fd);
            ::close(dfd);
            return err;
        }
        if (fd >= 0) ::close(fd);
    }
    std::string tmp;
    int tfd = err == 0 ? openTemporary(dfd, file, m, tmp) : -err;
    if (tfd < 0) err = -tfd;
    if (err == 0) err = writePieces(tfd, pieces, count, 0);
    if (err == 0 && ::fchmod(tfd, m) != 0) err = errno;  // the umask may have narrowed it
    if (err == 0) crashPoint("written");
    if (err == 0 && ::renameat(dfd, tmp.c_str(), dfd, file.c_str()) != 0) err = errno;
    if (err != 0 && tfd >= 0) ::unlinkat(dfd, tmp.c_str(), 0);
    if (err == 0) crashPoint("renamed");
    if (tfd >= 0) ::close(tfd);
    ::close(dfd);
    return err;
}

int overwriteFile(std::string_view name, const std::vector<uint8_t>& bytes) {
    const int fd = openIn(name, O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -fd;
    struct stat st {};
    int err = fstatQuiet(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EISDIR : st.st_nlink != 1 ? EMLINK : 0;
    const Piece whole{bytes.data(), bytes.size()};
    if (err == 0) err = overwriteOpen(fd, st.st_size, &whole, 1, true);
    ::close(fd);
    return err;
}

int unlinkFile(std::string_view name) {
    const auto [dir, base] = split(name);
    int dfd = openDirIn(dir, false);
    if (dfd < 0) return -dfd;
    const std::string file(base);
    int err = ::unlinkat(dfd, file.c_str(), 0) == 0 ? 0 : errno;
    if (err == 0) crashPoint("removed");
    ::close(dfd);
    return err;
}

int writable(std::string_view name) {
    const auto [dir, base] = split(name);
    if (base.empty() || base == "." || base == "..") return EINVAL;
    // The nearest directory that is there must let a file (or the missing
    // directories) be made in it.
    std::string_view d = dir;
    for (;;) {
        int dfd = openDirIn(d, false);
        if (dfd >= 0) {
            struct stat st {};
            const std::string file(base);
            int err = d == dir && fstatatQuiet(dfd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
                          ? EISDIR
                          : ::faccessat(dfd, ".", W_OK | X_OK, 0) != 0 ? errno : 0;
            ::close(dfd);
            return err;
        }
        if (dfd != -ENOENT || d.empty()) return -dfd;
        const std::size_t slash = d.rfind('/');
        d = slash == std::string_view::npos ? std::string_view() : d.substr(0, slash);
    }
}

int syncDirOf(std::string_view name) {
    // The directory and each one above it: a directory made since the last
    // checkpoint is durable only once its parent is.
    std::string_view dir = split(name).first;
    for (;;) {
        int dfd = openDirIn(dir, false);
        if (dfd >= 0) {
            const int err = syncDir(dfd, dir.empty() ? std::string_view(".") : dir);
            ::close(dfd);
            if (err != 0) return err;
        }
        if (dir.empty()) return 0;
        const std::size_t slash = dir.rfind('/');
        dir = slash == std::string_view::npos ? std::string_view() : dir.substr(0, slash);
    }
}

off_t byteLimit(const char* env, off_t fallback) {
    // Decimal bytes, or with K, M or G for KiB, MiB, GiB ("512K"); anything
    // else is said once and the default used, never read as some other size.
    const char* text = std::getenv(env);
    if (text == nullptr || *text == '\0') return fallback;
    const std::string s(text);
    std::size_t digits = 0;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') ++digits;
    const std::string suffix = s.substr(digits);
    const int shift = suffix.empty() ? 0 : suffix == "K" ? 10 : suffix == "M" ? 20 : suffix == "G" ? 30 : -1;
    const off_t most = static_cast<off_t>(1) << 40;  // 1 TiB: more is a typo, not a log size
    off_t v = 0;
    for (std::size_t i = 0; i < digits && v <= most; ++i) v = v * 10 + (s[i] - '0');
    if (shift >= 0 && digits != 0 && v > 0 && v <= (most >> shift)) return v << shift;
    sayOnce(env, format("%s '%s' is not a size (bytes, or a number with K, M or G: 512K); using the default, %lld bytes",
                        env, text, static_cast<long long>(fallback)));
    return fallback;
}

bool rotateLog(std::string_view name, const Rotation& rotation) {
    const auto [dir, base] = split(name);
    const int dfd = openDirIn(dir, false);
    if (dfd < 0) return false;
    const std::string file(base), older = file + ".1";
    bool rotated = false;
    int fd = ::openat(dfd, file.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ownRegular(fd, st) && st.st_size >= rotation.at) {
        const std::string last = rotation.lastLine ? rotation.lastLine() : std::string();
        int err = 0;
        if (!last.empty()) {
            err = appendTo(fd, st, last);
            if (err == 0) err = syncFile(fd, name);
        }
        if (err == 0 && ::renameat(dfd, file.c_str(), dfd, older.c_str()) == 0) {
            crashPoint("rotated");
            rotated = syncDir(dfd, dir.empty() ? std::string_view(".") : dir) == 0;
        }
    }
    if (fd >= 0) ::close(fd);
    ::close(dfd);
    return rotated;
}

int appendLine(std::string_view name, std::string_view line) {
    std::lock_guard<std::mutex> lock(g_appendMutex);
    int fd = -1;
    struct stat st {}, named {};
    if (auto it = g_appends.find(name); it != g_appends.end()) {
        // Removed, replaced or rotated since: appends go to the file now there.
        const std::string path(name);
        if (ownRegular(it->second, st) && fstatatQuiet(rootFd(), path.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_ino == st.st_ino && named.st_dev == st.st_dev) {
            fd = it->second;
        } else {
            ::close(it->second);
            g_appends.erase(it);
        }
    }
    if (fd < 0) {
        bool made = true;
        fd = openIn(name, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NONBLOCK, 0644);
        if (fd == -ENOENT) {
            int dfd = openDirIn(split(name).first, true);
            if (dfd >= 0) ::close(dfd);
            fd = openIn(name, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NONBLOCK, 0644);
        }
        if (fd == -EEXIST) {
            made = false;
            fd = openIn(name, O_RDWR | O_APPEND | O_NONBLOCK);
        }
        if (fd < 0) return -fd;
        if (!ownRegular(fd, st)) {
            ::close(fd);
            sayOnce(std::string(name).c_str(), format("not appending to %.*s: not a regular file of the state directory",
                                        static_cast<int>(name.size()), name.data()));
            return EPERM;
        }
        if (made) created(fd);
        g_appends.emplace(std::string(name), fd);
    }
    return appendTo(fd, st, line);
}

int64_t writeEnded(int fd, off_t at, bool append, bool torn, std::string_view line, std::size_t zeros) {
    const std::size_t tornEnd = torn ? kTornEnd.size() : 0;
    const Piece text[4] = {{kTornEnd.data(), tornEnd}, {line.data(), line.size()}, {"\n", 1}, {nullptr, zeros}};
    if (const int err = writePieces(fd, text, 4, append ? -1 : at); err != 0) return -err;
    return at + static_cast<off_t>(tornEnd);
}

int64_t appendEnded(int fd, off_t size, std::string_view line) {
    char last = '\n';
    const bool torn = size > 0 && ::pread(fd, &last, 1, size - 1) == 1 && last != '\n';
    return writeEnded(fd, size, true, torn, line, 0);
}

int appendTo(int fd, const struct stat& st, std::string_view line) {
    const int64_t at = appendEnded(fd, st.st_size, line);
    if (at < 0) return static_cast<int>(-at);
    crashPoint("appended");
    return 0;
}

bool workFileName(std::string_view n) {
    constexpr std::string_view kStandby = ".standby";
    if (n.size() > kStandby.size() + 1 && n[0] == '.' && n.substr(n.size() - kStandby.size()) == kStandby) return true;
    return temporaryName(n);
}

void sweepTemporaries() {
    int root = openIn("", O_RDONLY | O_DIRECTORY);
    if (root < 0) return;
    sweepBelow(root, 0);
    ::close(root);
}

void closeKept() {
    std::lock_guard<std::mutex> lock(g_appendMutex);
    for (const auto& [name, fd] : g_appends) ::close(fd);
    g_appends.clear();
}

}  // namespace gardhost::detail
