// platform: the host platform's named values below the library (registry,
// VPD presence and keywords, hardware-control answers, manufacturing flags)
// and fault injection, so that any path can be replayed by hand.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli.h"
#include "platform/hom.h"

namespace gardcli {

namespace {

enum class Kind { Flag, FlagErase, U32, Hex, Text };

// One named value of the host store. `name` holds "%" where the argument goes.
struct Value {
    const char* cmd;
    const char* help;
    const char* arg;  // null: no argument
    const char* argHelp;
    const char* name;
    Kind kind;
    const char* example;
};

constexpr Value kValues[] = {
    {"present", "Is a service processor present (VPD)", "UNIT", "0x200 or 0x201", "vpd/%/present", Kind::Flag,
     "gard platform present 0x201 off"},
    {"keyword", "A processor's gard keyword as hex (0 to 64 bytes; 'erased' = 32 x ff)", "UNIT",
     "0x200 or 0x201", "vpd/%/keyword", Kind::Hex, "gard platform keyword 0x200 0c055d"},
    {"policy", "A gard policy value (0 permits); the library asks 0 and 11", "ID",
     "Policy id, 0 or 11", "vorm/policy/%", Kind::U32, "gard platform policy 11 1"},
    {"functional", "Does a unit have a functional DMA path", "UNIT", "Unit id", "vorm/functional/%",
     Kind::Flag, "gard platform functional 0x200 off"},
    {"port", "A unit's VPD port (--remove: the look-up fails)", "UNIT", "Unit id", "vorm/port/%", Kind::U32,
     "gard platform port 0x2e71 5"},
    {"mnfg-flag", "A manufacturing policy flag (flag 2 refuses unit state changes)", "N",
     "Flag number", "mnfg/flag/%", Kind::FlagErase, "gard platform mnfg-flag 2 on"},
    {"deconfig-out", "Out-word of the DMA-path deconfiguration (0: the units are garded)",
     nullptr, nullptr, "vorm/deconfig_out", Kind::U32, "gard platform deconfig-out 1"},
};

struct RegKey {
    const char* key;
    Kind kind;
    std::size_t width;
};
constexpr RegKey kRegKeys[] = {{"dscv/QelRole", Kind::U32, 1},         {"dscv/QelPosition", Kind::U32, 1},
                               {"dscv/SiblingState", Kind::U32, 1},    {"hutl/HOMSystemType", Kind::U32, 4},
                               {"smgr/StateData", Kind::U32, 4},       {"fstp/P3_Root", Kind::Text, 0}};

Json describe(const std::string& name, Kind kind) {
    std::vector<uint8_t> b;
    Json j = Json::object();
    putBytes(j, "name", name);
    j.update(Json{{"present", gardhost::getValue(name, b)}, {"bytes", hexBytes(b.data(), b.size())},
                  {"value", nullptr}});
    if (std::string why = unreadableValue(name); !why.empty()) putUnknown(j, "present", why);
    if (!j["present"].is_boolean() || !j["present"].get<bool>()) return j;
    if (kind == Kind::Text) {
        putBytes(j, "value", std::string(b.begin(), b.end()));
    } else if (kind != Kind::Hex && (b.size() == 1 || b.size() == 4)) {
        uint32_t v = b[0];
        if (b.size() == 4) std::memcpy(&v, b.data(), 4);  // host byte order
        j["value"] = v;
    }
    return j;
}

void printValue(std::ostream& os, const Json& j) {
    os << j["name"].get<std::string>() << ": ";
    if (j["present"].is_null()) {
        os << unknownWords(j, "present") << '\n';
        return;
    }
    if (!j["present"].get<bool>()) {
        os << "missing\n";
        return;
    }
    if (j["value"].is_number()) os << hex(j["value"].get<uint32_t>()) << " (" << j["value"] << ")";
    else if (j["value"].is_string()) os << '"' << j["value"].get<std::string>() << '"';
    else os << (j["bytes"].get<std::string>().empty() ? "(empty)" : j["bytes"].get<std::string>());
    os << '\n';
}

// Encodes `text` for a value of `kind`, width `width` for numbers.
std::vector<uint8_t> encode(Kind kind, std::size_t width, const std::string& text) {
    switch (kind) {
    case Kind::Flag:
    case Kind::FlagErase:
        return {static_cast<uint8_t>(parseOnOff(text, "value"))};
    case Kind::Hex:
        return text == "erased" ? std::vector<uint8_t>(32, 0xFF) : parseHex(text, "keyword");
    case Kind::Text:
        return {text.begin(), text.end()};
    case Kind::U32:
        break;
    }
    uint32_t v = parseNumber(text, "value", width == 1 ? 0xFF : 0xFFFFFFFFu);
    if (width == 1) return {static_cast<uint8_t>(v)};
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

struct Args {
    std::string arg, value, bytes;
    bool bytesGiven = false;  // --bytes '' sets an empty value
    bool remove = false;
};

// Shows a value, or changes it first when a value or --remove is given.
int valueCommand(const std::string& name, Kind kind, std::size_t width, const Args& a) {
    std::vector<uint8_t> bytes;
    bool set = !a.value.empty() || a.bytesGiven;
    if (set && a.remove) throw Usage("give a value or --remove, not both");
    if (a.bytesGiven) bytes = parseHex(a.bytes, "bytes");
    else if (!a.value.empty()) bytes = encode(kind, width, a.value);
    if (kind == Kind::Hex && bytes.size() > 64) throw Usage("a keyword holds at most 64 bytes");
    openState();
    Result r;
    bool erase = a.remove || (kind == Kind::FlagErase && set && bytes == std::vector<uint8_t>{0});
    if (erase) gardhost::eraseValue(name);
    else if (set) gardhost::setValue(name, bytes);
    // What the host holds now, read afresh: a write it refused shows here.
    gardhost::reloadValue(name);
    std::vector<uint8_t> now;
    const bool present = gardhost::getValue(name, now);
    if ((erase && present) || (set && !erase && (!present || now != bytes)))
        r.notDone = "the host could not " + std::string(erase ? "remove " : "write ") + shown(name) +
                    " in " + shown(gardhost::stateDir());
    r.out = describe(name, kind);
    if (r.out["present"].is_null()) r.unknown = r.out["unknown"]["present"];
    printValue(r.text, r.out);
    return finish(r);
}

// A registry key as the host keeps it: parts like dscv/QelRole, nothing
// that would lead out of this processor's registry.
void checkKey(const std::string& key) {
    bool ok = !key.empty() && key.front() != '/' && key.back() != '/';
    for (std::size_t at = 0; ok && at < key.size();) {
        std::size_t end = std::min(key.find('/', at), key.size());
        std::string part = key.substr(at, end - at);
        ok = !part.empty() && part != "." && part != ".." && plainText(part);
        at = end + 1;
    }
    if (!ok) throw Usage("registry key '" + key + "' is not a key name (parts like dscv/QelRole)");
}

// The value's name in the host store, its argument filled in.
std::string valueName(const Value& v, const std::string& arg) {
    std::string name = v.name;
    std::size_t at = name.find('%');
    if (at == std::string::npos) return name;
    std::string filled = std::string(v.arg) == "UNIT"
                             ? gardhost::unitName(parseNumber(arg, "unit id"))
                             : std::to_string(parseNumber(arg, std::string(v.arg) == "ID" ? "policy id" : "flag number"));
    return name.replace(at, 1, filled);
}

int regList() {
    openState();
    Result r;
    r.out["registry"] = Json::array();
    for (const RegKey& k : kRegKeys) {
        r.out["registry"].push_back(describe(gardhost::regName(k.key), k.kind));
        const Json& one = r.out["registry"].back();
        if (one["present"].is_null() && r.unknown.empty()) r.unknown = one["unknown"]["present"];
        printValue(r.text, one);
    }
    return finish(r);
}

int reg(const Args& a) {
    if (a.arg.empty()) return regList();
    checkKey(a.arg);
    for (const RegKey& k : kRegKeys)
        if (a.arg == k.key) return valueCommand(gardhost::regName(k.key), k.kind, k.width, a);
    if (!a.value.empty()) throw Usage("registry key '" + a.arg + "' has no known width: give --bytes HEX");
    return valueCommand(gardhost::regName(a.arg), Kind::Hex, 0, a);
}

std::vector<std::string> lines(const std::string& name) {
    std::vector<uint8_t> b;
    gardhost::getValue(name, b);
    std::vector<std::string> out;
    std::string cur;
    for (uint8_t c : b) {
        if (c != '\n') {
            cur += static_cast<char>(c);
        } else if (!cur.empty()) {
            out.push_back(cur);
            cur.clear();
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

int faults(const std::string& verb, std::string fault) {
    if (verb == "add") {
        std::size_t h = fault.rfind('#');
        std::string call = fault.substr(0, std::min(fault.find('@'), h));
        const std::vector<std::string> calls = gardhost::failableCalls();
        if (fault.find_first_of(" \t\n,") != std::string::npos ||
            std::find(calls.begin(), calls.end(), call) == calls.end()) {
            std::string names;
            for (const std::string& c : calls) names += (names.empty() ? "" : ", ") + c;
            throw Usage("fault '" + fault + "' does not name a platform call (" + names + ")");
        }
        if (h != std::string::npos) {
            uint32_t nth = parseNumber(fault.substr(h + 1), "call number");
            if (nth == 0) throw Usage("call number 0 in fault '" + fault + "': calls count from 1");
            // Written as the host reads it: decimal.
            fault = fault.substr(0, h + 1) + std::to_string(nth);
        }
    }
    openState();
    Result r;
    // The faults file's lines as written, comments too; add and clear change it.
    std::vector<std::string> fileLines = verb == "clear" ? std::vector<std::string>{} : lines("faults");
    if (verb == "add") fileLines.push_back(fault);
    if (verb != "list") {
        std::string text;
        for (const std::string& s : fileLines) text += s + "\n";
        gardhost::setValue("faults", {text.begin(), text.end()});
        gardhost::reloadValue("faults");
        if (lines("faults") != fileLines)
            r.notDone = "the host could not write " + shown(gardhost::stateDir()) + "/faults";
    }
    // What is in force, from every source: the file and GARD_HOST_FAULTS.
    r.out["faults"] = Json::array();
    std::size_t fromEnvironment = 0;
    for (const gardhost::FaultInForce& f : gardhost::faultsInForce()) {
        Json one = Json::object();
        putBytes(one, "fault", f.fault);
        one["source"] = f.source;
        r.out["faults"].push_back(one);
        fromEnvironment += f.source == "environment";
    }
    const std::size_t n = r.out["faults"].size();
    r.text << counted(n, "fault", "faults") << " in force (the file " << shown(gardhost::stateDir())
           << "/faults, GARD_HOST_FAULTS)\n";
    for (const Json& f : r.out["faults"])
        r.text << "  " << f["fault"].get<std::string>() << "  (" << f["source"].get<std::string>() << ")\n";
    if (verb == "clear" && fromEnvironment != 0 && r.notDone.empty())
        r.notDone = "GARD_HOST_FAULTS still injects " + counted(fromEnvironment, "fault", "faults") +
                    ": unset it to clear them";
    return finish(r);
}

int unitId(const std::string& baseText, const std::string& instanceText) {
    uint32_t base = parseNumber(baseText, "unit kind");
    uint32_t instance = parseNumber(instanceText, "instance");
    openState();
    Result r;
    uint32_t unit = homGetUnitId(base, instance);
    r.out = {{"base", base}, {"instance", instance}, {"unitId", unit}};
    r.text << "instance " << instance << " of " << hex(base) << ": unit " << hex(unit) << '\n';
    return finish(r);
}

int rmgrLog() {
    openState();
    Result r;
    putLines(r.out, "rmgr", lines("rmgr/log"));
    if (std::string why = unreadableValue("rmgr/log"); !why.empty()) {
        r.putUnknown(r.out, "rmgr", why);
        r.text << "redundancy-manager calls: " << unknownWords(r.out, "rmgr") << '\n';
    }
    for (const Json& s : r.out["rmgr"]) r.text << s.get<std::string>() << '\n';
    return finish(r);
}

}  // namespace

void addPlatform(CLI::App& app) {
    CLI::App* g = app.add_subcommand("platform", "The host platform below the library: registry, "
                                                 "VPD, hardware control, manufacturing flags, faults");
    g->require_subcommand(1);
    g->footer("Example: gard platform policy 11 1   (the gard policy now forbids garding a processor)");
    for (const Value& v : kValues) {
        auto a = std::make_shared<Args>();
        CLI::App* c = command(g, v.cmd, std::string(v.help) + "; without VALUE shows it", v.example);
        if (v.arg != nullptr) c->add_option(v.arg, a->arg, v.argHelp)->required();
        c->add_option("VALUE", a->value, "New value");
        c->add_flag("--remove", a->remove, "Remove the value");
        const Value* row = &v;
        c->callback([a, row] {
            action() = [a, row] { return valueCommand(valueName(*row, a->arg), row->kind, 4, *a); };
        });
    }

    auto a = std::make_shared<Args>();
    CLI::App* c = command(g, "reg", "A registry value of this processor's view (--sp); without "
                                    "KEY lists the keys the library reads",
                          "gard --sp 1 platform reg dscv/QelRole 1");
    c->add_option("KEY", a->arg, "Registry key, e.g. dscv/QelRole");
    c->add_option("VALUE", a->value, "New value (number, or text for fstp/P3_Root)");
    allowEmpty(c->add_option("--bytes", a->bytes, "New value as raw hex bytes ('' for an empty value)")
                   ->each([a](const std::string&) { a->bytesGiven = true; }));
    c->add_flag("--remove", a->remove, "Remove the key (reads of it fail)");
    c->callback([a] { action() = [a] { return reg(*a); }; });

    CLI::App* f = g->add_subcommand("fault", "Make a platform call fail in later commands: add, list, clear");
    f->require_subcommand(1);
    f->footer("Example: gard platform fault add UtilFile::Read@gardRask#2");
    auto fault = std::make_shared<std::string>();
    c = command(f, "add", "Add a fault: CALL[@TARGET][#N] fails every such call, or only the Nth of a command",
                "gard platform fault add UtilFile::Read@gardRask#2");
    c->add_option("FAULT", *fault, "e.g. UtilReg::read@dscv/QelRole or vormGetVPDPort@0x2e71")->required();
    c->callback([fault] { action() = [fault] { return faults("add", *fault); }; });
    command(f, "list", "The faults in force", "gard platform fault list")
        ->callback([] { action() = [] { return faults("list", ""); }; });
    command(f, "clear", "Remove every fault", "gard platform fault clear")
        ->callback([] { action() = [] { return faults("clear", ""); }; });

    auto base = std::make_shared<std::string>(), instance = std::make_shared<std::string>();
    c = command(g, "unit-id", "The unit id the hardware object model gives an instance of a unit "
                              "kind (a DMA path names instances of 0x2e70 and 0x2e90)",
                "gard platform unit-id 0x2e70 1");
    c->add_option("BASE", *base, "Unit kind")->required();
    c->add_option("INSTANCE", *instance, "Instance number")->required();
    c->callback([=] { action() = [=] { return unitId(*base, *instance); }; });

    command(g, "rmgr-log", "The redundancy-manager calls made so far", "gard platform rmgr-log")
        ->callback([] { action() = rmgrLog; });
}

}  // namespace gardcli
