// Error logs made by the library, with its fixed component values, and the
// two ways a log that is not returned is disposed of.
#ifndef GARD_FILES_REPORT_H
#define GARD_FILES_REPORT_H

#include <cstdint>

#include "gard/gard.h"

namespace gard {

constexpr uint16_t kCompId = 0xCA00;
constexpr uint32_t kActionError = 0x2000;
constexpr uint32_t kActionInfo = 0x4000;

// Reason codes.
enum : uint16_t {
    kRcRefused = 0x0001,      // manufacturing policy, or unit table full
    kRcGarded = 0xCA01,       // unit state changed, or processor garded (0x5D)
    kRcGarded2 = 0xCA02,      // processor garded (0xED)
    kRcFileOpen = 0xCA06,
    kRcFileRead = 0xCA07,     // also: service-processor records unreadable
    kRcFileWrite = 0xCA08,
    kRcFileClose = 0xCA09,
    kRcNotFound = 0xCA11,     // unit not in table / not this processor
    kRcQelRefused = 0xCA12,
    kRcQelClearRefused = 0xCA15,
};

// A new entry: severity 0, srciType 0xD1, serviceCodes 0x4399, subsystem 0x75.
ErrlEntry* makeErrl(gardModId modId, uint16_t reason, uint8_t eventType, uint32_t ud1,
                    uint32_t ud2, uint32_t ud3, uint32_t ud4);
// Adds a further SRC (srciType 0xB1) to an entry made elsewhere.
void addSrc(ErrlEntry* errl, gardModId modId, uint16_t reason, uint32_t ud1, uint32_t ud2,
            uint32_t ud3, uint32_t ud4);
// Commits with (0xCA00, 0x2000), deletes, and nulls the handle; null is a no-op.
void dispose(ErrlEntry*& errl);
// Commits an informational entry with (0xCA00, 0x4000) and deletes it.
void announce(ErrlEntry* errl);

}  // namespace gard

#endif
