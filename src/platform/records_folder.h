// The folder that the service keeps its records and log in (on Windows,
// TORVEX in the folder for all users' program data).
#pragma once

#include <cstdio>

namespace recordsFolder {

// Opens the named file of the folder for appending, creating it (and the
// folder) when missing. Other programs may open it for reading meanwhile.
// Text mode: each line feed reaches the file as the system's line end.
// nullptr when it cannot be opened.
std::FILE* openForAppend(const char* fileName);

}  // namespace recordsFolder
