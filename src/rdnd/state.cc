// Changing the gard state of this service processor in its own record.
#include "rdnd/state.h"

#include <algorithm>
#include <cstring>

#include "files/bytes.h"
#include "files/gtrace.h"
#include "files/report.h"
#include "platform/errl.h"
#include "platform/rmgr.h"
#include "platform/vorm.h"
#include "rdnd/record.h"
#include "rdnd/registry.h"

namespace {

using namespace gard;

constexpr gardModId kModSetState = 0x21;

// Progress codes of the state change's error logs.
enum : uint32_t {
    kAtNotThisProcessor = 1,
    kAtRefused = 2,
    kAtRecordsUnread = 3,
    kAtOwnAbsent = 4,
    kAtGarded = 0xD,
    kAtClearRefused = 0x15,
};

// The system state that refuses the second kind of states and the clearing.
constexpr uint32_t kSystemStateLocked = 9;

constexpr uint32_t kPolicyQel = 0;
constexpr uint32_t kPolicyQelGard = 11;

bool policyPermits(uint32_t policyId, uint32_t& size) {
    uint32_t value = 2;
    ErrlEntry* errl = vormGardGetPolicy(policyId, &value, &size, 0);
    if (errl != nullptr) {
        dispose(errl);
        return false;
    }
    return value == 0;
}

// The system state: the first word of "smgr/StateData". The value is asked
// for its size first, then read into a zero-filled buffer, never past it, so
// that a value shorter than a word reads as its bytes followed by zeros.
ErrlEntry* readSystemState(uint32_t& systemState) {
    std::size_t count = 0;
    ErrlEntry* errl = UtilReg::read(reg::kStateData, nullptr, count, true, nullptr);
    if (errl != nullptr) return errl;
    unsigned char data[64] = {};
    count = std::min(count, sizeof data);
    errl = UtilReg::read(reg::kStateData, data, count, false, nullptr);
    if (errl != nullptr) return errl;
    std::memcpy(&systemState, data, sizeof systemState);  // a registry number, host order
    return nullptr;
}

// Refusal announced by a log of its own; the caller only sees result word 1.
void announceRefusal(uint16_t reason, uint32_t ud1, uint32_t ud2, uint32_t ud3) {
    announce(makeErrl(kModSetState, reason, 1, ud1, ud2, ud3, 0));
}

ErrlEntry* setQelState(unsigned int unit, gardQelState state, unsigned int failureWord,
                       gardSetStateReturn& result, bool notify, unsigned int extraWord) {
    uint8_t position = 0;
    ErrlEntry* errl = reg::read(reg::kQelPosition, position, uint8_t{0});
    if (errl != nullptr) {
        result = GARD_SET_NOT_DONE;
        return errl;
    }
    uint8_t role = 3;
    errl = reg::read(reg::kQelRole, role, uint8_t{3});
    if (errl != nullptr) {
        GARD_TRACE("GardSetQelState: role unreadable, unit", " %x", unit);
        result = GARD_SET_NOT_DONE;
        return errl;
    }
    const unsigned int index = qel::indexOf(unit);
    if (index == qel::kNoIndex || index != qel::indexOfPosition(position) || role != 1) {
        GARD_TRACE("GardSetQelState: not this processor or not role 1, unit", " %x", unit);
        result = GARD_SET_NOT_DONE;
        return makeErrl(kModSetState, kRcNotFound, 1, kAtNotThisProcessor, unit, state, 0);
    }

    // Clearing is the one change the gard policy cannot forbid.
    if (state != GARD_QEL_CLEARED && !gardCheckQelGardPolicy()) {
        result = GARD_SET_NOT_DONE;
        return nullptr;
    }

    unsigned int ids[2] = {0, 0};
    qelDataBuffer buffer;
    gardVpdReturn vpdResult = GARD_VPD_REPAIR_FAILED;
    errl = GardRdndQel::GardReadVPD(ids, &buffer, qel::kBufferSize, &vpdResult);
    if (errl != nullptr) return errl;
    if (vpdResult != GARD_VPD_OK) {
        GARD_TRACE("GardSetQelState: records not read, code", " %x", vpdResult);
        return makeErrl(kModSetState, kRcFileRead, 1, kAtRecordsUnread, unit, state, vpdResult);
    }
    // An absent processor has no record to change; writing one would leave a
    // keyword without marker, which the next read turns back into 0x5C.
    if (ids[index] == 0) {
        GARD_TRACE("GardSetQelState: own processor absent, unit", " %x", unit);
        result = GARD_SET_NOT_DONE;
        return makeErrl(kModSetState, kRcNotFound, 1, kAtOwnAbsent, unit, state, 0);
    }

    uint32_t systemState = 0;
    errl = readSystemState(systemState);
    if (errl != nullptr) return errl;

    unsigned char* rec = qel::record(buffer, index);
    const unsigned char oldState = rec[qel::kStateAt];
    const bool secondKind = state == GARD_QEL_NOT_GARDED || state == GARD_QEL_GARDED_2;
    if (secondKind && (oldState == GARD_QEL_GARDED || systemState == kSystemStateLocked)) {
        GARD_TRACE("GardSetQelState: refused", " ");
        announceRefusal(kRcQelRefused, kAtRefused, unit, state);
        result = GARD_SET_NOT_DONE;
        return nullptr;
    }
    if (state == GARD_QEL_CLEARED && systemState == kSystemStateLocked) {
        GARD_TRACE("GardSetQelState: clearing refused", " ");
        announceRefusal(kRcQelClearRefused, kAtClearRefused, state, systemState);
        result = GARD_SET_NOT_DONE;
        return nullptr;
    }

    GARD_TRACE("GardSetQelState: storing, unit,state", " %x,%x", unit, state);
    // The record's state field is one byte and takes the low byte of the
    // value given; every decision here is made on the value as given, so a
    // wider value (0x15D) stores 0x5D but neither tells the redundancy
    // manager nor announces a gard.
    rec[qel::kStateAt] = static_cast<unsigned char>(state);
    be::put32(rec + qel::kFailureAt, failureWord);
    be::put32(rec + qel::kExtraAt, extraWord);
    errl = GardRdndQel::GardWriteVPD(unit, qel::kRecordSize, rec);
    // The state change goes on: the redundancy manager must still hear of it.
    dispose(errl);

    if (notify) {
        const bool ungards = state == GARD_QEL_NEW || state == GARD_QEL_NOT_GARDED ||
                             state == GARD_QEL_CLEARED;
        if (qel::isGarded(state) && !qel::isGarded(oldState)) {
            errl = rmgrGardBackup(kCompId);
        } else if (ungards && qel::isGarded(oldState)) {
            errl = rmgrUngardBackup(kCompId);
        }
        if (errl != nullptr) return errl;
    }

    if (qel::isGarded(state)) {
        const uint16_t reason = state == GARD_QEL_GARDED ? kRcGarded : kRcGarded2;
        announce(makeErrl(kModSetState, reason, 1, kAtGarded, unit, state, failureWord));
    }
    result = GARD_SET_DONE;
    return nullptr;
}

}  // namespace

bool gardCheckQelGardPolicy() {
    // The size word is set once; the second query gets it as the first left it.
    uint32_t size = 4;
    const bool permitted = policyPermits(kPolicyQel, size) && policyPermits(kPolicyQelGard, size);
    GARD_TRACE("gardCheckQelGardPolicy: permitted", " %x", permitted);
    return permitted;
}

ErrlEntry* GardRdndQel::GardSetQelState(unsigned int unit, gardQelState state,
                                        unsigned int failureWord, gardSetStateReturn& result,
                                        bool notify, unsigned int extraWord) {
    result = GARD_SET_FAILED;
    GARD_TRACE("GardSetQelState: unit,state,failure word", " %x,%x,%x", unit, state, failureWord);
    ErrlEntry* errl = setQelState(unit, state, failureWord, result, notify, extraWord);
    GARD_TRACE("GardSetQelState: result", " %x", result);
    return errl;
}
