#include "files/report.h"

#include "platform/errl.h"

namespace gard {
namespace {
constexpr uint8_t kSeverity = 0;
constexpr uint8_t kSrciNew = 0xD1;
constexpr uint8_t kSrciAdded = 0xB1;
constexpr uint16_t kServiceCodes = 0x4399;
constexpr uint8_t kSubsystem = 0x75;
}  // namespace

ErrlEntry* makeErrl(gardModId modId, uint16_t reason, uint8_t eventType, uint32_t ud1,
                    uint32_t ud2, uint32_t ud3, uint32_t ud4) {
    return new ErrlEntry(kCompId, kSeverity, eventType, kSrciNew, 0, modId, kServiceCodes, reason,
                         ud1, ud2, ud3, ud4, kSubsystem, 0);
}

void addSrc(ErrlEntry* errl, gardModId modId, uint16_t reason, uint32_t ud1, uint32_t ud2,
            uint32_t ud3, uint32_t ud4) {
    errl->addSRC(kCompId, kSrciAdded, 0, modId, kServiceCodes, reason, ud1, ud2, ud3, ud4,
                 kSubsystem);
}

void dispose(ErrlEntry*& errl) {
    if (errl == nullptr) return;
    errl->commit(kCompId, kActionError);
    delete errl;
    errl = nullptr;
}

void announce(ErrlEntry* errl) {
    errl->commit(kCompId, kActionInfo);
    delete errl;
}

}  // namespace gard
