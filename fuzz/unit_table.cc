// Unit gard table operations on gard file 3 contents of any length and
// value. Whatever the file holds: its size and the bytes past the image
// never change, reads write nothing, a changed image differs only where the
// operation may write, and no error-log entry is lost.
#include <algorithm>
#include <cstring>

#include "common.h"
#include "gard/gard.h"
#include "platform/errl.h"

using namespace gardfuzz;

namespace {

constexpr std::size_t kFile = 20480, kImage = 14504, kEntries = 250;
// Column offsets; entry i is element i of each.
constexpr std::size_t kSerial = 4, kGroup = 3004, kUnit = 4004, kState = 4504, kType = 5504,
                      kText = 6504;

uint32_t be(const Bytes& b, std::size_t at, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | b[at + i];
    return v;
}

// True when byte `at` of the image belongs to entry i's cells of the given kinds.
bool inEntry(std::size_t at, std::size_t i, bool ids) {
    auto within = [&](std::size_t base, std::size_t width) {
        return at >= base + width * i && at < base + width * (i + 1);
    };
    if (within(kState, 4) || within(kType, 4)) return true;
    if (at >= kText && at < kImage && (at - kText) % kEntries == i) return true;
    return ids && (within(kSerial, 12) || within(kGroup, 4) || within(kUnit, 2));
}

// Every changed byte lies in one entry's cells.
bool oneEntryChanged(const Bytes& was, const Bytes& now, bool ids) {
    std::size_t entry = kEntries;
    for (std::size_t at = 0; at < kImage; ++at) {
        if (was[at] == now[at]) continue;
        if (entry == kEntries)
            for (std::size_t i = 0; i < kEntries; ++i)
                if (inEntry(at, i, ids)) entry = i;
        if (entry == kEntries || !inEntry(at, entry, ids)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    setUp();
    reset();
    Input in(data, size);
    const uint8_t op = in.u8() % 6;
    const uint16_t unit = in.u16();
    const uint32_t group = in.u32();
    const uint32_t value = in.u32();
    svpd_SerialNum serial;
    Bytes sn = in.take(sizeof serial.bytes);
    sn.resize(sizeof serial.bytes);
    std::memcpy(serial.bytes, sn.data(), sn.size());
    const Bytes file = gardContents(in, kFile);
    putGardFile("gardRask", file);

    const long entries = live();
    ErrlEntry* cause = nullptr;
    if ((value & 0x100) != 0) {
        cause = new ErrlEntry(0xAB00, 0, 0, 0xD1, 0, 0x10, 0x4399, 0xAB01, 1, 2, 3, 4, 0x75, 0);
        cause->getSRC(0)->setAsciiString(
            std::string(reinterpret_cast<const char*>(sn.data()), sn.size()));
    }
    bool garded = false;
    static vpdRecordMenu menu;
    gardFruState fru = static_cast<gardFruState>(0);
    ErrlEntry* e = nullptr;
    switch (op) {
        case 0: e = gardAcc::GardGetVpdUnitState(unit, group, &garded); break;
        case 1: e = gardAcc::GardGetVpdConfigData(0, &menu); break;
        case 2: e = gardAcc::GardUpdateVpdUnit(unit, serial, group, &fru); break;
        case 3:
            e = gardAcc::GardSetVpdUnitState(unit, group, static_cast<GARD_State>(value >> 16),
                                             value & 0xFF, cause);
            break;
        case 4: e = gardAcc::GardClearVpdData(); break;
        case 5: e = gardAcc::GardResetVpdData(); break;
    }
    const Bytes after = gardFile("gardRask");

    require(after.size() == file.size(), "the file changed its size");
    if (file.size() > kImage)
        require(std::equal(file.begin() + kImage, file.end(), after.begin() + kImage),
                "bytes past the image changed");
    if (file.size() < kImage) {
        require(e != nullptr && e->src(e->srcCount() - 1).reasonCode == 0xCA07,
                "a short file read without failure");
        require(after == file, "a short file was written");
    }
    if (op <= 1 || e != nullptr) require(after == file, "written though nothing was due");
    if (e == nullptr) {
        switch (op) {
            case 0:
                if (garded) {
                    bool found = false;
                    for (std::size_t i = 0; i < kEntries; ++i) {
                        const uint32_t s = be(file, kState + 4 * i, 4);
                        found |= be(file, kUnit + 2 * i, 2) == unit &&
                                 be(file, kGroup + 4 * i, 4) == group && (s == 0x5D || s == 0xED);
                    }
                    require(found, "garded without a garded entry");
                }
                break;
            case 1: {
                std::size_t used = 0;
                for (std::size_t i = 0; i < kEntries; ++i) used += be(file, kUnit + 2 * i, 2) != 0;
                for (std::size_t k = 0; k < kEntries; ++k)
                    require((menu.unitId[k] != 0) == (k < used) &&
                                (k < used || menu.state[k] == GARD_CLEARED),
                            "the menu does not list the used entries first");
                break;
            }
            case 2:
                require(fru == GARD_FRU_SET_UP || fru == GARD_FRU_UNCHANGED, "no fru state");
                require(oneEntryChanged(file, after, true),
                        "the update changed more than one entry");
                break;
            case 3:
                require(oneEntryChanged(file, after, false),
                        "the state change changed more than one entry");
                break;
            case 4:
                for (std::size_t i = 0; i < kEntries; ++i)
                    require(
                        be(after, kState + 4 * i, 4) == 0xCC && be(after, kType + 4 * i, 4) == 0,
                        "not cleared");
                break;
            case 5:
                require(be(after, 0, 4) == 0xCAFE0001 &&
                            std::all_of(after.begin() + 4, after.begin() + kImage,
                                        [](uint8_t b) { return b == 0; }),
                        "not reset");
                break;
        }
    }
    delete e;
    delete cause;
    require(live() == entries, "an error-log entry leaked");
    return 0;
}
