// torvex_sim's parts: the options, the instrument's answers (sim_replies),
// the pseudo-terminal that stands for the serial line (sim_line), and the
// poll() loop that drives them (instrument_sim.cpp).
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace simulator {

// Raised by a stop signal, or when the run should end for another reason.
extern volatile sig_atomic_t g_stop;

// How the line hands paced reply bytes to the logger's driver.
enum class Delivery {
    Byte,  // each byte once it is on the wire
    Fifo,  // a UART with a 14-byte FIFO trigger: 14 bytes at a time, the rest
           // after four character times of silence
    Usb,   // a USB adapter: what is on the wire so far, once per 16 ms tick
};

struct Options {
    const char* logPath = nullptr;
    const char* scriptPath = nullptr;
    const char* linkPath = nullptr;  // a symbolic link kept pointing at the current pty
    int64_t delayMs = 20;
    int64_t baud = 0;         // 0: write a reply at once
    Delivery delivery = Delivery::Byte;
    int64_t longCount = -1;   // -1: not used
    int64_t streamMs = 0;     // 0: not used
    int64_t vanishAfter = 0;  // 0: never
    // Quiet time before vanishing: by default longer than the logger's 500 ms
    // reply time-out, so the last reply ends by silence before the port dies.
    int64_t vanishQuietMs = 600;
    bool replug = false;      // a vanished instrument comes back after replugGapMs
    int64_t replugGapMs = 3000;
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
    int64_t chunks = 0;       // writes that handed its bytes over so far
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
    int64_t replugAtNs = -1;    // when a vanished instrument comes back, or -1
    bool streaming = false;
    int64_t streamNextNs = 0;
    size_t streamPos = 0;
};

// instrument_sim.cpp
int64_t nowNs();
void diag(const Sim& sim, const char* format, const char* text);
void logLine(const Sim& sim, const std::string& what);

// sim_options.cpp: 0 to run, 1 after the help text, 2 after a bad command line.
int parseOptions(int argc, char** argv, Options& opt);
bool readFile(const char* path, std::string& out);

// sim_replies.cpp
void takeBytes(Sim& sim, const char* data, size_t count);
int64_t byteDueNs(const Sim& sim, const Reply& reply, size_t index);
int64_t nextHandOverNs(const Sim& sim, const Reply& reply);
bool writeDue(Sim& sim, int64_t now);
void writeStream(Sim& sim, int64_t now);

// sim_line.cpp
void closeFd(int& fd);
bool setNonBlockingCloexec(int fd);
bool openPty(Sim& sim);
// Where the link leads while the instrument is unplugged: nowhere.
constexpr const char* kUnpluggedTarget = "/nonexistent/torvex-sim-unplugged";
bool pointLink(const Sim& sim, const char* target);
void onPortClosed(Sim& sim);
void markOpen(Sim& sim);
void readMaster(Sim& sim);
int64_t stepVanish(Sim& sim, int64_t now);
int64_t stepReplug(Sim& sim, int64_t now);

}  // namespace simulator
