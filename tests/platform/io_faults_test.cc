// A commit whose system calls fail: each call of each kind a commit makes
// (its journal append and flush, the files put in place, the logs) fails in
// turn, as on a full disk or a failing device. Either the whole call is
// made and the journal says so, or none of it is and the journal says that;
// the next call goes on cleanly.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "gard/gard.h"
#include "platform/host/host.h"
#include "small_journal.h"
#include "support/fixture.h"

namespace {

// The armed failure: the `nth` call of `which`, counted from arming (of
// those on a file whose path holds `target`, when there is one).
struct Armed {
    const char* which = nullptr;
    int nth = 0, seen = 0, err = 0;
    bool fired = false;
    const char* target = nullptr;
} g_armed;

bool onTarget(int fd) {
    if (g_armed.target == nullptr) return true;
    char path[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    if (n < 0) return false;
    path[n] = '\0';
    return std::strstr(path, g_armed.target) != nullptr;
}

bool fails(const char* name, int fd = -1) {
    if (g_armed.which == nullptr || std::strcmp(g_armed.which, name) != 0) return false;
    if (fd >= 0 && !onTarget(fd)) return false;
    if (++g_armed.seen != g_armed.nth) return false;
    g_armed.fired = true;
    errno = g_armed.err;
    return true;
}

template <class F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// The host library's calls of these resolve here first.
extern "C" {
__attribute__((visibility("default"))) ssize_t writev(int fd, const iovec* v, int n) {
    static auto next = real<ssize_t (*)(int, const iovec*, int)>("writev");
    return fails("writev") ? -1 : next(fd, v, n);
}
__attribute__((visibility("default"))) ssize_t pwritev(int fd, const iovec* v, int n, off_t at) {
    static auto next = real<ssize_t (*)(int, const iovec*, int, off_t)>("pwritev");
    return fails("pwritev", fd) ? -1 : next(fd, v, n, at);
}
__attribute__((visibility("default"))) int fdatasync(int fd) {
    static auto next = real<int (*)(int)>("fdatasync");
    return fails("fdatasync") ? -1 : next(fd);
}
__attribute__((visibility("default"))) int renameat(int a, const char* from, int b, const char* to) {
    static auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
    return fails("renameat") ? -1 : next(a, from, b, to);
}
__attribute__((visibility("default"))) int openat(int dir, const char* path, int flags, ...) {
    static auto next = real<int (*)(int, const char*, int, ...)>("openat");
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return fails("openat") ? -1 : next(dir, path, flags, mode);
}
}

namespace {

using Bytes = std::vector<uint8_t>;

struct Row {
    const char* name;
    const char* call;
    int err;
};

class IoFaults : public gardtest::StateTest, public ::testing::WithParamInterface<Row> {
protected:
    // What one call changes: unit 0x10's state (with its log), two values
    // overwritten and one made anew (a new file renamed into place).
    struct Seen {
        bool garded = false;
        Bytes a, b, c;
        bool operator==(const Seen& o) const { return garded == o.garded && a == o.a && b == o.b && c == o.c; }
    };
    Seen seen() const {
        Seen s;
        delete gardAcc::GardGetVpdUnitState(0x10, 1, &s.garded);
        gardhost::getValue(a_, s.a);
        gardhost::getValue(b_, s.b);
        gardhost::getValue(c_, s.c);
        return s;
    }
    // The last content the journal gives each name, cancelled records undone.
    std::map<std::string, Bytes> journaled(std::vector<std::string>& problems) const {
        struct Last {
            uint64_t seq;
            Bytes before, after;
        };
        std::map<std::string, Last> last;
        gardhost::readHistory(
            [&](const gardhost::HistoryRecord& r, const Bytes* before, const Bytes* after) {
                if (r.kind == gardhost::HistoryRecord::kChange)
                    last[r.name] = {r.seq, before ? *before : Bytes(), after ? *after : Bytes()};
                if (r.kind == gardhost::HistoryRecord::kCancel)
                    for (auto& [name, l] : last)
                        if (l.seq == r.cancelled) l.after = l.before;
            },
            problems);
        std::map<std::string, Bytes> out;
        for (const auto& [name, l] : last) out[name] = l.after;
        return out;
    }
    const std::string a_ = gardhost::regName("dscv/SiblingState"), b_ = gardhost::regName("dscv/QelRole");
    const std::string c_ = gardhost::regName("dscv/MadeAnew");
};

class IoFaultsAfterCut : public gardtest::StateTest {
protected:
    // One call: unit 0x10 set to `state` with `type`, and (with `alsoValue`)
    // a registry value after it, which a failure may refuse.
    static int set(GARD_State state, GARD_ErrorType type, bool alsoValue = false) {
        gardhost::StateLock lock(gardhost::StateLock::kExclusive);
        delete gardAcc::GardSetVpdUnitState(0x10, 1, state, type, nullptr);
        if (alsoValue) gardhost::setU8(gardhost::regName("dscv/SiblingState"), 2);
        return lock.commit();
    }
};

TEST_P(IoFaults, AllOrNothing) {
    const Row& row = GetParam();
    gardhost::setSync(true);
    gardFruState fru{};
    delete gardAcc::GardUpdateVpdUnit(0x10, svpd_SerialNum{}, 1, &fru);
    const Seen before{false, Bytes{1}, Bytes{1}, Bytes{}}, after{true, Bytes{2}, Bytes{2}, Bytes{3}};
    int made = 0, refused = 0;
    for (int nth = 1;; ++nth) {
        {
            gardhost::StateLock lock(gardhost::StateLock::kExclusive);
            delete gardAcc::GardSetVpdUnitState(0x10, 1, GARD_CLEARED, 2, nullptr);
            gardhost::setU8(a_, 1);
            gardhost::setU8(b_, 1);
            gardhost::eraseValue(c_);
            ASSERT_EQ(lock.commit(), 0) << "the call after a failed one, nth " << nth;
        }
        ASSERT_TRUE(seen() == before);
        const Bytes table = gardFile("gardRask");
        int err = 0;
        {
            gardhost::StateLock lock(gardhost::StateLock::kExclusive);
            delete gardAcc::GardSetVpdUnitState(0x10, 1, GARD_GARDED, 2, nullptr);
            gardhost::setU8(a_, 2);
            gardhost::setU8(b_, 2);
            gardhost::setU8(c_, 3);
            g_armed = {row.call, nth, 0, row.err, false};
            err = lock.commit();
            g_armed.which = nullptr;
        }
        if (!g_armed.fired) {
            EXPECT_EQ(err, 0) << "no call failed";
            break;
        }
        const Seen now = seen();
        EXPECT_TRUE(now == (err == 0 ? after : before))
            << row.call << " #" << nth << " failing: commit gave " << err << ", unit garded " << now.garded;
        // Refused, the unit table is as it was to the byte (an overwrite
        // that failed half-way put back too).
        if (err != 0) {
            EXPECT_EQ(gardFile("gardRask"), table) << row.call << " #" << nth;
        }
        (err == 0 ? made : refused) += 1;
        std::vector<std::string> problems;
        const std::map<std::string, Bytes> journal = journaled(problems);
        EXPECT_EQ(journal.at(a_), now.a) << row.call << " #" << nth;
        EXPECT_EQ(journal.at(b_), now.b) << row.call << " #" << nth;
        EXPECT_TRUE(problems.empty()) << row.call << " #" << nth << ": " << problems.front();
        ASSERT_LT(nth, 200) << "a commit makes fewer calls";
    }
    EXPECT_GT(refused, 0) << "no failure of " << row.call << " refused the call";
    RecordProperty("refused", refused);
    RecordProperty("made", made);
}

// A call refused after its unit table was overwritten: the table is put
// back and the record cancelled. A power cut before the next checkpoint may
// show any write since, the refused content among them, so the next change
// of the table must carry its whole content before again: a cancelled
// record holds none for it.
TEST_F(IoFaultsAfterCut, ARefusedCallHoldsNoContentForTheNext) {
    if (!gardtest::inSmallJournal()) return;
    const std::string sim = dir_ + ".power", filler = gardhost::regName("dscv/Filler");
    gardhost::setSync(true);
    gardFruState fru{};
    delete gardAcc::GardUpdateVpdUnit(0x10, svpd_SerialNum{}, 1, &fru);
    for (uint64_t seed = 1; seed <= 32; ++seed) {
        set(GARD_CLEARED, 0);
        // A checkpoint after the table's last change: the journal holds none
        // of its content since.
        bool checkpointed = false;
        for (int i = 0; i < 100 && !checkpointed; ++i) {
            const uint64_t flushes = gardhost::flushes();
            gardhost::setU8(filler, static_cast<uint8_t>(i));
            checkpointed = gardhost::flushes() - flushes > 1;
        }
        ASSERT_TRUE(checkpointed) << "seed " << seed;
        gardhost::startPowerSim(sim);
        g_armed = {"pwritev", 1, 0, ENOSPC, false, "SiblingState"};
        const int refused = set(GARD_GARDED, 2, true);
        g_armed = {};
        ASSERT_NE(refused, 0) << "seed " << seed;
        ASSERT_EQ(set(GARD_GARDED, 5), 0) << "seed " << seed;
        const Bytes acknowledged = gardFile("gardRask");
        gardhost::cutPower(sim, seed);
        bool garded = false;
        delete gardAcc::GardGetVpdUnitState(0x10, 1, &garded);  // the first look redoes the journal
        gardhost::stopPowerSim();
        EXPECT_TRUE(garded) << "seed " << seed;
        ASSERT_EQ(gardFile("gardRask"), acknowledged) << "seed " << seed;
    }
    std::filesystem::remove_all(sim);
}

INSTANTIATE_TEST_SUITE_P(Table, IoFaults,
                         ::testing::Values(Row{"JournalOrLogWriteNoSpace", "writev", ENOSPC},
                                           Row{"FileWriteNoSpace", "pwritev", ENOSPC},
                                           Row{"FlushIoError", "fdatasync", EIO},
                                           Row{"RenameIoError", "renameat", EIO},
                                           Row{"OpenNoSpace", "openat", ENOSPC}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
