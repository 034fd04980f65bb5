// Options and input parsing: every number, time, hex string and on/off word
// of the command line and the environment.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "cli.h"

namespace gardcli {

Options& opts() {
    static Options o;
    return o;
}

std::function<int()>& action() {
    static std::function<int()> a;
    return a;
}

void addStateOptions(CLI::App* app) {
    allowEmpty(app->add_option("--state", opts().stateDir, "State directory (else GARD_STATE_DIR, else "
                                                           "$XDG_STATE_HOME/gard, else ~/.local/state/gard)")
                   ->each([](const std::string&) { opts().stateGiven = true; }));
    // Both say themselves what an empty one is.
    allowEmpty(app->add_option("--sp", opts().spText, "Run as the service processor at position 0 or 1 "
                                                      "(else GARD_HOST_SP, else 0)")
                   ->type_name("0|1")
                   ->each([](const std::string&) { opts().spGiven = true; }));
}

namespace {
std::set<const CLI::Option*>& emptyAllowed() {
    static std::set<const CLI::Option*> options;
    return options;
}
}  // namespace

CLI::Option* allowEmpty(CLI::Option* option) {
    emptyAllowed().insert(option);
    return option;
}

void refuseEmpty(CLI::App* app) {
    const CLI::Validator nonEmpty(
        [](std::string& text) { return text.empty() ? std::string("is empty: give a value") : std::string(); }, "", "");
    for (CLI::Option* o : app->get_options([](CLI::Option* o) { return o->get_type_size_min() > 0; }))
        if (emptyAllowed().count(o) == 0) o->check(nonEmpty);
    for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) refuseEmpty(sub);
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

namespace {
// Microseconds since 1970, now.
uint64_t nowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int daysIn(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}
}  // namespace

std::pair<uint64_t, uint64_t> parseTime(const std::string& s, const std::string& option) {
    const std::string quoted = option + " '" + s + "' ";
    const std::string forms = " (2026-12-07T21:36:14.5Z, 2026-12-07, now, 90s, 10m, 2h, 3d or 1w)";
    auto bad = [&](const std::string& why) { return Usage(quoted + "is not a time: " + why + forms); };
    if (s.empty()) throw bad("it is empty");
    if (s != "now" && !std::isdigit(static_cast<unsigned char>(s[0]))) throw Usage(quoted + "is not a time" + forms);
    const uint64_t now = nowMicros();
    if (s == "now") return {now, now};
    std::size_t at = 0;
    // Exactly `width` decimal digits.
    auto digits = [&](std::size_t width, const char* what) {
        uint32_t v = 0;
        for (std::size_t k = 0; k < width; ++k, ++at) {
            if (at >= s.size() || !std::isdigit(static_cast<unsigned char>(s[at])))
                throw bad(std::string(what) + " needs " + std::to_string(width) + " digits");
            v = v * 10 + static_cast<uint32_t>(s[at] - '0');
        }
        return v;
    };
    auto next = [&](char c) { return at < s.size() && s[at] == c ? (++at, true) : false; };

    // N s/m/h/d/w ago: decimal digits and one unit.
    static const char kUnits[] = "smhdw";
    static const uint64_t kSeconds[] = {1, 60, 3600, 86400, 604800};
    const char* unit = s.size() >= 2 ? std::strchr(kUnits, s.back()) : nullptr;
    if (unit != nullptr && s.back() != '\0' &&
        std::all_of(s.begin(), s.end() - 1, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        const uint64_t step = kSeconds[unit - kUnits] * 1000000u;
        uint64_t ago = 0;
        for (std::size_t k = 0; k + 1 < s.size(); ++k) {
            const auto d = static_cast<uint64_t>(s[k] - '0');
            if (ago > (now - d) / 10) throw bad("that is before 1970");  // checked before it can wrap
            ago = ago * 10 + d;
        }
        if (ago > now / step) throw bad("that is before 1970");
        return {now - ago * step, now - ago * step};
    }

    std::tm tm{};
    const uint32_t year = digits(4, "the year");
    if (!next('-')) throw bad("a date is YYYY-MM-DD");
    const uint32_t month = digits(2, "the month");
    if (!next('-')) throw bad("a date is YYYY-MM-DD");
    const uint32_t day = digits(2, "the day");
    if (year < 1970) throw bad("the history starts in 1970");
    if (month < 1 || month > 12) throw bad("there is no month " + std::to_string(month));
    if (day < 1 || static_cast<int>(day) > daysIn(static_cast<int>(year), static_cast<int>(month)))
        throw bad(s.substr(0, 7) + " has " + std::to_string(daysIn(static_cast<int>(year), static_cast<int>(month))) +
                  " days");
    tm.tm_year = static_cast<int>(year) - 1900;
    tm.tm_mon = static_cast<int>(month) - 1;
    tm.tm_mday = static_cast<int>(day);
    uint64_t width = 86400u * 1000000u, micros = 0;  // what the last field given spans
    if (next('T') || next(' ')) {
        tm.tm_hour = static_cast<int>(digits(2, "the hour"));
        if (!next(':')) throw bad("a time of day is HH:MM, HH:MM:SS or HH:MM:SS.ffffff");
        tm.tm_min = static_cast<int>(digits(2, "the minute"));
        width = 60u * 1000000u;
        if (next(':')) {
            tm.tm_sec = static_cast<int>(digits(2, "the second"));
            width = 1000000u;
            if (next('.')) {
                std::size_t n = 0;
                for (; at < s.size() && std::isdigit(static_cast<unsigned char>(s[at])); ++at, ++n) {
                    if (n == 6) throw bad("a fraction of a second has at most 6 digits");
                    micros = micros * 10 + static_cast<uint64_t>(s[at] - '0');
                    width /= 10;
                }
                if (n == 0) throw bad("a fraction of a second needs a digit after the point");
                for (; n < 6; ++n) micros *= 10;
            }
        }
        if (tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
            throw bad("a time of day is 00:00:00 to 23:59:59");
    }
    int64_t offset = 0;  // seconds east of UTC
    if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
        const int64_t sign = s[at++] == '-' ? -1 : 1;
        const uint32_t hours = digits(2, "the offset's hours");
        next(':');
        const uint32_t minutes = digits(2, "the offset's minutes");
        if (hours > 23 || minutes > 59) throw bad("an offset is at most 23:59");
        offset = sign * static_cast<int64_t>(hours * 3600 + minutes * 60);
    } else {
        next('Z');
    }
    if (at != s.size()) throw bad("'" + s.substr(at) + "' follows the time");
    const int64_t secs = static_cast<int64_t>(timegm(&tm)) - offset;
    if (secs < 0) throw bad("that is before 1970");
    const uint64_t first = static_cast<uint64_t>(secs) * 1000000u + micros;
    return {first, first + width - 1};
}

}  // namespace gardcli
