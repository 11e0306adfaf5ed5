// The POSIX port over a pty of the test's own: silence ends a reply, a
// hang-up (the instrument's side closing, as an unplugged adapter does)
// also marks the line lost, and it does so at once.
#include "platform/serial_port.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

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

}  // namespace
