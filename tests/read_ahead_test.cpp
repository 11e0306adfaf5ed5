// How a port hands out the chunks it reads from its driver, over a scripted
// driver: whatever the chunks, each byte comes out once and in order, across
// full replies and polls, and a lost line is reported after the bytes read
// with it. That the port's close drops what was read ahead is tested over a
// pty (serial_port_test.cpp).
#include "platform/read_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/reply.h"

namespace {

// What one read of the driver finds: bytes, or silence (""), and whether the
// line is found gone after them.
struct DriverStep {
    std::string bytes;
    bool lineGone = false;
};

// The driver rides in the port's handle, as a real one would.
struct ScriptedDriver {
    std::vector<DriverStep> steps;
    std::size_t next = 0;
    std::size_t taken = 0;  // of the next step, by reads with less room than it holds
    int reads = 0;
};

serial::DriverRead readScripted(SerialPort& port, char* space, std::size_t room) {
    ScriptedDriver& driver = *reinterpret_cast<ScriptedDriver*>(port.handle);
    ++driver.reads;
    if (driver.next >= driver.steps.size()) return {0, false};
    const DriverStep& step = driver.steps[driver.next];
    const std::size_t count = std::min(room, step.bytes.size() - driver.taken);
    step.bytes.copy(space, count, driver.taken);
    driver.taken += count;
    if (driver.taken < step.bytes.size()) return {count, false};
    ++driver.next;
    driver.taken = 0;
    return {count, step.lineGone};
}

bool readPort(void* port, char& byte) {
    return serial::takeByte(*static_cast<SerialPort*>(port), byte, readScripted);
}

SerialPort portOver(ScriptedDriver& driver) {
    SerialPort port;
    port.handle = reinterpret_cast<std::intptr_t>(&driver);
    port.isOpen = true;
    return port;
}

std::string receive(SerialPort& port) {
    ReplyBuffer buffer;
    const std::size_t length = receiveReply(buffer, readPort, &port);
    return std::string(buffer.text, length);
}

// An endless instrument's stream: lines of 16 characters and a carriage return.
std::string streamOf(std::size_t size) {
    std::string text;
    for (int line = 1; text.size() < size; ++line) {
        text += "L" + std::to_string(10000 + line).substr(1) + ",1.5%,2.25\r\n";
    }
    text.resize(size);
    return text;
}

// `text` cut into chunks of the given sizes, used in turn, then silence.
std::vector<DriverStep> chunked(const std::string& text, std::vector<std::size_t> sizes) {
    std::vector<DriverStep> steps;
    for (std::size_t at = 0, i = 0; at < text.size(); at += sizes[i++ % sizes.size()]) {
        steps.push_back({text.substr(at, sizes[i % sizes.size()])});
    }
    steps.push_back({""});
    return steps;
}

std::string withoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

TEST(ReadAhead, EachByteOnceAndInOrderAcrossFullRepliesAndPolls) {
    const std::string stream = streamOf(5000);
    const std::string text = withoutCarriageReturns(stream);
    const struct {
        const char* name;
        std::vector<std::size_t> sizes;
    } cases[] = {
        {"one byte per read", {1}},
        {"chunks that fill the read-ahead", {kReadAheadSize}},
        {"FIFO-sized chunks", {14}},
        {"chunks larger than the read-ahead", {kReadAheadSize * 3 + 5}},
        {"chunks of every size", {1, 63, 14, 100, 2, 64, 65, 7}},
    };
    for (const auto& c : cases) {
        ScriptedDriver driver{chunked(stream, c.sizes)};
        SerialPort port = portOver(driver);
        // Full replies until the stream is used up; its rest ends by silence.
        std::string received;
        std::size_t fullReplies = 0;
        bool leftOverSeen = false;
        for (std::string reply = receive(port); !reply.empty(); reply = receive(port)) {
            received += reply;
            if (reply.size() == kMaxReplyLength) ++fullReplies;
            leftOverSeen |= port.readAhead.next != port.readAhead.end;
        }
        EXPECT_EQ(received.size(), text.size()) << c.name;
        EXPECT_TRUE(received == text) << c.name << ": bytes dropped, repeated or out of order";
        EXPECT_EQ(fullReplies, text.size() / kMaxReplyLength) << c.name;
        EXPECT_FALSE(port.lineLost) << c.name;
        // What these cases are for: a full reply that leaves bytes read ahead.
        if (c.sizes != std::vector<std::size_t>{1}) {
            EXPECT_TRUE(leftOverSeen) << c.name;
        }
    }
}

TEST(ReadAhead, ALostLineIsReportedAfterTheBytesReadWithIt) {
    const struct {
        const char* name;
        std::vector<DriverStep> steps;
        std::vector<std::string> replies;  // each poll's, until the loss ends one
        int reads;                         // of the driver, none after the loss
    } cases[] = {
        {"bytes, then a read that finds the line gone", {{"T,21"}, {"5\r\n"}, {"", true}},
         {"T,215\n"}, 3},
        {"the line found gone by the read that brought the last bytes",
         {{"T,21"}, {"5\r\n", true}}, {"T,215\n"}, 2},
        {"the loss in a full reply's rest, reported in the next poll",
         {{std::string(kMaxReplyLength, 'x') + "REST", true}},
         {std::string(kMaxReplyLength, 'x'), "REST"},
         static_cast<int>((kMaxReplyLength + 4 + kReadAheadSize - 1) / kReadAheadSize)},
        {"silence first, then a reply and the loss", {{""}, {"A,1\n"}, {"", true}},
         {"", "A,1\n"}, 3},
    };
    for (const auto& c : cases) {
        ScriptedDriver driver{c.steps};
        SerialPort port = portOver(driver);
        for (std::size_t poll = 0; poll < c.replies.size(); ++poll) {
            EXPECT_EQ(receive(port), c.replies[poll]) << c.name << ", poll " << poll;
            EXPECT_EQ(port.lineLost, poll + 1 == c.replies.size()) << c.name << ", poll " << poll;
        }
        EXPECT_EQ(driver.reads, c.reads) << c.name;
    }
}

}  // namespace
