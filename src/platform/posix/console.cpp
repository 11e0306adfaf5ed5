// Console services over POSIX signals: every signal that a terminal or a
// service manager sends to end a program raises the stop signal instead.
#include "platform/console.h"

#include "platform/posix/deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

const int kStopKinds[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Written once, before the handlers are installed; the handlers only read it.
volatile sig_atomic_t stopRaised = 0;
int stopPipe[2] = {-1, -1};

// Async-signal-safe: a flag and one byte into a non-blocking pipe. The byte
// is never read, so the pipe stays readable and the signal stays raised.
extern "C" void raiseStop(int) {
    const int savedErrno = errno;
    stopRaised = 1;
    if (stopPipe[1] >= 0) {
        const char byte = 1;
        const ssize_t ignored = ::write(stopPipe[1], &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

void setFlags(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

}  // namespace

namespace console {

void createStopSignal(StopSignal& signal) {
    if (::pipe(stopPipe) == 0) {
        setFlags(stopPipe[0]);
        setFlags(stopPipe[1]);
    }
    signal.handle = stopPipe[0];

    struct sigaction action {};
    action.sa_handler = raiseStop;
    sigemptyset(&action.sa_mask);
    // Restarted system calls keep a signal from failing a record's write.
    action.sa_flags = SA_RESTART;
    for (const int kind : kStopKinds) ::sigaction(kind, &action, nullptr);
    // A reader that closes its pipe makes the record write fail and be
    // reported, instead of killing the logger.
    ::signal(SIGPIPE, SIG_IGN);
    // Likewise a file that reaches its size limit: the write fails, no record is cut short.
    ::signal(SIGXFSZ, SIG_IGN);
}

bool waitForStop(StopSignal& signal, std::uint32_t timeoutMs) {
    if (stopRaised) return true;
    // The handler's byte makes the pipe readable, so a stop ends the wait at once.
    pollfd watched{static_cast<int>(signal.handle), POLLIN, 0};
    const int woken = waitUntil(watched, monotonicNs() + timeoutMs * kNsPerMs);
    // Anything but the time running out (a failed wait included) is a stop.
    return stopRaised || woken != 0;
}

void closeStopSignal(StopSignal& signal) {
    // The handlers stay installed and may still fire: held off while the
    // pipe goes, they find no descriptor to write to.
    sigset_t stopKinds, previous;
    sigemptyset(&stopKinds);
    for (const int kind : kStopKinds) sigaddset(&stopKinds, kind);
    ::sigprocmask(SIG_BLOCK, &stopKinds, &previous);
    const int writeEnd = stopPipe[1];
    stopPipe[1] = -1;
    if (writeEnd >= 0) ::close(writeEnd);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (signal.handle >= 0) ::close(static_cast<int>(signal.handle));
    signal.handle = -1;
}

std::uint32_t nowMs() {
    return static_cast<std::uint32_t>(monotonicMs());
}

std::int64_t wallClockMs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool standardOutputIsFile() {
    struct stat info;
    return ::fstat(STDOUT_FILENO, &info) == 0 && S_ISREG(info.st_mode);
}

bool syncToDisk(std::FILE* stream) {
    const int fd = ::fileno(stream);
    for (;;) {
        // The data and the size, not the times: what a record needs.
        const int synced = ::fdatasync(fd);
        if (synced == 0) return true;
        if (errno != EINTR) return errno == EINVAL;  // EINVAL: a file that cannot be synced
    }
}

bool fileLength(std::FILE* stream, std::int64_t& length) {
    struct stat info;
    if (::fstat(::fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    length = info.st_size;
    return true;
}

bool cutFileBack(std::FILE* stream, std::int64_t length) {
    int cut;
    do {
        cut = ::ftruncate(::fileno(stream), static_cast<off_t>(length));
    } while (cut != 0 && errno == EINTR);
    // Without the seek, the next record would land past a hole of zeros
    // where the failed one ended.
    return cut == 0 && ::fseeko(stream, static_cast<off_t>(length), SEEK_SET) == 0;
}

}  // namespace console
