// ErrlEntry::unflatten of arbitrary bytes: it never reads past the size it
// is given, and what it accepts flattens back into the slot area and reads
// back to the same flattened bytes.
#include <cstring>

#include "common.h"
#include "platform/errl.h"

using namespace gardfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    setUp();
    reset();
    const long entries = live();
    {
        // A copy of exactly `size` bytes, so that reading past it is caught.
        Bytes copy(data, data + size);
        ErrlEntry entry;
        if (entry.unflatten(copy.data(), copy.size()) == 0) {
            const std::size_t flat = entry.flatSize();
            require(flat <= size, "accepted more bytes than given");
            Bytes out(flat);
            require(entry.flatten(out.data(), out.size()) == 0,
                    "an accepted entry does not flatten");
            ErrlEntry again;
            require(again.unflatten(out.data(), out.size()) == 0,
                    "its own flattened form is refused");
            Bytes twice(flat);
            require(again.flatten(twice.data(), twice.size()) == 0 && twice == out,
                    "the round trip changed it");
        } else {
            require(entry.srcCount() == 0 && entry.detail().empty(),
                    "a refused entry is not left empty");
        }
    }
    require(live() == entries, "an error-log entry leaked");
    return 0;
}
