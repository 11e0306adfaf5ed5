// Thousands of polls through the scripted platform: every record whole, the
// period kept start to start across the clock's wrap, and one orderly end.
#include "core/logging_run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "capture.h"
#include "fake_platform.h"

namespace {

const std::string kAnnounce =
    "Conectando al puerto COM7 a 9600 baudios, pulse Ctrl-C para terminar...\n";
const std::string kStopped = "Terminado por el usuario\n";
const char* const kWorkedReply = "HDR,x.y\r\nT,21.5\r\nH,40%,7.25\r\n";  // 29 bytes
const std::string kWorkedRecord = "HDR,x.y,21.5,40%;7,25\n";
const std::string kRequestFailed = "Error al solicitar la informacion\n";
const int kPolls = 5000;

std::string repeat(const std::string& text, int times) {
    std::string all;
    all.reserve(text.size() * static_cast<std::size_t>(times));
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

TEST(Soak, ThousandsOfPollsLoseNothingAndKeepThePeriod) {
    const struct {
        const char* name;
        const char* reply;  // nullptr: every request fails
        std::uint32_t msPerByte;
        const char* seconds;
        std::uint64_t pollMs;   // one poll, start to start
        std::uint64_t lastMs;   // the last poll, start to its wait
        std::string record;     // per poll, on standard output
        std::string perPoll;    // per poll, on standard error
    } cases[] = {
        {"worked reply", kWorkedReply, 1, "1", 1000, 29 + 500, kWorkedRecord, "."},
        {"silent instrument", "", 1, "2", 2000, 500, "", "."},
        {"every request fails", nullptr, 1, "1", 1000, 0, "", "." + kRequestFailed},
        // 29 bytes at 100 ms and the time-out: 3.4 s, back to back at -s 1.
        {"replies longer than the period", kWorkedReply, 100, "1", 3400, 3400, kWorkedRecord, "."},
    };
    for (const auto& c : cases) {
        resetFake();
        fake.replies[0] = c.reply;
        fake.replyCount = c.reply != nullptr ? 1 : 0;
        fake.allRequestsFail = c.reply == nullptr;
        fake.msPerByte = c.msPerByte;
        fake.outputIsFile = true;
        fake.maxPolls = kPolls;  // the stop comes in the wait of the last poll
        // The tick wraps a third of the way in.
        fake.startTick = static_cast<std::uint32_t>(0u - kPolls / 3 * c.pollMs);

        CapturedStream records;
        CapturedStream messages;
        Arguments args({"-p", "com7", "-s", c.seconds});
        const int status = runLogger(args.count(), args.vector(), records.file, messages.file);

        EXPECT_EQ(status, 0) << c.name;
        EXPECT_EQ(fake.requests, kPolls) << c.name;
        EXPECT_TRUE(records.text() == repeat(c.record, kPolls)) << c.name;
        EXPECT_TRUE(messages.text() == kAnnounce + repeat(c.perPoll, kPolls) + "\n" + kStopped)
            << c.name;
        // No drift, no catching up: the last poll starts exactly where the
        // period says, however many polls and wraps came before.
        EXPECT_EQ(fake.elapsed, (kPolls - 1) * c.pollMs + c.lastMs) << c.name;
        for (int i = 0; i < kPolls; ++i) {
            const FakeEvent* request = fake.nth(FakeEvent::Request, i);
            if (request == nullptr) break;  // the event log is full
            ASSERT_EQ(request->at, i * c.pollMs) << c.name << ", poll " << i;
        }
    }
}

}  // namespace
