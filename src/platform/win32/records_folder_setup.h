// The service's records folder as its installer sees it.
#pragma once

#include <cstddef>

// %ProgramData%\TORVEX, without a trailing backslash; false when Windows
// does not say where the program data of all users goes.
bool recordsFolderPath(char* path, std::size_t size);

// Makes the folder if it is missing and lets the service's account
// (LocalService) add files there and write to them. False when it cannot.
bool prepareRecordsFolder();
