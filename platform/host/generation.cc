// The change counters of a state directory, <state>/generation, mapped by
// every process that uses it, and the write windows around every change of
// a named value.
//
// A reader keeps values cached while two words stay as they were when it
// filled its cache: no write window open, and the values counter unmoved.
// When the counter moved, a cached value still holds while the count of its
// name's group is unmoved and no change of unknown names (a dead writer's,
// a recovery, a call to read everything afresh) moved the page's epoch:
// one process's write then costs the others a read of what it changed
// alone. A writer moves its names' groups before the values counter.
// A writer opens a window (its process's slot marked busy, then the open
// count raised) before it writes its first byte, and closes it once the
// change is complete: the counter moves, then the open count drops. So a
// writer that dies anywhere between leaves a window open, and no process
// trusts its cache until one finds the writer's process gone and closes
// the window for it, moving the counter: every process then reads what the
// dead writer left, as a fresh process would.
//
// The file is the platform's own. Removed, replaced, cut short or filled
// with junk, it is made anew (with counters no process has seen) by the next
// process that takes a StateLock or writes; a process that reads from a
// mapping that was cut short gets a private page in its place (SIGBUS) and
// maps the file again. Without a usable file nothing is cached.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/host/detail.h"

namespace gardhost::detail {
namespace {

constexpr uint64_t kMagic = 0x334e454744524147;    // "GARDGEN3": names' groups added
constexpr uint64_t kRetired = 0x44455249544552;    // another file took its place
constexpr uint64_t kBroken = 0x4e454b4f5242;       // a private page after SIGBUS
constexpr uint64_t kOpenMask = 0xFFFF;             // windows open, in `writing`
constexpr uint64_t kOpened = kOpenMask + 1;        // windows ever opened, above it
constexpr uint64_t kReclaiming = 1;                // a slot being freed
constexpr std::size_t kSlots = 96, kBased = 64, kGroups = 64;
constexpr std::size_t kPage = 4096;

struct Shared {
    uint64_t values;     // moves with every completed change of a value
    uint64_t faults;     // and of the faults file
    uint64_t writing;    // windows open (low 16 bits), windows opened (above)
    uint64_t closed;     // windows closed for dead writers
    uint64_t unslotted;  // windows open without a slot
    uint64_t recovered;  // the boot whose power cut the journal was redone for
    JournalBook book;    // under the journal's append lock
    uint64_t placing;    // odd while a writer puts contents in place (under the journal's place lock)
    uint64_t nonce;      // set at random when the page is set up
    uint64_t unnamed;    // moves with every change of names not told
    struct {
        uint64_t owner, busy, pending;
    } slots[kSlots];  // owner: pid | start time << 32; busy: windows open; pending: a record put in place
    struct {
        uint64_t epoch, name;
    } based[kBased];  // names whose whole content the journal holds since checkpoint `epoch`
    uint64_t groups[kGroups];  // moves with every completed change of a name of the group
    uint64_t spare2[(kPage - 8 * (10 + 4) - 24 * kSlots - 16 * kBased - 8 * kGroups) / 8 - 1];
    // Last, so that a file cut short anywhere loses it and is set up anew,
    // its counters moved to values no process has seen.
    uint64_t magic;
};
static_assert(sizeof(Shared) == kPage);

std::mutex g_mutex;                  // mapping changes
std::atomic<Shared*> g_shared{nullptr};
int g_fd = -1;                       // the mapped file, for identity checks
dev_t g_dev = 0;
ino_t g_ino = 0;
bool g_writable = false;
std::atomic<bool> g_broken{false};   // the mapping was replaced after SIGBUS
std::atomic<int> g_locksHeld{0};      // StateLocks this process holds
std::atomic<int> g_slot{-1};
std::atomic<uint64_t> g_owner{0};

template <class T>
std::atomic_ref<uint64_t> word(T& field) {
    return std::atomic_ref<uint64_t>(field);
}

uint64_t freshCount() {
    static std::mt19937_64 random(std::random_device{}());
    uint64_t v;
    do v = random(); while (v == kUntrusted);
    return v;
}

// A process's start time in clock ticks since boot, 0 when unknown;
// `zombie` set when it has exited and waits to be reaped: its locks are
// gone, it writes no more.
uint64_t startTime(pid_t pid, bool* zombie = nullptr) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[1024];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');  // the name may hold spaces and ')'
    if (p == nullptr) return 0;
    if (zombie != nullptr) *zombie = p[1] == ' ' && p[2] == 'Z';
    // Field 22 is the start time; the one after ')' is field 3.
    for (int field = 2; field < 22 && p != nullptr; ++field) p = std::strchr(p + 1, ' ');
    return p != nullptr ? std::strtoull(p + 1, nullptr, 10) : 0;
}

uint64_t ownerWord() {
    const pid_t pid = ::getpid();
    return static_cast<uint32_t>(pid) | (startTime(pid) & 0xFFFFFFFFu) << 32;
}

// Whether the process that took a slot still runs (the same process, not
// a later one given its pid).
bool alive(uint64_t owner) {
    const auto pid = static_cast<pid_t>(owner & 0xFFFFFFFFu);
    if (pid <= 0) return false;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    const uint64_t start = owner >> 32;
    bool zombie = false;
    const uint64_t now = startTime(pid, &zombie);
    return !zombie && (start == 0 || now == 0 || (now & 0xFFFFFFFFu) == start);
}

void freeSlot(Shared* s, std::size_t i, uint64_t owner) {
    uint64_t expected = owner;
    if (!word(s->slots[i].owner).compare_exchange_strong(expected, kReclaiming)) return;
    word(s->slots[i].busy).store(0);
    word(s->slots[i].pending).store(0);
    word(s->slots[i].owner).store(0);
}

// This process's slot, taken at its first write; -1 when none is free.
int slotFor(Shared* s) {
    int slot = g_slot.load(std::memory_order_relaxed);
    if (slot >= 0) return slot;
    const uint64_t me = ownerWord();
    for (int round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < kSlots; ++i) {
            uint64_t expected = 0;
            if (word(s->slots[i].owner).compare_exchange_strong(expected, me)) {
                g_owner = me;
                g_slot = static_cast<int>(i);
                return static_cast<int>(i);
            }
        }
        // Full: the slots of processes that are gone are free again.
        for (std::size_t i = 0; i < kSlots; ++i) {
            const uint64_t owner = word(s->slots[i].owner).load();
            if (owner > kReclaiming && word(s->slots[i].busy).load() == 0 && !alive(owner)) freeSlot(s, i, owner);
        }
    }
    return -1;
}

void forkedChild() {
    g_slot = -1;
    g_owner = 0;
}

// Closes the windows of writers that died; true when it closed one.
bool closeDead(Shared* s) {
    const uint64_t before = word(s->writing).load();
    bool live = false, dead = false;
    const int mine = g_slot.load();
    for (std::size_t i = 0; i < kSlots; ++i) {
        const uint64_t owner = word(s->slots[i].owner).load();
        if (owner <= kReclaiming || word(s->slots[i].busy).load() == 0) continue;
        if (static_cast<int>(i) == mine || alive(owner)) {
            live = true;
        } else {
            // What its journal record holds is finished before anyone reads
            // on; until that can be done its window stays open.
            if (word(s->slots[i].pending).load() != 0 && !finishDead(false)) {
                live = true;
                continue;
            }
            freeSlot(s, i, owner);
            dead = true;
        }
    }
    // Once no writer is left the count of open windows is 0, whatever dead
    // writers left in it; a writer that opened one meanwhile changed the
    // word, and the next look tries again.
    if (!live && word(s->unslotted).load() == 0 && (before & kOpenMask) != 0) {
        uint64_t expected = before;
        if (word(s->writing).compare_exchange_strong(expected, before & ~kOpenMask)) dead = true;
    }
    if (dead) {
        word(s->unnamed).fetch_add(1);  // what the dead wrote is not known
        word(s->values).fetch_add(1);
        word(s->faults).fetch_add(1);
        word(s->closed).fetch_add(1);
        sweepTemporaries();
    }
    return dead;
}

struct sigaction g_previous {};

// A page of the mapping vanished (the file was cut short): a private page
// takes its place, marked so that the next look maps the file again.
void onBusError(int sig, siginfo_t* info, void* context) {
    auto* page = reinterpret_cast<char*>(g_shared.load());
    auto* at = static_cast<char*>(info->si_addr);
    if (page != nullptr && at >= page && at < page + kPage) {
        void* p = ::mmap(page, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (p != MAP_FAILED) {
            auto* s = static_cast<Shared*>(p);
            s->magic = kBroken;
            s->writing = 1;
            g_broken = true;
            return;
        }
    }
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(sig, info, context);
    } else if (g_previous.sa_handler != SIG_IGN && g_previous.sa_handler != SIG_DFL) {
        g_previous.sa_handler(sig);
    } else {
        ::signal(SIGBUS, SIG_DFL);
        ::raise(SIGBUS);
    }
}

void installOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onBusError;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGBUS, &sa, &g_previous);
        ::pthread_atfork(nullptr, nullptr, forkedChild);
    });
}

// Under g_mutex: leaves the current mapping. Mappings of a file another
// took the place of stay mapped (another thread may be reading them) but
// are marked, so every process mapping them looks again.
void leave(bool retire) {
    Shared* s = g_shared.exchange(nullptr);
    if (s != nullptr && retire && g_writable && !g_broken && word(s->magic).load() == kMagic) {
        word(s->magic).store(kRetired);
        word(s->values).fetch_add(1);
        word(s->faults).fetch_add(1);
        word(s->writing).fetch_add(1);  // never closed: no reader trusts it again
    }
    if (s != nullptr && !retire) ::munmap(s, kPage);
    if (g_fd >= 0) ::close(g_fd);
    g_fd = -1;
    g_writable = false;
    g_broken = false;
    g_slot = -1;
}

// Under g_mutex: maps the file at "generation", making it when needed.
void mapFile() {
    const std::string at = shownDir() + "/generation";
    int fd = openIn("generation", O_RDWR | O_CREAT | O_NONBLOCK, 0644);
    bool writable = fd >= 0;
    if (fd < 0) fd = openIn("generation", O_RDONLY | O_NONBLOCK);  // a read-only state directory
    struct stat st {};
    if (fd < 0 || fstatQuiet(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_nlink != 1 && writable)) {
        if (fd >= 0) ::close(fd);
        sayOnce("generation-unusable", at + " is not a regular file of the state directory: values are read "
                                            "from their files on every call until it is (remove it)");
        return;
    }
    if (writable) ::flock(fd, LOCK_EX);  // one process sets a new file up
    if (static_cast<std::size_t>(st.st_size) < kPage && (!writable || ::ftruncate(fd, kPage) != 0)) {
        ::close(fd);
        sayOnce("generation-short", at + " is too short and cannot be grown: values are read from their "
                                          "files on every call");
        return;
    }
    void* map = ::mmap(nullptr, kPage, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        ::close(fd);
        return;
    }
    auto* s = static_cast<Shared*>(map);
    if (word(s->magic).load() != kMagic && writable) {
        if (st.st_size != 0 && word(s->magic).load() != 0)
            sayOnce("generation-damaged", at + " was damaged; it was set up again and every process reads "
                                                "values afresh");
        std::memset(s->groups, 0, sizeof s->groups);
        word(s->unnamed).store(0);
        word(s->nonce).store(freshCount());
        word(s->placing).store(0);
        s->book = JournalBook{};
        std::memset(s->slots, 0, sizeof s->slots);
        std::memset(s->based, 0, sizeof s->based);
        word(s->recovered).store(0);  // the journal is redone before anything is read
        word(s->values).store(freshCount());
        word(s->faults).store(freshCount());
        word(s->writing).store(word(s->writing).load() & ~kOpenMask);
        word(s->unslotted).store(0);
        word(s->magic).store(kMagic);
    }
    if (writable) ::flock(fd, LOCK_UN);
    if (word(s->magic).load() != kMagic) {
        ::munmap(map, kPage);
        ::close(fd);
        return;
    }
    installOnce();
    g_fd = fd;
    g_dev = st.st_dev;
    g_ino = st.st_ino;
    g_writable = writable;
    g_shared.store(s, std::memory_order_release);
}

// Whether the mapping is of the healthy file at "generation".
bool healthy(Shared* s) {
    if (s == nullptr || g_broken || word(s->magic).load() != kMagic) return false;
    const int root = rootFd();
    struct stat st {};
    return root >= 0 && fstatatQuiet(root, "generation", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_dev == g_dev && st.st_ino == g_ino && static_cast<std::size_t>(st.st_size) >= kPage;
}

// Under g_mutex.
void check() {
    Shared* s = g_shared.load();
    if (healthy(s)) return;
    leave(s != nullptr);
    mapFile();
}

// Under g_mutex, the mapping for a writer: only a writable one carries windows.
Shared* forWriting() {
    if (g_locksHeld.load(std::memory_order_relaxed) == 0 || g_shared.load() == nullptr) check();
    Shared* s = g_shared.load(std::memory_order_acquire);
    return s != nullptr && g_writable ? s : nullptr;
}

}  // namespace

void checkCounters() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        check();
    }
    // A page set up anew, or last used in another boot: the journal is
    // redone before anything is read (recover() notes the boot when done).
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s != nullptr && g_writable && word(s->recovered).load() != bootId()) recover();
}

void unmapCounters() {
    std::lock_guard<std::mutex> lock(g_mutex);
    leave(false);
}

std::atomic<uint64_t> g_locksTaken{0};

void noteLockHeld(bool held) {
    g_locksHeld += held ? 1 : -1;
    if (held) ++g_locksTaken;
}

uint64_t lockNumber() { return g_locksHeld.load() > 0 ? g_locksTaken.load() : 0; }

bool journalBook(JournalBook& out) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || !g_writable) return false;
    out.seq = word(s->book.seq).load();
    out.checkpoint = word(s->book.checkpoint).load();
    out.file = word(s->book.file).load();
    out.sinceAt = word(s->book.sinceAt).load();
    out.end = word(s->book.end).load();
    return true;
}

void setJournalBook(const JournalBook& book) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || !g_writable) return;
    word(s->book.seq).store(book.seq);
    word(s->book.checkpoint).store(book.checkpoint);
    word(s->book.file).store(book.file);
    word(s->book.sinceAt).store(book.sinceAt);
    word(s->book.end).store(book.end);
}

// A name of the table: never 0, which marks a free entry.
uint64_t basedName(uint64_t name) { return name | 1; }

bool based(uint64_t epoch, uint64_t name) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr) return false;
    name = basedName(name);
    for (auto& b : s->based)
        if (word(b.name).load() == name && word(b.epoch).load() == epoch) return true;
    return false;
}

void noteBased(uint64_t epoch, uint64_t name) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || !g_writable) return;
    name = basedName(name);
    // An entry of an older epoch makes room; with none, the table is full and
    // the name's next record carries its whole content again (safe, larger).
    for (auto& b : s->based) {
        if (word(b.epoch).load() == epoch && word(b.name).load() != 0) continue;
        word(b.name).store(0);
        word(b.epoch).store(epoch);
        word(b.name).store(name);
        return;
    }
}

void forgetBased() {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || !g_writable) return;
    for (auto& b : s->based) word(b.name).store(0);
}

std::vector<PendingSlot> pendingSlots(bool all) {
    std::vector<PendingSlot> out;
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || !g_writable) return out;
    const int mine = g_slot.load();
    for (std::size_t i = 0; i < kSlots; ++i) {
        const uint64_t pending = word(s->slots[i].pending).load();
        const uint64_t owner = word(s->slots[i].owner).load();
        if (pending == 0 || static_cast<int>(i) == mine || owner <= kReclaiming) continue;
        if (all || !alive(owner))
            out.push_back({static_cast<int>(i), pending, static_cast<int>(owner & 0xFFFFFFFFu)});
    }
    return out;
}

void clearPending(int slot, uint64_t pending) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || slot < 0 || static_cast<std::size_t>(slot) >= kSlots) return;
    uint64_t expected = pending;
    word(s->slots[slot].pending).compare_exchange_strong(expected, 0);
}

uint64_t recoveredBoot() {
    Shared* s = g_shared.load(std::memory_order_acquire);
    return s != nullptr ? word(s->recovered).load() : 0;
}

void setRecoveredBoot(uint64_t boot) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s != nullptr && g_writable) word(s->recovered).store(boot);
}

uint64_t placingCount() {
    Shared* s = g_shared.load(std::memory_order_acquire);
    return s != nullptr ? word(s->placing).load() : 0;
}

bool setPlacingCount(uint64_t count) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || !g_writable || g_broken) return false;
    word(s->placing).store(count);
    return true;
}

void bumpCounters() {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || !g_writable) return;
    word(s->unnamed).fetch_add(1);
    word(s->values).fetch_add(1);
    word(s->faults).fetch_add(1);
}

std::string countersUnwritable() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_shared.load() == nullptr) check();
    if (g_shared.load() != nullptr && g_writable) return "";
    const std::string at = shownDir() + "/generation";
    int fd = openIn("generation", O_RDWR | O_NONBLOCK);
    const int err = fd < 0 ? -fd : 0;
    if (fd >= 0) ::close(fd);
    return at + (err != 0 ? std::string(" cannot be written (") + std::strerror(err) + ")"
                          : std::string(" is not a regular file of the state directory"));
}

WriteWindow::WriteWindow(bool faults) : faults_(faults) {
    std::lock_guard<std::mutex> lock(g_mutex);  // the mapping stays while the window is opened
    Shared* s = forWriting();
    if (s == nullptr) return;
    shared_ = s;
    slot_ = slotFor(s);
    if (slot_ >= 0)
        word(s->slots[slot_].busy).fetch_add(1);
    else
        word(s->unslotted).fetch_add(1);  // a dead one keeps every cache off: safe, if slow
    word(s->writing).fetch_add(kOpened + 1);
    crashPoint("opened");
}

void WriteWindow::pending(uint64_t offsetPlusOne) {
    auto* s = static_cast<Shared*>(shared_);
    if (s != nullptr && slot_ >= 0) word(s->slots[slot_].pending).store(offsetPlusOne);
}

uint64_t nameHash(std::string_view name) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    return h;
}

static std::size_t groupOf(std::string_view name) { return nameHash(name) % kGroups; }

void WriteWindow::touch(std::string_view name) {
    groups_ |= uint64_t{1} << groupOf(name);
    if (name == "faults") faults_ = true;
}

// Before the values counter moves: a reader that sees it moved sees the
// groups moved too.
void WriteWindow::moveGroups() {
    auto* s = static_cast<Shared*>(shared_);
    if (groups_ == 0) {
        word(s->unnamed).fetch_add(1);
        return;
    }
    for (std::size_t g = 0; g < kGroups; ++g)
        if ((groups_ >> g & 1) != 0) word(s->groups[g]).fetch_add(1);
}

bool WriteWindow::announce(uint64_t seen, uint64_t& next) {
    auto* s = static_cast<Shared*>(shared_);
    if (s == nullptr || announced_) return false;
    announced_ = true;
    moveGroups();
    const uint64_t before = word(s->values).fetch_add(1);
    next = before + 1;
    return before == seen;
}

WriteWindow::~WriteWindow() {
    auto* s = static_cast<Shared*>(shared_);
    if (s == nullptr) return;
    if (!announced_) {
        moveGroups();
        word(s->values).fetch_add(1);
    }
    if (faults_) word(s->faults).fetch_add(1);
    crashPoint("announced");
    word(s->writing).fetch_sub(1);
    if (slot_ >= 0)
        word(s->slots[slot_].busy).fetch_sub(1);
    else
        word(s->unslotted).fetch_sub(1);
}

bool stillHolds(uint64_t seen) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    return s != nullptr && (word(s->writing).load(std::memory_order_acquire) & kOpenMask) == 0 &&
           word(s->values).load(std::memory_order_acquire) == seen;
}

uint64_t groupCount(std::string_view name) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    return s != nullptr ? word(s->groups[groupOf(name)]).load() : kUntrusted;
}

uint64_t pageEpoch() {
    Shared* s = g_shared.load(std::memory_order_acquire);
    return s != nullptr && word(s->magic).load() == kMagic ? word(s->nonce).load() + word(s->unnamed).load()
                                                           : kUntrusted;
}

uint64_t trustedCount() {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s == nullptr || word(s->magic).load() != kMagic) {
        checkCounters();
        s = g_shared.load(std::memory_order_acquire);
        if (s == nullptr) return kUntrusted;
    }
    if ((word(s->writing).load() & kOpenMask) != 0) {
        closeDead(s);
        if ((word(s->writing).load() & kOpenMask) != 0) return kUntrusted;
    }
    return word(s->values).load();
}

bool faultsUnchanged(uint64_t& seen) {
    Shared* s = g_shared.load(std::memory_order_acquire);
    if (s != nullptr && (word(s->writing).load(std::memory_order_acquire) & kOpenMask) == 0 &&
        word(s->faults).load(std::memory_order_acquire) == seen && seen != kUntrusted)
        return true;
    seen = trustedCount() == kUntrusted ? kUntrusted : word(g_shared.load()->faults).load();
    return false;
}

}  // namespace gardhost::detail
