// Error-log entries: SRCs, the live count, the commit log, and the
// flattened form the stored error-log file keeps.
#include "platform/errl.h"

#include <algorithm>
#include <cctype>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <new>
#include <time.h>
#include <unistd.h>
#include <sstream>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace {

std::atomic<long> g_live{0};

// Flattened form, big-endian:
//   0 magic "GERL", 4 version, 6 SRC count, 8 total length (CRC included),
//   12 severity, event type, term state, 0, 16 rc, 20 detail length,
//   24 the SRCs (32 bytes each, then their custom text), the detail bytes,
//   and a CRC-32 of everything before it.
constexpr uint32_t kMagic = 0x4745524C;
constexpr uint16_t kVersion = 1;
constexpr std::size_t kHeader = 24;
constexpr std::size_t kSrcFixed = 32;
constexpr std::size_t kCrc = 4;
constexpr uint8_t kGardFlag = 1, kCustomFlag = 2;

// The flattened form is this component's own: its big-endian fields are
// written and read here, `width` bytes at a time.
void putBe(unsigned char* p, uint32_t v, int width) {
    for (int k = width - 1; k >= 0; --k, v >>= 8) p[k] = static_cast<unsigned char>(v);
}
uint32_t getBe(const unsigned char* p, int width) {
    uint32_t v = 0;
    for (int k = 0; k < width; ++k) v = (v << 8) | p[k];
    return v;
}

// A custom text without its NUL tail; an SRC with the default text stores none.
std::string customText(const SrciSrc& s) {
    if (!s.hasCustomAscii()) return {};
    SrciSrc copy = s;
    return copy.getAsciiString();
}

enum : int {
    kOk = 0,
    kInjected = 1,
    kNoBuffer = 2,
    kTooSmall = 3,
    kBadMagic = 4,
    kBadVersion = 5,
    kBadLength = 6,
    kBadCrc = 7,
    kMalformed = 8,
    kTooMany = 9,
};

// Upper-case hex of at least `width` digits, as "%0*X" prints it.
void appendHex(std::string& out, uint32_t v, int width) {
    char text[8];
    int n = 0;
    do {
        text[7 - n++] = "0123456789ABCDEF"[v & 15];
        v >>= 4;
    } while (v != 0 || n < width);
    out.append(text + 8 - n, static_cast<std::size_t>(n));
}

// The committed line is written on every commit: built without printf.
class Line {
public:
    Line& hex(const char* key, uint32_t v, int width) {
        out += key;
        appendHex(out, v, width);
        return *this;
    }
    Line& dec(const char* key, std::size_t v) {
        out += key;
        out += std::to_string(v);
        return *this;
    }
    // A torn line (its writer killed, or cut off by a power loss) is told by its checksum.
    Line& seal() {
        return hex(" | crc=", gardhost::detail::crc32(reinterpret_cast<const unsigned char*>(out.data()), out.size()), 8);
    }
    std::string out;
};

}  // namespace

// ---- SRC

const char* SrciSrc::getAsciiString() {
    if (!customAscii_) {
        ascii_.clear();
        appendHex(ascii_, srciType, 2);
        appendHex(ascii_, modId, 2);
        appendHex(ascii_, reasonCode, 4);
        ascii_.resize(32, ' ');
    }
    return ascii_.c_str();
}

void SrciSrc::setAsciiString(const std::string& text) {
    ascii_ = text;
    customAscii_ = true;
}

// ---- entry

void* ErrlBase::operator new(std::size_t size) {
    void* p = std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// The one allocation that can be made to fail: the library copes with its
// null, where the throwing form has nothing to give back.
void* ErrlBase::operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (gardhost::detail::enter("ErrlBase::operator new", {}, gardhost::detail::args("size=%u", size)))
        return nullptr;
    return std::malloc(size);
}

void ErrlBase::operator delete(void* p) { std::free(p); }
void ErrlBase::operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

ErrlEntry::ErrlEntry() { ++g_live; }

ErrlEntry::ErrlEntry(const ErrlEntry& other)
    : ErrlBase(),
      severity_(other.severity_),
      eventType_(other.eventType_),
      termState_(other.termState_),
      rc_(other.rc_),
      srcs_(other.srcs_),
      detail_(other.detail_) {
    ++g_live;
}

ErrlEntry::ErrlEntry(uint16_t compId, uint8_t severity, uint8_t eventType, uint8_t srciType,
                     uint32_t word, uint8_t modId, uint16_t serviceCodes, uint16_t reasonCode,
                     uint32_t ud1, uint32_t ud2, uint32_t ud3, uint32_t ud4, uint8_t epubSubSystem,
                     uint8_t srciTermState)
    : severity_(severity), eventType_(eventType), termState_(srciTermState) {
    ++g_live;
    addSRC(compId, srciType, word, modId, serviceCodes, reasonCode, ud1, ud2, ud3, ud4,
           epubSubSystem);
}

ErrlEntry::~ErrlEntry() { --g_live; }

void ErrlEntry::addSRC(uint16_t compId, uint8_t srciType, uint32_t word, uint8_t modId,
                       uint16_t serviceCodes, uint16_t reasonCode, uint32_t ud1, uint32_t ud2,
                       uint32_t ud3, uint32_t ud4, uint8_t epubSubSystem) {
    SrciSrc s;
    s.compId = compId;
    s.srciType = srciType;
    s.word = word;
    s.modId = modId;
    s.serviceCodes = serviceCodes;
    s.reasonCode = reasonCode;
    s.ud[0] = ud1;
    s.ud[1] = ud2;
    s.ud[2] = ud3;
    s.ud[3] = ud4;
    s.epubSubSystem = epubSubSystem;
    srcs_.push_back(s);
}

SrciSrc* ErrlEntry::getSRC(unsigned int index) {
    if (gardhost::detail::enter("ErrlEntry::getSRC", {}, gardhost::detail::args("%u", index))) return nullptr;
    return index < srcs_.size() ? &srcs_[index] : nullptr;
}

// One line per commit, key=value fields; the SRCs follow, each after " | ".
void ErrlEntry::commit(uint16_t compId, uint32_t actions) {
    gardhost::detail::enter("ErrlEntry::commit", {},
                            gardhost::detail::args("comp=%04X actions=%04X", compId, actions), false);
    Line line;
    line.out.reserve(160 + 260 * srcs_.size());
    line.hex("comp=", compId, 4).hex(" actions=", actions, 4).hex(" severity=", severity_, 2);
    line.hex(" event=", eventType_, 2).hex(" term=", termState_, 2).hex(" rc=", rc_, 8);
    line.out += " sp=" + std::to_string(gardhost::position());
    // When, where and by which program: read beside the change history.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int pid = gardhost::detail::processId();
    line.dec(" t=", static_cast<std::size_t>(now.tv_sec) * 1000000u + static_cast<std::size_t>(now.tv_nsec) / 1000u);
    line.out += " prog=" + gardhost::detail::hexText(program_invocation_short_name);
    line.dec(" pid=", static_cast<std::size_t>(pid)).dec(" call=", static_cast<std::size_t>(pid));
    line.dec(".", gardhost::detail::lockNumber());
    line.dec(" detail=", detail_.size()).dec(" srcs=", srcs_.size());
    for (SrciSrc& s : srcs_) {
        line.hex(" | comp=", s.compId, 4).hex(" type=", s.srciType, 2).hex(" word=", s.word, 8);
        line.hex(" mod=", s.modId, 2).hex(" svc=", s.serviceCodes, 4).hex(" reason=", s.reasonCode, 4);
        line.hex(" ud=", s.ud[0], 8).hex(",", s.ud[1], 8).hex(",", s.ud[2], 8).hex(",", s.ud[3], 8);
        line.hex(" sub=", s.epubSubSystem, 2).dec(" gard=", s.gardBit ? 1 : 0);
        line.dec(" custom=", s.hasCustomAscii() ? 1 : 0);
        line.out += " ascii=";
        line.out += gardhost::detail::hexText(s.getAsciiString());
    }
    // A part of the call's journal record, which places and seals it: made
    // durable with the call's changes, by the same flush.
    gardhost::detail::commitLog(std::move(line.out));
}

std::size_t ErrlEntry::flatSize() const {
    std::size_t n = kHeader + detail_.size() + kCrc;
    for (const SrciSrc& s : srcs_) n += kSrcFixed + customText(s).size();
    return n;
}

void ErrlEntry::prune(std::size_t size) {
    gardhost::detail::enter("ErrlEntry::prune", {}, gardhost::detail::args("%u", size), false);
    for (std::size_t now = flatSize(); now > size; now = flatSize()) {
        std::size_t excess = now - size;
        if (!detail_.empty()) {
            detail_.resize(detail_.size() > excess ? detail_.size() - excess : 0);
        } else if (srcs_.size() > 1) {
            srcs_.pop_back();
        } else if (!srcs_.empty() && !customText(srcs_[0]).empty()) {
            std::string text = customText(srcs_[0]);
            srcs_[0].setAsciiString(text.substr(0, text.size() > excess ? text.size() - excess : 0));
        } else {
            break;  // header and one plain SRC: nothing left to drop
        }
    }
}

int ErrlEntry::flatten(void* buffer, std::size_t size) const {
    if (gardhost::detail::enter("ErrlEntry::flatten", {}, gardhost::detail::args("%u", size))) return kInjected;
    if (buffer == nullptr) return kNoBuffer;
    const std::size_t total = flatSize();
    if (total > size) return kTooSmall;
    if (srcs_.size() > 0xFFFF || total > 0xFFFFFFFFu) return kTooMany;
    std::vector<unsigned char> out(total);
    unsigned char* p = out.data();
    putBe(p, kMagic, 4);
    putBe(p + 4, kVersion, 2);
    putBe(p + 6, static_cast<uint16_t>(srcs_.size()), 2);
    putBe(p + 8, static_cast<uint32_t>(total), 4);
    p[12] = severity_;
    p[13] = eventType_;
    p[14] = termState_;
    p[15] = 0;
    putBe(p + 16, rc_, 4);
    putBe(p + 20, static_cast<uint32_t>(detail_.size()), 4);
    p += kHeader;
    for (const SrciSrc& s : srcs_) {
        std::string text = customText(s);
        if (text.size() > 0xFFFF) return kTooMany;
        putBe(p, s.compId, 2);
        p[2] = s.srciType;
        p[3] = s.modId;
        putBe(p + 4, s.word, 4);
        putBe(p + 8, s.serviceCodes, 2);
        putBe(p + 10, s.reasonCode, 2);
        for (int i = 0; i < 4; ++i) putBe(p + 12 + 4 * i, s.ud[i], 4);
        p[28] = s.epubSubSystem;
        p[29] = static_cast<unsigned char>((s.gardBit ? kGardFlag : 0) |
                                           (s.hasCustomAscii() ? kCustomFlag : 0));
        putBe(p + 30, static_cast<uint16_t>(text.size()), 2);
        p += kSrcFixed;
        std::copy(text.begin(), text.end(), p);
        p += text.size();
    }
    std::copy(detail_.begin(), detail_.end(), p);
    p += detail_.size();
    putBe(p, gardhost::detail::crc32(out.data(), total - kCrc), 4);
    std::copy(out.begin(), out.end(), static_cast<unsigned char*>(buffer));
    return kOk;
}

int ErrlEntry::unflatten(const void* buffer, std::size_t size) {
    severity_ = eventType_ = termState_ = 0;
    rc_ = 0;
    srcs_.clear();
    detail_.clear();
    if (gardhost::detail::enter("ErrlEntry::unflatten", {}, gardhost::detail::args("%u", size))) return kInjected;
    if (buffer == nullptr) return kNoBuffer;
    const auto* in = static_cast<const unsigned char*>(buffer);
    if (size < kHeader + kCrc) return kTooSmall;
    if (getBe(in, 4) != kMagic) return kBadMagic;
    if (getBe(in + 4, 2) != kVersion) return kBadVersion;
    const std::size_t total = getBe(in + 8, 4);
    if (total < kHeader + kCrc || total > size) return kBadLength;
    const std::size_t bodyEnd = total - kCrc;
    if (getBe(in + bodyEnd, 4) != gardhost::detail::crc32(in, bodyEnd)) return kBadCrc;

    std::vector<SrciSrc> srcs(getBe(in + 6, 2));
    std::size_t at = kHeader;
    for (SrciSrc& s : srcs) {
        if (bodyEnd - at < kSrcFixed) return kMalformed;
        const unsigned char* p = in + at;
        s.compId = static_cast<uint16_t>(getBe(p, 2));
        s.srciType = p[2];
        s.modId = p[3];
        s.word = getBe(p + 4, 4);
        s.serviceCodes = static_cast<uint16_t>(getBe(p + 8, 2));
        s.reasonCode = static_cast<uint16_t>(getBe(p + 10, 2));
        for (int i = 0; i < 4; ++i) s.ud[i] = getBe(p + 12 + 4 * i, 4);
        s.epubSubSystem = p[28];
        s.gardBit = (p[29] & kGardFlag) != 0;
        std::size_t textLen = getBe(p + 30, 2);
        at += kSrcFixed;
        if (bodyEnd - at < textLen) return kMalformed;
        if ((p[29] & kCustomFlag) != 0)
            s.setAsciiString(std::string(reinterpret_cast<const char*>(in + at), textLen));
        else if (textLen != 0)
            return kMalformed;
        at += textLen;
    }
    const std::size_t detailLen = getBe(in + 20, 4);
    if (bodyEnd - at != detailLen) return kMalformed;

    severity_ = in[12];
    eventType_ = in[13];
    termState_ = in[14];
    rc_ = getBe(in + 16, 4);
    srcs_ = std::move(srcs);
    detail_.assign(in + at, in + bodyEnd);
    return kOk;
}

// ---- host control

namespace gardhost {

long liveErrls() { return g_live.load(); }

namespace {

// Whether `line` ends in " | crc=X", X the CRC-32 of what comes before it.
bool crcMatches(const std::string& line) {
    const std::size_t at = line.rfind(" | crc=");
    return at != std::string::npos && line.size() == at + 15 &&
           std::strtoul(line.c_str() + at + 7, nullptr, 16) ==
               detail::crc32(reinterpret_cast<const unsigned char*>(line.data()), at);
}

// A field as this log writes them: a known key, a value of hex digits (and
// the dots and commas of "j" and "ud"), nothing else.
bool cleanField(const std::string& key, const std::string& val) {
    static const char* const kKeys[] = {"comp", "actions", "severity", "event", "term", "rc",    "sp",
                                        "t",    "prog",    "pid",      "call",  "j",    "detail", "srcs",
                                        "type", "word",    "mod",      "svc",   "reason", "ud",   "sub",
                                        "gard", "custom",  "ascii"};
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) return false;
    return (!val.empty() || key == "ascii" || key == "prog") &&
           std::all_of(val.begin(), val.end(), [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)) || ch == '.' || ch == ','; });
}

// One committed line: "comp=... srcs=N | <SRC> | ... | crc=X". A line with
// a checksum must match it; an older one without (logs from before times
// were kept) must carry its header, no time, at least one SRC and nothing
// but clean fields. Anything else (blank, junk, torn) is no error log.
bool parseCommitted(const std::string& line, Committed& c) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        std::size_t bar = line.find(" | ", start);
        parts.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 3;
    }
    bool sealed = false;
    if (parts.back().rfind("crc=", 0) == 0) {
        if (!crcMatches(line)) return false;
        parts.pop_back();
        sealed = true;
    }
    c = Committed{};
    std::size_t srcCount = 0;
    bool header = false;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        SrciSrc s;
        bool custom = false, hasAscii = false;
        std::string ascii;
        std::istringstream fields(parts[i]);
        std::string field;
        while (fields >> field) {
            std::size_t eq = field.find('=');
            if (eq == std::string::npos) return false;
            std::string key = field.substr(0, eq), val = field.substr(eq + 1);
            if (!sealed && !cleanField(key, val)) return false;
            auto num = [&] { return static_cast<uint32_t>(std::strtoul(val.c_str(), nullptr, 16)); };
            auto dec = [&] { return std::strtoull(val.c_str(), nullptr, 10); };
            if (i == 0) {
                if (key == "comp") header = true, c.compId = static_cast<uint16_t>(num());
                else if (key == "actions") c.actions = num();
                else if (key == "severity") c.severity = static_cast<uint8_t>(num());
                else if (key == "event") c.eventType = static_cast<uint8_t>(num());
                else if (key == "rc") c.rc = num();
                else if (key == "sp") c.sp = static_cast<int>(dec());
                else if (key == "t") c.time = dec();
                else if (key == "prog") c.program = detail::unhexText(val);
                else if (key == "pid") c.pid = static_cast<int>(dec());
                else if (key == "call") c.call = val;
                else if (key == "j") {
                    const std::size_t dot = val.find('.');
                    c.seq = std::strtoull(val.c_str(), nullptr, 10);
                    c.part = dot == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(val.c_str() + dot + 1, nullptr, 10));
                }
                else if (key == "srcs") srcCount = dec();
                continue;
            }
            if (key == "comp") s.compId = static_cast<uint16_t>(num());
            else if (key == "type") s.srciType = static_cast<uint8_t>(num());
            else if (key == "word") s.word = num();
            else if (key == "mod") s.modId = static_cast<uint8_t>(num());
            else if (key == "svc") s.serviceCodes = static_cast<uint16_t>(num());
            else if (key == "reason") s.reasonCode = static_cast<uint16_t>(num());
            else if (key == "sub") s.epubSubSystem = static_cast<uint8_t>(num());
            else if (key == "gard") s.gardBit = num() != 0;
            else if (key == "custom") custom = num() != 0;
            else if (key == "ascii") hasAscii = true, ascii = detail::unhexText(val);
            else if (key == "ud") {
                std::istringstream words(val);
                std::string w;
                for (int k = 0; k < 4 && std::getline(words, w, ','); ++k)
                    s.ud[k] = static_cast<uint32_t>(std::strtoul(w.c_str(), nullptr, 16));
            }
        }
        if (i == 0) continue;
        if (!hasAscii) return false;  // an SRC cut short
        // A default text is left to be made from the fields, as on the entry.
        if (custom) s.setAsciiString(ascii);
        c.srcs.push_back(s);
    }
    // Only logs from before times were kept go without a checksum: a line
    // with a time is one cut short just before its checksum.
    return header && srcCount == c.srcs.size() && (sealed || (c.time == 0 && c.seq == 0 && srcCount != 0));
}

// What a run of committed lines holds: its logs (kept when `logs` is set),
// and, in the older part, how many were dropped before them.
struct Lines {
    std::vector<Committed>* logs = nullptr;
    uint64_t count = 0;
    uint64_t dropped = 0;
};

void readLines(const std::vector<uint8_t>& bytes, std::size_t from, Lines& into, bool older) {
    Committed c;
    for (std::size_t start = from; start < bytes.size();) {
        const auto* nl = static_cast<const uint8_t*>(std::memchr(bytes.data() + start, '\n', bytes.size() - start));
        const std::size_t end = nl != nullptr ? static_cast<std::size_t>(nl - bytes.data()) : bytes.size();
        const std::string line(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(end));
        start = end + 1;
        if (line.rfind("dropped=", 0) == 0) {
            // The last one counts: a rotation cut short may have left one before it.
            if (older && crcMatches(line)) into.dropped = std::strtoull(line.c_str() + 8, nullptr, 10);
        } else if (parseCommitted(line, c)) {
            ++into.count;
            if (into.logs != nullptr) into.logs->push_back(std::move(c));
        }
    }
}

constexpr const char* kNow = "errl/committed";
constexpr const char* kOlder = "errl/committed.1";

// Both parts through the values' cache: the older one, then the one appended to.
Lines readBoth(std::vector<Committed>* logs) {
    Lines all{logs};
    std::vector<uint8_t> bytes;
    if (getValue(kOlder, bytes)) readLines(bytes, 0, all, true);
    if (getValue(kNow, bytes)) readLines(bytes, 0, all, false);
    return all;
}

// Numbers the last logs of `logs`, from `first` on, as the last of `last` ever committed.
void number(std::vector<Committed>& logs, uint64_t last) {
    for (std::size_t i = logs.size(); i-- > 0; --last) logs[i].number = last;
}

// A state file's inode and the bytes from `from` on (none when it is not there).
struct Tail {
    uint64_t file = 0;
    std::vector<uint8_t> bytes;
};
Tail tailOf(const char* name, uint64_t file, uint64_t from) {
    Tail t;
    const int fd = detail::openIn(name, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    if (fd < 0) return t;
    if (detail::fstatQuiet(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        t.file = st.st_ino;
        // Another file at that name since: all of it.
        off_t at = t.file == file ? static_cast<off_t>(std::min<uint64_t>(from, st.st_size)) : 0;
        t.bytes.resize(static_cast<std::size_t>(st.st_size - at));
        std::size_t got = 0;
        for (ssize_t n; got < t.bytes.size() && (n = ::pread(fd, t.bytes.data() + got, t.bytes.size() - got,
                                                           at + static_cast<off_t>(got))) > 0;)
            got += static_cast<std::size_t>(n);
        t.bytes.resize(got);
    }
    ::close(fd);
    return t;
}

// The logs this process's call under way committed, not yet in the file:
// they come after it.
uint64_t addStaged(std::vector<Committed>* logs) {
    uint64_t n = 0;
    for (const std::string& line : detail::stagedLogs()) {
        Committed c;
        if (!parseCommitted(line, c)) continue;
        ++n;
        if (logs != nullptr) logs->push_back(std::move(c));
    }
    return n;
}

}  // namespace

bool detail::parseCommittedLine(std::string_view line, Committed& out) { return parseCommitted(std::string(line), out); }

std::vector<Committed> committed() {
    std::vector<Committed> out;
    const Lines all = readBoth(&out);
    const uint64_t staged = addStaged(&out);
    number(out, all.dropped + all.count + staged);
    return out;
}

CommittedMark committedEnd() {
    detail::stateRoot();
    CommittedMark m;
    struct stat st {};
    const int root = detail::rootFd();
    if (detail::fstatatQuiet(root, kNow, &st, AT_SYMLINK_NOFOLLOW) == 0) m.file = st.st_ino, m.size = static_cast<uint64_t>(st.st_size);
    if (detail::fstatatQuiet(root, kOlder, &st, AT_SYMLINK_NOFOLLOW) == 0) m.older = st.st_ino;
    return m;
}

std::vector<Committed> committedSince(const CommittedMark& mark) {
    detail::stateRoot();
    std::vector<Committed> out;
    Lines tail{&out};
    const Tail now = tailOf(kNow, mark.file, mark.size);
    if (now.file != mark.file || mark.file == 0) {
        // Rotated since: the rest of the part the mark was in, unless that is
        // the older part the mark already knew.
        const Tail older = tailOf(kOlder, mark.file, mark.size);
        if (older.file != 0 && older.file != mark.older) readLines(older.bytes, 0, tail, false);
    }
    readLines(now.bytes, 0, tail, false);
    const uint64_t staged = addStaged(&out);
    // They are the newest: numbered back from the count of all.
    if (!out.empty()) {
        const Lines all = readBoth(nullptr);
        number(out, all.dropped + all.count + staged);
    }
    return out;
}

void clearCommitted() {
    eraseValue(kOlder);
    eraseValue(kNow);
    // Durable at once: the journal's logs since its last checkpoint are
    // put back only into a file that lacks them.
    if (detail::syncOn()) detail::syncDirOf(kNow);
}

}  // namespace gardhost

namespace gardhost::detail {

// The committed logs are kept to a bound like a real error-log repository:
// GARD_HOST_ERRL_MAX bytes (default 1 MiB) for the part appended to, as much
// for the older part. The part that replaces the older one says how many
// logs were dropped before its own.
const Rotation& committedRotation() {
    static const Rotation r{
        byteLimit("GARD_HOST_ERRL_MAX", 1 << 20), [] {
            std::vector<uint8_t> bytes;
            Lines older;
            if (readWhole(kOlder, bytes) == 0) readLines(bytes, 0, older, true);
            if (older.count + older.dropped == 0) return std::string();
            Line line;
            line.dec("dropped=", older.count + older.dropped);
            return line.seal().out;
        }};
    return r;
}

}  // namespace gardhost::detail
