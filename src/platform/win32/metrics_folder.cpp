// The metrics folder over Windows: the one the installer wrote in the
// registry (METRICS=FOLDER; torvexsvc metrics FOLDER), read again before
// each write so that a change needs no restart of the services.
#include "platform/metrics_folder.h"

#include "platform/win32/windows_api.h"

#include <aclapi.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/metrics_setup.h"

namespace {

const char kSettingsKey[] = "SOFTWARE\\TORVEX";
const char kFolderValue[] = "CarpetaMetricas";
// The 64-bit view, shared by the 32-bit and the 64-bit program.
constexpr REGSAM kView = KEY_WOW64_64KEY;
const char* const kFolderNotSet = "No se pudo preparar la carpeta de metricas %s (error %lu)\n";

bool pathOf(char (&path)[MAX_PATH], const char* fileName, const char* ending) {
    const char* folder = metricsFolder::path();
    return folder != nullptr &&
           std::snprintf(path, sizeof path, "%s\\%s%s", folder, fileName, ending) < MAX_PATH;
}

// Lets the service's account (LocalService) add, replace and remove files in
// the folder, beside what it already allows.
DWORD letTheServiceWrite(const char* folder) {
    ACL* current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "%s", folder);
    DWORD error = ::GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, &current, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return error;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    EXPLICIT_ACCESSA access = {};
    access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_ADD_FILE |
                                  FILE_DELETE_CHILD | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = OBJECT_INHERIT_ACE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    ACL* updated = nullptr;
    if (!::CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &size)) {
        error = ::GetLastError();
    } else {
        access.Trustee.ptstrName = reinterpret_cast<char*>(sid);
        error = ::SetEntriesInAclA(1, &access, current, &updated);
    }
    if (error == ERROR_SUCCESS) {
        error = ::SetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, updated, nullptr);
    }
    if (updated != nullptr) ::LocalFree(updated);
    ::LocalFree(descriptor);
    return error;
}

}  // namespace

namespace metricsFolder {

const char* path() {
    static char folder[MAX_PATH];
    DWORD size = sizeof folder;
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, kFolderValue,
                       RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, folder,
                       &size) != ERROR_SUCCESS) {
        return nullptr;
    }
    return folder[0] != '\0' ? folder : nullptr;
}

bool replaceFile(const char* fileName, const char* text, std::size_t length) {
    // windows_exporter reads only names ending in ".prom": never the temporary one.
    char temporary[MAX_PATH], final[MAX_PATH];
    if (!pathOf(temporary, fileName, ".tmp") || !pathOf(final, fileName, "")) return false;
    const HANDLE file = ::CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool whole = ::WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                       written == length;
    const bool closed = ::CloseHandle(file) != 0;
    if (whole && closed && ::MoveFileExA(temporary, final, MOVEFILE_REPLACE_EXISTING)) return true;
    ::DeleteFileA(temporary);
    return false;
}

void removeFile(const char* fileName) {
    char final[MAX_PATH];
    if (pathOf(final, fileName, "")) ::DeleteFileA(final);
}

}  // namespace metricsFolder

int setMetricsFolder(const char* folder) {
    HKEY key;
    DWORD error = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                                    KEY_SET_VALUE | kView, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS) {
        error = ::RegSetValueExA(key, kFolderValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder),
                                 static_cast<DWORD>(std::strlen(folder) + 1));
        ::RegCloseKey(key);
    }
    if (error == ERROR_SUCCESS && folder[0] != '\0') {
        if (!::CreateDirectoryA(folder, nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
            error = ::GetLastError();
        } else {
            error = letTheServiceWrite(folder);
        }
    }
    if (error == ERROR_SUCCESS) return 0;
    std::fprintf(stderr, kFolderNotSet, folder, static_cast<unsigned long>(error));
    return 1;
}
