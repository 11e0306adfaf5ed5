// torvex_sim: plays the VARNOD instrument on a pseudo-terminal so that the
// logger can be tested, demonstrated and measured without hardware.
//
// It prints the slave path of its pty on standard output, answers every
// request "I\r\n" that arrives on the master side and can log each request
// with a time stamp. Standard library and POSIX only; single-threaded, one
// poll() loop, no busy waiting.
//
// Default reply for the n-th answered request (n = 1, 2, ...), integer
// arithmetic only, printed with exact decimals:
//   temperature  (2100  + (n % 20) * 5)  / 100    -> T,21.05
//   humidity     (400   + (n % 10) * 2)  / 10     -> H,40.2%,...
//   dew point    (700   + (n % 8)  * 25) / 100    -> ...,7.25
//   pressure     (10130 + (n % 15) * 4)  / 10     -> P,1013.4
// so reply 1 is "VARNOD,SN 0417,FW 2.3\r\nT,21.05\r\nH,40.2%,7.25\r\nP,1013.4\r\n".

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

namespace {

const char kRequest[] = "I\r\n";
const char kStreamText[] = "S,21.50,40.2%,7.25\r\nQ,1013.4,0.5%\r\n";
const int kClosedBackoffMs = 20;
const int64_t kWriteStallLimitNs = 2000000000;   // drop a reply the logger stopped reading
const int64_t kVanishDrainLimitNs = 2000000000;  // longest wait for the logger to take the last reply
// Quiet time before vanishing: longer than the logger's 500 ms reply time-out,
// so the last reply ends by silence and is recorded before the port dies.
const int64_t kVanishQuietNs = 600000000;
const int64_t kVanishCheckNs = 5000000;
const int64_t kFineSleepNs = 3000000;            // closer than this, sleep exactly instead of poll()

volatile sig_atomic_t g_stop = 0;
int g_wakeWrite = -1;

struct Options {
    const char* logPath = nullptr;
    const char* scriptPath = nullptr;
    int64_t delayMs = 20;
    int64_t baud = 0;         // 0: write a reply at once
    int64_t longCount = -1;   // -1: not used
    int64_t streamMs = 0;     // 0: not used
    int64_t vanishAfter = 0;  // 0: never
    bool silent = false;
    bool exitAfterClose = false;
    bool verbose = false;
};

enum class PortState { Held, Open, Closed, Vanished };

struct Reply {
    std::string bytes;
    size_t written = 0;
    int64_t startNs = 0;      // first byte may not leave before this
    int64_t stallSinceNs = -1;
    int64_t number = 0;       // which answered request this reply belongs to
};

struct Sim {
    Options opt;
    std::string script;
    int master = -1;
    int holder = -1;
    int logFd = -1;
    int wakeRead = -1;
    int64_t startNs = 0;
    PortState state = PortState::Held;
    std::string pending;  // bytes since the end of the previous request
    std::deque<Reply> replies;
    int64_t answered = 0;
    bool vanishPending = false;
    int64_t vanishSinceNs = 0;  // the last reply was written
    int64_t quietSinceNs = 0;   // the logger's input queue was last seen non-empty
    bool streaming = false;
    int64_t streamNextNs = 0;
    size_t streamPos = 0;
};

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Sleeps until an absolute CLOCK_MONOTONIC instant, so paced bytes never drift.
void sleepUntil(int64_t deadlineNs) {
#if defined(__APPLE__)  // no clock_nanosleep: relative sleeps toward the same absolute instant
    for (;;) {
        const int64_t left = deadlineNs - nowNs();
        if (left <= 0 || g_stop) return;
        timespec rel{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        nanosleep(&rel, nullptr);
    }
#else
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
    ts.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
    while (!g_stop && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
#endif
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

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

std::string defaultReply(int64_t n) {
    const long long t = 2100 + (n % 20) * 5;
    const long long h = 400 + (n % 10) * 2;
    const long long d = 700 + (n % 8) * 25;
    const long long p = 10130 + (n % 15) * 4;
    char text[160];
    std::snprintf(text, sizeof text,
                  "VARNOD,SN 0417,FW 2.3\r\nT,%lld.%02lld\r\nH,%lld.%lld%%,%lld.%02lld\r\nP,%lld.%lld\r\n",
                  t / 100, t % 100, h / 10, h % 10, d / 100, d % 100, p / 10, p % 10);
    return text;
}

// Lines "L0001,1.5%,2.25\r\n", "L0002,..." cut where exactly `count`
// characters other than carriage returns have been produced.
std::string longReply(int64_t count) {
    std::string out;
    int64_t produced = 0;
    for (int line = 1; produced < count; line = line % 9999 + 1) {
        char text[32];
        std::snprintf(text, sizeof text, "L%04d,1.5%%,2.25\r\n", line);
        for (const char* c = text; *c != '\0' && produced < count; ++c) {
            out += *c;
            if (*c != '\r') ++produced;
        }
    }
    return out;
}

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

void queueReply(Sim& sim, std::string bytes, int64_t requestNs) {
    Reply reply;
    reply.bytes = std::move(bytes);
    reply.startNs = requestNs + sim.opt.delayMs * 1000000;
    reply.number = sim.answered;
    sim.replies.push_back(std::move(reply));
}

void handleRequest(Sim& sim, const std::string& request, int64_t whenNs) {
    const std::string hex = toHex(request);
    logLine(sim, hex);
    const bool isPoll = request == kRequest;
    diag(sim, isPoll ? "request %s" : "other request %s (not answered)", hex.c_str());
    if (!isPoll || sim.opt.silent) return;
    if (sim.opt.vanishAfter > 0 && sim.answered >= sim.opt.vanishAfter) return;
    if (sim.opt.streamMs > 0) {
        if (!sim.streaming) {
            sim.answered = 1;
            sim.streaming = true;
            sim.streamNextNs = whenNs + sim.opt.delayMs * 1000000;
        }
        return;
    }
    ++sim.answered;
    if (!sim.opt.scriptPath && sim.opt.longCount < 0) {
        queueReply(sim, defaultReply(sim.answered), whenNs);
    } else if (sim.opt.scriptPath) {
        queueReply(sim, sim.script, whenNs);
    } else {
        queueReply(sim, longReply(sim.opt.longCount), whenNs);
    }
}

void takeBytes(Sim& sim, const char* data, size_t count) {
    const int64_t when = nowNs();
    for (size_t i = 0; i < count; ++i) {
        sim.pending += data[i];
        if (data[i] == '\n') {
            std::string request;
            request.swap(sim.pending);
            handleRequest(sim, request, when);
        }
    }
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

int64_t byteDueNs(const Sim& sim, const Reply& reply, size_t index) {
    if (sim.opt.baud <= 0) return reply.startNs;
    // 10 bits per byte; a byte is complete one byte time after it starts.
    const int64_t bits = static_cast<int64_t>(index + 1) * 10;
    return reply.startNs + bits * 1000000000 / sim.opt.baud;
}

// Writes whatever is due of the front reply. Returns false when the rest
// must wait for the master to accept more (POLLOUT).
bool writeDue(Sim& sim, int64_t now) {
    while (!sim.replies.empty() && sim.state != PortState::Vanished) {
        Reply& reply = sim.replies.front();
        size_t end = reply.bytes.size();
        if (sim.opt.baud > 0) {
            end = reply.written;
            while (end < reply.bytes.size() && byteDueNs(sim, reply, end) <= now) ++end;
        } else if (now < reply.startNs) {
            end = reply.written;
        }
        while (reply.written < end) {
            const ssize_t n = write(sim.master, reply.bytes.data() + reply.written, end - reply.written);
            if (n > 0) {
                reply.written += static_cast<size_t>(n);
                reply.stallSinceNs = -1;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (reply.stallSinceNs < 0) reply.stallSinceNs = now;
                if (now - reply.stallSinceNs > kWriteStallLimitNs) {
                    diag(sim, "%s", "logger stopped reading, dropping the rest of a reply");
                    reply.written = reply.bytes.size();  // counts as done, so a vanish still follows
                    break;
                }
                return false;
            }
            onPortClosed(sim);
            return true;
        }
        if (reply.written < reply.bytes.size()) return true;  // rest not due yet
        const int64_t number = reply.number;
        sim.replies.pop_front();
        diag(sim, "reply %s written", std::to_string(number).c_str());
        if (sim.opt.vanishAfter > 0 && number == sim.opt.vanishAfter) {
            sim.vanishPending = true;
            sim.vanishSinceNs = now;
            sim.quietSinceNs = now;
        }
        // The next reply in line starts no earlier than this one ended.
        if (!sim.replies.empty() && sim.replies.front().startNs < now) sim.replies.front().startNs = now;
    }
    return true;
}

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

// Hanging up the master throws away what the slave has not read yet, so
// the pty is closed only once the logger has taken the last reply and has
// had time to end it by silence (bounded, in case it never reads).
// Returns how long to wait before looking again.
int64_t stepVanish(Sim& sim, int64_t now) {
    const int64_t unread = sim.state == PortState::Open ? unreadBySlave(sim) : 0;
    if (unread > 0) sim.quietSinceNs = now;
    const bool drained = now - sim.quietSinceNs >= kVanishQuietNs;
    if (!drained && now - sim.vanishSinceNs < kVanishDrainLimitNs + kVanishQuietNs) {
        return unread > 0 ? kVanishCheckNs : sim.quietSinceNs + kVanishQuietNs - now;
    }
    if (!drained) diag(sim, "%s", "logger did not take the last reply, vanishing anyway");
    sim.vanishPending = false;
    closeFd(sim.holder);
    closeFd(sim.master);
    sim.state = PortState::Vanished;
    sim.replies.clear();
    sim.streaming = false;
    logLine(sim, "vanished");
    diag(sim, "%s", "instrument vanished");
    return -1;
}

void writeStream(Sim& sim, int64_t now) {
    if (!sim.streaming || now < sim.streamNextNs) return;
    const int64_t period = sim.opt.streamMs * 1000000;
    if (sim.state == PortState::Open) {
        const ssize_t n = write(sim.master, kStreamText + sim.streamPos, 1);
        if (n == 1) {
            sim.streamPos = (sim.streamPos + 1) % (sizeof kStreamText - 1);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            onPortClosed(sim);
        }
    }
    sim.streamNextNs += period;
    if (sim.streamNextNs < now) sim.streamNextNs = now + period;  // fell behind: no burst
}

bool parseNumber(const char* text, int64_t minimum, int64_t& value) {
    if (!text || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < minimum) return false;
    value = v;
    return true;
}

void usage() {
    std::fputs(
        "usage: torvex_sim [options]\n"
        "Plays the VARNOD instrument on a pseudo-terminal. Prints the slave path\n"
        "(e.g. /dev/pts/5) and a line feed on standard output, then answers every\n"
        "request \"I\\r\\n\" until SIGTERM, SIGINT or SIGHUP (exit status 0).\n"
        "\n"
        "options:\n"
        "  --log FILE          append \"<ms> <hex>\" per request (ms since start, 3 decimals,\n"
        "                      request bytes in lower-case hex, e.g. 490d0a), \"<ms> closed\"\n"
        "                      when the logger closes the port, \"<ms> vanished\"\n"
        "  --delay MS          wait MS ms after a request before replying (default 20)\n"
        "  --silent            never answer\n"
        "  --baud B            pace reply bytes at 10 bits per byte at B baud\n"
        "  --script FILE       answer with the exact bytes of FILE\n"
        "  --long N            answer with N characters (CR not counted) in lines\n"
        "                      \"L0001,1.5%,2.25\\r\\n\", \"L0002,...\", cut at exactly N\n"
        "  --stream MS         after the first request send one byte every MS ms forever\n"
        "                      (cycling \"S,21.50,40.2%,7.25\\r\\nQ,1013.4,0.5%\\r\\n\")\n"
        "  --vanish-after N    once the logger has read the N-th reply and 600 ms passed\n"
        "                      quietly, close the pty (writes on the port then fail with\n"
        "                      EIO) and wait to be killed; later requests are not answered\n"
        "  --exit-after-close  exit 0 when the logger closes the port\n"
        "  -v                  diagnostics on standard error\n"
        "  -h, --help          this text\n"
        "\n"
        "Default reply to the n-th answered request (n = 1, 2, ...), four CR LF lines:\n"
        "  VARNOD,SN 0417,FW 2.3\n"
        "  T,<t>          t = (2100 + (n % 20) * 5) / 100, 2 decimals\n"
        "  H,<h>%,<d>     h = (400 + (n % 10) * 2) / 10, 1 decimal;\n"
        "                 d = (700 + (n % 8) * 25) / 100, 2 decimals\n"
        "  P,<p>          p = (10130 + (n % 15) * 4) / 10, 1 decimal\n"
        "  n=1: VARNOD,SN 0417,FW 2.3 | T,21.05 | H,40.2%,7.25 | P,1013.4\n"
        "  n=2: VARNOD,SN 0417,FW 2.3 | T,21.10 | H,40.4%,7.50 | P,1013.8\n",
        stderr);
}

// 0: run; 1: help shown; 2: bad command line.
int parseOptions(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = nullptr;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = argv[i] + eq + 1;
            arg.resize(eq);
        }
        const bool takesValue = arg == "--log" || arg == "--delay" || arg == "--baud" ||
                                arg == "--script" || arg == "--long" || arg == "--stream" ||
                                arg == "--vanish-after";
        if (takesValue && !value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "torvex_sim: %s needs a value\n", arg.c_str());
                return 2;
            }
            value = argv[++i];
        } else if (!takesValue && value) {
            std::fprintf(stderr, "torvex_sim: %s takes no value\n", arg.c_str());
            return 2;
        }
        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            usage();
            return 1;
        } else if (arg == "-v") {
            opt.verbose = true;
        } else if (arg == "--silent") {
            opt.silent = true;
        } else if (arg == "--exit-after-close") {
            opt.exitAfterClose = true;
        } else if (arg == "--log") {
            opt.logPath = value;
        } else if (arg == "--script") {
            opt.scriptPath = value;
        } else if (arg == "--delay") {
            ok = parseNumber(value, 0, opt.delayMs);
        } else if (arg == "--baud") {
            ok = parseNumber(value, 1, opt.baud);
        } else if (arg == "--long") {
            ok = parseNumber(value, 0, opt.longCount);
        } else if (arg == "--stream") {
            ok = parseNumber(value, 1, opt.streamMs);
        } else if (arg == "--vanish-after") {
            ok = parseNumber(value, 1, opt.vanishAfter);
        } else {
            std::fprintf(stderr, "torvex_sim: unknown option %s (try --help)\n", argv[i]);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "torvex_sim: bad value for %s: %s\n", arg.c_str(), value);
            return 2;
        }
    }
    if (opt.scriptPath && opt.longCount >= 0) {
        std::fputs("torvex_sim: --script and --long exclude each other\n", stderr);
        return 2;
    }
    return 0;
}

bool readFile(const char* path, std::string& out) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
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
        const int64_t vanishWaitNs = sim.vanishPending ? stepVanish(sim, now) : -1;
        // The nearest moment something must be written, or -1.
        int64_t due = -1;
        if (sim.state == PortState::Open || sim.state == PortState::Held) {
            if (!sim.replies.empty() && !wantOut) {
                const Reply& r = sim.replies.front();
                due = byteDueNs(sim, r, r.written);
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
        if (vanishWaitNs >= 0) {
            const int vanishMs = static_cast<int>((vanishWaitNs + 999999) / 1000000);
            if (timeout < 0 || vanishMs < timeout) timeout = vanishMs;
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
    std::printf("%s\n", ptsname(sim.master));
    std::fflush(stdout);
    diag(sim, "listening on %s", ptsname(sim.master));

    run(sim);

    diag(sim, "%s", "stopping");
    closeFd(sim.holder);
    closeFd(sim.master);
    closeFd(sim.logFd);
    closeFd(wake[0]);
    closeFd(wake[1]);
    return 0;
}
