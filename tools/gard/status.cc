// status: one screen with everything the library answers about the pair.
#include <cstring>
#include <iostream>

#include "cli.h"

namespace gardcli {

namespace {
Json regByte(const std::string& key) {
    std::vector<uint8_t> b;
    if (!gardhost::getValue(gardhost::regName(key), b) || b.size() != 1) return nullptr;
    return b[0];
}
}  // namespace

Json statusJson(Result& r) {
    Json s = {{"stateDir", gardhost::stateDir()},
              {"sp", gardhost::position()},
              {"position", regByte("dscv/QelPosition")},
              {"role", regByte("dscv/QelRole")}};
    Json p = readRecords(r);
    for (Json& rec : p["records"]) {
        auto unit = rec["unit"].get<uint32_t>();
        int code = gardIsQelUsable(unit);
        rec["doGard"] = GardRdndQel::GardQelDoGard(unit);
        rec["usable"] = code;
        rec["usableName"] = usableName(code);
    }
    s["processors"] = p;
    GardFoStatus fo = GARD_FO_CAPABLE;
    r.take(gardCheckFailoverCapable(fo));
    s["failover"] = fo;
    s["failoverName"] = failoverName(fo);
    s["units"] = unitRows(r);
    s["storedErrls"] = storedSlots(r);
    s["committedErrls"] = committedCount();
    return s;
}

void printStatus(std::ostream& os, const Json& s) {
    auto num = [](const Json& j) { return j.is_null() ? std::string("missing") : std::to_string(j.get<int>()); };
    os << "state directory " << s["stateDir"].get<std::string>() << ", running as sp" << s["sp"]
       << " (registry: position " << num(s["position"]) << ", role " << num(s["role"]) << ")\n";
    printRecords(os, s["processors"]);
    os << "failover: " << s["failoverName"].get<std::string>() << " (" << s["failover"] << ")\n";
    printUnitRows(os, s["units"]);
    printSlots(os, s["storedErrls"]);
    os << "committed error logs: " << s["committedErrls"] << '\n';
}

void addStatus(CLI::App& app) {
    command(&app, "status", "Both processor records, the garded, usable and failover answers, "
                            "the unit table, the stored error logs, the committed log count",
            "gard --sp 1 status")
        ->callback([] {
            action() = [] {
                openState();
                Result r;
                r.out = statusJson(r);
                printStatus(r.text, r.out);
                return finish(r);
            };
        });
}

}  // namespace gardcli
