// The change history as `gard history` builds it: the JSON object the
// command prints (docs/json.md).
#ifndef GARD_TOOLS_HISTORY_H
#define GARD_TOOLS_HISTORY_H

#include <string>

#include "cli.h"

namespace gardcli {

// The whole history of the open state directory, unfiltered.
Json historyJson();

}  // namespace gardcli

#endif
