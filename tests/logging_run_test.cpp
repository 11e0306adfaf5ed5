#include "core/held_records.h"
#include "core/logging_run.h"
#include "core/record_stamp.h"
#include "core/settings.h"
#include "core/unattended_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture.h"
#include "fake_platform.h"
#include "platform/records_folder.h"

namespace {

const std::string kAnnounceCom7 =
    "Conectando al puerto COM7 a 9600 baudios, pulse Ctrl-C para terminar...\n";
const std::string kStopped = "Terminado por el usuario\n";
const char* const kWorkedReply = "HDR,x.y\r\nT,21.5\r\nH,40%,7.25\r\n";
const std::string kWorkedRecord = "HDR,x.y,21.5,40%;7,25\n";

struct LoggerRun {
    CapturedStream records;
    CapturedStream messages;
    int status = -1;

    explicit LoggerRun(std::initializer_list<const char*> options) {
        Arguments args(options);
        status = runLogger(args.count(), args.vector(), records.file, messages.file);
    }
};

std::string repeat(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

std::string kindsOf(const FakePlatform& platform) {
    static const char* const names[] = {"open", "configure", "create-stop", "request",
                                        "wait", "close-stop", "close-port", "sync",
                                        "length", "cut", "open-records"};
    std::string kinds;
    for (int i = 0; i < platform.eventCount; ++i) kinds += std::string(names[platform.events[i].kind]) + " ";
    return kinds;
}

class LoggingRun : public ::testing::Test {
protected:
    void SetUp() override {
        resetFake();
        fake.replies[0] = kWorkedReply;
        fake.replyCount = 1;
    }
    void TearDown() override { EXPECT_EQ(fake.misuses, 0); }
};

TEST_F(LoggingRun, SetUpFailuresReleaseWhatWasAcquired) {
    const struct {
        bool opens;
        ConfigureResult configured;
        std::string message;
        std::string events;
    } cases[] = {
        {false, ConfigureResult::Ok, "No se pudo abrir el puerto\n", "open "},
        {true, ConfigureResult::TimeoutsRejected,
         "No se pudieron cambiar los tiempos de comunicacion del puerto\n",
         "open configure close-port "},
        {true, ConfigureResult::StateUnreadable,
         "No se pudieron obtener los parametros del puerto\n", "open configure close-port "},
        {true, ConfigureResult::StateRejected,
         "No se pudieron cambiar los parametros del puerto\n", "open configure close-port "},
    };
    for (const auto& c : cases) {
        SetUp();
        fake.openSucceeds = c.opens;
        fake.configureResult = c.configured;
        LoggerRun run({"-p", "com7"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.messages.text(), kAnnounceCom7 + c.message);
        EXPECT_EQ(kindsOf(fake), c.events);
        EXPECT_STREQ(fake.openedName, "COM7");
        EXPECT_EQ(run.records.text(), "");
    }
}

TEST_F(LoggingRun, OptionErrorsAndHelpTouchNothing) {
    LoggerRun help({"-p", "com7", "-h"});
    EXPECT_EQ(help.status, 0);
    LoggerRun bad({"-b", "300"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(fake.eventCount, 0);
    EXPECT_EQ(bad.messages.text().find("Conectando"), std::string::npos);
}

TEST_F(LoggingRun, StopDuringTheWaitEndsAtOnce) {
    fake.stopAtMs = 2 * 10000 + 4000;  // in the third poll's wait
    LoggerRun run({"-p", "com7"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.records.text(), repeat(kWorkedRecord, 3));
    EXPECT_EQ(run.messages.text(), kAnnounceCom7 + kStopped);
    EXPECT_EQ(kindsOf(fake), "open configure create-stop " + repeat("request wait ", 3) +
                                 "close-stop close-port ");
    EXPECT_EQ(fake.nth(FakeEvent::Configure, 0)->value, 9600u);
    EXPECT_EQ(fake.nth(FakeEvent::CloseStop, 0)->at, fake.stopAtMs);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fake.nth(FakeEvent::Request, i)->at, i * 10000u);
}

TEST_F(LoggingRun, StopDuringAPollStillWritesItsRecord) {
    fake.msPerByte = 10;
    fake.stopAtMs = 5000 + 100;  // while the second reply comes in
    LoggerRun run({"-p", "com7", "-s", "5"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.records.text(), repeat(kWorkedRecord, 2));
    EXPECT_EQ(fake.requests, 2);
    EXPECT_EQ(run.messages.text(), kAnnounceCom7 + kStopped);
}

TEST_F(LoggingRun, ProgressDotsAndDiskSyncsOnlyWhenLoggingToAFile) {
    fake.outputIsFile = true;
    fake.stopAtMs = 3 * 1000 - 1;
    LoggerRun run({"-p", "com7", "-s", "1", "-b", "38400"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.messages.text(),
              "Conectando al puerto COM7 a 38400 baudios, pulse Ctrl-C para terminar...\n"
              "...\n" + kStopped);
    EXPECT_EQ(fake.nth(FakeEvent::Configure, 0)->value, 38400u);
    // Each record reaches the disk whole, before the next request.
    EXPECT_EQ(kindsOf(fake), "open configure create-stop " + repeat("request length sync wait ", 3) +
                                 "close-stop close-port ");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(fake.nth(FakeEvent::Length, i)->value, i * kWorkedRecord.size());
        EXPECT_EQ(fake.nth(FakeEvent::Sync, i)->value, (i + 1) * kWorkedRecord.size());
    }
}

TEST_F(LoggingRun, ALostLineIsClosedAtOnceAndOpenedAgainEachPeriodUntilItIsBack) {
    // Polls start at 0, 10, 20 and 30 s; the second finds the line gone.
    const std::string lostThenBack =
        "open configure create-stop request wait request close-port wait open wait "
        "open configure request wait close-stop close-port ";
    const std::string kRequestFailed = "Error al solicitar la informacion\n";
    const struct {
        const char* name;
        std::uint32_t msPerByte;
        std::uint64_t lostAt, notALineAt, backAt, stopAt;
        std::string records;
        int failedPeriods;
        std::string events;
    } cases[] = {
        {"lost in a wait, the request fails", 1, 5000, UINT64_MAX, 25000, 35000,
         repeat(kWorkedRecord, 2), 2, lostThenBack},
        // 17 bytes at 10 ms each arrive before the loss: "HDR,x.y\r\nT,21.5\r\n".
        {"lost in a reply, its first part is recorded", 10, 10000 + 165, UINT64_MAX, 25000,
         35000, kWorkedRecord + "HDR,x.y,21.5\n" + kWorkedRecord, 1, lostThenBack},
        {"the name leads to no serial line for a period", 1, 5000, 15000, 25000, 35000,
         repeat(kWorkedRecord, 2), 2,
         "open configure create-stop request wait request close-port wait open configure "
         "close-port wait open configure request wait close-stop close-port "},
        {"stopped while the line is gone", 1, 5000, UINT64_MAX, UINT64_MAX, 25000,
         kWorkedRecord, 2,
         "open configure create-stop request wait request close-port wait open wait "
         "close-stop "},
    };
    for (const auto& c : cases) {
        SetUp();
        fake.msPerByte = c.msPerByte;
        fake.lineLostAtMs = c.lostAt;
        fake.notALineAtMs = c.notALineAt;
        fake.lineBackAtMs = c.backAt;
        fake.stopAtMs = c.stopAt;
        LoggerRun run({"-p", "com7", "-b", "19200"});
        EXPECT_EQ(run.status, 0) << c.name;
        EXPECT_EQ(run.records.text(), c.records) << c.name;
        EXPECT_EQ(run.messages.text(),
                  "Conectando al puerto COM7 a 19200 baudios, pulse Ctrl-C para terminar...\n" +
                      repeat(kRequestFailed, c.failedPeriods) + kStopped)
            << c.name;
        EXPECT_EQ(kindsOf(fake), c.events) << c.name;
        // Opened again as at start-up: the same name and speed, on the same schedule.
        EXPECT_STREQ(fake.openedName, "COM7") << c.name;
        for (int i = 0; i < fake.countOf(FakeEvent::Configure); ++i) {
            EXPECT_EQ(fake.nth(FakeEvent::Configure, i)->value, 19200u) << c.name;
        }
        for (int i = 1; i < fake.countOf(FakeEvent::Open); ++i) {
            EXPECT_EQ(fake.nth(FakeEvent::Open, i)->at % 10000, 0u) << c.name;
        }
        EXPECT_EQ(fake.misuses, 0) << c.name;
    }
}

TEST_F(LoggingRun, EveryFailedRequestIsReportedOncePerPeriod) {
    fake.allRequestsFail = true;
    fake.outputIsFile = true;
    fake.stopAtMs = 4 * 2000 - 1;
    LoggerRun run({"-p", "com7", "-s", "2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.records.text(), "");
    EXPECT_EQ(run.messages.text(),
              kAnnounceCom7 + repeat(".Error al solicitar la informacion\n", 4) + "\n" + kStopped);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(fake.nth(FakeEvent::Request, i)->at, i * 2000u);
}

TEST_F(LoggingRun, ASilentInstrumentGivesNoRecordAndNoMessage) {
    fake.replies[0] = "";
    fake.stopAtMs = 25000;
    LoggerRun run({"-p", "com7"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fake.requests, 3);
    EXPECT_EQ(run.records.text(), "");
    EXPECT_EQ(run.messages.text(), kAnnounceCom7 + kStopped);
    EXPECT_EQ(fake.nth(FakeEvent::Wait, 0)->value, 10000u - 500u);
}

TEST_F(LoggingRun, APollLongerThanThePeriodIsFollowedAtOnceWithoutCatchingUp) {
    // 29 characters at 100 ms each, then the 500 ms time-out: 3.4 s per poll.
    fake.msPerByte = 100;
    fake.stopAtMs = 10000;
    LoggerRun run({"-p", "com7", "-s", "1"});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(fake.requests, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(fake.nth(FakeEvent::Request, i)->at, i * 3400u);
        EXPECT_EQ(fake.nth(FakeEvent::Wait, i)->value, 0u);
    }
    EXPECT_EQ(run.records.text(), repeat(kWorkedRecord, 3));
}

TEST_F(LoggingRun, ThePeriodHoldsAcrossTheClockWrap) {
    fake.startTick = 0xFFFFFFFFu - 1200;
    fake.stopAtMs = 5 * 1000 - 1;
    LoggerRun run({"-p", "com7", "-s", "1"});
    ASSERT_EQ(fake.requests, 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(fake.nth(FakeEvent::Request, i)->at, i * 1000u);
        EXPECT_EQ(fake.nth(FakeEvent::Wait, i)->value, 1000u - 529u);
    }
}

TEST_F(LoggingRun, ARecordThatCannotBeWrittenIsReportedAndCutBackOut) {
    const char path[] = "torvex-unwritable.csv";
    // Open for reading only, every write fails; or writable, and the disk sync fails.
    const struct {
        bool syncFails;
        std::string events;
    } cases[] = {
        {false, "request length cut wait "},
        {true, "request length sync cut wait "},
    };
    for (const auto& c : cases) {
        SetUp();
        CapturedStream scratch;
        std::FILE* created = std::fopen(path, "w");
        ASSERT_NE(created, nullptr);
        std::fclose(created);
        std::FILE* records = std::fopen(path, c.syncFails ? "w" : "r");
        ASSERT_NE(records, nullptr);

        fake.outputIsFile = true;
        fake.syncSucceeds = !c.syncFails;
        fake.stopAtMs = 2 * 10000 - 1;
        Arguments args({"-p", "com7"});
        const int status = runLogger(args.count(), args.vector(), records, scratch.file);
        std::fclose(records);
        std::remove(path);

        EXPECT_EQ(status, 1) << c.syncFails;
        EXPECT_EQ(fake.requests, 2) << c.syncFails;
        EXPECT_EQ(scratch.text(), kAnnounceCom7 + repeat(".No se pudo escribir el registro\n", 2) +
                                      "\n" + kStopped)
            << c.syncFails;
        // The length is taken before the write, and the file cut back to it after the failure.
        EXPECT_EQ(kindsOf(fake), "open configure create-stop " + repeat(c.events, 2) +
                                     "close-stop close-port ")
            << c.syncFails;
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(fake.nth(FakeEvent::Cut, i)->value, fake.nth(FakeEvent::Length, i)->value)
                << c.syncFails;
        }
    }
}

// Milliseconds since 1970 UTC of a calendar date and time, counted day by
// day: slow and plain, unlike the program's own arithmetic.
std::int64_t msOf(int year, int month, int day, int hour, int minute, int second) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::int64_t total = 0;
    for (int y = 1970; y < year; ++y) total += (y % 4 == 0 && y % 100 != 0) || y % 400 == 0 ? 366 : 365;
    for (int m = 1; m < month; ++m) {
        total += days[m - 1] + (m == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0));
    }
    total += day - 1;
    return ((total * 24 + hour) * 60 + minute) * 60000 + second * 1000;
}

TEST(RecordStamp, TheCalendarOfAWallClockReading) {
    const struct {
        std::int64_t ms;
        const char* stamp;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000"},
        {-1, "1969-12-31T23:59:59.999"},
        {msOf(2000, 2, 29, 12, 0, 0) + 7, "2000-02-29T12:00:00.007"},
        {msOf(2100, 3, 1, 0, 0, 0), "2100-03-01T00:00:00.000"},
        {msOf(2026, 12, 31, 23, 59, 59) + 999, "2026-12-31T23:59:59.999"},
        {msOf(2028, 2, 29, 6, 5, 4) + 321, "2028-02-29T06:05:04.321"},
        {msOf(2038, 1, 19, 3, 14, 8), "2038-01-19T03:14:08.000"},  // past a signed 32-bit second count
    };
    for (const auto& c : cases) {
        char stamp[kStampSize];
        formatStamp(stamp, calendarTimeOf(c.ms));
        EXPECT_STREQ(stamp, c.stamp) << c.ms;
    }
}

// Held records come back oldest first with their times; the room of those
// let go is used again, and a record that does not fit is refused whole.
TEST(HeldRecords, OldestFirstAndTheRoomLetGoUsedAgain) {
    char storage[2 * sizeof(CalendarTime) + 7];
    HeldRecords held;
    held.storage = storage;
    held.capacity = sizeof storage;
    CalendarTime at[4];
    for (int i = 0; i < 4; ++i) at[i].second = i;
    EXPECT_TRUE(holdRecord(held, at[1], "abc"));
    EXPECT_TRUE(holdRecord(held, at[2], "de"));
    EXPECT_FALSE(holdRecord(held, at[3], "f"));
    const struct {
        const char* text;
        int second;
        const char* holdAfter;  // a record held once this one is let go
    } expected[] = {{"abc", 1, "fgh"}, {"de", 2, nullptr}, {"fgh", 3, nullptr}};
    for (const auto& e : expected) {
        CalendarTime taken;
        const char* text = oldestHeld(held, taken);
        ASSERT_NE(text, nullptr) << e.text;
        EXPECT_STREQ(text, e.text);
        EXPECT_EQ(taken.second, e.second) << e.text;
        releaseOldestHeld(held);
        if (e.holdAfter != nullptr) {
            EXPECT_TRUE(holdRecord(held, at[3], e.holdAfter));
        }
    }
    CalendarTime taken;
    EXPECT_EQ(oldestHeld(held, taken), nullptr);
    EXPECT_EQ(held.count, 0);
}

// The service's run: stamped messages in its log, stamped records in the
// file of their calendar period.
struct UnattendedRun {
    CapturedStream log;
    int status = -1;

    explicit UnattendedRun(std::initializer_list<const char*> options, const char* name = "COM7") {
        Arguments args(options);
        LoggerSettings settings;
        int parseStatus = 0;
        EXPECT_TRUE(parseCommandLine(args.count(), args.vector(), settings, parseStatus, log.file));
        status = runUnattended(settings, name, log.file);
    }
};

std::string takeFile(const char* path) {
    std::string content;
    if (std::FILE* file = std::fopen(path, "rb")) {
        int c;
        while ((c = std::fgetc(file)) != EOF) content += static_cast<char>(c);
        std::fclose(file);
    }
    std::remove(path);
    return content;
}

// Each record carries the time its request went out (not the time its reply
// ended) and goes to the file of the period that time names: across a day, a
// month or a year, across the autumn's repeated hour, and when the clock is
// set back over midnight; none is lost or written twice.
TEST_F(LoggingRun, UnattendedRecordsAreStampedAndGoToTheFileOfTheirCalendarPeriod) {
    static const char* const replies[] = {"R1\r\n", "R2\r\n", "R3\r\n", "R4\r\n", "R5\r\n",
                                          "R6\r\n", "R7\r\n"};
    const struct {
        const char* name;
        const char* period;
        std::int64_t start;
        int polls;
        std::uint64_t stepAt;
        std::int64_t step;
        std::vector<std::pair<std::string, std::string>> files;  // in the order opened
    } cases[] = {
        // Each record's reply ends 504 ms into its poll: 4 bytes and the silence.
        {"a day's end at -s 1", "1", msOf(2026, 12, 9, 23, 59, 58), 3, UINT64_MAX, 0,
         {{"COM7-2026-12-09.csv", "2026-12-09T23:59:58.000,R1\n2026-12-09T23:59:59.000,R2\n"},
          {"COM7-2026-12-10.csv", "2026-12-10T00:00:00.000,R3\n"}}},
        {"a month's end at -s 1", "1", msOf(2026, 12, 31, 23, 59, 59) + 500, 2, UINT64_MAX, 0,
         {{"COM7-2026-12-31.csv", "2026-12-31T23:59:59.500,R1\n"},
          {"COM7-2027-01-01.csv", "2027-01-01T00:00:00.500,R2\n"}}},
        {"daily at -s 2", "2", msOf(2026, 12, 9, 10, 0, 0), 2, UINT64_MAX, 0,
         {{"COM7-2026-12-09.csv", "2026-12-09T10:00:00.000,R1\n2026-12-09T10:00:02.000,R2\n"}}},
        {"a year's end at -s 3", "3", msOf(2026, 12, 31, 23, 59, 57), 2, UINT64_MAX, 0,
         {{"COM7-2026-12.csv", "2026-12-31T23:59:57.000,R1\n"},
          {"COM7-2027-01.csv", "2027-01-01T00:00:00.000,R2\n"}}},
        // 02:30 summer time in Madrid, then the same 02:30 an hour later in winter time.
        {"the autumn's repeated hour", "600", msOf(2026, 10, 25, 0, 30, 0), 7, UINT64_MAX, 0,
         {{"COM7-2026-10.csv",
           "2026-10-25T00:30:00.000,R1\n2026-10-25T00:40:00.000,R2\n2026-10-25T00:50:00.000,R3\n"
           "2026-10-25T01:00:00.000,R4\n2026-10-25T01:10:00.000,R5\n2026-10-25T01:20:00.000,R6\n"
           "2026-10-25T01:30:00.000,R7\n"}}},
        {"the clock set back 5 s over midnight", "1", msOf(2026, 12, 9, 23, 59, 58), 5, 2600, -5000,
         {{"COM7-2026-12-09.csv", "2026-12-09T23:59:58.000,R1\n2026-12-09T23:59:59.000,R2\n"
                                  "2026-12-09T23:59:56.000,R4\n2026-12-09T23:59:57.000,R5\n"},
          {"COM7-2026-12-10.csv", "2026-12-10T00:00:00.000,R3\n"},
          {"COM7-2026-12-09.csv", ""}}},
        {"the clock set forward a month", "3", msOf(2026, 11, 30, 12, 0, 0), 2, 1000, 86400000LL * 31,
         {{"COM7-2026-11.csv", "2026-11-30T12:00:00.000,R1\n"},
          {"COM7-2026-12.csv", "2026-12-31T12:00:03.000,R2\n"}}},
    };
    for (const auto& c : cases) {
        SetUp();
        for (int i = 0; i < 7; ++i) fake.replies[i] = replies[i];
        fake.replyCount = 7;
        fake.wallStartMs = c.start;
        fake.wallStepAtMs = c.stepAt;
        fake.wallStepMs = c.step;
        fake.recordsFolder = "torvex-dated-";
        fake.maxPolls = c.polls;
        UnattendedRun run({"-p", "com7", "-s", c.period});
        EXPECT_EQ(run.status, 0) << c.name;
        ASSERT_EQ(fake.recordsFileCount, static_cast<int>(c.files.size())) << c.name;
        for (std::size_t i = 0; i < c.files.size(); ++i) {
            EXPECT_EQ(fake.recordsFiles[i], "torvex-dated-" + c.files[i].first) << c.name;
            EXPECT_EQ(takeFile(fake.recordsFiles[i]), c.files[i].second) << c.name;
        }
        // Synced like a redirected standard output, without progress dots.
        EXPECT_EQ(fake.countOf(FakeEvent::Sync), c.polls) << c.name;
        const std::string log = run.log.text();
        EXPECT_EQ(std::count(log.begin(), log.end(), '.'), 2) << log;  // the two stamps' own
    }
}

// A ragged reply still gives lines that each carry their time, and a record
// without its line feed does not run into the next one.
TEST_F(LoggingRun, UnattendedRecordLinesEachCarryTheStampAndEndTheLine) {
    fake.replies[0] = "A\n\nB";  // two lines and an empty one, no comma to join them by
    fake.wallStartMs = msOf(2026, 12, 9, 8, 0, 0);
    fake.recordsFolder = "torvex-ragged-";
    fake.maxPolls = 2;
    UnattendedRun run({"-p", "com7"}, "ttyUSB0");
    EXPECT_EQ(takeFile("torvex-ragged-ttyUSB0-2026-12.csv"),
              "2026-12-09T08:00:00.000,A\n2026-12-09T08:00:00.000,B\n"
              "2026-12-09T08:00:10.000,A\n2026-12-09T08:00:10.000,B\n");
}

// A records file that is no plain file of the service's own, or that another
// program holds open letting nobody write, is written around: each record
// that cannot go there goes to the service's own file beside it, and the log
// says so once; the file is let go after each record, so the next record
// goes where it belongs again.
TEST_F(LoggingRun, UnattendedRecordsGoAroundAFileTheyMayNotBeWrittenThrough) {
    using recordsFolder::Refusal;
    const std::string r1 = "2026-12-09T08:00:00.000,R1\n", r2 = "2026-12-09T08:00:10.000,R2\n",
                      r3 = "2026-12-09T08:00:20.000,R3\n";
    const struct {
        const char* name;
        Refusal refusal;
        std::uint64_t from, until;
        std::string named, own, reason;
    } cases[] = {
        {"a link planted under the name", Refusal::NotPlain, 0, UINT64_MAX, "", r1 + r2 + r3,
         "no es un archivo simple del servicio"},
        {"a reader that lets nobody write, during the second poll", Refusal::InUse, 5000, 15000,
         r1 + r3, r2, "otro programa lo tiene abierto sin dejar escribir"},
    };
    static const char* const replies[] = {"R1\r\n", "R2\r\n", "R3\r\n"};
    for (const auto& c : cases) {
        SetUp();
        for (int i = 0; i < 3; ++i) fake.replies[i] = replies[i];
        fake.replyCount = 3;
        fake.wallStartMs = msOf(2026, 12, 9, 8, 0, 0);
        fake.recordsFolder = "torvex-around-";
        fake.refusedFile = "COM7-2026-12.csv";
        fake.refusal = c.refusal;
        fake.refusedFromMs = c.from;
        fake.refusedUntilMs = c.until;
        fake.heldBetweenWrites = false;
        fake.maxPolls = 3;
        UnattendedRun run({"-p", "com7"});
        EXPECT_EQ(run.status, 0) << c.name;
        EXPECT_EQ(takeFile("torvex-around-COM7-2026-12.csv"), c.named) << c.name;
        EXPECT_EQ(takeFile("torvex-around-COM7-2026-12.servicio.csv"), c.own) << c.name;
        const std::string notice = " No se escribe en COM7-2026-12.csv: " + c.reason +
                                   "; se escribe en COM7-2026-12.servicio.csv\n";
        const std::string log = run.log.text();
        EXPECT_EQ(log.find(notice), log.rfind(notice)) << log;
        EXPECT_NE(log.find(notice), std::string::npos) << log;
    }
}

// "written request write lost" as the metrics text counts them.
std::string countsIn(const std::string& metrics) {
    std::string counts;
    for (const char* name : {"torvex_records_written_total{", "torvex_request_errors_total{",
                             "torvex_write_errors_total{", "torvex_records_lost_total{"}) {
        const std::size_t line = metrics.find(name);
        if (line == std::string::npos) return "missing " + std::string(name);
        const std::size_t value = metrics.find("} ", line) + 2;
        counts += (counts.empty() ? "" : " ") + metrics.substr(value, metrics.find('\n', value) - value);
    }
    return counts;
}

// The metrics after each poll: the last record's time and numbers, each
// with the name and limits NAME-campos.txt gives its field (read again once
// the file changes), the period, the disk; a folder that takes no file is
// said once, and again once it takes them.
TEST_F(LoggingRun, UnattendedMetricsTellTheLastRecordItsFieldsAndTheirLimits) {
    fake.wallStartMs = msOf(2026, 12, 9, 8, 0, 0);
    fake.recordsFolder = "torvex-metrics-";
    fake.metricsFolder = "metricas";
    fake.replies[0] = "HDR,x.y\r\nT,21.5\r\nH,40%,7.25\r\n";
    fake.replyCount = 1;
    fake.metricsWritable = false;
    fake.stopAtMs = 25000;
    if (std::FILE* fields = std::fopen("torvex-metrics-COM7-campos.txt", "wb")) {
        std::fputs("3=Temperatura \"C\"\n3 max=20\n5 min=5\n5 max=10,5\n", fields);
        std::fclose(fields);
    }
    // The fake's clock moves in the waits: the folder takes files again from the second poll.
    fake.metricsWritableFromMs = 5000;
    UnattendedRun run({"-p", "com7"});
    std::remove("torvex-metrics-COM7-campos.txt");
    std::remove("torvex-metrics-COM7-2026-12.csv");
    const std::string metrics = fake.metrics;
    for (const char* line : {
             "torvex_last_record_timestamp_seconds{instrument=\"COM7\"} 1796803220\n",
             "torvex_period_seconds{instrument=\"COM7\"} 10\n",
             "torvex_reading{instrument=\"COM7\",field=\"3\",name=\"Temperatura \\\"C\\\"\"} 21.5\n",
             "torvex_reading{instrument=\"COM7\",field=\"4\"} 40\n",
             "torvex_reading{instrument=\"COM7\",field=\"5\"} 7.25\n",
             "torvex_reading_high_limit{instrument=\"COM7\",field=\"3\",name=\"Temperatura \\\"C\\\"\"} 20\n",
             "torvex_reading_low_limit{instrument=\"COM7\",field=\"5\"} 5\n",
             "torvex_reading_high_limit{instrument=\"COM7\",field=\"5\"} 10.5\n",
             "torvex_records_filesystem_avail_bytes{instrument=\"COM7\"} 1000\n",
             "torvex_metrics_interval_seconds{instrument=\"COM7\"} 10\n",
             "# TYPE torvex_records_written_total counter\n"}) {
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
    }
    EXPECT_EQ(metrics.find("field=\"1\""), std::string::npos);
    EXPECT_EQ(fake.metricsWrites, 3);
    const std::string log = run.log.text();
    const char* const failed = "No se pudieron escribir las metricas en metricas\n";
    EXPECT_NE(log.find(failed), std::string::npos) << log;
    EXPECT_EQ(log.find(failed), log.rfind(failed)) << log;
    EXPECT_NE(log.find("Metricas escritas de nuevo en metricas\n"), std::string::npos) << log;
}

// A port missing at the start is waited for; an outage or a full disk is
// logged once, not once a period, and its end when records come again;
// every line carries the time. Records that no file takes are held and
// written, in order, once one does; those still held at the stop are lost.
TEST_F(LoggingRun, UnattendedFailuresAreWaitedOutAndLoggedOnceWithTheirTime) {
    const std::string announce =
        " Conectando al puerto COM7 a 9600 baudios, un registro cada 10 s\n";
    const struct {
        const char* name;
        std::uint64_t lostAt, backAt;
        bool syncSucceeds;
        std::uint64_t stopAt;
        std::string log;
        std::string seconds;  // of the records' stamps, in the file's order
        int status;
        const char* counts;  // the metrics after the last poll: written, request, write, lost
        std::uint64_t fullFrom = UINT64_MAX, fullUntil = UINT64_MAX;  // no file can be opened
    } cases[] = {
        {"missing at the start", 0, 25000, true, 45000,
         "2026-12-09T08:00:00.000" + announce +
         "2026-12-09T08:00:00.000 No se pudo abrir el puerto\n"
         "2026-12-09T08:00:00.000 Se reintentara cada periodo hasta que el puerto responda\n"
         "2026-12-09T08:00:30.529 Registros reanudados\n"
         "2026-12-09T08:00:45.000 Terminado por el usuario\n", "30 40 ", 0, "2 3 0 0"},
        {"lost for three periods", 15000, 45000, true, 55000,
         "2026-12-09T08:00:00.000" + announce +
         "2026-12-09T08:00:20.000 Error al solicitar la informacion\n"
         "2026-12-09T08:00:50.529 Registros reanudados\n"
         "2026-12-09T08:00:55.000 Terminado por el usuario\n", "00 10 50 ", 0, "3 3 0 0"},
        {"no room for two periods", UINT64_MAX, UINT64_MAX, true, 35000,
         "2026-12-09T08:00:00.000" + announce +
         "2026-12-09T08:00:10.529 No se pudo escribir el registro; se guarda hasta que se pueda\n"
         "2026-12-09T08:00:30.529 Registros reanudados\n"
         "2026-12-09T08:00:35.000 Terminado por el usuario\n", "00 10 20 30 ", 0, "4 0 2 0", 5000,
         25000},
        {"no room until after the stop", UINT64_MAX, UINT64_MAX, true, 25000,
         "2026-12-09T08:00:00.000" + announce +
         "2026-12-09T08:00:10.529 No se pudo escribir el registro; se guarda hasta que se pueda\n"
         "2026-12-09T08:00:25.000 Se pierden 2 registros que no se pudieron escribir\n"
         "2026-12-09T08:00:25.000 Terminado por el usuario\n", "00 ", 1, "1 0 2 0", 5000},
        {"no record reaches the disk", UINT64_MAX, UINT64_MAX, false, 25000,
         "2026-12-09T08:00:00.000" + announce +
         "2026-12-09T08:00:00.529 No se pudo escribir el registro; se guarda hasta que se pueda\n"
         "2026-12-09T08:00:25.000 Se pierden 3 registros que no se pudieron escribir\n"
         "2026-12-09T08:00:25.000 Terminado por el usuario\n", "", 1, "0 0 3 0"},
    };
    for (const auto& c : cases) {
        SetUp();
        fake.wallStartMs = msOf(2026, 12, 9, 8, 0, 0);
        fake.recordsFolder = "torvex-unattended-";
        fake.lineLostAtMs = c.lostAt;
        fake.lineBackAtMs = c.backAt;
        fake.syncSucceeds = c.syncSucceeds;
        fake.stopAtMs = c.stopAt;
        fake.refusedFile = "COM7-2026-12.csv";
        fake.refusal = recordsFolder::Refusal::Failed;
        fake.refusedFromMs = c.fullFrom;
        fake.refusedUntilMs = c.fullUntil;
        fake.heldBetweenWrites = false;
        fake.metricsFolder = "metricas";
        UnattendedRun run({"-p", "com7"});
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(countsIn(fake.metrics), c.counts) << c.name;
        EXPECT_TRUE(fake.metricsRemoved) << c.name;
        EXPECT_EQ(run.log.text(), c.log) << c.name;
        const std::string records = takeFile("torvex-unattended-COM7-2026-12.csv");
        // The fake only notes the cut-back of a record that did not reach the disk.
        if (c.syncSucceeds) {
            std::string seconds;
            for (std::size_t line = 0; line < records.size(); line = records.find('\n', line) + 1) {
                seconds += records.substr(line + 17, 2) + " ";
            }
            EXPECT_EQ(seconds, c.seconds) << c.name;
        }
        // The port is tried once a period while it is away.
        for (int i = 1; i < fake.countOf(FakeEvent::Open); ++i) {
            EXPECT_EQ(fake.nth(FakeEvent::Open, i)->at % 10000, 0u) << c.name;
        }
    }
}

}  // namespace
