// Where a port name leads on this system.
#pragma once

#include <cstddef>

constexpr std::size_t kDevicePathSize = 256;

// "COMn" (n from 1) is /dev/ttyS(n-1); a name without "/" is a device under
// /dev; anything else is a path. Each component takes the directory entry
// that matches it exactly, else one that matches it ignoring case.
// False when the path would not fit in kDevicePathSize characters.
bool resolveDevicePath(const char* portName, char* path);
