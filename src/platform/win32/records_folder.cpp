// The service's records folder over Windows: an access list of its own, so
// that only the service and administrators change what is in it and every
// user can read it; each file opened for one write and let go after it, so
// that readers of every kind can open it between writes; and written only
// when it is a plain file of the service's own.
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
const char* const kFolderFailed = "No se pudo preparar la carpeta de registros %s\n";

// The folder's own access list, nothing inherited from ProgramData (where
// every user may create files, and owns what he creates). Each entry: who,
// what, and where (the folder itself, the files made in it, or both).
struct FolderEntry {
    WELL_KNOWN_SID_TYPE who;
    DWORD rights;
    DWORD where;
};
const FolderEntry kFolderEntries[] = {
    // The system (the installer) and administrators: everything.
    {WinLocalSystemSid, FILE_ALL_ACCESS, CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE},
    {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE},
    // The service (LocalService), in the folder: list it and add files to
    // it; no subfolders, no deleting.
    {WinLocalServiceSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | FILE_ADD_FILE, 0},
    // The service, in each file made there: read it (its length, before
    // each record) and write it (append records, cut a torn one back out);
    // neither delete it nor change who may use it.
    {WinLocalServiceSid, FILE_GENERIC_READ | FILE_GENERIC_WRITE, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE},
    // Every user: read the folder and its files, and nothing more.
    {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
     CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE},
};

// The folder's path, asked of the shell once: a service's environment need
// not name ProgramData.
const char* folderPath() {
    static char path[MAX_PATH] = "";
    if (path[0] == '\0') recordsFolderPath(path, sizeof path);
    return path;
}

bool makeSid(WELL_KNOWN_SID_TYPE type, BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
    DWORD size = sizeof sid;
    return ::CreateWellKnownSid(type, nullptr, sid, &size) != 0;
}

// Gives the folder its own access list and administrators as its owner
// (someone who made the folder before the install may not keep it). Files
// already there get the entries meant for files too.
bool lockDown(const char* folder) {
    FolderSecurity security;
    if (!buildFolderSecurity(security)) return false;
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "%s", folder);
    return ::SetNamedSecurityInfoA(path, SE_FILE_OBJECT, security.information, security.owner,
                                   nullptr, reinterpret_cast<ACL*>(security.list),
                                   nullptr) == ERROR_SUCCESS;
}

// Whether the file's owner is the service's own account (the process's),
// the system or the administrators: no user can have put it there.
bool ownedByTheService(HANDLE file) {
    alignas(SECURITY_DESCRIPTOR) BYTE descriptor[512];
    DWORD needed = 0;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, descriptor,
                                   sizeof descriptor, &needed) ||
        !::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr) {
        return false;
    }
    HANDLE token = nullptr;
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        const bool known = ::GetTokenInformation(token, TokenUser, user, sizeof user, &needed);
        ::CloseHandle(token);
        if (known && ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)) return true;
    }
    const WELL_KNOWN_SID_TYPE trusted[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    for (WELL_KNOWN_SID_TYPE type : trusted) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        if (makeSid(type, sid) && ::EqualSid(owner, sid)) return true;
    }
    return false;
}

// A plain file: no reparse point (a link to elsewhere), one name only (no
// hard link to a file elsewhere), and the service's own.
bool isPlainFileOfTheService(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(file, &information)) return false;
    if ((information.dwFileAttributes &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    return information.nNumberOfLinks == 1 && ownedByTheService(file);
}

}  // namespace

bool buildFolderSecurity(FolderSecurity& security) {
    ACL* acl = reinterpret_cast<ACL*>(security.list);
    if (!::InitializeAcl(acl, sizeof security.list, ACL_REVISION)) return false;
    for (const FolderEntry& entry : kFolderEntries) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        if (!makeSid(entry.who, sid) ||
            !::AddAccessAllowedAceEx(acl, ACL_REVISION, entry.where, entry.rights, sid)) {
            return false;
        }
    }
    // Protected: nothing inherited from ProgramData stays or comes later.
    security.information = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                           PROTECTED_DACL_SECURITY_INFORMATION;
    return makeSid(WinBuiltinAdministratorsSid, security.owner);
}

bool recordsFolderPath(char* path, std::size_t size) {
    char common[MAX_PATH];
    if (::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common) != S_OK) {
        return false;
    }
    return std::snprintf(path, size, "%s%s", common, kFolderName) < static_cast<int>(size);
}

bool prepareRecordsFolder() {
    char folder[MAX_PATH];
    const bool named = recordsFolderPath(folder, sizeof folder);
    const bool ready = named &&
                       (::CreateDirectoryA(folder, nullptr) ||
                        ::GetLastError() == ERROR_ALREADY_EXISTS) &&
                       lockDown(folder);
    if (!ready) std::fprintf(stderr, kFolderFailed, named ? folder : "TORVEX");
    return ready;
}

namespace recordsFolder {

std::FILE* openForAppend(const char* fileName, char* buffer, std::size_t size, Refusal& refusal) {
    refusal = Refusal::Failed;
    const char* folder = folderPath();
    if (folder[0] == '\0') return nullptr;
    ::CreateDirectoryA(folder, nullptr);  // normally made by the install already
    char path[MAX_PATH];
    if (std::snprintf(path, sizeof path, "%s\\%s", folder, fileName) >= static_cast<int>(sizeof path)) {
        return nullptr;
    }
    // Read sharing lets others read it meanwhile; write and delete sharing
    // are refused, so that no other program can cut or remove a record
    // being written. Read access as well: the length is taken before each
    // record. A reparse point under the name is opened itself, not followed,
    // and then left alone.
    const HANDLE file = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_SHARING_VIOLATION) refusal = Refusal::InUse;
        return nullptr;
    }
    if (!isPlainFileOfTheService(file)) {
        ::CloseHandle(file);
        refusal = Refusal::NotPlain;
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

bool readIfChanged(const char* fileName, char* buffer, std::size_t size, std::size_t& length,
                   FileVersion& version) {
    length = 0;
    FileVersion now;
    char path[MAX_PATH];
    const bool named = folderPath()[0] != '\0' &&
                       std::snprintf(path, sizeof path, "%s\\%s", folderPath(), fileName) <
                           static_cast<int>(sizeof path);
    // The user's file: whoever edits it keeps it open as he likes. A
    // reparse point under the name is opened itself and not read.
    const HANDLE file = named ? ::CreateFileA(path, GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                              nullptr)
                              : INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION information;
    if (file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0) {
        now.length = static_cast<std::int64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
        now.modified = static_cast<std::int64_t>(information.ftLastWriteTime.dwHighDateTime) << 32 |
                       information.ftLastWriteTime.dwLowDateTime;
    }
    const bool changed = now.length != version.length || now.modified != version.modified;
    for (DWORD got = 1; changed && now.length >= 0 && got > 0 && length < size;) {
        const DWORD asked = static_cast<DWORD>(size - length);
        if (!::ReadFile(file, buffer + length, asked, &got, nullptr)) break;
        length += got;
    }
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    version = now;
    return changed;
}

bool diskSpace(std::uint64_t& available, std::uint64_t& total) {
    ULARGE_INTEGER free, all;
    if (folderPath()[0] == '\0' || !::GetDiskFreeSpaceExA(folderPath(), &free, &all, nullptr)) {
        return false;
    }
    available = free.QuadPart;
    total = all.QuadPart;
    return true;
}

}  // namespace recordsFolder
