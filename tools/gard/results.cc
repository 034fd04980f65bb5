// What a command hands back: its result printed as text or JSON, the
// confirmation of destructive commands, and the exit status.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli.h"
#include "platform/host/host.h"

namespace gardcli {

Result::~Result() {
    for (ErrlEntry* e : errls) delete e;
}

std::string Result::take(ErrlEntry* errl) {
    if (errl == nullptr) return "";
    errls.push_back(errl);
    return errlJson(errl)["text"];
}

std::string unknownWords(const Json& obj, const std::string& key) {
    const Json* why = obj.contains("unknown") ? &obj["unknown"] : nullptr;
    return "unknown (" + (why && why->contains(key) ? (*why)[key].get<std::string>() : "not read") + ")";
}

void putUnknown(Json& obj, const std::string& key, const std::string& why) {
    obj[key] = nullptr;
    if (!obj.contains("unknown")) obj["unknown"] = Json::object();
    obj["unknown"][key] = why;
}

void Result::putUnknown(Json& obj, const std::string& key, const std::string& why) {
    gardcli::putUnknown(obj, key, why);
    if (unknown.empty()) unknown = why;
}

namespace {

// The versions of the schemas, read from their files by the build.
#include "schemas.h"

// An output with its schema's name and version in front.
Json schemaNamed(const std::string& name, Json& fields) {
    Json out = Json::object();
    out["schema"] = name;
    out["schemaVersion"] = schemaVersion(name);
    for (auto& [key, value] : fields.items()) out[key] = std::move(value);
    return out;
}

}  // namespace

int schemaVersion(const std::string& name) {
    for (const SchemaVersion& s : kSchemaVersions)
        if (name == s.name) return s.version;
    return 0;
}

int finish(Result& r) {
    // The command's call ends here: its changes committed (one journal
    // record, one flush), or, for a command that only reads, dropped.
    std::vector<std::string> notWritten;
    std::string notMade = stateOpen() ? settleState(notWritten) : "";
    if (notMade.empty()) notMade = r.notMade;
    Json errors = Json::array();
    for (ErrlEntry* e : r.errls) errors.push_back(errlJson(e));
    Json committed = Json::array();
    if (stateOpen()) {
        for (gardhost::Committed& c : committedUnshown()) committed.push_back(committedJson(c));
    }
    // A failed read outranks a refusal: what was refused is not known either.
    const bool failed = !r.errls.empty() || !r.unknown.empty() || !notMade.empty();
    const bool notDone = !failed && !r.notDone.empty();
    const int status = failed ? kErrl : notDone ? kNotDone : r.code;
    // A unit table too short to read fails every table command alike: say
    // once what brings it back.
    const std::string recovery = failed && stateOpen() ? tableTooShort() : "";
    if (!recovery.empty()) r.out["recovery"] = recovery;
    if (opts().json) {
        if (r.out.contains("unknown")) {  // after the fields it speaks of
            Json unknown = std::move(r.out["unknown"]);
            r.out.erase("unknown");
            r.out["unknown"] = std::move(unknown);
        }
        if (notDone) r.out["notDone"] = r.notDone;
        if (!notMade.empty()) r.out["notMade"] = notMade;
        if (!notWritten.empty()) r.out["notWritten"] = notWritten;
        r.out["errors"] = errors;
        r.out["committed"] = committed;
        r.out["exitStatus"] = status;
        if (r.streamedJson) {
            // After a streamed start (the schema, then the long list), the
            // rest of the object follows it.
            const std::string rest = r.out.dump(2);
            std::cout << ",\n" << rest.substr(2) << '\n';
        } else {
            std::cout << schemaNamed(opts().schema, r.out).dump(2) << '\n';
        }
    } else {
        // What a command says it did is not said when none of it was made.
        if (notMade.empty()) std::cout << r.text.str();
        if (!committed.empty()) {
            std::cout << "committed by this command: " << counted(committed.size(), "error log", "error logs") << '\n';
            for (const Json& c : committed) printCommitted(std::cout << "  ", c, false);
        }
        for (const Json& e : errors) {
            std::cerr << "error log returned by the library:\n";
            printErrl(std::cerr, e);
        }
    }
    // Returned logs say it themselves; a committed one or a failed call here.
    if (r.errls.empty() && !r.unknown.empty()) std::cerr << "gard: unknown: " << r.unknown << '\n';
    if (notDone) std::cerr << "gard: not done: " << r.notDone << '\n';
    if (!notMade.empty()) std::cerr << "gard: not made: " << notMade << '\n';
    if (!notWritten.empty() && !opts().json) {
        std::cerr << "gard: this command only reads, so it changed nothing; a command that changes the state would "
                     "first write:\n";
        for (const std::string& w : notWritten) std::cerr << "  " << w << '\n';
    }
    if (!recovery.empty()) std::cerr << "gard: " << recovery << '\n';
    // A dry run leaves the state directory byte for byte as it was.
    if (stateOpen() && !opts().dryRun) gardhost::saveTrace("gard");
    return status;
}

int failed(int status, const std::string& why) {
    std::cerr << "gard: " << shown(why) << '\n';
    if (opts().json) {
        Json out = Json::object();
        out["error"] = shown(why);
        out["errors"] = Json::array();
        out["committed"] = Json::array();
        out["exitStatus"] = status;
        std::cout << schemaNamed("error", out).dump(2) << '\n';
    }
    return status;
}

int flushed(int status) {
    errno = 0;
    if (std::cout.flush() && std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return status;
    const int err = errno;
    std::cerr << "gard: cannot write the output: " << (err != 0 ? std::strerror(err) : "write error")
              << " (exit status " << kOutput << "; what the command did stands)\n";
    std::cout.clear();
    return kOutput;
}

Watch::Watch() : calls_(gardhost::calls().size()) {}

std::string Watch::trouble() const {
    const std::vector<gardhost::Call>& calls = gardhost::calls();
    std::size_t commits = 0, firstError = 0;
    bool error = false;
    std::string failedCall;
    for (std::size_t i = calls_; i < calls.size(); ++i) {
        const gardhost::Call& c = calls[i];
        if (c.name == "ErrlEntry::commit") {
            if (!error && failedCall.empty() && c.args.find("actions=2000") != std::string::npos)
                error = true, firstError = commits;
            ++commits;
        } else if (c.failed && failedCall.empty() && !error) {
            failedCall = "the platform call " + c.name + (c.target.empty() ? "" : " for " + c.target) +
                         " failed (injected fault)";
        }
    }
    if (error) {
        // The commits since the watch are the newest committed logs: the
        // command holds the state directory's lock alone.
        std::vector<gardhost::Committed> since = committedUnshown();
        if (since.size() >= commits) return committedJson(since[since.size() - commits + firstError])["text"];
    }
    return failedCall;
}

std::string Watch::failed(const std::string& name, const std::string& target) const {
    const std::vector<gardhost::Call>& calls = gardhost::calls();
    for (std::size_t i = calls_; i < calls.size(); ++i)
        if (calls[i].failed && calls[i].name == name && calls[i].target == target)
            return "the platform call " + name + " for " + target + " failed (injected fault)";
    return "";
}

namespace {
// A `what` may go on in lines of its own (a list of changes): they are
// shown where there is room, and left to --dry-run where one line is all there is.
bool listed(const std::string& what) { return what.find('\n') != std::string::npos; }
std::string firstLine(const std::string& what) {
    std::string head = what.substr(0, what.find('\n'));
    if (listed(what) && !head.empty() && head.back() == ':') head.pop_back();
    return head;
}

bool ask(Result& r, const std::string& what) {
    std::cerr << "This will " << what << (listed(what) ? "\nGo on? [y/N] " : ". Go on? [y/N] ") << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer == "y" || answer == "Y" || answer == "yes") return true;
    r.notDone = "not confirmed, nothing changed";
    return false;
}
}  // namespace

bool confirm(Result& r, const std::string& what) {
    if (what.empty()) return true;  // nothing to ask about: the command says what it does not do
    if (opts().dryRun) {
        r.out["dryRun"] = true;
        r.out["wouldChange"] = what;
        r.text << "dry run, nothing changed; this would " << what << '\n';
        return false;
    }
    if (opts().yes) return true;
    if (isatty(STDIN_FILENO) == 0)
        throw Usage("this would " + firstLine(what) + "; add --yes to do it without a question (--dry-run shows it)");
    return ask(r, what);
}

bool confirmThenOpen(Result& r, const std::function<std::string()>& what) {
    const bool asks = !opts().dryRun && !opts().yes && isatty(STDIN_FILENO) != 0;
    if (!asks || !peekState()) {
        openState();
        return confirm(r, what());
    }
    const std::string shownWhat = what();
    if (shownWhat.empty()) {
        openState();
        return confirm(r, what());
    }
    if (!ask(r, shownWhat)) return false;
    openState();
    const std::string now = what();
    if (now == shownWhat) return true;
    // What was agreed to is not what would happen now.
    r.out["wouldChange"] = now;
    r.notDone = "the state changed while the question was open: this would now " + now +
                "; nothing changed (run the command again to be asked about that)";
    return false;
}

}  // namespace gardcli
