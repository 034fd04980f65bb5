// Questions about the two service processors, answered from their gard
// records and the registry. Only GardGetQelState passes a failure on; the
// others dispose of it and give their default answer.
#include <new>

#include "files/bytes.h"
#include "files/gtrace.h"
#include "files/report.h"
#include "platform/errl.h"
#include "platform/rmgr.h"
#include "platform/svpd.h"
#include "platform/vorm.h"
#include "rdnd/record.h"
#include "rdnd/registry.h"

namespace {

using namespace gard;

// The usability and failover checks only judge this system type.
constexpr uint32_t kRedundantSystemType = 0x10030000;

// Judges a keyword that was handed over. A keyword shorter than marker and
// state cannot show a garded record, so it counts as not garded; nothing is
// read beyond its length.
ErrlEntry* judgeKeyword(unsigned int unit, const unsigned char* data, unsigned int length,
                        bool& garded, bool assertSiblingPor) {
    if (length == 0 || data == nullptr) return nullptr;
    if (length <= qel::kStateAt) {
        GARD_TRACE("GardGetQelState: keyword too short, length", " %x", length);
        return nullptr;
    }
    if (be::get16(data + qel::kMarkerAt) != qel::kMarker) {
        GARD_TRACE("GardGetQelState: no marker", " ");
        return nullptr;
    }
    if (!qel::isGarded(data[qel::kStateAt])) return nullptr;
    garded = true;

    uint8_t position = 0;
    ErrlEntry* errl = reg::read(reg::kQelPosition, position, uint8_t{0});
    if (errl != nullptr) return errl;
    if (qel::indexOf(unit) == qel::kNoIndex || qel::indexOf(unit) != qel::indexOfPosition(position))
        return nullptr;
    return assertSiblingPor ? rmgrAssertSiblingQELPOR() : rmgrGardBackup(kCompId);
}

// True when the system type is the redundant one; a failed read is not.
bool redundantSystem() {
    uint32_t systemType = 0;
    return reg::readOr(reg::kSystemType, systemType, uint32_t{0}) &&
           systemType == kRedundantSystemType;
}

int qelUsability(unsigned int unit) {
    if (!redundantSystem()) return GARD_QEL_USABLE;
    qelDataBuffer buffer;
    if (!qel::readBoth(buffer)) return GARD_QEL_USABLE;
    const unsigned int index = qel::indexOf(unit);
    if (index == qel::kNoIndex) return GARD_QEL_USABLE;
    if (qel::isGarded(qel::record(buffer, index)[qel::kStateAt])) return GARD_QEL_IS_GARDED;
    bool functional = true;
    ErrlEntry* errl = vormGardCheckFunctionalDmaPath(unit, &functional);
    if (errl != nullptr) {
        GARD_TRACE("gardIsQelUsable: DMA path check failed", " ");
        dispose(errl);
        return GARD_QEL_USABLE;
    }
    return functional ? GARD_QEL_USABLE : GARD_QEL_NO_DMA_PATH;
}

bool unusable(unsigned int unit) {
    return gardIsQelUsable(unit) != GARD_QEL_USABLE;
}

GardFoStatus failoverStatus() {
    if (!redundantSystem()) return GARD_FO_CAPABLE;
    uint8_t position = 0;
    ErrlEntry* errl = reg::read(reg::kQelPosition, position, uint8_t{0});
    if (errl != nullptr) {
        GARD_TRACE("gardCheckFailoverCapable: position unreadable", " ");
        dispose(errl);
        return GARD_FO_CAPABLE;
    }
    const unsigned int own = qel::indexOfPosition(position);
    if (own == qel::kNoIndex) {
        GARD_TRACE("gardCheckFailoverCapable: unknown position", " ");
        return GARD_FO_CAPABLE;
    }
    if (unusable(qel::kUnits[own])) return GARD_FO_NOT_USABLE;
    if (unusable(qel::kUnits[1 - own])) return GARD_FO_SIBLING_DOWN;
    return GARD_FO_CAPABLE;
}

// Marks the copy for DMA configuration: in role 1 the sibling's record, in
// role 0 the own record when the sibling state is 1.
void markDmaConfig(qelDataBuffer& buffer) {
    uint8_t position = 0;
    if (!reg::readOr(reg::kQelPosition, position, uint8_t{0})) return;
    const unsigned int own = qel::indexOfPosition(position);
    if (own == qel::kNoIndex) {
        GARD_TRACE("GardGetQelDmaConfig: unknown position", " ");
        return;
    }
    uint8_t role = 3;
    if (!reg::readOr(reg::kQelRole, role, uint8_t{3})) return;
    if (role == 1) {
        qel::record(buffer, 1 - own)[qel::kStateAt] = GARD_QEL_DMA_MARK;
    } else if (role == 0) {
        uint8_t siblingState = 2;
        reg::readOr(reg::kSiblingState, siblingState, uint8_t{2});
        if (siblingState == 1) qel::record(buffer, own)[qel::kStateAt] = GARD_QEL_DMA_MARK;
    }
}

}  // namespace

ErrlEntry* GardRdndQel::GardGetQelState(unsigned int unit, bool& garded, bool assertSiblingPor,
                                        bool vpdFlag) {
    GARD_TRACE("GardGetQelState: unit", " %x", unit);
    garded = false;
    unsigned int length = 0;
    unsigned char* data = nullptr;
    ErrlEntry* errl = SVPD_get_qel_gd_keyword(unit, &length, &data, vpdFlag);
    if (errl == nullptr) errl = judgeKeyword(unit, data, length, garded, assertSiblingPor);
    if (data != nullptr) ::operator delete(data);
    GARD_TRACE("GardGetQelState: garded", " %x", garded);
    return errl;
}

int GardRdndQel::GardQelDoGard(unsigned int unit) {
    GARD_TRACE("GardQelDoGard: unit", " %x", unit);
    // Any id but 0x201 is answered from the first record.
    const unsigned int index = unit == GARD_QEL_SP1 ? 1 : 0;
    qelDataBuffer buffer;
    const int answer =
        qel::readBoth(buffer) && qel::isGarded(qel::record(buffer, index)[qel::kStateAt]) ? 1 : 0;
    GARD_TRACE("GardQelDoGard: answer", " %x", answer);
    return answer;
}

int gardIsQelUsable(unsigned int unit) {
    GARD_TRACE("gardIsQelUsable: unit", " %x", unit);
    const int usability = qelUsability(unit);
    GARD_TRACE("gardIsQelUsable: usability", " %x", usability);
    return usability;
}

ErrlEntry* gardCheckFailoverCapable(GardFoStatus& status) {
    GARD_TRACE("gardCheckFailoverCapable", " ");
    status = failoverStatus();
    GARD_TRACE("gardCheckFailoverCapable: status", " %x", status);
    return nullptr;
}

ErrlEntry* GardRdndQel::GardGetQelDmaConfig(unsigned int* ids, qelDataBuffer* buffer,
                                            unsigned int size, gardVpdReturn* result) {
    GARD_TRACE("GardGetQelDmaConfig: size", " %x", size);
    ErrlEntry* errl = GardReadVPD(ids, buffer, size, result);
    if (errl != nullptr) {
        GARD_TRACE("GardGetQelDmaConfig: read failed, rc", " %x", errl->getRC());
        dispose(errl);
    } else if (result != nullptr && *result == GARD_VPD_OK) {
        markDmaConfig(*buffer);
    }
    GARD_TRACE("GardGetQelDmaConfig: result", " %x",
               result != nullptr ? static_cast<uint32_t>(*result) : 0xFFFFFFFFu);
    return nullptr;
}
