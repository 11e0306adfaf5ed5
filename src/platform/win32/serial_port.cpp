// The serial port over the Windows communications functions: synchronous
// reads that give up after 500 ms of silence, 8N1 at the chosen speed, and
// everything else on the line left as the port has it.
#include "platform/win32/windows_api.h"

#include <algorithm>
#include <cstring>

#include "platform/read_ahead.h"
#include "platform/serial_port.h"

namespace {

constexpr std::size_t kDevicePathSize = 30;
const char kDevicePrefix[] = "\\\\.\\";  // \\.\ reaches COM10 and above as well
constexpr std::size_t kDevicePrefixLength = sizeof kDevicePrefix - 1;
const char kRequest[] = "I\r\n";
constexpr DWORD kRequestLength = sizeof kRequest - 1;
constexpr DWORD kReplyTimeoutMs = 500;

HANDLE handleOf(const SerialPort& port) {
    return reinterpret_cast<HANDLE>(port.handle);
}

DWORD lineSpeed(int baudRate) {
    switch (baudRate) {
        case 9600: return CBR_9600;
        case 19200: return CBR_19200;
        case 4800: return CBR_4800;
        default: return CBR_38400;
    }
}

// The time-outs make a ReadFile of one byte return at once when one is
// buffered, or wait up to 500 ms for it. The rest the driver holds is then
// read with a count of exactly that: Windows would return a larger count at
// once with what is buffered, but Wine waits for the whole count until the
// 500 ms have passed, which would end every reply half a second late. A read
// that fails means the line is gone, as when the adapter was pulled out (the
// next period's open then starts afresh); what it brought comes first.
serial::DriverRead readDriver(SerialPort& port, char* space, std::size_t room) {
    const HANDLE handle = handleOf(port);
    DWORD first = 0;
    if (!::ReadFile(handle, space, 1, &first, nullptr)) return {first, true};
    if (first == 0) return {0, false};  // silence: the reply has ended
    // Also clears a line error (noise, say), which would otherwise fail the
    // next read on a port set to abort on errors and pass for a lost line.
    DWORD errors = 0;
    COMSTAT held;
    if (!::ClearCommError(handle, &errors, &held) || held.cbInQue == 0) return {1, false};
    const DWORD wanted = std::min<DWORD>(held.cbInQue, static_cast<DWORD>(room - 1));
    DWORD rest = 0;
    const BOOL read = ::ReadFile(handle, space + 1, wanted, &rest, nullptr);
    return {1 + rest, !read};
}

}  // namespace

namespace serial {

bool open(SerialPort& port, const char* portName) {
    char path[kDevicePathSize];
    const std::size_t nameLength = std::strlen(portName);
    if (kDevicePrefixLength + nameLength >= kDevicePathSize) return false;
    std::memcpy(path, kDevicePrefix, kDevicePrefixLength);
    std::memcpy(path + kDevicePrefixLength, portName, nameLength + 1);

    // Share mode 0: no other program may hold the port while we log.
    const HANDLE handle = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    port.handle = reinterpret_cast<std::intptr_t>(handle);
    port.isOpen = true;
    port.lineLost = false;
    return true;
}

ConfigureResult configure(SerialPort& port, int baudRate) {
    const HANDLE handle = handleOf(port);

    // A read returns what is buffered at once, otherwise waits for the first
    // byte, and gives up with nothing after 500 ms. Writes never time out.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReplyTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(handle, &timeouts)) return ConfigureResult::TimeoutsRejected;

    DCB line;
    std::memset(&line, 0, sizeof line);
    line.DCBlength = sizeof line;
    if (!::GetCommState(handle, &line)) return ConfigureResult::StateUnreadable;

    // Flow control, DTR/RTS and special characters stay as the port reported.
    line.DCBlength = sizeof line;
    line.BaudRate = lineSpeed(baudRate);
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    if (!::SetCommState(handle, &line)) return ConfigureResult::StateRejected;
    return ConfigureResult::Ok;
}

bool sendRequest(SerialPort& port) {
    DWORD written = 0;
    const BOOL succeeded = ::WriteFile(handleOf(port), kRequest, kRequestLength, &written, nullptr);
    return succeeded && written == kRequestLength;
}

bool readByte(SerialPort& port, char& byte) {
    return takeByte(port, byte, readDriver);
}

void close(SerialPort& port) {
    if (!port.isOpen) return;
    ::CloseHandle(handleOf(port));
    dropReadAhead(port);
    port.isOpen = false;
    port.handle = -1;
}

}  // namespace serial
