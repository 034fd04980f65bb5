// Mailbox failures, DMA-path deconfiguration, clearing by domain and the
// stored error logs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>

#include "cli.h"
#include "errl/stored.h"
#include "platform/hom.h"
#include "unit/table.h"

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

namespace {
// Where the library finds gard file `name` in the state directory; "" with
// `why` when the registry does not say.
std::string gardFilePath(const std::string& name, std::string& why) {
    std::vector<uint8_t> root;
    if (!gardhost::getValue(gardhost::regName("fstp/P3_Root"), root)) {
        why = "the registry value fstp/P3_Root, where the gard files are, " + valueProblem(gardhost::regName("fstp/P3_Root"));
        return "";
    }
    return gardhost::resolvePath(std::string(root.begin(), root.end()) + "/gard/" + name);
}

// Gard file `name` as the library would find it, read straight from the
// state directory: 0 when it is not there yet, -1 when it cannot be read
// whole (`why`), -2 when it is a regular file shorter than `size`, else 1.
int peekGardFile(const std::string& name, std::vector<unsigned char>& image, std::size_t size, std::string& why) {
    const std::string path = gardFilePath(name, why);
    if (path.empty()) return -1;
    // Through the platform: what this command's own call changed counts.
    const std::string dir = gardhost::stateDir() + "/";
    std::vector<uint8_t> bytes;
    const int err = gardhost::readState(path.substr(dir.size()), bytes);
    if (err == ENOENT) return 0;
    if (err != 0) {
        why = "cannot read " + shown(path) + ": " + (err == EINVAL || err == EISDIR ? "not a regular file" : errnoWords(err));
        return -1;
    }
    const std::size_t got = std::min(bytes.size(), size);
    image.assign(size, 0);
    std::copy(bytes.begin(), bytes.begin() + static_cast<long>(got), image.begin());
    if (got == size) return 1;
    why = "gard file " + name + " holds " + std::to_string(got) + " bytes, fewer than its " + std::to_string(size) +
          "-byte image (a short file)";
    return -2;
}
}  // namespace

std::string tableTooShort() {
    std::vector<unsigned char> image;
    std::string why;
    if (peekGardFile("gardRask", image, gard::unit::kImageSize, why) != -2) return "";
    return why + ": no unit-table command can read it, and the library does not mend it; " + kRemakeTable;
}

bool removeShortTable(std::string& why) {
    std::vector<unsigned char> image;
    if (peekGardFile("gardRask", image, gard::unit::kImageSize, why) != -2) {
        why.clear();
        return false;
    }
    const std::string path = gardFilePath("gardRask", why), dir = gardhost::stateDir() + "/";
    // Through the platform, so that the change history holds it.
    gardhost::eraseValue(path.substr(dir.size()));
    std::vector<uint8_t> left;
    if (gardhost::readState(path.substr(dir.size()), left) != ENOENT) {
        why = "cannot remove " + shown(path) + " (see the line above)";
        return false;
    }
    why.clear();
    return true;
}

int keywordState(uint32_t unit) {
    std::vector<uint8_t> kw;
    // As the library reads it: 0 or over 32 bytes is unreadable, a state
    // byte beyond the keyword's end is 0xff.
    if (!gardhost::getValue("vpd/" + gardhost::unitName(unit) + "/keyword", kw) || kw.empty() || kw.size() > 32)
        return -1;
    return kw.size() > 2 ? kw[2] : 0xFF;
}

bool readDecoded(Result& r, Json& obj, const std::string& key, int fileId, unsigned int size, Decoder decode,
                 const char* field) {
    std::vector<unsigned char> image;
    std::vector<std::string> ignored;
    if (std::string why = r.take(readGardFile(fileId, image, size)); !why.empty()) {
        r.putUnknown(obj, key, why);
        return false;
    }
    obj[key] = decode(image.data(), ignored)[field];
    return true;
}

Json peekUnitEntries(std::string* why, bool* tooShort) {
    std::vector<unsigned char> image;
    std::vector<std::string> ignored;
    std::string problem;
    const int peeked = peekGardFile("gardRask", image, gard::unit::kImageSize, problem);
    if (tooShort != nullptr) *tooShort = peeked == -2;
    switch (peeked) {
    case 0: return Json::array();
    case 1: return decodeUnitImage(image.data(), ignored)["entries"];
    default:
        if (why != nullptr) *why = problem;
        return nullptr;
    }
}

void putStoredSlots(Result& r, Json& obj) {
    readDecoded(r, obj, "storedErrls", gard::errlfile::kFileId, gard::errlfile::kImageSize, decodeErrlImage, "slots");
}

void printSlots(std::ostream& os, const Json& obj, const std::string& key, bool detail) {
    const Json& slots = obj[key];
    if (slots.is_null()) {
        os << "stored error logs: " << unknownWords(obj, key) << '\n';
        return;
    }
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
        if (s["errl"]["srcs"].empty()) {
            os << "  (no SRC)\n";
            continue;
        }
        const Json& src = s["errl"]["srcs"].at(0);
        os << "  SRC " << srcText(src) << (src["gardBit"].get<bool>() ? "  gard bit" : "") << '\n';
    }
}

namespace {

int mailbox(const std::string& unitText, const std::string& typeText) {
    uint32_t unit = parseNumber(unitText, "unit id");
    uint32_t type = parseNumber(typeText, "failure type");
    openState();
    Result r;
    Watch watch;
    r.take(GardRdndQel::GardMailboxSetState(unit, type));
    const bool gards = type == 1 || type == 6;
    // The library answers nothing: it commits a refusal or failure, and
    // whether it garded shows in the record. A refusal is not done even
    // where the record already held the state.
    if (unit != GARD_QEL_SP0 && unit != GARD_QEL_SP1)
        r.notDone = hex(unit) + " is not a service processor (0x200 or 0x201)";
    else if (gards && (keywordState(unit) != GARD_QEL_GARDED || !watch.trouble().empty()))
        r.notDone = qelRefusal(unit, GARD_QEL_GARDED);
    r.out = {{"unit", unit}, {"failureType", type}, {"gards", gards}};
    r.out["records"] = readRecords(r);
    r.text << "mailbox failure type " << type << " reported for " << hex(unit)
           << (gards ? "" : " (types 1 and 6 gard; this one only reads the records)") << '\n';
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
    Watch watch;
    r.take(GardDeconfigDmaPath(path, errorType, 0, rc, errl.get()));
    bool gardBit = errl->srcCount() > 0 && errl->src(0).gardBit;
    r.out = {{"pathWord", path.word[5]}, {"firstInstance", path.word[4]},
             {"secondInstance", path.word[3]}, {"errorType", errorType}};
    putBytes(r.out, "src", a.src);
    r.out["gardBit"] = gardBit;
    putStoredSlots(r, r.out);
    uint32_t outWord = 0;
    if (!gardBit && r.errls.empty()) {
        hostNumber("vorm/deconfig_out", outWord);
        const std::string failed = watch.trouble();
        r.notDone = outWord != 0 || failed.empty()
                        ? "the hardware control left its out-word at " + std::to_string(outWord) +
                              " (not 0), so the path's units are not garded (gard platform deconfig-out)"
                        : "the gard bit was not set: " + failed;
    }
    for (uint32_t u : {homGetUnitId(0x2E70, path.word[4]), homGetUnitId(0x2E90, path.word[3])}) {
        bool stored = r.out["storedErrls"].is_null();  // unknown: said so, exit 1
        for (const Json& slot : r.out["storedErrls"]) stored = stored || slot["unitId"] == u;
        if (gardBit && !stored && r.notDone.empty())
            r.notDone = "no error log stored for unit " + hex(u) + ": its VPD port look-up failed or "
                        "every slot is taken (gard platform port " + hex(u) + " N gives it a port)";
    }
    r.text << "DMA path " << hex(path.word[5]) << " (instances " << path.word[4] << ", "
           << path.word[3] << "): " << (gardBit ? "garded, gard bit set" : "not garded") << '\n';
    printSlots(r.text, r.out, "storedErrls");
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

// Why this processor's own record did not become cleared (its position is
// 0 or 1).
std::string ownNotCleared(uint32_t pos) {
    uint32_t sibling = 2;
    if (hostNumber(gardhost::regName("dscv/SiblingState"), sibling) && sibling == 2)
        return "the sibling state (dscv/SiblingState) is 2, and then the own record is left alone";
    return qelRefusal(GARD_QEL_SP0 + pos, GARD_QEL_CLEARED);
}

int clear(const std::string& domainText) {
    GARD_Domain domain = parseDomain(domainText);
    const bool units = domain == GARD_DOMAIN_UNITS || domain == GARD_DOMAIN_ALL;
    const bool own = domain == GARD_DOMAIN_OWN_QEL || domain == GARD_DOMAIN_ALL;
    Result r;
    uint32_t pos = 0;
    std::string badPosition;
    auto what = [&] {
        badPosition = positionProblem(pos);
        if (!units && !own) return "clear nothing: domain " + std::to_string(domain) + " names no gard data";
        std::string w = units ? "set every unit-table entry to cleared (0xcc)" : "";
        if (own)
            w += (units ? " and " : "") +
                 (badPosition.empty() ? "set this processor's own record (" + hex(GARD_QEL_SP0 + pos) + ") to cleared (0xcc)"
                                      : "leave this processor's own record as it is: " + badPosition);
        return w;
    };
    r.out = {{"domain", domain}};
    if (!confirmThenOpen(r, what)) return finish(r);
    GARD_RC rc = GARD_RC_FAILED;
    Watch watch;
    r.take(GardClearSystemResources(rc, domain));
    r.out.update(Json{{"rc", rc}, {"rcName", rc == GARD_RC_OK ? "ok" : "failed"}});
    r.text << "clear domain " << domain << ": " << (rc == GARD_RC_OK ? "ok" : "failed") << " (" << rc << ")\n";
    // GARD_RC 4 is not done even where the state already was as asked.
    std::string why;
    Json entries = units ? peekUnitEntries(&why) : Json::array();
    bool tableCleared = !entries.is_null();
    for (const Json& e : entries) tableCleared = tableCleared && e["state"] == GARD_CLEARED && e["errorType"] == 0;
    std::vector<std::string> notDone;
    if (units && (!tableCleared || (rc != GARD_RC_OK && !own)))
        notDone.push_back("the unit table was not cleared: " + (watch.trouble().empty() ? why : watch.trouble()));
    if (own && !badPosition.empty())
        notDone.push_back("this processor's own record was left alone: " + badPosition);
    else if (own && (keywordState(GARD_QEL_SP0 + pos) != GARD_QEL_CLEARED || (rc != GARD_RC_OK && notDone.empty())))
        notDone.push_back(ownNotCleared(pos));
    if (!units && !own)
        notDone.push_back("domain " + std::to_string(domain) + " names no gard data: 171 clears the unit table, "
                          "167 this processor's own record, 175 both");
    for (const std::string& n : notDone) r.notDone += (r.notDone.empty() ? "" : "; ") + n;
    return finish(r);
}

int storedErrl(const std::string& unitText) {
    uint32_t unit = parseNumber(unitText, "unit id");
    openState();
    Result r;
    ErrlEntry* stored = nullptr;
    const std::string why = r.take(GardGetStoredErrl(unit, stored));
    std::unique_ptr<ErrlEntry> owned(stored);
    r.out = {{"unitId", unit}, {"stored", stored ? errlJson(stored) : Json(nullptr)}};
    if (!why.empty()) {
        r.putUnknown(r.out, "stored", why);
        r.text << "error log stored for unit " << hex(unit) << ": " << unknownWords(r.out, "stored") << '\n';
    } else if (stored == nullptr) {
        r.text << "no error log stored for unit " << hex(unit) << '\n';
        if (r.errls.empty()) r.notDone = "no error log is stored for unit " + hex(unit);
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
                          "gard mailbox-failure 0x200 1");
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
    // An empty SRC text is a case of its own: its SRC number is 0.
    allowEmpty(c->add_option("--src", d->src, "SRC text of the error (default B1814601; '' for none)"));
    c->callback([d] { action() = [d] { return dmaDeconfig(*d); }; });

    auto domain = std::make_shared<std::string>();
    c = command(&app, "clear", "Clear gard data by domain: units (171), own record (167), "
                               "all (175) or a number",
                "gard clear own --dry-run");
    c->add_option("DOMAIN", *domain, "units, own, all or a number")->required();
    addConfirmOptions(c);
    c->callback([=] { action() = [=] { return clear(*domain); }; });

    c = command(&app, "stored-errl", "Read back the error log stored for a unit",
                "gard stored-errl 0x2e71");
    c->add_option("UNIT", *unit, "Unit id")->required();
    c->callback([=] { action() = [=] { return storedErrl(*unit); }; });
}

}  // namespace gardcli
