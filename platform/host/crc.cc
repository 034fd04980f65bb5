// CRC-32 (reflected, 0xEDB88320): stored error logs are checked with it on
// every read, and history lines and the contents they name carry it, so
// long runs go through carry-less multiply folding where the processor has it.
#include <array>
#include <cstddef>
#include <cstdint>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/host/detail.h"

namespace gardhost::detail {
namespace {

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

}  // namespace

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

}  // namespace gardhost::detail
