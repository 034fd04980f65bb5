// Options and input parsing: every number, hex string and on/off word of the
// command line and the environment.
#include <cctype>
#include <set>
#include <string>

#include "cli.h"

namespace gardcli {

Options& opts() {
    static Options o;
    return o;
}

std::function<int()>& action() {
    static std::function<int()> a;
    return a;
}

void addStateOptions(CLI::App* app) {
    allowEmpty(app->add_option("--state", opts().stateDir, "State directory (else GARD_STATE_DIR, else "
                                                           "$XDG_STATE_HOME/gard, else ~/.local/state/gard)")
                   ->each([](const std::string&) { opts().stateGiven = true; }));
    // Both say themselves what an empty one is.
    allowEmpty(app->add_option("--sp", opts().spText, "Run as the service processor at position 0 or 1 "
                                                      "(else GARD_HOST_SP, else 0)")
                   ->type_name("0|1")
                   ->each([](const std::string&) { opts().spGiven = true; }));
}

namespace {
std::set<const CLI::Option*>& emptyAllowed() {
    static std::set<const CLI::Option*> options;
    return options;
}
}  // namespace

CLI::Option* allowEmpty(CLI::Option* option) {
    emptyAllowed().insert(option);
    return option;
}

void refuseEmpty(CLI::App* app) {
    const CLI::Validator nonEmpty(
        [](std::string& text) { return text.empty() ? std::string("is empty: give a value") : std::string(); }, "", "");
    for (CLI::Option* o : app->get_options([](CLI::Option* o) { return o->get_type_size_min() > 0; }))
        if (emptyAllowed().count(o) == 0) o->check(nonEmpty);
    for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) refuseEmpty(sub);
}

void addConfirmOptions(CLI::App* app) {
    app->add_flag("--yes,-y", opts().yes, "Do not ask before changing");
    app->add_flag("--dry-run", opts().dryRun, "Print what would change and change nothing");
}

CLI::App* command(CLI::App* parent, const std::string& name, const std::string& help,
                  const std::string& example, bool stateful) {
    CLI::App* sub = parent->add_subcommand(name, help);
    sub->footer("Example: " + example);
    if (stateful) addStateOptions(sub);
    sub->add_flag("--json", opts().json, "Print the result as JSON");
    return sub;
}

// ---------------------------------------------------------------- input

uint32_t parseNumber(const std::string& text, const std::string& what, uint32_t max) {
    const bool hexForm = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const uint64_t base = hexForm ? 16 : 10;
    uint64_t v = 0;
    bool digits = text.size() > (hexForm ? 2u : 0u), over = false;
    for (std::size_t i = hexForm ? 2 : 0; digits && i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const uint64_t d = std::isdigit(c) ? c - '0' : std::isxdigit(c) ? (std::tolower(c) - 'a' + 10) : 99;
        digits = d < base;
        v = v * base + d;
        over = over || v > max;
        if (over) v = 0;  // no wrap-around however many digits follow
    }
    if (!digits) throw Usage(what + " '" + text + "' is not a number (decimal, or hex after 0x)");
    if (over)
        throw Usage(what + " '" + text + "' out of range (0 to " + (max < 10 ? std::to_string(max) : hex(max)) + ")");
    return static_cast<uint32_t>(v);
}

uint16_t parseUnitId(const std::string& text) {
    uint32_t v = parseNumber(text, "unit id", 0xFFFF);
    if (v == 0) throw Usage("unit id 0 marks a free entry; give 1 to 0xffff");
    return static_cast<uint16_t>(v);
}

bool parseOnOff(const std::string& text, const std::string& what) {
    if (text == "on" || text == "1" || text == "yes" || text == "true") return true;
    if (text == "off" || text == "0" || text == "no" || text == "false") return false;
    throw Usage(what + " '" + text + "' is neither on nor off");
}

std::vector<uint8_t> parseHex(const std::string& text, const std::string& what) {
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '-') digits += c;
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits.erase(0, 2);
    if (digits.size() % 2 != 0) throw Usage(what + " '" + text + "' has an odd number of hex digits");
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(digits[i])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[i + 1])))
            throw Usage(what + " '" + text + "' is not hex");
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

}  // namespace gardcli
