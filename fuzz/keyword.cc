// Service-processor record operations on VPD gard keywords of every length
// (0 to 64 bytes) and value, under any position, role and sibling state.
// Whatever the keywords hold: a keyword the library writes back is one
// whole 32-byte record with its marker, result codes stay in their ranges,
// and no error-log entry is lost.
#include "common.h"
#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/host/host.h"

using namespace gardfuzz;

namespace {

constexpr unsigned kUnits[2] = {0x200, 0x201};
const std::string kKeyword[2] = {"vpd/0x200/keyword", "vpd/0x201/keyword"};

// A unit id from the input: mostly a service processor, sometimes not.
unsigned unitFrom(uint8_t b) { return b % 4 == 3 ? 0x100u + b : kUnits[b % 2]; }

bool isRecord(const Bytes& b) { return b.size() == 32 && b[0] == 0x0C && b[1] == 0x05; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    setUp();
    reset();
    Input in(data, size);
    const uint8_t op = in.u8() % 11;
    const uint8_t flags = in.u8();
    Bytes keyword[2];
    for (int i = 0; i < 2; ++i) {
        keyword[i] = in.take(in.u8() % 65);
        gardhost::setU8("vpd/" + gardhost::unitName(kUnits[i]) + "/present",
                        (flags >> i & 1) != 0 ? 0 : 1);
        if ((flags >> (2 + i) & 1) != 0)
            gardhost::eraseValue(kKeyword[i]);  // no keyword at all
        else
            gardhost::setValue(kKeyword[i], keyword[i]);
    }
    gardhost::setU8(gardhost::regName("dscv/QelPosition"), in.u8() % 3);
    gardhost::setU8(gardhost::regName("dscv/QelRole"), in.u8() % 4);
    gardhost::setU8(gardhost::regName("dscv/SiblingState"), in.u8() % 3);
    const uint8_t unitByte = in.u8();
    const unsigned unit = unitFrom(unitByte);
    const uint32_t state = in.u8();
    const uint32_t word = in.u32();
    const unsigned bufferSize = (unitByte & 0x80) != 0 ? 63 : 64;
    Bytes written = in.take(32);
    written.resize(32, 0xFF);
    Bytes before[2];
    bool had[2];
    for (int i = 0; i < 2; ++i) had[i] = gardhost::getValue(kKeyword[i], before[i]);

    const long entries = live();
    ErrlEntry* e = nullptr;
    unsigned ids[2] = {7, 7};
    qelDataBuffer buffer;
    gardVpdReturn vpd = static_cast<gardVpdReturn>(99);
    gardSetStateReturn result = static_cast<gardSetStateReturn>(99);
    GardFoStatus status = static_cast<GardFoStatus>(99);
    GARD_RC rc = static_cast<GARD_RC>(99);
    bool garded = false;
    switch (op) {
        case 0: e = GardRdndQel::GardReadVPD(ids, &buffer, bufferSize, &vpd); break;
        case 1: e = GardRdndQel::GardWriteVPD(unit, 32, written.data()); break;
        case 2:
            e = GardRdndQel::GardSetQelState(unit, static_cast<gardQelState>(state), word, result,
                                             (flags & 0x10) != 0, ~word);
            break;
        case 3:
            e = GardRdndQel::GardGetQelState(unit, garded, (flags & 0x10) != 0,
                                             (flags & 0x20) != 0);
            break;
        case 4:
            require(GardRdndQel::GardQelDoGard(unit) <= 1, "do-gard answer out of range");
            break;
        case 5:
            require(static_cast<unsigned>(gardIsQelUsable(unit)) <= 2, "usability out of range");
            break;
        case 6:
            e = gardCheckFailoverCapable(status);
            require(status <= 2, "failover status out of range");
            break;
        case 7: e = GardRdndQel::GardGetQelDmaConfig(ids, &buffer, bufferSize, &vpd); break;
        case 8: e = GardRdndQel::GardMailboxSetState(unit, word % 8); break;
        case 9:
            e = GardClearSystemResources(rc, static_cast<GARD_Domain>(word % 2 != 0 ? 167 : 175));
            break;
        case 10: isQelPresent(unit); break;
    }

    if (op == 0 || op == 7) {
        require(vpd == 0 || vpd == 1 || vpd == 15 || vpd == 31, "record result out of range");
        if (vpd == 0)
            for (int i = 0; i < 2; ++i)
                require(ids[i] == 0 ||
                            (buffer.bytes[32 * i] == 0x0C && buffer.bytes[32 * i + 1] == 0x05),
                        "a valid read without the marker");
    }
    if (op == 2) require(result <= 2, "state result out of range");
    if (op == 9) require(rc == 0 || rc == 4, "clear result out of range");
    if (op == 6 || op == 8 || op == 9)
        require(e == nullptr, "a failure passed on that must be committed");
    for (int i = 0; i < 2; ++i) {
        Bytes now;
        const bool has = gardhost::getValue(kKeyword[i], now);
        if (has == had[i] && now == before[i]) continue;
        require(has, "a keyword vanished");
        if (op == 1)
            require(now == written, "the written keyword is not the record given");
        else
            require(isRecord(now), "a keyword was written that is not a whole record");
    }
    delete e;
    require(live() == entries, "an error-log entry leaked");
    return 0;
}
