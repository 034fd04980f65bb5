// libgard: gard records of a service processor's firmware.
//
// Every operation is a plain synchronous call. Failures come back as an
// owned ErrlEntry* (null = success); the caller commits or deletes it. This
// header only declares ErrlEntry: include <gard/platform/errl.h> to use or
// delete one.
// Record images live in fixed-size gard files under "/opt/p3/gard" and in
// the VPD gard keyword of each service processor.
#ifndef GARD_GARD_H
#define GARD_GARD_H

#include <cstdint>

#define GARD_EXPORT __attribute__((visibility("default")))

class ErrlEntry;  // platform error-log entry
class UtilFile;   // platform file class

// ---------------------------------------------------------------- shared types

typedef uint8_t gardModId;   // module id naming the operation behind an error log
typedef uint32_t homUnitId;  // hardware unit id (service processors 0x200, 0x201)

// Serial number of a redundant VPD unit: 12 bytes, compared byte for byte.
struct svpd_SerialNum {
    unsigned char bytes[12];
};

typedef uint32_t gardRdndVpdGroupId;
typedef uint32_t GARD_ErrorType;

// Gard state of a unit-table entry. Any 32-bit value may be stored; only
// these have a meaning, and only GARD_GARDED and GARD_GARDED_2 count as garded.
enum GARD_State : uint32_t {
    GARD_STATE_NONE = 0x00,
    GARD_STATE_NEW = 0x5C,
    GARD_GARDED = 0x5D,
    GARD_CLEARED = 0xCC,
    GARD_NOT_GARDED_2 = 0xEC,
    GARD_GARDED_2 = 0xED,
};

// Out-value of gardAcc::GardUpdateVpdUnit.
enum gardFruState : uint32_t {
    GARD_FRU_SET_UP = 1,    // entry added, or set up again for a new serial number
    GARD_FRU_UNCHANGED = 2, // same serial number, nothing changed
};

enum { GARD_MAX_VPD_UNITS = 250 };

// The unit table as gardAcc::GardGetVpdConfigData hands it out: four
// column arrays, position k of each describing the same entry.
struct vpdRecordMenu {
    gardRdndVpdGroupId groupId[GARD_MAX_VPD_UNITS];
    uint16_t unitId[GARD_MAX_VPD_UNITS];
    GARD_State state[GARD_MAX_VPD_UNITS];
    GARD_ErrorType errorType[GARD_MAX_VPD_UNITS];
};

// Gard state byte of a service-processor record.
enum gardQelState : uint32_t {
    GARD_QEL_NEW = 0x5C,        // not garded; new or repaired record
    GARD_QEL_GARDED = 0x5D,     // garded (mailbox failure, unreadable record)
    GARD_QEL_NOT_GARDED = 0xEC, // not garded, second kind
    GARD_QEL_GARDED_2 = 0xED,   // garded, second kind
    GARD_QEL_CLEARED = 0xCC,    // cleared with the system resources
    GARD_QEL_DMA_MARK = 0x5A,   // only in GardGetQelDmaConfig's copy
    GARD_QEL_ERASED = 0xFF,     // erased keyword
};

enum { GARD_QEL_SP0 = 0x200, GARD_QEL_SP1 = 0x201 };
enum { GARD_QEL_RECORD_SIZE = 32, GARD_QEL_BUFFER_SIZE = 64 };

// The gard records of 0x200 (bytes 0-31) and 0x201 (bytes 32-63).
struct qelDataBuffer {
    unsigned char bytes[GARD_QEL_BUFFER_SIZE];
};

// Result of GardRdndQel::GardReadVPD.
enum gardVpdReturn : uint32_t {
    GARD_VPD_OK = 0,
    GARD_VPD_UNREADABLE = 1,   // keyword unreadable, or length 0 or over 32
    GARD_VPD_REPAIR_FAILED = 15,
    GARD_VPD_BUFFER_SMALL = 31,
};

// Result word of GardRdndQel::GardSetQelState.
enum gardSetStateReturn : uint32_t {
    GARD_SET_DONE = 0,
    GARD_SET_NOT_DONE = 1,  // not this processor, not role 1, policy, refused
    GARD_SET_FAILED = 2,
};

enum GardFoStatus : uint32_t {
    GARD_FO_NOT_USABLE = 0,     // this processor is not usable
    GARD_FO_SIBLING_DOWN = 1,   // this one usable, the sibling not
    GARD_FO_CAPABLE = 2,        // both usable, or not to be judged
};

// Usability code of gardIsQelUsable.
enum { GARD_QEL_USABLE = 0, GARD_QEL_NO_DMA_PATH = 1, GARD_QEL_IS_GARDED = 2 };

// Mailbox failure type; 1 and 6 gard the processor.
typedef uint32_t gardQelIOFailureType;

// A DMA path as the hardware object model describes it. Words 3, 4 and 5
// are read: second unit's instance, first unit's instance, path word.
struct homDMAPath {
    uint32_t word[6];
};

enum GARD_Domain : uint32_t {
    GARD_DOMAIN_UNITS = 171,    // the unit gard table
    GARD_DOMAIN_OWN_QEL = 167,  // this service processor's own record
    GARD_DOMAIN_ALL = 175,      // both, the table first
};

enum GARD_RC : uint32_t { GARD_RC_OK = 0, GARD_RC_FAILED = 4 };

// ---------------------------------------------------------------- gard system files
// File ids: 0 "gardArea", 1 "memGard", 3 unit gard table, 4 stored error
// logs, 5 "DimmJedecData". Each file is created zero-filled on first use.

GARD_EXPORT ErrlEntry* GardSysFileOpen(UtilFile*& file, gardModId modId, unsigned int progress,
                                       int fileId);
GARD_EXPORT ErrlEntry* GardSysFileRead(UtilFile* file, unsigned int offset, void* buffer,
                                       unsigned int count, gardModId modId, unsigned int ud1,
                                       unsigned int ud2, unsigned int ud3, unsigned int ud4);
GARD_EXPORT ErrlEntry* GardSysFileWrite(UtilFile* file, unsigned int offset, void* buffer,
                                        unsigned int count, gardModId modId, unsigned int ud1,
                                        unsigned int ud2, unsigned int ud3, unsigned int ud4);
GARD_EXPORT ErrlEntry* GardSysFileSeek(UtilFile* file, unsigned int offset, gardModId modId,
                                       unsigned int ud1, unsigned int ud2, unsigned int ud3,
                                       unsigned int ud4);
// Closes and destroys the object on every path; a null variable is a no-op.
GARD_EXPORT ErrlEntry* GardSysFileClose(UtilFile*& file, gardModId modId, unsigned int progress);

// ---------------------------------------------------------------- unit gard table

class GARD_EXPORT gardAcc {
public:
    gardAcc() = delete;

    static ErrlEntry* GardGetVpdUnitState(unsigned short unitId, gardRdndVpdGroupId groupId,
                                          bool* garded);
    static ErrlEntry* GardGetVpdConfigData(unsigned int unused, vpdRecordMenu* menu);
    static ErrlEntry* GardUpdateVpdUnit(unsigned short unitId, svpd_SerialNum serial,
                                        gardRdndVpdGroupId groupId, gardFruState* fruState);
    // errl may be null; it stays the caller's and is only read.
    static ErrlEntry* GardSetVpdUnitState(unsigned short unitId, gardRdndVpdGroupId groupId,
                                          GARD_State state, GARD_ErrorType errorType,
                                          ErrlEntry* errl);
    static ErrlEntry* GardClearVpdData();
    static ErrlEntry* GardResetVpdData();
};

// ---------------------------------------------------------------- stored error logs

// Reads back the error log stored for a unit. Whatever `errl` holds on entry
// is deleted; on return it holds a new entry the caller owns, or null.
GARD_EXPORT ErrlEntry* GardGetStoredErrl(homUnitId unitId, ErrlEntry*& errl);

// ---------------------------------------------------------------- service processors

GARD_EXPORT bool isQelPresent(unsigned int unit);

class GARD_EXPORT GardRdndQel {
public:
    GardRdndQel() = delete;

    // Reads both records into `buffer` (at least 64 bytes), repairing blank or
    // damaged ones. Always returns null; problems are in `result`.
    static ErrlEntry* GardReadVPD(unsigned int* ids, qelDataBuffer* buffer, unsigned int size,
                                  gardVpdReturn* result);
    // Writes the keyword, only on a processor whose role is 1.
    static ErrlEntry* GardWriteVPD(unsigned int unit, unsigned int size, unsigned char* data);
    // Changes this processor's own record (position and role 1 checked). The
    // record keeps the low byte of `state`; every decision uses the value given.
    static ErrlEntry* GardSetQelState(unsigned int unit, gardQelState state,
                                      unsigned int failureWord, gardSetStateReturn& result,
                                      bool notify, unsigned int extraWord);
    static ErrlEntry* GardGetQelState(unsigned int unit, bool& garded, bool assertSiblingPor,
                                      bool vpdFlag);
    static int GardQelDoGard(unsigned int unit);
    static ErrlEntry* GardGetQelDmaConfig(unsigned int* ids, qelDataBuffer* buffer,
                                          unsigned int size, gardVpdReturn* result);
    static ErrlEntry* GardMailboxSetState(unsigned int unit, gardQelIOFailureType type);
    static ErrlEntry* GardSetDmaPathState(homUnitId unit, unsigned char port, gardQelState state,
                                          unsigned int word, gardSetStateReturn& result);
};

GARD_EXPORT int gardIsQelUsable(unsigned int unit);
GARD_EXPORT ErrlEntry* gardCheckFailoverCapable(GardFoStatus& status);

// ---------------------------------------------------------------- system resources

// `errl` must not be null; it stays the caller's (gard bit set, copies stored).
GARD_EXPORT ErrlEntry* GardDeconfigDmaPath(homDMAPath path, GARD_ErrorType errorType,
                                           unsigned short unused, GARD_RC& rc, ErrlEntry* errl);
GARD_EXPORT ErrlEntry* GardClearSystemResources(GARD_RC& rc, GARD_Domain domain);

#endif
