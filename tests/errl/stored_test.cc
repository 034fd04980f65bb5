// The stored error-log file, checked byte for byte against images built here
// from the slot layout: the store's scan, read back, the clears, failing file
// steps. Arbitrary file contents and sizes are the fuzzer's.
#include "errl/stored.h"
#include "fixture.h"
#include "golden.h"

namespace {

using gardtest::reasons;
using golden::putBe;
constexpr std::size_t kSlot = golden::slot::kSize, kSlots = golden::slot::kSlots, kFileSize = 51200;
using Bytes = std::vector<uint8_t>;

ErrlEntry* makeEntry(uint16_t reason, std::size_t detail = 0) {
    auto* e = new ErrlEntry(0xCA00, 0, 0, 0xD1, 0, 0x21, 0x4399, reason, 1, 2, 3, 4, 0x75, 0);
    e->detail().assign(detail, 0x5A);
    return e;
}

// The slot the store must write: ids big-endian, then the platform's own
// flatten of a pruned copy.
Bytes slotFor(uint32_t unit, uint32_t port, const ErrlEntry& e) {
    Bytes s(kSlot, 0);
    putBe(&s[0], unit, 4), putBe(&s[4], port, 4);
    ErrlEntry copy(e);
    copy.prune(2048);
    EXPECT_EQ(copy.flatten(&s[8], 2048), 0);
    return s;
}

struct Used {
    uint32_t unit, port;  // port 0: an all-zero slot
};
std::vector<Used> units(std::initializer_list<uint32_t> ids) {
    std::vector<Used> out;
    for (uint32_t id : ids) out.push_back({id, id == 0 ? 0 : 0x100 + id});
    return out;
}

class StoredErrl : public gardtest::StateTest {
protected:
    Bytes file() const { return gardFile("gardErrl"); }
    // Writes a file whose slot i holds used[i] with filler bytes; no file
    // at all for an empty list.
    Bytes seed(const std::vector<Used>& used) {
        Bytes f(kFileSize, 0);
        for (std::size_t i = 0; i < used.size(); ++i) {
            if (used[i].port == 0) continue;
            putBe(&f[i * kSlot], used[i].unit, 4), putBe(&f[i * kSlot + 4], used[i].port, 4);
            std::fill(&f[i * kSlot + 8], &f[(i + 1) * kSlot], static_cast<uint8_t>(0x10 + i));
        }
        if (!used.empty()) writeGardFile("gardErrl", f);
        return f;
    }
    static void setSlot(Bytes& f, std::size_t i, const Bytes& s) {
        std::copy(s.begin(), s.end(), f.begin() + static_cast<long>(i * kSlot));
    }
};

struct ScanCase {
    const char* name;
    friend void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }
    std::vector<Used> used;
    uint32_t unit;
    int slot;  // the slot filled, -1: nothing written
    const char* fault = "";
};

std::vector<Used> allUsed() {
    std::vector<Used> out;
    for (uint32_t i = 1; i <= kSlots; ++i) out.push_back({i, i});
    return out;
}
std::vector<Used> lastSlotFree() {
    std::vector<Used> out = allUsed();
    out.back() = {0, 0};
    return out;
}
std::vector<Used> onlySlot19(uint32_t unit) {
    std::vector<Used> out(kSlots, Used{0, 0});
    out[19] = {unit, 1};
    return out;
}

class StoreScan : public StoredErrl, public ::testing::WithParamInterface<ScanCase> {};

// The caller's entry is far too big for a slot: only the stored copy is pruned.
TEST_P(StoreScan, FillsTheFirstFreeSlotOnlyForANewUnit) {
    const ScanCase& c = GetParam();
    Bytes want = seed(c.used);
    if (*c.fault != 0) gardhost::failCall(c.fault);
    ErrlEntry* e = makeEntry(0xCA02, 6000);
    const std::size_t size = e->flatSize();
    EXPECT_EQ(gardStoreErrl(0x77, c.unit, e), nullptr);
    if (c.slot >= 0) setSlot(want, static_cast<std::size_t>(c.slot), slotFor(c.unit, 0x77, *e));
    EXPECT_EQ(file(), want);
    EXPECT_EQ(gardhost::callCount("UtilFile::Write"), c.slot < 0 ? 0u : c.used.empty() ? 2u : 1u);
    EXPECT_TRUE(gardhost::committed().empty());
    EXPECT_EQ(e->flatSize(), size);
    EXPECT_EQ(e->detail().size(), 6000u);
    gardtest::drop(e);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreScan,
    ::testing::Values(ScanCase{"FirstUseCreatesTheFile", {}, 7, 0},
                      ScanCase{"LowestFree", units({1, 2, 0, 4, 0}), 7, 2},
                      ScanCase{"StoredInSlot19BehindFreeSlot0", onlySlot19(7), 7, -1},
                      ScanCase{"StoredBeforeAFreeSlot", units({3, 7, 0}), 7, -1},
                      ScanCase{"AllSlotsUsed", allUsed(), 21, -1},
                      ScanCase{"OnlyTheLastSlotFree", lastSlotFree(), 21, 19},
                      ScanCase{"UnitZeroTakesTheFirstFreeSlot", units({1, 0, 0}), 0, 1},
                      // a slot stored for unit 0 still counts as free
                      ScanCase{"UnitZeroSlotIsOverwritten", {{1, 1}, {0, 0x55}}, 0, 1},
                      ScanCase{"FlattenFails", units({1, 0}), 7, -1, "ErrlEntry::flatten"},
                      ScanCase{"NoMemoryForTheCopy", units({1, 0}), 7, -1, "ErrlBase::operator new"}),
    [](const auto& row) { return std::string(row.param.name); });

struct ReadCase {
    const char* name;
    friend void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }
    uint32_t unit;
    const char* fault;
    bool found;
};

class ReadBack : public StoredErrl, public ::testing::WithParamInterface<ReadCase> {};

// The caller's variable always holds an entry on entry; the leak check at
// tear-down proves it deleted on every path.
TEST_P(ReadBack, DeletesTheCallersEntryAndReturnsTheStoredOne) {
    const ReadCase& c = GetParam();
    ErrlEntry* stored = makeEntry(0xCA05);
    Bytes f = seed(units({5, 6}));
    setSlot(f, 0, slotFor(5, 1, *stored));  // slot 1 (unit 6) holds filler, not an entry
    writeGardFile("gardErrl", f);
    gardhost::failCall(c.fault);

    ErrlEntry* var = makeEntry(1);
    ErrlEntry* result = GardGetStoredErrl(c.unit, var);
    EXPECT_EQ(result != nullptr, std::string(c.fault) == "UtilFile::Open");
    EXPECT_EQ(var != nullptr, c.found);
    if (var != nullptr) {
        EXPECT_EQ(reasons(var), reasons(stored));
    }
    EXPECT_EQ(file(), f);
    gardtest::drop(var);
    gardtest::drop(result);
    gardtest::drop(stored);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadBack,
                         ::testing::Values(ReadCase{"Stored", 5, "", true},
                                           ReadCase{"NoSlot", 9, "", false},
                                           ReadCase{"DoesNotUnflatten", 6, "", false},
                                           ReadCase{"UnitZeroReadsTheFirstFreeSlot", 0, "", false},
                                           ReadCase{"NoMemoryForTheEntry", 5, "ErrlBase::operator new", false},
                                           ReadCase{"OpenFails", 5, "UtilFile::Open", false}),
                         [](const auto& row) { return std::string(row.param.name); });

struct ClearCase {
    const char* name;
    friend void PrintTo(const ClearCase& c, std::ostream* os) { *os << c.name; }
    bool byPort;
    uint32_t value;
    std::vector<std::size_t> freed;
};

class Clear : public StoredErrl, public ::testing::WithParamInterface<ClearCase> {};

TEST_P(Clear, FreesMatchingSlotsInPlaceAndAlwaysWritesBack) {
    const ClearCase& c = GetParam();
    std::vector<Used> used{{1, 5}, {2, 6}, {0, 0}, {3, 5}, {4, 7}};
    used.resize(kSlots, Used{0, 0});
    used.back() = {9, 5};  // the last slot
    Bytes want = seed(used);
    for (std::size_t i : c.freed) setSlot(want, i, Bytes(kSlot, 0));
    ErrlEntry* result = c.byPort ? gardClearStoredErrlByPort(c.value) : gardClearStoredErrl(c.value);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(file(), want);
    EXPECT_EQ(gardhost::callCount("UtilFile::Write"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, Clear,
                         ::testing::Values(ClearCase{"ByUnit", false, 3, {3}},
                                           ClearCase{"ByUnitInTheLastSlot", false, 9, {19}},
                                           ClearCase{"ByUnitNoMatch", false, 0x99, {}},
                                           ClearCase{"ByPort", true, 5, {0, 3, 19}},
                                           ClearCase{"ByPortNoMatch", true, 9, {}}),
                         [](const auto& row) { return std::string(row.param.name); });

// Each file step of each operation failing once: the SRCs the library adds
// after the platform's own, as (reason, first user word), and the file untouched.
enum Step { kOpen, kCreate, kReadStep, kWrite, kClose };
constexpr const char* kOps[] = {"gardStoreErrl", "gardReadStoredErrl", "gardClearStoredErrl", "gardClearStoredErrlByPort"};
constexpr const char* kStepNames[] = {"Open", "Create", "Read", "Write", "Close"};
using Added = std::vector<std::pair<uint16_t, uint32_t>>;

class FileFaults : public StoredErrl, public ::testing::WithParamInterface<std::tuple<int, Step>> {};

TEST_P(FileFaults, GiveTheStepsSrcs) {
    using namespace golden;
    const auto [op, step] = GetParam();
    const FileSteps& p = steps(kOps[op]);
    const Bytes before = step == kCreate ? Bytes() : seed({{1, 5}});
    const char* faults[] = {"UtilFile::Open", "UtilFile::Write#1", "UtilFile::Read", "UtilFile::Write", "UtilFile::Close"};
    gardhost::failCall(faults[step]);
    ErrlEntry *e = makeEntry(0xCA03), *var = nullptr;
    ErrlEntry* result = op == 0   ? gardStoreErrl(5, 2, e)
                        : op == 1 ? gardReadStoredErrl(1, var)
                        : op == 2 ? gardClearStoredErrl(1)
                                  : gardClearStoredErrlByPort(5);
    Added added;
    for (std::size_t i = 1; result != nullptr && i < result->srcCount(); ++i)
        added.push_back({result->src(i).reasonCode, result->src(i).ud[0]});
    const Added want[] = {{{kRcOpen, 0}}, {{kRcWrite, p.open}, {kRcOpen, 0}}, {{kRcRead, p.read}},
                          p.write ? Added{{kRcWrite, p.write}} : Added{}, {}};
    EXPECT_EQ(added, want[step]);
    auto logs = gardtest::committedWith(kActionError);
    ASSERT_EQ(logs.size(), step == kClose ? 1u : 0u);
    if (step == kClose) {
        EXPECT_EQ(std::make_pair(logs[0].srcs.back().reasonCode, logs[0].srcs.back().ud[0]),
                  std::make_pair(uint16_t{kRcClose}, p.close));
    }
    if (step != kClose && step != kCreate) {
        EXPECT_EQ(file(), before);
    }
    gardtest::drop(result), gardtest::drop(var), gardtest::drop(e);
}
INSTANTIATE_TEST_SUITE_P(EachStep, FileFaults,
                         ::testing::Combine(::testing::Range(0, 4),
                                            ::testing::Values(kOpen, kCreate, kReadStep, kWrite, kClose)),
                         [](const auto& row) {
                             return std::string(kOps[std::get<0>(row.param)]) + "_" + kStepNames[std::get<1>(row.param)];
                         });

}  // namespace
