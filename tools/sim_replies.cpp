// What the simulated instrument answers, and when its bytes go out.
#include "instrument_sim.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace simulator {

namespace {

const char kRequest[] = "I\r\n";
const char kStreamText[] = "S,21.50,40.2%,7.25\r\nQ,1013.4,0.5%\r\n";
const int64_t kWriteStallLimitNs = 2000000000;   // drop a reply the logger stopped reading
const size_t kFifoTrigger = 14;                  // bytes that make a 16550 UART interrupt
const int64_t kFifoTimeoutCharacters = 4;        // its time-out interrupt, in character times
const int64_t kUsbTickNs = 16000000;             // a USB adapter's default latency timer

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

// Lines "R000001,1.5%,2.25\r\n" (the reply's number), "L0002,...", "L0003,..."
// cut where exactly `count` characters other than carriage returns have been
// produced: the number stays at the head of the record, so a lost or
// repeated record shows.
std::string longReply(int64_t count, int64_t number) {
    std::string out;
    int64_t produced = 0;
    for (int line = 1; produced < count; line = line % 9999 + 1) {
        char text[40];
        if (line == 1) {
            std::snprintf(text, sizeof text, "R%06lld,1.5%%,2.25\r\n", static_cast<long long>(number));
        } else {
            std::snprintf(text, sizeof text, "L%04d,1.5%%,2.25\r\n", line);
        }
        for (const char* c = text; *c != '\0' && produced < count; ++c) {
            out += *c;
            if (*c != '\r') ++produced;
        }
    }
    return out;
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
        queueReply(sim, longReply(sim.opt.longCount, sim.answered), whenNs);
    }
}

}  // namespace

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

int64_t byteDueNs(const Sim& sim, const Reply& reply, size_t index) {
    if (sim.opt.baud <= 0) return reply.startNs;
    // 10 bits per byte; a byte is complete one byte time after it starts.
    const int64_t bits = static_cast<int64_t>(index + 1) * 10;
    return reply.startNs + bits * 1000000000 / sim.opt.baud;
}

namespace {

int64_t characterNs(const Sim& sim) {
    return int64_t{10} * 1000000000 / sim.opt.baud;
}

// Bytes of the reply wholly on the wire by `when`.
size_t onWireBy(const Sim& sim, const Reply& reply, int64_t when) {
    size_t count = 0;
    while (count < reply.bytes.size() && byteDueNs(sim, reply, count) <= when) ++count;
    return count;
}

// The latency timer runs on its own, from the simulator's start.
int64_t usbTickAtOrBefore(const Sim& sim, int64_t when) {
    return when - (when - sim.startNs) % kUsbTickNs;
}

// Bytes of the reply the line has handed over to the logger's driver by `now`.
size_t handedOverBy(const Sim& sim, const Reply& reply, int64_t now) {
    if (sim.opt.baud <= 0) return now >= reply.startNs ? reply.bytes.size() : 0;
    switch (sim.opt.delivery) {
        case Delivery::Byte: return onWireBy(sim, reply, now);
        case Delivery::Fifo: {
            const size_t arrived = onWireBy(sim, reply, now);
            if (arrived == 0) return 0;
            const bool timedOut = now >= byteDueNs(sim, reply, arrived - 1) +
                                             kFifoTimeoutCharacters * characterNs(sim);
            return timedOut ? arrived : arrived - arrived % kFifoTrigger;
        }
        case Delivery::Usb: return onWireBy(sim, reply, usbTickAtOrBefore(sim, now));
    }
    return 0;
}

}  // namespace

// When the line next hands over bytes of the reply beyond those written.
int64_t nextHandOverNs(const Sim& sim, const Reply& reply) {
    const size_t size = reply.bytes.size();
    if (sim.opt.baud <= 0 || reply.written >= size) return reply.startNs;
    switch (sim.opt.delivery) {
        case Delivery::Byte: break;
        case Delivery::Fifo: {
            const size_t trigger = (reply.written / kFifoTrigger + 1) * kFifoTrigger;
            if (trigger <= size) return byteDueNs(sim, reply, trigger - 1);
            return byteDueNs(sim, reply, size - 1) + kFifoTimeoutCharacters * characterNs(sim);
        }
        case Delivery::Usb: {
            const int64_t arrives = byteDueNs(sim, reply, reply.written);
            const int64_t tick = usbTickAtOrBefore(sim, arrives);
            return tick == arrives ? tick : tick + kUsbTickNs;
        }
    }
    return byteDueNs(sim, reply, reply.written);
}

// Writes whatever is due of the front reply. Returns false when the rest
// must wait for the master to accept more (POLLOUT).
bool writeDue(Sim& sim, int64_t now) {
    while (!sim.replies.empty() && sim.state != PortState::Vanished) {
        Reply& reply = sim.replies.front();
        const size_t end = std::max(reply.written, handedOverBy(sim, reply, now));
        while (reply.written < end) {
            const ssize_t n = write(sim.master, reply.bytes.data() + reply.written, end - reply.written);
            if (n > 0) {
                reply.written += static_cast<size_t>(n);
                ++reply.chunks;
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
        logLine(sim, "delivered:" + std::to_string(reply.chunks));
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

}  // namespace simulator
