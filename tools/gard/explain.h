// Error logs in plain words: one line saying which operation, what happened
// and for which unit, built from the SRCs' module ids, reason codes and user
// data. Works on the JSON form the tool prints (errlJson, committedJson).
#ifndef GARD_TOOLS_EXPLAIN_H
#define GARD_TOOLS_EXPLAIN_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace gardcli {

// One line for an error log with `rc` and `srcs`; an unknown combination
// gives the raw words (component, module, reason, user data) and `known`
// false.
std::string explainErrl(const nlohmann::ordered_json& errl, bool* known = nullptr);

// Whether a reason code of a component has words of its own, and whether a
// module id names an operation.
bool reasonHasWords(uint16_t compId, uint16_t reason);
bool moduleHasWords(uint8_t modId);

}  // namespace gardcli

#endif
