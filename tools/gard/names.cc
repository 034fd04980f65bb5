// Names and byte escaping: states, results and answers in words, hex, and
// text that may hold any bytes made safe for a terminal and for JSON.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "cli.h"

namespace gardcli {

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
}  // namespace

// The host platform's rule, so that its messages and the tool's agree.
std::string shown(std::string_view bytes) { return gardhost::shown(bytes); }
bool plainText(std::string_view bytes) { return gardhost::plainText(bytes); }

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

std::string errnoWords(int err) {
    std::string words = std::strerror(err);
    // "Permission denied" reads as part of a sentence in lower case; names
    // such as "I/O" keep theirs.
    if (words.size() > 1 && std::isupper(static_cast<unsigned char>(words[0])) &&
        std::islower(static_cast<unsigned char>(words[1])))
        words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

std::string unitStateName(uint32_t state) { return nameOf(kUnitStates, state); }
std::string qelStateName(uint32_t state) { return nameOf(kQelStates, state); }

std::string counted(std::size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

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


}  // namespace gardcli
