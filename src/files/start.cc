// Library start-up: the "gard" trace buffer is the only thing set up at load.
#include "files/gtrace.h"

trace_desc_t g_gardTraceDesc = 0;

namespace {
constexpr unsigned kTraceBufferSize = 2048;

struct TraceInit {
    TraceInit() { trace_ulka_init_buffer(&g_gardTraceDesc, "gard", kTraceBufferSize); }
};
const TraceInit g_traceInit;
}  // namespace
