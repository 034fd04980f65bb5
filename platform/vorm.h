// Platform hardware control: gard policies, DMA paths and VPD ports.
#ifndef PLATFORM_VORM_H
#define PLATFORM_VORM_H

#include <cstdint>

class ErrlEntry;

// Sets `*value` to policy `policyId`'s value (0 permits) and `*size` to its width.
ErrlEntry* vormGardGetPolicy(uint32_t policyId, uint32_t* value, uint32_t* size, uint32_t flags);
// Leaves `*functional` false when the unit has no functional DMA path.
ErrlEntry* vormGardCheckFunctionalDmaPath(uint32_t unit, bool* functional);
// Deconfigures a DMA path; `*out` is 0 when the path's units are to be garded.
ErrlEntry* vormGardDeconfigDmaPath(uint32_t path, uint32_t errorType, uint32_t srcNumber,
                                   uint32_t flags, uint32_t* out);
ErrlEntry* vormGetVPDPort(uint32_t unit, uint32_t* port);

#endif
