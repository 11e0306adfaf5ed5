// The system PATH in the registry, edited entry by entry: the rest of the
// value, its variables such as %SystemRoot% and its type are kept.
#include "platform/win32/windows_api.h"

#include <string>

#include "platform/win32/system_path.h"

namespace {

const char kEnvironmentKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char kPathValue[] = "Path";

// Entries are compared as Windows compares paths: without case, and a
// trailing backslash makes no difference.
bool sameFolder(std::string entry, std::string folder) {
    for (std::string* text : {&entry, &folder}) {
        while (!text->empty() && text->back() == '\\') text->pop_back();
    }
    return entry.size() == folder.size() && ::lstrcmpiA(entry.c_str(), folder.c_str()) == 0;
}

bool readPath(HKEY key, std::string& path, DWORD& type) {
    DWORD size = 0;
    if (::RegQueryValueExA(key, kPathValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        type = REG_EXPAND_SZ;  // no PATH at all yet
        path.clear();
        return true;
    }
    std::string value(size + 1, '\0');
    if (::RegQueryValueExA(key, kPathValue, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]),
                           &size) != ERROR_SUCCESS) {
        return false;
    }
    value.resize(size);
    while (!value.empty() && value.back() == '\0') value.pop_back();
    path = value;
    return true;
}

// Rewrites the value with `folder` added (or every entry naming it removed).
bool editSystemPath(const char* folder, bool add) {
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        &key) != ERROR_SUCCESS) {
        return false;
    }
    std::string path, edited;
    DWORD type = REG_EXPAND_SZ;
    bool found = false;
    bool done = readPath(key, path, type);
    bool first = true;
    for (std::size_t start = 0; done && !path.empty() && start <= path.size();) {
        std::size_t end = path.find(';', start);
        if (end == std::string::npos) end = path.size();
        const std::string entry = path.substr(start, end - start);
        const bool names = sameFolder(entry, folder);
        found = found || names;
        if (add || !names) {
            edited += (first ? "" : ";") + entry;
            first = false;
        }
        start = end + 1;
    }
    if (add && !found) {
        const bool separated = edited.empty() || edited.back() == ';';
        edited += (separated ? "" : ";") + std::string(folder);
    }
    if (done && edited != path) {
        done = ::RegSetValueExA(key, kPathValue, 0, type, reinterpret_cast<const BYTE*>(edited.c_str()),
                                static_cast<DWORD>(edited.size() + 1)) == ERROR_SUCCESS;
        // Consoles started from Explorer from now on see the new value.
        DWORD_PTR ignored;
        ::SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                              reinterpret_cast<LPARAM>("Environment"), SMTO_ABORTIFHUNG, 2000,
                              &ignored);
    }
    ::RegCloseKey(key);
    return done;
}

}  // namespace

bool addToSystemPath(const char* folder) {
    return editSystemPath(folder, true);
}

bool removeFromSystemPath(const char* folder) {
    return editSystemPath(folder, false);
}
