// Mailbox I/O failures of a service processor: types 1 and 6 gard it, the
// others only read the records (repairing them) and leave trace entries.
#include "files/bytes.h"
#include "files/gtrace.h"
#include "files/report.h"
#include "platform/errl.h"
#include "rdnd/record.h"

namespace {

using namespace gard;

constexpr gardModId kModMailbox = 0x22;
constexpr uint32_t kAtInvalidUnit = 4;
constexpr unsigned char kMailboxFailureCode = 0xB7;

// The failure word stored with a mailbox gard: the failure type in the most
// significant byte, 0xB7 in the least significant one.
uint32_t failureWord(gardQelIOFailureType type) {
    const unsigned char word[4] = {static_cast<unsigned char>(type), 0, 0, kMailboxFailureCode};
    return be::get32(word);
}

}  // namespace

ErrlEntry* GardRdndQel::GardMailboxSetState(unsigned int unit, gardQelIOFailureType type) {
    GARD_TRACE("GardMailboxSetState: unit,type", " %x,%x", unit, type);
    if (qel::indexOf(unit) == qel::kNoIndex) {
        GARD_TRACE("GardMailboxSetState: not a service processor", " %x", unit);
        ErrlEntry* errl = makeErrl(kModMailbox, kRcNotFound, 1, kAtInvalidUnit, unit, type, 0);
        dispose(errl);
    } else if (type == 1 || type == 6) {
        gardSetStateReturn result = GARD_SET_FAILED;
        ErrlEntry* errl =
            GardSetQelState(unit, GARD_QEL_GARDED, failureWord(type), result, true, 0);
        dispose(errl);
    } else {
        // The read repairs blank or damaged records; its answer is not used further.
        qelDataBuffer buffer;
        if (qel::readBoth(buffer)) {
            if (type == 3 || type == 4) GARD_TRACE("GardMailboxSetState: type 3 or 4", " ");
            if (type == 3 || type == 5) GARD_TRACE("GardMailboxSetState: type 3 or 5", " ");
        }
    }
    GARD_TRACE("GardMailboxSetState: exit", " ");
    return nullptr;
}
