// Platform trace component: named ring buffers of trace entries.
#ifndef PLATFORM_TRACE_H
#define PLATFORM_TRACE_H

#include <cstddef>
#include <cstdint>

typedef uint32_t trace_desc_t;  // 0 = no buffer

// Sets up (or finds) the buffer `name` of `size` bytes and fills in `td`.
int trace_ulka_init_buffer(trace_desc_t* td, const char* name, std::size_t size);
// One entry: message id, parameter format (" ", " %x", " %d", " %x,%x",
// " %d,%d", " %x,%x,%x"), source line, 0, then one 32-bit value per
// conversion in the format.
int trace_ulka_write_all(trace_desc_t td, uint32_t hash, const char* fmt, uint32_t line,
                         int type, ...);

#endif
