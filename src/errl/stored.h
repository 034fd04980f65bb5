// The stored error-log file (gard file id 4): one error log per unit, kept
// for units garded through a failed DMA path. Library-internal; only
// GardGetStoredErrl is exported.
#ifndef GARD_ERRL_STORED_H
#define GARD_ERRL_STORED_H

#include <cstdint>

#include "files/bytes.h"
#include "gard/gard.h"

namespace gard::errlfile {

constexpr int kFileId = 4;
constexpr unsigned int kSlots = 20;
constexpr unsigned int kSlotSize = 2056;
constexpr unsigned int kImageSize = kSlots * kSlotSize;  // 41120; the rest of the file is unused
// Slot fields: big-endian unit id (0 = free slot), VPD port, flattened entry.
constexpr unsigned int kUnitOffset = 0;
constexpr unsigned int kPortOffset = 4;
constexpr unsigned int kErrlOffset = 8;
constexpr unsigned int kErrlSize = 2048;

inline const unsigned char* slotAt(const unsigned char* image, unsigned int i) {
    return image + i * kSlotSize;
}
inline unsigned char* slotAt(unsigned char* image, unsigned int i) { return image + i * kSlotSize; }
inline uint32_t slotUnit(const unsigned char* slot) { return be::get32(slot + kUnitOffset); }
inline uint32_t slotPort(const unsigned char* slot) { return be::get32(slot + kPortOffset); }

}  // namespace gard::errlfile

// Keeps a pruned copy of `errl` (only read) in the first free slot, unless
// the unit already has a slot or none is free; both of those return null.
ErrlEntry* gardStoreErrl(uint32_t port, homUnitId unitId, ErrlEntry* errl);
// Deletes whatever `errl` holds first; on return it holds the unit's stored
// entry, which the caller owns, or null.
ErrlEntry* gardReadStoredErrl(homUnitId unitId, ErrlEntry*& errl);
// Frees the first slot of the unit; the image is written back even when
// nothing matched.
ErrlEntry* gardClearStoredErrl(homUnitId unitId);
// Frees every slot of the VPD port; written back even when nothing matched.
ErrlEntry* gardClearStoredErrlByPort(uint32_t port);

#endif
