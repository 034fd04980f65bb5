// Tests that need checkpoints and rotations within a few records.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace gardtest {

// The journal's bound is read once a process: a test of checkpoints or
// rotations runs again, alone, in a child of this binary started with a
// small one (16 KiB: a checkpoint every 8 KiB). True in the child; in the
// parent, runs the child and checks it.
inline constexpr const char* kSmallJournal = "16K";
inline constexpr std::size_t kCheckpointEvery = 8 << 10;
inline bool inSmallJournal() {
    const char* bound = std::getenv("GARD_HOST_HISTORY_MAX");
    if (bound != nullptr && std::strcmp(bound, kSmallJournal) == 0) return true;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string test = std::string(info->test_suite_name()) + "." + info->name();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("GARD_HOST_HISTORY_MAX", kSmallJournal, 1);
        const std::string filter = "--gtest_filter=" + test;
        ::execl("/proc/self/exe", "platform_test", filter.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test << " in a small journal failed";
    return false;
}

}  // namespace gardtest
