// One cycle on a gard file's record image, as the table and the stored
// error-log operations run it: open, read the image from offset 0, change
// it in the caller's stack buffer, write it back to offset 0, close.
#ifndef GARD_FILES_IMAGE_H
#define GARD_FILES_IMAGE_H

#include "gard/gard.h"

namespace gard {

// Progress codes and module id of one operation's file steps, and which of
// its failures the operation traces itself (without values).
struct ImageSteps {
    gardModId modId;
    unsigned int open, read, write, close;
    bool traceOpenRead = false;
    bool traceWrite = false;
};

// Opens file `fileId` and reads `size` bytes at offset 0 into `image`.
// `file` must be null on entry; it may hold an object after a failure, so
// the caller always ends with closeImage.
ErrlEntry* loadImage(UtilFile*& file, int fileId, const ImageSteps& steps, void* image,
                     unsigned int size);
// Writes the whole image back to offset 0.
ErrlEntry* storeImage(UtilFile* file, const ImageSteps& steps, void* image, unsigned int size);
// Closes a file variable that is not null; a failed close is committed and
// deleted, never returned.
void closeImage(UtilFile*& file, const ImageSteps& steps);

// The whole cycle: load the image into the operation's stack buffer, let
// `change(image, errl)` work on it, write it back when that returns true,
// close on every path. A change that returns false may leave an error log of
// its own in `errl`; a failed open or read ends the cycle before the change.
template <class Change>
ErrlEntry* runImageCycle(int fileId, const ImageSteps& steps, unsigned char* image,
                         unsigned int size, Change&& change) {
    UtilFile* file = nullptr;
    ErrlEntry* errl = loadImage(file, fileId, steps, image, size);
    if (errl == nullptr && change(image, errl)) errl = storeImage(file, steps, image, size);
    closeImage(file, steps);
    return errl;
}

}  // namespace gard

#endif
