// units: the unit gard table (class gardAcc).
#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli.h"
#include "unit/table.h"

namespace gardcli {

namespace {
// Serial number as text when it is printable (trailing zero bytes dropped).
std::string serialText(const std::string& hexDigits) {
    std::vector<uint8_t> b = parseHex(hexDigits, "serial");
    while (!b.empty() && b.back() == 0) b.pop_back();
    std::string s(b.begin(), b.end());
    bool printable = std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    return printable ? s : "0x" + hexDigits;
}
}  // namespace

Json unitRows(Result& r) {
    vpdRecordMenu menu{};
    ErrlEntry* e = gardAcc::GardGetVpdConfigData(0, &menu);
    Json rows = Json::array();
    if (e != nullptr) {
        r.take(e);
        return rows;
    }
    // Serial numbers and SRC text are not in the library's menu: take them
    // from the table image, matched by (unit id, group id).
    std::vector<unsigned char> image;
    std::vector<std::string> ignored;
    Json entries = Json::array();
    if (ErrlEntry* re = readGardFile(gard::unit::kFileId, image, gard::unit::kImageSize); re != nullptr)
        r.take(re);
    else
        entries = decodeUnitImage(image.data(), ignored)["entries"];
    for (int k = 0; k < GARD_MAX_VPD_UNITS && menu.unitId[k] != 0; ++k) {
        Json row = {{"unitId", menu.unitId[k]},       {"groupId", menu.groupId[k]},
                    {"state", menu.state[k]},          {"stateName", unitStateName(menu.state[k])},
                    {"errorType", menu.errorType[k]},  {"serial", nullptr},
                    {"src", nullptr}};
        for (const Json& en : entries)
            if (en["unitId"] == row["unitId"] && en["groupId"] == row["groupId"]) {
                row["serial"] = en["serial"];
                row["src"] = en["src"];
                break;
            }
        rows.push_back(row);
    }
    return rows;
}

void printUnitRows(std::ostream& os, const Json& rows) {
    os << "unit table: " << rows.size() << " used entr" << (rows.size() == 1 ? "y" : "ies") << '\n';
    for (const Json& u : rows) {
        os << "  unit " << hex(u["unitId"].get<uint32_t>()) << " group "
           << hex(u["groupId"].get<uint32_t>()) << "  " << u["stateName"].get<std::string>() << " ("
           << hex(u["state"].get<uint32_t>()) << ")  error type "
           << hex(u["errorType"].get<uint32_t>());
        if (!u["serial"].is_null()) os << "  serial " << serialText(u["serial"].get<std::string>());
        if (!u["src"].is_null() && !u["src"].get<std::string>().empty())
            os << "  SRC " << u["src"].get<std::string>();
        os << '\n';
    }
}

namespace {

struct Args {
    std::string unit, group, serial, state, errorType = "0", src;
    bool hexSerial = false;
};

int add(const Args& a) {
    uint16_t unit = parseUnitId(a.unit);
    uint32_t group = parseNumber(a.group, "group id");
    std::vector<uint8_t> bytes = a.hexSerial ? parseHex(a.serial, "serial number")
                                             : std::vector<uint8_t>(a.serial.begin(), a.serial.end());
    svpd_SerialNum serial{};
    if (bytes.size() > sizeof serial.bytes)
        throw Usage("serial number '" + a.serial + "' is longer than 12 bytes");
    std::copy(bytes.begin(), bytes.end(), serial.bytes);
    openState();
    Result r;
    auto fru = static_cast<gardFruState>(0);
    r.take(gardAcc::GardUpdateVpdUnit(unit, serial, group, &fru));
    const char* name = fru == GARD_FRU_SET_UP ? "set-up" : fru == GARD_FRU_UNCHANGED ? "unchanged" : "not-written";
    r.out = {{"unitId", unit}, {"groupId", group}, {"serial", hexBytes(serial.bytes, 12)},
             {"fruState", fru}, {"fruStateName", name}};
    r.text << "unit " << hex(unit) << " group " << hex(group) << ": " << name << '\n';
    return finish(r);
}

int setState(const Args& a) {
    uint16_t unit = parseUnitId(a.unit);
    uint32_t group = parseNumber(a.group, "group id");
    auto state = static_cast<GARD_State>(parseUnitState(a.state));
    uint32_t errorType = parseNumber(a.errorType, "error type");
    checkSrc(a.src);
    openState();
    Result r;
    std::unique_ptr<ErrlEntry> errl(a.src.empty() ? nullptr : callerErrl(a.src));
    r.take(gardAcc::GardSetVpdUnitState(unit, group, state, errorType, errl.get()));
    r.out = {{"unitId", unit}, {"groupId", group}, {"state", state},
             {"stateName", unitStateName(state)}, {"errorType", errorType},
             {"src", a.src.empty() ? Json(nullptr) : Json(a.src)}};
    r.text << "unit " << hex(unit) << " group " << hex(group) << ": asked for "
           << unitStateName(state) << " (" << hex(state) << "), error type " << hex(errorType)
           << (a.src.empty() ? "" : ", SRC " + a.src) << '\n';
    return finish(r);
}

int isGarded(const Args& a) {
    uint16_t unit = parseUnitId(a.unit);
    uint32_t group = parseNumber(a.group, "group id");
    openState();
    Result r;
    bool garded = false;
    r.take(gardAcc::GardGetVpdUnitState(unit, group, &garded));
    r.out = {{"unitId", unit}, {"groupId", group}, {"garded", garded}};
    r.text << "unit " << hex(unit) << " group " << hex(group) << (garded ? " is garded\n" : " is not garded\n");
    return finish(r);
}

int list() {
    openState();
    Result r;
    r.out["units"] = unitRows(r);
    printUnitRows(r.text, r.out["units"]);
    return finish(r);
}

int run(ErrlEntry* (*op)(), const char* done) {
    openState();
    Result r;
    ErrlEntry* e = op();
    r.out["done"] = e == nullptr;
    r.take(e);
    r.text << (e == nullptr ? done : "not done") << '\n';
    return finish(r);
}

}  // namespace

void addUnits(CLI::App& app) {
    CLI::App* g = app.add_subcommand("units", "The unit gard table (up to 250 redundant VPD units)");
    g->require_subcommand(1);
    auto a = std::make_shared<Args>();
    auto unitGroup = [a](CLI::App* c) {
        c->add_option("UNIT", a->unit, "Unit id, 1 to 0xffff")->required();
        c->add_option("GROUP", a->group, "Group id")->required();
    };

    CLI::App* c = command(g, "add", "Record a unit with the serial number of its part",
                          "gard units add 0x10 1 YL10A1");
    unitGroup(c);
    c->add_option("SERIAL", a->serial, "Serial number, up to 12 bytes")->required();
    c->add_flag("--hex", a->hexSerial, "SERIAL is given as hex bytes");
    c->callback([a] { action() = [a] { return add(*a); }; });

    c = command(g, "set-state", "Set a recorded unit's gard state",
                "gard units set-state 0x10 1 garded --error-type 2 --src B1814601");
    unitGroup(c);
    c->add_option("STATE", a->state, "none, new, garded, cleared, not-garded-2, garded-2 or a number")
        ->required();
    c->add_option("--error-type", a->errorType, "Error type (default 0)");
    c->add_option("--src", a->src, "SRC text of the error log behind the change (up to 32 characters)");
    c->callback([a] { action() = [a] { return setState(*a); }; });

    c = command(g, "is-garded", "Is the unit garded in the table", "gard units is-garded 0x10 1");
    unitGroup(c);
    c->callback([a] { action() = [a] { return isGarded(*a); }; });

    command(g, "list", "The used entries: unit, group, state, error type, serial, SRC text",
            "gard units list --json")
        ->callback([] { action() = list; });
    command(g, "clear", "Set every entry to cleared (0xcc), error type 0", "gard units clear")
        ->callback([] { action() = [] { return run(gardAcc::GardClearVpdData, "cleared"); }; });
    command(g, "reset", "Empty the table", "gard units reset")
        ->callback([] { action() = [] { return run(gardAcc::GardResetVpdData, "reset"); }; });
}

}  // namespace gardcli
