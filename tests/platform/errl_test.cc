// Error-log entries: the flattened form, pruning, the commit log.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "support/fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ErrlTest : public gardtest::StateTest {};

// An entry using every field: three SRCs, custom text with spaces, gard bit.
ErrlEntry* fullEntry() {
    auto* e = new ErrlEntry(0xCA00, 0x40, 1, 0xD1, 0x11223344, 0x21, 0x4399, 0xCA01, 1, 2, 3, 4,
                            0x75, 7);
    e->addSRC(0xCA00, 0xB1, 5, 0x66, 0x4399, 0xCA08, 9, 0, 0, 0xFFFFFFFF, 0x75);
    e->addSRC(0xE000, 0xE1, 0, 0x03, 0, 0xE003, 0, 0, 0, 61, 0);
    e->setRC(0xDEADBEEF);
    e->getSRC(0)->SetGardBit();
    e->getSRC(1)->setAsciiString("B1 has  spaces | and=signs");
    e->detail() = {0, 1, 2, 0xFF};
    return e;
}

void expectSameSrc(const SrciSrc& a, const SrciSrc& b) {
    auto fields = [](SrciSrc s) {  // a copy: the default text is made on asking
        return std::make_tuple(s.compId, s.srciType, s.word, s.modId, s.serviceCodes, s.reasonCode,
                               std::vector<uint32_t>(s.ud, s.ud + 4), s.epubSubSystem, s.gardBit, s.hasCustomAscii(),
                               std::string(s.getAsciiString()));
    };
    EXPECT_EQ(fields(a), fields(b));
}

TEST_F(ErrlTest, FlattenRoundTripKeepsEverything) {
    ErrlEntry* e = fullEntry();
    Bytes small(e->flatSize() - 1, 0xAB);
    EXPECT_NE(e->flatten(small.data(), small.size()), 0) << "one byte too small";
    EXPECT_EQ(small, Bytes(small.size(), 0xAB));
    Bytes area(2048, 0xAB);
    ASSERT_EQ(e->flatten(area.data(), area.size()), 0);
    EXPECT_EQ(area[e->flatSize()], 0xAB) << "wrote past its flattened size";
    ErrlEntry back;
    ASSERT_EQ(back.unflatten(area.data(), area.size()), 0);
    EXPECT_EQ(back.severity(), 0x40);
    EXPECT_EQ(back.eventType(), 1);
    EXPECT_EQ(back.srciTermState(), 7);
    EXPECT_EQ(back.getRC(), 0xDEADBEEFu);
    EXPECT_EQ(back.detail(), e->detail());
    ASSERT_EQ(back.srcCount(), 3u);
    for (std::size_t i = 0; i < 3; ++i) expectSameSrc(back.src(i), e->src(i));
    delete e;
}

// Bytes that are not a flattened entry, made from a good image.
struct Bad {
    const char* name;
    std::function<Bytes(Bytes)> damage;
    std::size_t size;  // given to unflatten; 0 = the damaged image's size
};

class UnflattenRejects : public ErrlTest, public ::testing::WithParamInterface<Bad> {};

TEST_P(UnflattenRejects, LeavesEntryEmpty) {
    ErrlEntry* e = fullEntry();
    Bytes good(e->flatSize());
    ASSERT_EQ(e->flatten(good.data(), good.size()), 0);
    delete e;
    Bytes bad = GetParam().damage(good);
    std::size_t size = GetParam().size != 0 ? GetParam().size : bad.size();
    // Exactly `size` bytes on the heap, so the sanitizer build sees any overrun.
    Bytes exact(bad.begin(), bad.begin() + static_cast<long>(std::min(size, bad.size())));
    ErrlEntry* back = fullEntry();
    EXPECT_NE(back->unflatten(exact.empty() ? nullptr : exact.data(), exact.size()), 0);
    EXPECT_EQ(back->srcCount(), 0u);
    EXPECT_TRUE(back->detail().empty());
    EXPECT_EQ(back->getRC(), 0u);
    delete back;
}

// Damage behind a valid CRC, so the field checks themselves are reached.
uint32_t crc32(const uint8_t* p, std::size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    while (n-- > 0) {
        c ^= *p++;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}
Bytes resealed(Bytes b) {
    uint32_t c = crc32(b.data(), b.size() - 4);
    for (int i = 0; i < 4; ++i) b[b.size() - 4 + i] = static_cast<uint8_t>(c >> (24 - 8 * i));
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnflattenRejects,
    ::testing::Values(
        Bad{"ZeroBytes", [](Bytes) { return Bytes{}; }, 0},
        Bad{"AllZero", [](Bytes) { return Bytes(2048, 0); }, 0},
        Bad{"AllOnes", [](Bytes) { return Bytes(2048, 0xFF); }, 0},
        Bad{"Garbage", [](Bytes b) { for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 37 + 11); return b; }, 0},
        Bad{"TruncatedByOne", [](Bytes b) { b.pop_back(); return b; }, 0},
        Bad{"HeaderOnly", [](Bytes b) { b.resize(24); return b; }, 0},
        Bad{"FlippedBodyBit", [](Bytes b) { b[40] ^= 0x10; return b; }, 0},
        Bad{"FlippedCrc", [](Bytes b) { b.back() ^= 1; return b; }, 0},
        Bad{"OtherVersion", [](Bytes b) { b[5] = 2; return b; }, 0},
        Bad{"LengthBeyondSize", [](Bytes b) { b[8] = 0x7F; return b; }, 0},
        Bad{"SizeSmallerThanLength", [](Bytes b) { return b; }, 100},
        Bad{"SrcCountPastEnd", [](Bytes b) { b[6] = 0xFF; return resealed(b); }, 0},
        Bad{"TextLengthPastEnd", [](Bytes b) { b[24 + 32 + 30] = 0xFF; return resealed(b); }, 0},
        Bad{"DetailLengthWrong", [](Bytes b) { b[23] ^= 1; return resealed(b); }, 0},
        Bad{"TextOnPlainSrc", [](Bytes b) { b[24 + 31] = 1; return resealed(b); }, 0}),
    [](const auto& row) { return std::string(row.param.name); });

// Detail bytes go first, then SRCs from the last; the primary SRC survives.
TEST_F(ErrlTest, PruneFitsBigEntryInto2048) {
    ErrlEntry* e = fullEntry();
    e->detail().assign(3000, 1);
    e->prune(2048);
    EXPECT_EQ(e->flatSize(), 2048u);
    EXPECT_EQ(e->srcCount(), 3u);
    Bytes exact(2048);  // an entry that fills its area exactly reads back
    ASSERT_EQ(e->flatten(exact.data(), exact.size()), 0);
    EXPECT_EQ(ErrlEntry().unflatten(exact.data(), exact.size()), 0);
    e->detail().assign(6000, 0x5A);
    for (int i = 0; i < 100; ++i) e->addSRC(0xCA00, 0xB1, 0, 0x66, 0x4399, 0xCA07, i, 0, 0, 0, 0x75);
    e->prune(2048);
    EXPECT_LE(e->flatSize(), 2048u);
    Bytes area(2048);
    ASSERT_EQ(e->flatten(area.data(), area.size()), 0);
    ErrlEntry back;
    ASSERT_EQ(back.unflatten(area.data(), area.size()), 0);
    ErrlEntry* original = fullEntry();
    expectSameSrc(back.src(0), original->src(0));
    EXPECT_STREQ(back.getSRC(0)->getAsciiString(), "D121CA01                        ") << "made from the fields";
    SrciSrc small = back.src(0);
    small.reasonCode = 1;
    EXPECT_STREQ(small.getAsciiString(), "D1210001                        ") << "four digits of reason";
    EXPECT_EQ(back.getSRC(static_cast<unsigned>(back.srcCount())), nullptr) << "past the last SRC";
    delete original;
    delete e;
}

// A copy keeps every field; a copy's commit reads back as the original's.
TEST_F(ErrlTest, CommitLogReadsBackEverySrc) {
    long live = gardhost::liveErrls();
    ErrlEntry* e = fullEntry();
    ErrlEntry* copy = new ErrlEntry(*e);
    EXPECT_EQ(gardhost::liveErrls(), live + 2);
    EXPECT_EQ(std::make_tuple(copy->severity(), copy->eventType(), copy->srciTermState(), copy->getRC(), copy->detail()),
              std::make_tuple(e->severity(), e->eventType(), e->srciTermState(), e->getRC(), e->detail()));
    e->commit(0xCA00, 0x4000);
    // What is no whole log is passed over: a blank line, junk, a line cut
    // short before its checksum (a junk newline a power cut left ends it;
    // one of a log written before logs had their place in the journal too,
    // whose time tells it from the logs of before times were kept), a line
    // a writer killed mid-way left (ended by the next commit), one whose
    // checksum does not hold.
    const std::string path = gardhost::stateDir() + "/errl/committed";
    std::string first;
    std::getline(std::ifstream(path) >> std::ws, first);
    const std::size_t place = first.find(" j="), seal = first.rfind(" | crc=");
    ASSERT_TRUE(place != std::string::npos && seal != std::string::npos) << first;
    std::string unplaced = first.substr(0, seal);
    unplaced.erase(place, unplaced.find(' ', place + 1) - place);
    std::ofstream(path, std::ios::app) << "\njunk line\n" << first.substr(0, seal) << "\n" << unplaced << "\n"
                                       << first.substr(0, first.size() / 2) << "\n"
                                       << first.substr(0, first.size() - 1) << (first.back() == '0' ? "1\n" : "0\n")
                                       << first.substr(0, first.size() / 3);
    gardhost::reloadValues();
    copy->commit(0xCA00, 0x2000);
    auto all = gardhost::committed();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].sp, 0);
    EXPECT_EQ(all[0].program, "platform_test");
    EXPECT_EQ(all[0].pid, ::getpid());
    EXPECT_NE(all[0].time, 0u);
    EXPECT_EQ(all[0].actions, 0x4000u);
    EXPECT_EQ(all[1].actions, 0x2000u);
    EXPECT_EQ(all[0].compId, 0xCA00);
    EXPECT_EQ(all[0].severity, 0x40);
    EXPECT_EQ(all[0].eventType, 1);
    EXPECT_EQ(all[0].rc, 0xDEADBEEFu);
    ASSERT_EQ(all[0].srcs.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) expectSameSrc(all[0].srcs[i], e->src(i));
    for (std::size_t i = 0; i < 3; ++i) expectSameSrc(all[1].srcs[i], e->src(i));
    EXPECT_EQ(all[1].rc, 0xDEADBEEFu);
    delete e;
    delete copy;
    EXPECT_EQ(gardhost::liveErrls(), live);
    gardhost::clearCommitted();
    EXPECT_TRUE(gardhost::committed().empty());
}

}  // namespace
