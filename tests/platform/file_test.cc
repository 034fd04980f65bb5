// The file class: crash-safe replacement (sync on), writes in place (sync
// off), all-or-nothing reads, failures as pending error logs; and the
// library's mkdir inside the state directory.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/utilfile.h"
#include "support/fixture.h"

extern "C" int __wrap_mkdir(const char* path, mode_t mode);

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

class FileTest : public gardtest::StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        writeGardFile("f", Bytes{'a', 'b', 'c', 'd', 'e', 'f'});
    }
    // The pending error of the last call, taken out as the library does.
    static ErrlEntry* take(UtilFile& f) {
        ErrlEntry* e = f.iv_errl;
        f.iv_errl = nullptr;
        f.iv_errorFlag = 0;
        return e;
    }
    // ud4 of the platform's failure entry carries the errno.
    static uint32_t errnoOf(ErrlEntry*& e) {
        uint32_t err = e != nullptr ? e->src(0).ud[3] : 0xFFFFFFFF;
        gardtest::drop(e);
        return err;
    }
    // Files besides the standby each file keeps for its next write.
    std::size_t filesInGardDir() const {
        std::size_t n = 0;
        for (auto& entry : fs::directory_iterator(gardhost::resolvePath("/opt/p3/gard")))
            n += !entry.path().filename().string().ends_with(".standby");
        return n;
    }
};

// A Write overwrites the file in place, sync on or off: a descriptor opened
// before reads the new bytes. The bytes around the written range stay,
// reads go on through the file as written, and a Write past the end fills
// the gap with zeros.
class WriteModes : public FileTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WriteModes, WriteReplacesRangeKeepsTailAndReadsOn) {
    const bool sync = GetParam();
    gardhost::setSync(sync);
    UtilFile f("/opt/p3/gard/f");
    f.Open("r+");
    int before = ::open(gardhost::resolvePath("/opt/p3/gard/f").c_str(), O_RDONLY);
    ASSERT_GE(before, 0);
    f.Seek(2, UtilFile::SEEK_FROM_START);
    EXPECT_EQ(f.Write("XY", 2), 2u);
    EXPECT_EQ(f.iv_errl, nullptr);
    EXPECT_EQ(gardFile("f"), (Bytes{'a', 'b', 'X', 'Y', 'e', 'f'}));
    char old[6];
    EXPECT_EQ(::pread(before, old, 6, 0), 6);
    EXPECT_EQ(std::string(old, 6), "abXYef");
    ::close(before);
    char now[6];
    f.Seek(0, UtilFile::SEEK_FROM_START);
    EXPECT_EQ(f.Read(now, 6), 6u);
    EXPECT_EQ(std::string(now, 6), "abXYef");
    f.Seek(8, UtilFile::SEEK_FROM_START);  // past the end: zeros up to it
    EXPECT_EQ(f.Write("Z", 1), 1u);
    f.Close();
    EXPECT_EQ(take(f), nullptr);
    EXPECT_EQ(gardFile("f"), (Bytes{'a', 'b', 'X', 'Y', 'e', 'f', 0, 0, 'Z'}));
    EXPECT_EQ(filesInGardDir(), 1u) << "temporary file left behind";
}

INSTANTIATE_TEST_SUITE_P(Sync, WriteModes, ::testing::Values(true, false),
                         [](const auto& row) { return std::string(row.param ? "On" : "Off"); });

// Killed writers leave the old or the new content, never a torn file; the
// temporary files they may leave go at the next start on the directory,
// but not one a live writer still holds. Each writer is killed once it
// says it finished its first, second ... write, as it starts the next one.
TEST_F(FileTest, KilledWriterLeavesOldOrNewContentAndNoTemporary) {
    gardhost::setSync(true);  // sync off gives this up
    const Bytes a(0x14000, 'A'), b(0x14000, 'B');
    writeGardFile("big", a);
    for (int round = 0; round < 5; ++round) {
        int done[2];
        ASSERT_EQ(::pipe(done), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            UtilFile f("/opt/p3/gard/big");
            f.Open("r+");
            for (unsigned i = 0;; ++i) {
                f.Seek(0, UtilFile::SEEK_FROM_START);
                f.Write(i % 2 ? a.data() : b.data(), a.size());
                if (::write(done[1], "w", 1) != 1) std::_Exit(1);
            }
        }
        ::close(done[1]);
        char said[8];
        for (int writes = 0; writes <= round && ::read(done[0], said, 1) == 1;) ++writes;
        kill(child, SIGKILL);
        ::close(done[0]);
        waitpid(child, nullptr, 0);
        Bytes now = gardFile("big");
        EXPECT_TRUE(now == a || now == b) << "round " << round << ": torn file of " << now.size();
    }
    writeGardFile(".big.Dead01", a);  // a writer killed for sure
    const std::string live = gardhost::resolvePath("/opt/p3/gard/.big.Live01");
    int held = ::open(live.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    gardhost::setStateDir(dir_);  // as a process starting on it
    gardhost::stateDir();
    EXPECT_EQ(filesInGardDir(), 3u) << "f, big and the live writer's temporary";
    EXPECT_TRUE(fs::exists(live));
    ::close(held);
}

// "w+" creates or truncates only with the first Write.
TEST_F(FileTest, NewFileAppearsOnlyWithFirstWrite) {
    UtilFile f("/opt/p3/gard/new"), old("/opt/p3/gard/f");
    EXPECT_FALSE(f.exists());
    f.Open("w+");
    old.Open("w+");
    old.Close();  // never written: the old content stays
    EXPECT_EQ(take(f), nullptr);
    EXPECT_EQ(take(old), nullptr);
    EXPECT_FALSE(gardFileExists("new"));
    EXPECT_EQ(gardFile("f").size(), 6u);
    f.Write("hello", 5);
    EXPECT_EQ(take(f), nullptr);
    EXPECT_TRUE(f.exists());
    EXPECT_EQ(gardFile("new"), (Bytes{'h', 'e', 'l', 'l', 'o'}));
}

// Origin 1 counts from the start, 2 from the position, 3 from the end;
// another origin, or a position before the start, fails.
TEST_F(FileTest, SeekOrigins) {
    UtilFile f("/opt/p3/gard/f");
    f.Open("r+");
    char c = 0;
    const auto at = [&](long offset, int origin) {
        f.Seek(offset, origin);
        f.Read(&c, 1);
        ErrlEntry* e = take(f);
        const bool failed = e != nullptr;
        gardtest::drop(e);
        return failed ? '!' : c;
    };
    EXPECT_EQ(std::string({at(1, UtilFile::SEEK_FROM_START), at(2, UtilFile::SEEK_FROM_CURRENT),
                           at(-2, UtilFile::SEEK_FROM_END), at(-1, UtilFile::SEEK_FROM_CURRENT),
                           at(0, 0), at(-1, UtilFile::SEEK_FROM_START)}),
              "beee!!");
}

TEST_F(FileTest, ShortReadFailsAndStaysPut) {
    UtilFile f("/opt/p3/gard/f");
    f.Open("r+");
    f.Seek(4, UtilFile::SEEK_FROM_START);
    char buf[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(f.Read(buf, 4), 0u);
    EXPECT_EQ(f.iv_errorFlag, 1);
    ErrlEntry* e = take(f);
    EXPECT_EQ(errnoOf(e), static_cast<uint32_t>(ENODATA));
    EXPECT_EQ(f.Read(buf, 2), 2u);
    EXPECT_EQ(take(f), nullptr);
    EXPECT_EQ(std::string(buf, 2), "ef");
}

struct OpenFailure {
    const char* name;
    const char* path;
    const char* mode;
    int err;
};

class OpenFails : public FileTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFails, WithPendingErrorNamingErrno) {
    fs::create_directories(gardhost::resolvePath("/opt/p3/gard/adir"));
    UtilFile f(GetParam().path);
    f.Open(GetParam().mode);
    EXPECT_EQ(f.iv_errorFlag, 1);
    ErrlEntry* e = take(f);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->src(0).compId, 0xE000);
    EXPECT_EQ(e->src(0).reasonCode, 0xE001);
    EXPECT_EQ(errnoOf(e), static_cast<uint32_t>(GetParam().err));
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenFails,
    ::testing::Values(OpenFailure{"MissingFile", "/opt/p3/gard/none", "r+", ENOENT},
                      OpenFailure{"DirectoryReadWrite", "/opt/p3/gard/adir", "r+", EISDIR},
                      OpenFailure{"DirectoryCreate", "/opt/p3/gard/adir", "w+", EISDIR},
                      OpenFailure{"MissingDirectory", "/opt/p3/nodir/x", "w+", ENOENT},
                      OpenFailure{"UnknownMode", "/opt/p3/gard/f", "a", EINVAL}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(FileTest, FailedWriteKeepsOldContent) {
    gardhost::failCall("UtilFile::Write@f");
    UtilFile f("/opt/p3/gard/f");
    f.Open("r+");
    f.Write("XXXXXXXX", 8);
    ErrlEntry* e = take(f);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->src(0).reasonCode, 0xE004);
    gardtest::drop(e);
    EXPECT_EQ(gardFile("f"), (Bytes{'a', 'b', 'c', 'd', 'e', 'f'}));
    EXPECT_EQ(filesInGardDir(), 1u);
}

TEST_F(FileTest, MkdirLandsInStateDirectory) {
    fs::remove_all(gardhost::resolvePath("/opt"));
    EXPECT_EQ(__wrap_mkdir("/opt/p3/gard", 0777), 0);
    EXPECT_TRUE(fs::is_directory(dir_ + "/root/opt/p3/gard"));
    EXPECT_EQ(__wrap_mkdir("/opt/p3/gard", 0777), -1);
    EXPECT_EQ(errno, EEXIST);
    gardhost::failCall("mkdir@/opt/p3/other");
    EXPECT_EQ(__wrap_mkdir("/opt/p3/other", 0777), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_FALSE(fs::exists(dir_ + "/root/opt/p3/other"));
    EXPECT_EQ(gardhost::callCount("mkdir"), 3u);
}

}  // namespace
