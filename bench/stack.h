// Peak stack use of a call: it runs on a thread whose stack is painted with
// a pattern first; the deepest byte no longer holding the pattern marks the
// peak. The thread's own start-up use is measured the same way and taken off.
#ifndef GARD_BENCH_STACK_H
#define GARD_BENCH_STACK_H

#include <cstddef>
#include <functional>

namespace gardbench {

std::size_t peakStack(const std::function<void()>& call);

}  // namespace gardbench

#endif
