// The state directory: where it is, its defaults, and the named values in it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace fs = std::filesystem;

namespace gardhost {
namespace {

std::mutex g_mutex;
std::string g_dir;     // empty until chosen
bool g_ready = false;  // g_dir created and seeded
int g_position = -1;   // -1: from GARD_HOST_SP
int g_sync = -1;       // -1: from GARD_HOST_NOSYNC

std::string defaultDir() {
    if (const char* d = std::getenv("GARD_STATE_DIR"); d != nullptr && *d != '\0') return d;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x != nullptr && *x != '\0')
        return std::string(x) + "/gard";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && *home != '\0' ? home : ".") + "/.local/state/gard";
}

// Names stay inside the state directory: relative, no ".." component.
bool validName(const std::string& name) {
    if (name.empty() || name.front() == '/') return false;
    for (const auto& part : fs::path(name))
        if (part == "..") return false;
    return true;
}

std::vector<uint8_t> u32Bytes(uint32_t v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

int putIn(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::path p = fs::path(dir) / name;
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    return detail::replaceFile(p.string(), bytes.data(), bytes.size());
}

void seedIfNew(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (fs::exists(fs::path(dir) / ".seeded", ec)) return;
    auto seed = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
        if (!fs::exists(fs::path(dir) / name, ec)) putIn(dir, name, bytes);
    };
    for (uint32_t unit : {0x200u, 0x201u}) {
        std::string u = unitName(unit);
        seed("vpd/" + u + "/present", {1});
        seed("vpd/" + u + "/keyword", std::vector<uint8_t>(32, 0xFF));
        seed("vorm/functional/" + u, {1});
    }
    for (int sp : {0, 1}) {
        auto reg = [&](const std::string& key) { return regName(key, sp); };
        seed(reg("dscv/QelPosition"), {static_cast<uint8_t>(sp)});
        seed(reg("dscv/QelRole"), {static_cast<uint8_t>(sp == 0 ? 1 : 0)});
        seed(reg("dscv/SiblingState"), {1});
        seed(reg("hutl/HOMSystemType"), u32Bytes(0x10030000));
        seed(reg("smgr/StateData"), u32Bytes(0));
        const std::string root = "/opt/p3";
        seed(reg("fstp/P3_Root"), std::vector<uint8_t>(root.begin(), root.end()));
    }
    seed("vorm/policy/0", u32Bytes(0));
    seed("vorm/policy/11", u32Bytes(0));
    seed("vorm/deconfig_out", u32Bytes(0));
    putIn(dir, ".seeded", {});
}

}  // namespace

// ---- where the state lives

void setStateDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dir = dir;
    g_ready = false;
}

std::string stateDir() { return detail::stateRoot(); }

void seedDefaults() { seedIfNew(detail::stateRoot()); }

void setPosition(int sp) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_position = sp;
}

int position() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_position < 0) {
        const char* sp = std::getenv("GARD_HOST_SP");
        g_position = sp != nullptr ? std::atoi(sp) : 0;
        if (g_position < 0) g_position = 0;
    }
    return g_position;
}

void setSync(bool on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sync = on ? 1 : 0;
}

std::string resolvePath(const std::string& firmwarePath) {
    std::string p = fs::path(firmwarePath).lexically_normal().string();
    if (p == "/opt" || p.rfind("/opt/", 0) == 0) return detail::stateRoot() + "/root" + p;
    return firmwarePath;
}

// ---- named values

bool getValue(const std::string& name, std::vector<uint8_t>& out) {
    if (!validName(name)) return false;
    std::string path = detail::stateRoot() + "/" + name;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void setValue(const std::string& name, const std::vector<uint8_t>& bytes) {
    int err = validName(name) ? putIn(detail::stateRoot(), name, bytes) : EINVAL;
    if (err != 0)
        std::fprintf(stderr, "gardhost: cannot set %s: %s\n", name.c_str(), std::strerror(err));
}

void eraseValue(const std::string& name) {
    if (!validName(name)) return;
    std::error_code ec;
    fs::remove(detail::stateRoot() + "/" + name, ec);
}

void setU8(const std::string& name, uint8_t v) { setValue(name, {v}); }
void setU32(const std::string& name, uint32_t v) { setValue(name, u32Bytes(v)); }

std::string regName(const std::string& key, int sp) {
    return "sp" + std::to_string(sp < 0 ? position() : sp) + "/reg/" + key;
}

std::string unitName(uint32_t unit) { return detail::hex(unit); }

namespace detail {

std::string stateRoot() {
    std::string dir;
    bool fresh = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_dir.empty()) g_dir = defaultDir();
        dir = g_dir;
        fresh = !g_ready;
        g_ready = true;
    }
    if (fresh) seedIfNew(dir);
    return dir;
}

bool syncOn() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_sync < 0) {
        const char* off = std::getenv("GARD_HOST_NOSYNC");
        g_sync = off != nullptr && std::strcmp(off, "1") == 0 ? 0 : 1;
    }
    return g_sync == 1;
}

bool numberValue(const std::string& name, uint32_t& value) {
    std::vector<uint8_t> b;
    if (!getValue(name, b)) return false;
    if (b.size() == 1) {
        value = b[0];
    } else if (b.size() == 2) {
        uint16_t v;
        std::memcpy(&v, b.data(), sizeof v);
        value = v;
    } else if (b.size() == 4) {
        std::memcpy(&value, b.data(), sizeof value);
    } else {
        return false;
    }
    return true;
}

namespace {
int writeAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int syncDir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}
}  // namespace

int replaceFile(const std::string& path, const uint8_t* data, std::size_t size, int* keep) {
    fs::path p(path);
    std::string dir = p.parent_path().empty() ? "." : p.parent_path().string();
    std::string tmpl = dir + "/." + p.filename().string() + ".XXXXXX";
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    bool sync = syncOn();
    int err = writeAll(fd, data, size);
    if (err == 0 && ::fchmod(fd, mode) != 0) err = errno;
    if (err == 0 && sync && ::fsync(fd) != 0) err = errno;
    if (err == 0 && ::rename(tmpl.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmpl.c_str());
        ::close(fd);
        return err;
    }
    // The content is in place; a failed directory sync still is a failure,
    // since the rename may not survive a crash.
    if (sync) err = syncDir(dir);
    if (keep != nullptr && err == 0)
        *keep = fd;
    else
        ::close(fd);
    return err;
}

void appendLine(const std::string& name, const std::string& line) {
    fs::path p = fs::path(stateRoot()) / name;
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    int fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string text = line + "\n";
    writeAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ::close(fd);
}

std::string hex(uint32_t v) { return format("0x%x", v); }

std::string format(const char* fmt, ...) {
    char small[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string hexText(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 2);
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhexText(const std::string& digits) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        int hi = nibble(digits[i]), lo = nibble(digits[i + 1]);
        if (hi < 0 || lo < 0) break;
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

}  // namespace detail
}  // namespace gardhost
