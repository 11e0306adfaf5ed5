// How a board's records files reach the fleet's central host, one pass at a
// time over one SSH session, and what the central host lets land.
//
// The pass, in four steps, each side reading the other's step whole before
// it writes its own, every header a line of fields separated by tabs:
//   board:   "TORVEX-FLEET 1\tPACE" then "SIZE\tNAME" for each file, then ""
//   central: "TORVEX-FLEET 1" then, per file in the same order,
//            "FROM\tMOST\tNAME" (send the bytes from FROM, at most MOST of
//            them) or "-\tCODE\tTEXT\tNAME" (refused), then ""
//            or, for the whole pass, "-\tCODE\tTEXT" alone
//   board:   for each file it sends, "FROM\tLENGTH\tNAME" and LENGTH bytes,
//            then ""
//   central: per file sent, "LENGTH\tNAME" (the copy's length now) or
//            "-\tCODE\tTEXT\tNAME", then ""
// The copy's length on the central host is the board's read position: a
// board sends only what follows it, and the central host writes only whole
// record lines after it. Nothing on the central host is ever rewritten but
// a field-names file, which a new version replaces whole.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kFleetGreeting[] = "TORVEX-FLEET 1";
// The command a board asks the central host's sshd for: its forced command
// runs whatever is asked, and refuses anything else.
constexpr char kFleetCommand[] = "torvex-fleet-pass";
// The most files a board names in one pass, and the longest header line
// with its line feed: bounds on what the central host reads from a board.
constexpr std::size_t kFleetMaxFiles = 4096;
constexpr std::size_t kFleetMaxLine = 512;
constexpr std::size_t kFleetMaxFields = 4;
// A field-names file is a few lines a user writes.
constexpr std::uint64_t kFieldNamesMaxSize = 16384;
// A board's pace, in seconds, as it may announce it.
constexpr int kFleetMaxPaceS = 9999;

// Why the central host refuses a pass or a file. The text of each, with
// its values, is what both sides log.
enum class FleetRefusal {
    NotListed,    // the board was revoked, or never added
    Sessions,     // two passes of the board run already
    Protocol,     // what came is no pass of torvex-fleet send
    Idle,         // nothing came for too long
    Quota,        // the board's copies fill its quota
    Floor,        // the store's file system is down to its reserve
    TooManyFiles, // the board has as many copies as it may
    Store,        // the central host could not write
    Name,         // no records file by its name
    NotPlain,     // the copy is a folder, a link or no plain file
    Shorter,      // the board's file is shorter than the copy
    Offset,       // the board sends from elsewhere than the copy's end
    Content,      // a line that is no record
    TooLarge,     // a field-names file past its size
};

// The code of a refusal on the wire ("cuota"); nullptr past the list.
const char* fleetRefusalCode(FleetRefusal refusal);
// The refusal of a code; false when the code names none.
bool fleetRefusalOfCode(const char* code, FleetRefusal& refusal);
// Whether the refusal concerns the whole pass (not one file): the board
// tries again later, calmly, rather than at its pace.
bool refusesWholePass(FleetRefusal refusal);

// The refusal's text with its values (sizes, a position; those it does not
// use are left out), plain ASCII, never longer than the buffer.
void describeFleetRefusal(char* text, std::size_t size, FleetRefusal refusal,
                          std::uint64_t first = 0, std::uint64_t second = 0);

// `length` bytes that came from outside, for a log line: printable ASCII
// and UTF-8 as they are, anything else as \xHH, cut with "..." to fit.
void escapeForLog(char* text, std::size_t size, const char* bytes, std::size_t length);

// Splits a header line (its line feed gone) at its tabs, in place, into at
// most kFleetMaxFields fields; the number found, 0 when there are more.
std::size_t splitHeader(char* line, char* (&fields)[kFleetMaxFields]);

// A decimal count of at most 19 digits, nothing else; false otherwise.
bool parseCount(const char* text, std::uint64_t& value);

// "20G", "500M", "64K", "1T" or bytes; false for anything else.
bool parseByteSize(const char* text, std::uint64_t& value);

// Of `length` bytes of a records file, the whole lines that are records,
// from the first byte on: `whole` bytes of them. With `bad`, the line that
// begins at `whole` is no record (or has run past the longest record line
// without an end); otherwise the bytes from `whole` on are an unfinished
// line, shorter than the longest record line.
struct RecordLinesCheck {
    std::size_t whole = 0;
    bool bad = false;
};
RecordLinesCheck checkRecordLines(const char* bytes, std::size_t length);

// Whether a field-names file's content may land: text, no zero byte.
bool isFieldNamesText(const char* bytes, std::size_t length);
