// Stored error-log operations on gard file 4 contents of any length and
// value: the size and the bytes past the 20 slots never change, reads write
// nothing, the store fills only the first free slot, the clears only free
// the slots they name, and no error-log entry is lost.
#include <algorithm>
#include <cstring>

#include "common.h"
#include "errl/stored.h"
#include "gard/gard.h"
#include "platform/errl.h"

using namespace gardfuzz;

namespace {

constexpr std::size_t kFile = 51200, kSlot = 2056, kSlots = 20, kImage = kSlot * kSlots;

uint32_t be32(const Bytes& b, std::size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}
uint32_t unitOf(const Bytes& b, std::size_t slot) { return be32(b, slot * kSlot); }
uint32_t portOf(const Bytes& b, std::size_t slot) { return be32(b, slot * kSlot + 4); }
bool sameSlot(const Bytes& a, const Bytes& b, std::size_t slot) {
    return std::memcmp(a.data() + slot * kSlot, b.data() + slot * kSlot, kSlot) == 0;
}
bool zeroSlot(const Bytes& b, std::size_t slot) {
    return std::all_of(b.begin() + static_cast<long>(slot * kSlot),
                       b.begin() + static_cast<long>((slot + 1) * kSlot),
                       [](uint8_t v) { return v == 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    setUp();
    reset();
    Input in(data, size);
    const uint8_t op = in.u8() % 5;
    const uint32_t unit = in.u32();
    const uint32_t port = in.u32();
    const uint16_t detail = in.u16() % 4096;  // up to twice what a slot holds
    const Bytes file = gardContents(in, kFile);
    putGardFile("gardErrl", file);

    const long entries = live();
    auto* stored = new ErrlEntry(0xAB00, 0, 0, 0xD1, 0, 0x10, 0x4399, 0xAB01, 1, 2, 3, 4, 0x75, 0);
    stored->detail().assign(detail, 0x5A);
    const std::size_t storedSize = stored->flatSize();
    ErrlEntry* back = (unit & 1) != 0 ? new ErrlEntry() : nullptr;  // deleted by the read back
    ErrlEntry* e = nullptr;
    switch (op) {
        case 0: e = gardStoreErrl(port, unit, stored); break;
        case 1: e = gardReadStoredErrl(unit, back); break;
        case 2: e = GardGetStoredErrl(unit, back); break;
        case 3: e = gardClearStoredErrl(unit); break;
        case 4: e = gardClearStoredErrlByPort(port); break;
    }
    const Bytes after = gardFile("gardErrl");

    require(stored->flatSize() == storedSize, "the caller's entry changed");
    require(after.size() == file.size(), "the file changed its size");
    if (file.size() > kImage)
        require(std::equal(file.begin() + kImage, file.end(), after.begin() + kImage),
                "bytes past the slots changed");
    if (file.size() < kImage) {
        require(e != nullptr && e->src(e->srcCount() - 1).reasonCode == 0xCA07,
                "a short file read without failure");
        require(after == file, "a short file was written");
    }
    if (op == 1 || op == 2 || e != nullptr)
        require(after == file, "written though nothing was due");
    if (e == nullptr) {
        std::size_t firstFree = kSlots, changed = 0;
        bool present = false;
        for (std::size_t s = 0; s < kSlots; ++s) {
            if (unitOf(file, s) == 0 && firstFree == kSlots) firstFree = s;
            present |= unitOf(file, s) == unit && unit != 0;
            changed += !sameSlot(file, after, s);
        }
        switch (op) {
            case 0:
                require(changed <= 1, "the store changed more than one slot");
                if (changed == 1)
                    require(!present && firstFree < kSlots && !sameSlot(file, after, firstFree) &&
                                unitOf(after, firstFree) == unit &&
                                portOf(after, firstFree) == port,
                            "the store did not fill the first free slot");
                break;
            case 1:
            case 2: {
                bool any = false;
                for (std::size_t s = 0; s < kSlots; ++s) any |= unitOf(file, s) == unit;
                require(back == nullptr || any, "an entry read back for a unit without a slot");
                break;
            }
            case 3: {
                std::size_t first = kSlots;
                for (std::size_t s = 0; s < kSlots && first == kSlots; ++s)
                    if (unitOf(file, s) == unit) first = s;
                for (std::size_t s = 0; s < kSlots; ++s)
                    require(s == first ? zeroSlot(after, s) : sameSlot(file, after, s),
                            "the clear freed another slot");
                break;
            }
            case 4:
                for (std::size_t s = 0; s < kSlots; ++s)
                    require(portOf(file, s) == port ? zeroSlot(after, s) : sameSlot(file, after, s),
                            "the clear by port freed another slot");
                break;
        }
    }
    delete e;
    delete back;
    delete stored;
    require(live() == entries, "an error-log entry leaked");
    return 0;
}
