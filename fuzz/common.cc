#include "common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/host/host.h"

namespace gardfuzz {

Bytes Input::take(std::size_t n) {
    Bytes out;
    while (n-- > 0 && at_ < size_) out.push_back(data_[at_++]);
    return out;
}

void setUp() {
    static bool done = false;
    if (done) return;
    done = true;
    // Every write of a gard file replaces it; in memory that costs no disk.
    std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string dir = base + "/gardfuzz.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    gardhost::setStateDir(dir);
    gardhost::setPosition(0);
    gardhost::setSync(false);
    gardhost::seedDefaults();
    static const std::string remove = dir;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(remove, ec);
    });
}

void reset() {
    gardhost::clearFaults();
    gardhost::clearCalls();  // the call log would grow with every run
    gardhost::clearCommitted();
    gardhost::eraseValue("rmgr/log");
    gardhost::eraseValue("vorm/log");
}

Bytes gardContents(Input& in, std::size_t size) {
    const uint8_t mode = in.u8() % 3;
    if (mode == 0) return in.rest();
    std::size_t at = mode == 2 ? in.u16() % size : 0;
    Bytes file(size, 0);
    for (uint8_t b : in.rest()) {
        if (at >= size) break;
        file[at++] = b;
    }
    return file;
}

void putGardFile(const std::string& name, const Bytes& bytes) {
    const std::string path = gardhost::resolvePath("/opt/p3/gard/" + name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    require(fd >= 0, "cannot create the gard file");
    require(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
            "short write");
    ::close(fd);
}

Bytes gardFile(const std::string& name) {
    const std::string path = gardhost::resolvePath("/opt/p3/gard/" + name);
    Bytes out;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        out.resize(static_cast<std::size_t>(st.st_size));
        if (::pread(fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) out.clear();
    }
    ::close(fd);
    return out;
}

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "gardfuzz: %s\n", what);
    std::abort();
}

long live() { return gardhost::liveErrls(); }

}  // namespace gardfuzz
