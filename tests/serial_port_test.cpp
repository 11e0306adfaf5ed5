// The POSIX port over a pty of the test's own: silence ends a reply, a
// hang-up (the instrument's side closing, as an unplugged adapter does)
// also marks the line lost, and it does so at once; bytes read ahead of a
// full reply begin the next one and go with the port.
#include "platform/serial_port.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/reply.h"

namespace {

struct Pty {
    int instrument = ::posix_openpt(O_RDWR | O_NOCTTY);
    std::string device;
    Pty() {
        if (instrument >= 0 && ::grantpt(instrument) == 0 && ::unlockpt(instrument) == 0) {
            device = ::ptsname(instrument);
        }
    }
    ~Pty() { hangUp(); }
    void hangUp() {
        if (instrument >= 0) ::close(instrument);
        instrument = -1;
    }
};

TEST(SerialPort, OnlyAHangUpMarksTheLineLost) {
    const struct {
        const char* name;
        const char* sent;  // by the instrument, before it falls silent or hangs up
        bool hangUp;
    } cases[] = {
        {"silence", "", false},
        {"a reply, then silence", "T,21.5\r\n", false},
        {"a hang-up", "", true},
        {"a reply read, then a hang-up", "T,21.5\r\n", true},
    };
    for (const auto& c : cases) {
        Pty pty;
        ASSERT_FALSE(pty.device.empty());
        SerialPort port;
        ASSERT_TRUE(serial::open(port, pty.device.c_str())) << c.name;
        ASSERT_EQ(serial::configure(port, 9600), ConfigureResult::Ok) << c.name;
        const std::string sent = c.sent;
        ASSERT_EQ(::write(pty.instrument, sent.data(), sent.size()),
                  static_cast<ssize_t>(sent.size()));
        std::string received;
        char byte;
        while (received.size() < sent.size() && serial::readByte(port, byte)) received += byte;
        EXPECT_EQ(received, sent) << c.name;
        if (c.hangUp) pty.hangUp();

        const auto before = std::chrono::steady_clock::now();
        EXPECT_FALSE(serial::readByte(port, byte)) << c.name;
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - before).count();
        EXPECT_EQ(port.lineLost, c.hangUp) << c.name;
        if (c.hangUp) {
            EXPECT_LT(tookMs, 100) << c.name;  // not the 500 ms of silence
            EXPECT_FALSE(serial::sendRequest(port)) << c.name;
        } else {
            EXPECT_GE(tookMs, 490) << c.name;
        }
        serial::close(port);
        EXPECT_FALSE(port.isOpen);
        // The same port opened on the line that replaced it starts whole.
        Pty replugged;
        ASSERT_TRUE(serial::open(port, replugged.device.c_str())) << c.name;
        EXPECT_FALSE(port.lineLost) << c.name;
        serial::close(port);
    }
}

bool readFromPort(void* port, char& byte) {
    return serial::readByte(*static_cast<SerialPort*>(port), byte);
}

std::string receive(SerialPort& port) {
    ReplyBuffer reply;
    const std::size_t length = receiveReply(reply, readFromPort, &port);
    return std::string(reply.text, length);
}

// What the instrument sends, and all of it in the driver before a read.
void send(const Pty& pty, const std::string& bytes) {
    ASSERT_EQ(::write(pty.instrument, bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// Numbered lines, so that a byte dropped or repeated anywhere shows.
std::string numberedLines(std::size_t size) {
    std::string text;
    for (int line = 1; text.size() < size; ++line) text += std::to_string(100000 + line) + ",\n";
    text.resize(size);
    return text;
}

TEST(SerialPort, BytesReadAheadBeginTheNextReplyAndGoWithThePort) {
    using Clock = std::chrono::steady_clock;
    Pty pty;
    ASSERT_FALSE(pty.device.empty());
    SerialPort port;
    ASSERT_TRUE(serial::open(port, pty.device.c_str()));
    ASSERT_EQ(serial::configure(port, 9600), ConfigureResult::Ok);

    // A reply longer than a full one (carriage returns not counted).
    const std::string longReply = numberedLines(kMaxReplyLength + 300);
    send(pty, std::string(20, '\r') + longReply);
    EXPECT_EQ(receive(port), longReply.substr(0, kMaxReplyLength));
    ASSERT_NE(port.readAhead.next, port.readAhead.end) << "nothing read ahead past the full reply";

    // The next poll, later than 500 ms after the wake-up that brought the
    // rest: the rest comes first, and the silence is counted afresh, so the
    // answer to the new request still joins it.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_TRUE(serial::sendRequest(port));
    char request[3];
    ASSERT_EQ(::read(pty.instrument, request, sizeof request), 3);
    Clock::time_point answered;
    std::thread instrument([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        answered = Clock::now();
        send(pty, "LATE,1\r\n");
    });
    const std::string next = receive(port);
    const auto silenceMs =
        std::chrono::duration<double, std::milli>(Clock::now() - answered).count();
    instrument.join();
    EXPECT_EQ(next, longReply.substr(kMaxReplyLength) + "LATE,1\n");
    EXPECT_GE(silenceMs, 500.0);  // never ended early

    // Closed with bytes read ahead, opened on the line that replaced it: the
    // old line's bytes are gone with it.
    send(pty, numberedLines(kMaxReplyLength + 10));
    EXPECT_EQ(receive(port), numberedLines(kMaxReplyLength));
    ASSERT_NE(port.readAhead.next, port.readAhead.end);
    serial::close(port);
    Pty replugged;
    ASSERT_TRUE(serial::open(port, replugged.device.c_str()));
    ASSERT_EQ(serial::configure(port, 9600), ConfigureResult::Ok);
    EXPECT_EQ(receive(port), "");
    serial::close(port);
}

}  // namespace
