// The folder that the service keeps its records and log in (on Windows,
// TORVEX in the folder for all users' program data).
#pragma once

#include <cstddef>
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

}  // namespace recordsFolder
