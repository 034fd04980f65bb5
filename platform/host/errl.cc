// Error-log entries: SRCs, the live count, the commit log, and the
// flattened form the stored error-log file keeps.
#include "platform/errl.h"

#include <array>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
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

#if defined(__x86_64__)
#define GARD_CLMUL __attribute__((target("pclmul,sse4.1")))

GARD_CLMUL __m128i load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// x carried 128 bits on by the constants k, plus the next block.
GARD_CLMUL __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), next),
                         _mm_clmulepi64_si128(x, k, 0x00));
}

// CRC-32 of whole 16-byte blocks (at least four) by carry-less multiply
// folding; `crc` is the running (inverted) value. Constants for the
// reflected polynomial 0xEDB88320: x^(4*128+32), x^(4*128-32),
// x^(128+32), x^(128-32), x^64 mod P, then P and its Barrett quotient.
GARD_CLMUL uint32_t crcFold(const unsigned char* p, std::size_t n, uint32_t crc) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    x1 = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
    for (; n >= 16; p += 16, n -= 16) x1 = fold(x1, k3k4, load(p));
    // 128 bits to 64, to 32, then the Barrett reduction.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), _mm_srli_si128(x1, 4));
    __m128i x = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    x = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x), 1));
}
#endif

// CRC-32 (reflected, 0xEDB88320): a stored log is checked on every read of
// it, so long runs go through the folding above where the processor has it.
uint32_t crc32(const unsigned char* p, std::size_t n) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
#if defined(__x86_64__)
    static const bool folding = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    if (folding && n >= 64) {
        const std::size_t blocks = n & ~std::size_t{15};
        c = crcFold(p, blocks, c);
        p += blocks;
        n -= blocks;
    }
#endif
    for (; n > 0; --n, ++p) c = table[(c ^ *p) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
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
    // Durable before the commit returns: the log of an acknowledged change
    // must survive a power cut.
    gardhost::detail::appendValue("errl/committed", line.out, true);
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
    putBe(p, crc32(out.data(), total - kCrc), 4);
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
    if (getBe(in + bodyEnd, 4) != crc32(in, bodyEnd)) return kBadCrc;

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

std::vector<Committed> committed() {
    std::vector<Committed> out;
    std::vector<uint8_t> bytes;
    if (!getValue("errl/committed", bytes)) return out;
    std::istringstream lines(std::string(bytes.begin(), bytes.end()));
    std::string line;
    while (std::getline(lines, line)) {
        Committed c{};
        bool first = true;
        std::size_t start = 0;
        while (start <= line.size()) {
            std::size_t bar = line.find(" | ", start);
            std::string part = line.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
            start = bar == std::string::npos ? line.size() + 1 : bar + 3;
            SrciSrc s;
            bool custom = false;
            std::string ascii;
            std::istringstream fields(part);
            std::string field;
            while (fields >> field) {
                std::size_t eq = field.find('=');
                if (eq == std::string::npos) continue;
                std::string key = field.substr(0, eq), val = field.substr(eq + 1);
                auto num = [&] { return static_cast<uint32_t>(std::strtoul(val.c_str(), nullptr, 16)); };
                if (first) {
                    if (key == "comp") c.compId = static_cast<uint16_t>(num());
                    else if (key == "actions") c.actions = num();
                    else if (key == "severity") c.severity = static_cast<uint8_t>(num());
                    else if (key == "event") c.eventType = static_cast<uint8_t>(num());
                    else if (key == "rc") c.rc = num();
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
                else if (key == "ascii") ascii = detail::unhexText(val);
                else if (key == "ud") {
                    std::istringstream words(val);
                    std::string w;
                    for (int i = 0; i < 4 && std::getline(words, w, ','); ++i)
                        s.ud[i] = static_cast<uint32_t>(std::strtoul(w.c_str(), nullptr, 16));
                }
            }
            if (!first) {
                // A default text is left to be made from the fields, as on the entry.
                if (custom) s.setAsciiString(ascii);
                c.srcs.push_back(s);
            }
            first = false;
        }
        out.push_back(c);
    }
    return out;
}

void clearCommitted() { eraseValue("errl/committed"); }

}  // namespace gardhost
