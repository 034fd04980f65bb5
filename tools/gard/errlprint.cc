// Error logs as JSON and text: returned, committed, and the caller's own.
#include <iostream>

#include "cli.h"
#include "explain.h"
#include "platform/host/host.h"

namespace gardcli {

namespace {
gardhost::CommittedMark g_committedShown;
}  // namespace

std::size_t committedCount() { return gardhost::committed().size(); }
void committedShown() { g_committedShown = gardhost::committedEnd(); }
std::vector<gardhost::Committed> committedUnshown() { return gardhost::committedSince(g_committedShown); }

namespace {
Json srcJson(SrciSrc& s) {
    Json j = Json::object();
    putBytes(j, "ascii", s.getAsciiString());
    j.update(Json{{"compId", s.compId},
            {"srciType", s.srciType},      {"word", s.word},
            {"modId", s.modId},            {"serviceCodes", s.serviceCodes},
            {"reasonCode", s.reasonCode},  {"userData", {s.ud[0], s.ud[1], s.ud[2], s.ud[3]}},
            {"subsystem", s.epubSubSystem}, {"gardBit", s.gardBit}});
    return j;
}

void printSrc(std::ostream& os, const Json& s, const std::string& indent, std::size_t i) {
    os << indent << "SRC " << i << ": " << srcText(s) << "  module "
       << hex(s["modId"].get<uint32_t>()) << " reason " << hex(s["reasonCode"].get<uint32_t>()) << " user data";
    for (const Json& u : s["userData"]) os << ' ' << hex(u.get<uint32_t>());
    if (s["gardBit"].get<bool>()) os << "  gard bit";
    os << '\n';
}
}  // namespace

std::string srcText(const Json& src) {
    std::string ascii = src.value("ascii", std::string());
    ascii.erase(ascii.find_last_not_of(' ') + 1);
    return ascii;
}

void checkSrc(const std::string& src) {
    if (src.size() > 32) throw Usage("SRC text '" + src + "' is longer than 32 characters");
}

ErrlEntry* callerErrl(const std::string& src) {
    auto* e = new ErrlEntry(0xCA00, 0, 0, 0xD1, 0, kToolModId, 0x4399, 0, 0, 0, 0, 0, 0x75, 0);
    // getSRC is a platform call a fault can fail: the log then keeps its own text.
    if (SrciSrc* s = e->getSRC(0); s != nullptr) s->setAsciiString(src);
    else std::cerr << "gard: the caller's error log keeps no SRC text: ErrlEntry::getSRC failed\n";
    return e;
}

Json errlJson(ErrlEntry* e) {
    Json j = {{"rc", e->getRC()}, {"severity", e->severity()}, {"eventType", e->eventType()},
              {"srcs", Json::array()}};
    // Read without getSRC, a platform call: printing a log is none of the
    // library's calls, and a fault on getSRC must not stop it.
    for (std::size_t i = 0; i < e->srcCount(); ++i) {
        SrciSrc s = e->src(i);
        j["srcs"].push_back(srcJson(s));
    }
    j["text"] = explainErrl(j);
    return j;
}

void printErrl(std::ostream& os, const Json& e, const std::string& indent) {
    os << indent << e["text"].get<std::string>() << '\n';
    os << indent << "rc " << e["rc"] << ", severity " << e["severity"] << ", event type "
       << e["eventType"] << '\n';
    std::size_t i = 0;
    for (const Json& s : e["srcs"]) printSrc(os, s, indent, i++);
}

Json committedJson(gardhost::Committed& c) {
    Json j = {{"number", c.number},
              {"compId", c.compId},
              {"actions", c.actions},
              {"kind", c.actions == 0x4000 ? "info" : c.actions == 0x2000 ? "error" : "other"},
              {"severity", c.severity},
              {"eventType", c.eventType},
              {"rc", c.rc},
              {"modId", c.srcs.empty() ? 0 : c.srcs[0].modId},
              {"reasonCode", c.srcs.empty() ? 0 : c.srcs[0].reasonCode},
              {"srcs", Json::array()}};
    for (SrciSrc& s : c.srcs) j["srcs"].push_back(srcJson(s));
    j["text"] = explainErrl(j);
    const bool stamped = c.time != 0;
    j["time"] = stamped ? Json(c.time) : Json(nullptr);
    j["timeText"] = stamped ? Json(utcTime(c.time)) : Json(nullptr);
    j["sp"] = stamped ? Json(c.sp) : Json(nullptr);
    if (stamped) putBytes(j, "program", c.program);
    else j["program"] = nullptr;
    j["pid"] = stamped ? Json(c.pid) : Json(nullptr);
    if (stamped) putBytes(j, "call", c.call);
    else j["call"] = nullptr;
    return j;
}

std::string committedWhen(const Json& c) {
    if (c["time"].is_null()) return "committed before times were kept: time, processor and program not recorded";
    return "committed " + c["timeText"].get<std::string>() + " on sp" + std::to_string(c["sp"].get<int>()) +
           " by " + c["program"].get<std::string>() + " (pid " + std::to_string(c["pid"].get<int>()) + ")";
}

void printCommitted(std::ostream& os, const Json& c, bool detail) {
    os << "#" << c["number"] << " component " << hex(c["compId"].get<uint32_t>()) << " action "
       << hex(c["actions"].get<uint32_t>()) << " (" << c["kind"].get<std::string>() << ") module "
       << hex(c["modId"].get<uint32_t>()) << " reason " << hex(c["reasonCode"].get<uint32_t>()) << " event type "
       << c["eventType"] << " severity " << c["severity"];
    if (!detail) {
        if (!c["srcs"].empty()) {
            os << " user data";
            for (const Json& u : c["srcs"][0]["userData"]) os << ' ' << hex(u.get<uint32_t>());
            os << "  " << srcText(c["srcs"][0]);
        }
        os << "\n    " << c["text"].get<std::string>() << "\n    " << committedWhen(c) << '\n';
        return;
    }
    os << " rc " << c["rc"] << "\n    " << c["text"].get<std::string>() << "\n    " << committedWhen(c) << '\n';
    std::size_t i = 0;
    for (const Json& s : c["srcs"]) printSrc(os, s, "    ", i++);
}

}  // namespace gardcli
