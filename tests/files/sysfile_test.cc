// The gard system files: each created on first use at its size, an existing
// file of another size used as it is, the object in the variable reused,
// ids that name no file. What each failing step adds is the sweep's.
#include <filesystem>

#include "fixture.h"
#include "gard/gard.h"
#include "golden.h"
#include "platform/utilfile.h"

namespace {

using gardtest::reasons;

constexpr gardModId kMod = 0x42;

// The file operations' trace entries name their step and carry no values.
void expectTracesWithoutValues() {
    const auto entries = gardhost::traceEntries("gard");
    EXPECT_FALSE(entries.empty());
    for (const auto& e : entries) EXPECT_EQ(std::make_pair(e.format, e.values.size()), std::make_pair(std::string(" "), std::size_t{0}));
}

class FirstUse : public gardtest::StateTest, public ::testing::WithParamInterface<golden::SysFile> {};

TEST_P(FirstUse, CreatesDirectoryAndZeroFilledFileOfItsSize) {
    const golden::SysFile& f = GetParam();
    ASSERT_FALSE(std::filesystem::exists(gardhost::resolvePath("/opt/p3/gard")));
    UtilFile* file = nullptr;
    ASSERT_EQ(GardSysFileOpen(file, kMod, 7, f.id), nullptr);
    std::vector<unsigned char> image(f.size, 0xAB);
    EXPECT_EQ(GardSysFileRead(file, 0, image.data(), f.size, kMod, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(GardSysFileClose(file, kMod, 3), nullptr);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(image, std::vector<unsigned char>(f.size, 0));
    EXPECT_EQ(gardFile(f.name), std::vector<uint8_t>(f.size, 0));
    expectTracesWithoutValues();
}
INSTANTIATE_TEST_SUITE_P(Files, FirstUse, ::testing::ValuesIn(golden::kSysFiles),
                         [](const auto& info) { return std::string(info.param.name); });

class SysFile : public gardtest::StateTest {};

TEST_F(SysFile, ExistingFileOfAnotherSizeIsUsedUnchanged) {
    std::vector<uint8_t> odd(100);
    for (std::size_t i = 0; i < odd.size(); ++i) odd[i] = static_cast<uint8_t>(i);
    writeGardFile("gardRask", odd);
    UtilFile* file = nullptr;
    ASSERT_EQ(GardSysFileOpen(file, kMod, 1, 3), nullptr);
    unsigned char head[100];
    EXPECT_EQ(GardSysFileRead(file, 0, head, sizeof head, kMod, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(GardSysFileClose(file, kMod, 2), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(head, head + 100), odd);
    EXPECT_EQ(gardFile("gardRask"), odd);
    EXPECT_EQ(gardhost::callCount("UtilFile::Write"), 0u);
}

TEST_F(SysFile, WriteThenReadAtAnOffset) {
    UtilFile* file = nullptr;
    ASSERT_EQ(GardSysFileOpen(file, kMod, 1, 5), nullptr);
    unsigned char out[4] = {1, 2, 3, 4}, in[4] = {};
    EXPECT_EQ(GardSysFileWrite(file, 600, out, 4, kMod, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(GardSysFileRead(file, 600, in, 4, kMod, 1, 0, 0, 0), nullptr);
    EXPECT_EQ(GardSysFileClose(file, kMod, 2), nullptr);
    EXPECT_EQ(0, memcmp(in, out, 4));
    std::vector<uint8_t> bytes = gardFile("DimmJedecData");
    ASSERT_EQ(bytes.size(), 640u);
    EXPECT_EQ(bytes[600], 1);
    EXPECT_EQ(bytes[603], 4);
}

// Open reuses the object already in the variable; Close of a null one
// makes no call.
TEST_F(SysFile, TheObjectInTheVariable) {
    UtilFile* file = nullptr;
    EXPECT_EQ(GardSysFileClose(file, kMod, 2), nullptr);
    EXPECT_TRUE(gardhost::calls().empty());
    ASSERT_EQ(GardSysFileOpen(file, kMod, 1, 3), nullptr);
    UtilFile* first = file;
    ASSERT_EQ(GardSysFileOpen(file, kMod, 1, 3), nullptr);
    EXPECT_EQ(file, first);
    EXPECT_EQ(GardSysFileClose(file, kMod, 2), nullptr);
}

// Bad input: each a clear error log, nothing written anywhere.
class BadInput : public gardtest::StateTest, public ::testing::WithParamInterface<int> {};

TEST_P(BadInput, UnknownFileIdBuildsNoPath) {
    UtilFile* file = nullptr;
    ErrlEntry* errl = GardSysFileOpen(file, kMod, 1, GetParam());
    ASSERT_NE(errl, nullptr);
    EXPECT_EQ(reasons(errl), std::vector<uint16_t>{0xCA06});
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(gardhost::callCount("UtilReg::path"), 0u);
    EXPECT_FALSE(std::filesystem::exists(gardhost::resolvePath("/opt/p3/gard")));
    expectTracesWithoutValues();
    gardtest::drop(errl);
}

INSTANTIATE_TEST_SUITE_P(Ids, BadInput, ::testing::Values(-1, 2, 6, 1000));

}  // namespace
