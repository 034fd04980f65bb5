// The texts of the library's trace messages, from the table the build makes
// (gard-trace-strings) and installs beside the tool.
#ifndef GARD_TOOLS_TRACETEXT_H
#define GARD_TOOLS_TRACETEXT_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "platform/host/host.h"

namespace gardcli {

struct TraceText {
    std::string file;
    unsigned first = 0, last = 0;  // lines of the call in its file
    std::string format, message;
};

// The message with id `id`; where one id stands at several calls, the one
// whose lines hold `line`. Null when the id is not in the table or there is
// no table.
const TraceText* traceText(uint32_t id, uint32_t line);

// An entry as `file`, `message` (both null for an unknown id) and `text`:
// "src/rdnd/query.cc:120 GardGetQelState: unit 0x200", the message with the
// entry's values applied, or the platform's "line N id 0x..." form when the
// id is unknown.
nlohmann::ordered_json traceJson(const gardhost::TraceEntry& e);

}  // namespace gardcli

#endif
