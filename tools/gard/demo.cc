// demo: a guided scenario on a fresh temporary state directory. Each step
// says in words what it is about, calls the library as firmware would, and
// prints the error logs it committed and the state it leaves.
#include <filesystem>
#include <iostream>
#include <memory>

#include "cli.h"
#include "history.h"
#include "platform/hom.h"

namespace gardcli {

namespace {

// `text` broken into lines of at most `width` characters, each after `indent`.
std::string wrapped(const std::string& text, const std::string& indent, std::size_t width = 78) {
    std::string out, line;
    std::istringstream words(text);
    std::string w;
    while (words >> w) {
        if (!line.empty() && indent.size() + line.size() + 1 + w.size() > width) {
            out += indent + line + '\n';
            line.clear();
        }
        line += (line.empty() ? "" : " ") + w;
    }
    if (!line.empty()) out += indent + line + '\n';
    return out;
}

class Demo {
public:
    explicit Demo(Result& r) : r_(r) { r_.out["steps"] = Json::array(); }

    // A new step: its title and what a newcomer needs to know to follow it.
    void step(const std::string& title, const std::vector<std::string>& explain) {
        close();
        newCall();  // each step a call of its own in the history
        cur_ = {{"title", title}, {"explain", explain}, {"actions", Json::array()}};
        committedShown();
    }
    void did(const std::string& line) { cur_["actions"].push_back(line); }
    // The library runs as the processor at `sp`: its registry view.
    void on(int sp) { gardhost::setPosition(sp); }
    // Gives sp1 a role, saying so: only the processor in role 1 writes
    // gard records, and the lab set-up gives sp1 role 0.
    void sp1Role(int role, const std::string& why) {
        gardhost::setU8(gardhost::regName("dscv/QelRole", 1), static_cast<uint8_t>(role));
        did("sp1 now holds role " + std::to_string(role) + " (its registry value dscv/QelRole = " +
            std::to_string(role) + "): " + why);
    }
    std::string failover(int sp) {
        on(sp);
        GardFoStatus fo = GARD_FO_CAPABLE;
        Watch watch;
        r_.take(gardCheckFailoverCapable(fo));
        Json answer = Json::object();
        putFailover(r_, answer, fo, watch);
        return "failover as seen from sp" + std::to_string(sp) + ": " +
               (answer["failover"].is_null() ? unknownWords(answer, "failover")
                                             : answer["failoverName"].get<std::string>() + " (" + std::to_string(fo) + ")");
    }
    void close() {
        if (cur_.is_null()) return;
        on(0);
        cur_["committed"] = Json::array();
        for (gardhost::Committed& c : committedUnshown()) cur_["committed"].push_back(committedJson(c));
        cur_["status"] = statusJson(r_);
        if (!opts().json) print();
        r_.out["steps"].push_back(cur_);
        cur_ = nullptr;
        committedShown();
    }

private:
    void print() {
        std::ostream& os = r_.text;
        os << "\n== " << r_.out["steps"].size() + 1 << ". " << cur_["title"].get<std::string>() << '\n';
        for (const Json& e : cur_["explain"]) os << wrapped(e.get<std::string>(), "   ");
        for (const Json& a : cur_["actions"]) {
            std::string lines = wrapped(a.get<std::string>(), "    ");
            lines[2] = '>';  // "  > " starts each action
            os << lines;
        }
        os << "error logs committed in this step: " << cur_["committed"].size() << '\n';
        for (const Json& c : cur_["committed"]) printCommitted(os << "  ", c, false);
        os << "state it leaves:\n";
        printStatus(os, cur_["status"]);
    }

    Result& r_;
    Json cur_;
};

int demo(bool keep, std::string page) {
    opts().stateDir = makeTempDir("gard-demo");
    opts().stateGiven = true;
    opts().sp = 0;
    openState();
    Result r;
    putBytes(r.out, "stateDir", opts().stateDir);
    r.out["kept"] = keep;
    r.text << "gard demo in " << r.out["stateDir"].get<std::string>() << "\n";
    Demo d(r);

    d.step("A fresh pair of service processors",
           {"A server has two service processors: unit 0x200, called sp0 (position 0), and unit 0x201, "
            "called sp1 (position 1). To gard a piece of hardware is to take it out of use after "
            "errors and to remember that it was.",
            "Each processor keeps a 32-byte gard record in its VPD gard keyword: the marker 0x0c05, "
            "which says the record is valid, a state byte (new 0x5c, garded 0x5d, cleared 0xcc), a "
            "failure word saying why it was garded, and an extra word. The keywords start erased "
            "(32 bytes of 0xff); the library's first read repairs each one to the marker and state new.",
            "Only the processor in role 1 (its registry value dscv/QelRole) writes gard records. "
            "Here sp0 holds role 1 and sp1 role 0.",
            "Below, do-gard is the library's answer whether a processor's record says garded (1) or "
            "not (0); failover says whether the processor asking could hand over to the other one."});
    d.did(d.failover(0));

    d.step("A mailbox failure of 0x201, reported on sp1",
           {"A mailbox failure is a failed exchange with a service processor. Failure types 1 and 6 "
            "gard the processor; the others are only traced.",
            "A processor changes only its own record, and only while it holds role 1, so the failure "
            "of 0x201 is reported on sp1 and sp1 is given role 1 for it."});
    d.sp1Role(1, "it may now write its own record; in role 0 the library would refuse with an "
                 "error log of reason 0xca11");
    d.on(1);
    r.take(GardRdndQel::GardMailboxSetState(GARD_QEL_SP1, 1));
    const Json sp1 = readRecords(r)["records"][1];
    d.did("GardMailboxSetState(0x201, type 1) on sp1: 0x201 is now " +
          (sp1["state"].is_null() ? unknownWords(sp1, "present")
                                  : sp1["stateName"].get<std::string>() + " (" + hex(sp1["state"].get<uint32_t>()) +
                                        "), failure word " + hex(sp1["failureWord"].get<uint32_t>(), 8)) +
          ": the failure type (1) in the top byte and "
          "0xb7, the mark of a mailbox gard, in the lowest. A gard is announced by an "
          "informational error log.");
    d.did(d.failover(1));
    d.did(d.failover(0));
    d.sp1Role(0, "back to the lab set-up, where sp0 is the one that writes");

    d.step("Units recorded in the unit gard table, one garded with the SRC text of its error",
           {"The unit gard table holds up to 250 redundant VPD units. A unit is known by its unit id "
            "and a group id, and recorded with its serial number, gard state and error type, and "
            "the SRC text: the reference code of the error that garded it, e.g. B1814601."});
    const svpd_SerialNum a = {{'Y', 'L', '1', '0', 'A', '1'}}, b = {{'Y', 'L', '1', '0', 'A', '2'}};
    gardFruState fru{};
    r.take(gardAcc::GardUpdateVpdUnit(0x10, a, 1, &fru));
    r.take(gardAcc::GardUpdateVpdUnit(0x11, b, 1, &fru));
    d.did("recorded unit 0x10 (serial YL10A1) and unit 0x11 (serial YL10A2) in group 1");
    std::unique_ptr<ErrlEntry> errl(callerErrl("B1814601"));
    r.take(gardAcc::GardSetVpdUnitState(0x10, 1, GARD_GARDED, 2, errl.get()));
    bool g10 = false, g11 = false;
    // A failed read answers nothing: its words instead of yes or no.
    const std::string why10 = r.take(gardAcc::GardGetVpdUnitState(0x10, 1, &g10));
    const std::string why11 = r.take(gardAcc::GardGetVpdUnitState(0x11, 1, &g11));
    auto yesNo = [](bool garded, const std::string& why) { return why.empty() ? garded ? "yes" : "no" : "unknown (" + why + ")"; };
    d.did("set unit 0x10 garded, error type 2, SRC B1814601: garded " + yesNo(g10, why10) + ", unit 0x11 garded " +
          yesNo(g11, why11));

    d.step("A DMA path deconfigured: its error log gets the gard bit and is stored for both units",
           {"A DMA path is a data path between two units. When one fails, the firmware asks the "
            "hardware control to deconfigure it; the library then sets the gard bit in the error "
            "log of that failure and keeps a copy for each of the two units the path names, in a "
            "file of 20 slots."});
    // The lab set-up: give the two units the path names a VPD port each.
    uint32_t u1 = homGetUnitId(0x2E70, 1), u2 = homGetUnitId(0x2E90, 2);
    gardhost::setU32("vorm/port/" + gardhost::unitName(u1), 5);
    gardhost::setU32("vorm/port/" + gardhost::unitName(u2), 6);
    d.did("ports 5 and 6 given to units " + hex(u1) + " and " + hex(u2));
    homDMAPath path{{0, 0, 0, 2, 1, 0x42}};
    GARD_RC rc = GARD_RC_OK;
    errl.reset(callerErrl("B1814602"));
    r.take(GardDeconfigDmaPath(path, 2, 0, rc, errl.get()));
    d.did(std::string("GardDeconfigDmaPath(path 0x42, instances 1 and 2, SRC B1814602): gard bit ") +
          (errl->srcCount() > 0 && errl->src(0).gardBit ? "set" : "not set"));
    for (uint32_t u : {u1, u2}) {
        ErrlEntry* stored = nullptr;
        const std::string why = r.take(GardGetStoredErrl(u, stored));
        d.did("stored error log of " + hex(u) + ": " +
              (stored && stored->srcCount() > 0 ? std::string(SrciSrc(stored->src(0)).getAsciiString()).substr(0, 8)
                      : why.empty() ? "none" : "unknown (" + why + ")"));
        delete stored;
    }

    d.step("Gard data cleared by domain: the unit table on sp0, then sp1's own record on sp1",
           {"Clearing works by domain: 171 clears the unit gard table (every state becomes cleared, "
            "0xcc), 167 clears the own record of the processor that runs it, and 175 does both, the "
            "table first.",
            "Clearing 0x201's record has to run on sp1, and in role 1, so sp1 is given role 1 again."});
    d.on(0);
    r.take(GardClearSystemResources(rc, GARD_DOMAIN_UNITS));
    d.did("clear domain 171 (unit table) on sp0: " + std::string(rc == GARD_RC_OK ? "ok" : "failed"));
    d.sp1Role(1, "it may now clear its own record");
    d.on(1);
    r.take(GardClearSystemResources(rc, GARD_DOMAIN_OWN_QEL));
    d.did("clear domain 167 (own record) on sp1: " + std::string(rc == GARD_RC_OK ? "ok" : "failed"));
    d.sp1Role(0, "back to the lab set-up");
    d.did(d.failover(0));
    d.close();
    newCall();  // the last step's changes committed: the page shows them

    // The history of it all, as a page to open in a browser.
    if (page.empty()) page = makeTempDir("gard-demo-page") + "/history.html";
    refuseInsideState(page, "--html");
    std::string said;
    if (!writePage(page, historyJson(), said)) throw OutputFailed("cannot write " + page + ": " + said);
    putBytes(r.out, "page", page);
    r.text << "\nthe history of this demo, as a page: " << shown(page) << " (" << said << "; open it in a browser)\n";
    int code = finish(r);
    if (!opts().json)
        std::cout << (keep ? "\nexplore it: gard --state " + shown(opts().stateDir) + " status\n"
                           : "\n(state directory removed; gard demo --keep leaves it to explore)\n");
    if (!keep) {
        std::error_code ec;
        std::filesystem::remove_all(opts().stateDir, ec);
    }
    return code;
}

}  // namespace

void addDemo(CLI::App& app) {
    auto keep = std::make_shared<bool>(false);
    auto page = std::make_shared<std::string>();
    CLI::App* c = command(&app, "demo", "A guided scenario in a fresh temporary state directory: "
                                        "failover across the pair, unit gards, a DMA path, clearing; "
                                        "ends by writing its history as a page",
                          "gard demo --keep", false);
    c->add_flag("--keep", *keep, "Keep the temporary state directory and print its path");
    c->add_option("--html", *page, "Write the history page here (else into a new temporary directory)")
        ->type_name("FILE");
    c->callback([keep, page] { action() = [keep, page] { return demo(*keep, *page); }; });
}

}  // namespace gardcli
