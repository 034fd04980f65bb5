// The call log and fault injection every platform call goes through, and
// the failure entry a failing call returns.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/errl.h"
#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace gardhost {
namespace {

// Reason codes of the platform's own failure entries, one per call.
struct Reason {
    const char* call;
    uint16_t reason;
};
constexpr Reason kReasons[] = {
    {"UtilFile::Open", 0xE001},         {"UtilFile::Close", 0xE002},
    {"UtilFile::Read", 0xE003},         {"UtilFile::Write", 0xE004},
    {"UtilFile::Seek", 0xE005},         {"UtilFile::exists", 0xE006},
    {"UtilReg::read", 0xE010},          {"UtilReg::path", 0xE011},
    {"mkdir", 0xE020},                  {"SVPD_fru_status", 0xE030},
    {"SVPD_get_qel_gd_keyword", 0xE031}, {"SVPD_set_qel_gd_keyword", 0xE032},
    {"rmgrGardBackup", 0xE040},         {"rmgrUngardBackup", 0xE041},
    {"rmgrAssertSiblingQELPOR", 0xE042}, {"vormGardGetPolicy", 0xE050},
    {"vormGardCheckFunctionalDmaPath", 0xE051}, {"vormGardDeconfigDmaPath", 0xE052},
    {"vormGetVPDPort", 0xE053},         {"homGetUnitId", 0xE060},
    {"mnfgIsPolicyFlagSet", 0xE070},    {"ErrlEntry::flatten", 0xE080},
    {"ErrlEntry::unflatten", 0xE081},   {"ErrlEntry::getSRC", 0xE082},
};
constexpr uint16_t kPlatformComp = 0xE000;
constexpr uint16_t kUnknownReason = 0xE0FF;
constexpr uint8_t kPlatformSrci = 0xE1;
constexpr uint32_t kInjectedRc = 0xFA;

// "name[@target][#N]": N = 0 fails every matching call.
struct Fault {
    std::string name, target;
    long nth = 0;
    long seen = 0;
};

// A fault that can never match is most likely a typo: say so.
bool knownCall(const std::string& name) {
    for (const Reason& r : kReasons)
        if (name == r.call) return true;
    return false;
}

bool parseFault(std::string text, Fault& fault) {
    const std::string given = text;
    auto reject = [&] {
        std::fprintf(stderr, "gardhost: ignoring fault \"%s\"\n", given.c_str());
        return false;
    };
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\t'))
        text.pop_back();
    text.erase(0, text.find_first_not_of(" \t"));
    if (text.empty() || text.front() == '#') return false;
    fault = Fault{};
    std::size_t hash = text.rfind('#');
    if (hash != std::string::npos) {
        char* end = nullptr;
        long n = std::strtol(text.c_str() + hash + 1, &end, 10);
        if (end == text.c_str() + hash + 1 || *end != '\0' || n <= 0) return reject();
        fault.nth = n;
        text.resize(hash);
    }
    std::size_t at = text.find('@');
    if (at != std::string::npos) {
        fault.target = text.substr(at + 1);
        text.resize(at);
    }
    fault.name = text;
    if (!knownCall(fault.name)) return reject();
    return true;
}

std::vector<Fault> parseList(const std::string& text, char separator) {
    std::vector<Fault> out;
    std::istringstream in(text);
    std::string item;
    Fault fault;
    while (std::getline(in, item, separator))
        if (parseFault(item, fault)) out.push_back(fault);
    return out;
}

// Keep the in-process log bounded for long runs; counts stay exact.
constexpr std::size_t kMaxCalls = 1u << 20;

std::mutex g_mutex;
std::vector<Call> g_calls;
std::map<std::string, std::size_t, std::less<>> g_counts;
std::vector<Fault> g_api;       // failCall
std::vector<Fault> g_env;       // GARD_HOST_FAULTS
std::string g_envText;         // its text when last read
bool g_envRead = false;
std::vector<Fault> g_file;      // <state>/faults
std::string g_fileKey;         // identity of the faults file last read

// The environment is read again when it changes, so a process can set it
// for itself; clearFaults drops its faults until then.
void refreshEnvFaults() {
    const char* env = std::getenv("GARD_HOST_FAULTS");
    std::string text = env != nullptr ? env : "";
    if (g_envRead && text == g_envText) return;
    g_envRead = true;
    g_envText = text;
    g_env = parseList(text, ',');
}

void refreshFileFaults() {
    std::string path = detail::stateRoot() + "/faults";
    struct stat st {};
    std::string key;
    if (::stat(path.c_str(), &st) == 0)
        key = path + detail::format(":%lu:%ld:%ld.%ld", static_cast<unsigned long>(st.st_ino),
                                    static_cast<long>(st.st_size), static_cast<long>(st.st_mtim.tv_sec),
                                    st.st_mtim.tv_nsec);
    if (key == g_fileKey) return;
    g_fileKey = key;
    std::vector<uint8_t> bytes;
    g_file = getValue("faults", bytes) ? parseList(std::string(bytes.begin(), bytes.end()), '\n')
                                       : std::vector<Fault>{};
}

bool matches(std::vector<Fault>& faults, const std::string& name, const std::string& target) {
    bool fail = false;
    for (Fault& f : faults) {
        if (f.name != name || (!f.target.empty() && f.target != target)) continue;
        ++f.seen;
        if (f.nth == 0 || f.seen == f.nth) fail = true;
    }
    return fail;
}

}  // namespace

std::vector<std::string> failableCalls() {
    std::vector<std::string> names;
    for (const Reason& r : kReasons) names.push_back(r.call);
    return names;
}

// ---- fault injection

void failCall(const std::string& fault) {
    Fault f;
    if (!parseFault(fault, f)) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_api.push_back(f);
}

void clearFaults() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_api.clear();
    refreshEnvFaults();
    g_env.clear();
    eraseValue("faults");
    g_file.clear();
    g_fileKey.clear();
}

// ---- call log

const std::vector<Call>& calls() { return g_calls; }

void clearCalls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_counts.clear();
}

std::size_t callCount(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_counts.find(name);
    return it == g_counts.end() ? 0 : it->second;
}

ErrlEntry* platformFailure(const std::string& call) { return detail::failure(call, "", 0); }

namespace detail {

bool enter(const char* name, const std::string& target, const std::string& args, bool canFail) {
    std::lock_guard<std::mutex> lock(g_mutex);
    refreshEnvFaults();
    refreshFileFaults();
    // Every list sees the call, so each fault's "#N" counts all matching calls.
    bool fail = matches(g_api, name, target);
    fail = matches(g_env, name, target) || fail;
    fail = matches(g_file, name, target) || fail;
    fail = fail && canFail;

    if (g_calls.size() >= kMaxCalls)
        g_calls.erase(g_calls.begin(), g_calls.begin() + static_cast<long>(kMaxCalls / 2));
    g_calls.push_back(Call{name, target, args, fail});
    ++g_counts[name];

    const char* callLog = std::getenv("GARD_HOST_CALLLOG");
    if (callLog != nullptr && std::strcmp(callLog, "1") == 0)
        appendLine("calls.log", std::string(name) + " target=" + (target.empty() ? "-" : target) +
                                    " args=" + (args.empty() ? "-" : args) +
                                    (fail ? " FAILED" : ""));
    return fail;
}

ErrlEntry* failure(const std::string& call, const std::string& target, int err) {
    uint16_t reason = kUnknownReason;
    for (const Reason& r : kReasons)
        if (call == r.call) reason = r.reason;
    // The target in the user data: a number as itself, a name as up to
    // twelve characters, four to a word, so a dump shows it readably.
    uint32_t ud[3] = {0, 0, 0};
    char* end = nullptr;
    unsigned long number = std::strtoul(target.c_str(), &end, 0);
    if (!target.empty() && *end == '\0') {
        ud[0] = static_cast<uint32_t>(number);
    } else {
        for (std::size_t i = 0; i < target.size() && i < 12; ++i)
            ud[i / 4] |= uint32_t{static_cast<unsigned char>(target[i])} << (24 - 8 * (i % 4));
    }
    auto* e = new ErrlEntry(kPlatformComp, 0x40, 1, kPlatformSrci, 0,
                            static_cast<uint8_t>(reason & 0xFF), 0, reason, ud[0], ud[1], ud[2],
                            static_cast<uint32_t>(err), 0, 0);
    e->setRC(err != 0 ? static_cast<uint32_t>(err) : kInjectedRc);
    std::string text = call + (target.empty() ? "" : " " + target) + ": " +
                       (err != 0 ? std::strerror(err) : "injected fault");
    e->detail().assign(text.begin(), text.end());
    return e;
}

}  // namespace detail
}  // namespace gardhost
