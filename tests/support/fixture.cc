#include "fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace gardtest {

void StateTest::SetUp() {
    char tmpl[] = "/tmp/gardtest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    gardhost::setStateDir(dir_);
    gardhost::setPosition(0);
    gardhost::setSync(false);
    gardhost::seedDefaults();
    gardhost::clearFaults();
    gardhost::clearCalls();
    gardhost::clearCommitted();
    gardhost::clearTrace("gard");
    liveAtStart_ = gardhost::liveErrls();
}

void StateTest::TearDown() {
    EXPECT_EQ(gardhost::liveErrls(), liveAtStart_) << "error-log entries leaked";
    gardhost::clearFaults();
    gardhost::stopPowerSim();  // a test that cut the power leaves the next one real syncs
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<uint8_t> StateTest::gardFile(const std::string& name) const {
    std::ifstream in(gardhost::resolvePath("/opt/p3/gard/" + name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool StateTest::gardFileExists(const std::string& name) const {
    return std::filesystem::exists(gardhost::resolvePath("/opt/p3/gard/" + name));
}

void StateTest::writeGardFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::path p = gardhost::resolvePath("/opt/p3/gard/" + name);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint16_t> reasons(const ErrlEntry* errl) {
    std::vector<uint16_t> out;
    if (errl == nullptr) return out;
    for (std::size_t i = 0; i < errl->srcCount(); ++i) out.push_back(errl->src(i).reasonCode);
    return out;
}

std::vector<gardhost::Committed> committedWith(uint32_t actions) {
    std::vector<gardhost::Committed> out;
    for (auto& c : gardhost::committed())
        if (c.actions == actions) out.push_back(c);
    return out;
}

void drop(ErrlEntry*& errl) {
    delete errl;
    errl = nullptr;
}

}  // namespace gardtest
