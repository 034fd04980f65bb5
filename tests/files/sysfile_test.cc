// The gard system files: creation on first use, and the SRC each failing
// step adds to the platform's error log.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "fixture.h"
#include "gard/gard.h"
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

struct FileRow {
    int id;
    const char* name;
    std::size_t size;
    friend void PrintTo(const FileRow& r, std::ostream* os) { *os << r.name; }
};

class FirstUse : public gardtest::StateTest, public ::testing::WithParamInterface<FileRow> {};

TEST_P(FirstUse, CreatesDirectoryAndZeroFilledFileOfItsSize) {
    const FileRow& row = GetParam();
    ASSERT_FALSE(std::filesystem::exists(gardhost::resolvePath("/opt/p3/gard")));
    UtilFile* file = nullptr;
    ASSERT_EQ(GardSysFileOpen(file, kMod, 7, row.id), nullptr);
    ASSERT_NE(file, nullptr);
    std::vector<unsigned char> image(row.size, 0xAB);
    EXPECT_EQ(GardSysFileRead(file, 0, image.data(), static_cast<unsigned>(image.size()), kMod, 1,
                              0, 0, 0),
              nullptr);
    EXPECT_EQ(GardSysFileClose(file, kMod, 3), nullptr);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(image, std::vector<unsigned char>(row.size, 0));
    EXPECT_EQ(gardFile(row.name), std::vector<uint8_t>(row.size, 0));
    expectTracesWithoutValues();
}

INSTANTIATE_TEST_SUITE_P(
    Files, FirstUse,
    ::testing::Values(FileRow{0, "gardArea", 40960}, FileRow{1, "memGard", 81920},
                      FileRow{3, "gardRask", 20480}, FileRow{4, "gardErrl", 51200},
                      FileRow{5, "DimmJedecData", 640}),
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

TEST_F(SysFile, OpenReusesTheObjectAlreadyInTheVariable) {
    UtilFile* file = nullptr;
    ASSERT_EQ(GardSysFileOpen(file, kMod, 1, 3), nullptr);
    UtilFile* first = file;
    ASSERT_EQ(GardSysFileOpen(file, kMod, 1, 3), nullptr);
    EXPECT_EQ(file, first);
    EXPECT_EQ(GardSysFileClose(file, kMod, 2), nullptr);
}

TEST_F(SysFile, CloseOfNullVariableDoesNothing) {
    UtilFile* file = nullptr;
    EXPECT_EQ(GardSysFileClose(file, kMod, 2), nullptr);
    EXPECT_TRUE(gardhost::calls().empty());
}

TEST_F(SysFile, ShortFileFailsTheRead) {
    writeGardFile("gardRask", std::vector<uint8_t>(100, 1));
    UtilFile* file = nullptr;
    ASSERT_EQ(GardSysFileOpen(file, kMod, 1, 3), nullptr);
    unsigned char image[200];
    ErrlEntry* errl = GardSysFileRead(file, 0, image, sizeof image, kMod, 6, 0, 0, 0);
    ASSERT_NE(errl, nullptr);
    EXPECT_EQ(reasons(errl).back(), 0xCA07);
    gardtest::drop(errl);
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

TEST_F(SysFile, NullFileIsAnErrorNotACrash) {
    unsigned char buf[4] = {};
    for (ErrlEntry* errl : {GardSysFileRead(nullptr, 0, buf, 4, kMod, 1, 0, 0, 0),
                            GardSysFileWrite(nullptr, 0, buf, 4, kMod, 1, 0, 0, 0),
                            GardSysFileSeek(nullptr, 0, kMod, 1, 0, 0, 0)}) {
        ASSERT_NE(errl, nullptr);
        delete errl;
    }
    EXPECT_FALSE(std::filesystem::exists(gardhost::resolvePath("/opt/p3")));
}

// The open fails with the open SRC on top; the close that follows cleans up.
void expectOpenFails(int fileId) {
    UtilFile* file = nullptr;
    ErrlEntry* errl = GardSysFileOpen(file, kMod, 1, fileId);
    ASSERT_NE(errl, nullptr);
    EXPECT_EQ(reasons(errl).back(), 0xCA06);
    gardtest::drop(errl);
    ErrlEntry* closed = GardSysFileClose(file, kMod, 2);
    gardtest::drop(closed);
}

TEST_F(SysFile, GardPathThatIsADirectoryFailsTheOpen) {
    std::filesystem::create_directories(gardhost::resolvePath("/opt/p3/gard/gardRask"));
    expectOpenFails(3);
    EXPECT_TRUE(std::filesystem::is_directory(gardhost::resolvePath("/opt/p3/gard/gardRask")));
}

TEST_F(SysFile, UnwritableStateDirectoryFailsTheOpen) {
    // A regular file where the firmware root should be: nothing can be made
    // below it, whoever runs the test.
    std::filesystem::create_directories(
        std::filesystem::path(gardhost::resolvePath("/opt")).parent_path());
    std::ofstream(gardhost::resolvePath("/opt")) << "not a directory";
    expectOpenFails(4);
}

}  // namespace
