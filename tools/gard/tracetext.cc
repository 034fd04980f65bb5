#include "tracetext.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace gardcli {

namespace {

// Beside the executable in the build tree, under share/gard once installed.
std::string tablePath() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "";
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    for (const char* rel : {"trace-strings", "../share/gard/trace-strings"})
        if (access((dir + rel).c_str(), R_OK) == 0) return dir + rel;
    return "";
}

std::multimap<uint32_t, TraceText> load() {
    std::multimap<uint32_t, TraceText> table;
    std::ifstream in(tablePath());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::string id, first, last;
        TraceText t;
        if (!std::getline(row, id, '\t') || !std::getline(row, t.file, '\t') ||
            !std::getline(row, first, '\t') || !std::getline(row, last, '\t') ||
            !std::getline(row, t.format, '\t') || !std::getline(row, t.message))
            continue;
        char* end = nullptr;
        unsigned long v = std::strtoul(id.c_str(), &end, 16);
        if (end == id.c_str() || *end != '\0') continue;
        t.first = static_cast<unsigned>(std::strtoul(first.c_str(), nullptr, 10));
        t.last = static_cast<unsigned>(std::strtoul(last.c_str(), nullptr, 10));
        table.emplace(static_cast<uint32_t>(v), t);
    }
    return table;
}

}  // namespace

const TraceText* traceText(uint32_t id, uint32_t line) {
    static const std::multimap<uint32_t, TraceText> table = load();
    auto [from, to] = table.equal_range(id);
    const TraceText* found = from == to ? nullptr : &from->second;
    for (auto it = from; it != to; ++it)
        if (it->second.first <= line && line <= it->second.last) return &it->second;
    return found;
}

nlohmann::ordered_json traceJson(const gardhost::TraceEntry& e) {
    std::string plain = gardhost::formatTrace(e);
    const TraceText* t = traceText(e.id, e.line);
    if (t == nullptr) return {{"file", nullptr}, {"message", nullptr}, {"text", plain}};
    // The platform's form ends in " :" and the format with the values applied.
    std::string values = plain.substr(plain.find(" :") + 2);
    values.erase(values.find_last_not_of(' ') + 1);
    return {{"file", t->file},
            {"message", t->message},
            {"text", t->file + ":" + std::to_string(e.line) + " " + t->message + values}};
}

}  // namespace gardcli
