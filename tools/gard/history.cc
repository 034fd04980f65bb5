// history: what changed the gard state, when, on which processor and by
// which program, in words with the raw values beside them, and the error
// logs committed by the same call. Built on the platform's change history
// (readHistory) and its committed error logs.
#include "history.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include "errl/stored.h"
#include "files/bytes.h"
#include "rdnd/record.h"
#include "unit/table.h"

namespace gardcli {

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kGardDir = "root/opt/p3/gard/";

// Words only: the raw bytes and decoded entries of each change are left out
// of what only text and the page show (a long history reads twice as fast).
bool g_wordsOnly = false;

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// "<pid>.0": changes made without the lock, which share no call.
bool noCall(const std::string& call) { return call.size() < 2 || call.compare(call.size() - 2, 2, ".0") == 0; }

std::string kindOf(const std::string& name) {
    if (name == kGardDir + "gardRask") return "unit";
    if (name == kGardDir + "gardErrl") return "stored-errl";
    if (startsWith(name, "root/")) return "gard-file";
    if (name == "vpd/0x200/keyword" || name == "vpd/0x201/keyword") return "sp-record";
    if (startsWith(name, "sp0/reg/") || startsWith(name, "sp1/reg/")) return "registry";
    return "platform";
}

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A unit as the platform names it in a value's name ("0x2e71"); false for
// anything else.
bool unitIn(const std::string& part, uint32_t& unit) {
    if (part.size() < 3 || part.size() > 10 || part.compare(0, 2, "0x") != 0) return false;
    for (std::size_t i = 2; i < part.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(part[i]))) return false;
    unit = static_cast<uint32_t>(std::strtoul(part.c_str() + 2, nullptr, 16));
    return true;
}

// ---------------------------------------------------------------- values in words

// A value of 1, 2 or 4 bytes as the host keeps numbers (host byte order).
bool numberOf(const Bytes& b, uint32_t& v) {
    if (b.size() != 1 && b.size() != 2 && b.size() != 4) return false;
    v = b[0];
    if (b.size() == 2) {
        uint16_t v16 = 0;
        std::memcpy(&v16, b.data(), 2);
        v = v16;
    } else if (b.size() == 4) {
        std::memcpy(&v, b.data(), 4);
    }
    return true;
}

std::string numberWords(uint32_t v) { return v < 10 ? std::to_string(v) : hex(v); }

// A platform value in words: missing, unknown, a number, text or hex.
std::string valueWords(const Bytes* b, bool present, bool asText = false) {
    if (!present) return "missing";
    if (b == nullptr) return "unknown (not in the history)";
    if (b->empty()) return "(empty)";
    uint32_t v = 0;
    if (!asText && numberOf(*b, v)) return numberWords(v);
    if (asText || plainText(text(*b))) return "\"" + shown(text(*b)) + "\"";
    return "bytes " + hexBytes(b->data(), b->size());
}

Json valueJson(const Bytes* b, bool present) {
    Json j = {{"present", present}, {"bytes", nullptr}, {"value", nullptr}};
    if (!present || b == nullptr) return j;
    j["bytes"] = hexBytes(b->data(), b->size());
    uint32_t v = 0;
    if (numberOf(*b, v)) j["value"] = v;
    return j;
}

Json item(const std::string& words) { return Json{{"text", words}}; }

// ---------------------------------------------------------------- unit table

struct Entry {
    uint32_t unit = 0, group = 0, state = 0, type = 0;
    std::string serial, src;  // as stored, trailing zero bytes dropped
};

Entry entryAt(const Bytes& image, unsigned i) {
    namespace t = gard::unit;
    Entry e;
    e.unit = t::unitId(image.data(), i);
    e.group = t::groupId(image.data(), i);
    e.state = t::state(image.data(), i);
    e.type = t::errorType(image.data(), i);
    e.serial.assign(reinterpret_cast<const char*>(t::serialAt(image.data(), i)), t::kSerialSize);
    for (unsigned j = 0; j < t::kSrcTextSize; ++j) e.src += static_cast<char>(image[t::srcTextOffset(i, j)]);
    e.serial.erase(e.serial.find_last_not_of('\0') + 1);
    e.src.erase(e.src.find_last_not_of('\0') + 1);
    return e;
}

bool sameEntry(const Entry& a, const Entry& b) {
    return a.unit == b.unit && a.group == b.group && a.state == b.state && a.type == b.type &&
           a.serial == b.serial && a.src == b.src;
}

Json entryJson(const Entry& e) {
    Json j = {{"unitId", e.unit}, {"groupId", e.group}, {"state", e.state}, {"stateName", unitStateName(e.state)},
              {"errorType", e.type}};
    std::string serial = e.serial;
    serial.resize(gard::unit::kSerialSize, '\0');
    j["serial"] = hexBytes(reinterpret_cast<const unsigned char*>(serial.data()), serial.size());
    putBytes(j, "serialText", e.serial);
    putBytes(j, "src", e.src);
    return j;
}

// The lane colour of a unit state: its name, "other" for values without one.
std::string unitLaneState(uint32_t state) {
    const std::string name = unitStateName(state);
    return name == "unknown" ? "other" : name;
}

std::string unitStateWords(uint32_t state) { return unitStateName(state) + " (" + hex(state) + ")"; }

Json unitItem(const Entry& e, unsigned index, const std::string& words) {
    Json j = item("unit " + hex(e.unit) + " group " + hex(e.group) + ": " + words);
    j["lane"] = "unit " + hex(e.unit) + " group " + hex(e.group);
    j["unit"] = e.unit;
    j["group"] = e.group;
    j["index"] = index;
    return j;
}

// ", SRC B1814601" or ", SRC X (was Y)" when a field changed.
std::string changedText(const char* what, const std::string& now, const std::string& was, bool wasSet) {
    if (now == was) return "";
    return std::string(", ") + what + " " + (now.empty() ? "(none)" : now) + (wasSet ? " (was " + was + ")" : "");
}

void unitEntryItems(const Entry& a, const Entry& b, unsigned i, Json& items) {
    const bool samePair = a.unit == b.unit && a.group == b.group;
    if (a.unit != 0 && !samePair) {
        Json j = unitItem(a, i, "removed from the table (entry " + std::to_string(i) + " freed)");
        j.update(Json{{"fromState", unitLaneState(a.state)}, {"toState", "free"}});
        if (!g_wordsOnly) j.update(Json{{"from", entryJson(a)}, {"to", nullptr}});
        items.push_back(std::move(j));
    }
    if (b.unit == 0) return;
    std::string words;
    if (!samePair || a.unit == 0) {
        words = "added as entry " + std::to_string(i) + ", serial " + shown(b.serial) + ", " + unitStateWords(b.state);
        if (b.type != 0) words += ", error type " + hex(b.type);
        if (!b.src.empty()) words += ", SRC " + shown(b.src);
    } else {
        words = a.state != b.state ? unitStateWords(a.state) + " -> " + unitStateWords(b.state)
                                   : unitStateWords(b.state);
        words += changedText("error type", hex(b.type), hex(a.type), a.type != 0);
        words += changedText("SRC", shown(b.src), shown(a.src), !a.src.empty());
        words += changedText("serial", shown(b.serial), shown(a.serial), !a.serial.empty());
    }
    const bool added = !samePair || a.unit == 0;
    Json j = unitItem(b, i, words);
    j.update(Json{{"fromState", added ? "free" : unitLaneState(a.state)}, {"toState", unitLaneState(b.state)}});
    if (!g_wordsOnly) j.update(Json{{"from", added ? Json(nullptr) : entryJson(a)}, {"to", entryJson(b)}});
    items.push_back(std::move(j));
}

// Offsets of the bytes that differ, for changes the tool has no words for.
std::string runsWords(const gardhost::HistoryRecord& h) {
    std::size_t bytes = 0;
    std::string at;
    for (std::size_t k = 0; k < h.runs.size(); ++k) {
        bytes += std::max(h.runs[k].before.size(), h.runs[k].after.size());
        if (k < 4) at += (k == 0 ? "" : ", ") + std::to_string(h.runs[k].offset);
    }
    if (h.runs.empty()) return "its content was replaced";
    return counted(bytes, "byte", "bytes") + " changed at offset " + at + (h.runs.size() > 4 ? ", ..." : "");
}

std::string sizeWords(uint32_t from, uint32_t to) {
    return from == to ? "" : ", size " + std::to_string(to) + " bytes (was " + std::to_string(from) + ")";
}

// Gard files: created, removed, or content not known where the history
// cannot rebuild it. False when the content is there to be decoded.
bool fileItems(const std::string& what, const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after,
               Json& items) {
    if (!h.after) {
        items.push_back(item(what + " removed (it held " + std::to_string(h.beforeSize) + " bytes)"));
        return true;
    }
    if (!h.before) items.push_back(item(what + " created (" + std::to_string(h.afterSize) + " bytes)"));
    if (after == nullptr || (h.before && before == nullptr)) {
        items.push_back(item(what + ": " + runsWords(h) + sizeWords(h.beforeSize, h.afterSize) +
                             "; the content before is not in the history"));
        return true;
    }
    if (h.before && h.beforeSize != h.afterSize)
        items.push_back(item(what + sizeWords(h.beforeSize, h.afterSize).substr(2)));
    return false;
}

// Other gard files: their content is not the library's to decode.
void gardFileItems(const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after, Json& items) {
    const std::string what = "gard file " + shown(h.name.substr(h.name.rfind('/') + 1));
    if (!fileItems(what, h, before, after, items)) items.push_back(item(what + ": " + runsWords(h)));
}

// The entries whose bytes a change of the table touched, by the column each
// differing byte lies in; all of them where the change's runs are not known
// (a history is read a record at a time: decoding 250 entries for each made
// a long history slow).
std::vector<bool> touchedEntries(const gardhost::HistoryRecord& h, bool runsKnown) {
    namespace t = gard::unit;
    std::vector<bool> touched(t::kEntries, !runsKnown || h.runs.empty());
    if (!runsKnown || h.runs.empty()) return touched;
    const struct {
        unsigned at, width;
    } columns[] = {{t::kSerialAt, t::kSerialSize}, {t::kGroupAt, 4}, {t::kUnitAt, 2}, {t::kStateAt, 4},
                   {t::kErrorTypeAt, 4}};
    for (const gardhost::HistoryRecord::Run& r : h.runs) {
        const std::size_t end = r.offset + std::max(r.before.size(), r.after.size());
        for (std::size_t at = r.offset; at < end && at < t::kImageSize; ++at) {
            if (at >= t::kSrcTextAt) {
                touched[(at - t::kSrcTextAt) % t::kEntries] = true;  // transposed: entry i is byte i of each row
                continue;
            }
            for (const auto& c : columns)
                if (at >= c.at && at < c.at + c.width * t::kEntries) touched[(at - c.at) / c.width] = true;
        }
    }
    return touched;
}

void unitTableItems(const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after, Json& items) {
    namespace t = gard::unit;
    const std::size_t said = items.size();
    if (fileItems("unit table file", h, before, after, items)) return;
    // A file created is taken as zeros before, as the library creates it;
    // each image read in place where it holds the whole table (no copy a record).
    const Bytes zeros(h.before ? 0 : after->size(), 0);
    const Bytes& ra = h.before ? *before : zeros;
    const Bytes& rb = *after;
    const std::size_t tailA = ra.size() - std::min<std::size_t>(ra.size(), t::kImageSize),
                      tailB = rb.size() - std::min<std::size_t>(rb.size(), t::kImageSize);
    const bool tail = tailA != tailB || std::memcmp(ra.data() + ra.size() - tailA, rb.data() + rb.size() - tailB, tailA) != 0;
    Bytes padA, padB;
    auto whole = [](const Bytes& b, Bytes& pad) -> const Bytes& {
        if (b.size() >= t::kImageSize) return b;
        pad = b;
        pad.resize(t::kImageSize);
        return pad;
    };
    const Bytes& a = whole(ra, padA);
    const Bytes& b = whole(rb, padB);
    const uint32_t magicA = gard::be::get32(a.data() + t::kMagicAt), magicB = gard::be::get32(b.data() + t::kMagicAt);
    if (magicA != magicB) {
        Json j = item("unit table: magic word " + hex(magicB) + " (was " + hex(magicA) + ")" +
                      (magicB == t::kMagic ? ": the table was reset" : ""));
        j.update(Json{{"magicBefore", magicA}, {"magicAfter", magicB}});
        items.push_back(std::move(j));
    }
    // Free entries change too (a clear sets every state): one line for them.
    std::vector<unsigned> free;
    std::set<uint32_t> freeStates;
    const std::vector<bool> touched = touchedEntries(h, before != nullptr && h.before);
    for (unsigned i = 0; i < t::kEntries; ++i) {
        if (!touched[i]) continue;
        const Entry ea = entryAt(a, i), eb = entryAt(b, i);
        if (sameEntry(ea, eb)) continue;
        if (ea.unit == 0 && eb.unit == 0) {
            free.push_back(i);
            freeStates.insert(eb.state);
            continue;
        }
        unitEntryItems(ea, eb, i, items);
    }
    // Entries that stay free are no change worth a line beside those in use.
    if (!free.empty() && items.size() == said) {
        Json j = item("unit table: " + std::to_string(free.size()) + " free entr" + (free.size() == 1 ? "y" : "ies") +
                      " (not in use) changed, entries " + std::to_string(free.front()) + " to " +
                      std::to_string(free.back()) +
                      (freeStates.size() == 1 ? ", state now " + unitStateWords(*freeStates.begin()) : ""));
        j["freeEntries"] = free;
        items.push_back(std::move(j));
    }
    if (tail) items.push_back(item("unit table file: bytes after the table changed (not used by the table)"));
}

// ---------------------------------------------------------------- stored error logs

Json slotErrl(const uint8_t* slot) {
    ErrlEntry e;
    if (e.unflatten(slot + gard::errlfile::kErrlOffset, gard::errlfile::kErrlSize) != 0) return nullptr;
    return errlJson(&e);
}

void storedItems(const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after, Json& items) {
    namespace f = gard::errlfile;
    if (fileItems("stored error-log file", h, before, after, items)) return;
    Bytes a = h.before ? *before : Bytes(after->size(), 0), b = *after;
    a.resize(std::max<std::size_t>(a.size(), f::kImageSize));
    b.resize(std::max<std::size_t>(b.size(), f::kImageSize));
    for (unsigned i = 0; i < f::kSlots; ++i) {
        const uint8_t *sa = f::slotAt(a.data(), i), *sb = f::slotAt(b.data(), i);
        if (std::memcmp(sa, sb, f::kSlotSize) == 0) continue;
        const uint32_t ua = f::slotUnit(sa), ub = f::slotUnit(sb);
        const std::string slot = "stored error log slot " + std::to_string(i) + ": ";
        Json j;
        if (ub == 0) {
            j = item(slot + (ua == 0 ? "free slot changed (not in use)" : "cleared (it held unit " + hex(ua) + ")"));
        } else {
            Json errl = slotErrl(sb);
            j = item(slot + "unit " + hex(ub) + ", port " + hex(f::slotPort(sb)) +
                     (ua != 0 && ua != ub ? " (was unit " + hex(ua) + ")" : ua == ub ? " (replaced)" : "") + ": " +
                     (errl.is_null() ? std::string("an error log that does not unflatten")
                                     : errl["text"].get<std::string>()));
            j["errl"] = errl;
            j["port"] = f::slotPort(sb);
        }
        j["slot"] = i;
        if (ub != 0 || ua != 0) j["unit"] = ub != 0 ? ub : ua;
        items.push_back(std::move(j));
    }
}

// ---------------------------------------------------------------- service-processor records

// A keyword as the library reads it: a record of up to 32 bytes padded with
// 0xff, or a form that is no record.
Json recordState(const Bytes* b, bool present, std::string& words, std::string& lane) {
    namespace q = gard::qel;
    if (!present) {
        words = lane = "missing";
        return {{"form", "missing"}};
    }
    if (b == nullptr) {
        words = "unknown (not in the history)";
        lane.clear();
        return {{"form", "unknown"}};
    }
    if (b->empty() || b->size() > q::kRecordSize) {
        words = "unreadable (a keyword of " + std::to_string(b->size()) + " bytes)";
        lane = "unreadable";
        return {{"form", "unreadable"}, {"bytes", hexBytes(b->data(), b->size())}};
    }
    unsigned char rec[q::kRecordSize];
    std::memset(rec, q::kBlank, sizeof rec);
    std::memcpy(rec, b->data(), b->size());
    const uint16_t marker = gard::be::get16(rec + q::kMarkerAt);
    Json j = {{"form", "record"},
              {"marker", marker},
              {"state", rec[q::kStateAt]},
              {"stateName", qelStateName(rec[q::kStateAt])},
              {"failureWord", gard::be::get32(rec + q::kFailureAt)},
              {"extraWord", gard::be::get32(rec + q::kExtraAt)},
              {"bytes", hexBytes(b->data(), b->size())}};
    if (marker != q::kMarker) {
        const bool erased = std::all_of(b->begin(), b->end(), [](uint8_t c) { return c == 0xFF; });
        j["form"] = erased ? "erased" : "damaged";
        words = erased ? "erased (" + std::to_string(b->size()) + " bytes of 0xff)"
                       : "damaged (no marker: " + hex(marker, 4) + ")";
        lane = erased ? "erased" : "unreadable";
        return j;
    }
    words = qelStateName(rec[q::kStateAt]) + " (" + hex(rec[q::kStateAt]) + ")";
    lane = j["stateName"] == "unknown" ? "other" : j["stateName"].get<std::string>();
    return j;
}

void recordItems(uint32_t unit, const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after,
                 Json& items) {
    std::string fromWords, toWords, fromLane, toLane;
    Json from = recordState(before, h.before, fromWords, fromLane);
    Json to = recordState(h.after ? after : nullptr, h.after, toWords, toLane);
    std::string words = fromWords == toWords ? toWords : fromWords + " -> " + toWords;
    if (to["form"] == "record") {
        for (const auto& [key, name] : {std::pair{"failureWord", "failure word"}, std::pair{"extraWord", "extra word"}}) {
            const uint32_t now = to[key].get<uint32_t>();
            if (from["form"] == "record" && from[key] != to[key])
                words += std::string(", ") + name + " " + hex(now, 8) + " (was " + hex(from[key].get<uint32_t>(), 8) + ")";
            else if (from["form"] != "record" && now != 0xFFFFFFFFu)
                words += std::string(", ") + name + " " + hex(now, 8);
        }
        if (from["form"] == "record" && fromWords == toWords && from["failureWord"] == to["failureWord"] &&
            from["extraWord"] == to["extraWord"])
            words += ", other bytes changed (" + from["bytes"].get<std::string>() + " -> " +
                     to["bytes"].get<std::string>() + ")";
    }
    Json j = item("record " + hex(unit) + ": " + words);
    j.update(Json{{"lane", "record " + hex(unit)}, {"unit", unit}, {"fromState", fromLane}, {"toState", toLane},
                  {"from", from}, {"to", to}});
    items.push_back(std::move(j));
}

// ---------------------------------------------------------------- registry and platform values

std::vector<std::string> linesOf(const Bytes* b) {
    std::vector<std::string> out;
    if (b == nullptr) return out;
    std::string cur;
    for (uint8_t c : *b) {
        if (c != '\n') cur += static_cast<char>(c);
        else if (!cur.empty()) out.push_back(cur), cur.clear();
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::string faultWords(const Bytes* before, const Bytes* after) {
    if (after == nullptr) return "the fault list changed; its content is not in the history";
    const std::vector<std::string> was = linesOf(before), now = linesOf(after);
    std::string words;
    for (const std::string& l : now)
        if (std::find(was.begin(), was.end(), l) == was.end()) words += (words.empty() ? "" : "; ") + ("added " + shown(l));
    for (const std::string& l : was)
        if (std::find(now.begin(), now.end(), l) == now.end()) words += (words.empty() ? "" : "; ") + ("removed " + shown(l));
    return (words.empty() ? "reordered" : words) + " (" + counted(now.size(), "fault line", "fault lines") + " now)";
}

// `name` split at '/'.
std::vector<std::string> parts(const std::string& name) {
    std::vector<std::string> out(1);
    for (char c : name) {
        if (c == '/') out.emplace_back();
        else out.back().push_back(c);
    }
    return out;
}

void platformItems(const std::string& name, const gardhost::HistoryRecord& h, const Bytes* before,
                   const Bytes* after, Json& items) {
    const Bytes* now = h.after ? after : nullptr;
    const std::vector<std::string> p = parts(name);
    uint32_t unit = 0;
    const bool perUnit = p.size() == 3 && ((p[0] == "vpd" && unitIn(p[1], unit)) ||
                                           (p[0] == "vorm" && (p[1] == "functional" || p[1] == "port") && unitIn(p[2], unit)));
    auto words = [&](const std::function<std::string(const Bytes*, bool)>& say) {
        return say(before, h.before) + " -> " + say(now, h.after);
    };
    auto flag = [](const char* yes, const char* no, const char* none) {
        return [=](const Bytes* b, bool present) {
            uint32_t v = 0;
            if (!present) return std::string(none);
            if (b == nullptr || !numberOf(*b, v)) return valueWords(b, present);
            return std::string(v != 0 ? yes : no) + " (" + numberWords(v) + ")";
        };
    };
    auto plain = [](const Bytes* b, bool present) { return valueWords(b, present); };
    std::string say;
    if (p.size() == 3 && p[0] == "vpd" && unitIn(p[1], unit) && p[2] == "present") {
        say = "VPD presence of " + hex(unit) + ": " + words(flag("present", "absent", "absent (no value)"));
    } else if (p.size() == 3 && p[0] == "vpd" && unitIn(p[1], unit) && p[2] == "keyword") {
        say = "VPD gard keyword of " + hex(unit) + ": " + words(plain);
    } else if (p.size() == 3 && p[0] == "vorm" && p[1] == "policy") {
        say = "gard policy " + shown(p[2]) + ": " + words(flag("forbids", "permits", "missing (the query fails)"));
    } else if (p.size() == 3 && p[0] == "vorm" && p[1] == "functional" && unitIn(p[2], unit)) {
        say = "DMA path of " + hex(unit) + ": " + words(flag("functional", "not functional", "functional (no value)"));
    } else if (p.size() == 3 && p[0] == "vorm" && p[1] == "port" && unitIn(p[2], unit)) {
        say = "VPD port of " + hex(unit) + ": " + words([](const Bytes* b, bool present) {
                  return present ? valueWords(b, present) : std::string("missing (the look-up fails)");
              });
    } else if (name == "vorm/deconfig_out") {
        say = "DMA-path deconfiguration out-word: " + words(plain);
    } else if (p.size() == 3 && p[0] == "mnfg" && p[1] == "flag") {
        say = "manufacturing policy flag " + shown(p[2]) + ": " + words(flag("set", "not set", "not set (no value)"));
    } else if (name == "faults") {
        say = "injected faults: " + faultWords(before, now);
    } else {
        say = shown(name) + ": " + words(plain);
    }
    Json j = item(say);
    if (perUnit) j["unit"] = unit;
    j["from"] = valueJson(before, h.before);
    j["to"] = valueJson(now, h.after);
    items.push_back(std::move(j));
}

void registryItems(const std::string& name, const gardhost::HistoryRecord& h, const Bytes* before,
                   const Bytes* after, Json& items) {
    const int sp = name[2] - '0';
    const std::string key = name.substr(std::strlen("sp0/reg/"));
    const bool asText = key == "fstp/P3_Root";
    const Bytes* now = h.after ? after : nullptr;
    Json j = item("sp" + std::to_string(sp) + " registry " + shown(key) + ": " + valueWords(before, h.before, asText) +
                  " -> " + valueWords(now, h.after, asText));
    j["sp"] = sp;
    putBytes(j, "key", key);
    j["from"] = valueJson(before, h.before);
    j["to"] = valueJson(now, h.after);
    items.push_back(std::move(j));
}

// ---------------------------------------------------------------- the history

const char* statusName(gardhost::HistoryRecord::Status s) {
    switch (s) {
    case gardhost::HistoryRecord::kHappened: return "happened";
    case gardhost::HistoryRecord::kNotHappened: return "not-happened";
    case gardhost::HistoryRecord::kUnknown: break;
    }
    return "unknown";
}

Json content(bool present, uint32_t size, uint32_t crc) {
    return present ? Json{{"present", true}, {"size", size}, {"crc", crc}} : Json{{"present", false}};
}

// Who and when, shared by changes and error logs.
Json stamp(const std::string& type, uint64_t time, int sp, const std::string& program, int pid,
           const std::string& call) {
    Json j = {{"type", type}, {"time", time}, {"timeText", utcTime(time)}, {"sp", sp}};
    putBytes(j, "program", program);
    j["pid"] = pid;
    putBytes(j, "call", call);
    return j;
}

Json changeJson(const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after) {
    Json j = stamp("change", h.time, h.sp, h.program, h.pid, h.call);
    j["seq"] = h.seq;
    putBytes(j, "command", h.command);
    putBytes(j, "name", h.name);
    const std::string kind = kindOf(h.name);
    j["kind"] = kind;
    j["status"] = statusName(h.status);
    j["outside"] = h.outside;
    j["before"] = content(h.before, h.beforeSize, h.beforeCrc);
    j["after"] = content(h.after, h.afterSize, h.afterCrc);
    Json runs = Json::array();
    for (const gardhost::HistoryRecord::Run& r : g_wordsOnly ? std::vector<gardhost::HistoryRecord::Run>() : h.runs)
        runs.push_back({{"offset", r.offset},
                        {"before", hexBytes(r.before.data(), r.before.size())},
                        {"after", hexBytes(r.after.data(), r.after.size())}});
    j["runs"] = runs;
    Json items = Json::array();
    if (kind == "unit") unitTableItems(h, before, after, items);
    else if (kind == "stored-errl") storedItems(h, before, after, items);
    else if (kind == "gard-file") gardFileItems(h, before, after, items);
    else if (kind == "sp-record") recordItems(h.name == "vpd/0x200/keyword" ? 0x200 : 0x201, h, before, after, items);
    else if (kind == "registry") registryItems(h.name, h, before, after, items);
    else platformItems(h.name, h, before, after, items);
    if (items.empty() && !(kind == "unit" && after != nullptr && before != nullptr))
        items.push_back(item(shown(h.name) + ": " + runsWords(h)));
    for (Json& i : items) i["kind"] = kind;
    j["items"] = items;
    j["errlogs"] = Json::array();
    return j;
}

struct Filters {
    bool unitGiven = false;
    uint32_t unit = 0;
    int sp = -1;
    std::set<std::string> kinds;
    uint64_t since = 0, until = UINT64_MAX;
    bool all = false;
    std::string html;
};

bool kindShown(const Filters& f, const std::string& kind) { return f.kinds.empty() || f.kinds.count(kind) != 0; }
bool whenShown(const Filters& f, const Json& e) {
    const auto t = e["time"].get<uint64_t>();
    return t >= f.since && t <= f.until && (f.sp < 0 || e["sp"].get<int>() == f.sp);
}

// Whether a change names a unit that the log's user data names.
bool namesUnitOf(const Json& change, const Json& errlog) {
    if (errlog["srcs"].empty()) return false;
    for (const Json& i : change["items"])
        if (i.contains("unit"))
            for (const Json& word : errlog["srcs"][0]["userData"])
                if (word == i["unit"]) return true;
    return false;
}

// The history in journal order, one record (a call) at a time: its changes
// with the error logs the same call committed, filtered as asked. Memory
// grows with one record, not with the journal. Followed (`follow`), it is
// read again and again, and a record whose logs the store does not number
// yet waits for them a while: its writer appends them after its record.
class HistoryStream {
public:
    explicit HistoryStream(const Filters& f, bool follow = false) : f_(f), follow_(follow) {
        // Numbers of the logs the store still keeps, by their journal place.
        mark_ = gardhost::committedEnd();
        std::vector<gardhost::Committed> kept = gardhost::committed();
        if (!kept.empty()) rotatedOut_ = kept.front().number - 1;
        for (gardhost::Committed& c : kept)
            if (c.seq != 0) numbers_[{c.seq, c.part}] = c.number;
    }

    // Every entry shown goes to `out`, oldest first. `settle`: everything
    // read goes out now, and the names changed outside the platform are
    // looked for (a whole history); else records may wait for their logs'
    // numbers (following).
    void read(const std::function<void(Json&&)>& out, bool settle = true) {
        out_ = &out;
        reader_.read(
            [&](const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after) {
                if (h.seq != seq_) close();
                seq_ = h.seq;
                take(h, before, after);
            },
            problems_);
        close();
        drain(settle);
        if (settle) reader_.outsideChanges(problems_);
        out_ = nullptr;
    }
    // Records wait for the numbers of their logs.
    bool waiting() const { return !held_.empty(); }

    Json summary() const {
        Json out = Json::object();
        out["counts"] = {{"changes", changes_}, {"errlogs", errlogs_}, {"notMade", notMade_}};
        // Nothing recorded goes unshown but the defaults of a new state
        // directory; the older counts stay for scripts that read them.
        out["hidden"] = {{"notHappened", 0}, {"unknown", 0}, {"untimedErrlogs", 0}, {"setup", setup_}};
        // Logs the store dropped before the first it keeps: the history
        // names them but cannot show what they said.
        out["errlogsRotatedOut"] = rotatedOut_;
        Json problems = Json::array();
        for (const std::string& l : problems_) problems.push_back(shown(l));
        out["problems"] = problems;
        return out;
    }
    const std::vector<std::string>& problems() const { return problems_; }

private:
    using Place = std::pair<uint64_t, unsigned>;  // a log's record and part
    // A record read: its changes, logs and cancels.
    struct Record {
        Json changes = Json::array();
        std::vector<Json> logs, cancels;
        std::vector<Place> places;  // of the logs
        std::chrono::steady_clock::time_point read;
    };
    // How long a record waits for the store to number its logs: longer
    // only when their writer was killed before appending them, and then
    // the next process that looks appends them.
    static constexpr std::chrono::seconds kWait{5};

    void take(const gardhost::HistoryRecord& h, const Bytes* before, const Bytes* after) {
        switch (h.kind) {
            case gardhost::HistoryRecord::kChange: {
                // The defaults of a new state directory are nobody's change.
                if (h.setup) {
                    ++setup_;
                    return;
                }
                cur_.changes.push_back(changeJson(h, before, after));
                cur_.changes.back()["part"] = h.part;
                return;
            }
            case gardhost::HistoryRecord::kLog: {
                gardhost::Committed c = h.log;
                Json e = stamp("errlog", h.time, h.sp, h.program, h.pid, h.call);
                e["seq"] = h.seq;
                putBytes(e, "command", h.command);
                e["kind"] = "errlog";
                e["errlog"] = committedJson(c);  // numbered when it goes out
                e["part"] = h.part;
                cur_.logs.push_back(std::move(e));
                cur_.places.emplace_back(h.seq, h.part);
                return;
            }
            case gardhost::HistoryRecord::kCancel: {
                // A record whose changes were journaled but could not be put
                // in place: they did not happen, whatever it says.
                Json e = stamp("cancel", h.time, h.sp, h.program, h.pid, h.call);
                e["seq"] = h.seq;
                putBytes(e, "command", h.command);
                e["kind"] = "cancel";
                e["cancelled"] = h.cancelled;
                e["text"] = "the changes of #" + std::to_string(h.cancelled) +
                            " were not made: they could not be put in place, so everything they name stays as it was";
                cur_.cancels.push_back(std::move(e));
                return;
            }
        }
    }

    // The record read goes behind those waiting.
    void close() {
        if (cur_.changes.empty() && cur_.logs.empty() && cur_.cancels.empty()) return;
        cur_.read = std::chrono::steady_clock::now();
        held_.push_back(std::move(cur_));
        cur_ = Record();
    }

    bool numbered(const Record& r) const {
        for (const Place& p : r.places)
            if (numbers_.count(p) == 0) return false;
        return true;
    }

    // Records go out in order, each once its logs are numbered; `all`: now,
    // numbered or not (a log the store does not hold has no number).
    void drain(bool all) {
        bool looked = !follow_;
        while (!held_.empty()) {
            if (!numbered(held_.front()) && !looked) {
                // The logs appended to the store since it was last looked at.
                const gardhost::CommittedMark end = gardhost::committedEnd();
                for (const gardhost::Committed& c : gardhost::committedSince(mark_))
                    if (c.seq != 0) numbers_[{c.seq, c.part}] = c.number;
                mark_ = end;
                looked = true;
            }
            if (!all && !numbered(held_.front()) && std::chrono::steady_clock::now() - held_.front().read < kWait) return;
            emit(held_.front());
            held_.pop_front();
        }
    }

    // The record's changes and logs, filtered, to `out`.
    void emit(Record& r) {
        for (Json& c : r.cancels) {
            ++notMade_;
            if (whenShown(f_, c)) (*out_)(std::move(c));
        }
        Json& changes = r.changes;
        std::vector<Json>& logs = r.logs;
        if (changes.empty() && logs.empty()) return;
        for (std::size_t k = 0; k < logs.size(); ++k) {
            const auto n = numbers_.find(r.places[k]);
            logs[k]["errlog"]["number"] = n != numbers_.end() ? Json(n->second) : Json(nullptr);
        }
        // A log belongs to the change of its call nearest to it in the
        // record among those that name a unit it names, else the nearest;
        // outside a call (no lock) it stands alone.
        std::vector<std::size_t> attached(logs.size(), changes.size());  // the change's index, or none
        for (std::size_t k = 0; k < logs.size(); ++k) {
            if (changes.empty() || noCall(logs[k]["call"].get<std::string>())) continue;
            const auto at = static_cast<long>(logs[k]["part"].get<unsigned>());
            std::size_t best = 0;
            bool named = false;
            for (std::size_t i = 0; i < changes.size(); ++i) {
                const bool names = namesUnitOf(changes[i], logs[k]["errlog"]);
                const long d = std::labs(static_cast<long>(changes[i]["part"].get<unsigned>()) - at);
                const long dBest = std::labs(static_cast<long>(changes[best]["part"].get<unsigned>()) - at);
                if ((names && !named) || (names == named && d < dBest)) best = i, named = names;
            }
            changes[best]["errlogs"].push_back(logs[k]["errlog"]);
            attached[k] = best;
        }
        std::vector<bool> changeShown(changes.size(), false);
        for (std::size_t i = 0; i < changes.size(); ++i) {
            Json& c = changes[i];
            if (!kindShown(f_, c["kind"].get<std::string>()) || !whenShown(f_, c)) continue;
            if (f_.unitGiven) {
                Json keep = Json::array();
                for (Json& item : c["items"])
                    if (item.contains("unit") && item["unit"].get<uint32_t>() == f_.unit) keep.push_back(std::move(item));
                if (keep.empty()) continue;
                c["items"] = keep;
            }
            changeShown[i] = true;
            ++changes_;
            errlogs_ += c["errlogs"].size();
            (*out_)(std::move(c));
        }
        // A log stands on its own unless its change is shown with it.
        for (std::size_t k = 0; k < logs.size(); ++k) {
            if (f_.unitGiven || !kindShown(f_, "errlog") || !whenShown(f_, logs[k])) continue;
            if (attached[k] != changes.size() && changeShown[attached[k]]) continue;
            ++errlogs_;
            (*out_)(std::move(logs[k]));
        }
    }

    const Filters& f_;
    const bool follow_;
    gardhost::HistoryReader reader_;
    std::vector<std::string> problems_;
    std::map<Place, uint64_t> numbers_;
    gardhost::CommittedMark mark_;  // where the store ended when last looked at
    const std::function<void(Json&&)>* out_ = nullptr;
    uint64_t seq_ = 0;
    Record cur_;
    std::deque<Record> held_;
    std::size_t changes_ = 0, errlogs_ = 0, notMade_ = 0, setup_ = 0;
    uint64_t rotatedOut_ = 0;
};

Json buildHistory(const Filters& f) {
    HistoryStream stream(f);
    Json entries = Json::array();
    stream.read([&](Json&& e) { entries.push_back(std::move(e)); });
    Json out = Json::object();
    putBytes(out, "stateDir", stateDirChoice());
    out.update(stream.summary());
    out["history"] = std::move(entries);
    return out;
}

// ---------------------------------------------------------------- text

// `none`: what a log without a number is.
std::string errlogLine(const Json& c, const char* none) {
    const std::string ascii = c["srcs"].empty() ? "" : srcText(c["srcs"][0]);
    const std::string number =
        c["number"].is_null() ? std::string(none) : " #" + std::to_string(c["number"].get<std::size_t>());
    return "error log" + number + ": " + c["text"].get<std::string>() +
           (ascii.empty() ? "" : "  [" + ascii + "]");
}

}  // namespace

const char* historyStatusWords(const Json& status) {
    if (status == "not-happened") return " (not made: a later record of the journal says it could not be put in place)";
    return "";
}

namespace {

// The history as text, one entry at a time, oldest first.
class TextPrinter {
public:
    // `none`: what a log the store does not number is.
    explicit TextPrinter(std::ostream& os, const char* none = " (rotated out of the store)") : os_(os), none_(none) {}
    void operator()(const Json& e) {
        // A record's entries (one call) follow one header: when, where,
        // which event, and the command that made it.
        const auto seq = e["seq"].get<uint64_t>();
        if (seq != lastSeq_) {
            const std::string who = e.value("command", "").empty() ? e["program"].get<std::string>()
                                                                    : e["command"].get<std::string>();
            os_ << e["timeText"].get<std::string>() << "  sp" << e["sp"] << "  #" << seq << "  " << who << " (pid "
                << e["pid"] << ")\n";
            lastSeq_ = seq;
        }
        if (e["type"] == "errlog") {
            os_ << "  " << errlogLine(e["errlog"], none_) << '\n';
            return;
        }
        if (e["type"] == "cancel") {
            os_ << "  " << e["text"].get<std::string>() << '\n';
            return;
        }
        const char* outside = e.value("outside", false)
                                  ? " (its content before was changed outside the platform since the journal's last record of it)"
                                  : "";
        for (const Json& i : e["items"])
            os_ << "  " << i["text"].get<std::string>() << historyStatusWords(e["status"]) << outside << '\n';
        for (const Json& l : e["errlogs"]) os_ << "    " << errlogLine(l, none_) << '\n';
    }

private:
    std::ostream& os_;
    const char* none_;
    uint64_t lastSeq_ = 0;
};

void printSummary(std::ostream& os, const Json& out) {
    const Json& c = out["counts"];
    os << counted(c["changes"].get<std::size_t>(), "change", "changes") << ", "
       << counted(c["errlogs"].get<std::size_t>(), "error log", "error logs")
       << (c["notMade"] != 0 ? ", " + counted(c["notMade"].get<std::size_t>(), "record", "records") + " not made" : "")
       << '\n';
    if (out["errlogsRotatedOut"].get<uint64_t>() != 0)
        os << "before the first error log shown, "
           << counted(out["errlogsRotatedOut"].get<uint64_t>(), "error log was", "error logs were")
           << " rotated out of the store (their changes show without them)\n";
}

int history(const Filters& f) {
    if (!f.html.empty()) refuseInsideState(f.html, "--html");
    openState();
    Result r;
    // Streamed: each entry is written as it is read, never all held at once.
    g_wordsOnly = !opts().json;
    HistoryStream stream(f);
    if (!f.html.empty()) {
        PageWriter page(f.html);
        std::string said;
        bool written = page.begin(said);
        if (written) stream.read([&](Json&& e) { page.add(e); });
        putBytes(r.out, "stateDir", stateDirChoice());
        r.out.update(stream.summary());
        for (const std::string& p : stream.problems()) std::cerr << "gard: history: " << shown(p) << '\n';
        written = written && page.end(r.out, said);
        if (!written) throw OutputFailed("cannot write " + f.html + ": " + said);
        putBytes(r.out, "page", f.html);
        r.text << "history page written to " << shown(f.html) << ": " << said << '\n';
        return finish(r);
    }
    if (opts().json) {
        std::cout << "{\n  \"schema\": \"" << opts().schema << "\",\n  \"schemaVersion\": " << schemaVersion(opts().schema)
                  << ",\n  \"history\": [";
        bool first = true;
        stream.read([&](Json&& e) {
            std::cout << (first ? "\n    " : ",\n    ") << e.dump();
            first = false;
        });
        std::cout << (first ? "]" : "\n  ]");
        r.streamedJson = true;
    } else {
        std::cout << "history of " << shown(stateDirChoice()) << ", oldest first:\n";
        TextPrinter print(std::cout);
        stream.read([&](Json&& e) { print(e); });
    }
    putBytes(r.out, "stateDir", stateDirChoice());
    r.out.update(stream.summary());
    for (const std::string& p : stream.problems()) std::cerr << "gard: history: " << shown(p) << '\n';
    if (!opts().json) printSummary(r.text, r.out);
    return finish(r);
}

// history --follow: each entry as any process makes it, from now or from
// --since, until SIGINT, SIGTERM or SIGHUP (exit 0) or an output that cannot
// be written (exit 5). Woken through inotify when the journal is appended
// to or rotated, and when the store appends the logs a record waits for;
// one reader kept throughout, so that each record goes out once, in order.
// No lock is held while following: other commands go on.
int follow(Filters& f, bool fromSince) {
    openState();
    const std::string dir = stateDirChoice();
    letGoOfState();
    sigset_t ends;
    sigemptyset(&ends);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ends, s);
    // Read as events, not run as handlers; a closed pipe is a failed write.
    pthread_sigmask(SIG_BLOCK, &ends, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int sig = signalfd(-1, &ends, SFD_CLOEXEC);
    const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const int top = in < 0 ? -1 : inotify_add_watch(in, dir.c_str(), IN_ONLYDIR | IN_MODIFY | IN_CREATE | IN_MOVED_TO |
                                                                      IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF);
    if (sig < 0 || top < 0) return failed(kErrl, "cannot watch " + dir + " for changes: " + errnoWords(errno));
    constexpr uint32_t kLogEvents = IN_ONLYDIR | IN_MODIFY | IN_CREATE | IN_MOVED_TO;
    int logs = inotify_add_watch(in, (dir + "/errl").c_str(), kLogEvents);

    g_wordsOnly = !opts().json;
    HistoryStream stream(f, true);
    TextPrinter print(std::cout, " (not in the store yet)");
    const std::function<void(Json&&)> out = [&](Json&& e) {
        if (!opts().json) return print(e);
        // One object a line, each naming its schema: a shipper reads them one by one.
        Json line = {{"schema", "history-event"}, {"schemaVersion", schemaVersion("history-event")}};
        for (auto& [key, value] : e.items()) line[key] = std::move(value);
        std::cout << line.dump() << '\n';
    };
    std::size_t said = 0;
    // What was read goes out now; each problem is said once. A record being
    // written is read again once its end is there.
    auto put = [&] {
        for (; said < stream.problems().size(); ++said)
            if (stream.problems()[said].find("is cut short") == std::string::npos)
                std::cerr << "gard: history: " << shown(stream.problems()[said]) << '\n';
        return static_cast<bool>(std::cout.flush());
    };
    const std::function<void(Json&&)> before = [](Json&&) {};  // the history so far, unless --since asks for it
    stream.read(fromSince ? out : before);
    std::cerr << "gard: following the history of " << shown(dir) << (fromSince ? "" : " from now")
              << " (Ctrl-C ends it)" << std::endl;
    f.since = 0;  // from now on every entry goes out as it comes, whatever its time
    if (!put()) return kOutput;
    for (;;) {
        pollfd fds[2] = {{in, POLLIN, 0}, {sig, POLLIN, 0}};
        // Only a record waiting for its logs wakes the loop by time.
        if (::poll(fds, 2, stream.waiting() ? 50 : -1) < 0 && errno != EINTR)
            return failed(kErrl, "cannot wait for changes of " + dir + ": " + errnoWords(errno));
        if (fds[1].revents != 0) return kOk;
        bool journal = stream.waiting(), gone = false;
        alignas(inotify_event) char buf[16384];
        for (ssize_t n; (n = ::read(in, buf, sizeof buf)) > 0;) {
            for (char* at = buf; at < buf + n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(at);
                at += sizeof(inotify_event) + ev->len;
                const std::string name = ev->len != 0 ? ev->name : "";
                if (ev->wd == top && (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) gone = true;
                if (ev->wd == logs && (ev->mask & IN_IGNORED) != 0) logs = -1;  // errl/ went: watched again once made
                if (ev->wd == top && name == "errl" && logs < 0) logs = inotify_add_watch(in, (dir + "/errl").c_str(), kLogEvents);
                journal |= (ev->wd == top && (name == "history" || name == "history.1")) || ev->wd == logs ||
                           (ev->mask & IN_Q_OVERFLOW) != 0;
            }
        }
        if (journal) stream.read(out, false);
        if (!put()) return kOutput;
        if (gone) return failed(kErrl, "the state directory " + dir + " was removed or moved: nothing more to follow");
    }
}

}  // namespace

const std::vector<std::string>& historyKinds() {
    static const std::vector<std::string> kinds = {"unit",     "sp-record", "stored-errl", "gard-file",
                                                   "registry", "platform",  "errlog"};
    return kinds;
}

Json historyJson() { return buildHistory(Filters{}); }

Json netChangeJson(const std::string& name, const Bytes* before, const Bytes* after) {
    gardhost::HistoryRecord h;
    h.name = name;
    h.before = before != nullptr;
    h.after = after != nullptr;
    h.beforeSize = h.before ? static_cast<uint32_t>(before->size()) : 0;
    h.afterSize = h.after ? static_cast<uint32_t>(after->size()) : 0;
    // The bytes that differ, runs a few bytes apart joined, as the journal
    // keeps them: the words name what they touch.
    const Bytes none;
    const Bytes &a = h.before ? *before : none, &b = h.after ? *after : none;
    const std::size_t n = std::max(a.size(), b.size());
    auto differs = [&](std::size_t k) { return k >= a.size() || k >= b.size() || a[k] != b[k]; };
    auto slice = [](const Bytes& v, std::size_t from, std::size_t to) {
        return Bytes(v.begin() + static_cast<long>(std::min(from, v.size())), v.begin() + static_cast<long>(std::min(to, v.size())));
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (!differs(i)) continue;
        std::size_t last = i;
        for (std::size_t k = i + 1; k < n && k - last <= 8; ++k)
            if (differs(k)) last = k;
        h.runs.push_back({i, slice(a, i, last + 1), slice(b, i, last + 1)});
        i = last;
    }
    const Json change = changeJson(h, before, after);
    Json out = Json::object();
    putBytes(out, "name", name);
    out["kind"] = change["kind"];
    out["items"] = change["items"];
    return out;
}

std::vector<std::string> stagedWords(const gardhost::StagedChange& c) {
    const Json change = netChangeJson(c.name, c.existed ? &c.before : nullptr, c.exists ? &c.after : nullptr);
    std::vector<std::string> out;
    for (const Json& i : change["items"]) out.push_back(i["text"].get<std::string>());
    return out;
}

void addHistory(CLI::App& app) {
    auto f = std::make_shared<Filters>();
    auto unit = std::make_shared<std::string>(), since = std::make_shared<std::string>(),
         until = std::make_shared<std::string>();
    auto kinds = std::make_shared<std::vector<std::string>>();
    CLI::App* c = command(&app, "history",
                          "What changed the gard state, when, on which processor and by which program, newest "
                          "last, with the error logs committed by the same call; --html writes it as a page",
                          "gard history --unit 0x201 --since 2h");
    c->get_option("--sp")->description("Only what the processor at position 0 or 1 did (GARD_HOST_SP does not filter)");
    c->add_option("--unit", *unit, "Only changes of this unit: its unit-table entries, its record (0x200, 0x201), "
                                   "its stored error log and its platform values")
        ->type_name("UNIT");
    c->add_option("--kind", *kinds, "Only these kinds (repeat or separate by commas): unit, sp-record, "
                                    "stored-errl, gard-file, registry, platform, errlog")
        ->delimiter(',')
        ->type_name("KIND");
    c->add_option("--since", *since, "From this time on: 2026-12-07T21:36:14Z (UTC unless an offset is given), "
                                     "a date, now, or 90s, 10m, 2h, 3d, 1w ago")
        ->type_name("TIME");
    c->add_option("--until", *until, "Up to this time, in the same forms, the whole second (minute, day) given")
        ->type_name("TIME");
    c->add_flag("--all", f->all, "Also recorded changes that did not happen, or are not known to have happened");
    c->add_option("--html", f->html, "Write the history as one self-contained HTML page to this file")
        ->type_name("FILE");
    auto following = std::make_shared<bool>(false);
    c->add_flag("--follow", *following, "Go on: print each change as any process makes it (with --json one object "
                                        "a line), from now or from --since, until Ctrl-C");
    c->footer("Example: gard history --unit 0x201 --since 2h\n"
              "         gard --sp 1 history --kind sp-record,errlog   (--sp: only what sp1 did)\n"
              "         gard history --html /tmp/history.html\n"
              "         gard history --follow --json   (one JSON object a line, until Ctrl-C)");
    c->callback([=] {
        action() = [=] {
            Filters run = *f;
            if (!unit->empty()) run.unitGiven = true, run.unit = parseNumber(*unit, "unit id");
            // --sp names the processor whose changes to show; GARD_HOST_SP does not filter.
            if (opts().spGiven) run.sp = static_cast<int>(parseNumber(opts().spText, "--sp", 1));
            for (const std::string& k : *kinds) {
                if (std::find(historyKinds().begin(), historyKinds().end(), k) == historyKinds().end())
                    throw Usage("unknown kind '" + k +
                                "' (unit, sp-record, stored-errl, gard-file, registry, platform or errlog)");
                run.kinds.insert(k);
            }
            if (!since->empty()) run.since = parseTime(*since, "--since").first;
            if (!until->empty()) run.until = parseTime(*until, "--until").second;
            if (*following && !until->empty()) throw Usage("--follow goes on until Ctrl-C: it takes no --until");
            if (*following && !run.html.empty()) throw Usage("--follow prints as it goes: it writes no --html page");
            if (*following) return follow(run, !since->empty());
            return history(run);
        };
    });
}

}  // namespace gardcli
