// The history as one self-contained HTML page: a timeline with a lane per
// service-processor record and per unit that changed, rows of marks for
// error logs, registry values, other platform values and other gard files,
// and a table of the same events. The page's HTML, CSS and script are the
// files of page/, put inline here; the events travel as JSON inside the
// page and are put into the document as text only, never as markup.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>

#include "history.h"

namespace gardcli {

// The page's files (tools/gard/page/), embedded at build time.
namespace page {
extern const char khtml[], kcss[], kjs[];
}

namespace {

// The rows of marks, below the lanes.
const char* const kErrlogRow = "error logs";
const char* const kRegistryRow = "registry";
const char* const kPlatformRow = "platform";
const char* const kFilesRow = "gard files";

std::size_t kindIndex(const std::string& kind) {
    const std::vector<std::string>& kinds = historyKinds();
    return static_cast<std::size_t>(std::find(kinds.begin(), kinds.end(), kind) - kinds.begin());
}

std::string markRow(const std::string& kind) {
    if (kind == "errlog") return kErrlogRow;
    if (kind == "registry") return kRegistryRow;
    if (kind == "platform") return kPlatformRow;
    return kFilesRow;
}

// Lanes in order: the records of 0x200 and 0x201, then units by id and group.
using LaneKey = std::tuple<int, uint32_t, uint32_t>;
LaneKey laneKey(const Json& item) {
    if (item["kind"] == "sp-record") return {0, item["unit"].get<uint32_t>(), 0};
    return {1, item.value("unit", 0u), item.value("group", 0u)};
}

std::string str(const Json& j, const char* key) { return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : ""; }

struct Event {
    uint64_t time;
    int sp;
    std::string row, kind, from, to, text, who, call, more;
};

// The command that made it, where the history knows it; else its program
// and process id.
std::string who(const Json& e) {
    if (const std::string command = str(e, "command"); !command.empty()) return command;
    return e["program"].get<std::string>() + " (pid " + std::to_string(e["pid"].get<int>()) + ")";
}

std::string errlogWords(const Json& l) {
    // A log the store dropped since keeps its words in the journal, not its number.
    return (l["number"].is_null() ? std::string("(rotated out of the store)") : "#" + std::to_string(l["number"].get<std::size_t>())) +
           " " + l["text"].get<std::string>();
}

Event errlogEvent(const Json& l, const std::string& owner) {
    std::string more = "SRC " + (l["srcs"].empty() ? "" : srcText(l["srcs"][0])) + ", component " +
                       hex(l["compId"].get<uint32_t>()) + " module " + hex(l["modId"].get<uint32_t>()) + " reason " +
                       hex(l["reasonCode"].get<uint32_t>());
    if (!owner.empty()) more += "\ncommitted by the same call as: " + owner;
    return {l["time"].get<uint64_t>(), l["sp"].get<int>(), kErrlogRow, "errlog", "",
            l["kind"].get<std::string>(), "error log " + errlogWords(l), who(l), l["call"].get<std::string>(), more};
}

// Events, rows and lanes of the page, from the history's JSON.
Json pageData(const Json& history) {
    std::vector<Event> events;
    std::map<LaneKey, std::string> lanes;
    for (const Json& e : history["history"]) {
        if (e["type"] == "errlog") {
            events.push_back(errlogEvent(e["errlog"], ""));
            continue;
        }
        std::string logs;
        for (const Json& l : e["errlogs"]) logs += "\nerror log of the same call: " + errlogWords(l);
        for (const Json& i : e["items"]) {
            Event ev{e["time"].get<uint64_t>(), e["sp"].get<int>(), markRow(i["kind"].get<std::string>()),
                     i["kind"].get<std::string>(), str(i, "fromState"), str(i, "toState"),
                     i["text"].get<std::string>() + historyStatusWords(e["status"]), who(e),
                     e["call"].get<std::string>(), "value " + e["name"].get<std::string>() + logs};
            if (i.contains("lane") && e["status"] == "happened") {  // lanes show what happened
                ev.row = i["lane"].get<std::string>();
                lanes[laneKey(i)] = ev.row;
            }
            events.push_back(std::move(ev));
        }
        const std::string owner = e["items"][0]["text"].get<std::string>();
        for (const Json& l : e["errlogs"]) events.push_back(errlogEvent(l, owner));
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.time < b.time; });

    Json rows = Json::array();
    std::map<std::string, std::size_t> rowIndex;
    for (const auto& [key, name] : lanes) {
        rowIndex[name] = rows.size();
        rows.push_back({name, "lane"});
    }
    for (const char* name : {kErrlogRow, kRegistryRow, kPlatformRow, kFilesRow}) {
        rowIndex[name] = rows.size();
        rows.push_back({name, "marks"});
    }
    const uint64_t t0 = events.empty() ? 0 : events.front().time, t1 = events.empty() ? 0 : events.back().time;
    Json ev = Json::array(), whos = Json::array();
    std::map<std::string, std::size_t> whoIndex;
    for (const Event& e : events) {
        auto [it, added] = whoIndex.emplace(e.who, whos.size());
        if (added) whos.push_back(e.who);
        ev.push_back({e.time - t0, e.sp, rowIndex[e.row], kindIndex(e.kind), e.from, e.to, e.text, it->second, e.call,
                      e.more});
    }
    Json problems = history["problems"];
    const Json& h = history["hidden"];
    std::string hidden;
    if (h["notHappened"].get<std::size_t>() + h["unknown"].get<std::size_t>() != 0)
        hidden += "Not shown: " + counted(h["notHappened"].get<std::size_t>(), "recorded change", "recorded changes") +
                  " that did not happen and " + std::to_string(h["unknown"].get<std::size_t>()) +
                  " not known to have happened (gard history --all shows them). ";
    if (h["untimedErrlogs"].get<std::size_t>() != 0)
        hidden += counted(h["untimedErrlogs"].get<std::size_t>(), "error log", "error logs") +
                  " committed before times were kept are not on the timeline (gard errlogs list).";
    return {{"stateDir", history["stateDir"]}, {"t0", t0}, {"t1", t1}, {"kinds", historyKinds()}, {"rows", rows},
            {"lanes", lanes.size()}, {"who", whos}, {"ev", ev}, {"problems", problems}, {"hidden", hidden}};
}

// JSON that may stand inside a <script> element: ASCII only, and no '<',
// '>' or '&' that could end it or start markup.
std::string scriptSafe(const Json& j) {
    const std::string text = j.dump(-1, ' ', true, Json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '<') out += "\\u003c";
        else if (c == '>') out += "\\u003e";
        else if (c == '&') out += "\\u0026";
        else out += c;
    }
    return out;
}

// `text` with its one `marker` replaced by `by`.
std::string replaced(const std::string& text, const std::string& marker, const std::string& by) {
    const std::size_t at = text.find(marker);
    return at == std::string::npos ? text : text.substr(0, at) + by + text.substr(at + marker.size());
}

// The page: its CSS and script inline, the history as JSON in #data.
std::string assemble(const std::string& json) {
    std::string html = replaced(page::khtml, R"(<link rel="stylesheet" href="page.css">)",
                                std::string("<style>\n") + page::kcss + "</style>");
    html = replaced(html, R"(<script src="page.js"></script>)", std::string("<script>\n") + page::kjs + "</script>");
    return replaced(html, R"(<script type="application/json" id="data"></script>)",
                    R"(<script type="application/json" id="data">)" + json + "</script>");
}

}  // namespace

bool writePage(const std::string& path, const Json& history, std::string& said) {
    const Json data = pageData(history);
    const std::string text = assemble(scriptSafe(data));
    // Written beside the target and renamed into place: a write that fails
    // leaves the file that was there whole.
    const std::size_t slash = path.rfind('/');
    std::string temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." +
                       path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        said = std::strerror(errno);
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    int err = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
    for (std::size_t done = 0; err == 0 && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) err = errno;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (err == 0 && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        unlink(temp.c_str());
        said = std::strerror(err);
        return false;
    }
    said = counted(data["ev"].size(), "event", "events") + " on " +
           counted(data["lanes"].get<std::size_t>(), "lane", "lanes");
    return true;
}

}  // namespace gardcli
