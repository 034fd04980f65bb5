// sp: the two service-processor gard records and the queries on them.
#include <iostream>
#include <memory>

#include "cli.h"
#include "files/bytes.h"
#include "rdnd/record.h"

namespace gardcli {

Json recordJson(uint32_t unit, bool present, const unsigned char* rec) {
    // The library leaves an unreadable keyword's record as 0xff bytes with
    // state 0x5d; a record it read has its marker.
    const bool readable = !present || gard::be::get16(rec + gard::qel::kMarkerAt) == gard::qel::kMarker;
    return {{"unit", unit},
            {"present", present},
            {"readable", readable},
            {"marker", gard::be::get16(rec + gard::qel::kMarkerAt)},
            {"state", rec[gard::qel::kStateAt]},
            {"stateName", qelStateName(rec[gard::qel::kStateAt])},
            {"failureWord", gard::be::get32(rec + gard::qel::kFailureAt)},
            {"extraWord", gard::be::get32(rec + gard::qel::kExtraAt)},
            {"bytes", hexBytes(rec, GARD_QEL_RECORD_SIZE)}};
}

void printRecord(std::ostream& os, const Json& r) {
    os << "  " << hex(r["unit"].get<uint32_t>());
    if (r["present"].is_null()) {
        os << " presence " << unknownWords(r, "present") << '\n';
        return;
    }
    os << (r["present"].get<bool>() ? " present" : " absent ");
    if (!r["readable"].get<bool>()) {
        os << "  keyword unreadable: the library counts it as garded (" << hex(r["state"].get<uint32_t>())
           << ")\n";
        return;
    }
    os << "  marker " << hex(r["marker"].get<uint32_t>(), 4) << "  state "
       << r["stateName"].get<std::string>() << " (" << hex(r["state"].get<uint32_t>()) << ")"
       << "  failure word " << hex(r["failureWord"].get<uint32_t>(), 8) << "  extra word "
       << hex(r["extraWord"].get<uint32_t>(), 8);
    if (r.contains("doGard")) {
        os << "\n      do-gard " << (r["doGard"].is_null() ? unknownWords(r, "doGard") : r["doGard"].dump());
        os << "  usability "
           << (r["usable"].is_null() ? unknownWords(r, "usable")
                                     : r["usableName"].get<std::string>() + " (" + r["usable"].dump() + ")");
    }
    os << '\n';
}

std::string positionProblem(uint32_t& pos) {
    const int sp = gardhost::position();
    const std::string name = gardhost::regName("dscv/QelPosition");
    pos = 0;
    const bool has = hostNumber(name, pos);
    if (has && pos <= 1) return "";
    return "sp" + std::to_string(sp) + "'s position (registry key " + name + ") " +
           (has ? "is " + std::to_string(pos) + ", neither 0 nor 1" : valueProblem(name)) + "; gard --sp " +
           std::to_string(sp) + " platform reg dscv/QelPosition " + std::to_string(sp) + " sets it";
}

std::string qelRefusal(uint32_t unit, uint32_t state) {
    const std::string me = "sp" + std::to_string(gardhost::position());
    uint32_t pos = 0, role = 0, sys = 0;
    const bool hasRole = hostNumber(gardhost::regName("dscv/QelRole"), role);
    if (unit != GARD_QEL_SP0 && unit != GARD_QEL_SP1)
        return hex(unit) + " is not a service processor (0x200 or 0x201)";
    if (std::string bad = positionProblem(pos); !bad.empty()) return bad;
    if (unit != GARD_QEL_SP0 + pos)
        return hex(unit) + " is not this processor: " + me + " runs as " + hex(GARD_QEL_SP0 + pos) +
               ", and a processor changes only its own record";
    if (!hasRole || role != 1)
        return me + (hasRole ? " is in role " + std::to_string(role)
                             : "'s role (registry key " + gardhost::regName("dscv/QelRole") + ") " +
                                   valueProblem(gardhost::regName("dscv/QelRole"))) +
               ", only the processor in role 1 changes its own record (gard --sp " + std::to_string(pos) +
               " platform reg dscv/QelRole 1 gives it that role)";
    for (uint32_t id = 0; state != GARD_QEL_CLEARED && id <= 11; id += 11) {
        uint32_t v = 0;
        const std::string name = "vorm/policy/" + std::to_string(id);
        const bool has = hostNumber(name, v);
        if (!has || v != 0)
            return "the gard policy forbids it: policy " + std::to_string(id) + " " +
                   (has ? "is " + std::to_string(v) : valueProblem(name)) + ", 0 permits (gard platform policy " +
                   std::to_string(id) + " 0)";
    }
    if (std::string unread = recordsTrouble(); !unread.empty()) return unread + ", which stops every change";
    const bool second = state == 0xEC || state == 0xED;
    if (hostNumber(gardhost::regName("smgr/StateData"), sys) && sys == 9 && (second || state == GARD_QEL_CLEARED))
        return "refused at system state 9 (smgr/StateData), which allows neither " +
               std::string(second ? "0xec nor 0xed" : "clearing");
    if (second && keywordState(unit) == GARD_QEL_GARDED)
        return hex(unit) + " is garded (0x5d), which 0xec and 0xed do not replace";
    return "the keyword of " + hex(unit) + " was not written (see the error logs above)";
}

std::string recordsTrouble() {
    for (uint32_t u : {GARD_QEL_SP0, GARD_QEL_SP1})
        if (uint32_t present = 0; hostNumber("vpd/" + gardhost::unitName(u) + "/present", present) &&
                                  present != 0 && keywordState(u) < 0)
            return "the keyword of " + hex(u) + " cannot be read (missing, empty or over 32 bytes; gard sp show)";
    return "";
}

std::string notJudged(bool position) {
    uint32_t type = 0, pos = 0;
    if (hostNumber(gardhost::regName("hutl/HOMSystemType"), type) && type != 0x10030000)
        return "the library judges only system type 0x10030000, and hutl/HOMSystemType is " + hex(type);
    return position ? positionProblem(pos) : "";
}

namespace {
// A read result other than ok: what it means, for the not-done line.
std::string readTrouble(const Json& records) {
    std::string units;
    for (const Json& rec : records["records"])
        if (rec["readable"] == false) units += (units.empty() ? "" : " and ") + hex(rec["unit"].get<uint32_t>());
    switch (records["vpdResult"].get<uint32_t>()) {
    case 0: return "";
    case 1: return "the keyword of " + units + " cannot be read: empty, over 32 bytes or failing (result unreadable, 1)";
    case 15: return "a repaired record could not be written back (result repair-failed, 15)";
    case 31: return "the buffer is smaller than 64 bytes, nothing was read (result buffer-small, 31)";
    default: return "the read gave result " + records["vpdResult"].dump();
    }
}

// The records as a read left them. Nothing read (a buffer below 64 bytes):
// no records; a presence query that failed: that record unknown, not absent.
Json recordsOf(const unsigned int* ids, const qelDataBuffer& buf, gardVpdReturn res, const Watch& watch) {
    Json out = {{"vpdResult", res}, {"vpdResultName", vpdResultName(res)}, {"records", Json::array()}};
    if (res == GARD_VPD_BUFFER_SMALL) {
        putUnknown(out, "records", "nothing was read: the buffer is smaller than 64 bytes (result buffer-small, 31)");
        return out;
    }
    for (int i = 0; i < 2; ++i) {
        const uint32_t unit = i == 0 ? GARD_QEL_SP0 : GARD_QEL_SP1;
        Json rec = recordJson(unit, ids[i] != 0, buf.bytes + i * GARD_QEL_RECORD_SIZE);
        if (std::string why = watch.failed("SVPD_fru_status", gardhost::unitName(unit)); ids[i] == 0 && !why.empty()) {
            for (auto& [key, value] : rec.items())
                if (key != "unit") value = nullptr;
            putUnknown(rec, "present", why);
        }
        out["records"].push_back(rec);
    }
    return out;
}

}  // namespace

std::string recordsUnknown(const Json& records) {
    if (records["records"].is_null()) return records["unknown"]["records"];
    for (const Json& rec : records["records"])
        if (rec["present"].is_null()) return rec["unknown"]["present"];
    if (records["vpdResult"] != 0) return "the records cannot be judged: " + readTrouble(records);
    return "";
}

Json readRecords(Result& r) {
    unsigned int ids[2] = {0, 0};
    qelDataBuffer buf{};
    gardVpdReturn res = GARD_VPD_REPAIR_FAILED;
    Watch watch;
    r.take(GardRdndQel::GardReadVPD(ids, &buf, GARD_QEL_BUFFER_SIZE, &res));
    Json out = recordsOf(ids, buf, res, watch);
    // An unreadable keyword is the library's answer; a presence not known is none.
    for (const Json& rec : out["records"])
        if (rec["present"].is_null() && r.unknown.empty()) r.unknown = rec["unknown"]["present"];
    return out;
}

void answerOrUnknown(Result& r, Json& obj, const std::string& key, const Json& answer, const std::string& why) {
    if (why.empty()) obj[key] = answer;
    else r.putUnknown(obj, key, why);
}

std::string queryTrouble(const Watch& watch, const std::string& notJudgedWhy) {
    std::string why = watch.trouble();
    return !why.empty() || !notJudgedWhy.empty() ? why : recordsTrouble();
}

std::string putUsable(Result& r, Json& obj, int code, const Watch& watch) {
    const std::string skipped = notJudged(false);
    answerOrUnknown(r, obj, "usable", code, queryTrouble(watch, skipped));
    if (obj["usable"].is_null()) obj["usableName"] = nullptr;
    else obj["usableName"] = code == 0 && !skipped.empty() ? "not-judged" : usableName(code);
    return skipped;
}

std::string putFailover(Result& r, Json& obj, uint32_t status, const Watch& watch) {
    const std::string skipped = notJudged(true);
    answerOrUnknown(r, obj, "failover", status, queryTrouble(watch, skipped));
    if (obj["failover"].is_null()) obj["failoverName"] = nullptr;
    else obj["failoverName"] = status == GARD_FO_CAPABLE && !skipped.empty() ? "not-checked" : failoverName(status);
    return skipped;
}

void printRecords(std::ostream& os, const Json& j) {
    // The read's result code in words, the code's name and value beside them.
    const auto res = j["vpdResult"].get<uint32_t>();
    const char* words = res == 0    ? "read cleanly"
                        : res == 1  ? "a keyword could not be read"
                        : res == 15 ? "a repaired record could not be written back"
                        : res == 31 ? "nothing read, the buffer is too small"
                                    : "read with a result the tool does not know";
    os << "service-processor records (" << words << ": " << j["vpdResultName"].get<std::string>() << ", " << res
       << "):\n";
    if (j["records"].is_null()) os << "  " << unknownWords(j, "records") << '\n';
    for (const Json& rec : j["records"]) printRecord(os, rec);
}

namespace {

// The queries take any unit id; for one that is no processor the library's
// answer is not about that unit.
std::string notProcessor(uint32_t unit, const std::string& answer) {
    if (unit == GARD_QEL_SP0 || unit == GARD_QEL_SP1) return "";
    return hex(unit) + " is not a service processor (0x200 or 0x201): the library " + answer;
}

int show() {
    openState();
    Result r;
    r.out = readRecords(r);
    printRecords(r.text, r.out);
    r.notDone = readTrouble(r.out);
    return finish(r);
}

struct SetArgs {
    std::string unit, state, failure = "0", extra = "0", notify = "on";
};

int setState(const SetArgs& a) {
    uint32_t unit = parseNumber(a.unit, "unit id");
    auto state = static_cast<gardQelState>(parseQelState(a.state));
    uint32_t failure = parseNumber(a.failure, "failure word");
    uint32_t extra = parseNumber(a.extra, "extra word");
    bool notify = parseOnOff(a.notify, "notify");
    openState();
    Result r;
    gardSetStateReturn result = GARD_SET_FAILED;
    r.take(GardRdndQel::GardSetQelState(unit, state, failure, result, notify, extra));
    // Done when the library says so and the keyword holds the state: its
    // write may fail after the result word was settled.
    const bool done = result == GARD_SET_DONE && keywordState(unit) == static_cast<int>(state);
    if (!done) r.notDone = qelRefusal(unit, state);
    r.out = {{"unit", unit},        {"state", state},   {"stateName", qelStateName(state)},
             {"failureWord", failure}, {"extraWord", extra}, {"notify", notify},
             {"result", result},    {"resultName", setResultName(result)}, {"done", done}};
    r.out["records"] = readRecords(r);
    r.text << "set " << hex(unit) << " to " << qelStateName(state) << " (" << hex(state) << "): "
           << (done ? "done" : "not done") << " (library result " << setResultName(result) << ", " << result
           << (result == GARD_SET_DONE && !done ? ", but the keyword does not hold the state" : "") << ")\n";
    printRecords(r.text, r.out["records"]);
    return finish(r);
}

int garded(const std::string& unitText, bool assertPor, bool vpdFlag) {
    uint32_t unit = parseNumber(unitText, "unit id");
    openState();
    Result r;
    bool isGarded = false;
    const std::string why = r.take(GardRdndQel::GardGetQelState(unit, isGarded, assertPor, vpdFlag));
    r.out = {{"unit", unit}};
    // A failure after the keyword showed it garded leaves that settled.
    answerOrUnknown(r, r.out, "garded", isGarded, isGarded ? "" : why);
    r.text << hex(unit) << (isGarded ? " is garded" : why.empty() ? " is not garded" : ": garded " + unknownWords(r.out, "garded"))
           << '\n';
    return finish(r);
}

int doGard(const std::string& unitText) {
    uint32_t unit = parseNumber(unitText, "unit id");
    openState();
    Result r;
    Watch watch;
    int answer = GardRdndQel::GardQelDoGard(unit);
    r.out = {{"unit", unit}};
    answerOrUnknown(r, r.out, "doGard", answer, queryTrouble(watch, ""));
    r.text << hex(unit) << ": do-gard " << (r.out["doGard"].is_null() ? unknownWords(r.out, "doGard") : std::to_string(answer))
           << '\n';
    r.notDone = notProcessor(unit, "answers from 0x200's record");
    return finish(r);
}

int usable(const std::string& unitText) {
    uint32_t unit = parseNumber(unitText, "unit id");
    openState();
    Result r;
    Watch watch;
    int code = gardIsQelUsable(unit);
    r.out = {{"unit", unit}};
    const std::string skipped = putUsable(r, r.out, code, watch);
    r.text << hex(unit) << ": "
           << (r.out["usable"].is_null() ? unknownWords(r.out, "usable")
                                         : r.out["usableName"].get<std::string>() + " (" + std::to_string(code) + ")")
           << '\n';
    r.notDone = notProcessor(unit, "answers 0 without judging it");
    if (r.notDone.empty() && r.out["usableName"] == "not-judged") r.notDone = "the library answers 0 without judging: " + skipped;
    return finish(r);
}

int failover() {
    openState();
    Result r;
    GardFoStatus status = GARD_FO_CAPABLE;
    Watch watch;
    r.take(gardCheckFailoverCapable(status));
    r.out = Json::object();
    const std::string skipped = putFailover(r, r.out, status, watch);
    r.text << "failover: "
           << (r.out["failover"].is_null() ? unknownWords(r.out, "failover")
                                           : r.out["failoverName"].get<std::string>() + " (" + std::to_string(status) + ")")
           << '\n';
    if (r.out["failoverName"] == "not-checked") r.notDone = "the library answers 2 without checking: " + skipped;
    return finish(r);
}

int dmaConfig(const std::string& sizeText) {
    uint32_t size = parseNumber(sizeText, "buffer size", GARD_QEL_BUFFER_SIZE);
    openState();
    Result r;
    unsigned int ids[2] = {0, 0};
    qelDataBuffer buf;
    std::fill(std::begin(buf.bytes), std::end(buf.bytes), 0xFF);
    gardVpdReturn res = GARD_VPD_REPAIR_FAILED;
    Watch watch;
    r.take(GardRdndQel::GardGetQelDmaConfig(ids, &buf, size, &res));
    r.out = recordsOf(ids, buf, res, watch);
    // The mark follows the read; a registry read that failed leaves it off.
    Json marked = Json::array();
    for (const Json& rec : r.out["records"])
        if (rec["state"] == GARD_QEL_DMA_MARK) marked.push_back(rec["unit"]);
    uint32_t pos = 0;
    const std::string failed = res == GARD_VPD_OK ? watch.trouble() : "";
    const std::string badPosition = res == GARD_VPD_OK ? positionProblem(pos) : "";
    if (res != GARD_VPD_OK) putUnknown(r.out, "marked", "the library marks only records it read cleanly");
    else if (!failed.empty()) r.putUnknown(r.out, "marked", failed);
    else if (!badPosition.empty()) putUnknown(r.out, "marked", "the library marks nothing: " + badPosition);
    else r.out["marked"] = marked;
    r.text << "DMA configuration view, ";
    printRecords(r.text, r.out);
    if (r.out["marked"].is_null()) r.text << "  DMA mark " << unknownWords(r.out, "marked") << '\n';
    r.notDone = res != GARD_VPD_OK ? readTrouble(r.out) : badPosition;
    return finish(r);
}

}  // namespace

void addProcessors(CLI::App& app) {
    CLI::App* g = app.add_subcommand("sp", "The two service-processor gard records (0x200, 0x201)");
    g->alias("processors");
    g->require_subcommand(1);
    g->footer("Example: gard --sp 0 sp set-state 0x200 garded && gard --sp 1 sp failover");
    command(g, "show", "Both records as the library reads them (blank ones are repaired)",
            "gard sp show")
        ->callback([] { action() = show; });

    auto s = std::make_shared<SetArgs>();
    CLI::App* c = command(g, "set-state", "Set a processor's state as this processor",
                          "gard --sp 0 sp set-state 0x200 garded --failure 0x010000b7");
    c->add_option("UNIT", s->unit, "0x200 or 0x201 (others are refused by the library)")->required();
    c->add_option("STATE", s->state, "new, garded, cleared, not-garded-2, garded-2 or 0-0xff")->required();
    c->add_option("--failure", s->failure, "Failure word (default 0)");
    c->add_option("--extra", s->extra, "Extra word (default 0)");
    c->add_option("--notify", s->notify, "on|off: tell the redundancy manager (default on)");
    c->callback([s] { action() = [s] { return setState(*s); }; });

    auto unit = std::make_shared<std::string>();
    auto por = std::make_shared<bool>(false), vpdFlag = std::make_shared<bool>(false);
    c = command(g, "garded", "Is the processor garded by its own keyword (GardGetQelState)",
                "gard sp garded 0x201 --assert-sibling-por");
    c->add_option("UNIT", *unit, "0x200 or 0x201")->required();
    c->add_flag("--assert-sibling-por", *por, "When this processor is garded, assert the "
                                              "sibling's power-on reset instead of garding the backup");
    c->add_flag("--vpd-flag", *vpdFlag, "Flag passed to the keyword read");
    c->callback([unit, por, vpdFlag] { action() = [=] { return garded(*unit, *por, *vpdFlag); }; });

    c = command(g, "do-gard", "Is the unit's record in the pair garded (1) or not (0)",
                "gard sp do-gard 0x201");
    c->add_option("UNIT", *unit, "0x200 or 0x201")->required();
    c->callback([unit] { action() = [=] { return doGard(*unit); }; });

    c = command(g, "usable", "Usability of a processor: usable, no-dma-path, garded",
                "gard sp usable 0x200");
    c->add_option("UNIT", *unit, "0x200 or 0x201")->required();
    c->callback([unit] { action() = [=] { return usable(*unit); }; });

    command(g, "failover", "Can this processor fail over: not-usable, sibling-down, capable",
            "gard --sp 1 sp failover")
        ->callback([] { action() = failover; });

    auto size = std::make_shared<std::string>("64");
    c = command(g, "dma-config", "Both records marked for DMA configuration (0x5a)",
                "gard sp dma-config");
    c->add_option("--size", *size, "Buffer size passed to the library, 0 to 64 (default 64)");
    c->callback([size] { action() = [=] { return dmaConfig(*size); }; });
}

}  // namespace gardcli
