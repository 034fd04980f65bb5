// The change history: every change recorded with the contents around it,
// rebuilt from the records as the files really were; a record whose change
// never came told apart; bad history files reported and never in the way.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "gard/gard.h"
#include "platform/host/detail.h"
#include "support/fixture.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using gardhost::HistoryRecord;

class History : public gardtest::StateTest {
protected:
    struct Seen {
        HistoryRecord record;
        std::optional<Bytes> before, after;
    };
    std::vector<Seen> read(std::vector<std::string>* problems = nullptr) {
        std::vector<Seen> out;
        std::vector<std::string> ignored;
        gardhost::readHistory(
            [&](const HistoryRecord& r, const Bytes* before, const Bytes* after) {
                out.push_back({r, before ? std::optional<Bytes>(*before) : std::nullopt,
                               after ? std::optional<Bytes>(*after) : std::nullopt});
            },
            problems != nullptr ? *problems : ignored);
        return out;
    }
};

// The unit table through its life: each record carries the whole table
// before and after it, as the test read the file itself.
TEST_F(History, RebuildsEveryContentAsItWas) {
    std::vector<Bytes> tables{gardFile("gardRask")};  // empty: not made yet
    gardFruState fru{};
    svpd_SerialNum sn{};
    std::memcpy(sn.bytes, "YL10A1", 6);
    auto step = [&](ErrlEntry* e) {
        EXPECT_EQ(e, nullptr);
        gardtest::drop(e);
        tables.push_back(gardFile("gardRask"));
    };
    step(gardAcc::GardUpdateVpdUnit(0x10, sn, 1, &fru));  // made, then the unit entered
    tables.insert(tables.end() - 1, Bytes(20480, 0));
    step(gardAcc::GardSetVpdUnitState(0x10, 1, GARD_GARDED, 2, nullptr));
    step(gardAcc::GardClearVpdData());
    step(gardAcc::GardResetVpdData());
    std::vector<Bytes> before, after;
    for (const Seen& s : read()) {
        if (s.record.name != "root/opt/p3/gard/gardRask") continue;
        EXPECT_EQ(s.record.status, HistoryRecord::kHappened);
        EXPECT_EQ(s.record.program, "platform_test");
        EXPECT_EQ(s.record.sp, 0);
        ASSERT_TRUE(s.after.has_value());
        before.push_back(s.before.value_or(Bytes{}));
        after.push_back(*s.after);
    }
    ASSERT_EQ(after.size(), tables.size() - 1);
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(before[i], tables[i]) << "before change " << i;
        EXPECT_EQ(after[i], tables[i + 1]) << "after change " << i;
    }
}

// A history that is cut short, holds junk or is no regular file is told in
// one line, and the changes go on.
struct Bad {
    const char* name;
    void (*spoil)(const std::string& dir);
    std::size_t records;  // still read
};

void PrintTo(const Bad& b, std::ostream* os) { *os << b.name; }

class BadHistory : public History, public ::testing::WithParamInterface<Bad> {};

TEST_P(BadHistory, ToldInOneLineAndNeverInTheWay) {
    gardhost::setU8(gardhost::regName("dscv/SiblingState"), 2);
    GetParam().spoil(dir_);
    std::vector<std::string> problems;
    EXPECT_EQ(read(&problems).size(), GetParam().records);
    EXPECT_EQ(problems.size(), 1u);
    gardFruState fru{};
    ErrlEntry* e = gardAcc::GardUpdateVpdUnit(0x10, svpd_SerialNum{}, 1, &fru);
    EXPECT_EQ(e, nullptr);
    gardtest::drop(e);
    EXPECT_EQ(fru, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadHistory,
    ::testing::Values(Bad{"CutShort",
                          [](const std::string& d) {
                              fs::resize_file(d + "/history", fs::file_size(d + "/history") - 5);
                          },
                          0},
                      Bad{"JunkLines",
                          [](const std::string& d) {
                              std::ofstream(d + "/history", std::ios::app) << "junk\n\x01\x02 crc=00000000\n";
                          },
                          1},
                      Bad{"Directory",
                          [](const std::string& d) {
                              fs::remove(d + "/history");
                              fs::create_directory(d + "/history");
                          },
                          0},
                      Bad{"Fifo",
                          [](const std::string& d) {
                              fs::rename(d + "/history", d + "/history.1");
                              ::mkfifo((d + "/history").c_str(), 0644);
                          },
                          1}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
