// demo: a guided scenario on a fresh temporary state directory. Each step
// calls the library as firmware would and prints the state it leaves.
#include <filesystem>
#include <iostream>
#include <memory>

#include "cli.h"
#include "platform/hom.h"

namespace gardcli {

namespace {

class Demo {
public:
    explicit Demo(Result& r) : r_(r) { r_.out["steps"] = Json::array(); }

    void step(const std::string& title) {
        close();
        cur_ = {{"title", title}, {"actions", Json::array()}};
    }
    void did(const std::string& line) { cur_["actions"].push_back(line); }
    // Runs as the processor at `sp`; sp1 takes role 1 while it acts, as the
    // processor that holds the writing role would.
    void as(int sp) {
        gardhost::setPosition(sp);
        gardhost::setU8(gardhost::regName("dscv/QelRole", 1), sp == 1 ? 1 : 0);
    }
    std::string failover() {
        GardFoStatus fo = GARD_FO_CAPABLE;
        r_.take(gardCheckFailoverCapable(fo));
        return failoverName(fo);
    }
    void close() {
        if (cur_.is_null()) return;
        as(0);
        cur_["status"] = statusJson(r_);
        if (!opts().json) {
            r_.text << "\n== " << r_.out["steps"].size() + 1 << ". " << cur_["title"].get<std::string>() << '\n';
            for (const Json& a : cur_["actions"]) r_.text << "  > " << a.get<std::string>() << '\n';
            r_.text << "state it leaves:\n";
            printStatus(r_.text, cur_["status"]);
        }
        r_.out["steps"].push_back(cur_);
        cur_ = nullptr;
    }

private:
    Result& r_;
    Json cur_;
};

int demo(bool keep) {
    opts().stateDir = makeTempDir("gard-demo");
    opts().stateGiven = true;
    opts().sp = 0;
    openState();
    Result r;
    putBytes(r.out, "stateDir", opts().stateDir);
    r.out["kept"] = keep;
    r.text << "gard demo in " << r.out["stateDir"].get<std::string>() << "\n";
    Demo d(r);

    d.step("A fresh pair: both processors present, erased gard keywords, sp0 runs in role 1");
    d.did("failover as seen from sp0: " + d.failover());

    d.step("A mailbox failure of 0x201, reported on sp1 (position 1, role 1)");
    d.as(1);
    r.take(GardRdndQel::GardMailboxSetState(GARD_QEL_SP1, 1));
    d.did("GardMailboxSetState(0x201, type 1): 0x201 garded with failure word 0x010000b7");
    d.did("failover as seen from sp1: " + d.failover());
    d.as(0);
    d.did("failover as seen from sp0: " + d.failover());

    d.step("Units recorded, one garded with the SRC text of its error");
    const svpd_SerialNum a = {{'Y', 'L', '1', '0', 'A', '1'}}, b = {{'Y', 'L', '1', '0', 'A', '2'}};
    gardFruState fru{};
    r.take(gardAcc::GardUpdateVpdUnit(0x10, a, 1, &fru));
    r.take(gardAcc::GardUpdateVpdUnit(0x11, b, 1, &fru));
    d.did("recorded unit 0x10 (serial YL10A1) and unit 0x11 (serial YL10A2) in group 1");
    std::unique_ptr<ErrlEntry> errl(callerErrl("B1814601"));
    r.take(gardAcc::GardSetVpdUnitState(0x10, 1, GARD_GARDED, 2, errl.get()));
    bool g10 = false, g11 = false;
    r.take(gardAcc::GardGetVpdUnitState(0x10, 1, &g10));
    r.take(gardAcc::GardGetVpdUnitState(0x11, 1, &g11));
    d.did(std::string("set unit 0x10 garded, error type 2, SRC B1814601: garded ") +
          (g10 ? "yes" : "no") + ", unit 0x11 garded " + (g11 ? "yes" : "no"));

    d.step("A DMA path deconfigured: its error log gets the gard bit and is stored for both units");
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
          (errl->getSRC(0)->gardBit ? "set" : "not set"));
    for (uint32_t u : {u1, u2}) {
        ErrlEntry* stored = nullptr;
        r.take(GardGetStoredErrl(u, stored));
        d.did("stored error log of " + hex(u) + ": " +
              (stored ? std::string(stored->getSRC(0)->getAsciiString()).substr(0, 8) : "none"));
        delete stored;
    }

    d.step("Gard data cleared by domain: the unit table (sp0), then sp1's own record (sp1)");
    r.take(GardClearSystemResources(rc, GARD_DOMAIN_UNITS));
    d.did("clear units (171): " + std::string(rc == GARD_RC_OK ? "ok" : "failed"));
    d.as(1);
    r.take(GardClearSystemResources(rc, GARD_DOMAIN_OWN_QEL));
    d.did("clear own record (167) on sp1: " + std::string(rc == GARD_RC_OK ? "ok" : "failed"));
    d.as(0);
    d.did("failover as seen from sp0: " + d.failover());
    d.close();

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
    CLI::App* c = command(&app, "demo", "A guided scenario in a fresh temporary state directory: "
                                        "failover across the pair, unit gards, a DMA path, clearing",
                          "gard demo --keep", false);
    c->add_flag("--keep", *keep, "Keep the temporary state directory and print its path");
    c->callback([keep] { action() = [keep] { return demo(*keep); }; });
}

}  // namespace gardcli
