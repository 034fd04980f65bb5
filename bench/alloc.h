// Heap allocations made while a measured call runs: every malloc, calloc,
// realloc and operator new of the process is counted while counting is on,
// and those whose caller lies inside libgard itself are counted apart.
#ifndef GARD_BENCH_ALLOC_H
#define GARD_BENCH_ALLOC_H

#include <cstddef>

namespace gardbench {

struct AllocCount {
    std::size_t calls = 0;    // allocations of any kind
    std::size_t bytes = 0;    // bytes asked for
    std::size_t largest = 0;  // the largest single allocation
    std::size_t library = 0;  // allocations made directly by libgard's code
    std::size_t libraryLargest = 0;
};

// Finds libgard's code range once; call before counting.
void locateLibrary(const void* anyLibraryFunction);
void startCounting();
AllocCount stopCounting();

}  // namespace gardbench

#endif
