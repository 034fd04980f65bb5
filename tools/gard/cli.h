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
#include <string_view>
#include <utility>
#include <vector>

#include "gard/gard.h"
#include "platform/errl.h"
#include "platform/host/host.h"

namespace gardcli {

using Json = nlohmann::ordered_json;  // fields stay in the order written

// Exit statuses, defined here only (docs/tool.md lists them):
//   0 what the command asked for happened
//   1 a read or write failed: the library returned an error log, or
//     committed one in place of an answer, which is then shown as unknown
//   2 bad input, or a refused confirmation: nothing changed
//   3 decode found anomalies
//   4 the library answered normally but did not do it (refused, not this
//     processor, not found, a result word or GARD_RC not 0); one line says why
//   5 the tool's own output could not be written
// With --json stdout holds one JSON object whatever the status but 5.
enum Exit { kOk = 0, kErrl = 1, kUsage = 2, kAnomaly = 3, kNotDone = 4, kOutput = 5 };

// Module id the tool passes to the gard file operations it calls itself.
constexpr gardModId kToolModId = 0xE0;

// What a command does to the state directory, for its lock: Reads takes a
// shared lock (or none where none can be made); Asks calls library queries,
// which may repair records or create files, so it locks like Changes, but on
// a read-only state directory it runs on a scratch copy; Changes must write.
enum class Access { Reads, Asks, Changes };

struct Options {
    std::string stateDir;     // --state; empty: environment, then XDG
    bool stateGiven = false;  // --state was given, even as ""
    std::string spText;       // --sp as given
    bool spGiven = false;
    int sp = -1;              // --sp, else GARD_HOST_SP; -1: position 0
    bool json = false;
    Access access = Access::Changes;  // what the command does to the state directory
    bool yes = false;         // --yes: destructive commands skip the question
    bool dryRun = false;      // --dry-run: say what would change, change nothing
    std::string schema;       // the JSON schema of the chosen command's output ("units-list")
};
Options& opts();

// The command chosen on the command line; run after parsing succeeded.
std::function<int()>& action();

// Bad input: one line on stderr, exit 2, nothing changed.
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// An output the command was asked to write (a page, say) could not be
// written: one line on stderr, exit 5; what the command did stands.
struct OutputFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --state and --sp, on the top level and on every command that uses a state.
void addStateOptions(CLI::App* app);
// An option or argument given as "" is bad input (a script's unset
// variable, say), not one left out: refuseEmpty adds that check to every
// one below `app` but those allowEmpty marked, which take "" as a value.
CLI::Option* allowEmpty(CLI::Option* option);
void refuseEmpty(CLI::App* app);
// --yes and --dry-run of a destructive command.
void addConfirmOptions(CLI::App* app);

// A leaf command with --help, an example, and the shared options.
// `stateful` adds --state and --sp.
CLI::App* command(CLI::App* parent, const std::string& name, const std::string& help,
                  const std::string& example, bool stateful = true);

// ---- input
// Every number on the command line and in the environment: decimal, or hex
// after 0x; leading zeros stay decimal ("010" is 10).
uint32_t parseNumber(const std::string& text, const std::string& what,
                     uint32_t max = 0xFFFFFFFFu);
uint16_t parseUnitId(const std::string& text);  // a unit-table unit id, 1 to 0xffff
uint32_t parseUnitState(const std::string& text);  // name or any 32-bit number
uint32_t parseQelState(const std::string& text);   // name or 0 to 0xff
bool parseOnOff(const std::string& text, const std::string& what);
// The first and last microsecond a time names (`option` names it in the
// one line of Usage, which quotes the whole value): ISO 8601 to the
// precision given, in UTC or with an offset up to 23:59 ("2026-12-07",
// "2026-12-07T21:36:14.5Z", "2026-12-07 21:36+02:00"), a date that exists
// from 1970 on; "now"; or decimal N s/m/h/d/w ago, not before 1970.
std::pair<uint64_t, uint64_t> parseTime(const std::string& text, const std::string& option);
std::vector<uint8_t> parseHex(const std::string& text, const std::string& what);

// ---- bytes that may not be text (SRC text, serials, paths, platform values)
// Printable UTF-8 is shown as it is; every other byte (control characters,
// bytes that are not UTF-8) as \xHH, and a backslash as \\. JSON gets that
// escaped form under the field's name, and, when it differs from the bytes,
// all bytes as hex under the name + "Hex".
std::string shown(std::string_view bytes);
bool plainText(std::string_view bytes);
void putBytes(Json& obj, const std::string& key, std::string_view bytes);
// The same for a list of lines: an array, and the hex array beside it when
// any line is not plain text.
void putLines(Json& obj, const std::string& key, const std::vector<std::string>& lines);

// ---- names
// "1 used entry", "2 used entries": a count with the word that fits it.
std::string counted(std::size_t n, const std::string& one, const std::string& many);
std::string hex(uint32_t v, int digits = 0);  // "0x1f"; zero-padded to `digits`
std::string hexBytes(const unsigned char* p, std::size_t n);
std::string unitStateName(uint32_t state);  // "garded"; "unknown" for other values
std::string qelStateName(uint32_t state);
std::string vpdResultName(uint32_t code);
std::string usableName(int code);
std::string failoverName(uint32_t status);
std::string setResultName(uint32_t code);
// Microseconds since 1970 as ISO 8601 UTC: "2026-12-07T21:51:14.359854Z".
std::string utcTime(uint64_t micros);

// ---- state directory
// The state directory the options and environment choose (Usage when none).
std::string stateDirChoice();
// Why `dir` cannot be used as a state directory, or made one; "" when it can.
std::string stateDirProblem(const std::string& dir);
// Usage when `path`, an output the command was asked to write (`option`
// names it), is the state directory or an entry beneath it, however it is
// spelled (.., links of its directories): gard writes nothing there on request.
void refuseInsideState(const std::string& path, const std::string& option);
// What the parsed command does to the state directory (see openState).
Access commandAccess(CLI::App& app);
// Resolves the state directory; creates it unless --state named it (Usage
// when it cannot be made, when --state names none, or when an existing
// directory holds other things), takes its lock for the rest of the
// run (shared for commands that only read, else exclusive; Usage when the
// lock file is unusable; a read-only directory is read without it, or
// through a scratch copy for library queries), selects --sp and seeds the
// defaults.
void openState();
bool stateOpen();
// Lets go of the state directory's lock and takes it again: what follows is
// a call of its own in the change history (the demo's steps).
void newCall();
// Ends the command's call (as settleState) and lets go of the lock for
// good: a command that goes on reading (history --follow) holds up no other.
void letGoOfState();
// Drops what the command changed so far: none of it is made.
void dropChanges();
// A new directory under $TMPDIR (else /tmp); Usage when it cannot be made.
std::string makeTempDir(const std::string& prefix);
// The same, removed with all it holds when the tool exits or SIGINT,
// SIGTERM or SIGHUP ends it (one at a time; dropScratch removes it sooner).
std::string scratchDir(const std::string& prefix);
void dropScratch();
// A name the host platform keeps at the top of a state directory.
bool stateDirEntry(const std::string& name);
// A copy of the read-only state directory `dir` in a scratch directory, for
// library queries, which may repair records or create files: its own
// regular files and directories only (never through a symbolic link; what
// is neither is left out, said on stderr), at most 64 MiB and 10,000
// entries, else Usage naming what stopped it.
std::string readOnlyCopy(const std::string& dir);

// ---- results
// What a command hands back: JSON fields, the text screen, and the error
// logs the library returned (owned here until finish).
struct Result {
    Json out = Json::object();
    std::ostringstream text;
    std::vector<ErrlEntry*> errls;
    int code = kOk;
    std::string notDone;  // why the command did not do what it asked, in words
    std::string unknown;  // why an answer could not be read, in words (the first one)
    std::string notMade;  // why the command's changes were not made, where it settled them itself
    // With --json: "{ ... \"history\": [...]" was written already (a long
    // output streamed); finish() writes the other fields after it.
    bool streamedJson = false;

    Result() = default;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result();
    // Takes a handle the library returned; null is fine. What failed, in
    // words ("" for null).
    std::string take(ErrlEntry* errl);
    // Field `key` of `obj` could not be read: null, and obj.unknown.key says
    // why. The command then exits 1.
    void putUnknown(Json& obj, const std::string& key, const std::string& why);
};
// The version of schema `name` (tools/gard/schemas/NAME.schema.json), 0 for none.
int schemaVersion(const std::string& name);
// Prints the result (text or JSON) with the returned error logs and the logs
// committed since the state was opened, saves the trace; the exit status.
int finish(Result& r);
// obj[key] could not be read: null, and obj.unknown.key says why.
void putUnknown(Json& obj, const std::string& key, const std::string& why);
// A field putUnknown left null, for the text: "unknown (why)".
std::string unknownWords(const Json& obj, const std::string& key);
// Bad input or a tool failure that stopped a command before its result: one
// line on stderr, and with --json the error object on stdout; `status`.
int failed(int status, const std::string& why);
// The exit status once stdout is flushed: kOutput, with one line on
// stderr, when what was printed could not be written.
int flushed(int status);

// Since when the library's platform calls and commits are watched: a query
// that commits its failures and goes on to a default answer (the records,
// do-gard, usability, failover) gave no answer when one of them failed.
class Watch {
public:
    Watch();
    // Why, in words: the first error log committed since or platform call
    // made to fail, whichever came first; "" when neither happened.
    std::string trouble() const;
    // Why call `name` for `target` failed since, in words; "" when it did not.
    std::string failed(const std::string& name, const std::string& target) const;

private:
    std::size_t calls_;
};

// Destructive commands: true to go on. Asks on a terminal unless --yes;
// without a terminal and without --yes throws Usage. `what` says what
// would change, in a line, and may list it in lines after that (shown when
// asking and with --dry-run, left out of a one-line refusal); an empty `what` asks
// nothing and goes on (there is nothing to change, or the command refuses).
// With --dry-run, prints `what` and returns false.
bool confirm(Result& r, const std::string& what);
// The same for a command that has not opened the state yet: on a terminal
// the question is asked before the state directory's lock is taken, from
// what `what` says of the state read without it, so that an open question
// holds up no other command. Once the lock is held `what` is asked again,
// and when it says something else nothing is done: not done, the new words
// in the result. Without a question the state is opened first, as confirm.
bool confirmThenOpen(Result& r, const std::function<std::string()>& what);
// Points the platform at the state directory to read it without its lock
// and without library calls (for a question asked before the lock); false
// when the directory is not one in use that this command could change.
bool peekState();

// A caller's error log as firmware would pass one, its primary SRC carrying
// `src` (at most 32 characters; Usage otherwise).
ErrlEntry* callerErrl(const std::string& src);
void checkSrc(const std::string& src);

Json errlJson(ErrlEntry* errl);
// An SRC's text (its JSON form's ascii) without the spaces that pad it.
std::string srcText(const Json& src);
void printErrl(std::ostream& os, const Json& errl, const std::string& indent = "  ");
// A committed log with its 1-based number (those rotated away counted), and
// when, where and by what it was committed (null for logs committed before
// that was kept).
Json committedJson(gardhost::Committed& c);
void printCommitted(std::ostream& os, const Json& c, bool detail);
// "committed <time> on sp1 by gard (pid 12)", or why that is not known.
std::string committedWhen(const Json& c);
std::size_t committedCount();
// The logs committed so far have been printed: finish leaves them out.
void committedShown();
// Ends the command's call on the state directory: commits its changes, or,
// for a command that only reads (and a dry run), drops them, adding to
// `notWritten` what it would have written, in words. Why the changes were
// not made ("" when they were, or there were none).
std::string settleState(std::vector<std::string>& notWritten);
// A staged change in the history's words.
std::vector<std::string> stagedWords(const gardhost::StagedChange& change);
// The logs committed since they were last marked shown, read without
// reading the others.
std::vector<gardhost::Committed> committedUnshown();
// Why a part of the committed logs cannot be read, or "".
std::string committedUnreadable();

// ---- decoded views shared between commands
// Service-processor record (32 bytes) of `unit`.
Json recordJson(uint32_t unit, bool present, const unsigned char* rec);
void printRecord(std::ostream& os, const Json& rec);
// Both records as the library reads them (GardReadVPD); a record whose
// presence query failed is unknown.
Json readRecords(Result& r);
// Why the answers drawn from these records are unknown; "" when they are not.
std::string recordsUnknown(const Json& records);
// Why a present processor's keyword cannot be read as the library reads it
// (missing, empty, over 32 bytes), which leaves every record query at its
// default; "" when both can.
std::string recordsTrouble();
// Why the library answers usability (and, with `position`, failover)
// without judging: the system type, this processor's position; "" when it judges.
std::string notJudged(bool position);
// obj[key] = answer, or unknown with `why` when that is not empty.
void answerOrUnknown(Result& r, Json& obj, const std::string& key, const Json& answer, const std::string& why);
// Why a record query's answer is a default: what failed since `watch`,
// else, unless `notJudgedWhy` says the records were not asked, an
// unreadable keyword.
std::string queryTrouble(const Watch& watch, const std::string& notJudgedWhy);
// usable and usableName (not-judged where the library did not judge), or
// unknown; why the library did not judge ("" when it did), as notJudged.
std::string putUsable(Result& r, Json& obj, int code, const Watch& watch);
// failover and failoverName (not-checked where the library did not check),
// or unknown; why the library did not check ("" when it did), as notJudged.
std::string putFailover(Result& r, Json& obj, uint32_t status, const Watch& watch);
void printRecords(std::ostream& os, const Json& records);
// The used unit-table entries (GardGetVpdConfigData) with serial and SRC
// text, as obj.units (unknown when the table could not be read).
void putUnitRows(Result& r, Json& obj);
void printUnitRows(std::ostream& os, const Json& obj);
// The used stored error-log slots, read through the gard file operations,
// as obj.storedErrls (unknown when the file could not be read).
void putStoredSlots(Result& r, Json& obj);
// One line per slot of obj[key], or every error log in full with `detail`.
void printSlots(std::ostream& os, const Json& obj, const std::string& key, bool detail = false);
// Reads `size` bytes of gard file `fileId` through the library's file operations.
ErrlEntry* readGardFile(int fileId, std::vector<unsigned char>& image, unsigned int size);
// The used unit-table entries read straight from the state directory,
// beside the platform, so that a command's own look at the table is not one
// of its file calls (a fault's "#N" counts only the library's); [] when
// there is no table yet, null when it cannot be read whole (`why` says why;
// `tooShort`: because the file is shorter than the table, as tableTooShort).
Json peekUnitEntries(std::string* why = nullptr, bool* tooShort = nullptr);
// What brings back a unit table too short to read.
inline constexpr const char* kRemakeTable =
    "gard units reset --yes makes a new, empty table (the entries in it are lost; gard decode shows them first)";
// Why the unit-table file is too short for the library to read, with what
// to do; "" when it is not (missing, whole, or unreadable for another reason).
std::string tableTooShort();
// Removes a unit-table file too short to read, so that the library's next
// open makes a new one; false with `why` when it is not short or stays.
bool removeShortTable(std::string& why);
// The state byte of a processor's keyword as stored (no platform call);
// -1 when the keyword is missing or too short.
int keywordState(uint32_t unit);

// A number the host keeps under `name` (1, 2 or 4 bytes, host byte order);
// false when there is none.
bool hostNumber(const std::string& name, uint32_t& value);
// Why the host has no value `name`: "is missing", or "cannot be read
// (permission denied)" and the like.
std::string valueProblem(const std::string& name);
// Why the host's value `name` cannot be read although it is there (a
// directory, no permission); "" when it reads or is missing.
std::string unreadableValue(const std::string& name);
// An errno in words, as the C library says it, lower case ("permission denied").
std::string errnoWords(int err);
// Why this processor's position (dscv/QelPosition) names no record, with
// the command that sets it; "" when it is 0 or 1, held in `pos`.
std::string positionProblem(uint32_t& pos);
// Why the record of `unit` did not take `state` on this processor, in
// words, from the registry, policies and records as they stand.
std::string qelRefusal(uint32_t unit, uint32_t state);

// Rows as an aligned table, the first row the header.
void printTable(std::ostream& os, const std::vector<std::vector<std::string>>& rows,
                const std::string& indent);

// Image decoders (also used by decode), on the library's own layouts.
// Anomalies found are appended.
Json decodeUnitImage(const unsigned char* image, std::vector<std::string>& anomalies);
Json decodeErrlImage(const unsigned char* image, std::vector<std::string>& anomalies);
using Decoder = Json (*)(const unsigned char*, std::vector<std::string>&);
// Field `field` of gard file `fileId` decoded, read through the library's
// file operations, as obj[key]; unknown when the read failed (its error log
// goes to `r`). False then.
bool readDecoded(Result& r, Json& obj, const std::string& key, int fileId, unsigned int size, Decoder decode,
                 const char* field);

// ---- command groups
void addStatus(CLI::App& app);
void addUnits(CLI::App& app);
void addProcessors(CLI::App& app);
void addSystem(CLI::App& app);
void addErrlogs(CLI::App& app);
void addPlatform(CLI::App& app);
void addDecode(CLI::App& app);
void addDemo(CLI::App& app);
void addVersion(CLI::App& app);
void addHistory(CLI::App& app);
void addRestore(CLI::App& app);  // restore and diff
int versionAction();  // gard --version
// The command table: a bash completion script, and the commands one a line.
void printCompletion(CLI::App& app);
void printCommands(CLI::App& app, const std::string& path);

// Status of the current state directory as JSON and text (also used by demo).
Json statusJson(Result& r);
void printStatus(std::ostream& os, const Json& s);

}  // namespace gardcli

#endif
