// Internals shared by the host platform's sources; not part of its control API.
#ifndef PLATFORM_HOST_DETAIL_H
#define PLATFORM_HOST_DETAIL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ErrlEntry;

namespace gardhost::detail {

// Logs a platform call and tells whether fault injection makes it fail.
// Calls without a failure value pass canFail false: logged, never failed.
bool enter(const char* name, const std::string& target, const std::string& args,
           bool canFail = true);
// The entry a failed call returns: the injected fault (err 0) or a real
// failure with its errno.
ErrlEntry* failure(const std::string& call, const std::string& target, int err);

// Writes `bytes` to `path` atomically: a temporary file in the same
// directory, fsync (when sync is on), rename, fsync of the directory.
// Returns 0 or an errno.
// With `keep` non-null the new file stays open for reading and writing
// and its descriptor is stored there.
int replaceFile(const std::string& path, const uint8_t* data, std::size_t size, int* keep = nullptr);
// Appends one line to a file of the state directory, creating it.
void appendLine(const std::string& name, const std::string& line);
bool syncOn();
// The state directory's path, created and seeded on first use.
std::string stateRoot();
// A named value holding a number of 1, 2 or 4 bytes (host byte order);
// false when it is missing or of another length.
bool numberValue(const std::string& name, uint32_t& value);

std::string hex(uint32_t v);  // "0x1f"
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Text as hex digits and back, so any text fits a whitespace-separated line.
std::string hexText(const std::string& text);
std::string unhexText(const std::string& digits);

}  // namespace gardhost::detail

#endif
