// Platform registry: configuration values and the paths of persistent files.
#ifndef PLATFORM_UTILREG_H
#define PLATFORM_UTILREG_H

#include <cstddef>

class ErrlEntry;

class UtilReg {
public:
    // Copies the value of `key` into `buffer` and sets `size` to its length.
    // With a null buffer and size 0, only sets `size` to the value's length.
    // Never copies more than the `size` given. A missing key fails.
    static ErrlEntry* read(const char* key, void* buffer, std::size_t& size, bool flag,
                           ErrlEntry* errl);
    // Builds the path of file `name` from the registry values of `roots`.
    // `path` is allocated with malloc: the caller releases it with free.
    static ErrlEntry* path(const char* const* roots, int count, const char* name, char*& path,
                           std::size_t& length);
};

#endif
