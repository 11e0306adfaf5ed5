// The logging run: settings, port set-up, one record per sampling period
// (opening the port again after the line was lost), and the orderly end when
// the user stops it.
#pragma once

#include <cstdio>

#include "core/metrics_text.h"
#include "core/record_stamp.h"

struct HeldRecords;
struct LoggerSettings;

// What a poll tells the run's metrics: the counts so far, and the record
// the poll made (written or not), if it made one.
struct PollReport {
    const RunCounts* counts;
    const char* record;     // without its stamp, valid during the call; or nullptr
    std::int64_t takenMs;   // when its request went out (wall clock, ms since 1970)
    bool stopping;          // the run's last report, after its last record
};

// Returns the exit status: 0 after the help text or the user's stop, 1 after
// any error (or when a record could not be written).
int runLogger(int argc, char** argv, std::FILE* records = stdout, std::FILE* messages = stderr);

// Where a run's records and messages go. The console program's are standard
// output and standard error; the service's change from one file to the next
// with the calendar, and its log is read later by someone who was not there.
struct RunOutputs {
    // The stream for a record whose request went out at `taken` (UTC; read
    // only when unattended); nullptr when it cannot be had now (the record
    // then counts as not written). `notice` is a message to log, or nullptr.
    std::FILE* (*recordsStream)(void* context, const CalendarTime& taken, const char*& notice);
    // Unattended only, else nullptr: the stream for the next message (with a
    // `notice` to log first, or nullptr), and the end of each record's and
    // each message's writing, when the run's files may be let go.
    std::FILE* (*messagesStream)(void* context, const char*& notice);
    void (*letGo)(void* context);
    void* context;
    std::FILE* messages;  // without messagesStream
    // The service's way: each record line and each message line begins with
    // its time; no progress dots; every record is synced to the disk; a port
    // that cannot be used at the start is waited for as after an unplug; a
    // poll's message that the poll before gave too is not written again, and
    // the first record after a failure is announced, so that every outage has
    // a beginning and an end in the log.
    bool unattended;
    // Unattended only, else nullptr: the records kept while no file takes
    // them, written before any newer one once a file does.
    HeldRecords* held;
    // Unattended only, else nullptr: told after each poll, and once more at
    // the end, what the run has done (see PollReport). Returns a message to
    // log, or nullptr.
    const char* (*pollEnded)(void* context, const PollReport& report);
};

// The run for settings already checked: announcement, port, polls until the
// stop, the end. Returns 0 after the stop, 1 when the port could not be set
// up (console program only) or some record could not be written (nor held
// until it could).
int runWithOutputs(const LoggerSettings& settings, const RunOutputs& outputs);
