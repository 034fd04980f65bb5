// Registry reads of the service-processor operations, written once: the
// value is preset to the caller's default, the byte count is the value's
// width and the flag is true. A value read by a failed call cannot be
// trusted, so a failure leaves the default in place.
#ifndef GARD_RDND_REGISTRY_H
#define GARD_RDND_REGISTRY_H

#include <cstddef>
#include <type_traits>

#include "files/report.h"
#include "platform/utilreg.h"

namespace gard::reg {

inline constexpr const char* kQelPosition = "dscv/QelPosition";
inline constexpr const char* kQelRole = "dscv/QelRole";
inline constexpr const char* kSiblingState = "dscv/SiblingState";
inline constexpr const char* kSystemType = "hutl/HOMSystemType";
inline constexpr const char* kStateData = "smgr/StateData";

// Reads `key` into `value`; the failure is the caller's to pass on.
template <typename T>
ErrlEntry* read(const char* key, T& value, T preset) {
    static_assert(std::is_trivially_copyable_v<T>);
    value = preset;
    std::size_t count = sizeof value;
    ErrlEntry* errl = UtilReg::read(key, &value, count, true, nullptr);
    if (errl != nullptr) value = preset;
    return errl;
}

// The same for reads whose failure is committed and deleted on the spot.
// True when the value was read.
template <typename T>
bool readOr(const char* key, T& value, T preset) {
    ErrlEntry* errl = read(key, value, preset);
    if (errl == nullptr) return true;
    dispose(errl);
    return false;
}

}  // namespace gard::reg

#endif
