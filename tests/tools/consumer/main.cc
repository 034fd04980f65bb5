// Built against an installed libgard, using only its own operations (so
// that libgardhost is reached through libgard): asks whether a unit is
// garded in the state directory GARD_STATE_DIR names. Exit 0 when the
// answer is "not garded".
#include <gard/gard.h>
#include <gard/platform/errl.h>

int main() {
    bool garded = true;
    ErrlEntry* errl = gardAcc::GardGetVpdUnitState(0x10, 1, &garded);
    bool failed = errl != nullptr;
    delete errl;
    return failed || garded ? 1 : 0;
}
