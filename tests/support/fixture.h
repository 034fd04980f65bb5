// Shared test support: every test runs in its own fresh state directory,
// with defaults seeded, no faults, an empty call log and commit log, and
// ends by checking that no error-log entry leaked.
#ifndef GARD_TESTS_FIXTURE_H
#define GARD_TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/errl.h"
#include "platform/host/host.h"

namespace gardtest {

class StateTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Bytes of a gard file by name ("gardRask"); empty if missing.
    std::vector<uint8_t> gardFile(const std::string& name) const;
    bool gardFileExists(const std::string& name) const;
    static void writeGardFile(const std::string& name, const std::vector<uint8_t>& bytes);

    std::string dir_;
    long liveAtStart_ = 0;
};

// The reason codes of an entry's SRCs, primary first.
std::vector<uint16_t> reasons(const ErrlEntry* errl);
// The committed logs with the given actions (0x2000 or 0x4000).
std::vector<gardhost::Committed> committedWith(uint32_t actions);
// Deletes a handle the test took over; null is fine.
void drop(ErrlEntry*& errl);

}  // namespace gardtest

#endif
