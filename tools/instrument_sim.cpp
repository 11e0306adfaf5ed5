// torvex_sim: plays the VARNOD instrument on a pseudo-terminal so that the
// logger can be tested, demonstrated and measured without hardware.
//
// It prints the slave path of its pty on standard output, answers every
// request "I\r\n" that arrives on the master side and can log each request
// with a time stamp. It can vanish as an unplugged adapter does, and come
// back on a new pty. Standard library and POSIX only; single-threaded, one
// poll() loop (this file), no busy waiting; the options, the replies and the
// line have files of their own (instrument_sim.h).
//
// Default reply for the n-th answered request (n = 1, 2, ...), integer
// arithmetic only, printed with exact decimals:
//   temperature  (2100  + (n % 20) * 5)  / 100    -> T,21.05
//   humidity     (400   + (n % 10) * 2)  / 10     -> H,40.2%,...
//   dew point    (700   + (n % 8)  * 25) / 100    -> ...,7.25
//   pressure     (10130 + (n % 15) * 4)  / 10     -> P,1013.4
// so reply 1 is "VARNOD,SN 0417,FW 2.3\r\nT,21.05\r\nH,40.2%,7.25\r\nP,1013.4\r\n".

#include "instrument_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace simulator {

volatile sig_atomic_t g_stop = 0;

}  // namespace simulator

using namespace simulator;

namespace {

const int kClosedBackoffMs = 20;
const int64_t kFineSleepNs = 3000000;            // closer than this, sleep exactly instead of poll()

int g_wakeWrite = -1;

// Sleeps until an absolute CLOCK_MONOTONIC instant, so paced bytes never drift.
void sleepUntil(int64_t deadlineNs) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
    ts.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
    while (!g_stop && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void onSignal(int) {
    g_stop = 1;
    if (g_wakeWrite >= 0) {
        const int saved = errno;
        const char byte = 1;
        ssize_t ignored = write(g_wakeWrite, &byte, 1);
        (void)ignored;
        errno = saved;
    }
}

void installSignals(int wakeWrite) {
    g_wakeWrite = wakeWrite;
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int msUntil(int64_t deadlineNs, int64_t now) {
    const int64_t left = deadlineNs - now;
    if (left <= kFineSleepNs) return 0;
    // Rounded up, so poll() wakes at most kFineSleepNs early and the rest is slept exactly.
    const int64_t ms = (left - kFineSleepNs + 999999) / 1000000;
    return ms > 1000 ? 1000 : static_cast<int>(ms);
}

void run(Sim& sim) {
    bool wantOut = false;
    while (!g_stop) {
        const int64_t now = nowNs();
        // How long until the vanish or the replug must be looked at again, or -1.
        int64_t stepWaitNs = sim.vanishPending ? stepVanish(sim, now) : -1;
        if (sim.replugAtNs >= 0) stepWaitNs = stepReplug(sim, now);
        // The nearest moment something must be written, or -1.
        int64_t due = -1;
        if (sim.state == PortState::Open || sim.state == PortState::Held) {
            if (!sim.replies.empty() && !wantOut) {
                const Reply& r = sim.replies.front();
                due = nextHandOverNs(sim, r);
            }
            if (sim.streaming && (due < 0 || sim.streamNextNs < due)) due = sim.streamNextNs;
        }

        pollfd fds[2];
        nfds_t count = 1;
        fds[0] = {sim.wakeRead, POLLIN, 0};
        int timeout = -1;
        if (sim.state == PortState::Closed) {
            timeout = kClosedBackoffMs;  // POLLHUP stays set: look again later instead
        } else if (sim.state != PortState::Vanished) {
            fds[1] = {sim.master, static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)), 0};
            count = 2;
            if (due >= 0) timeout = msUntil(due, now);
            if (wantOut) timeout = 50;  // also bounds how long a stalled reply is kept
        }
        if (stepWaitNs >= 0) {
            const int stepMs = static_cast<int>((stepWaitNs + 999999) / 1000000);
            if (timeout < 0 || stepMs < timeout) timeout = stepMs;
        }
        const int ready = poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (g_stop) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            char drain[16];
            while (read(sim.wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (sim.state == PortState::Closed) {
            readMaster(sim);
        } else if (sim.state != PortState::Vanished && ready > 0 && count == 2 &&
                   (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            readMaster(sim);
        }
        if (g_stop) break;
        if (sim.state != PortState::Open && sim.state != PortState::Held) {
            wantOut = false;
            continue;
        }
        if (due >= 0 && due > nowNs() && due - nowNs() <= kFineSleepNs && !wantOut) {
            sleepUntil(due);  // exact pacing for the last stretch
        }
        const int64_t after = nowNs();
        wantOut = !writeDue(sim, after);
        writeStream(sim, after);
    }
}

}  // namespace

namespace simulator {

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void diag(const Sim& sim, const char* format, const char* text) {
    if (!sim.opt.verbose) return;
    const int64_t t = nowNs() - sim.startNs;
    std::fprintf(stderr, "torvex_sim %lld.%03lld: ", static_cast<long long>(t / 1000000),
                 static_cast<long long>((t / 1000) % 1000));
    std::fprintf(stderr, format, text);
    std::fputc('\n', stderr);
}

// Each log line goes out with one write() so a reader never sees half a line.
void logLine(const Sim& sim, const std::string& what) {
    if (sim.logFd < 0) return;
    const int64_t t = nowNs() - sim.startNs;
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%lld.%03lld ", static_cast<long long>(t / 1000000),
                  static_cast<long long>((t / 1000) % 1000));
    std::string line = stamp + what + "\n";
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = write(sim.logFd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace simulator

int main(int argc, char** argv) {
    Sim sim;
    const int parsed = parseOptions(argc, argv, sim.opt);
    if (parsed == 1) return 0;
    if (parsed != 0) return 2;
    sim.startNs = nowNs();

    if (sim.opt.scriptPath && !readFile(sim.opt.scriptPath, sim.script)) {
        std::fprintf(stderr, "torvex_sim: cannot read %s: %s\n", sim.opt.scriptPath, std::strerror(errno));
        return 1;
    }
    if (sim.opt.logPath) {
        sim.logFd = open(sim.opt.logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (sim.logFd < 0) {
            std::fprintf(stderr, "torvex_sim: cannot open %s: %s\n", sim.opt.logPath, std::strerror(errno));
            return 1;
        }
        // The wall clock beside the log's own, so that a reader can set the
        // requests beside a logger's stamps of them.
        timespec wall{};
        clock_gettime(CLOCK_REALTIME, &wall);
        char text[48];
        std::snprintf(text, sizeof text, "wall:%lld.%03ld",
                      static_cast<long long>(wall.tv_sec) * 1000 + wall.tv_nsec / 1000000,
                      (wall.tv_nsec / 1000) % 1000);
        logLine(sim, text);
    }
    int wake[2];
    if (pipe(wake) != 0 || !setNonBlockingCloexec(wake[0]) || !setNonBlockingCloexec(wake[1])) {
        std::perror("torvex_sim: pipe");
        return 1;
    }
    sim.wakeRead = wake[0];
    installSignals(wake[1]);
    if (!openPty(sim)) {
        std::perror("torvex_sim: cannot set up the pseudo-terminal");
        return 1;
    }
    if (!pointLink(sim, ptsname(sim.master))) {
        std::fprintf(stderr, "torvex_sim: cannot make the link %s: %s\n", sim.opt.linkPath,
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", ptsname(sim.master));
    std::fflush(stdout);
    diag(sim, "listening on %s", ptsname(sim.master));

    run(sim);

    diag(sim, "%s", "stopping");
    pointLink(sim, kUnpluggedTarget);
    closeFd(sim.holder);
    closeFd(sim.master);
    closeFd(sim.logFd);
    closeFd(wake[0]);
    closeFd(wake[1]);
    return 0;
}
