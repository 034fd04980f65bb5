// history-gen STATE N: makes a history of about N known changes in a new
// state directory, through the host platform as any process would (run it
// with GARD_HOST_NOSYNC=1 to be quick), and prints what a page of it must
// show, counted here as the changes are made:
//   lane <name> <changes>   the changes of each record and unit
//   row <name> <marks>      the marks of each row below the lanes
//   events <count>
// The unit table is written by its layout (big-endian columns), the
// records as marker 0x0c05 and a state byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/errl.h"
#include "platform/host/host.h"

namespace {

// The unit table's columns: serials, group ids, unit ids, states.
constexpr std::size_t kSerialAt = 4, kGroupAt = 3004, kUnitAt = 4004, kStateAt = 4504, kFileSize = 20480;
constexpr uint32_t kStates[] = {0x5C, 0x5D, 0xCC, 0xED, 0xEC};
constexpr unsigned kUnits = 20;

void put(std::vector<uint8_t>& b, std::size_t at, uint32_t v, int width) {
    for (int k = 0; k < width; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * (width - 1 - k)));
}

std::string hexName(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: history-gen STATE N\n");
        return 2;
    }
    gardhost::setStateDir(argv[1]);
    gardhost::seedDefaults();
    const long n = std::atol(argv[2]);
    std::map<std::string, long> lanes, rows;
    long events = 0;
    std::map<uint32_t, unsigned> spState;        // index into kStates
    std::vector<int> unitState(kUnits, -1);      // -1: not in the table yet
    std::vector<uint8_t> table;
    long tableEvents = 0, regs = 0, policies = 0;
    for (long i = 0; i < n; ++i) {
        switch (i % 10) {
        case 0:
        case 1:
        case 2: {  // a processor record takes its next state
            const uint32_t unit = (i / 10) % 2 ? 0x201 : 0x200;
            const unsigned s = spState.count(unit) ? (spState[unit] + 1) % 5 : 0;
            spState[unit] = s;
            std::vector<uint8_t> rec(32, 0xFF);
            rec[0] = 0x0C, rec[1] = 0x05, rec[2] = static_cast<uint8_t>(kStates[s]);
            gardhost::setValue("vpd/" + hexName(unit) + "/keyword", rec);
            ++lanes["record " + hexName(unit)];
            break;
        }
        case 3:
        case 4:
        case 5: {  // a unit is added to the table, or takes its next state
            if (table.empty()) {  // the table file made, as an event of its own
                table.assign(kFileSize, 0);
                gardhost::setValue("root/opt/p3/gard/gardRask", table);
                ++rows["gard files"];
                ++events;
            }
            const unsigned u = static_cast<unsigned>(tableEvents++ % kUnits);
            const uint32_t id = 0x100 + u;
            if (unitState[u] < 0) {
                put(table, kUnitAt + 2 * u, id, 2);
                put(table, kGroupAt + 4 * u, 1, 4);
                table[kSerialAt + 12 * u] = 'S';
                table[kSerialAt + 12 * u + 1] = static_cast<uint8_t>('A' + u);
                unitState[u] = 0;
            } else {
                unitState[u] = (unitState[u] + 1) % 5;
            }
            put(table, kStateAt + 4 * u, kStates[unitState[u]], 4);
            gardhost::setValue("root/opt/p3/gard/gardRask", table);
            ++lanes["unit " + hexName(id) + " group 0x1"];
            break;
        }
        case 6:  // a registry value of one processor or the other
            gardhost::setU8(gardhost::regName("dscv/SiblingState", static_cast<int>(regs % 2)),
                            static_cast<uint8_t>(2 + (regs / 2) % 2));
            ++regs;
            ++rows["registry"];
            break;
        case 7:  // the gard policy turned on and off
            gardhost::setU32("vorm/policy/11", static_cast<uint32_t>(++policies % 2));
            ++rows["platform"];
            break;
        default: {  // an error log committed
            ErrlEntry e(0xCA00, 0, 1, 0xD1, 0, 0x21, 0x4399, 0xCA01, 0xD, 0x201, 0x5D, 0x010000B7, 0x75, 0);
            e.commit(0xCA00, 0x4000);
            ++rows["error logs"];
            break;
        }
        }
        ++events;
    }
    for (const auto& [name, count] : lanes) std::printf("lane %s %ld\n", name.c_str(), count);
    for (const auto& [name, count] : rows) std::printf("row %s %ld\n", name.c_str(), count);
    std::printf("events %ld\n", events);
    return 0;
}
