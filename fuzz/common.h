// What the fuzzers share: a state directory of their own (in memory where
// the machine has one), a reader of the input bytes, gard file contents
// made from the input, and the checks every run must pass.
#ifndef GARD_FUZZ_COMMON_H
#define GARD_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gardfuzz {

using Bytes = std::vector<uint8_t>;

// Reads the input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
    uint32_t u32() { return uint32_t{u16()} << 16 | u16(); }
    Bytes take(std::size_t n);
    Bytes rest() { return take(size_ - at_); }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Once per process: a fresh, seeded state directory, file writes not synced.
void setUp();
// Before every run: no faults, an empty call and commit log.
void reset();

// Gard file contents from the input. Mode 0: the bytes as they are (any
// length, so short and empty files too); 1: a zero file of `size` bytes
// with them at the start; 2: the same with them at an offset the input gives.
Bytes gardContents(Input& in, std::size_t size);
// Puts a gard file ("gardRask") in place with plain POSIX calls, or removes it.
void putGardFile(const std::string& name, const Bytes& bytes);
Bytes gardFile(const std::string& name);

// Stops the run (a crash libFuzzer keeps) when `ok` is false.
void require(bool ok, const char* what);
// Error-log entries alive now; a run must leave as many as it found.
long live();

}  // namespace gardfuzz

#endif
