// The folder that the service keeps its records and log in (on Windows,
// TORVEX in the folder for all users' program data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace recordsFolder {

// Why a file of the folder was not opened.
enum class Refusal {
    None,
    // Not a plain file of the service's own: a link or a reparse point, or
    // a file that someone else owns. Nothing is written through it.
    NotPlain,
    // Another program holds it open and lets nobody write meanwhile.
    InUse,
    // Any other failure (no folder, a full disk, no right to it).
    Failed,
};

// Opens the named file of the folder for appending, creating it (and the
// folder) when missing, with `buffer` as the stream's buffer (no allocation
// per open). Text mode: each line feed reaches the file as the system's line
// end. nullptr, and the reason in `refusal`, when it is not opened.
std::FILE* openForAppend(const char* fileName, char* buffer, std::size_t size, Refusal& refusal);

// Whether a file of the folder may stay open between writes. Where other
// programs cannot open a file held for writing (Windows, for readers that
// let nobody write meanwhile), each write opens its file and lets it go.
bool heldBetweenWrites();

// What tells a file's versions apart: its length and modification time.
struct FileVersion {
    std::int64_t length = -1;  // -1: missing, or not read yet
    std::int64_t modified = 0;
};

// Reads the folder's file `fileName` (a plain file of at most `size` bytes:
// the fields' names) into `buffer` when its version differs from `version`,
// which it then updates. True when it was read, or found missing (length 0)
// or too long (its first `size` bytes); false when it has not changed.
bool readIfChanged(const char* fileName, char* buffer, std::size_t size, std::size_t& length,
                   FileVersion& version);

// The bytes free to the service and in all on the folder's disk.
bool diskSpace(std::uint64_t& available, std::uint64_t& total);

}  // namespace recordsFolder
