// Per-call time of every exported operation on a warm state directory. Each
// iteration runs the operation and its raw POSIX floor (the same bytes
// moved with plain calls; for a durable change, one append of its journal
// record's bytes and one fdatasync), each going first in every other
// iteration, then, for reads and updates, SQLite doing the matching job:
// with its database opened per call as the library opens its file per
// call, and for durable updates also in WAL mode, synchronous FULL, its
// connection kept open, and one bare flush (a block overwritten and
// fdatasync'd, the least any durable commit costs). Interleaving keeps
// the ratios fair on a loaded machine. A durable update runs as one call
// (a StateLock hold), as a program beside others makes it: its changes and
// logs, one flush.
// Reads run twice: on values cached since the last change, and right after
// a change by another process, when each value comes from its file again.
//
// Usage: gard-bench [--summary=FILE] [--no-sqlite] [--call-by-call] [google benchmark flags]
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "alloc.h"
#include "floor.h"
#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/host/detail.h"
#include "platform/host/host.h"
#include "platform/utilfile.h"
#include "platform/utilreg.h"
#include "stack.h"

namespace {

using gardbench::Floor;
using Clock = std::chrono::steady_clock;

enum class Kind { Read, Update, Other };

struct Op {
    std::string name;
    Kind kind;
    Floor::Scope scope;
    std::function<void()> call;
    std::function<void()> before;  // untimed, before every call
};

// ---------------------------------------------------------------- state

constexpr unsigned kUnits = 250;
constexpr uint32_t kGroup = 7;
constexpr uint16_t kFirstUnit = 0x100;
const char* const kGardFiles[] = {"gardRask", "gardErrl"};
const char* const kKeywords[] = {"vpd/0x200/keyword", "vpd/0x201/keyword"};

std::map<std::string, std::vector<uint8_t>> g_baseline;  // file path -> bytes

std::string gardPath(const std::string& name) {
    return gardhost::resolvePath("/opt/p3/gard/" + name);
}

std::vector<uint8_t> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void check(ErrlEntry* errl, const char* what) {
    if (errl == nullptr) return;
    std::fprintf(stderr, "gard-bench: %s failed (reason %04X)\n", what,
                 errl->src(errl->srcCount() - 1).reasonCode);
    delete errl;
    std::exit(1);
}

ErrlEntry* storedLog() {
    auto* e = new ErrlEntry(0xAB00, 0, 0, 0xD1, 0, 0x10, 0x4399, 0xAB01, 1, 2, 3, 4, 0x75, 0);
    e->getSRC(0)->setAsciiString("B1AB0001 stored by the benchmark");
    e->addSRC(0xAB00, 0xB1, 0, 0x10, 0x4399, 0xAB02, 5, 6, 7, 8, 0x75);
    e->detail().assign(600, 0x5A);
    return e;
}

homDMAPath dmaPath(uint32_t instance) {
    homDMAPath p{};
    p.word[3] = instance;
    p.word[4] = instance;
    p.word[5] = 0x9000 + instance;
    return p;
}

// A full unit table (unit 0x100 + i in entry i, the last one garded), 18 of
// 20 stored error-log slots used (slots 0 and 1 free for the deconfiguration
// benchmark), both service-processor records valid.
void buildBaseline() {
    gardhost::setPosition(0);
    gardhost::setSync(false);
    gardhost::seedDefaults();
    check(gardAcc::GardResetVpdData(), "reset");
    for (unsigned i = 0; i < kUnits; ++i) {
        svpd_SerialNum sn{};
        std::snprintf(reinterpret_cast<char*>(sn.bytes), sizeof sn.bytes, "SN%08u", i);
        gardFruState fru{};
        check(gardAcc::GardUpdateVpdUnit(static_cast<uint16_t>(kFirstUnit + i), sn, kGroup, &fru),
              "update");
    }
    check(gardAcc::GardSetVpdUnitState(kFirstUnit + kUnits - 1, kGroup, GARD_GARDED_2, 3, nullptr),
          "set");
    for (uint32_t i = 0; i < 10; ++i) {
        gardhost::setU32("vorm/port/" + gardhost::unitName(0x2E70 + i), 0x40 + i);
        gardhost::setU32("vorm/port/" + gardhost::unitName(0x2E90 + i), 0x60 + i);
    }
    ErrlEntry* log = storedLog();
    GARD_RC rc = GARD_RC_OK;
    for (uint32_t i = 0; i < 10; ++i)
        check(GardDeconfigDmaPath(dmaPath(i), 3, 0, rc, log), "deconfig");
    delete log;
    unsigned ids[2];
    qelDataBuffer buffer;
    gardVpdReturn vpd{};
    check(GardRdndQel::GardReadVPD(ids, &buffer, sizeof buffer, &vpd), "read records");

    for (const char* f : kGardFiles) g_baseline[gardPath(f)] = slurp(gardPath(f));
    // Slots 0 and 1 hold path 0's units: free them in the baseline.
    auto& errl = g_baseline[gardPath("gardErrl")];
    std::fill(errl.begin(), errl.begin() + 2 * 2056, 0);
    for (const char* k : kKeywords) {
        std::string path = gardhost::stateDir() + "/" + k;
        g_baseline[path] = slurp(path);
    }
}

void restoreBaseline() {
    for (auto& [path, bytes] : g_baseline)
        gardbench::replaceWhole(path, bytes.data(), bytes.size(), false);
    // Put back behind the platform's back: told, as another writer's change.
    for (const char* k : kKeywords) gardhost::reloadValue(k);
    gardhost::clearCommitted();
    gardhost::eraseValue("rmgr/log");
    gardhost::eraseValue("vorm/log");
    gardhost::clearTrace("gard");
}

// The unit table as the baseline has it, put back outside the platform:
// what a clear or a reset then changes.
void restoreTable() {
    const auto& b = g_baseline[gardPath("gardRask")];
    gardbench::replaceWhole(gardPath("gardRask"), b.data(), b.size(), false);
}

// ---------------------------------------------------------------- SQLite

// The syncs SQLite asks of the file system, counted while it runs: an
// update that writes a row's own bytes back changes nothing and syncs
// nothing, and a comparison with such updates would compare with no-ops.
bool g_inSql = false;
long g_sqlSyncs = 0;

// The C library's call of that name (each its own: one shared look-up
// would make every fsync an fdatasync, or the other way round).
int counted(int (*&real)(int), const char* name, int fd) {
    if (real == nullptr) real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, name));
    if (g_inSql) ++g_sqlSyncs;
    return real(fd);
}
int (*g_fsync)(int) = nullptr;
int (*g_fdatasync)(int) = nullptr;

}  // namespace

// Seen by the SQLite library in place of the C library's.
extern "C" __attribute__((visibility("default"))) int fsync(int fd) { return counted(g_fsync, "fsync", fd); }
extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
    return counted(g_fdatasync, "fdatasync", fd);
}

namespace {

// Unit i's state in the table the SQLite rows change, as the library's update changes its entry.
constexpr const char* kUpdate = "UPDATE units SET state = ?1, etype = 3 WHERE unit = ?2 AND grp = ?3";
bool updated(sqlite3* db, sqlite3_stmt* st, int state, unsigned i) {
    sqlite3_bind_int(st, 1, state);
    sqlite3_bind_int(st, 2, static_cast<int>(kFirstUnit + i));
    sqlite3_bind_int(st, 3, kGroup);
    return sqlite3_step(st) == SQLITE_DONE && sqlite3_changes(db) == 1;
}

// The unit table as a SQLite user would keep it: one row per unit.
class SqlTable {
public:
    void create(const std::string& path) {
        path_ = path;
        std::filesystem::remove(path);
        sqlite3* db = open();
        exec(db,
             "CREATE TABLE units(unit INTEGER, grp INTEGER, serial BLOB, state INTEGER, "
             "etype INTEGER, src TEXT, PRIMARY KEY(unit, grp))");
        exec(db, "BEGIN");
        for (unsigned i = 0; i < kUnits; ++i) {
            char sql[200];
            std::snprintf(sql, sizeof sql, "INSERT INTO units VALUES(%u, %u, 'SN%08u', %u, 0, '')",
                          kFirstUnit + i, kGroup, i, 0x5Cu);
            exec(db, sql);
        }
        exec(db, "COMMIT");
        sqlite3_close(db);
    }
    // Looks up the state of unit i, opening and closing the database.
    int lookup(unsigned i) {
        sqlite3* db = open();
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT state FROM units WHERE unit = ?1 AND grp = ?2", -1, &st,
                           nullptr);
        sqlite3_bind_int(st, 1, static_cast<int>(kFirstUnit + i));
        sqlite3_bind_int(st, 2, kGroup);
        int state = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
        sqlite3_finalize(st);
        sqlite3_close(db);
        return state;
    }
    // Gives unit i the other state than the one it holds, so that every
    // update changes its row: synchronous FULL when `sync`, else OFF.
    void flip(unsigned i, bool sync) {
        const int state = (flips_[i]++ & 1) != 0 ? 0xED : 0xEC;
        g_inSql = true;
        sqlite3* db = open();
        if (!sync) exec(db, "PRAGMA synchronous = OFF");
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, kUpdate, -1, &st, nullptr);
        if (!updated(db, st, state, i)) std::fprintf(stderr, "sqlite update failed\n");
        sqlite3_finalize(st);
        sqlite3_close(db);
        g_inSql = false;
    }

private:
    sqlite3* open() {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "sqlite open failed\n");
            std::exit(1);
        }
        return db;
    }
    static void exec(sqlite3* db, const char* sql) {
        char* err = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
            std::fprintf(stderr, "sqlite: %s\n", err != nullptr ? err : "?");
            std::exit(1);
        }
    }
    std::string path_;
    unsigned flips_[kUnits] = {};  // rows start in state 0x5C
};

SqlTable g_sql;
bool g_withSql = true;  // --no-sqlite leaves SQLite out of the loop
bool g_callByCall = false;  // --call-by-call: durable updates interleaved call by call too

// The unit table as a SQLite user who wants durable updates fast keeps it:
// WAL mode, synchronous FULL (one flush a commit), the connection and the
// statement kept open.
class SqlWal {
public:
    void create(const std::string& path) {
        SqlTable rows;
        rows.create(path);
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) std::exit(1);
        sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db_, kUpdate, -1, &update_, nullptr);
    }
    void flip(unsigned i) {
        const int state = (flips_[i]++ & 1) != 0 ? 0xED : 0xEC;
        g_inSql = true;
        if (!updated(db_, update_, state, i)) std::fprintf(stderr, "sqlite WAL update failed\n");
        sqlite3_reset(update_);
        g_inSql = false;
    }
    ~SqlWal() {
        sqlite3_finalize(update_);
        sqlite3_close(db_);
    }

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* update_ = nullptr;
    unsigned flips_[kUnits] = {};
};

SqlWal g_wal;

// The least any durable commit costs on this machine: one block overwritten
// in a file whose blocks are already written, and its fdatasync, the file
// kept open. SQLite WAL's commit is this (its log file is reused from the
// start after a checkpoint); every durable update pays at least it.
class OneFlush {
public:
    void create(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        static const char zeros[kBlocks * 4096] = {};
        if (fd_ < 0 || ::pwrite(fd_, zeros, sizeof zeros, 0) != static_cast<ssize_t>(sizeof zeros) || ::fsync(fd_) != 0)
            std::exit(1);
    }
    void run() {
        char block[4096];
        std::memset(block, static_cast<int>('a' + next_ % 26), sizeof block);
        if (::pwrite(fd_, block, sizeof block, static_cast<off_t>(next_++ % kBlocks) * 4096) != 4096 ||
            ::fdatasync(fd_) != 0)
            std::fprintf(stderr, "one flush failed\n");
    }
    ~OneFlush() {
        if (fd_ >= 0) ::close(fd_);
    }

private:
    static constexpr std::size_t kBlocks = 16;
    int fd_ = -1;
    std::size_t next_ = 0;
};

OneFlush g_oneFlush;

// ---------------------------------------------------------------- operations

// Objects some operations keep between calls.
UtilFile* g_openFile = nullptr;   // for the single file steps
ErrlEntry* g_readBack = nullptr;  // GardGetStoredErrl's out-value
unsigned char g_image[14504];
unsigned g_flip = 0;

// GardReadVPD and GardGetQelDmaConfig share their shape.
using RecordRead = ErrlEntry* (*)(unsigned*, qelDataBuffer*, unsigned, gardVpdReturn*);
void readRecords(RecordRead op, const char* what) {
    unsigned ids[2];
    qelDataBuffer b;
    gardVpdReturn r{};
    check(op(ids, &b, sizeof b, &r), what);
}

void openGardFile() {
    if (g_openFile == nullptr) check(GardSysFileOpen(g_openFile, 0x6A, 1, 3), "open");
}

std::vector<Op> operations() {
    using S = Floor::Scope;
    const uint16_t lastUnit = kFirstUnit + kUnits - 1;
    const uint16_t midUnit = kFirstUnit + 200;
    std::vector<Op> ops = {
        {"gardAcc::GardGetVpdUnitState", Kind::Read, S::GardFiles,
         [=] {
             bool g = false;
             check(gardAcc::GardGetVpdUnitState(lastUnit, kGroup, &g), "get state");
         },
         nullptr},
        {"gardAcc::GardGetVpdConfigData", Kind::Read, S::GardFiles,
         [] {
             static vpdRecordMenu menu;
             check(gardAcc::GardGetVpdConfigData(0, &menu), "config");
         },
         nullptr},
        {"GardGetStoredErrl", Kind::Read, S::GardFiles,
         [] { check(GardGetStoredErrl(0x2E90 + 9, g_readBack), "stored errl"); }, nullptr},
        // Every update changes what it names: one that writes the bytes
        // already there changes nothing, and is journaled as nothing.
        {"gardAcc::GardUpdateVpdUnit", Kind::Update, S::GardFiles,
         [=] {
             svpd_SerialNum sn{};
             std::snprintf(reinterpret_cast<char*>(sn.bytes), sizeof sn.bytes, "SN%08u", 200u + (++g_flip & 1));
             gardFruState fru{};
             check(gardAcc::GardUpdateVpdUnit(midUnit, sn, kGroup, &fru), "update unit");
         },
         nullptr},
        {"gardAcc::GardSetVpdUnitState", Kind::Update, S::GardFiles,
         [=] {
             auto state = (++g_flip & 1) != 0 ? GARD_GARDED_2 : GARD_NOT_GARDED_2;
             check(gardAcc::GardSetVpdUnitState(midUnit, kGroup, state, 3, nullptr), "set state");
         },
         nullptr},
        {"gardAcc::GardClearVpdData", Kind::Update, S::GardFiles,
         [] { check(gardAcc::GardClearVpdData(), "clear"); }, restoreTable},
        {"gardAcc::GardResetVpdData", Kind::Update, S::GardFiles,
         [] { check(gardAcc::GardResetVpdData(), "reset"); }, restoreTable},
        {"GardSysFileOpen+GardSysFileClose", Kind::Other, S::GardFiles,
         [] {
             UtilFile* f = nullptr;
             check(GardSysFileOpen(f, 0x6A, 1, 3), "open");
             check(GardSysFileClose(f, 0x6A, 23), "close");
         },
         nullptr},
        {"GardSysFileRead", Kind::Other, S::GardFiles,
         [] {
             check(GardSysFileRead(g_openFile, 0, g_image, sizeof g_image, 0x6A, 6, 0, 0, 0),
                   "read");
         },
         openGardFile},
        {"GardSysFileWrite", Kind::Update, S::GardFiles,
         [] {
             g_image[sizeof g_image - 1] ^= 1;
             check(GardSysFileWrite(g_openFile, 0, g_image, sizeof g_image, 0x66, 9, 0, 0, 0),
                   "write");
         },
         openGardFile},
        {"GardSysFileSeek", Kind::Other, S::GardFiles,
         [] { check(GardSysFileSeek(g_openFile, 0, 0x6A, 0, 0, 0, 0), "seek"); }, openGardFile},
        {"isQelPresent", Kind::Read, S::AllValues,
         [] { benchmark::DoNotOptimize(isQelPresent(0x200)); }, nullptr},
        {"GardRdndQel::GardReadVPD", Kind::Read, S::AllValues,
         [] { readRecords(GardRdndQel::GardReadVPD, "read vpd"); }, nullptr},
        {"GardRdndQel::GardWriteVPD", Kind::Update, S::AllValues,
         [] {
             unsigned char rec[32];
             std::memset(rec, 0xFF, sizeof rec);
             rec[0] = 0x0C, rec[1] = 0x05, rec[2] = 0x5C;
             rec[31] = static_cast<unsigned char>(++g_flip & 1);
             check(GardRdndQel::GardWriteVPD(0x201, 32, rec), "write vpd");
         },
         nullptr},
        {"GardRdndQel::GardSetQelState", Kind::Update, S::AllValues,
         [] {
             gardSetStateReturn r{};
             auto state = (++g_flip & 1) != 0 ? GARD_QEL_GARDED : GARD_QEL_NEW;
             check(GardRdndQel::GardSetQelState(0x200, state, 0x010000B7, r, true, 0),
                   "set qel state");
         },
         nullptr},
        {"GardRdndQel::GardGetQelState", Kind::Read, S::AllValues,
         [] {
             bool g = false;
             check(GardRdndQel::GardGetQelState(0x200, g, false, false), "get qel state");
         },
         nullptr},
        {"GardRdndQel::GardQelDoGard", Kind::Read, S::AllValues,
         [] { benchmark::DoNotOptimize(GardRdndQel::GardQelDoGard(0x201)); }, nullptr},
        {"gardIsQelUsable", Kind::Read, S::AllValues,
         [] { benchmark::DoNotOptimize(gardIsQelUsable(0x201)); }, nullptr},
        {"gardCheckFailoverCapable", Kind::Read, S::AllValues,
         [] {
             GardFoStatus s{};
             check(gardCheckFailoverCapable(s), "failover");
         },
         nullptr},
        {"GardRdndQel::GardGetQelDmaConfig", Kind::Read, S::AllValues,
         [] { readRecords(GardRdndQel::GardGetQelDmaConfig, "dma config"); }, nullptr},
        {"GardRdndQel::GardMailboxSetState(type 3)", Kind::Read, S::AllValues,
         [] { check(GardRdndQel::GardMailboxSetState(0x200, 3), "mailbox 3"); }, nullptr},
        {"GardRdndQel::GardMailboxSetState(type 1)", Kind::Update, S::AllValues,
         [] { check(GardRdndQel::GardMailboxSetState(0x200, 1), "mailbox 1"); }, nullptr},
        {"GardDeconfigDmaPath", Kind::Update, S::AllValues,
         [] {
             static ErrlEntry* log = storedLog();
             GARD_RC rc = GARD_RC_OK;
             check(GardDeconfigDmaPath(dmaPath(0), 3, 0, rc, log), "deconfig");
         },
         // Both of the path's units get a slot each time: free them again.
         [] {
             const auto& b = g_baseline[gardPath("gardErrl")];
             gardbench::replaceWhole(gardPath("gardErrl"), b.data(), b.size(), false);
         }},
        {"GardClearSystemResources(175)", Kind::Update, S::AllValues,
         [] {
             GARD_RC rc{};
             check(GardClearSystemResources(rc, GARD_DOMAIN_ALL), "clear system");
         },
         restoreBaseline},
        {"GardRdndQel::GardSetDmaPathState", Kind::Other, S::AllValues,
         [] {
             gardSetStateReturn r{};
             check(GardRdndQel::GardSetDmaPathState(0x200, 0, GARD_QEL_GARDED, 0, r),
                   "dma path state");
         },
         nullptr},
        // What a read pays to know its cached values still hold: two loads
        // of the counter file every process maps.
        {"value cache check", Kind::Other, S::AllValues,
         [] {
             static const uint64_t seen = gardhost::detail::trustedCount();
             benchmark::DoNotOptimize(gardhost::detail::stillHolds(seen));
         },
         nullptr},
        // One platform value read, served from the cache when no process
        // wrote since: what following other processes' writes costs a read.
        {"UtilReg::read (cached value)", Kind::Other, S::AllValues,
         [] {
             unsigned char role = 0;
             std::size_t size = 1;
             check(UtilReg::read("dscv/QelRole", &role, size, true, nullptr), "registry read");
         },
         nullptr},
    };
    return ops;
}

// ---------------------------------------------------------------- measuring

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <typename F>
Clock::duration timed(F&& f) {
    const auto t0 = Clock::now();
    f();
    return Clock::now() - t0;
}

// What `before` put back outside the platform, made durable untimed: a
// writer through the platform flushes its own change, and left unflushed
// these writes went out with the call's flush, which then paid for them.
void settle() {
    const int fd = ::open(gardhost::stateDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

// `changed`: before each call, untimed, the platform's cached values are
// dropped, as when another process has just written one.
void measure(benchmark::State& st, const Op& op, bool sync, bool changed = false) {
    restoreBaseline();
    gardhost::setSync(sync);
    // A durable update is one call: its changes and logs, one record, one flush.
    const bool durable = sync && op.kind == Kind::Update;
    const std::function<void()> call = durable ? std::function<void()>([&op] {
        gardhost::StateLock lock(gardhost::StateLock::kExclusive);
        op.call();
    })
                                               : op.call;
    if (op.before) op.before();
    call();  // warm the caches and the directory entries
    if (op.before) op.before();
    // Right after a change every value the operation reads is a file read,
    // so its floor counts them all.
    if (changed) gardhost::reloadValues();
    const Floor floor = durable ? Floor::durable(call)
                                : Floor::plan(op.call, changed ? Floor::Scope::AllValues : op.scope);
    if (op.before) op.before();
    call();

    double lib = 0, raw = 0, sql = 0, wal = 0, one = 0;
    // The flushes the operation made, counted around its calls alone: the
    // `before` of an update (putting the baseline back) flushes too.
    uint64_t flushes = 0;
    g_sqlSyncs = 0;
    gardbench::AllocCount allocs;
    std::size_t n = 0;
    // Durable updates run in rounds: a run of kRun calls of each contender
    // in turn (the operation, its floor, SQLite, SQLite WAL, one bare
    // flush), the order turning each round. A flush's cost depends on what
    // the device and the file system did just before; one contender's
    // flushes interleaved call by call with another's made each pay for the
    // other's writes, the one with the most work per call the most (cold
    // caches, inodes left dirty). Run after run, each pays for its own, as a
    // program that makes updates in a row does.
    constexpr std::size_t kRun = 16;
    for (auto _ : st) {
        if (durable && !g_callByCall) {
            Clock::duration mine{}, floorTime{}, sqlTime{}, walTime{}, oneTime{};
            const std::function<void()> contenders[] = {
                [&] {
                    for (std::size_t i = 0; i < kRun; ++i) {
                        if (op.before) {
                            op.before();
                            settle();
                        }
                        const auto t0 = Clock::now();
                        const uint64_t f0 = gardhost::flushes();
                        gardbench::startCounting();
                        call();
                        const gardbench::AllocCount a = gardbench::stopCounting();
                        mine += Clock::now() - t0;
                        flushes += gardhost::flushes() - f0;
                        allocs.calls += a.calls;
                        allocs.library += a.library;
                        if (a.largest > allocs.largest) allocs.largest = a.largest;
                        if (a.libraryLargest > allocs.libraryLargest) allocs.libraryLargest = a.libraryLargest;
                    }
                },
                [&] {
                    for (std::size_t i = 0; i < kRun; ++i) floorTime += timed([&] { floor.run(sync); });
                },
                [&] {
                    if (!g_withSql) return;
                    for (std::size_t i = 0; i < kRun; ++i)
                        sqlTime += timed([&] { g_sql.flip(static_cast<unsigned>((n + i) % kUnits), sync); });
                },
                [&] {
                    if (!g_withSql) return;
                    for (std::size_t i = 0; i < kRun; ++i)
                        walTime += timed([&] { g_wal.flip(static_cast<unsigned>((n + i) % kUnits)); });
                },
                [&] {
                    for (std::size_t i = 0; i < kRun; ++i) oneTime += timed([&] { g_oneFlush.run(); });
                },
            };
            constexpr std::size_t kContenders = std::size(contenders);
            const std::size_t round = n / kRun;
            for (std::size_t k = 0; k < kContenders; ++k) contenders[(round + k) % kContenders]();
            st.SetIterationTime(seconds(mine) / kRun);
            lib += seconds(mine);
            raw += seconds(floorTime);
            sql += seconds(sqlTime);
            wal += seconds(walTime);
            one += seconds(oneTime);
            n += kRun;
            continue;
        }
        if (op.before) op.before();
        if (changed) gardhost::reloadValues();
        // Whichever runs first after SQLite finds the caches cold and the
        // second finds them warmed by the first: the order alternates so
        // that the operation and its floor pay that alike.
        const bool floorFirst = (n & 1) != 0;
        Clock::duration floorTime{};
        if (floorFirst) floorTime = timed([&] { floor.run(sync); });
        const uint64_t f0 = gardhost::flushes();
        const auto t0 = Clock::now();
        gardbench::startCounting();
        call();
        const gardbench::AllocCount a = gardbench::stopCounting();
        const auto t1 = Clock::now();
        flushes += gardhost::flushes() - f0;
        if (!floorFirst) floorTime = timed([&] { floor.run(sync); });
        const auto t2 = Clock::now();
        if (op.kind == Kind::Read && g_withSql)
            benchmark::DoNotOptimize(g_sql.lookup(static_cast<unsigned>(n % kUnits)));
        if (op.kind == Kind::Update && g_withSql) g_sql.flip(static_cast<unsigned>(n % kUnits), sync);
        const auto t3 = Clock::now();
        if (durable && g_withSql) g_wal.flip(static_cast<unsigned>(n % kUnits));
        const auto t4 = Clock::now();
        if (durable) one += seconds(timed([] { g_oneFlush.run(); }));
        st.SetIterationTime(seconds(t1 - t0));
        lib += seconds(t1 - t0);
        raw += seconds(floorTime);
        sql += seconds(t3 - t2);
        wal += seconds(t4 - t3);
        allocs.calls += a.calls;
        allocs.library += a.library;
        if (a.largest > allocs.largest) allocs.largest = a.largest;
        if (a.libraryLargest > allocs.libraryLargest) allocs.libraryLargest = a.libraryLargest;
        ++n;
    }
    const double k = n != 0 ? 1.0 / static_cast<double>(n) : 0;
    st.counters["floor_us"] = raw * k * 1e6;
    st.counters["x_floor"] = floor.empty() || raw == 0 ? 0 : lib / raw;
    if (op.kind != Kind::Other && g_withSql) {
        st.counters["sqlite_us"] = sql * k * 1e6;
        st.counters["sqlite_x"] = lib == 0 ? 0 : sql / lib;
        st.counters["sqlite_syncs"] = static_cast<double>(g_sqlSyncs) * k;
    }
    if (durable && g_withSql) {
        st.counters["wal_us"] = wal * k * 1e6;
        st.counters["wal_x"] = lib == 0 ? 0 : wal / lib;
    }
    if (durable) st.counters["one_flush_us"] = one * k * 1e6;
    // Its floor makes one; the journal's checkpoints come in now and then.
    st.counters["flushes"] = static_cast<double>(flushes) * k;
    st.counters["allocs"] = static_cast<double>(allocs.calls) * k;
    st.counters["lib_allocs"] = static_cast<double>(allocs.library) * k;
    st.counters["max_alloc"] = static_cast<double>(allocs.largest);
    st.counters["lib_max_alloc"] = static_cast<double>(allocs.libraryLargest);
    st.SetLabel(floor.describe());
    gardhost::setSync(false);
}

// ---------------------------------------------------------------- summary

struct Row {
    std::string name;
    Kind kind;
    bool sync;
    double us = 0;
    std::map<std::string, double> counters;
};

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const bool single = r.repetitions <= 1 && r.run_type == Run::RT_Iteration;
            if (!single && !(r.run_type == Run::RT_Aggregate && r.aggregate_name == "median"))
                continue;
            Row row;
            row.name = r.run_name.function_name;
            row.us = r.GetAdjustedRealTime() * 1e6 / benchmark::GetTimeUnitMultiplier(r.time_unit);
            for (const auto& [key, c] : r.counters) row.counters[key] = c.value;
            rows.push_back(row);
        }
    }
    std::vector<Row> rows;
};

std::string fmt(double v, const char* f = "%.1f") {
    char b[32];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

// One Markdown table of every operation with its ratios and whether it meets
// the targets: reads at most 1.5x their floor and 10x faster than SQLite,
// also at most 1.5x right after another process changed values, updates
// at most 1.5x (fsync off) or 1.2x (fsync on) theirs.
std::string summary(const std::vector<Row>& rows, const std::map<std::string, Op>& byName,
                    const std::map<std::string, std::size_t>& stack) {
    std::string out =
        "| operation | fsync | us/call | floor us | x floor | flushes | SQLite us | SQLite / op | SQLite syncs | "
        "SQLite WAL us | WAL / op | one flush us | allocs/call (by libgard) | "
        "largest alloc (by libgard) | peak stack | target "
        "|\n|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const Row& r : rows) {
        const std::string& name = r.name;
        const std::string base = name.substr(0, name.find('/'));
        auto has = [&](const char* flag) { return name.find(flag, base.size()) != std::string::npos; };
        const bool sync = has("/fsync"), changed = has("/changed");
        const Op& op = byName.at(base);
        auto c = [&](const char* k) {
            auto it = r.counters.find(k);
            return it == r.counters.end() ? -1.0 : it->second;
        };
        const double x = c("x_floor"), sqlx = c("sqlite_x");
        std::string target = "-";
        // Right after a change the values come from their files, as the
        // floor's do: only the floor ratio is a target then.
        if (op.kind == Kind::Read && x > 0)
            target = std::string(x <= 1.5 ? "met" : "MISSED") + " (<=1.5x" +
                     (changed ? ")" : std::string("; ") + (sqlx >= 10 ? "met" : "MISSED") + " >=10x SQLite)");
        const double walx = c("wal_x");
        if (op.kind == Kind::Update && x > 0) {
            const double limit = sync ? 1.2 : 1.5;
            target = std::string(x <= limit ? "met" : "MISSED") + " (<=" + fmt(limit) + "x" +
                     (walx > 0 ? std::string("; ") + (walx > 1 ? "met" : "MISSED") + " faster than SQLite WAL)" : ")");
        }
        auto st = stack.find(base);
        out += "| " + base + (changed ? " (values just changed)" : "") + " | " +
               (sync ? "on" : "off") + " | " + fmt(r.us) + " | " +
               fmt(c("floor_us")) + " | " + (x > 0 ? fmt(x, "%.2f") : "-") + " | " +
               (sync && op.kind == Kind::Update ? fmt(c("flushes"), "%.2f") : "-") + " | " +
               (c("sqlite_us") >= 0 ? fmt(c("sqlite_us")) : "-") + " | " +
               (sqlx >= 0 ? fmt(sqlx, "%.1f") : "-") + " | " +
               (op.kind == Kind::Update && c("sqlite_syncs") >= 0 ? fmt(c("sqlite_syncs"), "%.1f") : "-") + " | " +
               (c("wal_us") >= 0 ? fmt(c("wal_us")) : "-") + " | " + (walx >= 0 ? fmt(walx, "%.2f") : "-") + " | " +
               (c("one_flush_us") >= 0 ? fmt(c("one_flush_us")) : "-") + " | " +
               fmt(c("allocs"), "%.0f") + " (" +
               fmt(c("lib_allocs"), "%.0f") + ") | " + fmt(c("max_alloc"), "%.0f") + " (" +
               fmt(c("lib_max_alloc"), "%.0f") + ") | " +
               (st != stack.end() && !sync ? std::to_string(st->second) : "") + " | " + target +
               " |\n";
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string summaryFile;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--summary=", 10) == 0)
            summaryFile = argv[i] + 10;
        else if (std::strcmp(argv[i], "--call-by-call") == 0)
            g_callByCall = true;
        else if (std::strcmp(argv[i], "--no-sqlite") == 0)
            g_withSql = false;
        else
            args.push_back(argv[i]);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());

    const char* base = std::getenv("GARD_BENCH_DIR");
    std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/gardbench.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    gardhost::setStateDir(tmpl);
    buildBaseline();
    // SQLite's files in a directory of their own, as another program's are:
    // files made together share blocks of the file system's inode table,
    // and a flush writes the block of its file's inode whenever another
    // file's change left it dirty.
    const std::string sqlDir = tmpl + "-sqlite";
    if (::mkdir(sqlDir.c_str(), 0700) != 0) {
        std::perror("mkdir");
        return 1;
    }
    g_sql.create(sqlDir + "/units.sqlite");
    g_wal.create(sqlDir + "/units-wal.sqlite");
    g_oneFlush.create(sqlDir + "/one-flush");
    gardbench::locateLibrary(reinterpret_cast<const void*>(&GardSysFileSeek));

    const std::vector<Op> ops = operations();
    std::map<std::string, Op> byName;
    for (const Op& op : ops) {
        byName[op.name] = op;
        benchmark::RegisterBenchmark(op.name.c_str(), [&op](benchmark::State& st) {
            measure(st, op, false);
        })->UseManualTime();
    }
    for (const Op& op : ops) {
        if (op.kind != Kind::Read) continue;
        benchmark::RegisterBenchmark((op.name + "/changed").c_str(), [&op](benchmark::State& st) {
            measure(st, op, false, true);
        })->UseManualTime();
    }
    for (const Op& op : ops) {
        if (op.kind != Kind::Update) continue;
        // A fixed number of rounds: the time per round is the operation's
        // alone, so the benchmark would ask for far more of them than needed.
        auto* b = benchmark::RegisterBenchmark((op.name + "/fsync").c_str(), [&op](benchmark::State& st) {
            measure(st, op, true);
        });
        b->UseManualTime();
        if (!g_callByCall) b->Iterations(48);
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // Peak stack of each operation, the host platform's calls included.
    restoreBaseline();
    std::map<std::string, std::size_t> stack;
    std::string deepest;
    for (const Op& op : ops) {
        if (op.before) op.before();
        stack[op.name] = gardbench::peakStack(op.call);
        if (deepest.empty() || stack[op.name] > stack[deepest]) deepest = op.name;
    }
    if (g_openFile != nullptr) check(GardSysFileClose(g_openFile, 0x6A, 23), "close");
    delete g_readBack;

    std::string table = summary(reporter.rows, byName, stack);
    char host[256] = "?";
    gethostname(host, sizeof host);
    std::string text = "\n" + table + "\nDeepest operation: " + deepest + ", peak stack " +
                       std::to_string(stack[deepest]) +
                       " bytes (library and host platform together).\n";
    std::fputs(text.c_str(), stdout);
    if (!summaryFile.empty()) std::ofstream(summaryFile) << text;
    if (std::getenv("GARD_BENCH_KEEP") == nullptr) {
        std::filesystem::remove_all(tmpl);
        std::filesystem::remove_all(sqlDir);
    }
    return 0;
}
