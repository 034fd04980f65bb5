// The two read-only questions on the unit gard table: is a unit garded, and
// the whole table for a caller's menu.
#include "unit/table.h"

using namespace gard::unit;

namespace {
constexpr gard::ImageSteps kGetStateSteps{kModGetState, 1, 6, 0, 23, true};
constexpr gard::ImageSteps kGetConfigSteps{kModGetConfig, 1, 7, 0, 24, true};
}  // namespace

ErrlEntry* gardAcc::GardGetVpdUnitState(unsigned short unitId, gardRdndVpdGroupId groupId,
                                        bool* garded) {
    if (garded != nullptr) *garded = false;
    unsigned char image[kImageSize];
    return runCycle(kGetStateSteps, image, [&](const unsigned char* table, ErrlEntry*&) {
        // Only a garded entry ends the scan: a later one for the pair may still be.
        for (unsigned int i = 0; i < kEntries && garded != nullptr && !*garded; ++i)
            *garded = holds(table, i, unitId, groupId) && isGarded(state(table, i));
        return false;
    });
}

ErrlEntry* gardAcc::GardGetVpdConfigData(unsigned int, vpdRecordMenu* menu) {
    unsigned char image[kImageSize];
    return runCycle(kGetConfigSteps, image, [&](const unsigned char* table, ErrlEntry*&) {
        if (menu == nullptr) return false;
        unsigned int n = 0;
        for (unsigned int i = 0; i < kEntries; ++i) {
            if (!isUsed(table, i)) continue;
            menu->groupId[n] = groupId(table, i);
            menu->unitId[n] = unitId(table, i);
            menu->state[n] = static_cast<GARD_State>(state(table, i));
            menu->errorType[n] = errorType(table, i);
            ++n;
        }
        for (; n < kEntries; ++n) {
            menu->groupId[n] = 0;
            menu->unitId[n] = 0;
            menu->state[n] = GARD_CLEARED;
            menu->errorType[n] = 0;
        }
        return false;
    });
}
