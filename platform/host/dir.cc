// The state directory: where it is, its defaults, and where firmware paths
// land inside it.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace fs = std::filesystem;

namespace gardhost {
namespace {

// Recursive: the first use seeds the directory through calls that ask for it.
std::recursive_mutex g_mutex;
std::string g_dir;                 // empty until chosen
std::atomic<bool> g_ready{false};  // g_dir created, swept and seeded
std::atomic<int> g_rootFd{-1};
// -1: not read yet from the environment.
std::atomic<int> g_position{-1};  // GARD_HOST_SP
std::atomic<int> g_noSync{-1};    // GARD_HOST_NOSYNC
std::atomic<int> g_callLog{-1};   // GARD_HOST_CALLLOG

// Whether the variable is "1", read from the environment the first time.
bool envFlag(std::atomic<int>& cached, const char* variable) {
    int on = cached;
    if (on < 0) {
        const char* value = std::getenv(variable);
        on = value != nullptr && std::strcmp(value, "1") == 0 ? 1 : 0;
        cached = on;
    }
    return on == 1;
}

std::string defaultDir() {
    if (const char* d = std::getenv("GARD_STATE_DIR"); d != nullptr && *d != '\0') return d;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x != nullptr && *x != '\0')
        return std::string(x) + "/gard";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && *home != '\0' ? home : ".") + "/.local/state/gard";
}

std::mutex g_shownMutex;
std::string g_shown;  // g_dir, for messages

// Under g_mutex.
const std::string& chosen() {
    if (g_dir.empty()) g_dir = defaultDir();
    {
        std::lock_guard<std::mutex> lock(g_shownMutex);
        g_shown = g_dir;
    }
    std::error_code ec;
    fs::create_directories(g_dir, ec);
    return g_dir;
}

void putU32(std::vector<uint8_t>& b, uint32_t v) {
    b.resize(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
}

// Every value that is missing gets a working default, once per directory;
// true when it wrote something.
bool seedIfNew() {
    std::vector<uint8_t> ignored;
    if (detail::readContent(".seeded", ignored) == 0) return false;
    // One call: the defaults and their mark come together or not at all.
    detail::beginCall();
    detail::SeedingDefaults seeding;  // defaults are no one's change
    auto seed = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
        if (detail::readContent(name, ignored) == ENOENT) detail::writeContent(name, bytes.data(), bytes.size());
    };
    std::vector<uint8_t> word;
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
        putU32(word, 0x10030000);
        seed(reg("hutl/HOMSystemType"), word);
        putU32(word, 0);
        seed(reg("smgr/StateData"), word);
        const std::string root = "/opt/p3";
        seed(reg("fstp/P3_Root"), std::vector<uint8_t>(root.begin(), root.end()));
    }
    putU32(word, 0);
    seed("vorm/policy/0", word);
    seed("vorm/policy/11", word);
    seed("vorm/deconfig_out", word);
    detail::writeContent(".seeded", static_cast<const uint8_t*>(nullptr), 0);
    detail::endCall(true);
    return true;
}

}  // namespace

void setStateDir(const std::string& dir) {
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        g_dir = dir;
        g_ready = false;
        if (int fd = g_rootFd.exchange(-1); fd >= 0) ::close(fd);
        detail::unmapCounters();
    }
    detail::forgetCall();
    g_callLog = -1;
    detail::forgetValues();
    detail::closeKept();
    detail::faultsStale();
}

std::string stateDir() { return detail::stateRoot(); }

void seedDefaults() {
    detail::stateRoot();
    seedIfNew();
    detail::forgetValues();
}

void setPosition(int sp) { g_position = sp; }

int position() {
    int sp = g_position;
    if (sp < 0) {
        const char* env = std::getenv("GARD_HOST_SP");
        sp = env != nullptr ? std::atoi(env) : 0;
        if (sp < 0) sp = 0;
        g_position = sp;
    }
    return sp;
}

void setSync(bool on) { g_noSync = on ? 0 : 1; }

std::string resolvePath(const std::string& firmwarePath) {
    return detail::stateRoot() + "/" + detail::firmwareName(firmwarePath);
}

std::string regName(const std::string& key, int sp) {
    return "sp" + std::to_string(sp < 0 ? position() : sp) + "/reg/" + key;
}

std::string unitName(uint32_t unit) { return detail::hex(unit); }

namespace detail {

const std::string& stateRoot() {
    if (g_ready.load(std::memory_order_acquire)) return g_dir;
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    if (!g_ready) {
        // The first use of a directory in this process: its counters mapped,
        // what dead writers left removed, the defaults seeded.
        chosen();
        rootFd();
        checkCounters();
        sweepTemporaries();
        seedIfNew();
        forgetValues();
        g_ready.store(true, std::memory_order_release);
    }
    return g_dir;
}

std::string chosenDir() {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    return chosen();
}

std::string shownDir() {
    std::lock_guard<std::mutex> lock(g_shownMutex);
    return g_shown;
}

int rootFd() {
    int fd = g_rootFd.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    fd = g_rootFd.load();
    if (fd < 0) {
        // The directory itself may be reached through links: it is the
        // user's choice. Nothing inside it is.
        fd = ::open(chosen().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) g_rootFd.store(fd, std::memory_order_release);
    }
    return fd;
}

bool syncOn() { return !envFlag(g_noSync, "GARD_HOST_NOSYNC"); }

bool callLogToFile() { return envFlag(g_callLog, "GARD_HOST_CALLLOG"); }

std::string firmwareName(std::string_view path) {
    std::string out = "root";
    const std::size_t base = out.size();
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t end = std::min(path.find('/', at), path.size());
        std::string_view part = path.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (out.size() > base) out.resize(out.rfind('/'));
            continue;
        }
        out.append(1, '/').append(part);
    }
    return out;
}

int processId() {
    static std::atomic<int> pid{0};
    static std::once_flag once;
    std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, [] { pid = 0; }); });
    int p = pid.load(std::memory_order_relaxed);
    if (p == 0) pid = p = static_cast<int>(::getpid());
    return p;
}

Name regName(std::string_view key) {
    Name n;
    n.add("sp").dec(static_cast<uint32_t>(position())).add("/reg/").add(key);
    return n;
}

}  // namespace detail
}  // namespace gardhost
