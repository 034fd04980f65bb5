// Resources of the whole system: deconfiguring a failed DMA path (with a
// copy of its error log kept per unit) and clearing gard data by domain.
#include <cstdlib>
#include <cstring>

#include "errl/stored.h"
#include "files/gtrace.h"
#include "files/report.h"
#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/hom.h"
#include "platform/vorm.h"
#include "rdnd/registry.h"

namespace {

constexpr uint32_t kDeconfigFlags = 0x1000;
constexpr homUnitId kFirstUnitBase = 0x2E70;
constexpr homUnitId kSecondUnitBase = 0x2E90;
constexpr unsigned int kSrcNumberChars = 5;

// The SRC number: the first five characters of the primary SRC's text read
// as strtol reads hex. The copy keeps strtol inside those five characters
// and inside a shorter text.
uint32_t srcNumber(SrciSrc* src) {
    char head[kSrcNumberChars + 1] = {};
    const char* text = src != nullptr ? src->getAsciiString() : nullptr;
    if (text != nullptr) std::strncpy(head, text, kSrcNumberChars);
    return static_cast<uint32_t>(std::strtol(head, nullptr, 16));
}

// Keeps a copy of the error log for one unit of the path. Failures are
// committed here so that the other unit is still handled.
void keepCopy(homUnitId base, uint32_t instance, ErrlEntry* errl) {
    homUnitId unit = homGetUnitId(base, instance);
    uint32_t port = 0;
    ErrlEntry* failure = vormGetVPDPort(unit, &port);
    if (failure == nullptr) failure = gardStoreErrl(port, unit, errl);
    gard::dispose(failure);
}

// Puts this processor's own record into the cleared state; sets `rc` to 4
// when the change is not accepted.
ErrlEntry* gardClearOwnQelState(GARD_RC& rc) {
    uint8_t position = 0;
    ErrlEntry* errl = gard::reg::read(gard::reg::kQelPosition, position, uint8_t{0});
    if (errl != nullptr) return errl;
    uint8_t sibling = 2;
    errl = gard::reg::read(gard::reg::kSiblingState, sibling, uint8_t{2});
    if (errl != nullptr) return errl;

    unsigned int ids[2] = {0, 0};
    qelDataBuffer buffer;
    gardVpdReturn vpd = GARD_VPD_REPAIR_FAILED;
    errl = GardRdndQel::GardReadVPD(ids, &buffer, sizeof buffer, &vpd);
    if (errl != nullptr) return errl;
    if (vpd != GARD_VPD_OK || position > 1 || sibling == 2) return nullptr;

    gardSetStateReturn result = GARD_SET_FAILED;
    errl = GardRdndQel::GardSetQelState(ids[position], GARD_QEL_CLEARED, 0, result, true, 0);
    if (result != GARD_SET_DONE) rc = GARD_RC_FAILED;
    return errl;
}

}  // namespace

ErrlEntry* GardDeconfigDmaPath(homDMAPath path, GARD_ErrorType errorType, unsigned short,
                               GARD_RC&, ErrlEntry* errl) {
    GARD_TRACE("GardDeconfigDmaPath", " %x,%x", path.word[5], errorType);
    if (errl == nullptr) {
        // Without the error log there is nothing to gard or keep; leave the path alone.
        GARD_TRACE("GardDeconfigDmaPath: no error log", " ");
        return nullptr;
    }
    SrciSrc* src = errl->getSRC(0);
    uint32_t flag = 1;
    ErrlEntry* failure =
        vormGardDeconfigDmaPath(path.word[5], errorType, srcNumber(src), kDeconfigFlags, &flag);
    if (failure != nullptr) return failure;
    if (flag != 0) return nullptr;

    if (src != nullptr) src->SetGardBit();
    keepCopy(kFirstUnitBase, path.word[4], errl);
    keepCopy(kSecondUnitBase, path.word[3], errl);
    return nullptr;
}

ErrlEntry* GardClearSystemResources(GARD_RC& rc, GARD_Domain domain) {
    GARD_TRACE("GardClearSystemResources", " %d", static_cast<uint32_t>(domain));
    rc = GARD_RC_OK;
    if (domain == GARD_DOMAIN_UNITS || domain == GARD_DOMAIN_ALL) {
        ErrlEntry* errl = gardAcc::GardClearVpdData();
        if (errl != nullptr) rc = GARD_RC_FAILED;
        gard::dispose(errl);
    }
    if (domain == GARD_DOMAIN_OWN_QEL || domain == GARD_DOMAIN_ALL) {
        ErrlEntry* errl = gardClearOwnQelState(rc);
        if (errl != nullptr) rc = GARD_RC_FAILED;
        gard::dispose(errl);
    }
    GARD_TRACE("GardClearSystemResources: done", " %x", static_cast<uint32_t>(rc));
    return nullptr;
}

// A DMA-path state change is accepted and needs no work here.
ErrlEntry* GardRdndQel::GardSetDmaPathState(homUnitId, unsigned char, gardQelState, unsigned int,
                                            gardSetStateReturn&) {
    return nullptr;
}
