// The logging run: settings, port set-up, one record per sampling period
// (opening the port again after the line was lost), and the orderly end when
// the user stops it.
#pragma once

#include <cstdio>

// Returns the exit status: 0 after the help text or the user's stop, 1 after
// any error (or when a record could not be written).
int runLogger(int argc, char** argv, std::FILE* records = stdout, std::FILE* messages = stderr);
