// The change history as `gard history` builds it, for the page writer and
// the demo: the JSON object the command prints (docs/json.md).
#ifndef GARD_TOOLS_HISTORY_H
#define GARD_TOOLS_HISTORY_H

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cli.h"

namespace gardcli {

// The kinds of change, as --kind names them.
const std::vector<std::string>& historyKinds();

// After a change's words when its status is not "happened": why it is no change.
const char* historyStatusWords(const Json& status);

// The whole history of the open state directory, unfiltered.
Json historyJson();

// A change of `name` from one content to another (null: missing) in the
// history's words: {name, kind, items} as a history event has them.
Json netChangeJson(const std::string& name, const std::vector<uint8_t>* before, const std::vector<uint8_t>* after);

// Writes `history` (as historyJson gives it) as one self-contained HTML page.
// `said`: what the page shows ("12 events on 3 lanes"), or, when it returns
// false, why the file could not be written.
bool writePage(const std::string& path, const Json& history, std::string& said);

// The page written as the history is read: each entry as it comes, with
// memory that grows with the lanes and the programs, not the events.
class PageWriter {
public:
    explicit PageWriter(std::string path);
    ~PageWriter();  // a page not ended leaves nothing behind
    PageWriter(const PageWriter&) = delete;
    PageWriter& operator=(const PageWriter&) = delete;
    bool begin(std::string& said);
    void add(const Json& entry);  // an entry of the history's JSON
    // `summary`: the history's other fields (problems, errlogsRotatedOut ...).
    bool end(const Json& summary, std::string& said);

private:
    using Rank = std::tuple<int, uint32_t, uint32_t>;  // where a row is shown
    std::size_t row(const std::string& name, bool lane, const Rank& rank);
    std::size_t markRow(const std::string& kind);
    void event(const Json& e, std::size_t row, const std::string& kind, const std::string& from, const std::string& to,
               const std::string& text, const std::string& more);
    void put(const std::string& text);
    void drain();

    std::string path_, temp_, buf_;
    int fd_ = -1, err_ = 0;
    std::map<std::string, std::size_t> rowIndex_, whoIndex_;
    Json rows_ = Json::array(), whos_ = Json::array();
    std::vector<Rank> ranks_;
    uint64_t base_ = 0, t0_ = UINT64_MAX, t1_ = 0;
    std::size_t events_ = 0, lanes_ = 0;
};

}  // namespace gardcli

#endif
