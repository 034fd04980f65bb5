#include "floor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "platform/host/host.h"

namespace gardbench {
namespace {

std::size_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

std::string valuePath(const std::string& name) { return gardhost::stateDir() + "/" + name; }

std::size_t argument(const std::string& args, const char* key) {
    std::size_t at = args.find(key);
    return at == std::string::npos
               ? 0
               : std::strtoul(args.c_str() + at + std::strlen(key), nullptr, 10);
}

// The file a value call reads, or "" for calls that move no stored bytes.
std::string valueRead(const gardhost::Call& c) {
    if (c.name == "UtilReg::read") return gardhost::regName(c.target);
    if (c.name == "UtilReg::path") return gardhost::regName("fstp/P3_Root");
    if (c.name == "SVPD_fru_status") return "vpd/" + c.target + "/present";
    if (c.name == "SVPD_get_qel_gd_keyword") return "vpd/" + c.target + "/keyword";
    if (c.name == "vormGardGetPolicy") return "vorm/policy/" + c.target;
    if (c.name == "vormGardCheckFunctionalDmaPath") return "vorm/functional/" + c.target;
    if (c.name == "vormGetVPDPort") return "vorm/port/" + c.target;
    if (c.name == "vormGardDeconfigDmaPath") return "vorm/deconfig_out";
    if (c.name == "mnfgIsPolicyFlagSet") return "mnfg/flag/" + c.target;
    return "";
}

std::string valueAppend(const gardhost::Call& c) {
    if (c.name == "ErrlEntry::commit") return "errl/committed";
    if (c.name.rfind("rmgr", 0) == 0) return "rmgr/log";
    if (c.name == "vormGardDeconfigDmaPath") return "vorm/log";
    return "";
}

// Whole-file contents the writes put back, captured when the floor is planned.
std::map<std::string, std::vector<unsigned char>>& contents() {
    static std::map<std::string, std::vector<unsigned char>> c;
    return c;
}

std::vector<unsigned char>& contentOf(const std::string& path) {
    auto& c = contents()[path];
    if (c.empty()) {
        c.resize(fileSize(path));
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            if (::pread(fd, c.data(), c.size(), 0) < 0) c.clear();
            ::close(fd);
        }
    }
    return c;
}

// Descriptors of files an operation found open, kept for the floor's whole
// life as the caller keeps its file object.
std::map<std::string, int>& kept() {
    static std::map<std::string, int> fds;
    return fds;
}

int openFor(const std::map<std::string, int>& open, const std::string& path) {
    auto it = open.find(path);
    if (it != open.end()) return it->second;
    int& fd = kept()[path];
    if (fd <= 0) fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    return fd;
}

}  // namespace

void replaceWhole(const std::string& path, const void* data, std::size_t size, bool sync) {
    std::string dir = std::filesystem::path(path).parent_path().string();
    std::string tmp = dir + "/.floor.XXXXXX";
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return;
    bool ok = ::write(fd, data, size) == static_cast<ssize_t>(size);
    if (ok && sync) ok = ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return;
    }
    if (sync) {
        int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
    }
}

Floor Floor::plan(const std::function<void()>& op, Scope scope) {
    const char* appendFiles[] = {"errl/committed", "rmgr/log", "vorm/log"};
    std::map<std::string, std::size_t> before, appends;
    for (const char* f : appendFiles) before[f] = fileSize(valuePath(f));
    gardhost::clearCalls();
    op();
    const std::vector<gardhost::Call> calls = gardhost::calls();

    Floor floor;
    for (const gardhost::Call& c : calls) {
        if (c.name.rfind("UtilFile::", 0) == 0) {
            const std::string path = gardhost::resolvePath("/opt/p3/gard/" + c.target);
            const std::string what = c.name.substr(10);
            if (what == "Open") floor.steps_.push_back({Kind::Open, path, 0, 0});
            if (what == "Close") floor.steps_.push_back({Kind::Close, path, 0, 0});
            if (what == "Read")
                floor.steps_.push_back({Kind::Read, path, argument(c.args, "count="), 0});
            if (what == "Write")
                floor.steps_.push_back(
                    {Kind::Write, path, argument(c.args, "count="), fileSize(path)});
            continue;
        }
        // Committed error logs count in every floor: each is one durable append.
        if (scope == Scope::GardFiles && c.name != "ErrlEntry::commit") continue;
        if (c.name == "SVPD_set_qel_gd_keyword") {
            const std::string path = valuePath("vpd/" + c.target + "/keyword");
            floor.steps_.push_back(
                {Kind::WriteValue, path, argument(c.args, "length="), fileSize(path)});
            continue;
        }
        if (std::string name = valueRead(c); !name.empty())
            floor.steps_.push_back(
                {Kind::ReadValue, valuePath(name), fileSize(valuePath(name)), 0});
        if (std::string name = valueAppend(c); !name.empty()) {
            floor.steps_.push_back({Kind::Append, valuePath(name) + ".floor", 0, name == "errl/committed"});
            ++appends[name];
        }
    }
    // An append adds the bytes the operation's own appends added, on average.
    for (Step& s : floor.steps_) {
        if (s.kind != Kind::Append) continue;
        std::string name = s.path.substr(gardhost::stateDir().size() + 1);
        name.resize(name.size() - 6);
        s.count = (fileSize(valuePath(name)) - before[name]) / appends[name];
    }
    for (Step& s : floor.steps_)
        if (s.kind == Kind::Write || s.kind == Kind::WriteValue || s.kind == Kind::Read)
            contentOf(s.path);
    return floor;
}

// How much of a file is written: up to its last byte that is not zero (the
// journal keeps zeros written ahead of its records).
std::size_t writtenSize(const std::string& path) {
    std::vector<unsigned char> bytes(fileSize(path));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = ::pread(fd, bytes.data(), bytes.size(), 0);
    ::close(fd);
    std::size_t end = n > 0 ? static_cast<std::size_t>(n) : 0;
    while (end > 0 && bytes[end - 1] == 0) --end;
    return end;
}

Floor Floor::durable(const std::function<void()>& op) {
    const std::string journal = valuePath("history");
    const std::size_t before = writtenSize(journal);
    op();
    const std::size_t after = writtenSize(journal);
    Floor floor;
    floor.steps_.push_back({Kind::Record, journal + ".floor", after > before ? after - before : 0, 1});
    return floor;
}

void Floor::run(bool sync) const {
    std::map<std::string, int> open;
    static std::vector<unsigned char> scratch(1 << 20, 'x');
    for (const Step& s : steps_) {
        switch (s.kind) {
            case Kind::Open: open[s.path] = ::open(s.path.c_str(), O_RDWR | O_CLOEXEC); break;
            case Kind::Read:
                if (::pread(openFor(open, s.path), contentOf(s.path).data(), s.count, 0) < 0)
                    std::perror("pread");
                break;
            case Kind::Write:
                if (sync) {
                    replaceWhole(s.path, contentOf(s.path).data(), s.size, true);
                    // A file kept open goes on with the new one, as the caller's object does.
                    if (open.count(s.path) == 0) {
                        int& fd = kept()[s.path];
                        if (fd > 0) ::close(fd);
                        fd = ::open(s.path.c_str(), O_RDWR | O_CLOEXEC);
                    }
                } else if (::pwrite(openFor(open, s.path), contentOf(s.path).data(), s.count, 0) <
                           0)
                    std::perror("pwrite");
                break;
            case Kind::Close:
                ::close(open[s.path]);
                open.erase(s.path);
                break;
            case Kind::ReadValue: {
                int fd = ::open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd >= 0) {
                    if (::pread(fd, scratch.data(), s.count, 0) < 0) std::perror("pread");
                    ::close(fd);
                }
                break;
            }
            case Kind::WriteValue:
                if (sync) {
                    replaceWhole(s.path, contentOf(s.path).data(), s.size, true);
                } else {
                    int fd = ::open(s.path.c_str(), O_WRONLY | O_CLOEXEC);
                    if (fd >= 0) {
                        if (::pwrite(fd, contentOf(s.path).data(), s.count, 0) < 0)
                            std::perror("pwrite");
                        ::close(fd);
                    }
                }
                break;
            case Kind::Record:
            case Kind::Append: {
                int fd = ::open(s.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
                if (fd >= 0) {
                    if (::write(fd, scratch.data(), s.count) < 0) std::perror("write");
                    // A committed error log must survive a power cut.
                    if (sync && s.size != 0 && ::fdatasync(fd) != 0) std::perror("fdatasync");
                    ::close(fd);
                }
                break;
            }
        }
    }
    for (auto& [path, fd] : open) ::close(fd);
}

std::string Floor::describe() const {
    std::map<Kind, int> n;
    for (const Step& s : steps_) ++n[s.kind];
    char text[160];
    if (n[Kind::Record] != 0) {
        std::snprintf(text, sizeof text, "one append of %zu bytes and its fdatasync", steps_.front().count);
        return text;
    }
    std::snprintf(text, sizeof text,
                  "open %d, pread %d, write %d, close %d, values read %d, written %d, appends %d",
                  n[Kind::Open], n[Kind::Read], n[Kind::Write], n[Kind::Close], n[Kind::ReadValue],
                  n[Kind::WriteValue], n[Kind::Append]);
    return text;
}

}  // namespace gardbench
