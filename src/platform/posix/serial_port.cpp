// The serial port over termios.
#include "platform/serial_port.h"

#include "platform/posix/deadline.h"
#include "platform/posix/device_path.h"

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

// One read that never waits: 1 with a byte, 0 when nothing is buffered,
// -1 when the line failed (EIO, ENXIO and the like).
int readBuffered(int fd, char& byte) {
    for (;;) {
        const ssize_t count = ::read(fd, &byte, 1);
        if (count == 1) return 1;
        if (count == 0) return 0;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
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
    const int fd = descriptorOf(port);
    const long long deadline = monotonicMs() + kReadTimeoutMs;
    int got = readBuffered(fd, byte);
    if (got == 0) {
        // Waits with poll(): a hung-up line wakes it at once, so a vanished
        // instrument never turns into a busy loop.
        pollfd watched{fd, POLLIN, 0};
        const int woken = waitUntil(watched, deadline);
        if (woken == 0) return false;  // silence: the reply has ended
        got = woken < 0 ? -1 : readBuffered(fd, byte);
        // A hung-up terminal reads as empty, so the hang-up itself tells.
        if (got == 0 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) got = -1;
    }
    if (got < 0) port.lineLost = true;
    return got == 1;
}

void close(SerialPort& port) {
    if (!port.isOpen) return;
    const int fd = descriptorOf(port);
    if (::isatty(fd)) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    port.isOpen = false;
    port.handle = -1;
}

}  // namespace serial
