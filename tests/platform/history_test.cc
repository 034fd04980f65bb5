// The journal: every change recorded with the contents around it, in the
// order made whatever the clocks said; one record and one flush a call; a
// record that claims more than it holds passed over; files at their names
// rebuilt from the journal alone after a power cut.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>

#include "gard/gard.h"
#include "platform/host/detail.h"
#include "platform/svpd.h"
#include "platform/utilfile.h"
#include "small_journal.h"
#include "support/fixture.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Content = std::optional<Bytes>;  // nullopt: not there
using gardhost::HistoryRecord;
using gardtest::inSmallJournal;
using gardtest::kCheckpointEvery;

std::string text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class History : public gardtest::StateTest {
protected:
    struct Seen {
        HistoryRecord record;
        Content before, after;
    };
    // The changes the journal holds (not the defaults of a new directory).
    std::vector<Seen> read(std::vector<std::string>* problems = nullptr) {
        std::vector<Seen> out;
        std::vector<std::string> ignored;
        gardhost::readHistory(
            [&](const HistoryRecord& r, const Bytes* before, const Bytes* after) {
                if (r.kind == HistoryRecord::kChange && !r.setup)
                    out.push_back({r, before ? Content(*before) : std::nullopt, after ? Content(*after) : std::nullopt});
            },
            problems != nullptr ? *problems : ignored);
        return out;
    }
    // The journal's lines (the zeros written ahead of its records left out).
    std::vector<std::string> lines() const {
        std::istringstream in(text(dir_ + "/history"));
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);)
            if (l.find_first_not_of('\0') != std::string::npos) out.push_back(l);
        return out;
    }
    void writeLines(const std::vector<std::string>& ls) const {
        std::ofstream out(dir_ + "/history", std::ios::binary | std::ios::trunc);
        for (const std::string& l : ls) out << l << '\n';
    }
    // A line with its checksum made anew: what a forger or a clock step leaves.
    static std::string resealed(std::string line) {
        line.resize(line.rfind(" crc="));
        char crc[16];
        std::snprintf(crc, sizeof crc, " crc=%08x",
                      gardhost::detail::crc32(reinterpret_cast<const unsigned char*>(line.data()), line.size()));
        return line + crc;
    }
    Content onDisk(const std::string& name) const {
        if (!fs::exists(dir_ + "/" + name)) return std::nullopt;
        const std::string t = text(dir_ + "/" + name);
        return Bytes(t.begin(), t.end());
    }
};

// ---------------------------------------------------------------- contents of every shape

// A way the platform changes a name's content, as its callers do.
struct Path {
    const char* name;
    std::string value;  // the name in the state directory
    void (*put)(const std::string& value, const Content& content);
};

void PrintTo(const Path& p, std::ostream* os) { *os << p.name; }

void byValue(const std::string& value, const Content& c) {
    if (c) gardhost::setValue(value, *c);
    else gardhost::eraseValue(value);
}

void byFile(const std::string& value, const Content& c) {
    if (!c) return gardhost::eraseValue(value);
    fs::create_directories(gardhost::stateDir() + "/root/opt/p3/gard");  // as the library's mkdir makes it
    // The firmware path: the value's name less "root" (GCC 12 at -O3 sees a
    // false overlap, -Wrestrict, in "/" + a temporary).
    const std::string path = value.substr(std::strlen("root"));
    UtilFile f(path.c_str());
    f.Open("w+");
    f.Write(c->data(), c->size());
    f.Close();
    delete f.iv_errl;
    f.iv_errl = nullptr;
}

void byKeyword(const std::string&, const Content& c) {
    if (!c) return gardhost::eraseValue("vpd/0x200/keyword");
    delete SVPD_set_qel_gd_keyword(0x200, static_cast<unsigned>(c->size()), c->data());
}

// Longer, shorter, the same length, empty, removed, made again, most bytes
// changed (the whole content recorded), one byte changed.
std::vector<Content> shapes(std::size_t most) {
    Bytes big(most, 0x11), other(most, 0x22);
    Bytes oneByte = other;
    oneByte[most / 2] ^= 0xFF;
    return {Bytes{1, 2, 3}, Bytes{1, 2, 3, 4, 5, 6, 7}, Bytes{9, 9}, Bytes{8, 8}, Bytes{},    std::nullopt,
            Bytes{7},       big,                        other,       oneByte,    Bytes{0, 0}, std::nullopt};
}

class Shapes : public History, public ::testing::WithParamInterface<Path> {
protected:
    // After each step the journal's last content of the name is the file's,
    // each change happened, and the contents before and after chain.
    void check(const std::vector<Content>& steps, std::size_t from) {
        std::vector<Seen> seen;
        for (Seen& s : read())
            if (s.record.name == GetParam().value) seen.push_back(std::move(s));
        ASSERT_EQ(seen.size(), steps.size() - from);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].record.status, HistoryRecord::kHappened);
            EXPECT_FALSE(seen[i].record.outside);
            EXPECT_EQ(seen[i].before, steps[from + i - 1]) << "before step " << from + i;
            EXPECT_EQ(seen[i].after, steps[from + i]) << "after step " << from + i;
        }
        EXPECT_EQ(onDisk(GetParam().value), steps.back());
    }
};

TEST_P(Shapes, JournalAndFilesAgreeAfterEachCall) {
    const Path& p = GetParam();
    std::vector<Content> steps{onDisk(p.value)};
    for (const Content& c : shapes(p.value.rfind("vpd/", 0) == 0 ? 64 : 20000)) {
        if (c == steps.back()) continue;  // no change, no record
        p.put(p.value, c);
        steps.push_back(c);
        check(steps, 1);
    }
    std::vector<std::string> problems;
    gardhost::HistoryReader reader;
    reader.read([](const HistoryRecord&, const Bytes*, const Bytes*) {}, problems);
    reader.outsideChanges(problems);
    EXPECT_EQ(problems, std::vector<std::string>{});
}

// The same changes in one call: one record, the file at its name ending
// with the last content, the history showing every step.
TEST_P(Shapes, OneCallOneRecord) {
    const Path& p = GetParam();
    const std::size_t before = lines().size();
    std::vector<Content> steps{onDisk(p.value)};
    {
        gardhost::StateLock lock(gardhost::StateLock::kExclusive);
        for (const Content& c : shapes(p.value.rfind("vpd/", 0) == 0 ? 64 : 20000)) {
            if (c == steps.back()) continue;
            p.put(p.value, c);
            steps.push_back(c);
        }
        EXPECT_EQ(lines().size(), before) << "nothing journaled before the call ends";
        EXPECT_EQ(onDisk(p.value), steps.front()) << "nothing in place before the call ends";
    }
    EXPECT_EQ(lines().size(), before + 1);
    check(steps, 1);
}

INSTANTIATE_TEST_SUITE_P(Table, Shapes,
                         ::testing::Values(Path{"Value", "sp0/reg/some/Key", byValue},
                                           Path{"GardFile", "root/opt/p3/gard/probe", byFile},
                                           Path{"Keyword", "vpd/0x200/keyword", byKeyword}),
                         [](const auto& row) { return std::string(row.param.name); });

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

// ---------------------------------------------------------------- order and bounds

// Records whose writers' clocks were stepped back an hour, or read 1970:
// what happened is judged by the journal's order, as the files show it.
TEST_F(History, ClocksDoNotOrderIt) {
    const std::string name = gardhost::regName("dscv/SiblingState");
    for (uint8_t v = 2; v <= 5; ++v) gardhost::setU8(name, v);
    std::vector<std::string> ls = lines();
    const std::size_t n = ls.size();
    auto setTime = [&](std::string& line, const std::string& t) {
        const std::size_t at = line.find(" t=") + 3;
        line.replace(at, line.find(' ', at) - at, t);
        line = resealed(line);
    };
    const std::string third = ls[n - 2].substr(ls[n - 2].find(" t=") + 3, 16);
    setTime(ls[n - 2], std::to_string(std::stoull(third) - 3600000000ull));  // an hour back
    setTime(ls[n - 1], "0");                                                   // 1970
    writeLines(ls);
    std::vector<std::string> problems;
    std::vector<uint8_t> values;
    for (const Seen& s : read(&problems)) {
        if (s.record.name != name) continue;
        EXPECT_EQ(s.record.status, HistoryRecord::kHappened);
        EXPECT_FALSE(s.record.outside);
        ASSERT_TRUE(s.after.has_value());
        values.push_back(s.after->at(0));
    }
    EXPECT_EQ(values, (std::vector<uint8_t>{2, 3, 4, 5}));
    gardhost::HistoryReader reader;
    reader.read([](const HistoryRecord&, const Bytes*, const Bytes*) {}, problems);
    reader.outsideChanges(problems);
    EXPECT_EQ(problems, std::vector<std::string>{});
}

// A record that claims more than it holds, or more than a content may be:
// junk, named once, passed over, the records around it read.
struct Forged {
    const char* name;
    const char* from;  // replaced in the last record
    const char* to;
};

void PrintTo(const Forged& f, std::ostream* os) { *os << f.name; }

class ForgedRecords : public History, public ::testing::WithParamInterface<Forged> {};

TEST_P(ForgedRecords, AreJunkNeverACrash) {
    const std::string name = gardhost::regName("dscv/SiblingState");
    gardhost::setU8(name, 2);
    gardhost::setU8(name, 3);
    std::vector<std::string> ls = lines();
    std::string& last = ls.back();
    const std::size_t at = last.find(GetParam().from);
    ASSERT_NE(at, std::string::npos) << last;
    last = resealed(last.replace(at, std::strlen(GetParam().from), GetParam().to));
    ls.push_back(ls.back());  // and once more, to be named once only
    writeLines(ls);
    std::vector<std::string> problems;
    const std::vector<Seen> seen = read(&problems);
    ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
    EXPECT_NE(problems[0].find("2 lines that are no journal record"), std::string::npos) << problems[0];
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().after, Content(Bytes{2}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForgedRecords,
    ::testing::Values(Forged{"OffsetPastItsContent", "diff=0:", "diff=7:"},
                      Forged{"OffsetPast2To32", "diff=0:", "diff=4294967296:"},
                      Forged{"OffsetPast2To63", "diff=0:", "diff=9223372036854775808:"},
                      Forged{"OffsetPast2To64", "diff=0:", "diff=18446744073709551616:"},
                      Forged{"ContentOf4GiB", "to=1:", "to=4294967295:"},
                      Forged{"ContentPastTheLargest", "to=1:", "to=1048577:"},
                      Forged{"BaseRunPastItsContent", "base=0:02", "base=1:02"},
                      Forged{"HexCutShort", "diff=0:02:03", "diff=0:02:3"},
                      Forged{"NotHex", "diff=0:02:03", "diff=0:02:zz"},
                      Forged{"NoName", "C name=", "C nam="},
                      Forged{"SequenceZero", "J seq=", "J seq=0 x="}),
    [](const auto& row) { return std::string(row.param.name); });

// A journal cut short, holding junk, or no regular file: told in one line;
// changes go on (a journal that is no file is moved aside, kept).
struct Bad {
    const char* name;
    void (*spoil)(const std::string& dir);
    const char* said;
    std::size_t after = 1;  // problems once a record follows: none where the journal was set aside
};

void PrintTo(const Bad& b, std::ostream* os) { *os << b.name; }

class BadHistory : public History, public ::testing::WithParamInterface<Bad> {};

TEST_P(BadHistory, ToldInOneLineAndNeverInTheWay) {
    gardhost::setU8(gardhost::regName("dscv/SiblingState"), 2);
    GetParam().spoil(dir_);
    std::vector<std::string> problems;
    read(&problems);
    ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
    EXPECT_NE(problems[0].find(GetParam().said), std::string::npos) << problems[0];
    gardFruState fru{};
    ErrlEntry* e = gardAcc::GardUpdateVpdUnit(0x10, svpd_SerialNum{}, 1, &fru);
    EXPECT_EQ(e, nullptr);
    gardtest::drop(e);
    EXPECT_EQ(fru, 1u);
    bool recorded = false;
    problems.clear();
    for (const Seen& s : read(&problems)) recorded = recorded || s.record.name == "root/opt/p3/gard/gardRask";
    EXPECT_TRUE(recorded);
    // What was no record stays none once a record follows it.
    EXPECT_EQ(problems.size(), GetParam().after) << ::testing::PrintToString(problems);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadHistory,
    ::testing::Values(
        Bad{"CutShort", [](const std::string& d) { fs::resize_file(d + "/history", fs::file_size(d + "/history") - 5); },
            "last record is cut short"},
        // A record whole but for its end, as a power cut may leave one never flushed.
        Bad{"EndLost", [](const std::string& d) { fs::resize_file(d + "/history", fs::file_size(d + "/history") - 1); },
            "last record is cut short"},
        Bad{"JunkLines",
            [](const std::string& d) { std::ofstream(d + "/history", std::ios::app) << "junk\n\x01\x02 crc=00000000\n"; },
            "2 lines that are no journal record"},
        Bad{"Directory",
            [](const std::string& d) {
                fs::remove(d + "/history");
                fs::create_directory(d + "/history");
            },
            "not a regular file", 0},
        Bad{"Fifo",
            [](const std::string& d) {
                fs::remove(d + "/history");
                ::mkfifo((d + "/history").c_str(), 0644);
            },
            "not a regular file", 0}),
    [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------- one flush a call

TEST_F(History, OneFlushACall) {
    gardhost::setSync(true);
    gardFruState fru{};
    delete gardAcc::GardUpdateVpdUnit(0x10, svpd_SerialNum{}, 1, &fru);  // the table made
    auto flushes = [](const std::function<void()>& call) {
        const uint64_t before = gardhost::flushes();
        call();
        return gardhost::flushes() - before;
    };
    EXPECT_EQ(flushes([&] { delete gardAcc::GardUpdateVpdUnit(0x11, svpd_SerialNum{}, 1, &fru); }), 1u)
        << "an update without a lock";
    EXPECT_EQ(flushes([&] {
                  gardhost::StateLock lock(gardhost::StateLock::kExclusive);
                  delete gardAcc::GardSetVpdUnitState(0x10, 1, GARD_GARDED, 2, nullptr);  // a log and a change
                  delete gardAcc::GardUpdateVpdUnit(0x12, svpd_SerialNum{}, 1, &fru);
              }),
              1u)
        << "a call with two changes and a log";
    EXPECT_EQ(flushes([&] {
                  gardhost::StateLock lock(gardhost::StateLock::kExclusive);
                  bool garded = false;
                  delete gardAcc::GardGetVpdUnitState(0x10, 1, &garded);
              }),
              0u)
        << "a call that changes nothing";
    EXPECT_EQ(flushes([&] {
                  gardhost::StateLock lock(gardhost::StateLock::kExclusive);
                  delete gardAcc::GardUpdateVpdUnit(0x13, svpd_SerialNum{}, 1, &fru);
                  lock.discard();
              }),
              0u)
        << "a call dropped";
    bool garded = true;
    delete gardAcc::GardGetVpdUnitState(0x13, 1, &garded);
    EXPECT_FALSE(garded) << "the dropped call's unit is not there";

    // A log says what happened: a dropped call's logs are committed all the same.
    const std::size_t logs = gardhost::committed().size();
    EXPECT_EQ(flushes([&] {
                  gardhost::StateLock lock(gardhost::StateLock::kExclusive);
                  delete gardAcc::GardSetVpdUnitState(0x11, 1, GARD_GARDED, 2, nullptr);
                  lock.discard();
              }),
              1u)
        << "a dropped call with a log";
    EXPECT_EQ(gardhost::committed().size(), logs + 1);
    delete gardAcc::GardGetVpdUnitState(0x11, 1, &garded);
    EXPECT_FALSE(garded) << "the dropped call's state change is not there";
}

// ---------------------------------------------------------------- power cuts

// Changes made durable, then the power cut in many ways (each seed spoils
// what was not synced differently): the next process finds every file as
// the journal leaves it, and every committed log.
TEST_F(History, PowerCutsLoseNothingAcknowledged) {
    const std::string sim = dir_ + ".power";
    gardhost::setSync(true);
    gardhost::startPowerSim(sim);
    const std::string name = gardhost::regName("dscv/SiblingState");
    for (uint64_t seed = 1; seed <= 24; ++seed) {
        gardhost::setSync(true);
        gardFruState fru{};
        {
            gardhost::StateLock lock(gardhost::StateLock::kExclusive);
            delete gardAcc::GardUpdateVpdUnit(static_cast<uint16_t>(seed), svpd_SerialNum{}, 1, &fru);
            delete gardAcc::GardSetVpdUnitState(static_cast<uint16_t>(seed), 1, GARD_GARDED, 2, nullptr);
        }
        gardhost::setU8(name, static_cast<uint8_t>(seed));
        const Bytes table = gardFile("gardRask");
        const std::size_t logs = gardhost::committed().size();
        gardhost::cutPower(sim, seed);
        Bytes value;
        ASSERT_TRUE(gardhost::getValue(name, value)) << "seed " << seed;
        EXPECT_EQ(value, Bytes{static_cast<uint8_t>(seed)}) << "seed " << seed;
        EXPECT_EQ(gardFile("gardRask"), table) << "seed " << seed;
        EXPECT_EQ(gardhost::committed().size(), logs) << "seed " << seed;
    }
    fs::remove_all(sim);
}

// Logs rotated to the older part although the records that committed them
// came after the last checkpoint, as a rotation made before its checkpoint
// record was durable could leave them: a power cut puts none back twice.
TEST_F(History, LogsRotatedAheadOfTheirCheckpointStayOnce) {
    const std::string sim = dir_ + ".power", logs = dir_ + "/errl/committed";
    gardhost::setSync(true);
    gardFruState fru{};
    delete gardAcc::GardUpdateVpdUnit(0x10, svpd_SerialNum{}, 1, &fru);
    delete gardAcc::GardSetVpdUnitState(0x10, 1, GARD_GARDED, 2, nullptr);
    const std::size_t committed = gardhost::committed().size();
    ASSERT_GT(committed, 0u);
    fs::rename(logs, logs + ".1");
    gardhost::startPowerSim(sim);  // all of it durable, the rotation too
    gardhost::cutPower(sim, 1);
    EXPECT_EQ(gardhost::committed().size(), committed);
    gardhost::stopPowerSim();
    fs::remove_all(sim);
}

// With sync on the journal keeps zeros ahead of its records, which no
// reader takes for a record cut short. A writer killed half-way through its
// record leaves a part of it there; the next record ends that part as torn
// (junk to every reader) and follows it.
TEST_F(History, ZerosAheadAndARecordLeftHalfWritten) {
    gardhost::setSync(true);
    const std::string name = gardhost::regName("dscv/SiblingState"), journal = dir_ + "/history";
    gardhost::setU8(name, 0x31);
    const std::string written = text(journal);
    const std::size_t end = written.find_last_not_of('\0') + 1;
    ASSERT_GE(written.size(), end + 4096) << "no zeros ahead of the records";
    std::vector<std::string> problems;
    read(&problems);
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    {
        std::fstream half(journal, std::ios::in | std::ios::out | std::ios::binary);
        half.seekp(static_cast<std::streamoff>(end));
        half << "J seq=999 t=1 half";
    }
    gardhost::setU8(name, 0x32);
    std::vector<int> seen;
    for (const Seen& s : read(&problems))
        if (s.record.name == name && s.after) seen.push_back(s.after->at(0));
    EXPECT_EQ(seen, (std::vector<int>{0x31, 0x32}));
    ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
    EXPECT_NE(problems[0].find("1 line that is no journal record"), std::string::npos) << problems[0];
    EXPECT_NE(text(journal).find("J seq=999 t=1 half (torn)\nJ seq="), std::string::npos);
}

// After a cut the journal ends at its first line that is no record and
// that no later writer ended as torn: a flush makes everything before it
// durable, so a record after such a line was never flushed. It is not
// redone, and it is zeroed, so that no reader takes it for one and the
// next record goes where the journal ends.
TEST_F(History, ACutEndsTheJournalAtItsFirstJunk) {
    gardhost::setSync(true);
    const std::string name = gardhost::regName("dscv/SiblingState");
    for (const int v : {0x21, 0x22, 0x23}) gardhost::setU8(name, static_cast<uint8_t>(v));
    std::vector<std::string> ls = lines();
    ASSERT_GE(ls.size(), 3u);
    const std::string last = ls.back().substr(0, ls.back().find(' ', 6));  // "J seq=N"
    ls[ls.size() - 2].insert(10, "spoilt");  // the record of 0x22 no longer passes its checksum
    writeLines(ls);
    std::ofstream(dir_ + "/" + name, std::ios::binary | std::ios::trunc) << '\x21';  // 0x22, 0x23 never in place
    fs::remove(dir_ + "/generation");  // a page set up anew: the journal is redone
    gardhost::StateLock(gardhost::StateLock::kExclusive).commit();
    Bytes value;
    ASSERT_TRUE(gardhost::getValue(name, value));
    EXPECT_EQ(value, Bytes{0x21}) << "a record after the end was redone";
    EXPECT_EQ(text(dir_ + "/history").find(last), std::string::npos) << "the record after the end is still there";
    gardhost::setU8(name, 0x24);
    std::vector<std::string> problems;
    std::vector<int> seen;
    for (const Seen& s : read(&problems))
        if (s.record.name == name && s.after) seen.push_back(s.after->at(0));
    EXPECT_EQ(seen, (std::vector<int>{0x21, 0x24}));
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
}

// ---------------------------------------------------------------- rotations

// The sequence numbers of a journal file's records, in file order, and
// where its checkpoint records begin.
struct Numbers {
    std::vector<uint64_t> seqs;
    std::vector<std::size_t> checkpoints;
};
Numbers numbers(const std::string& path) {
    Numbers out;
    std::istringstream in(text(path));
    std::size_t at = 0;
    for (std::string l; std::getline(in, l); at += l.size() + 1) {
        if (l.rfind("J seq=", 0) != 0) continue;
        out.seqs.push_back(std::stoull(l.substr(6)));
        if (l.find(" K crc=") != std::string::npos) out.checkpoints.push_back(at);
    }
    return out;
}

// Across rotations the numbers go on rising, and a journal begun after one
// checkpoints at the same pace as the first.
TEST_F(History, RotationsKeepNumbersAndCheckpointPace) {
    if (!inSmallJournal()) return;
    gardhost::setSync(true);
    const std::string name = gardhost::regName("dscv/SiblingState");
    // A rotation shows as another first line in history.1.
    const auto firstOlder = [&] { return text(dir_ + "/history.1").substr(0, 32); };
    std::size_t rotations = 0;
    for (int i = 0; i < 600 && (rotations < 2 || numbers(dir_ + "/history").checkpoints.empty()); ++i) {
        const std::string was = firstOlder();
        gardhost::setU8(name, static_cast<uint8_t>(i));
        if (firstOlder() != was) ++rotations;
    }
    ASSERT_GE(rotations, 2u);
    const Numbers older = numbers(dir_ + "/history.1"), now = numbers(dir_ + "/history");
    std::vector<uint64_t> all = older.seqs;
    all.insert(all.end(), now.seqs.begin(), now.seqs.end());
    ASSERT_FALSE(now.seqs.empty());
    for (std::size_t i = 1; i < all.size(); ++i) ASSERT_LT(all[i - 1], all[i]) << "record " << i;
    // No stretch of the journal longer than the bound and a record or two
    // without a checkpoint (the written part: the zeros ahead left out).
    const std::string journal = text(dir_ + "/history");
    std::vector<std::size_t> marks{0};
    marks.insert(marks.end(), now.checkpoints.begin(), now.checkpoints.end());
    marks.push_back(journal.find_last_not_of('\0') + 1);
    ASSERT_GE(marks.size(), 3u) << "no checkpoint in the journal begun after a rotation";
    for (std::size_t i = 1; i < marks.size(); ++i)
        EXPECT_LE(marks[i] - marks[i - 1], kCheckpointEvery + 1024) << "stretch " << i << " without a checkpoint";
}

// A power cut right after a rotation, before the next journal was begun,
// leaving the counter page as an earlier sync had it: the next record's
// number comes after every number the rotated journal holds.
TEST_F(History, APowerCutAfterARotationGivesNoNumberTwice) {
    if (!inSmallJournal()) return;
    const std::string sim = dir_ + ".power", page = dir_ + "/generation";
    gardhost::setSync(true);
    gardhost::startPowerSim(sim);
    const std::string name = gardhost::regName("dscv/SiblingState");
    gardhost::setU8(name, 1);
    const std::string earlier = text(page);
    for (int i = 2; i < 400 && !(fs::exists(dir_ + "/history.1") && !fs::exists(dir_ + "/history")); ++i)
        gardhost::setU8(name, static_cast<uint8_t>(i));
    ASSERT_TRUE(fs::exists(dir_ + "/history.1") && !fs::exists(dir_ + "/history")) << "no rotation";
    gardhost::cutPower(sim, 1);
    {
        std::fstream out(page, std::ios::in | std::ios::out | std::ios::binary);
        out.write(earlier.data(), static_cast<std::streamsize>(earlier.size()));
    }
    gardhost::setU8(name, 0x55);
    fs::remove_all(sim);
    const Numbers older = numbers(dir_ + "/history.1"), now = numbers(dir_ + "/history");
    ASSERT_FALSE(older.seqs.empty());
    ASSERT_FALSE(now.seqs.empty());
    EXPECT_GT(now.seqs.front(), *std::max_element(older.seqs.begin(), older.seqs.end()));
    Bytes value;
    ASSERT_TRUE(gardhost::getValue(name, value));
    EXPECT_EQ(value, Bytes{0x55});
}

// The power cut itself: what came after a sync is spoiled in every way a
// disk may spoil it (the tests above are only as strong as that), and what
// a sync made durable and nothing overwrote is never lost.
TEST_F(History, PowerCutsSpoilWhatWasNotSynced) {
    const std::string sim = dir_ + ".power", f = dir_ + "/scratch/f", g = dir_ + "/scratch/g", h = dir_ + "/scratch/h";
    const std::string a(3 * 4096, 'a'), b(3 * 4096, 'b'), synced = "synced;", tail = "appended after the sync";
    auto put = [](const std::string& path, const std::string& bytes, std::ios::openmode mode) {
        std::ofstream(path, std::ios::binary | mode) << bytes;
    };
    // Outcomes seen over the seeds, by file.
    std::set<std::string> inPlace, appended, never;
    fs::create_directories(dir_ + "/scratch");
    for (uint64_t seed = 1; seed <= 64; ++seed) {
        put(f, a, std::ios::trunc);
        put(g, synced, std::ios::trunc);
        fs::remove(h);
        gardhost::startPowerSim(sim);  // all of it durable
        put(f, a.substr(0, 512) + b.substr(512), std::ios::in | std::ios::out);  // rewritten in place
        put(g, tail, std::ios::app);
        put(h, "never synced", std::ios::trunc);
        gardhost::cutPower(sim, seed);

        const std::string fNow = text(f);
        ASSERT_EQ(fNow.size(), a.size()) << "seed " << seed;
        // A sector written with the bytes it held keeps them.
        ASSERT_EQ(fNow.substr(0, 512), a.substr(0, 512)) << "seed " << seed;
        for (std::size_t at = 512; at < fNow.size(); at += 512) {
            const std::string sector = fNow.substr(at, 512);
            inPlace.insert(sector == a.substr(0, 512) ? "old sector" : sector == b.substr(0, 512) ? "new sector" : "junk sector");
        }
        const std::string gNow = text(g);
        ASSERT_EQ(gNow.substr(0, synced.size()), synced) << "seed " << seed << ": the synced part lost";
        const std::string added = gNow.substr(synced.size());
        appended.insert(added.empty()                                        ? "none"
                        : added == tail                                      ? "all"
                        : tail.compare(0, added.size(), added) == 0          ? "a first part"
                                                                             : "a part and junk");
        never.insert(!fs::exists(h) ? "missing" : text(h) == "never synced" ? "whole" : "spoiled");
    }
    fs::remove_all(sim);
    EXPECT_EQ(inPlace, (std::set<std::string>{"old sector", "new sector", "junk sector"}));
    EXPECT_EQ(appended, (std::set<std::string>{"none", "all", "a first part", "a part and junk"}));
    EXPECT_EQ(never, (std::set<std::string>{"missing", "whole", "spoiled"}));
}

}  // namespace
