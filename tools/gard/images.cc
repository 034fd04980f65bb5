// Image decoding and the decode command: a unit-table or stored error-log
// image, decoded outside any state directory, with what breaks its rules.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

#include "cli.h"
#include "errl/stored.h"
#include "files/bytes.h"
#include "unit/table.h"

namespace gardcli {

namespace {
using gard::unit::kMagic;

std::string entryName(unsigned i, uint32_t unit, uint32_t group) {
    return "entry " + std::to_string(i) + " (unit " + hex(unit) + " group " + hex(group) + ")";
}
}  // namespace

Json decodeUnitImage(const unsigned char* image, std::vector<std::string>& anomalies) {
    namespace table = gard::unit;
    uint32_t magic = gard::be::get32(image + table::kMagicAt);
    if (magic != 0 && magic != kMagic)
        anomalies.push_back("magic word " + hex(magic) + " is neither 0 nor " + hex(kMagic));
    Json entries = Json::array();
    std::map<std::pair<uint32_t, uint32_t>, int> seen;
    int firstFree = -1;
    for (unsigned i = 0; i < table::kEntries; ++i) {
        uint32_t unit = table::unitId(image, i);
        if (unit == 0) {
            if (firstFree < 0) firstFree = i;
            continue;
        }
        uint32_t group = table::groupId(image, i);
        uint32_t state = table::state(image, i);
        std::string src;
        for (unsigned j = 0; j < table::kSrcTextSize; ++j)
            src += static_cast<char>(image[table::srcTextOffset(i, j)]);
        src.erase(src.find_last_not_of('\0') + 1);
        Json entry = {{"index", i},
                      {"unitId", unit},
                      {"groupId", group},
                      {"serial", hexBytes(table::serialAt(image, i), table::kSerialSize)},
                      {"state", state},
                      {"stateName", unitStateName(state)},
                      {"errorType", table::errorType(image, i)}};
        putBytes(entry, "src", src);
        entries.push_back(std::move(entry));
        if (firstFree >= 0)
            anomalies.push_back(entryName(i, unit, group) + " is used after free entry " +
                                std::to_string(firstFree));
        if (unitStateName(state) == "unknown")
            anomalies.push_back(entryName(i, unit, group) + " has unknown state " + hex(state));
        auto [it, added] = seen.emplace(std::make_pair(unit, group), i);
        if (!added)
            anomalies.push_back(entryName(i, unit, group) + " records the pair of entry " +
                                std::to_string(it->second) + " again");
    }
    return {{"kind", "units"}, {"magic", magic}, {"entries", entries}};
}

Json decodeErrlImage(const unsigned char* image, std::vector<std::string>& anomalies) {
    using namespace gard::errlfile;
    Json slots = Json::array();
    std::map<uint32_t, int> seen;
    for (unsigned i = 0; i < kSlots; ++i) {
        const unsigned char* slot = slotAt(image, i);
        uint32_t unit = slotUnit(slot);
        if (unit == 0) {
            for (unsigned k = 0; k < kSlotSize; ++k)
                if (slot[k] != 0) {
                    anomalies.push_back("free slot " + std::to_string(i) + " is not all zero bytes");
                    break;
                }
            continue;
        }
        ErrlEntry e;
        bool ok = e.unflatten(slot + kErrlOffset, kErrlSize) == 0;
        slots.push_back({{"slot", i}, {"unitId", unit}, {"port", slotPort(slot)},
                         {"errl", ok ? errlJson(&e) : Json(nullptr)}});
        if (!ok)
            anomalies.push_back("slot " + std::to_string(i) + " (unit " + hex(unit) +
                                ") does not unflatten");
        auto [it, added] = seen.emplace(unit, i);
        if (!added)
            anomalies.push_back("slot " + std::to_string(i) + " stores unit " + hex(unit) +
                                " again (first in slot " + std::to_string(it->second) + ")");
    }
    return {{"kind", "errl"}, {"slots", slots}};
}

namespace {

// The two gard files decode knows: name, size as the library creates it,
// and the record image at its start.
struct GardFile {
    const char* kind;
    const char* name;
    std::size_t fileSize, imageSize;
};
constexpr GardFile kUnits = {"units", "gardRask", 20480, gard::unit::kImageSize};
constexpr GardFile kErrl = {"errl", "gardErrl", 51200, gard::errlfile::kImageSize};
constexpr std::size_t kLargestGardFile = 81920;  // memGard

// A regular file's first kLargestGardFile + 1 bytes; anything else
// (directory, device, pipe) is bad input, read without blocking.
std::vector<unsigned char> readRegular(const std::string& path, std::size_t& size) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw Usage("cannot read " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        throw Usage(path + " is not a regular file: decode reads a gard file (gardRask or gardErrl)");
    }
    std::vector<unsigned char> data(kLargestGardFile + 1);
    std::size_t got = 0;
    while (got < data.size()) {
        ssize_t n = read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    data.resize(got);
    size = std::max(got, static_cast<std::size_t>(st.st_size));
    return data;
}

// By name, then by content: the table's magic word, a flattened error log
// in a slot ("GERL"), then the size nearer one file's.
const GardFile& chooseFile(const std::string& path, const std::vector<unsigned char>& data,
                           const std::string& kindText) {
    if (kindText != "auto") return kindText == "units" ? kUnits : kErrl;
    const std::string name = std::filesystem::path(path).filename().string();
    for (const GardFile* f : {&kUnits, &kErrl})
        if (name == f->name) return *f;
    if (data.size() >= 4 && gard::be::get32(data.data()) == gard::unit::kMagic) return kUnits;
    using namespace gard::errlfile;
    for (std::size_t at = kErrlOffset; at + 4 <= data.size() && at < kImageSize; at += kSlotSize)
        if (std::memcmp(data.data() + at, "GERL", 4) == 0) return kErrl;
    return data.size() * 2 > kUnits.fileSize + kErrl.imageSize ? kErrl : kUnits;
}

int decode(const std::string& path, const std::string& kindText) {
    if (kindText != "auto" && kindText != "units" && kindText != "errl")
        throw Usage("unknown kind '" + kindText + "' (auto, units or errl)");
    std::size_t size = 0;
    std::vector<unsigned char> image = readRegular(path, size);
    const GardFile& file = chooseFile(path, image, kindText);
    std::vector<std::string> anomalies;
    if (size != file.fileSize)
        anomalies.push_back("size " + std::to_string(size) + " bytes, a " + file.name + " file has " +
                            std::to_string(file.fileSize) + " (" +
                            (size < file.fileSize ? "truncated" : "oversized") + ")" +
                            (&file == &kUnits && size < file.imageSize
                                 ? ": shorter than the table's " + std::to_string(file.imageSize) +
                                       "-byte image, which no unit-table command can read; in a state directory, " +
                                       kRemakeTable
                                 : ""));
    // What is missing of the record image reads as zero bytes.
    image.resize(std::max(image.size(), file.imageSize), 0);
    // Unflattening goes through the host platform, which keeps its state in
    // a directory: a scratch one, so that decoding touches no state.
    std::string scratch = scratchDir("gard-decode");
    gardhost::setStateDir(scratch);
    Result r;
    const bool units = &file == &kUnits;
    r.out = units ? decodeUnitImage(image.data(), anomalies) : decodeErrlImage(image.data(), anomalies);
    putBytes(r.out, "file", path);
    r.out["size"] = size;
    r.out["expectedSize"] = file.fileSize;
    r.out["anomalies"] = anomalies;
    r.text << r.out["file"].get<std::string>() << ": ";
    if (units) {
        r.text << "unit table, magic " << hex(r.out["magic"].get<uint32_t>()) << '\n';
        for (const Json& e : r.out["entries"])
            r.text << "  entry " << e["index"] << ": unit " << hex(e["unitId"].get<uint32_t>())
                   << " group " << hex(e["groupId"].get<uint32_t>()) << " serial "
                   << e["serial"].get<std::string>() << "  " << e["stateName"].get<std::string>()
                   << " (" << hex(e["state"].get<uint32_t>()) << ") error type "
                   << hex(e["errorType"].get<uint32_t>()) << "  SRC " << e["src"].get<std::string>()
                   << '\n';
        r.text << counted(r.out["entries"].size(), "used entry", "used entries") << '\n';
    } else {
        r.text << "stored error logs\n";
        printSlots(r.text, r.out, "slots", true);
    }
    r.text << counted(anomalies.size(), "anomaly", "anomalies") << '\n';
    for (const std::string& a : anomalies) r.text << "  " << a << '\n';
    r.code = anomalies.empty() ? kOk : kAnomaly;
    int code = finish(r);
    dropScratch();
    return code;
}

}  // namespace

void addDecode(CLI::App& app) {
    auto path = std::make_shared<std::string>(), kind = std::make_shared<std::string>("auto");
    CLI::App* c = command(&app, "decode",
                          "Decode a unit-table (gardRask) or stored error-log (gardErrl) image "
                          "and report anomalies (exit 3 when there are any)",
                          "gard decode ~/.local/state/gard/root/opt/p3/gard/gardRask", false);
    c->add_option("FILE", *path, "Image file")->required();
    c->add_option("--kind", *kind, "units, errl or auto (by file name, then content; the default)");
    c->callback([=] { action() = [=] { return decode(*path, *kind); }; });
}

}  // namespace gardcli
