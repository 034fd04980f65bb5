// Registry, VPD, trace and the other services as the host store drives them.
#include <cstdlib>

#include "support/fixture.h"
#include "gard/gard.h"
#include "platform/utilfile.h"

namespace {

class Smoke : public gardtest::StateTest {};

TEST_F(Smoke, OpenCreatesZeroFilledFile) {
    UtilFile* f = nullptr;
    ErrlEntry* e = GardSysFileOpen(f, 0x66, 1, 3);
    EXPECT_EQ(e, nullptr);
    unsigned char buf[16] = {1};
    e = GardSysFileRead(f, 0, buf, sizeof buf, 0x66, 1, 0, 0, 0);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(buf[0], 0);
    e = GardSysFileClose(f, 0x66, 2);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(gardFile("gardRask").size(), 0x5000u);
}

}  // namespace
