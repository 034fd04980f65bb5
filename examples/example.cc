// Opens the five gard system files in a state directory and prints what
// happened: on first use each file is created zero-filled at its size. It
// holds the state directory's lock meanwhile, as every program that may
// run beside others on it does (opening may create files).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gard/gard.h>
#include <gard/platform/errl.h>
#include <gard/platform/host/host.h>

namespace {

void printErrl(const ErrlEntry* errl) {
    for (std::size_t i = 0; i < errl->srcCount(); ++i) {
        const SrciSrc& s = errl->src(i);
        std::printf("    SRC %zu: component 0x%04X module 0x%02X reason 0x%04X user data %u %u %u %u\n",
                    i, s.compId, s.modId, s.reasonCode, s.ud[0], s.ud[1], s.ud[2], s.ud[3]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) gardhost::setStateDir(argv[1]);
    gardhost::StateLock lock(gardhost::StateLock::kExclusive);
    if (!lock.held()) {
        std::printf("cannot lock the state directory (%s)\n", lock.path().c_str());
        return 1;
    }
    gardhost::seedDefaults();
    std::printf("state directory: %s\n", gardhost::stateDir().c_str());

    const gardModId kExampleModule = 0x01;
    int failures = 0;
    for (int id : {0, 1, 3, 4, 5}) {
        UtilFile* file = nullptr;
        ErrlEntry* errl = GardSysFileOpen(file, kExampleModule, 1, id);
        unsigned char head[16] = {};
        if (errl == nullptr) errl = GardSysFileRead(file, 0, head, sizeof head, kExampleModule, 2, 0, 0, 0);
        ErrlEntry* closeErrl = GardSysFileClose(file, kExampleModule, 3);
        if (errl != nullptr) {
            std::printf("file id %d: failed\n", id);
            printErrl(errl);
            ++failures;
        } else {
            std::printf("file id %d: opened, first bytes %02x %02x %02x %02x\n", id, head[0], head[1],
                        head[2], head[3]);
        }
        delete errl;
        delete closeErrl;
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(
             gardhost::resolvePath("/opt/p3/gard"), ec))
        std::printf("  %-24s %8ju bytes\n", entry.path().filename().c_str(),
                    static_cast<uintmax_t>(entry.file_size()));
    return failures == 0 ? 0 : 1;
}
