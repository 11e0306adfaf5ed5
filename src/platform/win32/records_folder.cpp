// The service's records folder over Windows: each file opened for one write
// and let go after it, so that readers of every kind can open it between writes.
#include "platform/win32/windows_api.h"

#include <aclapi.h>
#include <shlobj.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/records_folder.h"
#include "platform/win32/records_folder_setup.h"

namespace {

const char kFolderName[] = "\\TORVEX";

// LocalService may add files and write them, and so may whatever it makes.
bool grantServiceAccount(char* folder) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (!::CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &sidSize)) return false;
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoA(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &current, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    EXPLICIT_ACCESSA access;
    std::memset(&access, 0, sizeof access);
    access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
    PACL granted = nullptr;
    bool done = ::SetEntriesInAclA(1, &access, current, &granted) == ERROR_SUCCESS &&
                ::SetNamedSecurityInfoA(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, granted, nullptr) == ERROR_SUCCESS;
    ::LocalFree(granted);
    ::LocalFree(descriptor);
    return done;
}

}  // namespace

bool recordsFolderPath(char* path, std::size_t size) {
    // Asked of the shell: a service's environment need not name ProgramData.
    char common[MAX_PATH];
    if (::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common) != S_OK) {
        return false;
    }
    return std::snprintf(path, size, "%s%s", common, kFolderName) < static_cast<int>(size);
}

bool prepareRecordsFolder() {
    char folder[MAX_PATH];
    if (!recordsFolderPath(folder, sizeof folder)) return false;
    if (!::CreateDirectoryA(folder, nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    return grantServiceAccount(folder);
}

namespace recordsFolder {

std::FILE* openForAppend(const char* fileName, char* buffer, std::size_t size, Refusal& refusal) {
    refusal = Refusal::Failed;
    char path[MAX_PATH];
    if (!recordsFolderPath(path, sizeof path)) return nullptr;
    ::CreateDirectoryA(path, nullptr);  // normally made by the install already
    const std::size_t folderLength = std::strlen(path);
    if (std::snprintf(path + folderLength, sizeof path - folderLength, "\\%s", fileName) >=
        static_cast<int>(sizeof path - folderLength)) {
        return nullptr;
    }
    // Read sharing lets others read it meanwhile; write and delete sharing
    // are refused, so that no other program can cut or remove a record
    // being written. Read access as well: the length is taken before each
    // record.
    const HANDLE file = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_SHARING_VIOLATION) refusal = Refusal::InUse;
        return nullptr;
    }
    const int descriptor = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file),
                                             _O_APPEND | _O_TEXT);
    if (descriptor == -1) {
        ::CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(descriptor, "a");
    if (stream == nullptr) {
        ::_close(descriptor);
        return nullptr;
    }
    std::setvbuf(stream, buffer, _IOFBF, size);
    refusal = Refusal::None;
    return stream;
}

// A reader that lets nobody write meanwhile (type, more <) could not open a
// file held for writing; opened for each write, it is held only for a moment.
bool heldBetweenWrites() {
    return false;
}

}  // namespace recordsFolder
