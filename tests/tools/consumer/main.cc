// Built against an installed libgard: asks whether a unit is garded in a
// fresh state directory. Exit 0 when the answer is "not garded".
#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/host/host.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    gardhost::setStateDir(argv[1]);
    bool garded = true;
    ErrlEntry* errl = gardAcc::GardGetVpdUnitState(0x10, 1, &garded);
    bool failed = errl != nullptr;
    delete errl;
    return failed || garded ? 1 : 0;
}
