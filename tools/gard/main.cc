// gard: see and change the gard state of a service-processor pair from the
// command line. Parses, runs the chosen command, maps the outcome to the exit
// status (cli.h: Exit).
#include <cstdlib>
#include <exception>
#include <iostream>

#include "cli.h"

using namespace gardcli;

namespace {

// The position to run as: --sp, else GARD_HOST_SP (empty counts as unset),
// read by the same rules; -1 leaves the host's default, position 0.
int chosenPosition() {
    if (opts().spGiven) return static_cast<int>(parseNumber(opts().spText, "--sp", 1));
    if (const char* env = std::getenv("GARD_HOST_SP"); env != nullptr && *env != '\0')
        return static_cast<int>(parseNumber(env, "GARD_HOST_SP", 1));
    return -1;
}

// Parse errors, one line naming the command whose --help helps.
int parseError(CLI::App& app, const CLI::ParseError& e) {
    // The deepest command parsed: an unknown word after it is an unknown command.
    CLI::App* at = &app;
    while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
    std::string name;
    for (CLI::App* p = at; p != nullptr; p = p->get_parent()) name = p->get_name() + " " + name;
    std::vector<std::string> rest = at->remaining();
    const bool noCommand = dynamic_cast<const CLI::RequiredError*>(&e) || dynamic_cast<const CLI::ExtrasError*>(&e);
    if (noCommand && !at->get_subcommands({}).empty() && !rest.empty())
        return failed(kUsage, "unknown command '" + rest.front() + "' (see " + name + "--help)");
    return failed(kUsage, e.what() + std::string(" (see ") + name + "--help)");
}

// --json anywhere before "--": also a command line that does not parse
// answers in JSON.
bool jsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i)
        if (std::string(argv[i]) == "--json") return true;
    return false;
}

int run(int argc, char** argv) {
    CLI::App app{"See and change the gard records of a service-processor pair: unit gard "
                 "table, service-processor records, stored error logs, the platform below.",
                 "gard"};
    app.require_subcommand(0, 1);
    addStateOptions(&app);
    app.add_flag("--json", opts().json, "Print the result as JSON");
    bool version = false;
    app.add_flag("--version", version, "Print the tool's and the library's versions and the state directory");
    app.footer("Example: gard demo          (a guided scenario in a temporary state directory)\n"
               "         gard --state /tmp/gs status\n"
               "Terms:   gard, unit, group id, SRC, role, position, marker, failure word and\n"
               "         domain are explained in docs/glossary.md and in man gard (GLOSSARY).\n"
               "Exit status: 0 done, 1 a read or write failed (answer unknown), 2 bad input, 3 decode\n"
               "         anomalies, 4 not done, 5 output not written");
    addStatus(app);
    addUnits(app);
    addProcessors(app);
    addSystem(app);
    addErrlogs(app);
    addPlatform(app);
    addDecode(app);
    addDemo(app);
    addVersion(app);
    addHistory(app);
    addRestore(app);
    refuseEmpty(&app);
    // Hidden: the command table for the build (completion) and the tests (schemas).
    bool completion = false, commands = false;
    app.add_flag("--bash-completion", completion)->group("");
    app.add_flag("--commands", commands)->group("");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        return parseError(app, e);
    }
    if (completion || commands) {
        completion ? printCompletion(app) : printCommands(app, "");
        return kOk;
    }
    if (version) action() = versionAction;
    // The chosen command names its output's schema: "units list" writes units-list.
    opts().schema = version ? "version" : "";
    for (CLI::App* at = &app; !version && !at->get_subcommands().empty();) {
        at = at->get_subcommands().front();
        opts().schema += (opts().schema.empty() ? "" : "-") + at->get_name();
    }
    if (!action()) return failed(kUsage, "a command is required (see gard --help)");
    // The position is chosen before any command names a registry value.
    opts().sp = chosenPosition();
    if (opts().sp >= 0) gardhost::setPosition(opts().sp);
    opts().access = commandAccess(app);
    return action()();
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing leaves main as an exception: bad input is one line and 2,
    // anything else (the library's platform, memory) one line and 1.
    // Output that cannot be written is a failure too (kOutput).
    opts().json = jsonAsked(argc, argv);
    try {
        return flushed(run(argc, argv));
    } catch (const Usage& e) {
        return flushed(failed(kUsage, e.what()));
    } catch (const OutputFailed& e) {
        return flushed(failed(kOutput, e.what()));
    } catch (const std::exception& e) {
        return flushed(failed(kErrl, std::string("internal error: ") + e.what()));
    } catch (...) {
        return flushed(failed(kErrl, "internal error"));
    }
}
