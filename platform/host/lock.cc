// The lock callers hold around their calls on a state directory: an flock
// of <state>/lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace gardhost {
namespace {

int flockRetrying(int fd, int operation) {
    int rc;
    while ((rc = ::flock(fd, operation)) != 0 && errno == EINTR) {
    }
    return rc;
}

// Waits for the lock; `onWait` runs once on a watcher thread if that takes
// longer than `notice`.
int waitFor(int fd, int operation, const std::function<void()>& onWait, std::chrono::milliseconds notice) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watcher([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, notice, [&] { return done; })) onWait();
    });
    const int rc = flockRetrying(fd, operation);
    const int err = errno;
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_one();
    watcher.join();
    errno = err;
    return rc;
}

}  // namespace

StateLock::StateLock(Mode mode, const std::function<void()>& onWait, std::chrono::milliseconds notice)
{
    const int operation = mode == kShared ? LOCK_SH : LOCK_EX;
    // Non-blocking open: a pipe put in its place must not hang the caller.
    // Beside the directory's descriptor, no walk of the whole path each
    // hold; by the path (the directory made again) where that fails.
    constexpr int kFlags = O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const int root = detail::rootFd();
    fd_ = root >= 0 ? ::openat(root, "lock", kFlags, 0644) : -1;
    path_ = (fd_ >= 0 ? detail::shownDir() : detail::chosenDir()) + "/lock";
    if (fd_ < 0) fd_ = ::open(path_.c_str(), kFlags, 0644);
    struct stat st {};
    if (fd_ < 0) {
        error_ = errno;
        if (detail::fstatatQuiet(AT_FDCWD, path_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            status_ = kUncreatable;  // e.g. a read-only file system
        else
            status_ = S_ISREG(st.st_mode) ? kUnopenable : kNotRegular;
        return;
    }
    if (detail::fstatQuiet(fd_, &st) != 0) {
        error_ = errno;
        status_ = kUnopenable;
    } else if (!S_ISREG(st.st_mode)) {
        status_ = kNotRegular;
    }
    if (status_ != kNotTaken) {
        release();
        return;
    }
    int rc = flockRetrying(fd_, operation | LOCK_NB);
    if (rc != 0 && errno == EWOULDBLOCK)
        rc = onWait ? waitFor(fd_, operation, onWait, notice) : flockRetrying(fd_, operation);
    if (rc != 0) {
        error_ = errno;
        status_ = kUnopenable;
        release();
        return;
    }
    status_ = kHeld;
    // While one holds the lock no writer that takes it runs: the moment to
    // check that the counters mapped are the directory's own (and to redo
    // the journal after a power cut).
    detail::noteLockHeld(true);
    detail::checkCounters();
    // What the hold changes is one call.
    detail::beginCall();
    call_ = true;
}

StateLock::StateLock(StateLock&& other) noexcept { *this = std::move(other); }

StateLock& StateLock::operator=(StateLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        status_ = std::exchange(other.status_, kNotTaken);
        error_ = std::exchange(other.error_, 0);
        call_ = std::exchange(other.call_, false);
        path_ = std::move(other.path_);
    }
    return *this;
}

StateLock::~StateLock() { release(); }

int StateLock::commit() { return call_ ? detail::commitCall() : 0; }

void StateLock::discard() {
    if (!call_) return;
    // Ended without its changes, and begun again: the hold goes on.
    detail::endCall(false);
    detail::beginCall();
}

void StateLock::release() {
    if (call_) {
        call_ = false;
        if (int err = detail::endCall(true); err != 0)
            detail::sayOnce("release-commit", "the changes made under the lock of " + detail::shownDir() +
                                                  " were not made: " + std::strerror(err));
    }
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor drops the flock
    fd_ = -1;
    if (status_ == kHeld) {
        detail::noteLockHeld(false);
        status_ = kNotTaken;
    }
}

}  // namespace gardhost
