// The stored error-log file: 20 slots of 2056 bytes, each a unit id, the
// unit's VPD port and the unit's error log in flattened form.
#include "errl/stored.h"

#include <cstring>
#include <new>

#include "files/bytes.h"
#include "files/gtrace.h"
#include "files/image.h"
#include "platform/errl.h"

using namespace gard::errlfile;

namespace {

constexpr gardModId kModId = 0xD0;
constexpr gard::ImageSteps kStoreSteps{kModId, 15, 16, 17, 20};
constexpr gard::ImageSteps kReadSteps{kModId, 15, 16, 0, 20};  // never writes
constexpr gard::ImageSteps kClearSteps{kModId, 17, 18, 20, 20};
constexpr gard::ImageSteps kClearPortSteps{kModId, 17, 18, 19, 20};

void freeSlot(unsigned char* slot) { std::memset(slot, 0, kSlotSize); }

// One cycle on the file with the image in the operation's stack buffer. The
// image starts zeroed, so nothing of the stack shows even if a file class
// were to deliver fewer bytes than asked for without an error.
template <class Change>
ErrlEntry* withImage(const gard::ImageSteps& steps, Change&& change) {
    unsigned char image[kImageSize] = {};
    return gard::runImageCycle(kFileId, steps, image, kImageSize, change);
}

}  // namespace

ErrlEntry* gardStoreErrl(uint32_t port, homUnitId unitId, ErrlEntry* errl) {
    GARD_TRACE("gardStoreErrl", " ");
    return withImage(kStoreSteps, [&](unsigned char* image, ErrlEntry*&) {
        // One pass: the first free slot is the target, but a slot of the unit
        // anywhere in the table means it is stored already.
        unsigned char* target = nullptr;
        for (unsigned int i = 0; i < kSlots; ++i) {
            unsigned char* slot = slotAt(image, i);
            uint32_t unit = slotUnit(slot);
            if (unit == 0) {
                if (target == nullptr) target = slot;
            } else if (unit == unitId) {
                GARD_TRACE("gardStoreErrl: unit already stored", " %x", unitId);
                return false;
            }
        }
        if (target == nullptr || errl == nullptr) return false;

        // The caller's entry stays as it is; only the copy is pruned to fit.
        // Without memory for the copy nothing is stored, and nothing thrown.
        ErrlEntry* copy = new (std::nothrow) ErrlEntry(*errl);
        if (copy == nullptr) return false;
        copy->prune(kErrlSize);
        unsigned char* area = target + kErrlOffset;
        std::memset(area, 0, kErrlSize);
        const bool flattened = copy->flatten(area, kErrlSize) == 0;
        delete copy;
        if (!flattened) return false;
        gard::be::put32(target + kUnitOffset, unitId);
        gard::be::put32(target + kPortOffset, port);
        return true;
    });
}

ErrlEntry* gardReadStoredErrl(homUnitId unitId, ErrlEntry*& errl) {
    GARD_TRACE("gardReadStoredErrl", " ");
    // Whatever the caller held goes first, also when the file cannot be read.
    delete errl;
    errl = nullptr;
    return withImage(kReadSteps, [&](unsigned char* image, ErrlEntry*&) {
        for (unsigned int i = 0; i < kSlots; ++i) {
            unsigned char* slot = slotAt(image, i);
            if (slotUnit(slot) != unitId) continue;
            errl = new (std::nothrow) ErrlEntry();
            if (errl != nullptr && errl->unflatten(slot + kErrlOffset, kErrlSize) != 0) {
                delete errl;
                errl = nullptr;
            }
            break;
        }
        return false;
    });
}

ErrlEntry* GardGetStoredErrl(homUnitId unitId, ErrlEntry*& errl) {
    return gardReadStoredErrl(unitId, errl);
}

ErrlEntry* gardClearStoredErrl(homUnitId unitId) {
    GARD_TRACE("gardClearStoredErrl", " ");
    return withImage(kClearSteps, [&](unsigned char* image, ErrlEntry*&) {
        for (unsigned int i = 0; i < kSlots; ++i) {
            unsigned char* slot = slotAt(image, i);
            if (slotUnit(slot) == unitId) {
                freeSlot(slot);
                break;
            }
        }
        return true;  // also when nothing matched
    });
}

ErrlEntry* gardClearStoredErrlByPort(uint32_t port) {
    GARD_TRACE("gardClearStoredErrlByPort", " ");
    return withImage(kClearPortSteps, [&](unsigned char* image, ErrlEntry*&) {
        for (unsigned int i = 0; i < kSlots; ++i) {
            unsigned char* slot = slotAt(image, i);
            if (slotPort(slot) == port) freeSlot(slot);
        }
        return true;  // also when nothing matched
    });
}
