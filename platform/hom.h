// Platform hardware object model.
#ifndef PLATFORM_HOM_H
#define PLATFORM_HOM_H

#include <cstdint>

typedef uint32_t homUnitId;

// The unit id of instance `instance` of the unit kind `base`.
uint32_t homGetUnitId(homUnitId base, unsigned int instance);

#endif
