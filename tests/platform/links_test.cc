// No write of the host platform lands outside the state directory, whatever
// links the directory holds and whatever path the registry gives: each row
// puts a link to a place outside, runs a change through the library or the
// platform, and checks that the place outside is as it was. With sync on
// and off, since they write differently.
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "gard/gard.h"
#include "platform/svpd.h"
#include "platform/utilfile.h"
#include "support/fixture.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// What lies outside: a directory holding one file.
std::string listing(const std::string& dir) {
    std::string out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        out += e.path().string() + "=" + std::string(std::istreambuf_iterator<char>(in), {}) + ";";
    }
    return out;
}

enum class Link { kSymbolic, kHard };

struct Row {
    const char* name;
    const char* inside;  // the name in the state directory made a link
    bool toDirectory;    // to the directory outside, else to its file
    Link link;
    ErrlEntry* (*change)();
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

ErrlEntry* addUnit() {
    gardFruState fru{};
    return gardAcc::GardUpdateVpdUnit(0x10, svpd_SerialNum{}, 1, &fru);
}
ErrlEntry* gardOwnRecord() {
    gardSetStateReturn word{};
    return GardRdndQel::GardSetQelState(0x200, GARD_QEL_GARDED, 0x010000B7, word, true, 0);
}
ErrlEntry* setRole() {
    gardhost::setU8(gardhost::regName("dscv/QelRole"), 1);
    return nullptr;
}

class Links : public gardtest::StateTest, public ::testing::WithParamInterface<std::tuple<Row, bool>> {
protected:
    void SetUp() override {
        StateTest::SetUp();
        outside_ = dir_ + ".outside";
        fs::create_directories(outside_);
        std::ofstream(outside_ + "/target") << "outside";
        // The gard files exist (the library makes them on first use).
        bool garded = false;
        ErrlEntry* e = gardAcc::GardGetVpdUnitState(1, 1, &garded);
        gardtest::drop(e);
    }
    void TearDown() override {
        StateTest::TearDown();
        std::error_code ec;
        fs::remove_all(outside_, ec);
    }
    std::string outside_;
};

TEST_P(Links, NothingWrittenOutside) {
    const auto& [row, sync] = GetParam();
    gardhost::setSync(sync);
    const fs::path inside = dir_ + "/" + row.inside;
    const fs::path target = row.toDirectory ? outside_ : outside_ + "/target";
    std::error_code ec;
    fs::remove_all(inside, ec);
    fs::create_directories(inside.parent_path());
    if (row.link == Link::kSymbolic)
        fs::create_symlink(target, inside);
    else
        fs::create_hard_link(target, inside);
    gardhost::reloadValues();
    const std::string before = listing(outside_);
    ErrlEntry* e = row.change();
    gardtest::drop(e);  // it may fail: it must not write outside
    ErrlEntry* again = row.change();  // a second write reuses what the first left
    gardtest::drop(again);
    EXPECT_EQ(listing(outside_), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Links,
    ::testing::Combine(
        ::testing::Values(Row{"CommitLogSymlink", "errl/committed", false, Link::kSymbolic, addUnit},
                          Row{"CommitLogHardLink", "errl/committed", false, Link::kHard, gardOwnRecord},
                          Row{"GardDirectorySymlink", "root/opt/p3/gard", true, Link::kSymbolic, addUnit},
                          Row{"GardFileSymlink", "root/opt/p3/gard/gardRask", false, Link::kSymbolic, addUnit},
                          Row{"GardFileHardLink", "root/opt/p3/gard/gardRask", false, Link::kHard, addUnit},
                          Row{"StandbyHardLink", "root/opt/p3/gard/.gardRask.standby", false, Link::kHard, addUnit},
                          Row{"KeywordSymlink", "vpd/0x200/keyword", false, Link::kSymbolic, gardOwnRecord},
                          Row{"KeywordHardLink", "vpd/0x200/keyword", false, Link::kHard, gardOwnRecord},
                          Row{"RegistryDirectorySymlink", "sp0/reg", true, Link::kSymbolic, setRole},
                          Row{"HistorySymlink", "history", false, Link::kSymbolic, addUnit},
                          Row{"HistoryHardLink", "history", false, Link::kHard, addUnit}),
        ::testing::Bool()),
    [](const auto& row) {
        return std::string(std::get<0>(row.param).name) + (std::get<1>(row.param) ? "SyncOn" : "SyncOff");
    });

using Paths = gardtest::StateTest;

// The registry's root may name any path: the files land inside the state
// directory all the same, ".." never climbing out of it.
TEST_F(Paths, FirmwarePathsLandInside) {
    for (const std::string root : {"/tmp/gard-elsewhere", "/opt/../../../tmp/gard-elsewhere", "/../tmp/gard-elsewhere", "relative/x"}) {
        gardhost::setValue(gardhost::regName("fstp/P3_Root"), Bytes(root.begin(), root.end()));
        fs::create_directories(gardhost::resolvePath(root + "/gard"));  // the library makes only /opt/p3/gard
        gardFruState fru{};
        ErrlEntry* e = gardAcc::GardUpdateVpdUnit(0x10, svpd_SerialNum{}, 1, &fru);
        EXPECT_EQ(e, nullptr) << root;
        gardtest::drop(e);
        EXPECT_TRUE(fs::exists(gardhost::resolvePath(root + "/gard/gardRask"))) << root;
        EXPECT_EQ(fs::weakly_canonical(gardhost::resolvePath(root)).string().rfind(
                      fs::weakly_canonical(dir_).string() + "/root/", 0),
                  0u)
            << root;
    }
    EXPECT_FALSE(fs::exists("/tmp/gard-elsewhere"));
}

// A value behind a link is not read: the failure says why (ELOOP), where
// "missing" would mislead.
TEST_F(Paths, ValueBehindLinkFailsWithItsReason) {
    const std::string keyword = dir_ + "/vpd/0x200/keyword";
    fs::remove(keyword);
    fs::create_symlink(dir_ + "/vpd/0x201/keyword", keyword);
    gardhost::reloadValues();
    unsigned int length = 0;
    unsigned char* data = nullptr;
    ErrlEntry* e = SVPD_get_qel_gd_keyword(0x200, &length, &data, true);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->src(0).ud[3], static_cast<uint32_t>(ELOOP));
    gardtest::drop(e);
}

}  // namespace
