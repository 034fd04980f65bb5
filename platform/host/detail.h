// Internals shared by the host platform's sources; not part of its control API.
#ifndef PLATFORM_HOST_DETAIL_H
#define PLATFORM_HOST_DETAIL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class ErrlEntry;

namespace gardhost::detail {

// What a call works on, as faults and the call log name it: a text (file
// name, registry key, path) or a number shown in hex ("0x200") or decimal.
// Kept raw: it is printed only when a fault or the call log asks for it.
struct Target {
    enum Kind : uint8_t { kNone, kText, kHex, kDec };
    Kind kind = kNone;
    std::string_view text;
    uint32_t number = 0;

    static Target none() { return {}; }
    static Target of(std::string_view t) { return {kText, t, 0}; }
    static Target hex(uint32_t n) { return {kHex, {}, n}; }
    static Target dec(uint32_t n) { return {kDec, {}, n}; }
    std::string str() const;
};

// A call's arguments, kept raw and printed only when calls() is read: a
// literal format whose %d %u %x %X %o (flags and width allowed) take the
// numbers in order and whose %s takes `text`.
struct Args {
    const char* format = "";
    long long v[4] = {0, 0, 0, 0};
    std::string_view text;
    std::string str() const;
};
template <class... T>
Args args(const char* format, T... values) {
    static_assert(sizeof...(T) <= 4, "at most four numbers");
    Args a;
    a.format = format;
    long long* p = a.v;
    ((*p++ = static_cast<long long>(values)), ...);
    return a;
}
template <class... T>
Args argsText(const char* format, std::string_view text, T... values) {
    Args a = args(format, values...);
    a.text = text;
    return a;
}

// Logs a platform call and tells whether fault injection makes it fail.
// Calls without a failure value pass canFail false: logged, never failed.
bool enter(const char* name, const Target& target, const Args& args = {}, bool canFail = true);
// The entry a failed call returns: the injected fault (err 0) or a real
// failure with its errno.
ErrlEntry* failure(const std::string& call, const std::string& target, int err);
ErrlEntry* failure(const char* call, const Target& target, int err);
// The faults file or the environment is to be read again before the next call.
void faultsFileChanged();
void faultsStale();

// A name built on the stack ("sp0/reg/dscv/QelRole", "vpd/0x200/keyword");
// only a long one goes to the heap.
class Name {
public:
    Name& add(std::string_view s);
    Name& hex(uint32_t v);
    Name& dec(uint32_t v);
    std::string_view view() const { return big_.empty() ? std::string_view(small_, len_) : big_; }

private:
    char small_[120];
    std::size_t len_ = 0;
    std::string big_;
};
// The registry name of `key` in the current processor's view.
Name regName(std::string_view key);

// ---- named values, through an in-process cache that follows every
// process's completed writes (the shared change counter)
// Copies up to `capacity` bytes of the value into `buffer` and sets `size`
// to its whole length; false when there is none.
bool readValue(std::string_view name, void* buffer, std::size_t capacity, std::size_t& size);
// Changes whenever a cached value may have changed, in this process or by
// another one: what was derived from values with the same generation still
// holds.
uint64_t valuesGeneration();
// Forgets this process's cached copy of a value: read from its file next.
void dropCached(std::string_view name);
// Moves with every write of the faults file through the platform, by any
// process (on every look when the state directory has no counter). One load.
uint64_t faultsChangeCount();
// A value holding a number of 1, 2 or 4 bytes (host byte order); false
// when it is missing or of another length.
bool numberValue(std::string_view name, uint32_t& value);
// Writes a value as the platform's own calls do: created atomically; with
// sync on replaced atomically, else overwritten in place. 0 or an errno.
int writeValue(std::string_view name, const uint8_t* data, std::size_t size);
// Appends one line to a value of the state directory, creating it.
void appendLine(std::string_view name, std::string_view line);

// Writes `bytes` to `path` atomically: a temporary file in the same
// directory (".<name>.XXXXXX", locked while it is filled so that only those
// of dead writers are swept), fsync (when sync is on), rename, fsync of the
// directory.
// `mode` < 0 keeps the mode of the file replaced (0644 for a new one).
// Returns 0 or an errno. With `keep` non-null the new file stays open for
// reading and writing and its descriptor is stored there.
struct Piece {
    const void* data;
    std::size_t size;  // data null: that many zero bytes
};
int replaceFile(const std::string& path, const Piece* pieces, std::size_t count, int* keep = nullptr,
                int mode = -1);
inline int replaceFile(const std::string& path, const uint8_t* data, std::size_t size,
                       int* keep = nullptr) {
    const Piece one{data, size};
    return replaceFile(path, &one, 1, keep);
}
bool syncOn();
// GARD_HOST_CALLLOG, read at first use and by setStateDir.
bool callLogToFile();
// The state directory's path, created and seeded on first use. Valid until
// the next setStateDir.
const std::string& stateRoot();
// The state directory's path, created but not yet seeded or swept.
std::string chosenDir();
// resolvePath into one block from malloc (null when out of memory).
char* resolveCopy(const char* firmwarePath);

std::string hex(uint32_t v);  // "0x1f"
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Text as hex digits and back, so any text fits a whitespace-separated line.
std::string hexText(std::string_view text);
std::string unhexText(const std::string& digits);

}  // namespace gardhost::detail

#endif
