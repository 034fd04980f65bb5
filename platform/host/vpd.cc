// VPD service: presence of units and the gard keyword of the service
// processors, from vpd/<unit>/ in the state directory.
#include "platform/svpd.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace {

using gardhost::detail::Target;

constexpr unsigned int kMaxKeyword = 64;

gardhost::detail::Name vpdName(unsigned int unit, const char* what) {
    gardhost::detail::Name n;
    n.add("vpd/").hex(unit).add("/").add(what);
    return n;
}

}  // namespace

ErrlEntry* SVPD_fru_status(unsigned int unit, unsigned int& status, bool flag) {
    using namespace gardhost;
    if (detail::enter("SVPD_fru_status", Target::hex(unit), detail::args("flag=%d", flag ? 1 : 0)))
        return detail::failure("SVPD_fru_status", Target::hex(unit), 0);
    uint32_t present = 0;  // a unit without a presence value is absent
    detail::numberValue(vpdName(unit, "present").view(), present);
    status = present != 0 ? 1 : 0;
    return nullptr;
}

ErrlEntry* SVPD_get_qel_gd_keyword(unsigned int unit, unsigned int* length, unsigned char** data,
                                   bool flag) {
    using namespace gardhost;
    const Target target = Target::hex(unit);
    if (detail::enter("SVPD_get_qel_gd_keyword", target, detail::args("flag=%d", flag ? 1 : 0)))
        return detail::failure("SVPD_get_qel_gd_keyword", target, 0);
    if (length == nullptr || data == nullptr)
        return detail::failure("SVPD_get_qel_gd_keyword", target, EFAULT);
    unsigned char keyword[kMaxKeyword];
    std::size_t size = 0;
    if (int err = detail::readValue(vpdName(unit, "keyword").view(), keyword, sizeof keyword, size); err != 0)
        return detail::failure("SVPD_get_qel_gd_keyword", target, err);
    if (size > kMaxKeyword) return detail::failure("SVPD_get_qel_gd_keyword", target, EOVERFLOW);
    // Scalar operator new, as the caller releases it with scalar delete; a
    // block is handed over even for an empty keyword.
    auto* block = static_cast<unsigned char*>(::operator new(size));
    if (size > 0) std::memcpy(block, keyword, size);
    *length = static_cast<unsigned int>(size);
    *data = block;
    return nullptr;
}

ErrlEntry* SVPD_set_qel_gd_keyword(unsigned int unit, unsigned int length,
                                   unsigned char const* data) {
    using namespace gardhost;
    const Target target = Target::hex(unit);
    if (detail::enter("SVPD_set_qel_gd_keyword", target, detail::args("length=%u", length)))
        return detail::failure("SVPD_set_qel_gd_keyword", target, 0);
    if (length > kMaxKeyword) return detail::failure("SVPD_set_qel_gd_keyword", target, EINVAL);
    if (data == nullptr && length > 0)
        return detail::failure("SVPD_set_qel_gd_keyword", target, EFAULT);
    if (int err = detail::writeValue(vpdName(unit, "keyword").view(), data, length); err != 0)
        return detail::failure("SVPD_set_qel_gd_keyword", target, err);
    return nullptr;
}
