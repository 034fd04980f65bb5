// Reading, repairing and writing the gard records of both service processors.
#include "rdnd/record.h"

#include <cstring>
#include <new>

#include "files/bytes.h"
#include "files/gtrace.h"
#include "files/report.h"
#include "platform/errl.h"
#include "platform/svpd.h"
#include "rdnd/registry.h"

namespace {

using namespace gard;

// Reads one present unit's keyword into its record, repairs a blank or
// damaged record and writes the repair back. Returns the unit's result code:
// 0, or 1 when unreadable, or 15 when the repair could not be written.
uint32_t readRecord(unsigned int unit, unsigned char* rec) {
    unsigned int length = 0;
    unsigned char* data = nullptr;
    ErrlEntry* errl = SVPD_get_qel_gd_keyword(unit, &length, &data, false);
    uint32_t code = GARD_VPD_OK;
    if (errl != nullptr || length == 0 || length > qel::kRecordSize || data == nullptr) {
        // Unreadable counts as garded; the marker stays blank.
        GARD_TRACE("GardReadVPD: keyword unreadable, length", " %x", length);
        rec[qel::kStateAt] = GARD_QEL_GARDED;
        dispose(errl);
        code = GARD_VPD_UNREADABLE;
    } else {
        std::memcpy(rec, data, length);  // a short keyword leaves 0xFF behind it
        bool repaired = true;
        if (be::get16(rec + qel::kMarkerAt) != qel::kMarker) {
            std::memset(rec, qel::kBlank, qel::kRecordSize);
            be::put16(rec + qel::kMarkerAt, qel::kMarker);
            rec[qel::kStateAt] = GARD_QEL_NEW;
        } else if (rec[qel::kStateAt] == GARD_QEL_ERASED) {
            rec[qel::kStateAt] = GARD_QEL_NEW;
        } else {
            repaired = false;
        }
        if (repaired) {
            errl = GardRdndQel::GardWriteVPD(unit, qel::kRecordSize, rec);
            if (errl != nullptr) {
                GARD_TRACE("GardReadVPD: repair not written", " ");
                dispose(errl);
                code = GARD_VPD_REPAIR_FAILED;
            }
        }
    }
    if (data != nullptr) ::operator delete(data);
    return code;
}

}  // namespace

namespace gard::qel {

bool readBoth(qelDataBuffer& buffer) {
    unsigned int ids[2] = {0, 0};
    gardVpdReturn result = GARD_VPD_REPAIR_FAILED;
    ErrlEntry* errl = GardRdndQel::GardReadVPD(ids, &buffer, kBufferSize, &result);
    if (errl != nullptr) {
        dispose(errl);
        return false;
    }
    return result == GARD_VPD_OK;
}

}  // namespace gard::qel

bool isQelPresent(unsigned int unit) {
    unsigned int status = 0;
    ErrlEntry* errl = SVPD_fru_status(unit, status, false);
    if (errl != nullptr) {
        // Absent, and not worth a log of its own.
        status = 0;
        delete errl;
    }
    GARD_TRACE("isQelPresent: unit,status", " %x,%x", unit, status);
    return status != 0;
}

ErrlEntry* GardRdndQel::GardWriteVPD(unsigned int unit, unsigned int size, unsigned char* data) {
    GARD_TRACE("GardWriteVPD: unit,size", " %x,%x", unit, size);
    // A processor that cannot tell its role writes.
    uint8_t role = 1;
    reg::readOr(reg::kQelRole, role, uint8_t{1});
    ErrlEntry* errl = role == 1 ? SVPD_set_qel_gd_keyword(unit, size, data) : nullptr;
    GARD_TRACE("GardWriteVPD: role,failed", " %x,%x", role, errl != nullptr);
    return errl;
}

ErrlEntry* GardRdndQel::GardReadVPD(unsigned int* ids, qelDataBuffer* buffer, unsigned int size,
                                    gardVpdReturn* result) {
    GARD_TRACE("GardReadVPD: size", " %x", size);
    if (result == nullptr) {
        GARD_TRACE("GardReadVPD: no result word", " ");
        return nullptr;
    }
    *result = GARD_VPD_OK;
    if (ids != nullptr) ids[0] = ids[1] = 0;
    // Without an id pair or a buffer there is no room to read into.
    if (size < qel::kBufferSize || ids == nullptr || buffer == nullptr) {
        GARD_TRACE("GardReadVPD: buffer too small, size,needed", " %x,%x", size,
                   qel::kBufferSize);
        *result = GARD_VPD_BUFFER_SMALL;
        return nullptr;
    }
    std::memset(buffer->bytes, qel::kBlank, qel::kBufferSize);
    for (unsigned int i = 0; i < 2; ++i) {
        const unsigned int unit = qel::kUnits[i];
        if (!isQelPresent(unit)) continue;
        ids[i] = unit;
        // A later unit's problem replaces an earlier one's; a clean read keeps it.
        uint32_t code = readRecord(unit, qel::record(*buffer, i));
        if (code != GARD_VPD_OK) *result = static_cast<gardVpdReturn>(code);
    }
    GARD_TRACE("GardReadVPD: result", " %x", *result);
    return nullptr;
}
