// restore and diff: the gard state as the history holds it at a moment, put
// back (restore) or set beside another moment (diff). A moment is a place in
// the journal, never a time: the state after every record up to one, in the
// journal's order. A time names the last record stamped at or before it.
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include "cli.h"
#include "history.h"

namespace gardcli {

namespace {

using Bytes = std::vector<uint8_t>;

// A moment as asked: the records before event `value` (--before N), or
// those up to the last one stamped at or before `value` microseconds.
struct Ask {
    std::string option, text;  // as given, quoted whole in a refusal
    bool event = false;
    uint64_t value = 0;
};

// A moment found: the state just after event `seq`.
struct Moment {
    uint64_t seq = 0, time = 0;
    std::string command;  // what made that event (its program where no command line was kept)
};

std::string eventWords(const Moment& m) {
    return "#" + std::to_string(m.seq) + " (" + utcTime(m.time) + ", " + shown(m.command) + ")";
}

Json momentJson(const Moment& m) {
    Json j = {{"event", m.seq}, {"time", m.time}, {"timeText", utcTime(m.time)}};
    putBytes(j, "command", m.command);
    return j;
}

// A name's content at a moment: missing, or bytes; not known where the
// journal cannot rebuild them, when its size and CRC-32 (the record's) are
// all there is to compare.
struct Content {
    bool present = false, known = true;
    Bytes bytes;
    uint32_t size = 0, crc = 0;
};
using Contents = std::map<std::string, Content>;

Content contentOf(bool present, const Bytes* bytes, uint32_t size, uint32_t crc) {
    Content c;
    c.present = present;
    c.known = !present || bytes != nullptr;
    if (present && bytes != nullptr) c.bytes = *bytes;
    if (present) c.size = size, c.crc = crc;
    return c;
}

bool sameContent(const Content& a, const Content& b) {
    if (a.present != b.present) return false;
    if (!a.present) return true;
    return a.known && b.known ? a.bytes == b.bytes : a.size == b.size && a.crc == b.crc;
}

// First pass: the moment each ask names, and the records a cancel says were
// not made. A moment before the history's first event, or an event it does
// not hold, is bad input.
std::vector<Moment> locate(const std::vector<Ask>& asks, std::set<uint64_t>& cancelled) {
    std::vector<Moment> found(asks.size());
    std::vector<bool> seen(asks.size(), false);
    Moment first, last;
    bool any = false;
    std::vector<std::string> problems;  // said by the second pass
    gardhost::HistoryReader reader;
    reader.read(
        [&](const gardhost::HistoryRecord& h, const Bytes*, const Bytes*) {
            if (h.kind == gardhost::HistoryRecord::kCancel) cancelled.insert(h.cancelled);
            if (any && h.seq == last.seq) return;
            const Moment m{h.seq, h.time, h.command.empty() ? h.program : h.command};
            if (!any) first = m;
            any = true;
            last = m;
            for (std::size_t i = 0; i < asks.size(); ++i)
                if (asks[i].event ? h.seq < asks[i].value : h.time <= asks[i].value) found[i] = m, seen[i] = true;
        },
        problems);
    for (std::size_t i = 0; i < asks.size(); ++i) {
        const std::string quoted = asks[i].option + " '" + asks[i].text + "'";
        if (!any) throw Usage(quoted + ": the history holds no event yet");
        const std::string held = "; the history holds #" + std::to_string(first.seq) + " (" + utcTime(first.time) +
                                 ") to #" + std::to_string(last.seq) + " (" + utcTime(last.time) + ")";
        if (asks[i].event && asks[i].value > last.seq)
            throw Usage(quoted + ": there is no event #" + std::to_string(asks[i].value) + held);
        if (!seen[i]) throw Usage(quoted + " is before the history starts: what the state was then is not known" + held);
    }
    return found;
}

// Second pass: each name's content at each moment, from the journal alone:
// what its last change up to the moment left, else (first changed after
// it) what its first change after found. Names the journal never names
// were not changed in it. The reader stays, to read what comes after.
struct Replay {
    std::vector<Contents> at;
    std::vector<std::string> problems;
    std::unique_ptr<gardhost::HistoryReader> reader = std::make_unique<gardhost::HistoryReader>();
};

Replay replay(const std::vector<Moment>& moments, const std::set<uint64_t>& cancelled) {
    Replay r;
    r.at.resize(moments.size());
    r.reader->read(
        [&](const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after) {
            // The defaults of a new state directory count; a cancelled record's changes never happened.
            if (h.kind != gardhost::HistoryRecord::kChange || cancelled.count(h.seq) != 0) return;
            for (std::size_t i = 0; i < moments.size(); ++i) {
                if (h.seq <= moments[i].seq)
                    r.at[i][h.name] = contentOf(h.after, after, h.afterSize, h.afterCrc);
                else if (r.at[i].count(h.name) == 0)
                    r.at[i][h.name] = contentOf(h.before, before, h.beforeSize, h.beforeCrc);
            }
        },
        r.problems);
    r.reader->outsideChanges(r.problems);
    return r;
}

void sayProblems(const std::string& command, const std::vector<std::string>& problems, Json& out) {
    Json lines = Json::array();
    for (const std::string& p : problems) {
        std::cerr << "gard: " << command << ": " << shown(p) << '\n';
        lines.push_back(shown(p));
    }
    out["problems"] = lines;
}

// ---------------------------------------------------------------- restore

struct Plan {
    Moment moment;
    std::vector<std::pair<std::string, Content>> writes;  // each name with its content then
    Json changes = Json::array();                          // in the history's words
    std::vector<std::string> unknown;                      // names whose content then cannot be rebuilt
    Replay replay;
};

Plan planRestore(const Ask& ask) {
    Plan p;
    std::set<uint64_t> cancelled;
    p.moment = locate({ask}, cancelled)[0];
    p.replay = replay({p.moment}, cancelled);
    for (const auto& [name, then] : p.replay.at[0]) {
        if (!then.known) {
            p.unknown.push_back(name);
            continue;
        }
        Bytes now;
        const int err = gardhost::readState(name, now);
        const bool present = err == 0;
        // Unreadable (a directory in its place, no permission) counts as different: writing says why.
        if ((err == 0 || err == ENOENT || err == ENOTDIR) && sameContent(then, contentOf(present, &now, 0, 0))) continue;
        Json change = netChangeJson(name, present ? &now : nullptr, then.present ? &then.bytes : nullptr);
        if (err != 0 && err != ENOENT && err != ENOTDIR)
            change["items"] = Json::array({Json{{"text", shown(name) + ": cannot be read now (" + errnoWords(err) + "): written anew"},
                                           {"kind", change["kind"]}}});
        p.changes.push_back(std::move(change));
        p.writes.emplace_back(name, then);
    }
    return p;
}

std::string namesWords(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : ", ") + shown(n);
    return s;
}

int restore(const Ask& ask, bool leaveUnknown) {
    Result r;
    Plan plan;
    // Nothing is asked when nothing would be done: no change, or a refusal.
    auto what = [&]() -> std::string {
        plan = planRestore(ask);
        if (plan.writes.empty() || (!plan.unknown.empty() && !leaveUnknown)) return "";
        std::string w = "put back " + counted(plan.writes.size(), "value", "values") + " as they were after event " +
                        eventWords(plan.moment) + ":";
        for (const Json& c : plan.changes)
            for (const Json& i : c["items"]) w += "\n  " + i["text"].get<std::string>();
        if (!plan.unknown.empty())
            w += "\n  (left as they are: " + namesWords(plan.unknown) + ", whose content then the history cannot rebuild)";
        return w;
    };
    const bool go = confirmThenOpen(r, what);
    r.out["moment"] = momentJson(plan.moment);
    r.out["changes"] = plan.changes;
    r.out["notInHistory"] = Json::array();
    for (const std::string& n : plan.unknown) r.out["notInHistory"].push_back(shown(n));
    r.out["restored"] = false;
    r.out["restoreEvent"] = nullptr;
    sayProblems("restore", plan.replay.problems, r.out);
    if (!plan.unknown.empty() && !leaveUnknown) {
        r.notDone = "the history cannot rebuild what " + namesWords(plan.unknown) + " held after event #" +
                    std::to_string(plan.moment.seq) + " (rotated out, or changed outside the platform): nothing "
                    "restored; --leave-unknown restores the rest and leaves " +
                    (plan.unknown.size() == 1 ? "it as it is" : "them as they are");
        return finish(r);
    }
    if (plan.writes.empty()) {
        r.text << "nothing to restore: every value is as it was after event " << eventWords(plan.moment)
               << (plan.unknown.empty() ? "" : "; left as they are: " + namesWords(plan.unknown) +
                                                    ", whose content then the history cannot rebuild")
               << '\n';
        r.out["restored"] = true;
        return finish(r);
    }
    if (!go) return finish(r);
    for (const auto& [name, then] : plan.writes) {
        if (then.present) gardhost::setValue(name, then.bytes);
        else gardhost::eraseValue(name);
    }
    // All of it or nothing: one value that did not take drops the call.
    std::vector<std::string> stuck;
    for (const auto& [name, then] : plan.writes) {
        Bytes now;
        const int err = gardhost::readState(name, now);
        if (then.present ? err != 0 || now != then.bytes : err != ENOENT && err != ENOTDIR) stuck.push_back(name);
    }
    if (!stuck.empty()) {
        dropChanges();
        r.notMade = namesWords(stuck) + " could not be written (said above); nothing of this restore was made";
        return finish(r);
    }
    // Made now, one record: read back to name the event that undoes it.
    std::vector<std::string> unsaid;
    r.notMade = settleState(unsaid);
    if (!r.notMade.empty()) return finish(r);
    r.out["restored"] = true;
    std::vector<std::string> later;
    uint64_t own = 0;
    plan.replay.reader->read(
        [&](const gardhost::HistoryRecord& h, const Bytes*, const Bytes*) {
            if (own == 0 && h.pid == getpid() && h.kind == gardhost::HistoryRecord::kChange) own = h.seq;
        },
        later);
    r.text << "restored " << counted(plan.writes.size(), "value", "values") << " as they were after event "
           << eventWords(plan.moment) << ":\n";
    for (const Json& c : plan.changes)
        for (const Json& i : c["items"]) r.text << "  " << i["text"].get<std::string>() << '\n';
    if (!plan.unknown.empty()) r.text << "left as they are: " << namesWords(plan.unknown) << '\n';
    if (own != 0) {
        r.out["restoreEvent"] = own;
        r.text << "this restore is event #" << own << ": gard restore --before " << own << " undoes it\n";
    }
    return finish(r);
}

// ---------------------------------------------------------------- diff

int diff(const Ask& since, const Ask& until) {
    openState();
    Result r;
    std::set<uint64_t> cancelled;
    const std::vector<Moment> m = locate({since, until}, cancelled);
    if (m[1].seq < m[0].seq)
        throw Usage("--until '" + until.text + "' names an earlier moment (after event #" + std::to_string(m[1].seq) +
                    ") than " + since.option + " '" + since.text + "' (after event #" + std::to_string(m[0].seq) + ")");
    Replay at = replay(m, cancelled);
    Json changes = Json::array(), unknown = Json::array();
    for (const auto& [name, to] : at.at[1]) {
        const auto it = at.at[0].find(name);
        const Content from = it != at.at[0].end() ? it->second : to;
        if (sameContent(from, to)) continue;  // back where it was, or never changed between
        if (!from.known || !to.known) {
            unknown.push_back(shown(name));
            continue;
        }
        changes.push_back(netChangeJson(name, from.present ? &from.bytes : nullptr, to.present ? &to.bytes : nullptr));
    }
    putBytes(r.out, "stateDir", stateDirChoice());
    r.out["since"] = momentJson(m[0]);
    r.out["until"] = momentJson(m[1]);
    r.out["changes"] = changes;
    r.out["notInHistory"] = unknown;
    sayProblems("diff", at.problems, r.out);
    r.text << "from after event " << eventWords(m[0]) << "\n  to after event " << eventWords(m[1]) << ":\n";
    for (const Json& c : changes)
        for (const Json& i : c["items"]) r.text << "  " << i["text"].get<std::string>() << '\n';
    for (const Json& n : unknown)
        r.text << "  " << n.get<std::string>() << ": changed, but the history cannot rebuild its content at one end or both\n";
    const std::size_t n = changes.size() + unknown.size();
    r.text << (n == 0 ? "nothing changed: every value is as it was" : counted(n, "value", "values") + " changed") << '\n';
    return finish(r);
}

}  // namespace

void addRestore(CLI::App& app) {
    auto to = std::make_shared<std::string>(), before = std::make_shared<std::string>();
    auto leave = std::make_shared<bool>(false);
    CLI::App* c = command(&app, "restore",
                          "Put every gard file, keyword and platform value back as it was at a moment the history "
                          "holds, as one change (a later restore undoes it); committed error logs stay",
                          "gard restore --before 12 --dry-run");
    c->add_option("--to", *to, "The state at this time: after the last event, in the history's order, stamped at or "
                               "before it (the whole second, minute or day given); the forms of history --since")
        ->type_name("TIME");
    c->add_option("--before", *before, "The state before event N (#N in gard history): after every event before it")
        ->type_name("N");
    c->add_flag("--leave-unknown", *leave, "Leave as they are the values whose content then the history cannot "
                                           "rebuild (else nothing is restored, exit 4, naming them)");
    addConfirmOptions(c);
    c->footer("Example: gard restore --before 12 --dry-run   (what undoing event 12 and all after it changes)\n"
              "         gard restore --to 2026-12-07T12:00 --yes\n"
              "A time before the history's first event, or an event it does not hold, is refused (exit 2).");
    c->callback([=] {
        action() = [=] {
            if (to->empty() == before->empty()) throw Usage("give --to TIME or --before N (one of them)");
            Ask ask;
            if (!before->empty())
                ask = {"--before", *before, true, parseNumber(*before, "--before")};
            else
                ask = {"--to", *to, false, parseTime(*to, "--to").second};
            return restore(ask, *leave);
        };
    });

    auto since = std::make_shared<std::string>(), until = std::make_shared<std::string>(),
         sinceEvent = std::make_shared<std::string>();
    c = command(&app, "diff",
                "The net change of every gard file, keyword and platform value between two moments of the "
                "history, in words; values back where they were are not listed",
                "gard diff --since 2h");
    c->add_option("--since", *since, "From the state just before this time (the forms of history --since)")
        ->type_name("TIME");
    c->add_option("--since-event", *sinceEvent, "From the state before event N (#N in gard history): what "
                                                "gard restore --before N would undo")
        ->type_name("N");
    c->add_option("--until", *until, "To the state at this time, the whole second (minute, day) given (default: now)")
        ->type_name("TIME");
    c->footer("Example: gard diff --since 2h\n"
              "         gard diff --since 2026-12-07T09:00 --until 2026-12-07T12:00 --json\n"
              "         gard diff --since-event 12");
    c->callback([=] {
        action() = [=] {
            if (since->empty() == sinceEvent->empty()) throw Usage("give --since TIME or --since-event N (one of them)");
            const uint64_t first = since->empty() ? 0 : parseTime(*since, "--since").first;
            // Just before its first microsecond: what history --since lists changed it.
            const Ask from = since->empty() ? Ask{"--since-event", *sinceEvent, true, parseNumber(*sinceEvent, "--since-event")}
                                            : Ask{"--since", *since, false, first == 0 ? 0 : first - 1};
            const Ask upTo{"--until", until->empty() ? "now" : *until, false,
                         until->empty() ? UINT64_MAX : parseTime(*until, "--until").second};
            return diff(from, upTo);
        };
    });
}

}  // namespace gardcli
