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

// exists() opens the file it finds, for the Open("r+") that usually follows
// on the same object: one path look-up instead of two. One such descriptor
// waits at a time: the next exists() replaces it, its object's Open or
// destructor takes or drops it.
std::mutex g_openedMutex;
std::atomic<const UtilFile*> g_openedBy{nullptr};
int g_opened = -1;

void keepOpened(const UtilFile* owner, int fd) {
    int old = -1;
    {
        std::lock_guard<std::mutex> lock(g_openedMutex);
        old = g_opened;
        g_openedBy = owner;
        g_opened = fd;
    }
    if (old >= 0) ::close(old);
}

// The descriptor exists() left for `owner`, or -1.
int takeOpened(const UtilFile* owner) {
    std::lock_guard<std::mutex> lock(g_openedMutex);
    if (g_openedBy != owner) return -1;
    int fd = g_opened;
    g_openedBy = nullptr;
    g_opened = -1;
    return fd;
}

void dropOpened(const UtilFile* owner) {
    if (g_openedBy != owner) return;  // a stale look is fine: takeOpened decides
    if (int fd = takeOpened(owner); fd >= 0) ::close(fd);
}

// The content the call under way staged for `path`: staged (then null for
// a removal) or not.
bool stagedContent(const char* path, const std::vector<uint8_t>*& content) {
    return gardhost::detail::staged(path, content);
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
    open_ = false;
    pendingCreate_ = false;
    pos_ = 0;
    if (std::strcmp(m, "r+") == 0) {
        const std::vector<uint8_t>* staged = nullptr;
        if (stagedContent(path_, staged)) {
            // What the call under way wrote: reads come from it.
            dropOpened(this);
            if (staged == nullptr) return fail("UtilFile::Open", ENOENT);
            open_ = true;
            return;
        }
        int fd = takeOpened(this);
        if (fd < 0) fd = detail::openIn(path_, O_RDWR | O_NONBLOCK);
        if (fd < 0) return fail("UtilFile::Open", -fd);
        fd_ = fd;
        open_ = true;
    } else if (std::strcmp(m, "w+") == 0) {
        dropOpened(this);
        // Nothing is created yet, but what would stop the first Write fails
        // here: the directory must be there (the library makes it), writable.
        const std::string name = path_;
        const std::size_t slash = name.rfind('/');
        int dir = detail::openDirIn(slash == std::string::npos ? "" : name.substr(0, slash), false);
        if (dir < 0) return fail("UtilFile::Open", -dir);
        ::close(dir);
        if (int err = detail::writable(path_); err != 0) return fail("UtilFile::Open", err);
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
    open_ = false;
    pos_ = 0;
    if (fd_ < 0) return;  // never opened, opened "w+" and never written, or reading what was staged
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) fail("UtilFile::Close", errno);
}

bool UtilFile::exists() const {
    // No failure value: a faulted check says "there", so a missing file fails
    // at the Open("r+") that follows instead of an existing one being replaced.
    if (gardhost::detail::enter("UtilFile::exists", fileTarget(path_))) return true;
    const std::vector<uint8_t>* staged = nullptr;
    if (stagedContent(path_, staged)) return staged != nullptr;
    int fd = gardhost::detail::openIn(path_, O_RDWR | O_NONBLOCK);
    if (fd >= 0) {
        keepOpened(this, fd);
        return true;
    }
    // There, but not to be opened so (a directory, no permission, a link):
    // the Open that follows says why.
    return fd != -ENOENT && fd != -ENOTDIR;
}

// The descriptor of the file at the name, opened again once a Write put a
// new file there: 0 or an errno.
int UtilFile::descriptor() {
    if (fd_ >= 0) return 0;
    const int fd = gardhost::detail::openIn(path_, O_RDWR | O_NONBLOCK);
    if (fd < 0) return -fd;
    fd_ = fd;
    return 0;
}

// The whole content this object reads: what the call staged, else the file
// (`fromFile` then set).
int UtilFile::content(std::vector<unsigned char>& out, bool* fromFile) {
    const std::vector<uint8_t>* staged = nullptr;
    if (stagedContent(path_, staged)) {
        if (staged == nullptr) return ENOENT;
        out = *staged;
        return 0;
    }
    if (int err = descriptor(); err != 0) return err;
    if (fromFile != nullptr) *fromFile = true;
    return gardhost::detail::steadyRead([&] {
        struct stat st {};
        if (gardhost::detail::fstatQuiet(fd_, &st) != 0) return errno;
        out.resize(static_cast<std::size_t>(st.st_size));
        return readAt(fd_, out.data(), out.size(), 0);
    });
}

std::size_t UtilFile::Read(void* buffer, std::size_t count) {
    using namespace gardhost;
    if (detail::enter("UtilFile::Read", fileTarget(path_), detail::args("count=%u pos=%u", count, pos_))) {
        fail("UtilFile::Read", 0);
        return 0;
    }
    int err = 0;
    const std::vector<uint8_t>* staged = nullptr;
    if (!open_ && !pendingCreate_)
        err = EBADF;
    else if (buffer == nullptr && count > 0)
        err = EFAULT;
    else if (pendingCreate_)
        err = count > 0 ? ENODATA : 0;  // "w+" before its first Write: empty
    else if (stagedContent(path_, staged))
        err = staged == nullptr ? ENOENT
              : pos_ > staged->size() || staged->size() - pos_ < count ? ENODATA
                                                                         : 0;
    else if ((err = descriptor()) == 0 && count > 0)
        err = detail::steadyRead([&] { return readAt(fd_, buffer, count, pos_); });  // a short read fails
    if (err == 0 && staged != nullptr && count > 0) std::memcpy(buffer, staged->data() + pos_, count);
    if (err == 0 && staged == nullptr && count == 0) {
        struct stat st {};
        if (gardhost::detail::fstatQuiet(fd_, &st) != 0)
            err = errno;
        else if (pos_ > static_cast<std::size_t>(st.st_size))
            err = ENODATA;  // nothing to read, but the position is past the end
    }
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
    if (!open_ && !pendingCreate_) {
        fail("UtilFile::Write", EBADF);
        return 0;
    }
    if (buffer == nullptr && count > 0) {
        fail("UtilFile::Write", EFAULT);
        return 0;
    }
    // The new content: the old one's bytes before and after the written
    // range, zeros up to the position where it ends before it. A file
    // opened "w+" appears whole with its first Write.
    std::vector<unsigned char> old;
    bool fromFile = false;
    int err = pendingCreate_ ? 0 : content(old, &fromFile);
    if (err != 0) {
        fail("UtilFile::Write", err);
        return 0;
    }
    const std::size_t head = std::min(pos_, old.size());
    const std::size_t end = pos_ + count;
    const std::size_t tail = old.size() > end ? old.size() - end : 0;
    const detail::Piece pieces[4] = {
        {old.data(), head}, {nullptr, pos_ - head}, {buffer, count}, {old.data() + old.size() - tail, tail}};
    // Read through a descriptor open for writing: the content at the name,
    // and one that can be overwritten; not read again.
    err = detail::writeContent(path_, pieces, 4, fromFile ? &old : nullptr);
    if (err != 0) {
        fail("UtilFile::Write", err);
        return 0;
    }
    // Reads go on through what the call staged, or the new file at the name.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    open_ = true;
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
    if (!open_ && !pendingCreate_) {
        fail("UtilFile::Seek", EBADF);
        return -1;
    }
    long base = 0;
    if (origin == SEEK_FROM_CURRENT) {
        base = static_cast<long>(pos_);
    } else if (origin == SEEK_FROM_END) {
        std::vector<unsigned char> now;
        int err = pendingCreate_ ? 0 : content(now);
        if (err != 0) {
            fail("UtilFile::Seek", err);
            return -1;
        }
        base = static_cast<long>(now.size());
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
// lands inside the state directory, parents included.
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
    // Made durable by the next checkpoint: the journal makes it again after
    // a power cut, with the files it holds.
    if (rc == 0) {
        if (int made = ::openat(parent, last, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); made >= 0) {
            detail::created(made);
            ::close(made);
        }
    }
    ::close(parent);
    errno = err;
    return rc;
}
