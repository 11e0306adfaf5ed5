// Handing out reply bytes one at a time from a port that reads the driver a
// chunk at a time. The same for every operating system: each platform only
// supplies its one read of what the driver holds.
#pragma once

#include <cstddef>

#include "platform/serial_port.h"

namespace serial {

// What one read of the driver brought, and whether it found the line gone.
struct DriverRead {
    std::size_t count;  // bytes put into the space given, at most its room
    bool lineGone;
};

// Reads what the driver holds, up to `room` bytes, waiting up to 500 ms for
// the first byte when it holds none.
using DriverReader = DriverRead (*)(SerialPort& port, char* space, std::size_t room);

// readByte over the port's read-ahead: bytes read ahead come out first; the
// driver is read only once they are used up. A loss found by the read that
// brought them is reported after them, as a read that fails.
bool takeByte(SerialPort& port, char& byte, DriverReader readDriver);

// Forgets what was read ahead: it goes with the port when the port is closed.
void dropReadAhead(SerialPort& port);

}  // namespace serial
