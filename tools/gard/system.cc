// Mailbox failures, DMA-path deconfiguration, clearing by domain and the
// stored error logs.
#include <iostream>
#include <memory>

#include "cli.h"
#include "errl/stored.h"

namespace gardcli {

ErrlEntry* readGardFile(int fileId, std::vector<unsigned char>& image, unsigned int size) {
    image.assign(size, 0);
    UtilFile* file = nullptr;
    ErrlEntry* e = GardSysFileOpen(file, kToolModId, 1, fileId);
    if (e == nullptr) e = GardSysFileRead(file, 0, image.data(), size, kToolModId, 2, 0, 0, 0);
    ErrlEntry* closed = GardSysFileClose(file, kToolModId, 3);
    if (e == nullptr) return closed;
    delete closed;
    return e;
}

Json storedSlots(Result& r) {
    std::vector<unsigned char> image;
    std::vector<std::string> ignored;
    if (ErrlEntry* e = readGardFile(gard::errlfile::kFileId, image, gard::errlfile::kImageSize); e != nullptr) {
        r.take(e);
        return Json::array();
    }
    return decodeErrlImage(image.data(), ignored)["slots"];
}

void printSlots(std::ostream& os, const Json& slots, bool detail) {
    os << "stored error logs: " << slots.size() << " of " << gard::errlfile::kSlots << " slots used\n";
    for (const Json& s : slots) {
        os << "  slot " << s["slot"] << ": unit " << hex(s["unitId"].get<uint32_t>()) << " port "
           << hex(s["port"].get<uint32_t>());
        if (s["errl"].is_null()) {
            os << "  (does not unflatten)\n";
            continue;
        }
        if (detail) {
            printErrl(os << '\n', s["errl"], "    ");
            continue;
        }
        const Json& src = s["errl"]["srcs"].at(0);
        std::string ascii = src["ascii"].get<std::string>();
        os << "  SRC " << ascii.substr(0, ascii.find_last_not_of(' ') + 1)
           << (src["gardBit"].get<bool>() ? "  gard bit" : "") << '\n';
    }
}

namespace {

int mailbox(const std::string& unitText, const std::string& typeText) {
    uint32_t unit = parseNumber(unitText, "unit id");
    uint32_t type = parseNumber(typeText, "failure type");
    openState();
    Result r;
    r.take(GardRdndQel::GardMailboxSetState(unit, type));
    r.out = {{"unit", unit}, {"failureType", type}};
    r.out["records"] = readRecords(r);
    r.text << "mailbox failure type " << type << " reported for " << hex(unit) << '\n';
    printRecords(r.text, r.out["records"]);
    return finish(r);
}

struct DmaArgs {
    std::string path, first, second, errorType = "0", src = "B1814601";
};

int dmaDeconfig(const DmaArgs& a) {
    homDMAPath path{};
    path.word[5] = parseNumber(a.path, "path word");
    path.word[4] = parseNumber(a.first, "first instance");
    path.word[3] = parseNumber(a.second, "second instance");
    uint32_t errorType = parseNumber(a.errorType, "error type");
    checkSrc(a.src);
    openState();
    Result r;
    // The caller's error log: it stays ours; the library sets its gard bit
    // and stores copies.
    std::unique_ptr<ErrlEntry> errl(callerErrl(a.src));
    GARD_RC rc = GARD_RC_OK;
    r.take(GardDeconfigDmaPath(path, errorType, 0, rc, errl.get()));
    bool gardBit = errl->getSRC(0)->gardBit;
    r.out = {{"pathWord", path.word[5]}, {"firstInstance", path.word[4]},
             {"secondInstance", path.word[3]}, {"errorType", errorType}, {"src", a.src},
             {"gardBit", gardBit}};
    r.out["storedErrls"] = storedSlots(r);
    r.text << "DMA path " << hex(path.word[5]) << " (instances " << path.word[4] << ", "
           << path.word[3] << "): " << (gardBit ? "garded, gard bit set" : "not garded") << '\n';
    printSlots(r.text, r.out["storedErrls"]);
    return finish(r);
}

GARD_Domain parseDomain(const std::string& text) {
    if (text == "units") return GARD_DOMAIN_UNITS;
    if (text == "own") return GARD_DOMAIN_OWN_QEL;
    if (text == "all") return GARD_DOMAIN_ALL;
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])))
        return static_cast<GARD_Domain>(parseNumber(text, "domain"));
    throw Usage("unknown domain '" + text + "' (give units, own, all or a number)");
}

int clear(const std::string& domainText) {
    GARD_Domain domain = parseDomain(domainText);
    openState();
    Result r;
    GARD_RC rc = GARD_RC_FAILED;
    r.take(GardClearSystemResources(rc, domain));
    r.out = {{"domain", domain}, {"rc", rc}, {"rcName", rc == GARD_RC_OK ? "ok" : "failed"}};
    r.text << "clear domain " << domain << ": " << (rc == GARD_RC_OK ? "ok" : "failed") << " (" << rc << ")\n";
    return finish(r);
}

int storedErrl(const std::string& unitText) {
    uint32_t unit = parseNumber(unitText, "unit id");
    openState();
    Result r;
    ErrlEntry* stored = nullptr;
    r.take(GardGetStoredErrl(unit, stored));
    std::unique_ptr<ErrlEntry> owned(stored);
    r.out = {{"unitId", unit}, {"stored", stored ? errlJson(stored) : Json(nullptr)}};
    if (stored == nullptr) {
        r.text << "no error log stored for unit " << hex(unit) << '\n';
    } else {
        r.text << "error log stored for unit " << hex(unit) << ":\n";
        printErrl(r.text, r.out["stored"]);
    }
    return finish(r);
}

}  // namespace

void addSystem(CLI::App& app) {
    auto unit = std::make_shared<std::string>(), type = std::make_shared<std::string>();
    CLI::App* c = command(&app, "mailbox-failure", "Report a mailbox failure of a service "
                                                   "processor (types 1 and 6 gard it)",
                          "gard --sp 1 mailbox-failure 0x201 1");
    c->add_option("UNIT", *unit, "Unit id (0x200 or 0x201)")->required();
    c->add_option("TYPE", *type, "Failure type")->required();
    c->callback([=] { action() = [=] { return mailbox(*unit, *type); }; });

    auto d = std::make_shared<DmaArgs>();
    c = command(&app, "dma-deconfig", "Deconfigure a failed DMA path and store its error log "
                                      "for both units it names",
                "gard dma-deconfig 0x42 1 2 --error-type 2 --src B1814602");
    c->add_option("PATH", d->path, "Path word (word 5 of the DMA path)")->required();
    c->add_option("FIRST", d->first, "Instance of the first unit (word 4)")->required();
    c->add_option("SECOND", d->second, "Instance of the second unit (word 3)")->required();
    c->add_option("--error-type", d->errorType, "Error type (default 0)");
    c->add_option("--src", d->src, "SRC text of the error (default B1814601)");
    c->callback([d] { action() = [d] { return dmaDeconfig(*d); }; });

    auto domain = std::make_shared<std::string>();
    c = command(&app, "clear", "Clear gard data by domain: units (171), own record (167), "
                               "all (175) or a number",
                "gard --sp 1 clear own");
    c->add_option("DOMAIN", *domain, "units, own, all or a number")->required();
    c->callback([=] { action() = [=] { return clear(*domain); }; });

    c = command(&app, "stored-errl", "Read back the error log stored for a unit",
                "gard stored-errl 0x2e71");
    c->add_option("UNIT", *unit, "Unit id")->required();
    c->callback([=] { action() = [=] { return storedErrl(*unit); }; });
}

}  // namespace gardcli
