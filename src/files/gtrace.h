// The library's trace buffer "gard" and the one macro that writes to it.
#ifndef GARD_FILES_GTRACE_H
#define GARD_FILES_GTRACE_H

#include <cstdint>

#include "platform/trace.h"

// Set up by the library's static initialiser when it is loaded.
extern trace_desc_t g_gardTraceDesc;

namespace gard {
// Message identifier: FNV-1a of the message text, computed at compile time.
constexpr uint32_t traceId(const char* text) {
    uint32_t h = 2166136261u;
    for (; *text; ++text) h = (h ^ static_cast<unsigned char>(*text)) * 16777619u;
    return h;
}
}  // namespace gard

// GARD_TRACE("message", " %x,%x", a, b): the format must match the values.
#define GARD_TRACE(msg, fmt, ...)                                                      \
    trace_ulka_write_all(g_gardTraceDesc, ::gard::traceId(msg), fmt, __LINE__, 0 __VA_OPT__(, ) \
                         __VA_ARGS__)

#endif
