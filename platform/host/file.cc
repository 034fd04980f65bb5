// The file class on POSIX, with crash-safe writes, and the library's mkdir
// of firmware directories, both inside the state directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errl.h"
#include "platform/host/detail.h"
#include "platform/host/host.h"
#include "platform/utilfile.h"

namespace {

using gardhost::detail::Target;

// Faults and the call log name a file by its last path component ("gardRask").
Target fileTarget(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return Target::of(slash != nullptr ? slash + 1 : path);
}

// Reads exactly `count` bytes at `offset`; ENODATA when the file ends first.
int readAt(int fd, void* buffer, std::size_t count, std::size_t offset) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        ssize_t n = ::pread(fd, p, count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return ENODATA;
        p += n;
        count -= static_cast<std::size_t>(n);
        offset += static_cast<std::size_t>(n);
    }
    return 0;
}

int writeAt(int fd, const void* buffer, std::size_t count, std::size_t offset) {
    const auto* p = static_cast<const unsigned char*>(buffer);
    while (count > 0) {
        ssize_t n = ::pwrite(fd, p, count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        count -= static_cast<std::size_t>(n);
        offset += static_cast<std::size_t>(n);
    }
    return 0;
}

// The bytes a replacing Write keeps from the old file, reused between calls.
std::vector<uint8_t>& keptBytes(std::size_t size) {
    thread_local std::vector<uint8_t> buffer;
    if (buffer.size() < size) buffer.resize(size);
    return buffer;
}

// exists() opens the file it finds, for the Open("r+") that usually follows
// on the same object: one path look-up instead of two. One such descriptor
// waits at a time: the next exists() replaces it, its object's Open or
// destructor takes or drops it.
std::mutex g_openedMutex;
std::atomic<const UtilFile*> g_openedBy{nullptr};
int g_opened = -1;
uint64_t g_openedRewrites = 0;  // standby fills begun before it was opened

void keepOpened(const UtilFile* owner, int fd, uint64_t rewrites) {
    int old = -1;
    {
        std::lock_guard<std::mutex> lock(g_openedMutex);
        old = g_opened;
        g_openedBy = owner;
        g_opened = fd;
        g_openedRewrites = rewrites;
    }
    if (old >= 0) ::close(old);
}

// The descriptor exists() left for `owner`, or -1.
int takeOpened(const UtilFile* owner, uint64_t& rewrites) {
    std::lock_guard<std::mutex> lock(g_openedMutex);
    if (g_openedBy != owner) return -1;
    int fd = g_opened;
    rewrites = g_openedRewrites;
    g_openedBy = nullptr;
    g_opened = -1;
    return fd;
}

void dropOpened(const UtilFile* owner) {
    if (g_openedBy != owner) return;  // a stale look is fine: takeOpened decides
    uint64_t ignored = 0;
    if (int fd = takeOpened(owner, ignored); fd >= 0) ::close(fd);
}

}  // namespace

UtilFile::UtilFile(const char* path) : iv_errorFlag(0), iv_errl(nullptr) {
    gardhost::detail::stateRoot();
    const std::string name = gardhost::detail::firmwareName(path != nullptr ? path : "");
    path_ = static_cast<char*>(std::malloc(name.size() + 1));
    if (path_ == nullptr) throw std::bad_alloc();
    std::memcpy(path_, name.c_str(), name.size() + 1);
}

UtilFile::~UtilFile() {
    dropOpened(this);
    if (fd_ >= 0) ::close(fd_);
    delete iv_errl;  // a pending error nobody took
    std::free(path_);
}

void UtilFile::fail(const char* call, int err) {
    delete iv_errl;  // the newest failure replaces one never taken
    iv_errl = gardhost::detail::failure(call, fileTarget(path_), err);
    iv_errorFlag = 1;
}

void UtilFile::Open(const char* mode) {
    using namespace gardhost;
    const char* m = mode != nullptr ? mode : "null";
    if (detail::enter("UtilFile::Open", fileTarget(path_), detail::argsText("mode=%s", m))) {
        dropOpened(this);
        return fail("UtilFile::Open", 0);
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pendingCreate_ = false;
    pos_ = 0;
    if (std::strcmp(m, "r+") == 0) {
        int fd = takeOpened(this, rewrites_);
        if (fd < 0) {
            rewrites_ = detail::rewritesBegun();
            fd = detail::openIn(path_, O_RDWR | O_NONBLOCK);
        }
        if (fd < 0) return fail("UtilFile::Open", -fd);
        fd_ = fd;
    } else if (std::strcmp(m, "w+") == 0) {
        dropOpened(this);
        // Nothing is created yet, but what would stop the first Write fails here.
        const std::string name = path_;
        const std::size_t slash = name.rfind('/');
        int dir = detail::openDirIn(slash == std::string::npos ? "" : name.substr(0, slash), false);
        if (dir < 0) return fail("UtilFile::Open", -dir);
        struct stat st {};
        int err = ::fstatat(dir, name.c_str() + (slash == std::string::npos ? 0 : slash + 1), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
                      ? EISDIR
                      : ::faccessat(dir, ".", W_OK | X_OK, 0) != 0 ? errno : 0;
        ::close(dir);
        if (err != 0) return fail("UtilFile::Open", err);
        pendingCreate_ = true;
    } else {
        dropOpened(this);
        fail("UtilFile::Open", EINVAL);
    }
}

void UtilFile::Close() {
    if (gardhost::detail::enter("UtilFile::Close", fileTarget(path_)))
        return fail("UtilFile::Close", 0);
    pendingCreate_ = false;
    pos_ = 0;
    if (fd_ < 0) return;  // never opened, or opened "w+" and never written
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) fail("UtilFile::Close", errno);
}

bool UtilFile::exists() const {
    // No failure value: a faulted check says "there", so a missing file fails
    // at the Open("r+") that follows instead of an existing one being replaced.
    if (gardhost::detail::enter("UtilFile::exists", fileTarget(path_))) return true;
    const uint64_t rewrites = gardhost::detail::rewritesBegun();
    int fd = gardhost::detail::openIn(path_, O_RDWR | O_NONBLOCK);
    if (fd >= 0) {
        keepOpened(this, fd, rewrites);
        return true;
    }
    // There, but not to be opened so (a directory, no permission, a link):
    // the Open that follows says why.
    return fd != -ENOENT && fd != -ENOTDIR;
}

// Reads at the position; should the file have been turned into a standby
// and filled anew since it was opened, reads the file now at its name.
int UtilFile::readPublished(void* buffer, std::size_t count) {
    for (int attempt = 0;; ++attempt) {
        int err = readAt(fd_, buffer, count, pos_);  // a short read is the failure
        const uint64_t now = gardhost::detail::rewritesBegun();
        if (err != 0 || now == rewrites_ || now == gardhost::detail::kUntrusted || attempt == 100) return err;
        int fd = gardhost::detail::openIn(path_, O_RDWR | O_NONBLOCK);
        if (fd < 0) return -fd;
        ::close(fd_);
        fd_ = fd;
        rewrites_ = now;
    }
}

std::size_t UtilFile::Read(void* buffer, std::size_t count) {
    using namespace gardhost;
    if (detail::enter("UtilFile::Read", fileTarget(path_), detail::args("count=%u pos=%u", count, pos_))) {
        fail("UtilFile::Read", 0);
        return 0;
    }
    int err = 0;
    struct stat st {};
    if (fd_ < 0 && !pendingCreate_)
        err = EBADF;
    else if (buffer == nullptr && count > 0)
        err = EFAULT;
    else if (pendingCreate_)
        err = count > 0 ? ENODATA : 0;  // "w+" before its first Write: empty
    else if (count > 0)
        err = readPublished(buffer, count);
    else if (::fstat(fd_, &st) != 0)
        err = errno;
    else if (pos_ > static_cast<std::size_t>(st.st_size))
        err = ENODATA;  // nothing to read, but the position is past the end
    if (err != 0) {
        fail("UtilFile::Read", err);
        return 0;
    }
    pos_ += count;
    return count;
}

std::size_t UtilFile::Write(const void* buffer, std::size_t count) {
    using namespace gardhost;
    if (detail::enter("UtilFile::Write", fileTarget(path_), detail::args("count=%u pos=%u", count, pos_))) {
        fail("UtilFile::Write", 0);
        return 0;
    }
    if (fd_ < 0 && !pendingCreate_) {
        fail("UtilFile::Write", EBADF);
        return 0;
    }
    if (buffer == nullptr && count > 0) {
        fail("UtilFile::Write", EFAULT);
        return 0;
    }
    int err = 0;
    if (pendingCreate_) {
        // The file appears whole with its first Write: zeros up to the position, then the data.
        const detail::Piece pieces[2] = {{nullptr, pos_}, {buffer, count}};
        int fd = -1;
        err = detail::putFile(path_, pieces, 2, &fd);
        if (err == 0) fd_ = fd, rewrites_ = detail::rewritesBegun();
    } else {
        // The old content around the written range stays.
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            fail("UtilFile::Write", errno);
            return 0;
        }
        const auto size = static_cast<std::size_t>(st.st_size);
        const std::size_t head = std::min(pos_, size);
        const std::size_t end = pos_ + count;
        const std::size_t tail = size > end ? size - end : 0;
        // In place only into a file this directory alone holds: through a
        // hard link a write would land in a file elsewhere.
        if (!detail::syncOn() && S_ISREG(st.st_mode) && st.st_nlink == 1) {
            // Only for tests and benchmarks: overwritten in place, past the end with zeros.
            if (detail::historyTracked(path_)) {
                std::vector<uint8_t>& old = keptBytes(size);
                std::vector<uint8_t> now;
                err = readAt(fd_, old.data(), size, 0);
                if (err == 0) {
                    now.assign(old.begin(), old.begin() + static_cast<long>(head));
                    now.resize(pos_, 0);
                    now.insert(now.end(), static_cast<const uint8_t*>(buffer),
                               static_cast<const uint8_t*>(buffer) + count);
                    now.insert(now.end(), old.begin() + static_cast<long>(size - tail), old.begin() + static_cast<long>(size));
                    detail::recordChange(path_, old.data(), size, true, now.data(), now.size(), true);
                }
            }
            if (err == 0) err = writeAt(fd_, buffer, count, pos_);
        } else {
            // A new file: the old one's bytes before and after the written range, the range replaced.
            std::vector<uint8_t>& kept = keptBytes(head + tail);
            err = readAt(fd_, kept.data(), head, 0);
            if (err == 0) err = readAt(fd_, kept.data() + head, tail, end);
            const detail::Piece pieces[4] = {
                {kept.data(), head}, {nullptr, pos_ - head}, {buffer, count}, {kept.data() + head, tail}};
            int fd = -1;
            if (err == 0) err = detail::putFile(path_, pieces, 4, &fd, static_cast<int>(st.st_mode & 07777));
            if (err == 0) {
                ::close(fd_);
                fd_ = fd;  // reads go on through the new file
                rewrites_ = detail::rewritesBegun();
            }
        }
    }
    if (err != 0) {
        fail("UtilFile::Write", err);
        return 0;
    }
    pendingCreate_ = false;
    pos_ += count;
    return count;
}

int UtilFile::Seek(long offset, int origin) {
    using namespace gardhost;
    if (detail::enter("UtilFile::Seek", fileTarget(path_), detail::args("offset=%d origin=%d", offset, origin))) {
        fail("UtilFile::Seek", 0);
        return -1;
    }
    if (fd_ < 0 && !pendingCreate_) {
        fail("UtilFile::Seek", EBADF);
        return -1;
    }
    long base = 0;
    if (origin == SEEK_FROM_CURRENT) {
        base = static_cast<long>(pos_);
    } else if (origin == SEEK_FROM_END) {
        struct stat st {};
        if (!pendingCreate_ && ::fstat(fd_, &st) != 0) {
            fail("UtilFile::Seek", errno);
            return -1;
        }
        base = pendingCreate_ ? 0 : static_cast<long>(st.st_size);
    } else if (origin != SEEK_FROM_START) {
        fail("UtilFile::Seek", EINVAL);
        return -1;
    }
    if (offset < -base) {
        fail("UtilFile::Seek", EINVAL);
        return -1;
    }
    pos_ = static_cast<std::size_t>(base + offset);
    return 0;
}

// The library is linked with --wrap=mkdir: its mkdir of a firmware path
// lands inside the state directory, parents included, each made durable in
// its parent.
extern "C" int __wrap_mkdir(const char* path, mode_t mode) {
    using namespace gardhost;
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (detail::enter("mkdir", detail::Target::of(path), detail::args("mode=0%o", mode))) {
        errno = EIO;
        return -1;
    }
    detail::stateRoot();
    const std::string name = detail::firmwareName(path);
    const std::size_t slash = name.rfind('/');  // "root" at least
    int parent = detail::openDirIn(slash == std::string::npos ? "" : name.substr(0, slash), true);
    if (parent < 0) {
        errno = -parent;
        return -1;
    }
    const char* last = name.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    int rc = ::mkdirat(parent, last, mode);
    int err = errno;
    if (rc == 0) {
        if (int made = ::openat(parent, last, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); made >= 0) {
            detail::created(made);
            ::close(made);
        }
        if (detail::syncOn()) detail::syncDir(parent);
    }
    ::close(parent);
    errno = err;
    return rc;
}
