// Port names arrive upper-cased, as on Windows: resolve them to devices so
// that Windows-style names and upper-cased paths both work here.
#include "platform/posix/device_path.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {

// "COMn" with n from 1 names the n-th serial port of the machine.
bool comPortNumber(const char* name, int& number) {
    if (std::strncmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return false;
    number = 0;
    for (const char* c = name + 3; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || number > 9999) return false;
        number = number * 10 + (*c - '0');
    }
    return true;
}

// Appends one path component, taking the directory entry that matches it
// without regard to case when no entry matches it exactly.
bool appendComponent(char* path, std::size_t& length, const char* component,
                     std::size_t componentLength) {
    if (length + 1 + componentLength + 1 > kDevicePathSize) return false;
    if (length > 0 && path[length - 1] != '/') path[length++] = '/';
    const std::size_t directoryLength = length;
    std::memcpy(path + length, component, componentLength);
    length += componentLength;
    path[length] = '\0';
    struct stat info;
    if (::lstat(path, &info) == 0) return true;

    path[directoryLength] = '\0';
    DIR* directory = ::opendir(directoryLength == 0 ? "." : path);
    bool found = false;
    if (directory != nullptr) {
        while (const dirent* entry = ::readdir(directory)) {
            if (std::strlen(entry->d_name) == componentLength &&
                ::strncasecmp(entry->d_name, component, componentLength) == 0) {
                std::memcpy(path + directoryLength, entry->d_name, componentLength);
                found = true;
                break;
            }
        }
        ::closedir(directory);
    }
    if (!found) std::memcpy(path + directoryLength, component, componentLength);
    path[length] = '\0';
    return true;
}

}  // namespace

bool resolveDevicePath(const char* portName, char* path) {
    int number = 0;
    if (comPortNumber(portName, number)) {
        return std::snprintf(path, kDevicePathSize, "/dev/ttyS%d", number - 1) > 0;
    }
    // Absolute paths start at the root, relative ones in the working directory.
    std::size_t length = portName[0] == '/' ? 1 : 0;
    std::strcpy(path, portName[0] == '/' ? "/" : "");
    const char* rest = portName;
    if (std::strchr(portName, '/') == nullptr) {
        // A bare name such as TTYUSB0 is a device under /dev.
        std::strcpy(path, "/dev");
        length = 4;
    }
    while (*rest != '\0') {
        while (*rest == '/') ++rest;
        const char* end = rest;
        while (*end != '\0' && *end != '/') ++end;
        if (end > rest && !appendComponent(path, length, rest, static_cast<std::size_t>(end - rest))) {
            return false;
        }
        rest = end;
    }
    return length > 1;
}
