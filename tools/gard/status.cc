// status: one screen with everything the library answers about the pair;
// version: what is running, and on which state directory.
#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <filesystem>
#include <iostream>

#include "cli.h"

namespace gardcli {

namespace {
Json regByte(const std::string& key) {
    std::vector<uint8_t> b;
    if (!gardhost::getValue(gardhost::regName(key), b) || b.size() != 1) return nullptr;
    return b[0];
}
}  // namespace

Json statusJson(Result& r) {
    Json s = Json::object();
    putBytes(s, "stateDir", stateDirChoice());  // the user's, also when read through a copy
    s.update(Json{{"sp", gardhost::position()},
                  {"position", regByte("dscv/QelPosition")},
                  {"role", regByte("dscv/QelRole")}});
    Json p = readRecords(r);
    // Records that could not be judged leave every answer drawn from them unknown.
    const std::string unjudged = recordsUnknown(p);
    for (Json& rec : p["records"]) {
        auto unit = rec["unit"].get<uint32_t>();
        rec["doGard"] = nullptr;  // first in the record, as before
        Watch usableWatch;
        int code = gardIsQelUsable(unit);
        putUsable(r, rec, code, usableWatch);
        if (!unjudged.empty() && rec["usableName"] != "not-judged") r.putUnknown(rec, "usable", unjudged), rec["usableName"] = nullptr;
        Watch doGardWatch;
        int doGard = GardRdndQel::GardQelDoGard(unit);
        answerOrUnknown(r, rec, "doGard", doGard, unjudged.empty() ? queryTrouble(doGardWatch, "") : unjudged);
    }
    s["processors"] = p;
    GardFoStatus fo = GARD_FO_CAPABLE;
    Watch failoverWatch;
    r.take(gardCheckFailoverCapable(fo));
    putFailover(r, s, fo, failoverWatch);
    putUnitRows(r, s);
    putStoredSlots(r, s);
    const std::vector<gardhost::Committed> all = gardhost::committed();
    s["committedErrls"] = all.size();
    s["committedErrlsDropped"] = all.empty() ? 0 : all.front().number - 1;
    if (std::string why = committedUnreadable(); !why.empty()) r.putUnknown(s, "committedErrls", why);
    return s;
}

void printStatus(std::ostream& os, const Json& s) {
    auto num = [](const Json& j) { return j.is_null() ? std::string("missing") : std::to_string(j.get<int>()); };
    os << "state directory " << s["stateDir"].get<std::string>() << ", running as sp" << s["sp"]
       << " (registry: position " << num(s["position"]) << ", role " << num(s["role"]) << ")\n";
    printRecords(os, s["processors"]);
    os << "failover: "
       << (s["failover"].is_null() ? unknownWords(s, "failover")
                                   : s["failoverName"].get<std::string>() + " (" + s["failover"].dump() + ")")
       << '\n';
    printUnitRows(os, s);
    printSlots(os, s, "storedErrls");
    os << "committed error logs: "
       << (s["committedErrls"].is_null() ? unknownWords(s, "committedErrls") : s["committedErrls"].dump());
    if (s["committedErrlsDropped"] != 0) os << " (the " << s["committedErrlsDropped"] << " before them dropped when the log rotated)";
    os << '\n';
}

namespace {

// The SONAME in the dynamic section of the loaded object named `file`.
std::string sonameOf(const std::string& file) {
    struct Find {
        const std::string& file;
        std::string soname;
    } find{file, ""};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* f = static_cast<Find*>(data);
            if (info->dlpi_name == nullptr || f->file != info->dlpi_name) return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
                const auto* dyn = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                ElfW(Addr) strtab = 0;
                ElfW(Xword) name = 0;
                bool hasName = false;
                for (; dyn->d_tag != DT_NULL; ++dyn) {
                    if (dyn->d_tag == DT_STRTAB) strtab = dyn->d_un.d_ptr;
                    if (dyn->d_tag == DT_SONAME) name = dyn->d_un.d_val, hasName = true;
                }
                // The loader relocates d_ptr in place on most targets, not all.
                if (strtab != 0 && strtab < info->dlpi_addr) strtab += info->dlpi_addr;
                if (strtab != 0 && hasName) f->soname = reinterpret_cast<const char*>(strtab + name);
            }
            return 1;
        },
        &find);
    return find.soname;
}

int version() {
    Result r;
    Json lib = {{"soname", nullptr}, {"version", nullptr}, {"file", nullptr}};
    // The library this process runs with, found from one of its operations.
    Dl_info dl{};
    if (dladdr(reinterpret_cast<void*>(&gardIsQelUsable), &dl) != 0 && dl.dli_fname != nullptr) {
        std::error_code ec;
        std::string file = std::filesystem::canonical(dl.dli_fname, ec).string();
        if (ec) file = dl.dli_fname;
        putBytes(lib, "file", file);
        std::string soname = sonameOf(dl.dli_fname);
        if (!soname.empty()) putBytes(lib, "soname", soname);
        // libgard.so.1.0.0: the version follows the name's ".so.".
        std::string base = std::filesystem::path(file).filename().string();
        if (std::size_t at = base.find(".so."); at != std::string::npos) putBytes(lib, "version", base.substr(at + 4));
    }
    r.out = {{"tool", GARD_TOOL_VERSION}, {"library", lib}, {"stateDir", nullptr}, {"stateDirExists", false}};
    std::string dir;
    try {
        dir = stateDirChoice();
    } catch (const Usage& e) {
        r.out["stateDirProblem"] = e.what();
    }
    if (!dir.empty()) {
        std::error_code ec;
        putBytes(r.out, "stateDir", dir);
        r.out["stateDirExists"] = std::filesystem::is_directory(dir, ec);
        if (std::string problem = stateDirProblem(dir); !problem.empty()) r.out["stateDirProblem"] = problem;
    }
    auto text = [](const Json& j) { return j.is_null() ? std::string("unknown") : j.get<std::string>(); };
    r.text << "gard " << GARD_TOOL_VERSION << '\n'
           << "libgard " << text(lib["version"]) << " (SONAME " << text(lib["soname"]) << ", "
           << text(lib["file"]) << ")\n"
           << "state directory "
           << (dir.empty() ? "none: " + shown(r.out["stateDirProblem"].get<std::string>())
                           : r.out["stateDir"].get<std::string>() +
                                 (r.out.contains("stateDirProblem")
                                      ? " (" + shown(r.out["stateDirProblem"].get<std::string>()) + ")"
                                      : r.out["stateDirExists"].get<bool>() ? "" : " (made on first use)"))
           << '\n';
    return finish(r);
}

}  // namespace

int versionAction() { return version(); }

void addVersion(CLI::App& app) {
    command(&app, "version", "The tool's and the library's versions (the library's SONAME) and the "
                             "state directory in use",
            "gard version --json")
        ->callback([] { action() = version; });
}

void addStatus(CLI::App& app) {
    command(&app, "status", "Both processor records, the garded, usable and failover answers, "
                            "the unit table, the stored error logs, the committed log count",
            "gard --sp 1 status")
        ->callback([] {
            action() = [] {
                openState();
                Result r;
                r.out = statusJson(r);
                printStatus(r.text, r.out);
                return finish(r);
            };
        });
}

}  // namespace gardcli
