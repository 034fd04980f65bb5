// The words for error logs. Every text lives in kWords; the code below only
// picks rows and fills in the user data.
#include "explain.h"

#include <cerrno>
#include <cstring>

#include "cli.h"

namespace gardcli {

namespace {

constexpr uint16_t kLibrary = 0xCA00;   // the library's component id
constexpr uint16_t kPlatform = 0xE000;  // the host platform's own failures
constexpr int kAny = -1;

enum class Kind {
    Log,        // a whole log the library made: the line itself
    Operation,  // what a module id (and, where it tells more, a progress code) stands for
    Step,       // a gard file step the library added to a platform failure
    Call,       // a platform call, by its reason code
    Cause,      // a platform failure's errno (user data word 4)
};

// Placeholders: {N} user-data word N in hex, {Nw} as 8 hex digits, {Nd} in decimal, {Nq} as a
// service-processor state, {Ns} as a unit state, {Nv} as a record-read
// result; {op} the operation, {ascii} the SRC text.
struct Row {
    Kind kind;
    uint16_t comp;
    int mod, reason, ud1, rc;
    const char* text;
};

constexpr Row kWords[] = {
    // Logs of the unit gard table (module 0x66 unit add, 0x67 unit set-state).
    {Kind::Log, kLibrary, 0x67, 0x0001, 0x2C, 1, "unit state change refused: manufacturing policy flag 2 is set, unit {2}"},
    // The full table reuses the state change's module id and progress code; only rc tells it apart.
    {Kind::Log, kLibrary, 0x67, 0x0001, 0x2C, kAny, "unit table update refused: table full, unit {2}"},
    {Kind::Log, kLibrary, 0x67, 0xCA11, 0x08, kAny, "unit state change refused: unit {2} is not in the unit table in this group"},
    {Kind::Log, kLibrary, 0x67, 0xCA01, 0x0E, kAny, "unit state changed: unit {2} group {3} is now {4s}"},
    // Logs of the service-processor state change (module 0x21) and mailbox failures (0x22).
    {Kind::Log, kLibrary, 0x21, 0xCA11, 1, kAny, "service-processor state change refused: unit {2} is not this processor, or this processor is not in role 1 (asked for {3q})"},
    {Kind::Log, kLibrary, 0x21, 0xCA07, 3, kAny, "service-processor state change stopped: the gard records could not be read cleanly ({4v}), unit {2}"},
    {Kind::Log, kLibrary, 0x21, 0xCA12, 2, kAny, "service-processor state change refused: {3q} is not allowed over a garded record or at system state 9, unit {2}"},
    {Kind::Log, kLibrary, 0x21, 0xCA11, 4, kAny, "service-processor state change refused: this processor's own unit {2} is absent"},
    {Kind::Log, kLibrary, 0x21, 0xCA15, 0x15, kAny, "service-processor clear refused: system state {3d} forbids clearing (asked for {2q})"},
    {Kind::Log, kLibrary, 0x21, 0xCA01, 0xD, kAny, "service processor {2} garded, state {3q}, failure word {4w}"},
    {Kind::Log, kLibrary, 0x21, 0xCA02, 0xD, kAny, "service processor {2} garded, state {3q}, failure word {4w}"},
    {Kind::Log, kLibrary, 0x22, 0xCA11, 4, kAny, "mailbox failure ignored: unit {2} is not a service processor (0x200 or 0x201), failure type {3d}"},
    // Gard file logs the library makes itself, with no platform call behind them.
    {Kind::Log, kLibrary, kAny, 0xCA06, 0, kAny, "gard file not open: {op} used a file that was never opened"},
    {Kind::Log, kLibrary, kAny, 0xCA06, kAny, kAny, "no gard file with id {1d}, operation {op}"},
    // The error log a caller hands in (the tool's own, module 0xe0), as stored per unit.
    {Kind::Log, kLibrary, 0xE0, 0x0000, kAny, kAny, "the caller's error log of the failure, SRC {ascii}"},

    {Kind::Operation, kLibrary, 0x21, kAny, kAny, kAny, "service-processor set-state"},
    {Kind::Operation, kLibrary, 0x22, kAny, kAny, kAny, "mailbox failure"},
    {Kind::Operation, kLibrary, 0x66, kAny, kAny, kAny, "unit add"},
    {Kind::Operation, kLibrary, 0x67, kAny, kAny, kAny, "unit set-state"},
    {Kind::Operation, kLibrary, 0x68, kAny, kAny, kAny, "unit table clear"},
    {Kind::Operation, kLibrary, 0x69, kAny, kAny, kAny, "unit table reset"},
    {Kind::Operation, kLibrary, 0x6A, kAny, kAny, kAny, "unit is-garded"},
    {Kind::Operation, kLibrary, 0x6B, kAny, kAny, kAny, "unit list"},
    // The stored error-log operations share module 0xd0; their progress codes tell them apart.
    {Kind::Operation, kLibrary, 0xD0, 0xCA06, 15, kAny, "stored error log store or read back"},
    {Kind::Operation, kLibrary, 0xD0, 0xCA06, 17, kAny, "stored error log clear"},
    {Kind::Operation, kLibrary, 0xD0, 0xCA07, 16, kAny, "stored error log store or read back"},
    {Kind::Operation, kLibrary, 0xD0, 0xCA07, 18, kAny, "stored error log clear"},
    {Kind::Operation, kLibrary, 0xD0, 0xCA08, 17, kAny, "stored error log store"},
    {Kind::Operation, kLibrary, 0xD0, 0xCA08, 19, kAny, "stored error log clear by port"},
    {Kind::Operation, kLibrary, 0xD0, 0xCA08, 20, kAny, "stored error log clear by unit"},
    {Kind::Operation, kLibrary, 0xD0, kAny, kAny, kAny, "stored error logs"},
    {Kind::Operation, kLibrary, 0xE0, kAny, kAny, kAny, "gard tool"},

    {Kind::Step, kLibrary, kAny, 0xCA06, kAny, kAny, "open failed"},
    {Kind::Step, kLibrary, kAny, 0xCA07, kAny, kAny, "read failed"},
    {Kind::Step, kLibrary, kAny, 0xCA08, kAny, kAny, "write failed"},
    {Kind::Step, kLibrary, kAny, 0xCA09, kAny, kAny, "close failed"},

    {Kind::Call, kPlatform, kAny, 0xE001, kAny, kAny, "file open"},
    {Kind::Call, kPlatform, kAny, 0xE002, kAny, kAny, "file close"},
    {Kind::Call, kPlatform, kAny, 0xE003, kAny, kAny, "file read"},
    {Kind::Call, kPlatform, kAny, 0xE004, kAny, kAny, "file write"},
    {Kind::Call, kPlatform, kAny, 0xE005, kAny, kAny, "file seek"},
    {Kind::Call, kPlatform, kAny, 0xE006, kAny, kAny, "file existence check"},
    {Kind::Call, kPlatform, kAny, 0xE010, kAny, kAny, "registry read"},
    {Kind::Call, kPlatform, kAny, 0xE011, kAny, kAny, "registry path look-up"},
    {Kind::Call, kPlatform, kAny, 0xE020, kAny, kAny, "directory creation"},
    {Kind::Call, kPlatform, kAny, 0xE030, kAny, kAny, "VPD presence query"},
    {Kind::Call, kPlatform, kAny, 0xE031, kAny, kAny, "VPD gard keyword read"},
    {Kind::Call, kPlatform, kAny, 0xE032, kAny, kAny, "VPD gard keyword write"},
    {Kind::Call, kPlatform, kAny, 0xE040, kAny, kAny, "redundancy manager's gard of the backup"},
    {Kind::Call, kPlatform, kAny, 0xE041, kAny, kAny, "redundancy manager's ungard of the backup"},
    {Kind::Call, kPlatform, kAny, 0xE042, kAny, kAny, "redundancy manager's sibling power-on reset"},
    {Kind::Call, kPlatform, kAny, 0xE050, kAny, kAny, "gard policy query"},
    {Kind::Call, kPlatform, kAny, 0xE051, kAny, kAny, "functional DMA path check"},
    {Kind::Call, kPlatform, kAny, 0xE052, kAny, kAny, "DMA path deconfiguration"},
    {Kind::Call, kPlatform, kAny, 0xE053, kAny, kAny, "VPD port look-up"},
    {Kind::Call, kPlatform, kAny, 0xE060, kAny, kAny, "unit id look-up"},
    {Kind::Call, kPlatform, kAny, 0xE070, kAny, kAny, "manufacturing policy flag query"},
    {Kind::Call, kPlatform, kAny, 0xE080, kAny, kAny, "error log flatten"},
    {Kind::Call, kPlatform, kAny, 0xE081, kAny, kAny, "error log unflatten"},
    {Kind::Call, kPlatform, kAny, 0xE082, kAny, kAny, "error log SRC look-up"},
    {Kind::Call, kPlatform, kAny, 0xE083, kAny, kAny, "error log allocation"},
    {Kind::Call, kPlatform, kAny, 0xE0FF, kAny, kAny, "platform call"},

    // errno values the host platform gives a meaning of its own, or that say
    // more in other words; any other errno is said as the C library says it
    // (EACCES "permission denied", EROFS "read-only file system").
    {Kind::Cause, kPlatform, kAny, 0, kAny, kAny, "injected fault"},
    {Kind::Cause, kPlatform, kAny, ENODATA, kAny, kAny, "short file"},
    {Kind::Cause, kPlatform, kAny, ENOENT, kAny, kAny, "missing"},
    {Kind::Cause, kPlatform, kAny, EIO, kAny, kAny, "I/O error"},
    {Kind::Cause, kPlatform, kAny, ENOSPC, kAny, kAny, "disk full"},
    {Kind::Cause, kPlatform, kAny, EFAULT, kAny, kAny, "no buffer given"},
    {Kind::Cause, kPlatform, kAny, EOVERFLOW, kAny, kAny, "longer than 64 bytes"},
};

// A SRC's fields as the JSON forms carry them.
struct Src {
    uint16_t comp = 0;
    uint8_t srciType = 0;
    uint8_t mod = 0;
    uint16_t reason = 0;
    uint32_t ud[4] = {0, 0, 0, 0};
    std::string ascii;
};

Src srcOf(const Json& s) {
    Src out;
    out.comp = s.value("compId", uint16_t{0});
    out.srciType = s.value("srciType", uint8_t{0});
    out.mod = s.value("modId", uint8_t{0});
    out.reason = s.value("reasonCode", uint16_t{0});
    if (s.contains("userData") && s["userData"].is_array())
        for (std::size_t i = 0; i < 4 && i < s["userData"].size(); ++i) out.ud[i] = s["userData"][i].get<uint32_t>();
    out.ascii = srcText(s);
    return out;
}

bool fits(int want, long have) { return want == kAny || want == have; }

const Row* find(Kind kind, uint16_t comp, int mod, int reason, int ud1 = kAny, long rc = 0) {
    for (const Row& r : kWords)
        if (r.kind == kind && r.comp == comp && fits(r.mod, mod) && fits(r.reason, reason) &&
            fits(r.ud1, ud1) && fits(r.rc, rc))
            return &r;
    return nullptr;
}

std::string operation(uint8_t mod, int reason = kAny, int ud1 = kAny) {
    const Row* r = find(Kind::Operation, kLibrary, mod, reason, ud1);
    return r != nullptr ? r->text : "module " + hex(mod);
}

std::string fill(const char* text, const Src& s) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const char* close = *p == '{' ? std::strchr(p, '}') : nullptr;
        if (close == nullptr) {
            out += *p;
            continue;
        }
        std::string key(p + 1, close);
        p = close;
        if (key == "op") {
            out += operation(s.mod, s.reason, static_cast<int>(s.ud[0]));
        } else if (key == "ascii") {
            out += s.ascii.empty() ? "(none)" : s.ascii;
        } else {
            uint32_t v = s.ud[(key[0] - '1') & 3];
            char how = key.size() > 1 ? key[1] : 'x';
            if (how == 'd') out += std::to_string(v);
            else if (how == 'q') out += qelStateName(v) + " (" + hex(v) + ")";
            else if (how == 's') out += unitStateName(v) + " (" + hex(v) + ")";
            else if (how == 'v') out += vpdResultName(v) + " (" + std::to_string(v) + ")";
            else if (how == 'w') out += hex(v, 8);
            else out += hex(v);
        }
    }
    return out;
}

// The platform puts its call's target in user data 1 to 3: a number as
// itself, a name as up to 12 characters, four to a word.
std::string target(const Src& s) {
    std::string text;
    for (int i = 0; i < 12; ++i) {
        auto c = static_cast<unsigned char>(s.ud[i / 4] >> (24 - 8 * (i % 4)));
        if (c == 0) break;
        if (c < 0x20 || c > 0x7E) return s.ud[0] == 0 && s.ud[1] == 0 ? "" : hex(s.ud[0]);
        text += static_cast<char>(c);
    }
    if (text.empty()) return s.ud[0] == 0 ? "" : hex(s.ud[0]);
    return text;
}

std::string cause(uint32_t err) {
    const Row* r = find(Kind::Cause, kPlatform, kAny, static_cast<int>(err));
    return r != nullptr ? r->text : errnoWords(static_cast<int>(err));
}

std::string raw(const Src& s) {
    std::string out = "component " + hex(s.comp) + " module " + hex(s.mod) + " reason " + hex(s.reason) + ", user data";
    for (uint32_t u : s.ud) out += " " + hex(u);
    return out;
}

// A platform failure, with the gard file step the library added on top.
std::string platformFailure(const Src& p, const std::vector<Src>& added, bool& known) {
    const Row* call = find(Kind::Call, kPlatform, kAny, p.reason);
    known = call != nullptr;
    std::string what = call != nullptr ? call->text : "platform call " + hex(p.reason);
    std::string on = target(p);
    std::string why = cause(p.ud[3]);
    const Src* step = nullptr;
    bool creating = false;
    for (const Src& a : added) {
        if (a.comp != kLibrary || find(Kind::Step, kLibrary, a.mod, a.reason) == nullptr) continue;
        if (step == nullptr) step = &a;
        else creating = creating || (step->reason == 0xCA08 && a.reason == 0xCA06);
    }
    if (step == nullptr) return what + " failed" + (on.empty() ? "" : " for " + on) + " (" + why + ")";
    // A new file's zero-fill write carries the open's progress code.
    std::string op = creating ? operation(step->mod, 0xCA06, static_cast<int>(step->ud[0]))
                              : operation(step->mod, step->reason, static_cast<int>(step->ud[0]));
    std::string did = creating ? "creating it failed" : find(Kind::Step, kLibrary, step->mod, step->reason)->text;
    if ((p.reason & 0xFFF0) == 0xE000 && !on.empty())  // a UtilFile call names the file
        return "gard file " + on + ": " + did + " (" + why + "), operation " + op;
    return "gard file: " + did + ", " + what + (on.empty() ? "" : " of " + on) + " failed (" + why +
           "), operation " + op;
}

}  // namespace

std::string explainErrl(const Json& errl, bool* known) {
    bool ok = false;
    std::string text;
    std::vector<Src> srcs;
    if (errl.contains("srcs") && errl["srcs"].is_array())
        for (const Json& s : errl["srcs"]) srcs.push_back(srcOf(s));
    if (srcs.empty()) {
        text = "an error log without SRCs";
    } else if (srcs[0].comp == kPlatform) {
        text = platformFailure(srcs[0], {srcs.begin() + 1, srcs.end()}, ok);
    } else {
        const Src& s = srcs[0];
        const Row* r = s.comp == kLibrary ? find(Kind::Log, kLibrary, s.mod, s.reason,
                                                 static_cast<int>(s.ud[0]), errl.value("rc", 0L))
                                          : nullptr;
        ok = r != nullptr;
        text = ok ? fill(r->text, s)
                  : (s.comp == kLibrary && moduleHasWords(s.mod) ? operation(s.mod) + ": " : "") + raw(s);
    }
    if (known != nullptr) *known = ok;
    return text;
}

bool reasonHasWords(uint16_t compId, uint16_t reason) {
    for (const Row& r : kWords)
        if ((r.kind == Kind::Log || r.kind == Kind::Step || r.kind == Kind::Call) && r.comp == compId &&
            r.reason == reason)
            return true;
    return false;
}

bool moduleHasWords(uint8_t modId) { return find(Kind::Operation, kLibrary, modId, kAny) != nullptr; }

}  // namespace gardcli
