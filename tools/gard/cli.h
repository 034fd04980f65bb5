// Shared pieces of the gard tool: options, input parsing, state names, the
// state directory, and printing of results and error logs as text or JSON.
#ifndef GARD_TOOLS_CLI_H
#define GARD_TOOLS_CLI_H

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/host/host.h"

namespace gardcli {

using Json = nlohmann::ordered_json;  // fields stay in the order written

// Exit statuses.
enum Exit { kOk = 0, kErrl = 1, kUsage = 2, kAnomaly = 3 };

// Module id the tool passes to the gard file operations it calls itself.
constexpr gardModId kToolModId = 0xE0;

struct Options {
    std::string stateDir;  // --state; empty: environment, then XDG
    int sp = -1;           // --sp; -1: the host's default
    bool json = false;
};
Options& opts();

// The command chosen on the command line; run after parsing succeeded.
std::function<int()>& action();

// Bad input: one line on stderr, exit 2, nothing changed.
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A leaf command with --help, an example, and the shared options.
// `stateful` adds --state and --sp.
CLI::App* command(CLI::App* parent, const std::string& name, const std::string& help,
                  const std::string& example, bool stateful = true);

// ---- input
uint32_t parseNumber(const std::string& text, const std::string& what,
                     uint32_t max = 0xFFFFFFFFu);
uint16_t parseUnitId(const std::string& text);  // a unit-table unit id, 1 to 0xffff
uint32_t parseUnitState(const std::string& text);  // name or any 32-bit number
uint32_t parseQelState(const std::string& text);   // name or 0 to 0xff
bool parseOnOff(const std::string& text, const std::string& what);
std::vector<uint8_t> parseHex(const std::string& text, const std::string& what);

// ---- names
std::string hex(uint32_t v, int digits = 0);  // "0x1f"; zero-padded to `digits`
std::string hexBytes(const unsigned char* p, std::size_t n);
std::string unitStateName(uint32_t state);  // "garded"; "unknown" for other values
std::string qelStateName(uint32_t state);
std::string vpdResultName(uint32_t code);
std::string usableName(int code);
std::string failoverName(uint32_t status);
std::string setResultName(uint32_t code);

// ---- state directory
// Resolves --state, GARD_STATE_DIR, $XDG_STATE_HOME/gard, ~/.local/state/gard;
// creates it (Usage when it cannot), selects --sp and seeds the defaults.
void openState();
bool stateOpen();
// A new directory under $TMPDIR (else /tmp); Usage when it cannot be made.
std::string makeTempDir(const std::string& prefix);

// ---- results
// What a command hands back: JSON fields, the text screen, and the error
// logs the library returned (owned here until finish).
struct Result {
    Json out = Json::object();
    std::ostringstream text;
    std::vector<ErrlEntry*> errls;
    int code = kOk;

    Result() = default;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result();
    // Takes a handle the library returned; null is fine.
    void take(ErrlEntry* errl);
};
// Prints the result (text or JSON) with the returned error logs and the logs
// committed since the state was opened, saves the trace; the exit status.
int finish(Result& r);

// A caller's error log as firmware would pass one, its primary SRC carrying
// `src` (at most 32 characters; Usage otherwise).
ErrlEntry* callerErrl(const std::string& src);
void checkSrc(const std::string& src);

Json errlJson(ErrlEntry* errl);
void printErrl(std::ostream& os, const Json& errl, const std::string& indent = "  ");
// A committed log with its 1-based number, oldest first.
Json committedJson(std::size_t number, gardhost::Committed& c);
void printCommitted(std::ostream& os, const Json& c, bool detail);
std::size_t committedCount();
// The logs committed so far have been printed: finish leaves them out.
void committedShown();

// ---- decoded views shared between commands
// Service-processor record (32 bytes) of `unit`.
Json recordJson(uint32_t unit, bool present, const unsigned char* rec);
void printRecord(std::ostream& os, const Json& rec);
// Both records as the library reads them (GardReadVPD).
Json readRecords(Result& r);
void printRecords(std::ostream& os, const Json& records);
// The used unit-table entries (GardGetVpdConfigData) with serial and SRC text.
Json unitRows(Result& r);
void printUnitRows(std::ostream& os, const Json& rows);
// The used stored error-log slots, read through the gard file operations.
Json storedSlots(Result& r);
// One line per slot, or every error log in full with `detail`.
void printSlots(std::ostream& os, const Json& slots, bool detail = false);
// Reads `size` bytes of gard file `fileId` through the library's file operations.
ErrlEntry* readGardFile(int fileId, std::vector<unsigned char>& image, unsigned int size);

// Image decoders (also used by inspect), on the library's own layouts.
// Anomalies found are appended.
Json decodeUnitImage(const unsigned char* image, std::vector<std::string>& anomalies);
Json decodeErrlImage(const unsigned char* image, std::vector<std::string>& anomalies);

// ---- command groups
void addStatus(CLI::App& app);
void addUnits(CLI::App& app);
void addProcessors(CLI::App& app);
void addSystem(CLI::App& app);
void addErrlogs(CLI::App& app);
void addPlatform(CLI::App& app);
void addInspect(CLI::App& app);
void addDemo(CLI::App& app);

// Status of the current state directory as JSON and text (also used by demo).
Json statusJson(Result& r);
void printStatus(std::ostream& os, const Json& s);

}  // namespace gardcli

#endif
