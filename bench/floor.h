// The raw floor of an operation: the same data movement done with plain
// POSIX calls, no library and no platform bookkeeping. Its steps are taken
// from the host platform's call log of one run of the operation, so the
// floor reads and writes exactly the bytes the operation did.
#ifndef GARD_BENCH_FLOOR_H
#define GARD_BENCH_FLOOR_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace gardbench {

class Floor {
public:
    // Which platform calls count. GardFiles: the gard file only (open, pread
    // of the same byte count, pwrite or atomic replace, close) and one
    // append for each error log committed. AllValues: also every named value
    // the host platform reads, writes or appends to.
    enum class Scope { GardFiles, AllValues };

    // Runs `op` once with the call log on and records its steps.
    static Floor plan(const std::function<void()>& op, Scope scope);
    // The floor of a durable change: one append of the bytes `op`'s journal
    // record took, and one flush (fdatasync) of them.
    static Floor durable(const std::function<void()>& op);
    // Runs the steps; `sync` turns each write into the durable atomic
    // replace (temporary file, write, fsync, rename, directory fsync) and
    // each error-log append into a durable one (write, fdatasync).
    void run(bool sync) const;
    bool empty() const { return steps_.empty(); }
    std::string describe() const;

private:
    enum class Kind { Open, Read, Write, Close, ReadValue, WriteValue, Append, Record };
    struct Step {
        Kind kind;
        std::string path;
        std::size_t count;  // bytes read, written or appended
        std::size_t size;   // size of the whole file, for the replace; for an append, 1: durable
    };
    std::vector<Step> steps_;
};

// Atomic replace of a whole file, as a careful program would write it.
void replaceWhole(const std::string& path, const void* data, std::size_t size, bool sync);

}  // namespace gardbench

#endif
