// The unit gard table as it lies in gard file 3: one big-endian column per
// field, entry i being element i of every column, read and written whole.
#ifndef GARD_UNIT_TABLE_H
#define GARD_UNIT_TABLE_H

#include <cstdint>

#include "files/bytes.h"
#include "files/image.h"
#include "gard/gard.h"

namespace gard::unit {

constexpr int kFileId = 3;
constexpr unsigned int kEntries = GARD_MAX_VPD_UNITS;
constexpr unsigned int kSerialSize = sizeof(svpd_SerialNum);
constexpr unsigned int kSrcTextSize = 32;
constexpr uint32_t kMagic = 0xCAFE0001;

// Column offsets.
constexpr unsigned int kMagicAt = 0;
constexpr unsigned int kSerialAt = 4;
constexpr unsigned int kGroupAt = kSerialAt + kEntries * kSerialSize;
constexpr unsigned int kUnitAt = kGroupAt + kEntries * 4;
constexpr unsigned int kStateAt = kUnitAt + kEntries * 2;
constexpr unsigned int kErrorTypeAt = kStateAt + kEntries * 4;
// Transposed: character j of entry i at kSrcTextAt + kEntries * j + i.
constexpr unsigned int kSrcTextAt = kErrorTypeAt + kEntries * 4;
constexpr unsigned int kImageSize = kSrcTextAt + kSrcTextSize * kEntries;
static_assert(sizeof(svpd_SerialNum) == 12);
static_assert(kImageSize == 14504);

// Progress codes of the errors the table operations make themselves.
enum : uint32_t {
    kPcStateUnknown = 0x08,  // no entry for the pair
    kPcStateChanged = 0x0E,  // informational state-change log
    kPcRefused = 0x2C,       // policy refusal, or no free entry
};

// Module ids.
enum : gardModId {
    kModUpdateUnit = 0x66,
    kModSetState = 0x67,
    kModClear = 0x68,
    kModReset = 0x69,
    kModGetState = 0x6A,
    kModGetConfig = 0x6B,
};

inline uint16_t unitId(const unsigned char* image, unsigned int i) {
    return be::get16(image + kUnitAt + 2 * i);
}
inline uint32_t groupId(const unsigned char* image, unsigned int i) {
    return be::get32(image + kGroupAt + 4 * i);
}
inline uint32_t state(const unsigned char* image, unsigned int i) {
    return be::get32(image + kStateAt + 4 * i);
}
inline uint32_t errorType(const unsigned char* image, unsigned int i) {
    return be::get32(image + kErrorTypeAt + 4 * i);
}
inline const unsigned char* serialAt(const unsigned char* image, unsigned int i) {
    return image + kSerialAt + kSerialSize * i;
}
// Offset of character j of entry i's SRC text.
constexpr unsigned int srcTextOffset(unsigned int i, unsigned int j) {
    return kSrcTextAt + kEntries * j + i;
}
inline void setState(unsigned char* image, unsigned int i, uint32_t value) {
    be::put32(image + kStateAt + 4 * i, value);
}
inline void setErrorType(unsigned char* image, unsigned int i, uint32_t value) {
    be::put32(image + kErrorTypeAt + 4 * i, value);
}

// Unit id 0 marks a free entry.
inline bool isUsed(const unsigned char* image, unsigned int i) { return unitId(image, i) != 0; }

// An entry recorded for the pair. Unit id 0 is matched like any other: a
// free entry whose group id is the one asked for answers for unit 0.
inline bool holds(const unsigned char* image, unsigned int i, uint16_t unit, uint32_t group) {
    return unitId(image, i) == unit && groupId(image, i) == group;
}

constexpr bool isGarded(uint32_t value) { return value == GARD_GARDED || value == GARD_GARDED_2; }

// One cycle on the table image in file 3 (see runImageCycle).
template <class Change>
ErrlEntry* runCycle(const ImageSteps& steps, unsigned char* image, Change&& change) {
    return runImageCycle(kFileId, steps, image, kImageSize, change);
}

// Index of the first entry recorded for the pair, or kEntries.
unsigned int findPair(const unsigned char* image, uint16_t unit, uint32_t group);
// Index of the first free entry, or kEntries.
unsigned int firstFree(const unsigned char* image);
bool sameSerial(const unsigned char* image, unsigned int i, const svpd_SerialNum& serial);
// Records the unit afresh: serial number, unit and group id, state 0x5C,
// error type 0. The SRC text stays.
void setUp(unsigned char* image, unsigned int i, uint16_t unit, const svpd_SerialNum& serial,
           uint32_t group);
// Stores up to 32 characters of `text`, zero bytes after its end.
void setSrcText(unsigned char* image, unsigned int i, const char* text);

}  // namespace gard::unit

#endif
