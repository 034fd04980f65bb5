// File operations confined to the state directory, and the writes that
// survive a crash or a power cut: whole-file replacement through a standby
// file, and appends.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// Writes the pieces at `offset` onwards, zero pieces from a block of zeros.
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

// The standby of a file, open for writing: made anew when it is missing or
// is anything but this directory's own regular file.
int openStandby(int dirFd, const std::string& name, mode_t mode) {
    int fd = ::openat(dirFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    const int err = fd < 0 ? errno : 0;
    struct stat st {};
    if (fd >= 0 && ownRegular(fd, st)) return fd;
    if (fd >= 0) ::close(fd);
    if (err != ENOENT && ::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) return -errno;
    fd = ::openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return -errno;
    created(fd);
    return fd;
}

// The whole content of an open file.
int readFd(int fd, std::vector<uint8_t>& out) {
    out.clear();
    char buf[16384];
    for (off_t at = 0;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        out.insert(out.end(), buf, buf + n);
        at += n;
    }
}

// The whole content of the regular file `name` of the directory `dirFd`.
int readAt(int dirFd, const std::string& name, std::vector<uint8_t>& out) {
    int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    int err = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? readFd(fd, out) : EINVAL;
    ::close(fd);
    return err;
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
        } else if (temporaryName(n) && (e->d_type == DT_REG || e->d_type == DT_UNKNOWN)) {
            int t = ::openat(fd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (t < 0) continue;
            struct stat open {}, named {};
            if (flockRetrying(t, LOCK_EX | LOCK_NB) == 0 && ::fstat(t, &open) == 0 && S_ISREG(open.st_mode) &&
                ::fstatat(fd, e->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == open.st_ino)
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

bool ownRegular(int fd, struct stat& st) {
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
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
    // Made one component at a time, each new one durable in its parent.
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
        if (next >= 0 && made) {
            created(next);
            if (syncOn()) syncDir(parent);
        }
        ::close(parent);
        if (next < 0) return -err;
        parent = next;
    }
    return parent;
}

namespace {

// One read of a whole file; `same` tells whether the file read is still the
// one at the name and unchanged (checked only without counters).
int readOnce(std::string_view name, std::vector<uint8_t>& out, bool check, bool& same) {
    out.clear();
    int fd = openIn(name, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return -fd;
    struct stat st {}, end {}, named {};
    int err = 0;
    if (::fstat(fd, &st) != 0)
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
    if (check && err == 0) {
        const std::string at(name);
        same = ::fstat(fd, &end) == 0 && end.st_ctim.tv_sec == st.st_ctim.tv_sec &&
               end.st_ctim.tv_nsec == st.st_ctim.tv_nsec && ::fstatat(rootFd(), at.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
               named.st_ino == st.st_ino;
    }
    ::close(fd);
    out.resize(err == 0 ? used : 0);
    return err;
}

}  // namespace

int readWhole(std::string_view name, std::vector<uint8_t>& out) {
    // Read again while a standby may have been filled under the reader.
    for (int attempt = 0;; ++attempt) {
        const uint64_t before = rewritesBegun();
        bool same = true;
        const int err = readOnce(name, out, before == kUntrusted, same);
        if (err != 0 || attempt == 100) return err;
        if (before == kUntrusted ? same : rewritesBegun() == before) return 0;
    }
}

int putFile(std::string_view name, const Piece* pieces, std::size_t count, int* keep, int mode) {
    const auto [dir, base] = split(name);
    if (base.empty() || base == "." || base == "..") return EINVAL;
    int dfd = openDirIn(dir, true);
    if (dfd < 0) return -dfd;
    // One writer in a directory at a time, through its exchange and the
    // directory's sync: the standby of one is the live file of the other.
    flockRetrying(dfd, LOCK_EX);
    const bool sync = syncOn();
    struct stat dirSt {};
    ::fstat(dfd, &dirSt);
    const std::string file(base);
    const std::string standby = "." + file + ".standby";
    int err = 0;
    // A writer that died between its exchange and the directory's sync may
    // have left the old name durable on what is now the standby.
    if (sync && dirSyncOwed(dirSt.st_ino) && (err = syncDir(dfd)) == 0) oweDirSync(dirSt.st_ino, false);
    struct stat cur {};
    const bool exists = ::fstatat(dfd, file.c_str(), &cur, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISDIR(cur.st_mode)) err = EISDIR;
    if (exists && S_ISLNK(cur.st_mode))
        sayOnce(std::string(name).c_str(), format("replacing the symbolic link %.*s with a file",
                                                  static_cast<int>(name.size()), name.data()));
    const auto m = static_cast<mode_t>(mode >= 0 ? mode : exists && S_ISREG(cur.st_mode) ? cur.st_mode & 07777 : 0644);
    int sfd = err == 0 ? openStandby(dfd, standby, m) : -err;
    if (sfd < 0) err = -sfd;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].size;
    struct stat sst {};
    if (err == 0) noteRewrite();  // a reader may still hold this file from when it was live
    if (err == 0) err = writePieces(sfd, pieces, count, 0);
    if (err == 0 && ::fstat(sfd, &sst) != 0) err = errno;
    if (err == 0 && static_cast<std::size_t>(sst.st_size) != total &&
        ::ftruncate(sfd, static_cast<off_t>(total)) != 0)
        err = errno;
    if (err == 0 && (sst.st_mode & 07777) != m && ::fchmod(sfd, m) != 0) err = errno;
    if (err == 0) crashPoint("written");
    if (err == 0 && sync) err = syncFile(sfd);
    if (err == 0) crashPoint("synced");
    if (err == 0 && historyTracked(name)) {
        std::vector<uint8_t> before, after;
        const bool existed = exists && readAt(dfd, file, before) == 0;
        after.reserve(total);
        for (std::size_t i = 0; i < count; ++i) {
            const auto* d = static_cast<const uint8_t*>(pieces[i].data);
            if (d != nullptr)
                after.insert(after.end(), d, d + pieces[i].size);
            else
                after.resize(after.size() + pieces[i].size, 0);
        }
        recordChange(name, before.data(), before.size(), existed, after.data(), after.size(), true);
    }
    if (err == 0) {
        if (exists) {
            oweDirSync(dirSt.st_ino, true);
            if (::renameat2(dfd, standby.c_str(), dfd, file.c_str(), RENAME_EXCHANGE) != 0) {
                // A file system without exchange: a plain replace, the standby used up.
                if (errno != EINVAL && errno != ENOSYS) err = errno;
                if (err == 0 && ::renameat(dfd, standby.c_str(), dfd, file.c_str()) != 0) err = errno;
            }
        } else if (::renameat(dfd, standby.c_str(), dfd, file.c_str()) != 0) {
            err = errno;
        }
    }
    if (err == 0) {
        crashPoint("renamed");
        // The content is in place; a failed directory sync still is a
        // failure, since the rename may not survive a power cut.
        if (sync && (err = syncDir(dfd)) == 0) oweDirSync(dirSt.st_ino, false);
    }
    ::close(dfd);
    if (keep != nullptr && err == 0)
        *keep = sfd;
    else if (sfd >= 0)
        ::close(sfd);
    return err;
}

int overwriteFile(std::string_view name, const uint8_t* data, std::size_t size) {
    int fd = openIn(name, O_RDWR | O_NONBLOCK);
    if (fd < 0) return -fd;
    struct stat st {};
    int err = ownRegular(fd, st) ? 0 : EPERM;
    if (err == 0 && historyTracked(name)) {
        std::vector<uint8_t> before;
        if ((err = readFd(fd, before)) == 0) recordChange(name, before.data(), before.size(), true, data, size, true);
    }
    const Piece one{data, size};
    if (err == 0) err = writePieces(fd, &one, 1, 0);
    if (err == 0 && static_cast<std::size_t>(st.st_size) != size && ::ftruncate(fd, static_cast<off_t>(size)) != 0)
        err = errno;
    ::close(fd);
    return err;
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

void rotateLog(std::string_view name, int fd, const Rotation& rotation) {
    struct stat st {}, named {};
    if (::fstat(fd, &st) != 0 || st.st_size < rotation.at) return;
    const auto [dir, base] = split(name);
    const int dfd = openDirIn(dir, false);
    if (dfd < 0) return;
    flockRetrying(dfd, LOCK_EX);
    const std::string file(base), older = file + ".1";
    if (::fstatat(dfd, file.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == st.st_ino &&
        named.st_dev == st.st_dev) {
        const std::string last = rotation.lastLine ? rotation.lastLine() : std::string();
        int err = 0;
        if (!last.empty() && ::fstat(fd, &st) == 0) err = appendTo(fd, st, last, true);
        if (err == 0 && ::renameat(dfd, file.c_str(), dfd, older.c_str()) == 0) {
            crashPoint("rotated");
            if (syncOn()) syncDir(dfd);
        }
    }
    ::close(dfd);
}

int appendLine(std::string_view name, std::string_view line, bool durable, const Rotation* rotation) {
    std::lock_guard<std::mutex> lock(g_appendMutex);
    int fd = -1;
    struct stat st {}, named {};
    if (auto it = g_appends.find(name); it != g_appends.end()) {
        // Removed, replaced or rotated since: appends go to the file now there.
        const std::string path(name);
        if (ownRegular(it->second, st) && ::fstatat(rootFd(), path.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
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
        if (made) {
            created(fd);
            if (durable && syncOn()) {
                int dfd = openDirIn(split(name).first, false);
                if (dfd >= 0) {
                    syncDir(dfd);
                    ::close(dfd);
                }
            }
        }
        g_appends.emplace(std::string(name), fd);
    }
    const int err = appendTo(fd, st, line, durable);
    if (err == 0 && rotation != nullptr) rotateLog(name, fd, *rotation);
    return err;
}

int appendTo(int fd, const struct stat& st, std::string_view line, bool durable) {
    // Where this process's last line ended, file by file: a file that still
    // ends there ends in a whole line.
    struct End {
        dev_t dev;
        ino_t ino;
        off_t at;
    };
    static std::mutex m;
    static End ends[8] = {};
    static unsigned next = 0;
    bool whole = st.st_size == 0;
    {
        std::lock_guard<std::mutex> lock(m);
        for (const End& e : ends) whole = whole || (e.dev == st.st_dev && e.ino == st.st_ino && e.at == st.st_size);
    }
    // A writer killed in the middle of its line left it without its end.
    bool torn = false;
    if (!whole) {
        char last = '\n';
        torn = ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
    }
    const Piece text[3] = {{"\n", torn ? 1u : 0u}, {line.data(), line.size()}, {"\n", 1}};
    int err = writePieces(fd, text, 3, -1);
    if (err == 0) {
        std::lock_guard<std::mutex> lock(m);
        End* slot = &ends[next++ % 8];
        for (End& e : ends)
            if (e.dev == st.st_dev && e.ino == st.st_ino) slot = &e;
        *slot = End{st.st_dev, st.st_ino, st.st_size + static_cast<off_t>(torn + line.size() + 1)};
    }
    if (err == 0) crashPoint("appended");
    if (err == 0 && durable && syncOn()) err = syncFile(fd);
    return err;
}

int removeFile(std::string_view name) {
    const auto [dir, base] = split(name);
    int dfd = openDirIn(dir, false);
    if (dfd < 0) return -dfd;
    flockRetrying(dfd, LOCK_EX);
    const std::string file(base);
    std::vector<uint8_t> before;
    if (historyTracked(name) && readAt(dfd, file, before) == 0)
        recordChange(name, before.data(), before.size(), true, nullptr, 0, false);
    int err = ::unlinkat(dfd, file.c_str(), 0) == 0 ? 0 : errno;
    if (err == 0) {
        crashPoint("removed");
        if (syncOn()) err = syncDir(dfd);
    }
    ::close(dfd);
    return err;
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
