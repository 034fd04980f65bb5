// Platform error-log component: entries, their SRCs, commit and persistence.
#ifndef PLATFORM_ERRL_H
#define PLATFORM_ERRL_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

// One SRC of an entry. The library reads its ASCII form and sets its gard bit.
class SrciSrc {
public:
    uint16_t compId = 0;
    uint8_t srciType = 0;
    uint32_t word = 0;
    uint8_t modId = 0;
    uint16_t serviceCodes = 0;
    uint16_t reasonCode = 0;
    uint32_t ud[4] = {0, 0, 0, 0};
    uint8_t epubSubSystem = 0;
    bool gardBit = false;

    // The SRC's text. Unless set with setAsciiString it is made from the
    // fields: 8 upper-case hex digits (srciType, modId, reasonCode), e.g.
    // "D121CA01", padded with spaces to 32 characters.
    const char* getAsciiString();
    void SetGardBit() { gardBit = true; }

    // Host: give the SRC any text (also one shorter than 5 or 32 characters).
    void setAsciiString(const std::string& text);
    bool hasCustomAscii() const { return customAscii_; }

private:
    bool customAscii_ = false;
    std::string ascii_;
};

// Entries are allocated through the component's own operator new. The
// nothrow form gives null when no memory is to be had, for callers that
// must not throw.
class ErrlBase {
public:
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* p);
    static void operator delete(void* p, const std::nothrow_t&) noexcept;
    virtual ~ErrlBase() = default;
};

class ErrlEntry : public ErrlBase {
public:
    ErrlEntry();
    ErrlEntry(const ErrlEntry& other);
    ErrlEntry& operator=(const ErrlEntry&) = delete;
    ErrlEntry(uint16_t compId, uint8_t severity, uint8_t eventType, uint8_t srciType,
              uint32_t word, uint8_t modId, uint16_t serviceCodes, uint16_t reasonCode,
              uint32_t ud1, uint32_t ud2, uint32_t ud3, uint32_t ud4, uint8_t epubSubSystem,
              uint8_t srciTermState);
    ~ErrlEntry() override;

    void addSRC(uint16_t compId, uint8_t srciType, uint32_t word, uint8_t modId,
                uint16_t serviceCodes, uint16_t reasonCode, uint32_t ud1, uint32_t ud2,
                uint32_t ud3, uint32_t ud4, uint8_t epubSubSystem);
    void setRC(uint32_t rc) { rc_ = rc; }
    uint32_t getRC() const { return rc_; }
    // Records the entry in the state directory's commit log.
    void commit(uint16_t compId, uint32_t actions);
    // SRC 0 is the primary SRC; null past the last one.
    SrciSrc* getSRC(unsigned int index);

    // Shrinks the entry until its flattened form fits `size` bytes.
    void prune(std::size_t size);
    // 0 on success; non-zero when the entry does not fit.
    int flatten(void* buffer, std::size_t size) const;
    // 0 on success; non-zero (entry left empty) for bytes that are not a
    // flattened entry. Never reads past `size`.
    int unflatten(const void* buffer, std::size_t size);

    // Host accessors for tests and tools; the library does not call them.
    uint8_t severity() const { return severity_; }
    uint8_t eventType() const { return eventType_; }
    uint8_t srciTermState() const { return termState_; }
    std::size_t srcCount() const { return srcs_.size(); }
    const SrciSrc& src(std::size_t i) const { return srcs_[i]; }
    // Free-form user detail data (grows the flattened size; prune drops it).
    std::vector<uint8_t>& detail() { return detail_; }
    const std::vector<uint8_t>& detail() const { return detail_; }
    // Size of the flattened form.
    std::size_t flatSize() const;

private:
    uint8_t severity_ = 0;
    uint8_t eventType_ = 0;
    uint8_t termState_ = 0;
    uint32_t rc_ = 0;
    std::vector<SrciSrc> srcs_;
    std::vector<uint8_t> detail_;
};

#endif
