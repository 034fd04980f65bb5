// gard: see and change the gard state of a service-processor pair from the
// command line. Parses, runs the chosen command, maps the outcome to the exit
// status: 0 success, 1 the library returned an error log, 2 bad input,
// 3 inspect found anomalies.
#include <iostream>

#include "cli.h"

using namespace gardcli;

int main(int argc, char** argv) {
    CLI::App app{"See and change the gard records of a service-processor pair: unit gard "
                 "table, service-processor records, stored error logs, the platform below.",
                 "gard"};
    app.require_subcommand(1);
    app.add_option("--state", opts().stateDir, "State directory (else GARD_STATE_DIR, else "
                                               "$XDG_STATE_HOME/gard, else ~/.local/state/gard)");
    app.add_option("--sp", opts().sp, "Run as the service processor at position 0 or 1")
        ->check(CLI::Range(0, 1));
    app.add_flag("--json", opts().json, "Print the result as JSON");
    app.footer("Example: gard demo          (a guided scenario in a temporary state directory)\n"
               "         gard --state /tmp/gs status\n"
               "Terms:   gard, unit, group id, SRC, role, position, marker, failure word and\n"
               "         domain are explained in docs/glossary.md and in man gard (GLOSSARY).");
    addStatus(app);
    addUnits(app);
    addProcessors(app);
    addSystem(app);
    addErrlogs(app);
    addPlatform(app);
    addInspect(app);
    addDemo(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        // The deepest command parsed: an unknown word after it is an unknown command.
        CLI::App* at = &app;
        while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
        std::string name;
        for (CLI::App* p = at; p != nullptr; p = p->get_parent()) name = p->get_name() + " " + name;
        std::vector<std::string> rest = at->remaining();
        if (dynamic_cast<const CLI::RequiredError*>(&e) && !at->get_subcommands({}).empty() &&
            !rest.empty())
            std::cerr << "gard: unknown command '" << rest.front() << "' (see " << name << "--help)\n";
        else
            std::cerr << "gard: " << e.what() << " (see " << name << "--help)\n";
        return kUsage;
    }
    // The position is chosen before any command names a registry value.
    if (opts().sp >= 0) gardhost::setPosition(opts().sp);
    try {
        return action()();
    } catch (const Usage& e) {
        std::cerr << "gard: " << e.what() << "\n";
        return kUsage;
    }
}
