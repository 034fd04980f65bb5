// errlogs: the error logs committed so far, and the library's trace buffer.
#include <iostream>
#include <memory>

#include "cli.h"
#include "tracetext.h"

namespace gardcli {

namespace {

int list(bool detail, const std::string& numberText) {
    std::size_t number = numberText.empty() ? 0 : parseNumber(numberText, "error log number");
    openState();
    Result r;
    std::vector<gardhost::Committed> all = gardhost::committed();
    // The log is kept to a bound: the oldest ones go when it rotates.
    const uint64_t dropped = all.empty() ? 0 : all.front().number - 1;
    if (number > dropped + all.size() || (!numberText.empty() && number == 0))
        throw Usage("no committed error log #" + numberText + " (there are " +
                    std::to_string(dropped + all.size()) + ")");
    if (number != 0 && number <= dropped)
        throw Usage("committed error log #" + numberText + " is no longer kept: the oldest " +
                    std::to_string(dropped) + " were dropped when the log rotated");
    Json logs = Json::array();
    for (gardhost::Committed& c : all)
        if (number == 0 || c.number == number) logs.push_back(committedJson(c));
    r.out["errlogs"] = logs;
    r.out["dropped"] = dropped;
    if (std::string why = committedUnreadable(); !why.empty()) {
        r.putUnknown(r.out, "errlogs", why);
        r.text << "committed error logs: " << unknownWords(r.out, "errlogs") << '\n';
    } else if (number == 0) {
        r.text << counted(all.size(), "committed error log", "committed error logs") << ", oldest first\n";
        if (dropped != 0)
            r.text << counted(dropped, "log", "logs") << " before #" << dropped + 1
                   << (dropped == 1 ? " was" : " were") << " dropped when the log rotated (errl/committed.1 holds the older part kept)\n";
    }
    for (const Json& c : logs) printCommitted(r.text, c, detail);
    return finish(r);
}

int clear() {
    Result r;
    r.out["cleared"] = false;
    if (!confirmThenOpen(r, [] { return "forget the " + counted(committedCount(), "committed error log", "committed error logs"); }))
        return finish(r);
    gardhost::clearCommitted();
    const bool cleared = committedCount() == 0;
    r.out["cleared"] = cleared;
    if (!cleared) r.notDone = "the host could not empty errl/committed";
    else r.text << "committed error logs cleared\n";
    return finish(r);
}

int trace(bool clearIt) {
    openState();
    Result r;
    Json entries = Json::array();
    std::size_t unknown = 0;
    for (const gardhost::TraceEntry& t : gardhost::loadTrace("gard")) {
        Json e = {{"id", t.id}};
        putBytes(e, "format", t.format);
        e.update(Json{{"line", t.line}, {"values", t.values}});
        Json words = traceJson(t);
        unknown += words["message"].is_null();
        // The saved trace may hold any bytes: its texts go through the byte rule.
        for (const auto& [key, value] : words.items()) {
            if (value.is_string()) putBytes(e, key, value.get<std::string>());
            else e[key] = value;
        }
        r.text << e["text"].get<std::string>() << '\n';
        entries.push_back(std::move(e));
    }
    r.out["trace"] = entries;
    r.out["unknownIds"] = unknown;
    if (std::string why = unreadableValue("trace/gard"); !why.empty()) {
        r.putUnknown(r.out, "trace", why);
        r.text << "saved trace: " << unknownWords(r.out, "trace") << '\n';
    }
    if (clearIt) {
        gardhost::clearTrace("gard");
        gardhost::eraseValue("trace/gard");
        r.text << "trace cleared\n";
    }
    return finish(r);
}

}  // namespace

void addErrlogs(CLI::App& app) {
    CLI::App* g = app.add_subcommand("errlogs", "The error logs committed in this state directory");
    g->require_subcommand(1);
    g->footer("Example: gard errlogs list && gard errlogs show 1");
    command(g, "list", "One line per committed error log, oldest first", "gard errlogs list")
        ->callback([] { action() = [] { return list(false, ""); }; });
    auto n = std::make_shared<std::string>();
    CLI::App* c = command(g, "show", "Committed error logs in full, every SRC with its ASCII form",
                          "gard errlogs show 3");
    c->add_option("N", *n, "Number of the log as list prints it (default: all)");
    c->callback([n] { action() = [n] { return list(true, *n); }; });
    c = command(g, "clear", "Forget the committed error logs", "gard errlogs clear --yes");
    addConfirmOptions(c);
    c->callback([] { action() = clear; });

    auto clearIt = std::make_shared<bool>(false);
    c = command(&app, "trace", "The library's trace buffer \"gard\" with its formats applied",
                "gard trace");
    c->add_flag("--clear", *clearIt, "Empty the saved trace after printing it");
    c->callback([clearIt] { action() = [clearIt] { return trace(*clearIt); }; });
}

}  // namespace gardcli
