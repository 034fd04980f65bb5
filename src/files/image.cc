#include "files/image.h"

#include "files/gtrace.h"
#include "files/report.h"

namespace gard {

ErrlEntry* loadImage(UtilFile*& file, int fileId, const ImageSteps& steps, void* image,
                     unsigned int size) {
    ErrlEntry* errl = GardSysFileOpen(file, steps.modId, steps.open, fileId);
    if (errl != nullptr) {
        if (steps.traceOpenRead) GARD_TRACE("gard image: open failed", " ");
        return errl;
    }
    errl = GardSysFileRead(file, 0, image, size, steps.modId, steps.read, 0, 0, 0);
    if (errl != nullptr && steps.traceOpenRead) GARD_TRACE("gard image: read failed", " ");
    return errl;
}

ErrlEntry* storeImage(UtilFile* file, const ImageSteps& steps, void* image, unsigned int size) {
    ErrlEntry* errl = GardSysFileWrite(file, 0, image, size, steps.modId, steps.write, 0, 0, 0);
    if (errl != nullptr && steps.traceWrite) GARD_TRACE("gard image: write failed", " ");
    return errl;
}

void closeImage(UtilFile*& file, const ImageSteps& steps) {
    if (file == nullptr) return;
    ErrlEntry* errl = GardSysFileClose(file, steps.modId, steps.close);
    dispose(errl);
}

}  // namespace gard
