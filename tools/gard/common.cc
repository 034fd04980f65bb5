// Options, input parsing, names, the state directory and result printing.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <set>

#include "cli.h"
#include "explain.h"
#include "platform/host/host.h"

namespace gardcli {

Options& opts() {
    static Options o;
    return o;
}

std::function<int()>& action() {
    static std::function<int()> a;
    return a;
}

void addStateOptions(CLI::App* app, bool stateDir) {
    if (stateDir) {
        app->add_option("--state", opts().stateDir, "State directory (else GARD_STATE_DIR, else "
                                                    "$XDG_STATE_HOME/gard, else ~/.local/state/gard)")
            ->each([](const std::string&) { opts().stateGiven = true; });
    }
    app->add_option("--sp", opts().spText, "Run as the service processor at position 0 or 1 "
                                           "(else GARD_HOST_SP, else 0)")
        ->type_name("0|1")
        ->each([](const std::string&) { opts().spGiven = true; });
}

void addConfirmOptions(CLI::App* app) {
    app->add_flag("--yes,-y", opts().yes, "Do not ask before changing");
    app->add_flag("--dry-run", opts().dryRun, "Print what would change and change nothing");
}

CLI::App* command(CLI::App* parent, const std::string& name, const std::string& help,
                  const std::string& example, bool stateful) {
    CLI::App* sub = parent->add_subcommand(name, help);
    sub->footer("Example: " + example);
    if (stateful) addStateOptions(sub);
    sub->add_flag("--json", opts().json, "Print the result as JSON");
    return sub;
}

// ---------------------------------------------------------------- input

uint32_t parseNumber(const std::string& text, const std::string& what, uint32_t max) {
    const bool hexForm = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const uint64_t base = hexForm ? 16 : 10;
    uint64_t v = 0;
    bool digits = text.size() > (hexForm ? 2u : 0u), over = false;
    for (std::size_t i = hexForm ? 2 : 0; digits && i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const uint64_t d = std::isdigit(c) ? c - '0' : std::isxdigit(c) ? (std::tolower(c) - 'a' + 10) : 99;
        digits = d < base;
        v = v * base + d;
        over = over || v > max;
        if (over) v = 0;  // no wrap-around however many digits follow
    }
    if (!digits) throw Usage(what + " '" + text + "' is not a number (decimal, or hex after 0x)");
    if (over)
        throw Usage(what + " '" + text + "' out of range (0 to " + (max < 10 ? std::to_string(max) : hex(max)) + ")");
    return static_cast<uint32_t>(v);
}

uint16_t parseUnitId(const std::string& text) {
    uint32_t v = parseNumber(text, "unit id", 0xFFFF);
    if (v == 0) throw Usage("unit id 0 marks a free entry; give 1 to 0xffff");
    return static_cast<uint16_t>(v);
}

namespace {
struct Named {
    uint32_t value;
    const char* name;
};
constexpr Named kUnitStates[] = {{0x00, "none"},    {0x5C, "new"},          {0x5D, "garded"},
                                 {0xCC, "cleared"}, {0xEC, "not-garded-2"}, {0xED, "garded-2"}};
constexpr Named kQelStates[] = {{0x5C, "new"},      {0x5D, "garded"},       {0xCC, "cleared"},
                                {0xEC, "not-garded-2"}, {0xED, "garded-2"}, {0x5A, "dma-mark"},
                                {0xFF, "erased"}};

template <std::size_t N>
std::string nameOf(const Named (&table)[N], uint32_t v) {
    for (const Named& n : table)
        if (n.value == v) return n.name;
    return "unknown";
}

template <std::size_t N>
uint32_t stateOf(const Named (&table)[N], const std::string& text, uint32_t max) {
    for (const Named& n : table)
        if (text == n.name) return n.value;
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])))
        return parseNumber(text, "state", max);
    std::string names;
    for (const Named& n : table) names += std::string(names.empty() ? "" : ", ") + n.name;
    throw Usage("unknown state '" + text + "' (give one of " + names + ", or a number)");
}
}  // namespace

uint32_t parseUnitState(const std::string& text) { return stateOf(kUnitStates, text, 0xFFFFFFFFu); }
uint32_t parseQelState(const std::string& text) { return stateOf(kQelStates, text, 0xFF); }

bool parseOnOff(const std::string& text, const std::string& what) {
    if (text == "on" || text == "1" || text == "yes" || text == "true") return true;
    if (text == "off" || text == "0" || text == "no" || text == "false") return false;
    throw Usage(what + " '" + text + "' is neither on nor off");
}

std::vector<uint8_t> parseHex(const std::string& text, const std::string& what) {
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '-') digits += c;
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits.erase(0, 2);
    if (digits.size() % 2 != 0) throw Usage(what + " '" + text + "' has an odd number of hex digits");
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(digits[i])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[i + 1])))
            throw Usage(what + " '" + text + "' is not hex");
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// ---------------------------------------------------------------- names

std::string hex(uint32_t v, int digits) {
    std::ostringstream os;
    os << "0x" << std::hex << std::setfill('0') << std::setw(digits) << v;
    return os.str();
}

std::string hexBytes(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

namespace {
std::string hexOf(std::string_view bytes) {
    return hexBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// Length of the printable UTF-8 character at p (0 when there is none):
// well-formed, shortest form, no surrogate, no control character (C0, DEL,
// C1) and none of the invisible ones that reorder or break a terminal line.
std::size_t printableAt(std::string_view s, std::size_t p) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[p + k]); };
    const unsigned char c = b(0);
    if (c < 0x80) return c >= 0x20 && c != 0x7F && c != '\\' ? 1 : 0;
    const std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || c > 0xF4 || p + n > s.size()) return 0;
    uint32_t cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(k) & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool invisible = cp < 0xA0 || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF ||
                           (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
                           (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF;
    return cp >= least[n] && !invisible ? n : 0;
}
}  // namespace

std::string shown(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t p = 0; p < bytes.size();) {
        if (std::size_t n = printableAt(bytes, p); n != 0) {
            out.append(bytes.substr(p, n));
            p += n;
        } else if (bytes[p] == '\\') {
            out += "\\\\";
            ++p;
        } else {
            out += "\\x" + hexOf(bytes.substr(p++, 1));
        }
    }
    return out;
}

bool plainText(std::string_view bytes) {
    for (std::size_t p = 0, n; p < bytes.size(); p += n)
        if ((n = printableAt(bytes, p)) == 0) return false;
    return true;
}

void putBytes(Json& obj, const std::string& key, std::string_view bytes) {
    obj[key] = shown(bytes);
    if (!plainText(bytes)) obj[key + "Hex"] = hexOf(bytes);
}

void putLines(Json& obj, const std::string& key, const std::vector<std::string>& lines) {
    Json text = Json::array(), hexes = Json::array();
    bool plain = true;
    for (const std::string& line : lines) {
        text.push_back(shown(line));
        hexes.push_back(hexOf(line));
        plain = plain && plainText(line);
    }
    obj[key] = text;
    if (!plain) obj[key + "Hex"] = hexes;
}

std::string unitStateName(uint32_t state) { return nameOf(kUnitStates, state); }
std::string qelStateName(uint32_t state) { return nameOf(kQelStates, state); }

std::string vpdResultName(uint32_t code) {
    constexpr Named t[] = {{0, "ok"}, {1, "unreadable"}, {15, "repair-failed"}, {31, "buffer-small"}};
    return nameOf(t, code);
}
std::string usableName(int code) {
    constexpr Named t[] = {{0, "usable"}, {1, "no-dma-path"}, {2, "garded"}};
    return nameOf(t, static_cast<uint32_t>(code));
}
std::string failoverName(uint32_t status) {
    constexpr Named t[] = {{0, "not-usable"}, {1, "sibling-down"}, {2, "capable"}};
    return nameOf(t, status);
}
std::string setResultName(uint32_t code) {
    constexpr Named t[] = {{0, "done"}, {1, "not-done"}, {2, "failed"}};
    return nameOf(t, code);
}

std::string utcTime(uint64_t micros) {
    const auto secs = static_cast<time_t>(micros / 1000000u);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<unsigned>(micros % 1000000u));
    return text;
}

// ---------------------------------------------------------------- state directory

namespace {
bool g_open = false;
std::size_t g_committedAtOpen = 0;

// What the host platform keeps at the top of a state directory. A directory
// holding anything else is someone else's (a home directory given by
// mistake, say), and is not to be filled with gard state.
bool stateDirContent(const std::string& dir) {
    static const std::set<std::string> kOurs = {"root",   "sp0",   "sp1",  "vpd",        "vorm",
                                                "mnfg",   "rmgr",  "errl", "faults",     "trace",
                                                "lock",   "calls.log",     "generation", "history", "history.1"};
    std::error_code ec;
    if (std::filesystem::exists(dir + "/.seeded", ec)) return true;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (kOurs.count(entry.path().filename().string()) == 0) return false;
    return !ec;
}
}  // namespace

std::string stateDirChoice() {
    if (opts().stateGiven) {
        if (opts().stateDir.empty()) throw Usage("--state is empty: give a directory");
        return opts().stateDir;
    }
    if (const char* d = std::getenv("GARD_STATE_DIR"); d && *d) return d;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/gard";
    if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/state/gard";
    throw Usage("no state directory: give --state DIR or set GARD_STATE_DIR");
}

namespace {
// Held until the tool exits, so that commands run at once behave as if run
// one after the other.
gardhost::StateLock g_lock;

void lockState(const std::string& dir) {
    using gardhost::StateLock;
    const bool shared = opts().access == Access::Reads;
    g_lock = StateLock(shared ? StateLock::kShared : StateLock::kExclusive, [dir] {
        std::cerr << "gard: waiting for another command or program using " << dir << " to finish\n";
    });
    const std::string why = g_lock.error() != 0 ? std::string(": ") + std::strerror(g_lock.error()) : "";
    const std::string cannot = "cannot lock state directory " + dir + ": ";
    switch (g_lock.status()) {
        case StateLock::kHeld:
        case StateLock::kNotTaken:
            return;
        case StateLock::kUncreatable:
            // A read-only state directory: reading it needs no lock, changing it would.
            if (opts().access == Access::Changes) throw Usage(cannot + "cannot create " + g_lock.path() + why);
            // Library queries go on unlocked, through a copy (see openState).
            if (shared)
                std::cerr << "gard: reading " << dir << " without its lock (cannot create " << g_lock.path()
                          << why << ")\n";
            return;
        case StateLock::kNotRegular:
            throw Usage(cannot + g_lock.path() + " is not a regular file (remove it; gard makes a new one)");
        case StateLock::kUnopenable:
            throw Usage(cannot + "cannot open " + g_lock.path() + why);
    }
}

// A copy of a state directory that cannot be written, removed when the tool
// exits; what the library repairs or creates there goes with it.
std::string scratchCopy(const std::string& dir) {
    static std::string scratch;
    scratch = makeTempDir("gard-readonly");
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    });
    std::error_code ec;
    std::filesystem::copy(dir, scratch, std::filesystem::copy_options::recursive, ec);
    if (ec) throw Usage("cannot copy " + dir + " to " + scratch + ": " + ec.message());
    return scratch;
}
}  // namespace

Access commandAccess(CLI::App& app) {
    CLI::App* leaf = &app;
    std::string name;
    while (!leaf->get_subcommands().empty()) {
        leaf = leaf->get_subcommands().front();
        name += (name.empty() ? "" : " ") + leaf->get_name();
    }
    auto given = [&](const char* option) {
        const CLI::Option* o = leaf->get_option_no_throw(option);
        return o != nullptr && o->count() > 0;
    };
    const auto readsIf = [](bool reads) { return reads ? Access::Reads : Access::Changes; };
    // Nearly every library call may write (record repairs, file creation):
    // only commands that read the platform's values and logs directly read.
    if (name == "errlogs list" || name == "errlogs show" || name == "platform rmgr-log" ||
        name == "platform unit-id" || name == "history")
        return Access::Reads;
    if (name == "trace") return readsIf(!given("--clear"));
    if (name.rfind("platform fault", 0) == 0) return readsIf(name == "platform fault list");
    // The other platform commands show their value unless given a new one.
    if (name.rfind("platform ", 0) == 0) return readsIf(!given("VALUE") && !given("--remove") && !given("--bytes"));
    // Library queries; `sp garded` is not one: it may assert the sibling's
    // reset or gard the backup.
    static const std::set<std::string> kQueries = {
        "status",       "units list",  "units show",        "units is-garded", "sp show",
        "sp do-gard",   "sp usable",   "sp failover",       "sp dma-config",   "stored-errl"};
    return kQueries.count(name) != 0 ? Access::Asks : Access::Changes;
}

void openState() {
    if (g_open) return;
    std::string dir = stateDirChoice();
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec) && !stateDirContent(dir))
        throw Usage(dir + " is not a gard state directory and not empty: give a new or empty directory");
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir))
        throw Usage("cannot create state directory " + dir + ": " +
                    (ec ? ec.message() : std::string(std::strerror(ENOTDIR))));
    gardhost::setStateDir(dir);
    lockState(dir);
    const bool unlocked = g_lock.status() == gardhost::StateLock::kUncreatable;
    if (opts().access != Access::Reads && (unlocked || access(dir.c_str(), W_OK | X_OK) != 0)) {
        const std::string why = unlocked ? "cannot create " + g_lock.path() + ": " + std::strerror(g_lock.error())
                                         : std::string("cannot be changed: ") + std::strerror(errno);
        if (opts().access == Access::Changes) throw Usage("state directory " + dir + " " + why);
        // Library queries may repair records or create files: they run on a
        // copy, so that a read-only state directory can still be asked.
        std::cerr << "gard: reading " << dir << " through a copy (" << why
                  << "): library queries may repair records or create files\n";
        gardhost::setStateDir(scratchCopy(dir));
    }
    if (opts().sp >= 0) gardhost::setPosition(opts().sp);
    gardhost::seedDefaults();
    g_committedAtOpen = committedCount();
    g_open = true;
}

bool stateOpen() { return g_open; }

void newCall() {
    if (!g_lock.held()) return;
    g_lock.release();
    lockState(stateDirChoice());
}

std::string makeTempDir(const std::string& prefix) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr) throw Usage("cannot create a temporary directory " + pattern);
    return dir.data();
}

std::size_t committedCount() { return gardhost::committed().size(); }

bool hostNumber(const std::string& name, uint32_t& value) {
    std::vector<uint8_t> b;
    if (!gardhost::getValue(name, b) || b.empty() || b.size() == 3) return false;
    if (b.size() == 1) {
        value = b[0];
    } else if (b.size() == 2) {
        uint16_t v16 = 0;
        std::memcpy(&v16, b.data(), 2);
        value = v16;
    } else {
        std::memcpy(&value, b.data(), 4);
    }
    return true;
}

void printTable(std::ostream& os, const std::vector<std::vector<std::string>>& rows,
                const std::string& indent) {
    // Widths in characters: a UTF-8 character is one lead byte.
    auto width = [](const std::string& s) {
        return std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; });
    };
    std::vector<std::ptrdiff_t> widths;
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i) widths.push_back(0);
            widths[i] = std::max(widths[i], width(row[i]));
        }
    for (const auto& row : rows) {
        std::string line = indent;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(static_cast<std::size_t>(widths[i] - width(row[i]) + 2), ' ');
        }
        os << line.substr(0, line.find_last_not_of(' ') + 1) << '\n';
    }
}

void committedShown() { g_committedAtOpen = committedCount(); }

// ---------------------------------------------------------------- error logs

namespace {
Json srcJson(SrciSrc& s) {
    Json j = Json::object();
    putBytes(j, "ascii", s.getAsciiString());
    j.update(Json{{"compId", s.compId},
            {"srciType", s.srciType},      {"word", s.word},
            {"modId", s.modId},            {"serviceCodes", s.serviceCodes},
            {"reasonCode", s.reasonCode},  {"userData", {s.ud[0], s.ud[1], s.ud[2], s.ud[3]}},
            {"subsystem", s.epubSubSystem}, {"gardBit", s.gardBit}});
    return j;
}

std::string trimmed(const std::string& s) {
    std::size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? "" : s.substr(0, end + 1);
}

void printSrc(std::ostream& os, const Json& s, const std::string& indent, std::size_t i) {
    os << indent << "SRC " << i << ": " << trimmed(s["ascii"].get<std::string>()) << "  module "
       << hex(s["modId"].get<uint32_t>()) << " reason " << hex(s["reasonCode"].get<uint32_t>()) << " user data";
    for (const Json& u : s["userData"]) os << ' ' << hex(u.get<uint32_t>());
    if (s["gardBit"].get<bool>()) os << "  gard bit";
    os << '\n';
}
}  // namespace

void checkSrc(const std::string& src) {
    if (src.size() > 32) throw Usage("SRC text '" + src + "' is longer than 32 characters");
}

ErrlEntry* callerErrl(const std::string& src) {
    auto* e = new ErrlEntry(0xCA00, 0, 0, 0xD1, 0, kToolModId, 0x4399, 0, 0, 0, 0, 0, 0x75, 0);
    e->getSRC(0)->setAsciiString(src);
    return e;
}

Json errlJson(ErrlEntry* e) {
    Json j = {{"rc", e->getRC()}, {"severity", e->severity()}, {"eventType", e->eventType()},
              {"srcs", Json::array()}};
    for (unsigned int i = 0; i < e->srcCount(); ++i) j["srcs"].push_back(srcJson(*e->getSRC(i)));
    j["text"] = explainErrl(j);
    return j;
}

void printErrl(std::ostream& os, const Json& e, const std::string& indent) {
    os << indent << e["text"].get<std::string>() << '\n';
    os << indent << "rc " << e["rc"] << ", severity " << e["severity"] << ", event type "
       << e["eventType"] << '\n';
    std::size_t i = 0;
    for (const Json& s : e["srcs"]) printSrc(os, s, indent, i++);
}

Json committedJson(std::size_t number, gardhost::Committed& c) {
    Json j = {{"number", number},
              {"compId", c.compId},
              {"actions", c.actions},
              {"kind", c.actions == 0x4000 ? "info" : c.actions == 0x2000 ? "error" : "other"},
              {"severity", c.severity},
              {"eventType", c.eventType},
              {"rc", c.rc},
              {"modId", c.srcs.empty() ? 0 : c.srcs[0].modId},
              {"reasonCode", c.srcs.empty() ? 0 : c.srcs[0].reasonCode},
              {"srcs", Json::array()}};
    for (SrciSrc& s : c.srcs) j["srcs"].push_back(srcJson(s));
    j["text"] = explainErrl(j);
    const bool stamped = c.time != 0;
    j["time"] = stamped ? Json(c.time) : Json(nullptr);
    j["timeText"] = stamped ? Json(utcTime(c.time)) : Json(nullptr);
    j["sp"] = stamped ? Json(c.sp) : Json(nullptr);
    if (stamped) putBytes(j, "program", c.program);
    else j["program"] = nullptr;
    j["pid"] = stamped ? Json(c.pid) : Json(nullptr);
    if (stamped) putBytes(j, "call", c.call);
    else j["call"] = nullptr;
    return j;
}

std::string committedWhen(const Json& c) {
    if (c["time"].is_null()) return "committed before times were kept: time, processor and program not recorded";
    return "committed " + c["timeText"].get<std::string>() + " on sp" + std::to_string(c["sp"].get<int>()) +
           " by " + c["program"].get<std::string>() + " (pid " + std::to_string(c["pid"].get<int>()) + ")";
}

void printCommitted(std::ostream& os, const Json& c, bool detail) {
    os << "#" << c["number"] << " component " << hex(c["compId"].get<uint32_t>()) << " action "
       << hex(c["actions"].get<uint32_t>()) << " (" << c["kind"].get<std::string>() << ") module "
       << hex(c["modId"].get<uint32_t>()) << " reason " << hex(c["reasonCode"].get<uint32_t>()) << " event type "
       << c["eventType"] << " severity " << c["severity"];
    if (!detail) {
        if (!c["srcs"].empty()) {
            os << " user data";
            for (const Json& u : c["srcs"][0]["userData"]) os << ' ' << hex(u.get<uint32_t>());
            os << "  " << trimmed(c["srcs"][0]["ascii"].get<std::string>());
        }
        os << "\n    " << c["text"].get<std::string>() << "\n    " << committedWhen(c) << '\n';
        return;
    }
    os << " rc " << c["rc"] << "\n    " << c["text"].get<std::string>() << "\n    " << committedWhen(c) << '\n';
    std::size_t i = 0;
    for (const Json& s : c["srcs"]) printSrc(os, s, "    ", i++);
}

// ---------------------------------------------------------------- results

Result::~Result() {
    for (ErrlEntry* e : errls) delete e;
}

void Result::take(ErrlEntry* errl) {
    if (errl != nullptr) errls.push_back(errl);
}

int finish(Result& r) {
    Json errors = Json::array();
    for (ErrlEntry* e : r.errls) errors.push_back(errlJson(e));
    Json committed = Json::array();
    if (stateOpen()) {
        std::vector<gardhost::Committed> all = gardhost::committed();
        for (std::size_t i = g_committedAtOpen; i < all.size(); ++i)
            committed.push_back(committedJson(i + 1, all[i]));
    }
    const bool notDone = r.errls.empty() && !r.notDone.empty();
    if (opts().json) {
        if (notDone) r.out["notDone"] = r.notDone;
        r.out["errors"] = errors;
        r.out["committed"] = committed;
        std::cout << r.out.dump(2) << '\n';
    } else {
        std::cout << r.text.str();
        if (!committed.empty()) {
            std::cout << "committed by this command: " << committed.size() << " error log(s)\n";
            for (const Json& c : committed) printCommitted(std::cout << "  ", c, false);
        }
        for (const Json& e : errors) {
            std::cerr << "error log returned by the library:\n";
            printErrl(std::cerr, e);
        }
    }
    if (notDone) std::cerr << "gard: not done: " << r.notDone << '\n';
    // A dry run leaves the state directory byte for byte as it was.
    if (stateOpen() && !opts().dryRun) gardhost::saveTrace("gard");
    return !r.errls.empty() ? kErrl : notDone ? kNotDone : r.code;
}

bool confirm(Result& r, const std::string& what) {
    if (opts().dryRun) {
        r.out["dryRun"] = true;
        r.out["wouldChange"] = what;
        r.text << "dry run, nothing changed; this would " << what << '\n';
        return false;
    }
    if (opts().yes) return true;
    if (isatty(STDIN_FILENO) == 0)
        throw Usage("this would " + what + "; add --yes to do it without a question (--dry-run shows it)");
    std::cerr << "This will " << what << ". Go on? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer == "y" || answer == "Y" || answer == "yes") return true;
    r.notDone = "not confirmed, nothing changed";
    return false;
}

}  // namespace gardcli
