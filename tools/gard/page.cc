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

std::string str(const Json& j, const char* key) { return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : ""; }

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


// The page around its data: its CSS and script inline, then what goes
// before the history's JSON in #data and what comes after it.
std::pair<std::string, std::string> frame() {
    auto replaced = [](const std::string& text, const std::string& marker, const std::string& by) {
        const std::size_t at = text.find(marker);
        return at == std::string::npos ? text : text.substr(0, at) + by + text.substr(at + marker.size());
    };
    std::string html = replaced(page::khtml, R"(<link rel="stylesheet" href="page.css">)",
                                std::string("<style>\n") + page::kcss + "</style>");
    html = replaced(html, R"(<script src="page.js"></script>)", std::string("<script>\n") + page::kjs + "</script>");
    const std::string marker = R"(<script type="application/json" id="data"></script>)";
    const std::size_t at = html.find(marker), open = marker.find("></") + 1;
    return {html.substr(0, at) + marker.substr(0, open), marker.substr(open) + html.substr(at + marker.size())};
}

}  // namespace

PageWriter::PageWriter(std::string path) : path_(std::move(path)) {}

PageWriter::~PageWriter() {
    if (fd_ < 0) return;
    close(fd_);
    unlink(temp_.c_str());
}

void PageWriter::put(const std::string& text) {
    buf_ += text;
    if (buf_.size() >= (1u << 16)) drain();
}

void PageWriter::drain() {
    for (std::size_t done = 0; err_ == 0 && done < buf_.size();) {
        const ssize_t n = write(fd_, buf_.data() + done, buf_.size() - done);
        if (n < 0 && errno != EINTR) err_ = errno;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    buf_.clear();
}

bool PageWriter::begin(std::string& said) {
    // Written beside the target and renamed into place: a write that fails
    // leaves the file that was there whole.
    const std::size_t slash = path_.rfind('/');
    temp_ = (slash == std::string::npos ? std::string() : path_.substr(0, slash + 1)) + "." +
            path_.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    fd_ = mkstemp(temp_.data());
    if (fd_ < 0) {
        said = std::strerror(errno);
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd_, 0666 & ~mask) != 0) err_ = errno;
    put(frame().first + "{\"ev\":[");
    return true;
}

std::size_t PageWriter::row(const std::string& name, bool lane, const Rank& rank) {
    auto [it, added] = rowIndex_.emplace(name, rows_.size());
    if (added) {
        rows_.push_back({name, lane ? "lane" : "marks"});
        ranks_.push_back(rank);
        lanes_ += lane;
    }
    return it->second;
}

std::size_t PageWriter::markRow(const std::string& kind) {
    // Below the lanes, in this order.
    const std::string name = kind == "errlog" ? kErrlogRow
                             : kind == "registry" ? kRegistryRow
                             : kind == "platform" ? kPlatformRow
                                                  : kFilesRow;
    const uint32_t place = name == kErrlogRow ? 0 : name == kRegistryRow ? 1 : name == kPlatformRow ? 2 : 3;
    return row(name, false, Rank{2, place, 0});
}

void PageWriter::event(const Json& e, std::size_t row, const std::string& kind, const std::string& from,
                       const std::string& to, const std::string& text, const std::string& more) {
    const auto time = e["time"].get<uint64_t>();
    if (events_ == 0) base_ = time;
    t0_ = std::min(t0_, time);
    t1_ = std::max(t1_, time);
    auto [w, added] = whoIndex_.emplace(who(e), whos_.size());
    if (added) whos_.push_back(w->first);
    // Times as the writers' clocks read them, beside the first one: the
    // events come in the journal's order, whatever the clocks said.
    const Json a = {static_cast<int64_t>(time - base_), e["sp"].get<int>(), row, kindIndex(kind), from, to, text,
                    w->second, e["call"].get<std::string>(), more};
    put((events_++ == 0 ? "" : ",") + scriptSafe(a));
}

void PageWriter::add(const Json& e) {
    auto errlog = [&](const Json& l, const std::string& owner) {
        std::string more = "SRC " + (l["srcs"].empty() ? "" : srcText(l["srcs"][0])) + ", component " +
                           hex(l["compId"].get<uint32_t>()) + " module " + hex(l["modId"].get<uint32_t>()) +
                           " reason " + hex(l["reasonCode"].get<uint32_t>());
        if (!owner.empty()) more += "\ncommitted by the same call as: " + owner;
        event(e, markRow("errlog"), "errlog", "", l["kind"].get<std::string>(), "error log " + errlogWords(l), more);
    };
    if (e["type"] == "errlog") return errlog(e["errlog"], "");
    if (e["type"] == "cancel") return event(e, markRow("gard-file"), "gard-file", "", "", e["text"].get<std::string>(), "");
    std::string logs;
    for (const Json& l : e["errlogs"]) logs += "\nerror log of the same call: " + errlogWords(l);
    for (const Json& i : e["items"]) {
        const std::string kind = i["kind"].get<std::string>();
        // Lanes show what happened: the records first, then units by id and group.
        const bool lane = i.contains("lane") && e["status"] == "happened";
        const std::size_t r =
            !lane ? markRow(kind)
                  : row(i["lane"].get<std::string>(), true,
                        kind == "sp-record" ? Rank{0, i["unit"].get<uint32_t>(), 0}
                                            : Rank{1, i.value("unit", 0u), i.value("group", 0u)});
        event(e, r, kind, str(i, "fromState"), str(i, "toState"),
              i["text"].get<std::string>() + historyStatusWords(e["status"]), "value " + e["name"].get<std::string>() + logs);
    }
    const std::string owner = e["items"].empty() ? std::string() : e["items"][0]["text"].get<std::string>();
    for (const Json& l : e["errlogs"]) errlog(l, owner);
}

bool PageWriter::end(const Json& summary, std::string& said) {
    // The rows as they first came; each one's place on the page.
    std::vector<std::size_t> order(rows_.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ranks_[a] < ranks_[b]; });
    std::vector<std::size_t> place(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) place[order[k]] = k;
    std::string hidden;
    if (summary.value("errlogsRotatedOut", uint64_t{0}) != 0)
        hidden = counted(summary["errlogsRotatedOut"].get<uint64_t>(), "error log was", "error logs were") +
                 " rotated out of the store before the first one shown: the changes they went with show without them.";
    const Json rest = {{"base", base_},
                       {"t0", events_ == 0 ? 0 : t0_},
                       {"t1", events_ == 0 ? 0 : t1_},
                       {"kinds", historyKinds()},
                       {"rows", rows_},
                       {"rank", place},
                       {"lanes", lanes_},
                       {"who", whos_},
                       {"problems", summary.value("problems", Json::array())},
                       {"hidden", hidden},
                       {"stateDir", summary.value("stateDir", Json())}};
    put("]," + scriptSafe(rest).substr(1) + frame().second);
    drain();
    if (err_ == 0 && fsync(fd_) != 0) err_ = errno;
    if (close(fd_) != 0 && err_ == 0) err_ = errno;
    fd_ = -1;
    if (err_ == 0 && rename(temp_.c_str(), path_.c_str()) != 0) err_ = errno;
    if (err_ != 0) {
        unlink(temp_.c_str());
        said = std::strerror(err_);
        return false;
    }
    said = counted(events_, "event", "events") + " on " + counted(lanes_, "lane", "lanes");
    return true;
}

bool writePage(const std::string& path, const Json& history, std::string& said) {
    PageWriter page(path);
    if (!page.begin(said)) return false;
    for (const Json& e : history["history"]) page.add(e);
    return page.end(history, said);
}

}  // namespace gardcli
