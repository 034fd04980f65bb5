// The file class on POSIX, with crash-safe writes, and the library's mkdir
// of firmware directories, both inside the state directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errl.h"
#include "platform/host/detail.h"
#include "platform/host/host.h"
#include "platform/utilfile.h"

namespace {

// Faults and the call log name a file by its last path component ("gardRask").
std::string baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
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

}  // namespace

UtilFile::UtilFile(const char* path) : iv_errorFlag(0), iv_errl(nullptr) {
    std::string resolved = gardhost::resolvePath(path != nullptr ? path : "");
    path_ = static_cast<char*>(std::malloc(resolved.size() + 1));
    if (path_ == nullptr) throw std::bad_alloc();
    std::memcpy(path_, resolved.c_str(), resolved.size() + 1);
}

UtilFile::~UtilFile() {
    if (fd_ >= 0) ::close(fd_);
    delete iv_errl;  // a pending error nobody took
    std::free(path_);
}

void UtilFile::fail(const char* call, int err) {
    delete iv_errl;  // the newest failure replaces one never taken
    iv_errl = gardhost::detail::failure(call, baseName(path_), err);
    iv_errorFlag = 1;
}

void UtilFile::Open(const char* mode) {
    using namespace gardhost;
    const std::string m = mode != nullptr ? mode : "null";
    if (detail::enter("UtilFile::Open", baseName(path_), "mode=" + m)) return fail("UtilFile::Open", 0);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pendingCreate_ = false;
    pos_ = 0;
    if (m == "r+") {
        int fd = ::open(path_, O_RDWR | O_CLOEXEC);
        if (fd < 0) return fail("UtilFile::Open", errno);
        fd_ = fd;
    } else if (m == "w+") {
        // Nothing is created yet, but what would stop the first Write fails here.
        struct stat st {};
        if (::stat(path_, &st) == 0 && S_ISDIR(st.st_mode)) return fail("UtilFile::Open", EISDIR);
        std::string dir = std::filesystem::path(path_).parent_path().string();
        if (::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) != 0)
            return fail("UtilFile::Open", errno);
        pendingCreate_ = true;
    } else {
        fail("UtilFile::Open", EINVAL);
    }
}

void UtilFile::Close() {
    if (gardhost::detail::enter("UtilFile::Close", baseName(path_), ""))
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
    if (gardhost::detail::enter("UtilFile::exists", baseName(path_), "")) return true;
    struct stat st {};
    return ::stat(path_, &st) == 0;
}

std::size_t UtilFile::Read(void* buffer, std::size_t count) {
    using namespace gardhost;
    if (detail::enter("UtilFile::Read", baseName(path_), detail::format("count=%zu pos=%zu", count, pos_))) {
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
    else if (::fstat(fd_, &st) != 0)
        err = errno;
    else if (pos_ > static_cast<std::size_t>(st.st_size) || count > static_cast<std::size_t>(st.st_size) - pos_)
        err = ENODATA;  // all or nothing: the buffer is not touched
    else
        err = readAt(fd_, buffer, count, pos_);
    if (err != 0) {
        fail("UtilFile::Read", err);
        return 0;
    }
    pos_ += count;
    return count;
}

std::size_t UtilFile::Write(const void* buffer, std::size_t count) {
    using namespace gardhost;
    if (detail::enter("UtilFile::Write", baseName(path_), detail::format("count=%zu pos=%zu", count, pos_))) {
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
    // The new content: the old one with the written range replaced.
    std::vector<uint8_t> content;
    if (!pendingCreate_) {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            fail("UtilFile::Write", errno);
            return 0;
        }
        content.resize(static_cast<std::size_t>(st.st_size));
        if (int err = readAt(fd_, content.data(), content.size(), 0); err != 0) {
            fail("UtilFile::Write", err);
            return 0;
        }
    }
    if (content.size() < pos_ + count) content.resize(pos_ + count, 0);
    if (count > 0) std::memcpy(content.data() + pos_, buffer, count);
    int fd = -1;
    if (int err = detail::replaceFile(path_, content.data(), content.size(), &fd); err != 0) {
        fail("UtilFile::Write", err);
        return 0;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;  // reads go on through the new file
    pendingCreate_ = false;
    pos_ += count;
    return count;
}

int UtilFile::Seek(long offset, int origin) {
    using namespace gardhost;
    if (detail::enter("UtilFile::Seek", baseName(path_), detail::format("offset=%ld origin=%d", offset, origin))) {
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
// lands inside the state directory, parents included.
extern "C" int __wrap_mkdir(const char* path, mode_t mode) {
    using namespace gardhost;
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (detail::enter("mkdir", path, detail::format("mode=0%o", static_cast<unsigned>(mode)))) {
        errno = EIO;
        return -1;
    }
    std::string host = resolvePath(path);
    if (host != path) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(host).parent_path(), ec);
    }
    return ::mkdir(host.c_str(), mode);
}
