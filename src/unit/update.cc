// The four changes of the unit gard table. Each reads the whole image into
// its stack, changes it there and writes it back whole before closing.
#include <cstring>

#include "files/gtrace.h"
#include "files/report.h"
#include "platform/errl.h"
#include "platform/mnfg.h"
#include "unit/table.h"

using namespace gard::unit;

namespace {
// Failed opens and reads are traced by every table operation, failed writes
// only by the clear and the reset.
constexpr gard::ImageSteps kUpdateUnitSteps{kModUpdateUnit, 1, 1, 9, 33, true};
constexpr gard::ImageSteps kSetStateSteps{kModSetState, 1, 3, 10, 20, true};
constexpr gard::ImageSteps kClearSteps{kModClear, 1, 4, 5, 21, true, true};
constexpr gard::ImageSteps kResetSteps{kModReset, 1, 42, 43, 22, true, true};

constexpr unsigned int kPolicyNoStateChange = 2;
constexpr uint32_t kRcPolicy = 1;
constexpr uint32_t kRcUnknownUnit = 6;

// What the state update does at an entry recorded for its pair.
enum class AtMatch { Update, Keep, Skip };

AtMatch atMatch(uint32_t current) {
    switch (current) {
    case GARD_STATE_NONE:
    case GARD_STATE_NEW:
    case GARD_CLEARED:
    case GARD_NOT_GARDED_2:
    case GARD_GARDED_2:
        return AtMatch::Update;
    case GARD_GARDED:
        return AtMatch::Keep;  // only a clear, a new part or a reset ends it
    default:
        return AtMatch::Skip;
    }
}

// The primary SRC's text, or null when the log has none.
const char* primarySrcText(ErrlEntry* errl) {
    if (errl == nullptr) return nullptr;
    SrciSrc* src = errl->getSRC(0);
    return src == nullptr ? nullptr : src->getAsciiString();
}
}  // namespace

ErrlEntry* gardAcc::GardUpdateVpdUnit(unsigned short unitId, svpd_SerialNum serial,
                                      gardRdndVpdGroupId groupId, gardFruState* fruState) {
    gardFruState outcome = GARD_FRU_SET_UP;
    unsigned char image[kImageSize];
    auto record = [&](unsigned char* table, ErrlEntry*& refusal) {
        unsigned int i = findPair(table, unitId, groupId);
        if (i < kEntries && sameSerial(table, i, serial)) {
            outcome = GARD_FRU_UNCHANGED;
            return true;  // written even when nothing changed
        }
        if (i == kEntries) i = firstFree(table);
        if (i == kEntries) {
            GARD_TRACE("GardUpdateVpdUnit: table full", " ");
            refusal = gard::makeErrl(kModSetState, gard::kRcRefused, 0, kPcRefused, unitId, 0, 0);
            return false;
        }
        setUp(table, i, unitId, serial, groupId);
        return true;
    };
    ErrlEntry* errl = runCycle(kUpdateUnitSteps, image, record);
    // A null result means the image was written.
    if (errl == nullptr && fruState != nullptr) *fruState = outcome;
    return errl;
}

ErrlEntry* gardAcc::GardSetVpdUnitState(unsigned short unitId, gardRdndVpdGroupId groupId,
                                        GARD_State state, GARD_ErrorType errorType,
                                        ErrlEntry* errl) {
    bool refused = true;  // a policy call that leaves the flag alone refuses
    (void)mnfgIsPolicyFlagSet(kPolicyNoStateChange, refused);
    if (refused) {
        GARD_TRACE("GardSetVpdUnitState: refused by policy", " ");
        ErrlEntry* refusal =
            gard::makeErrl(kModSetState, gard::kRcRefused, 0, kPcRefused, unitId, 0, 0);
        refusal->setRC(kRcPolicy);
        return refusal;
    }
    unsigned char image[kImageSize];
    return runCycle(kSetStateSteps, image, [&](unsigned char* table, ErrlEntry*& notFound) {
        bool found = false;
        for (unsigned int i = 0; i < kEntries; ++i) {
            if (!holds(table, i, unitId, groupId)) continue;
            found = true;
            const AtMatch what = atMatch(::gard::unit::state(table, i));
            if (what == AtMatch::Keep) return false;
            if (what == AtMatch::Skip) continue;
            setErrorType(table, i, errorType);
            setState(table, i, state);
            if (const char* text = primarySrcText(errl)) setSrcText(table, i, text);
            gard::announce(gard::makeErrl(kModSetState, gard::kRcGarded, 1, kPcStateChanged,
                                          unitId, groupId, state));
            return true;
        }
        if (!found) {
            notFound = gard::makeErrl(kModSetState, gard::kRcNotFound, 0, kPcStateUnknown, unitId,
                                      0, 0);
            notFound->setRC(kRcUnknownUnit);
        }
        return false;
    });
}

ErrlEntry* gardAcc::GardClearVpdData() {
    unsigned char image[kImageSize];
    return runCycle(kClearSteps, image, [](unsigned char* table, ErrlEntry*&) {
        for (unsigned int i = 0; i < kEntries; ++i) {
            setState(table, i, GARD_CLEARED);
            setErrorType(table, i, 0);
        }
        return true;
    });
}

ErrlEntry* gardAcc::GardResetVpdData() {
    unsigned char image[kImageSize];
    // Read although discarded: a file that cannot be read is not reset.
    return runCycle(kResetSteps, image, [](unsigned char* table, ErrlEntry*&) {
        std::memset(table, 0, kImageSize);
        gard::be::put32(table + kMagicAt, kMagic);
        return true;
    });
}
