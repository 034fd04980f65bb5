// VPD service: presence of units and the gard keyword of the service
// processors, from vpd/<unit>/ in the state directory.
#include "platform/svpd.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace {

constexpr unsigned int kMaxKeyword = 64;

std::string vpdName(unsigned int unit, const char* what) {
    return "vpd/" + gardhost::unitName(unit) + "/" + what;
}

}  // namespace

ErrlEntry* SVPD_fru_status(unsigned int unit, unsigned int& status, bool flag) {
    using namespace gardhost;
    const std::string target = unitName(unit);
    if (detail::enter("SVPD_fru_status", target, detail::format("flag=%d", flag ? 1 : 0)))
        return detail::failure("SVPD_fru_status", target, 0);
    uint32_t present = 0;  // a unit without a presence value is absent
    detail::numberValue(vpdName(unit, "present"), present);
    status = present != 0 ? 1 : 0;
    return nullptr;
}

ErrlEntry* SVPD_get_qel_gd_keyword(unsigned int unit, unsigned int* length, unsigned char** data,
                                   bool flag) {
    using namespace gardhost;
    const std::string target = unitName(unit);
    if (detail::enter("SVPD_get_qel_gd_keyword", target, detail::format("flag=%d", flag ? 1 : 0)))
        return detail::failure("SVPD_get_qel_gd_keyword", target, 0);
    if (length == nullptr || data == nullptr)
        return detail::failure("SVPD_get_qel_gd_keyword", target, EFAULT);
    std::vector<uint8_t> keyword;
    if (!getValue(vpdName(unit, "keyword"), keyword))
        return detail::failure("SVPD_get_qel_gd_keyword", target, ENOENT);
    if (keyword.size() > kMaxKeyword)
        return detail::failure("SVPD_get_qel_gd_keyword", target, EOVERFLOW);
    // Scalar operator new, as the caller releases it with scalar delete; a
    // block is handed over even for an empty keyword.
    auto* block = static_cast<unsigned char*>(::operator new(keyword.size()));
    if (!keyword.empty()) std::memcpy(block, keyword.data(), keyword.size());
    *length = static_cast<unsigned int>(keyword.size());
    *data = block;
    return nullptr;
}

ErrlEntry* SVPD_set_qel_gd_keyword(unsigned int unit, unsigned int length,
                                   unsigned char const* data) {
    using namespace gardhost;
    const std::string target = unitName(unit);
    if (detail::enter("SVPD_set_qel_gd_keyword", target, detail::format("length=%u", length)))
        return detail::failure("SVPD_set_qel_gd_keyword", target, 0);
    if (length > kMaxKeyword) return detail::failure("SVPD_set_qel_gd_keyword", target, EINVAL);
    if (data == nullptr && length > 0)
        return detail::failure("SVPD_set_qel_gd_keyword", target, EFAULT);
    std::filesystem::path path = std::filesystem::path(stateDir()) / vpdName(unit, "keyword");
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (int err = detail::replaceFile(path.string(), data, length); err != 0)
        return detail::failure("SVPD_set_qel_gd_keyword", target, err);
    return nullptr;
}
