// What a command hands back: its result printed as text or JSON, the
// confirmation of destructive commands, and the exit status.
#include <unistd.h>

#include <iostream>

#include "cli.h"
#include "platform/host/host.h"

namespace gardcli {

Result::~Result() {
    for (ErrlEntry* e : errls) delete e;
}

void Result::take(ErrlEntry* errl) {
    if (errl != nullptr) errls.push_back(errl);
}

int finish(Result& r) {
    Json errors = Json::array();
    for (ErrlEntry* e : r.errls) errors.push_back(errlJson(e));
    Json committed = Json::array();
    if (stateOpen()) {
        std::vector<gardhost::Committed> all = gardhost::committed();
        for (std::size_t i = committedMark(); i < all.size(); ++i)
            committed.push_back(committedJson(i + 1, all[i]));
    }
    const bool notDone = r.errls.empty() && !r.notDone.empty();
    if (opts().json) {
        if (notDone) r.out["notDone"] = r.notDone;
        r.out["errors"] = errors;
        r.out["committed"] = committed;
        std::cout << r.out.dump(2) << '\n';
    } else {
        std::cout << r.text.str();
        if (!committed.empty()) {
            std::cout << "committed by this command: " << committed.size() << " error log(s)\n";
            for (const Json& c : committed) printCommitted(std::cout << "  ", c, false);
        }
        for (const Json& e : errors) {
            std::cerr << "error log returned by the library:\n";
            printErrl(std::cerr, e);
        }
    }
    if (notDone) std::cerr << "gard: not done: " << r.notDone << '\n';
    // A dry run leaves the state directory byte for byte as it was.
    if (stateOpen() && !opts().dryRun) gardhost::saveTrace("gard");
    return !r.errls.empty() ? kErrl : notDone ? kNotDone : r.code;
}

bool confirm(Result& r, const std::string& what) {
    if (opts().dryRun) {
        r.out["dryRun"] = true;
        r.out["wouldChange"] = what;
        r.text << "dry run, nothing changed; this would " << what << '\n';
        return false;
    }
    if (opts().yes) return true;
    if (isatty(STDIN_FILENO) == 0)
        throw Usage("this would " + what + "; add --yes to do it without a question (--dry-run shows it)");
    std::cerr << "This will " << what << ". Go on? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer == "y" || answer == "Y" || answer == "yes") return true;
    r.notDone = "not confirmed, nothing changed";
    return false;
}

}  // namespace gardcli
