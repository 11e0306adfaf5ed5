// A scripted serial port, clock and stop signal for running the logging
// loop without hardware or real time. Allocation-free, so that tests can
// count the heap use of the loop itself.
#pragma once

#include <cstdint>

#include "platform/console.h"
#include "platform/records_folder.h"
#include "platform/serial_port.h"

struct FakeEvent {
    enum Kind { Open, Configure, CreateStop, Request, Wait, CloseStop, ClosePort, Sync, Length, Cut,
                OpenRecords } kind;
    std::uint64_t at;     // fake milliseconds since the run began
    // baud rate for Configure, time-out for Wait, bytes in the stream for Sync
    // and Length, the length asked for by Cut, the number of the file for OpenRecords
    std::uint32_t value;
};

struct FakePlatform {
    // The script, set by each test.
    std::uint32_t startTick = 0;
    bool openSucceeds = true;
    ConfigureResult configureResult = ConfigureResult::Ok;
    bool outputIsFile = false;
    bool syncSucceeds = true;
    const char* replies[8] = {};  // the reply to request i; the last one repeats
    int replyCount = 0;
    std::uint32_t msPerByte = 1;
    bool allRequestsFail = false;
    // What the port's name leads to over time: the line until it is lost,
    // then nothing, then something that is no serial line, then the line again.
    std::uint64_t lineLostAtMs = UINT64_MAX;
    std::uint64_t notALineAtMs = UINT64_MAX;
    std::uint64_t lineBackAtMs = UINT64_MAX;
    std::uint64_t stopAtMs = UINT64_MAX;  // when the user presses Ctrl-C
    int maxPolls = 1000;                  // the stop comes in the wait of this poll
    // The wall clock: its reading when the run begins (ms since 1970 UTC), and
    // a step that someone (NTP, a user) gives it at a fake moment.
    std::int64_t wallStartMs = 0;
    std::uint64_t wallStepAtMs = UINT64_MAX;
    std::int64_t wallStepMs = 0;
    // The records folder: files opened there are real files named with this
    // prefix; a file that it refuses for a while, and why; whether a file
    // stays open between writes.
    const char* recordsFolder = "torvex-fake-";
    const char* refusedFile = nullptr;
    recordsFolder::Refusal refusal = recordsFolder::Refusal::NotPlain;
    std::uint64_t refusedFromMs = 0, refusedUntilMs = UINT64_MAX;
    bool heldBetweenWrites = true;
    // The metrics folder (none: no metrics), and whether its file can be written.
    const char* metricsFolder = nullptr;
    bool metricsWritable = true;
    std::uint64_t metricsWritableFromMs = 0;  // with metricsWritable false: until then

    // What happened.
    std::uint64_t elapsed = 0;
    char openedName[32] = {};
    FakeEvent events[4096] = {};
    int eventCount = 0;
    int requests = 0;
    int polls = 0;
    int misuses = 0;  // calls on a port that is not open, or opens of an open one
    const char* pending = nullptr;
    char recordsFiles[4][64] = {};  // the records folder's files, in the order opened
    int recordsFileCount = 0;
    char metrics[16384] = {};  // the metrics file as last written
    int metricsWrites = 0;
    bool metricsRemoved = false;

    int countOf(FakeEvent::Kind kind) const;
    // The index-th event of the given kind, or nullptr.
    const FakeEvent* nth(FakeEvent::Kind kind, int index) const;
};

extern FakePlatform fake;

// Puts the fake back to its defaults before a test writes its script.
void resetFake();
