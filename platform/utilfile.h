// Platform file class. A failed call leaves its error log pending in the
// object; the caller takes it out after every call.
#ifndef PLATFORM_UTILFILE_H
#define PLATFORM_UTILFILE_H

#include <cstddef>
#include <cstdint>
#include <vector>

class ErrlEntry;

class UtilFile {
public:
    // Seek origins.
    enum { SEEK_FROM_START = 1, SEEK_FROM_CURRENT = 2, SEEK_FROM_END = 3 };

    // Copies `path`; the object does not depend on the string afterwards.
    explicit UtilFile(const char* path);
    UtilFile(const UtilFile&) = delete;
    UtilFile& operator=(const UtilFile&) = delete;

    // Virtual slots, in this order: destructor, Read, Write, Seek.
    virtual ~UtilFile();
    // Fails (pending error) unless every byte asked for is delivered.
    virtual std::size_t Read(void* buffer, std::size_t count);
    // A completed Write replaces the file's content atomically.
    virtual std::size_t Write(const void* buffer, std::size_t count);
    virtual int Seek(long offset, int origin);

    // "r+": existing file; "w+": created or truncated, appearing at its path
    // only with its first Write.
    void Open(const char* mode);
    void Close();
    bool exists() const;

    // The first data members: the error flag, then the pending error log
    // (owned by the object until taken).
    uint8_t iv_errorFlag;
    ErrlEntry* iv_errl;

private:
    char* path_;       // owned: the name inside the state directory
    int fd_ = -1;
    bool pendingCreate_ = false;  // opened "w+": nothing on disk until the first Write
    bool open_ = false;           // opened, or written: reads go to what the call staged, or the file
    std::size_t pos_ = 0;
    void fail(const char* call, int err);
    int content(std::vector<unsigned char>& out, bool* fromFile = nullptr);
    int descriptor();
};

#endif
