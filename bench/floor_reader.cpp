// The cheapest correct logger, the floor the benchmark sets torvex's cost
// against: per period one request, then one wait and one read per chunk the
// line hands over until 500 ms of silence, the bytes written as they came (no
// conversion), synced to the disk when standard output is a file, and one
// wait for the next period. Ctrl-C (or SIGTERM) ends it in order.
//
//     torvex_floor PORT BAUD SECONDS > records
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxReply = 2047;
const char kStopped[] = "Terminado por el usuario\n";

volatile sig_atomic_t stopped = 0;

extern "C" void stop(int) {
    stopped = 1;
}

speed_t speedOf(int baud) {
    switch (baud) {
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        default: return B38400;
    }
}

bool openLine(const char* path, int baud, int& fd) {
    fd = ::open(path, O_RDWR | O_NOCTTY);
    termios line{};
    if (fd < 0 || ::tcgetattr(fd, &line) != 0) return false;
    ::cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    ::cfsetispeed(&line, speedOf(baud));
    ::cfsetospeed(&line, speedOf(baud));
    return ::tcsetattr(fd, TCSANOW, &line) == 0;
}

// Until 500 ms pass without a byte, counted afresh after each chunk.
int readReply(int fd, char* reply) {
    const timespec silence{0, 500 * 1000000L};
    int length = 0;
    while (length < kMaxReply && !stopped) {
        pollfd watched{fd, POLLIN, 0};
        const int ready = ::ppoll(&watched, 1, &silence, nullptr);
        if (ready == 0) break;
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        const ssize_t count = ::read(fd, reply + length, kMaxReply - length);
        if (count <= 0) break;
        length += static_cast<int>(count);
    }
    return length;
}

bool writeAll(const char* bytes, int length) {
    while (length > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<int>(written);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: torvex_floor PORT BAUD SECONDS\n", stderr);
        return 2;
    }
    int fd = -1;
    if (!openLine(argv[1], std::atoi(argv[2]), fd)) {
        std::perror(argv[1]);
        return 1;
    }
    const long periodS = std::atol(argv[3]);
    struct sigaction action {};
    action.sa_handler = stop;  // no SA_RESTART: a stop ends any wait at once
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    struct stat out{};
    const bool sync = ::fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode);

    static char reply[kMaxReply];
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    int status = 0;
    while (!stopped) {
        if (::write(fd, "I\r\n", 3) == 3) {
            const int length = readReply(fd, reply);
            const bool written = writeAll(reply, length);
            if (!written || (sync && length > 0 && ::fdatasync(STDOUT_FILENO) != 0)) status = 1;
        }
        next.tv_sec += periodS;
        // Returns the error instead of setting errno; a signal is the only one expected.
        while (!stopped &&
               ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
    }
    ::close(fd);
    if (::write(STDERR_FILENO, kStopped, sizeof kStopped - 1) < 0) status = 1;
    return status;
}
