// The service's records folder as its installer sees it.
#pragma once

#include "platform/win32/windows_api.h"

#include <cstddef>

// %ProgramData%\TORVEX, without a trailing backslash; false when Windows
// does not say where the program data of all users goes.
bool recordsFolderPath(char* path, std::size_t size);

// What the install sets on the folder: its owner, its access list, and
// which of them (SetNamedSecurityInfo's flags).
struct FolderSecurity {
    alignas(ACL) BYTE list[1024];
    BYTE owner[SECURITY_MAX_SID_SIZE];
    SECURITY_INFORMATION information;
};

// Administrators as the owner, and an access list of the folder's own, not
// inherited: the system and administrators change everything, the
// service's account (LocalService) adds files and writes them, users only
// read; files made there inherit it. False when Windows cannot build it.
bool buildFolderSecurity(FolderSecurity& security);

// Makes the folder if it is missing and gives it that security. False,
// with the message on standard error, when it cannot.
bool prepareRecordsFolder();
