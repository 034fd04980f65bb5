// Small text helpers the host platform's sources share.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/host/detail.h"

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
    std::fprintf(stderr, "gardhost: %s\n", text.c_str());
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
