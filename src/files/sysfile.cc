// The gard system files: find or create a file by id, and drive the platform
// file object, turning every failure into an error log that names the step.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "files/gtrace.h"
#include "files/report.h"
#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/utilfile.h"
#include "platform/utilreg.h"

namespace {

struct SysFile {
    const char* name;
    unsigned int size;
};

// Indexed by file id; there is no file 2.
constexpr SysFile kFiles[] = {
    {"gard/gardArea", 0xA000},     {"gard/memGard", 0x14000},
    {nullptr, 0},                  {"gard/gardRask", 0x5000},
    {"gard/gardErrl", 0xC800},     {"gard/DimmJedecData", 0x280},
};
constexpr unsigned int kMaxFileSize = 0x14000;
constexpr const char* kGardDir = "/opt/p3/gard";
const char* const kRoots[] = {"fstp/P3_Root"};

// The pending error of the object after a call: the step's result.
ErrlEntry* takePending(UtilFile* file) {
    ErrlEntry* errl = file->iv_errl;
    file->iv_errorFlag = 0;
    file->iv_errl = nullptr;
    return errl;
}

// The zero-fill image of a new file: static, since it is only ever read and
// the largest file would not fit a firmware thread's stack.
const unsigned char kZeros[kMaxFileSize] = {};

// The file for an id, each branch leaving its own trace entry (the open's
// entries carry no values); null for an id that names no file.
const SysFile* chooseFile(int fileId) {
    switch (fileId) {
    case 0: GARD_TRACE("GardSysFileOpen: gardArea", " "); break;
    case 1: GARD_TRACE("GardSysFileOpen: memGard", " "); break;
    case 3: GARD_TRACE("GardSysFileOpen: gardRask", " "); break;
    case 4: GARD_TRACE("GardSysFileOpen: gardErrl", " "); break;
    case 5: GARD_TRACE("GardSysFileOpen: DimmJedecData", " "); break;
    default: GARD_TRACE("GardSysFileOpen: no file for this id", " "); return nullptr;
    }
    return &kFiles[fileId];
}

}  // namespace

ErrlEntry* GardSysFileOpen(UtilFile*& file, gardModId modId, unsigned int progress, int fileId) {
    using namespace gard;
    const SysFile* chosen = chooseFile(fileId);
    // No path is built for an id that names no file: its open fails with the
    // open's reason code and the id in the first user-data word.
    if (chosen == nullptr) return makeErrl(modId, kRcFileOpen, 0, static_cast<uint32_t>(fileId), 0, 0, 0);
    const SysFile& sys = *chosen;

    char* path = nullptr;
    std::size_t length = 0;
    ErrlEntry* result = UtilReg::path(kRoots, 1, sys.name, path, length);
    if (result == nullptr) {
        if (file == nullptr) {
            GARD_TRACE("GardSysFileOpen: new file object", " ");
            file = new UtilFile(path);
        }
        if (file->exists()) {
            GARD_TRACE("GardSysFileOpen: existing file", " ");
            file->Open("r+");
            result = takePending(file);
        } else {
            mkdir(kGardDir, 0777);  // usually there already; a real problem shows at Open
            file->Open("w+");
            result = takePending(file);
            if (result == nullptr) {
                result = GardSysFileWrite(file, 0, const_cast<unsigned char*>(kZeros), sys.size,
                                          modId, progress, 0, 0, 0);
            }
        }
    }
    if (result != nullptr) {
        GARD_TRACE("GardSysFileOpen: failed", " ");
        addSrc(result, modId, kRcFileOpen, 0, 0, 0, 0);
    }
    std::free(path);
    GARD_TRACE("GardSysFileOpen: exit", " ");
    return result;
}

ErrlEntry* GardSysFileSeek(UtilFile* file, unsigned int offset, gardModId modId, unsigned int,
                           unsigned int, unsigned int, unsigned int) {
    if (file == nullptr) {
        // Never opened: reported like a failed open, so a read or write on a
        // null file fails with its own SRC added on top.
        GARD_TRACE("GardSysFileSeek: no file", " ");
        return gard::makeErrl(modId, gard::kRcFileOpen, 0, 0, 0, 0, 0);
    }
    file->Seek(static_cast<long>(offset), UtilFile::SEEK_FROM_START);
    ErrlEntry* result = takePending(file);
    if (result != nullptr) GARD_TRACE("GardSysFileSeek: failed", " ");
    return result;
}

namespace {

enum class Io { Read, Write };

ErrlEntry* transfer(Io io, UtilFile* file, unsigned int offset, void* buffer, unsigned int count,
                    gardModId modId, unsigned int ud1, unsigned int ud2, unsigned int ud3,
                    unsigned int ud4) {
    using namespace gard;
    ErrlEntry* result = GardSysFileSeek(file, offset, modId, ud1, ud2, ud3, ud4);
    if (result != nullptr) {
        GARD_TRACE("GardSysFile: seek before transfer failed", " ");
    } else {
        if (io == Io::Read)
            file->Read(buffer, count);
        else
            file->Write(buffer, count);
        result = takePending(file);
        if (result != nullptr) GARD_TRACE("GardSysFile: transfer failed", " ");
    }
    if (result != nullptr)
        addSrc(result, modId, io == Io::Read ? kRcFileRead : kRcFileWrite, ud1, ud2, ud3, ud4);
    return result;
}

}  // namespace

ErrlEntry* GardSysFileRead(UtilFile* file, unsigned int offset, void* buffer, unsigned int count,
                           gardModId modId, unsigned int ud1, unsigned int ud2, unsigned int ud3,
                           unsigned int ud4) {
    return transfer(Io::Read, file, offset, buffer, count, modId, ud1, ud2, ud3, ud4);
}

ErrlEntry* GardSysFileWrite(UtilFile* file, unsigned int offset, void* buffer, unsigned int count,
                            gardModId modId, unsigned int ud1, unsigned int ud2, unsigned int ud3,
                            unsigned int ud4) {
    return transfer(Io::Write, file, offset, buffer, count, modId, ud1, ud2, ud3, ud4);
}

ErrlEntry* GardSysFileClose(UtilFile*& file, gardModId modId, unsigned int progress) {
    if (file == nullptr) return nullptr;
    file->Close();
    ErrlEntry* result = takePending(file);
    if (result != nullptr) gard::addSrc(result, modId, gard::kRcFileClose, progress, 0, 0, 0);
    delete file;
    file = nullptr;
    return result;
}
