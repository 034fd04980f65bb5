// The change history as `gard history` builds it, for the page writer and
// the demo: the JSON object the command prints (docs/json.md).
#ifndef GARD_TOOLS_HISTORY_H
#define GARD_TOOLS_HISTORY_H

#include <string>
#include <vector>

#include "cli.h"

namespace gardcli {

// The kinds of change, as --kind names them.
const std::vector<std::string>& historyKinds();

// After a change's words when its status is not "happened": why it is no change.
const char* historyStatusWords(const Json& status);

// The whole history of the open state directory, unfiltered.
Json historyJson();

// Writes `history` (as historyJson gives it) as one self-contained HTML page.
// `said`: what the page shows ("12 events on 3 lanes"), or, when it returns
// false, why the file could not be written.
bool writePage(const std::string& path, const Json& history, std::string& said);

}  // namespace gardcli

#endif
