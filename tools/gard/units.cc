// units: the unit gard table (class gardAcc).
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>

#include "cli.h"
#include "unit/table.h"

namespace gardcli {

namespace {
// A serial number's bytes without the zero bytes that pad it.
std::string serialBytes(const std::string& hexDigits) {
    std::vector<uint8_t> b = parseHex(hexDigits, "serial");
    while (!b.empty() && b.back() == 0) b.pop_back();
    return std::string(b.begin(), b.end());
}

// The table image's used entries, in index order, as obj[key] (serial
// numbers and SRC text are not in the library's menu).
bool tableEntries(Result& r, Json& obj, const std::string& key) {
    return readDecoded(r, obj, key, gard::unit::kFileId, gard::unit::kImageSize, decodeUnitImage, "entries");
}

const Json* findEntry(const Json& entries, uint32_t unit, uint32_t group) {
    if (entries.is_null()) return nullptr;
    for (const Json& en : entries)
        if (en["unitId"] == unit && en["groupId"] == group) return &en;
    return nullptr;
}

// What a table state means, for a newcomer.
std::string stateWords(uint32_t state) {
    switch (state) {
    case 0x00: return "never set (a new or reset table)";
    case GARD_STATE_NEW: return "recorded, not garded";
    case GARD_GARDED: return "garded; kept until the table is cleared, the part changes or the table is reset";
    case GARD_CLEARED: return "gard cleared";
    case GARD_NOT_GARDED_2: return "not garded (second kind)";
    case GARD_GARDED_2: return "garded (second kind)";
    default: return "a state the library does not know, and does not change";
    }
}

std::string stateText(uint32_t state) { return unitStateName(state) + " (" + hex(state) + ")"; }
}  // namespace

void putUnitRows(Result& r, Json& obj) {
    vpdRecordMenu menu{};
    if (std::string why = r.take(gardAcc::GardGetVpdConfigData(0, &menu)); !why.empty()) {
        r.putUnknown(obj, "units", why);
        return;
    }
    Json rows = Json::array(), read = Json::object();
    const bool texts = tableEntries(r, read, "entries");
    const Json& entries = read["entries"];
    for (int k = 0; k < GARD_MAX_VPD_UNITS && menu.unitId[k] != 0; ++k) {
        Json row = {{"unitId", menu.unitId[k]},       {"groupId", menu.groupId[k]},
                    {"state", menu.state[k]},          {"stateName", unitStateName(menu.state[k])},
                    {"errorType", menu.errorType[k]},  {"serial", nullptr},
                    {"src", nullptr}};
        // The menu lists the used entries in index order, as the image does.
        const Json* en = static_cast<std::size_t>(k) < entries.size() &&
                                 entries[k]["unitId"] == row["unitId"] && entries[k]["groupId"] == row["groupId"]
                             ? &entries[k]
                             : findEntry(entries, menu.unitId[k], menu.groupId[k]);
        if (en != nullptr) {
            row["serial"] = (*en)["serial"];
            row["src"] = (*en)["src"];
            if (en->contains("srcHex")) row["srcHex"] = (*en)["srcHex"];
        } else if (!texts) {
            r.putUnknown(row, "serial", read["unknown"]["entries"]);
            r.putUnknown(row, "src", read["unknown"]["entries"]);
        }
        rows.push_back(row);
    }
    obj["units"] = rows;
}

void printUnitRows(std::ostream& os, const Json& obj) {
    const Json& rows = obj["units"];
    if (rows.is_null()) {
        os << "unit table: " << unknownWords(obj, "units") << '\n';
        return;
    }
    // Filtered, the count is the table's and then what matched.
    if (obj.contains("filter"))
        os << "unit table: " << counted(obj["usedEntries"].get<std::size_t>(), "used entry", "used entries") << "; "
           << rows.size() << (rows.size() == 1 ? " matches " : " match ") << obj["filter"].get<std::string>() << '\n';
    else
        os << "unit table: " << counted(rows.size(), "used entry", "used entries") << '\n';
    if (rows.empty()) return;
    std::vector<std::vector<std::string>> table = {{"UNIT", "GROUP", "STATE", "ERROR TYPE", "SERIAL", "SRC"}};
    for (const Json& u : rows)
        table.push_back({hex(u["unitId"].get<uint32_t>()), hex(u["groupId"].get<uint32_t>()),
                         stateText(u["state"].get<uint32_t>()), hex(u["errorType"].get<uint32_t>()),
                         u["serial"].is_null() ? "?" : shown(serialBytes(u["serial"].get<std::string>())),
                         u["src"].is_null() ? "?" : u["src"].get<std::string>()});
    printTable(os, table, "  ");
}

namespace {

struct Args {
    std::string unit, group, serial, state, errorType = "0", src;
    bool hexSerial = false;
    // list filters
    bool garded = false;
    std::string stateFilter, groupFilter;
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
    const bool known = findEntry(peekUnitEntries(), unit, group) != nullptr;
    auto fru = static_cast<gardFruState>(0);
    r.take(gardAcc::GardUpdateVpdUnit(unit, serial, group, &fru));
    const char* name = fru == GARD_FRU_SET_UP ? "set-up" : fru == GARD_FRU_UNCHANGED ? "unchanged" : "not-written";
    r.out = {{"unitId", unit}, {"groupId", group}, {"serial", hexBytes(serial.bytes, 12)},
             {"fruState", fru}, {"fruStateName", name}};
    const std::string words = fru == GARD_FRU_UNCHANGED ? "already recorded with this serial number, nothing changed"
                              : fru != GARD_FRU_SET_UP  ? "not recorded"
                              : known ? "recorded again for a new serial number, its state back to new (0x5c)"
                                      : "added to the table, state new (0x5c)";
    r.text << "unit " << hex(unit) << " group " << hex(group) << ": " << words << " (" << name << ", " << fru << ")\n";
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
    std::string beforeWhy, afterWhy;
    Json before = peekUnitEntries(&beforeWhy);
    std::unique_ptr<ErrlEntry> errl(a.src.empty() ? nullptr : callerErrl(a.src));
    r.take(gardAcc::GardSetVpdUnitState(unit, group, state, errorType, errl.get()));
    Json after = peekUnitEntries(&afterWhy);
    r.out = {{"unitId", unit}, {"groupId", group}, {"state", state},
             {"stateName", unitStateName(state)}, {"errorType", errorType}, {"src", nullptr}};
    if (!a.src.empty()) putBytes(r.out, "src", a.src);
    r.text << "unit " << hex(unit) << " group " << hex(group) << ": asked for " << stateText(state)
           << ", error type " << hex(errorType)
           << (a.src.empty() ? "" : ", SRC " + r.out["src"].get<std::string>()) << '\n';
    const Json* was = findEntry(before, unit, group);
    const Json* now = findEntry(after, unit, group);
    answerOrUnknown(r, r.out, "tableState", now ? (*now)["state"] : Json(nullptr), afterWhy);
    answerOrUnknown(r, r.out, "tableStateName", now ? (*now)["stateName"] : Json(nullptr), afterWhy);
    answerOrUnknown(r, r.out, "changed", was && now && *was != *now, afterWhy.empty() ? beforeWhy : afterWhy);
    if (!afterWhy.empty()) r.text << "the table holds " << unknownWords(r.out, "tableState") << '\n';
    if (now == nullptr || !r.errls.empty()) return finish(r);
    auto held = (*now)["state"].get<uint32_t>();
    r.text << "the table holds " << stateText(held) << ", error type " << hex((*now)["errorType"].get<uint32_t>())
           << (r.out["changed"] == false ? " (unchanged)" : "") << '\n';
    if (held != state) {
        auto old = was ? (*was)["state"].get<uint32_t>() : held;
        r.notDone = "the entry was " + stateText(old) + ": " +
                    (old == GARD_GARDED ? "a garded entry keeps its state until gard units clear, a new "
                                          "serial number (gard units add) or gard units reset"
                                        : "the library changes only entries in a state it knows");
    }
    return finish(r);
}

int isGarded(const Args& a) {
    uint16_t unit = parseUnitId(a.unit);
    uint32_t group = parseNumber(a.group, "group id");
    openState();
    Result r;
    bool garded = false;
    const std::string why = r.take(gardAcc::GardGetVpdUnitState(unit, group, &garded));
    std::string peekWhy = why;
    const Json entries = why.empty() ? peekUnitEntries(&peekWhy) : Json(nullptr);
    r.out = {{"unitId", unit}, {"groupId", group}};
    answerOrUnknown(r, r.out, "garded", garded, why);
    answerOrUnknown(r, r.out, "recorded", findEntry(entries, unit, group) != nullptr, peekWhy);
    r.text << "unit " << hex(unit) << " group " << hex(group)
           << (!why.empty() ? ": garded " + unknownWords(r.out, "garded") : garded ? " is garded" : " is not garded")
           << (r.out["recorded"] == false ? " (the pair is not in the table)" : "") << '\n';
    return finish(r);
}

int show(const Args& a) {
    uint16_t unit = parseUnitId(a.unit);
    uint32_t group = parseNumber(a.group, "group id");
    openState();
    Result r;
    Json read = Json::object();
    if (!tableEntries(r, read, "entries")) {
        r.out = {{"unitId", unit}, {"groupId", group}};
        r.putUnknown(r.out, "entry", read["unknown"]["entries"]);
        r.text << "unit " << hex(unit) << " group " << hex(group) << ": " << unknownWords(r.out, "entry") << '\n';
        return finish(r);
    }
    const Json* en = findEntry(read["entries"], unit, group);
    if (en == nullptr) {
        r.out = {{"unitId", unit}, {"groupId", group}, {"entry", nullptr}};
        if (r.errls.empty())
            r.notDone = "unit " + hex(unit) + " group " + hex(group) + " is not in the table (gard units list)";
        return finish(r);
    }
    Json e = *en;
    putBytes(e, "serialText", serialBytes(e["serial"].get<std::string>()));
    auto state = e["state"].get<uint32_t>();
    e["garded"] = gard::unit::isGarded(state);
    e["stateWords"] = stateWords(state);
    r.out = {{"unitId", unit}, {"groupId", group}, {"entry", e}};
    r.text << "unit " << hex(unit) << " group " << hex(group) << ", table entry " << e["index"] << '\n'
           << "  serial      " << e["serialText"].get<std::string>() << "  (hex "
           << e["serial"].get<std::string>() << ")\n"
           << "  state       " << stateText(state) << ": " << stateWords(state) << '\n'
           << "  error type  " << hex(e["errorType"].get<uint32_t>()) << '\n'
           << "  SRC text    " << (e["src"] == "" ? "(none)" : e["src"].get<std::string>()) << '\n';
    return finish(r);
}

int list(const Args& a) {
    // --state once filtered here: a script that still gives it a state name
    // would otherwise list an empty state directory of that name.
    std::error_code ec;
    const auto named = [](const std::string& text) {
        for (uint32_t s : {0x00u, 0x5Cu, 0x5Du, 0xCCu, 0xECu, 0xEDu})
            if (unitStateName(s) == text) return true;
        return false;
    };
    if (opts().stateGiven && named(opts().stateDir) && !std::filesystem::is_directory(opts().stateDir, ec))
        throw Usage("--state is the state directory (" + opts().stateDir +
                    " is a gard state, not a directory): to list entries in a state give --in-state " +
                    opts().stateDir);
    const bool byState = !a.stateFilter.empty(), byGroup = !a.groupFilter.empty();
    uint32_t state = byState ? parseUnitState(a.stateFilter) : 0;
    uint32_t group = byGroup ? parseNumber(a.groupFilter, "group id") : 0;
    openState();
    Result r;
    putUnitRows(r, r.out);
    std::vector<std::string> filter;
    if (a.garded) filter.push_back("garded");
    if (byState) filter.push_back("in state " + stateText(state));
    if (byGroup) filter.push_back("in group " + hex(group));
    if (!filter.empty() && !r.out["units"].is_null()) {
        r.out["usedEntries"] = r.out["units"].size();
        r.out["filter"] = filter[0];
        for (std::size_t i = 1; i < filter.size(); ++i) r.out["filter"] = r.out["filter"].get<std::string>() + ", " + filter[i];
    }
    Json rows = Json::array();
    for (Json& u : r.out["units"]) {
        auto s = u["state"].get<uint32_t>();
        if ((a.garded && !gard::unit::isGarded(s)) || (byState && s != state) ||
            (byGroup && u["groupId"].get<uint32_t>() != group))
            continue;
        rows.push_back(std::move(u));
    }
    if (!r.out["units"].is_null()) r.out["units"] = rows;
    printUnitRows(r.text, r.out);
    return finish(r);
}

// units clear and units reset: what they would change, asked for first,
// from the table read straight (no library call), so that it can be said
// before the lock is taken.
std::string destroyWhat(bool reset) {
    std::string why;
    bool tooShort = false;
    const Json rows = peekUnitEntries(&why, &tooShort);
    if (rows.is_null() && reset && tooShort)
        return "remove the unit-table file, too short to read (" + why + "), and make a new, empty table";
    if (rows.is_null()) return std::string(reset ? "empty" : "clear") + " the unit table, which cannot be read now (" + why + ")";
    const std::string used = counted(rows.size(), "used entry", "used entries");
    return reset ? "empty the unit table, removing its " + used
                 : "set every unit-table entry to cleared (0xcc), error type 0 (" + used + ")";
}

int destroy(bool reset) {
    Result r;
    if (!confirmThenOpen(r, [reset] { return destroyWhat(reset); })) {
        r.out["done"] = false;
        std::string unread;
        bool tooShort = false;
        Json table = {{"units", peekUnitEntries(&unread, &tooShort)}};
        if (!table["units"].is_null()) printUnitRows(r.text, table);
        // A table that cannot be read is unknown, but for a reset that makes it anew.
        else if (!reset || !tooShort) r.putUnknown(r.out, "units", unread);
        return finish(r);
    }
    // The library reads the table before it resets it, and cannot read one
    // too short: a new file, made as on first use, is what it can reset.
    std::string why;
    const bool remade = reset && removeShortTable(why);
    if (!why.empty()) {
        r.out["done"] = false;
        r.notDone = why;
        return finish(r);
    }
    ErrlEntry* e = reset ? gardAcc::GardResetVpdData() : gardAcc::GardClearVpdData();
    r.out["done"] = e == nullptr;
    if (reset) r.out["remade"] = remade;
    r.take(e);
    r.text << (e != nullptr ? "not done" : reset ? "reset" : "cleared")
           << (remade ? " (the unit-table file was too short to read: a new one was made)" : "") << '\n';
    return finish(r);
}

}  // namespace

void addUnits(CLI::App& app) {
    CLI::App* g = app.add_subcommand("units", "The unit gard table (up to 250 redundant VPD units)");
    g->require_subcommand(1);
    g->footer("Example: gard units add 0x10 1 YL10A1 && gard units set-state 0x10 1 garded && gard units list");
    auto a = std::make_shared<Args>();
    auto unitGroup = [a](CLI::App* c) {
        c->add_option("UNIT", a->unit, "Unit id, 1 to 0xffff")->required();
        c->add_option("GROUP", a->group, "Group id")->required();
    };

    CLI::App* c = command(g, "add", "Record a unit with the serial number of its part",
                          "gard units add 0x10 1 YL10A1");
    unitGroup(c);
    allowEmpty(c->add_option("SERIAL", a->serial, "Serial number, up to 12 bytes ('' for 12 zero bytes)")->required());
    c->add_flag("--hex", a->hexSerial, "SERIAL is given as hex bytes");
    c->callback([a] { action() = [a] { return add(*a); }; });

    c = command(g, "set-state", "Set a recorded unit's gard state",
                "gard units set-state 0x10 1 garded --error-type 2 --src B1814601");
    unitGroup(c);
    c->add_option("STATE", a->state, "none, new, garded, cleared, not-garded-2, garded-2 or a number")
        ->required();
    c->add_option("--error-type", a->errorType, "Error type (default 0)");
    allowEmpty(c->add_option("--src", a->src, "SRC text of the error log behind the change (up to 32 characters; '' for none)"));
    c->callback([a] { action() = [a] { return setState(*a); }; });

    c = command(g, "is-garded", "Is the unit garded in the table", "gard units is-garded 0x10 1");
    unitGroup(c);
    c->callback([a] { action() = [a] { return isGarded(*a); }; });

    c = command(g, "show", "One entry in full: index, serial as text and hex, state in words, "
                           "error type, SRC text",
                "gard units show 0x10 1");
    unitGroup(c);
    c->callback([a] { action() = [a] { return show(*a); }; });

    c = command(g, "list", "The used entries: unit, group, state, error type, serial, SRC text",
                "gard units list --garded");
    c->add_flag("--garded", a->garded, "Only garded entries (0x5d, 0xed)");
    c->add_option("--in-state", a->stateFilter, "Only entries in this state (a name or a number)");
    c->add_option("--group", a->groupFilter, "Only entries of this group id");
    c->callback([a] { action() = [a] { return list(*a); }; });

    c = command(g, "clear", "Set every entry to cleared (0xcc), error type 0", "gard units clear --yes");
    addConfirmOptions(c);
    c->callback([] { action() = [] { return destroy(false); }; });
    c = command(g, "reset", "Empty the table", "gard units reset --dry-run");
    addConfirmOptions(c);
    c->callback([] { action() = [] { return destroy(true); }; });
}

}  // namespace gardcli
