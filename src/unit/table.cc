#include "unit/table.h"

#include <cstring>

namespace gard::unit {

unsigned int findPair(const unsigned char* image, uint16_t unit, uint32_t group) {
    unsigned int i = 0;
    while (i < kEntries && !holds(image, i, unit, group)) ++i;
    return i;
}

unsigned int firstFree(const unsigned char* image) {
    unsigned int i = 0;
    while (i < kEntries && isUsed(image, i)) ++i;
    return i;
}

bool sameSerial(const unsigned char* image, unsigned int i, const svpd_SerialNum& serial) {
    return std::memcmp(serialAt(image, i), serial.bytes, kSerialSize) == 0;
}

void setUp(unsigned char* image, unsigned int i, uint16_t unit, const svpd_SerialNum& serial,
           uint32_t group) {
    std::memcpy(image + kSerialAt + kSerialSize * i, serial.bytes, kSerialSize);
    be::put16(image + kUnitAt + 2 * i, unit);
    be::put32(image + kGroupAt + 4 * i, group);
    setState(image, i, GARD_STATE_NEW);
    setErrorType(image, i, 0);
}

void setSrcText(unsigned char* image, unsigned int i, const char* text) {
    // strnlen stops at the terminator of a shorter text; nothing beyond it is read.
    const std::size_t length = strnlen(text, kSrcTextSize);
    for (unsigned int j = 0; j < kSrcTextSize; ++j)
        image[srcTextOffset(i, j)] =
            j < length ? static_cast<unsigned char>(text[j]) : 0;
}

}  // namespace gard::unit
