// Redundancy manager, hardware control, hardware object model and
// manufacturing policy, from the state directory.
#include <cerrno>

#include "platform/hom.h"
#include "platform/host/detail.h"
#include "platform/host/host.h"
#include "platform/mnfg.h"
#include "platform/rmgr.h"
#include "platform/vorm.h"

namespace {

using gardhost::detail::Name;
using gardhost::detail::Target;

// The redundancy manager's calls are only recorded, one line each in rmgr/log.
ErrlEntry* rmgrCall(const char* name, const gardhost::detail::Args& args) {
    using namespace gardhost;
    if (detail::enter(name, Target::none(), args)) return detail::failure(name, Target::none(), 0);
    const std::string text = args.str();
    detail::appendValue("rmgr/log", detail::format("%s sp=%d%s%s", name, position(),
                                                  text.empty() ? "" : " ", text.c_str()));
    return nullptr;
}

}  // namespace

ErrlEntry* rmgrGardBackup(unsigned short compId) {
    return rmgrCall("rmgrGardBackup", gardhost::detail::args("comp=0x%x", compId));
}

ErrlEntry* rmgrUngardBackup(unsigned short compId) {
    return rmgrCall("rmgrUngardBackup", gardhost::detail::args("comp=0x%x", compId));
}

ErrlEntry* rmgrAssertSiblingQELPOR() { return rmgrCall("rmgrAssertSiblingQELPOR", {}); }

ErrlEntry* vormGardGetPolicy(uint32_t policyId, uint32_t* value, uint32_t* size, uint32_t flags) {
    using namespace gardhost;
    const Target target = Target::dec(policyId);
    if (detail::enter("vormGardGetPolicy", target, detail::args("flags=0x%x", flags)))
        return detail::failure("vormGardGetPolicy", target, 0);
    if (value == nullptr || size == nullptr) return detail::failure("vormGardGetPolicy", target, EFAULT);
    uint32_t v = 0;
    if (!detail::numberValue(Name().add("vorm/policy/").dec(policyId).view(), v))
        return detail::failure("vormGardGetPolicy", target, ENOENT);
    *value = v;
    *size = sizeof v;
    return nullptr;
}

ErrlEntry* vormGardCheckFunctionalDmaPath(uint32_t unit, bool* functional) {
    using namespace gardhost;
    const Target target = Target::hex(unit);
    if (detail::enter("vormGardCheckFunctionalDmaPath", target))
        return detail::failure("vormGardCheckFunctionalDmaPath", target, 0);
    if (functional == nullptr) return detail::failure("vormGardCheckFunctionalDmaPath", target, EFAULT);
    uint32_t v = 1;  // no value: the path is functional
    detail::numberValue(Name().add("vorm/functional/").hex(unit).view(), v);
    *functional = v != 0;
    return nullptr;
}

ErrlEntry* vormGardDeconfigDmaPath(uint32_t path, uint32_t errorType, uint32_t srcNumber,
                                   uint32_t flags, uint32_t* out) {
    using namespace gardhost;
    const Target target = Target::hex(path);
    const detail::Args args = detail::args("path=0x%x errorType=0x%x src=0x%x flags=0x%x", path,
                                           errorType, srcNumber, flags);
    if (detail::enter("vormGardDeconfigDmaPath", target, args))
        return detail::failure("vormGardDeconfigDmaPath", target, 0);
    if (out == nullptr) return detail::failure("vormGardDeconfigDmaPath", target, EFAULT);
    uint32_t v = 0;  // no value: the path's units are to be garded
    detail::numberValue("vorm/deconfig_out", v);
    *out = v;
    detail::appendValue("vorm/log", detail::format("vormGardDeconfigDmaPath sp=%d %s out=0x%x",
                                                  position(), args.str().c_str(), v));
    return nullptr;
}

ErrlEntry* vormGetVPDPort(uint32_t unit, uint32_t* port) {
    using namespace gardhost;
    const Target target = Target::hex(unit);
    if (detail::enter("vormGetVPDPort", target)) return detail::failure("vormGetVPDPort", target, 0);
    if (port == nullptr) return detail::failure("vormGetVPDPort", target, EFAULT);
    uint32_t v = 0;
    if (!detail::numberValue(Name().add("vorm/port/").hex(unit).view(), v))
        return detail::failure("vormGetVPDPort", target, ENOENT);
    *port = v;
    return nullptr;
}

uint32_t homGetUnitId(homUnitId base, unsigned int instance) {
    using namespace gardhost;
    // No failure value: a faulted look-up gives an id no unit has.
    if (detail::enter("homGetUnitId", Target::hex(base), detail::args("instance=%u", instance)))
        return 0xFFFFFFFFu;
    return base + instance;
}

int mnfgIsPolicyFlagSet(unsigned int flag, bool& isSet) {
    using namespace gardhost;
    if (detail::enter("mnfgIsPolicyFlagSet", Target::dec(flag))) return 1;
    uint32_t v = 0;  // no value: not set
    detail::numberValue(Name().add("mnfg/flag/").dec(flag).view(), v);
    isSet = v != 0;
    return 0;
}
