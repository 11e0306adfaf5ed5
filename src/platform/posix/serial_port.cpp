// The serial port over termios.
#include "platform/serial_port.h"

#include "platform/posix/deadline.h"
#include "platform/posix/device_path.h"
#include "platform/read_ahead.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kReadTimeoutMs = 500;
const char kRequest[] = "I\r\n";

int descriptorOf(const SerialPort& port) {
    return static_cast<int>(port.handle);
}

// One wait and one read: waits until the driver holds something, then takes
// all of it that fits; no read that can only find nothing. The 500 ms count
// from here, where the bytes read ahead have just been used up: the moment a
// reader of single bytes would have found the driver empty.
serial::DriverRead readDriver(SerialPort& port, char* space, std::size_t room) {
    const int fd = descriptorOf(port);
    const long long deadline = monotonicNs() + kReadTimeoutMs * kNsPerMs;
    // poll(): a hung-up line wakes it at once, so a vanished instrument
    // never turns into a busy loop.
    pollfd watched{fd, POLLIN, 0};
    const int woken = waitUntil(watched, deadline);
    if (woken == 0) return {0, false};  // silence: the reply has ended
    if (woken < 0) return {0, true};
    for (;;) {
        const ssize_t count = ::read(fd, space, room);
        if (count > 0) return {static_cast<std::size_t>(count), false};
        if (count < 0 && errno == EINTR) continue;
        // A hung-up terminal reads as empty, so the hang-up itself tells.
        const bool failed = count < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
        return {0, failed || (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0};
    }
}

}  // namespace

namespace serial {

bool open(SerialPort& port, const char* portName) {
    char path[kDevicePathSize];
    if (!resolveDevicePath(portName, path)) return false;
    // Non-blocking so that a missing carrier cannot hang the open; never
    // creates or truncates anything.
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    if (::isatty(fd)) ::ioctl(fd, TIOCEXCL);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    port.handle = fd;
    port.isOpen = true;
    port.lineLost = false;
    return true;
}

ConfigureResult configure(SerialPort& port, int baudRate) {
    const int fd = descriptorOf(port);
    // Reads never block in the driver: readByte waits with poll() instead.
    termios line{};
    if (::tcgetattr(fd, &line) != 0) return ConfigureResult::TimeoutsRejected;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &line) != 0) return ConfigureResult::TimeoutsRejected;

    if (::tcgetattr(fd, &line) != 0) return ConfigureResult::StateUnreadable;

    const speed_t speed = baudRate == 9600    ? B9600
                          : baudRate == 19200 ? B19200
                          : baudRate == 4800  ? B4800
                                              : B38400;
    // Raw bytes both ways, as on a Windows port; flow control stays as found.
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | INPCK);
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (::cfsetispeed(&line, speed) != 0 || ::cfsetospeed(&line, speed) != 0) {
        return ConfigureResult::StateRejected;
    }
    if (::tcsetattr(fd, TCSANOW, &line) != 0) return ConfigureResult::StateRejected;
    return ConfigureResult::Ok;
}

bool sendRequest(SerialPort& port) {
    ssize_t written;
    do {
        written = ::write(descriptorOf(port), kRequest, 3);
    } while (written < 0 && errno == EINTR);
    return written == 3;
}

bool readByte(SerialPort& port, char& byte) {
    return takeByte(port, byte, readDriver);
}

void close(SerialPort& port) {
    if (!port.isOpen) return;
    const int fd = descriptorOf(port);
    if (::isatty(fd)) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    dropReadAhead(port);
    port.isOpen = false;
    port.handle = -1;
}

}  // namespace serial
