// Small text helpers the host platform's sources share.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace gardhost::detail {

std::string hex(uint32_t v) { return format("0x%x", v); }

std::string format(const char* fmt, ...) {
    char small[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string hexText(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string out(text.size() * 2, '\0');
    char* p = out.data();
    for (unsigned char c : text) {
        *p++ = digits[c >> 4];
        *p++ = digits[c & 15];
    }
    return out;
}

std::string unhexText(const std::string& digits) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        int hi = nibble(digits[i]), lo = nibble(digits[i + 1]);
        if (hi < 0 || lo < 0) break;
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

void sayOnce(const char* key, const std::string& text) {
    static std::mutex m;
    static std::set<std::string> said;
    {
        std::lock_guard<std::mutex> lock(m);
        if (!said.insert(key).second) return;
    }
    // The words are plain; the paths and bytes they quote may not be.
    std::fprintf(stderr, "gardhost: %s\n", shown(text).c_str());
}

Name& Name::add(std::string_view s) {
    if (big_.empty() && len_ + s.size() < sizeof small_) {
        if (!s.empty()) std::memcpy(small_ + len_, s.data(), s.size());
        len_ += s.size();
        small_[len_] = '\0';
        return *this;
    }
    if (big_.empty()) big_.assign(small_, len_);
    big_ += s;
    return *this;
}

Name& Name::hex(uint32_t v) {
    char text[10] = {'0', 'x'};
    std::size_t n = 2;
    int shift = 28;
    while (shift > 0 && (v >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) text[n++] = "0123456789abcdef"[(v >> shift) & 15];
    return add({text, n});
}

Name& Name::dec(uint32_t v) {
    char text[10];
    std::size_t n = sizeof text;
    do {
        text[--n] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return add({text + n, sizeof text - n});
}

}  // namespace gardhost::detail

namespace gardhost {

namespace {
// Length of the printable UTF-8 character at p (0 when there is none):
// well-formed, shortest form, no surrogate, no control character (C0, DEL,
// C1) and none of the invisible ones that reorder or break a terminal line.
std::size_t printableAt(std::string_view s, std::size_t p) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[p + k]); };
    const unsigned char c = b(0);
    if (c < 0x80) return c >= 0x20 && c != 0x7F && c != '\\' ? 1 : 0;
    const std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || c > 0xF4 || p + n > s.size()) return 0;
    uint32_t cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(k) & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool invisible = cp < 0xA0 || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF ||
                           (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
                           (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF;
    return cp >= least[n] && !invisible ? n : 0;
}
}  // namespace

std::string shown(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t p = 0; p < bytes.size();) {
        if (std::size_t n = printableAt(bytes, p); n != 0) {
            out.append(bytes.substr(p, n));
            p += n;
        } else if (bytes[p] == '\\') {
            out += "\\\\";
            ++p;
        } else {
            const auto c = static_cast<unsigned char>(bytes[p++]);
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

bool plainText(std::string_view bytes) {
    for (std::size_t p = 0, n; p < bytes.size(); p += n)
        if ((n = printableAt(bytes, p)) == 0) return false;
    return true;
}

}  // namespace gardhost
