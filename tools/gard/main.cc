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
               "         gard --state /tmp/gs status");
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
        std::cerr << "gard: " << e.what() << " (see --help)\n";
        return kUsage;
    }
    try {
        return action()();
    } catch (const Usage& e) {
        std::cerr << "gard: " << e.what() << "\n";
        return kUsage;
    }
}
