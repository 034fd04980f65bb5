// The 32-byte gard record of a service processor, as it sits in the VPD gard
// keyword, and the pair of records in a qelDataBuffer.
//
//   bytes 0-1   marker 0x0C05
//   byte  2     state (gardQelState)
//   bytes 4-7   failure word, big-endian
//   bytes 8-11  extra word, big-endian
//   the rest    never written by the library; 0xFF in a new record
#ifndef GARD_RDND_RECORD_H
#define GARD_RDND_RECORD_H

#include <cstdint>

#include "gard/gard.h"

namespace gard::qel {

constexpr unsigned int kRecordSize = GARD_QEL_RECORD_SIZE;
constexpr unsigned int kBufferSize = GARD_QEL_BUFFER_SIZE;
constexpr unsigned int kMarkerAt = 0;
constexpr unsigned int kStateAt = 2;
constexpr unsigned int kFailureAt = 4;
constexpr unsigned int kExtraAt = 8;
constexpr uint16_t kMarker = 0x0C05;
constexpr unsigned char kBlank = 0xFF;

// Unit id of the record at index 0 and 1; index is also the position.
constexpr unsigned int kUnits[2] = {GARD_QEL_SP0, GARD_QEL_SP1};
constexpr unsigned int kNoIndex = 2;

// Index of a service processor's record, kNoIndex for any other unit.
constexpr unsigned int indexOf(unsigned int unit) {
    return unit == GARD_QEL_SP0 ? 0 : unit == GARD_QEL_SP1 ? 1 : kNoIndex;
}

// The record of this processor for a "dscv/QelPosition" byte; kNoIndex when
// the position names neither processor.
constexpr unsigned int indexOfPosition(uint8_t position) {
    return position <= 1 ? position : kNoIndex;
}

inline unsigned char* record(qelDataBuffer& buffer, unsigned int index) {
    return buffer.bytes + index * kRecordSize;
}

constexpr bool isGarded(uint32_t state) {
    return state == GARD_QEL_GARDED || state == GARD_QEL_GARDED_2;
}

// Reads both records into `buffer` as the queries do, disposing of any
// failure; true when both present records read cleanly.
bool readBoth(qelDataBuffer& buffer);

}  // namespace gard::qel

#endif
