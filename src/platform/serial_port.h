// The serial line to the instrument, as the logging run needs it.
// One implementation per operating system is chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes one read took from the driver beyond those handed out so far. They
// stay for the next reads exactly as the driver would have kept them (past a
// full reply they begin the next one) and go when the port is closed. 64
// bytes hold what a UART's FIFO or a USB adapter's packet hands over at once;
// a larger chunk takes one more read, which finds the rest already there.
constexpr std::size_t kReadAheadSize = 64;
struct ReadAhead {
    char bytes[kReadAheadSize];
    std::size_t next = 0;   // the next byte to hand out
    std::size_t end = 0;    // one past the last byte read
    bool lineGone = false;  // the read that brought them found the line gone
};

// The open port: an owned handle (a file descriptor or a Windows HANDLE),
// closed exactly once by serial::close. `lineLost` is raised by a read that
// found the line gone (a USB serial adapter pulled out, say), as opposed to
// one that only met silence; serial::open lowers it.
struct SerialPort {
    std::intptr_t handle = -1;
    bool isOpen = false;
    bool lineLost = false;
    ReadAhead readAhead;
};

// The step of serial::configure that failed, in the order they run.
enum class ConfigureResult {
    Ok,
    TimeoutsRejected,   // read time-outs could not be applied
    StateUnreadable,    // the line settings could not be read
    StateRejected,      // the line settings could not be applied
};

namespace serial {

// Opens the named port (upper case, at most 18 characters) for exclusive
// read-write use, looking the name up afresh on every call. Writes nothing
// to the device.
bool open(SerialPort& port, const char* portName);

// Read time-outs, then line settings (8N1 at baudRate, raw bytes, flow
// control as the port had it); stops at the first step that fails.
ConfigureResult configure(SerialPort& port, int baudRate);

// Sends "I\r\n"; true only when all three bytes went out. A request that
// cannot be written means the line is lost.
bool sendRequest(SerialPort& port);

// One byte of the reply: true with the byte, false when none arrived within
// 500 ms or the read failed. A failed read also raises port.lineLost. The
// driver is read a chunk at a time (see ReadAhead); the 500 ms count from
// the moment the bytes read ahead are used up.
bool readByte(SerialPort& port, char& byte);

void close(SerialPort& port);

}  // namespace serial
