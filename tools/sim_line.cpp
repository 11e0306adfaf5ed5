// The serial line of the simulated instrument: a pseudo-terminal, which
// vanishes as an unplugged adapter does and may come back as a new one.
#include "instrument_sim.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace simulator {

namespace {

const int64_t kVanishDrainLimitNs = 2000000000;  // longest wait for the logger to take the last reply
const int64_t kVanishCheckNs = 5000000;

// Bytes the logger has not read yet, or -1 when that cannot be seen. The
// slave is opened only for the look, so a close by the logger still shows
// up on the master as a hang-up.
int64_t unreadBySlave(const Sim& sim) {
    const char* path = ptsname(sim.master);
    const int probe = path ? open(path, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    if (probe < 0) return -1;
    int unread = 0;
    const bool ok = ioctl(probe, FIONREAD, &unread) == 0;
    close(probe);
    return ok ? unread : -1;
}

}  // namespace

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void onPortClosed(Sim& sim) {
    if (sim.state != PortState::Open) return;
    sim.state = PortState::Closed;
    sim.replies.clear();
    if (!sim.pending.empty()) {
        diag(sim, "dropping %s bytes of an unfinished request", std::to_string(sim.pending.size()).c_str());
    }
    sim.pending.clear();
    logLine(sim, "closed");
    diag(sim, "%s", "logger closed the port");
    if (sim.opt.exitAfterClose) g_stop = 1;
}

void markOpen(Sim& sim) {
    if (sim.state == PortState::Open) return;
    // While we hold the slave ourselves a close by the logger cannot show;
    // once it has written, it has the port open and our hold can go.
    diag(sim, "%s", sim.state == PortState::Held ? "logger is on the port, releasing our hold" : "port reopened");
    closeFd(sim.holder);
    sim.state = PortState::Open;
}

// Reads everything the master has. Notices a hang-up of the slave side
// (EIO, or end of file on some systems) and a reopen after one.
void readMaster(Sim& sim) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(sim.master, buffer, sizeof buffer);
        if (n > 0) {
            markOpen(sim);
            takeBytes(sim, buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (sim.state == PortState::Closed) markOpen(sim);  // reopened, nothing sent yet
            return;
        }
        onPortClosed(sim);  // EIO or end of file
        return;
    }
}

// Hanging up the master throws away what the slave has not read yet, so
// the pty is closed only once the logger has taken the last reply and has
// had time to end it by silence (bounded, in case it never reads).
// Returns how long to wait before looking again.
int64_t stepVanish(Sim& sim, int64_t now) {
    const int64_t quietNs = sim.opt.vanishQuietMs * 1000000;
    const int64_t unread = sim.state == PortState::Open ? unreadBySlave(sim) : 0;
    if (unread > 0) sim.quietSinceNs = now;
    const bool drained = now - sim.quietSinceNs >= quietNs;
    if (!drained && now - sim.vanishSinceNs < kVanishDrainLimitNs + quietNs) {
        return unread > 0 ? kVanishCheckNs : sim.quietSinceNs + quietNs - now;
    }
    if (!drained) diag(sim, "%s", "logger did not take the last reply, vanishing anyway");
    sim.vanishPending = false;
    closeFd(sim.holder);
    closeFd(sim.master);
    sim.state = PortState::Vanished;
    sim.replies.clear();
    sim.pending.clear();
    sim.streaming = false;
    // An unplugged adapter takes its stable name with it: the link now leads
    // to a path that does not exist, which opens as nothing.
    pointLink(sim, kUnpluggedTarget);
    if (sim.opt.replug) sim.replugAtNs = now + sim.opt.replugGapMs * 1000000;
    logLine(sim, "vanished");
    diag(sim, "%s", "instrument vanished");
    return -1;
}

// Plugs the instrument in again once the gap is over: a new pty, which the
// link then leads to. Returns how long to wait before looking again.
int64_t stepReplug(Sim& sim, int64_t now) {
    if (now < sim.replugAtNs) return sim.replugAtNs - now;
    sim.replugAtNs = -1;
    if (!openPty(sim) || !pointLink(sim, ptsname(sim.master))) {
        std::perror("torvex_sim: cannot plug the instrument in again");
        g_stop = 1;
        return -1;
    }
    sim.state = PortState::Held;
    sim.opt.vanishAfter = 0;  // once: from now on every request is answered
    std::printf("%s\n", ptsname(sim.master));
    std::fflush(stdout);
    logLine(sim, "replugged");
    diag(sim, "replugged as %s", ptsname(sim.master));
    return -1;
}

// Leads the link to `target`, replacing whatever it led to in one step.
bool pointLink(const Sim& sim, const char* target) {
    if (!sim.opt.linkPath) return true;
    const std::string staged = std::string(sim.opt.linkPath) + ".new";
    unlink(staged.c_str());
    return symlink(target, staged.c_str()) == 0 && rename(staged.c_str(), sim.opt.linkPath) == 0;
}

bool setNonBlockingCloexec(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool openPty(Sim& sim) {
    sim.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (sim.master < 0 || grantpt(sim.master) != 0 || unlockpt(sim.master) != 0) return false;
    termios raw{};
    if (tcgetattr(sim.master, &raw) != 0) return false;
    cfmakeraw(&raw);
    if (tcsetattr(sim.master, TCSANOW, &raw) != 0) return false;
    const char* path = ptsname(sim.master);
    if (!path) return false;
    sim.holder = open(path, O_RDWR | O_NOCTTY);
    if (sim.holder < 0) return false;
    fcntl(sim.holder, F_SETFD, FD_CLOEXEC);
    return setNonBlockingCloexec(sim.master);
}

}  // namespace simulator
