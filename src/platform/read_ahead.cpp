#include "platform/read_ahead.h"

namespace serial {

bool takeByte(SerialPort& port, char& byte, DriverReader readDriver) {
    ReadAhead& ahead = port.readAhead;
    if (ahead.next == ahead.end) {
        if (!ahead.lineGone) {
            const DriverRead read = readDriver(port, ahead.bytes, sizeof ahead.bytes);
            ahead.next = 0;
            ahead.end = read.count;
            ahead.lineGone = read.lineGone;
        }
        if (ahead.next == ahead.end) {
            // Reported once; a later read asks the driver afresh.
            if (ahead.lineGone) port.lineLost = true;
            ahead.lineGone = false;
            return false;
        }
    }
    byte = ahead.bytes[ahead.next++];
    return true;
}

void dropReadAhead(SerialPort& port) {
    port.readAhead.next = 0;
    port.readAhead.end = 0;
    port.readAhead.lineGone = false;
}

}  // namespace serial
