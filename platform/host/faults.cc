// The call log and fault injection every platform call goes through, and
// the failure entry a failing call returns.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <iterator>
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
    {"ErrlBase::operator new", 0xE083},
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
        std::fprintf(stderr, "gardhost: ignoring fault \"%s\"\n", shown(given).c_str());
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

// A logged call as it is kept: pointers to literals, numbers, and offsets of
// its texts in g_texts. calls() prints it.
struct Raw {
    const char* name;
    const char* format;
    long long v[4];
    uint32_t number;
    uint32_t targetAt, targetLen;
    uint32_t textAt, textLen;
    detail::Target::Kind kind;
    bool failed;
};

struct Count {
    const char* name;
    std::size_t n;
};

std::mutex g_mutex;
std::vector<Raw> g_log;
std::string g_texts;         // targets and argument texts of g_log, in order
std::vector<Call> g_view;    // calls() as printed so far
std::size_t g_viewed = 0;    // entries of g_log in g_view
// Calls per name, by the name's address (open addressing; a name spelled
// at two addresses has two slots, callCount adds them).
constexpr std::size_t kCountSlots = 256;
Count g_counts[kCountSlots];
std::vector<Fault> g_api;    // failCall
std::vector<Fault> g_env;    // GARD_HOST_FAULTS
std::vector<Fault> g_file;   // <state>/faults
bool g_envStale = true;      // read the environment before the next call
bool g_fileStale = true;     // read the faults file before the next call
bool g_any = false;          // some fault in one of the lists
std::string g_fileText;      // the faults file as g_file was parsed from it
uint64_t g_fileSeen = 0;     // the change count when it was last looked at

void noteAny() { g_any = !g_api.empty() || !g_env.empty() || !g_file.empty(); }

// Under g_mutex.
void loadFaults() {
    if (g_envStale) {
        const char* env = std::getenv("GARD_HOST_FAULTS");
        g_env = parseList(env != nullptr ? env : "", ',');
        g_envStale = false;
    }
    // Another process may have changed the file: parsed again only when its
    // text did, so that the calls a fault counted still count.
    detail::faultsUnchanged(g_fileSeen);
    std::vector<uint8_t> bytes;
    std::string text;
    if (getValue("faults", bytes)) text.assign(bytes.begin(), bytes.end());
    if (g_fileStale || text != g_fileText) {
        g_file = parseList(text, '\n');
        g_fileText = std::move(text);
        g_fileStale = false;
    }
    noteAny();
}

// Under g_mutex: the lists again when a source may have changed.
void loadIfChanged() {
    if (g_envStale || g_fileStale || !detail::faultsUnchanged(g_fileSeen)) loadFaults();
}

bool matches(std::vector<Fault>& faults, const char* name, const std::string& target) {
    bool fail = false;
    for (Fault& f : faults) {
        if (f.name != name || (!f.target.empty() && f.target != target)) continue;
        ++f.seen;
        if (f.nth == 0 || f.seen == f.nth) fail = true;
    }
    return fail;
}

std::string_view textAt(uint32_t at, uint32_t len) { return std::string_view(g_texts).substr(at, len); }

Call print(const Raw& r) {
    detail::Target t{r.kind, textAt(r.targetAt, r.targetLen), r.number};
    detail::Args a;
    a.format = r.format;
    std::copy(std::begin(r.v), std::end(r.v), a.v);
    a.text = textAt(r.textAt, r.textLen);
    return Call{r.name, t.str(), a.str(), r.failed};
}

// The older half goes, with its texts.
void dropOlderHalf() {
    const auto half = static_cast<long>(kMaxCalls / 2);
    g_log.erase(g_log.begin(), g_log.begin() + half);
    const uint32_t base = g_log.empty() ? static_cast<uint32_t>(g_texts.size()) : g_log.front().targetAt;
    g_texts.erase(0, base);
    for (Raw& r : g_log) {
        r.targetAt -= base;
        r.textAt -= base;
    }
    if (g_viewed >= static_cast<std::size_t>(half)) {
        g_view.erase(g_view.begin(), g_view.begin() + half);
        g_viewed -= static_cast<std::size_t>(half);
    } else {
        g_view.clear();
        g_viewed = 0;
    }
}

uint32_t keep(std::string_view text) {
    const auto at = static_cast<uint32_t>(g_texts.size());
    if (!text.empty()) g_texts.append(text);
    return at;
}

// Under g_mutex. More distinct names than slots are not counted.
void countCall(const char* name) {
    std::size_t i = (reinterpret_cast<std::uintptr_t>(name) >> 3) % kCountSlots;
    for (std::size_t probe = 0; probe < kCountSlots; ++probe, i = (i + 1) % kCountSlots) {
        if (g_counts[i].name == nullptr) g_counts[i].name = name;
        if (g_counts[i].name == name) {
            ++g_counts[i].n;
            return;
        }
    }
}

// GARD_HOST_POINTS: where the points a process passes are listed, opened
// once; -1 when not asked for or not openable (said once).
int pointsFd() {
    static const int fd = [] {
        const char* path = std::getenv("GARD_HOST_POINTS");
        if (path == nullptr || *path == '\0') return -1;
        int f = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (f < 0) std::fprintf(stderr, "gardhost: GARD_HOST_POINTS %s: %s\n", path, std::strerror(errno));
        return f;
    }();
    return fd;
}

}  // namespace

namespace detail {

// The counts are this process's, from its start, as GARD_HOST_CRASH_AT and a
// fault's "#N" count them; each line is one write, so processes sharing the
// file do not mix their lines.
void listPoint(const char* kind, const char* name, const std::string& target) {
    const int fd = pointsFd();
    if (fd < 0) return;
    static std::mutex mutex;
    static std::map<std::string, long> counts;
    std::lock_guard<std::mutex> lock(mutex);
    const std::string call = std::string(kind) + " " + name;
    std::string line = std::to_string(::getpid());
    line.append(" ").append(kind).append(" ");
    if (std::strcmp(kind, "crash") == 0) line.append(std::to_string(++counts[""])).append(" ");
    line.append(name).append("#").append(std::to_string(++counts[call]));
    if (!target.empty())
        line.append(" ").append(name).append("@").append(target).append("#").append(
            std::to_string(++counts[call + "@" + target]));
    line += "\n";
    [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
}

}  // namespace detail

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
    g_any = true;
}

void clearFaults() {
    eraseValue("faults");
    std::lock_guard<std::mutex> lock(g_mutex);
    g_api.clear();
    g_env.clear();
    g_file.clear();
    g_fileText.clear();
    detail::faultsUnchanged(g_fileSeen);
    g_envStale = g_fileStale = false;
    g_any = false;
}

std::vector<FaultInForce> faultsInForce() {
    std::lock_guard<std::mutex> lock(g_mutex);
    loadIfChanged();
    std::vector<FaultInForce> out;
    for (const auto& [faults, source] : {std::pair{&g_api, "call"}, {&g_env, "environment"}, {&g_file, "file"}})
        for (const Fault& f : *faults) {
            std::string text = f.name;
            if (!f.target.empty()) text.append(1, '@').append(f.target);
            if (f.nth != 0) text.append(1, '#').append(std::to_string(f.nth));
            out.push_back({std::move(text), source});
        }
    return out;
}

void reloadFaults() {
    detail::dropCached("faults");  // it may have been changed behind the platform's back
    detail::faultsStale();
}

// ---- call log

const std::vector<Call>& calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_view.reserve(g_log.size());
    for (; g_viewed < g_log.size(); ++g_viewed) g_view.push_back(print(g_log[g_viewed]));
    return g_view;
}

void clearCalls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_log.clear();
    g_texts.clear();
    g_view.clear();
    g_viewed = 0;
    std::fill(std::begin(g_counts), std::end(g_counts), Count{nullptr, 0});
}

std::size_t callCount(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::size_t n = 0;
    for (const Count& c : g_counts)
        if (c.name != nullptr && name == c.name) n += c.n;
    return n;
}

ErrlEntry* platformFailure(const std::string& call) { return detail::failure(call, "", 0); }

namespace detail {

void faultsFileChanged() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fileStale = true;
}

void faultsStale() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_envStale = g_fileStale = true;
}

std::string Target::str() const {
    switch (kind) {
        case kText: return std::string(text);
        case kHex: return detail::hex(number);
        case kDec: return std::to_string(number);
        default: return {};
    }
}

// Each conversion is printed on its own, its number widened to long long.
std::string Args::str() const {
    std::string out;
    std::size_t next = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        while (*p != '\0' && std::strchr("-+ #0123456789", *p) != nullptr) ++p;
        if (*p == '\0') break;
        if (*p == 's') {
            out += text;
            continue;
        }
        if (std::strchr("duxXo", *p) == nullptr || next >= 4) {
            out.append(start, static_cast<std::size_t>(p - start + 1));
            continue;
        }
        std::string conversion(start, static_cast<std::size_t>(p - start));
        conversion += "ll";
        conversion += *p;
        char number[64];
        if (*p == 'd')
            std::snprintf(number, sizeof number, conversion.c_str(), v[next++]);
        else
            std::snprintf(number, sizeof number, conversion.c_str(), static_cast<unsigned long long>(v[next++]));
        out += number;
    }
    return out;
}

bool enter(const char* name, const Target& target, const Args& a, bool canFail) {
    std::lock_guard<std::mutex> lock(g_mutex);
    loadIfChanged();
    bool fail = false;
    if (g_any) {
        // Every list sees the call, so each fault's "#N" counts all matching calls.
        const std::string t = target.str();
        fail = matches(g_api, name, t);
        fail = matches(g_env, name, t) || fail;
        fail = matches(g_file, name, t) || fail;
        fail = fail && canFail;
    }

    if (g_log.size() >= kMaxCalls) dropOlderHalf();
    Raw r;
    r.name = name;
    r.format = a.format;
    std::copy(std::begin(a.v), std::end(a.v), r.v);
    r.number = target.number;
    r.kind = target.kind;
    r.targetAt = keep(target.text);
    r.targetLen = static_cast<uint32_t>(target.text.size());
    r.textAt = keep(a.text);
    r.textLen = static_cast<uint32_t>(a.text.size());
    r.failed = fail;
    g_log.push_back(r);
    countCall(name);
    listPoint(canFail ? "call" : "call-unfailable", name, target.str());

    if (callLogToFile()) {
        const Call c = print(r);
        appendValue("calls.log", c.name + " target=" + (c.target.empty() ? "-" : c.target) +
                                    " args=" + (c.args.empty() ? "-" : c.args) + (fail ? " FAILED" : ""));
    }
    return fail;
}

ErrlEntry* failure(const char* call, const Target& target, int err) {
    return failure(std::string(call), target.str(), err);
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
