#include "fake_platform.h"

#include "platform/metrics_folder.h"
#include "platform/records_folder.h"

#include <cstdio>
#include <cstring>
#include <new>

FakePlatform fake;

void resetFake() {
    fake.~FakePlatform();
    new (&fake) FakePlatform();
}

int FakePlatform::countOf(FakeEvent::Kind kind) const {
    int count = 0;
    for (int i = 0; i < eventCount; ++i) count += events[i].kind == kind;
    return count;
}

const FakeEvent* FakePlatform::nth(FakeEvent::Kind kind, int index) const {
    for (int i = 0; i < eventCount; ++i) {
        if (events[i].kind == kind && index-- == 0) return &events[i];
    }
    return nullptr;
}

namespace {

void record(FakeEvent::Kind kind, std::uint32_t value = 0) {
    if (fake.eventCount < static_cast<int>(sizeof fake.events / sizeof fake.events[0])) {
        fake.events[fake.eventCount++] = FakeEvent{kind, fake.elapsed, value};
    }
}

bool stopRaised() {
    return fake.elapsed >= fake.stopAtMs || fake.polls >= fake.maxPolls;
}

enum class Name { Line, Nothing, NotALine };

Name nameLeadsTo() {
    if (fake.elapsed < fake.lineLostAtMs || fake.elapsed >= fake.lineBackAtMs) return Name::Line;
    return fake.elapsed >= fake.notALineAtMs ? Name::NotALine : Name::Nothing;
}

// A handle opened before the loss stays dead, whatever the name leads to later.
bool lineWorks(const SerialPort& port) {
    const bool openedBeforeLoss = static_cast<std::uint64_t>(port.handle) < fake.lineLostAtMs;
    return nameLeadsTo() == Name::Line && !(openedBeforeLoss && fake.elapsed >= fake.lineLostAtMs);
}

bool misused(const SerialPort& port) {
    fake.misuses += !port.isOpen;
    return !port.isOpen;
}

}  // namespace

namespace serial {

bool open(SerialPort& port, const char* portName) {
    record(FakeEvent::Open);
    fake.misuses += port.isOpen;
    std::strncpy(fake.openedName, portName, sizeof fake.openedName - 1);
    if (!fake.openSucceeds || nameLeadsTo() == Name::Nothing) return false;
    port.handle = static_cast<std::intptr_t>(fake.elapsed);  // when it was opened
    port.isOpen = true;
    port.lineLost = false;
    return true;
}

ConfigureResult configure(SerialPort& port, int baudRate) {
    record(FakeEvent::Configure, static_cast<std::uint32_t>(baudRate));
    misused(port);
    if (nameLeadsTo() == Name::NotALine) return ConfigureResult::TimeoutsRejected;
    return fake.configureResult;
}

bool sendRequest(SerialPort& port) {
    record(FakeEvent::Request);
    const int index = fake.requests++;
    if (misused(port) || fake.allRequestsFail || !lineWorks(port)) return false;
    if (fake.replyCount > 0) {
        fake.pending = fake.replies[index < fake.replyCount ? index : fake.replyCount - 1];
    }
    return true;
}

bool readByte(SerialPort& port, char& byte) {
    if (misused(port)) return false;
    if (!lineWorks(port)) {
        port.lineLost = true;  // a hang-up ends the read at once
        return false;
    }
    if (fake.pending == nullptr || *fake.pending == '\0') {
        fake.elapsed += 500;  // the port's read time-out
        return false;
    }
    fake.elapsed += fake.msPerByte;
    byte = *fake.pending++;
    return true;
}

// Closing a closed port does nothing, as on the real platforms.
void close(SerialPort& port) {
    if (!port.isOpen) return;
    record(FakeEvent::ClosePort);
    port.isOpen = false;
}

}  // namespace serial

namespace console {

void createStopSignal(StopSignal& signal) {
    record(FakeEvent::CreateStop);
    signal.handle = 1;
}

bool waitForStop(StopSignal&, std::uint32_t timeoutMs) {
    record(FakeEvent::Wait, timeoutMs);
    ++fake.polls;
    if (stopRaised()) return true;
    if (fake.stopAtMs <= fake.elapsed + timeoutMs) {
        fake.elapsed = fake.stopAtMs;
        return true;
    }
    fake.elapsed += timeoutMs;
    return false;
}

void closeStopSignal(StopSignal&) {
    record(FakeEvent::CloseStop);
}

std::uint32_t nowMs() {
    return fake.startTick + static_cast<std::uint32_t>(fake.elapsed);
}

std::int64_t wallClockMs() {
    const std::int64_t step = fake.elapsed >= fake.wallStepAtMs ? fake.wallStepMs : 0;
    return fake.wallStartMs + static_cast<std::int64_t>(fake.elapsed) + step;
}

bool standardOutputIsFile() {
    return fake.outputIsFile;
}

bool syncToDisk(std::FILE* stream) {
    record(FakeEvent::Sync, static_cast<std::uint32_t>(std::ftell(stream)));
    return fake.syncSucceeds;
}

bool fileLength(std::FILE* stream, std::int64_t& length) {
    length = std::ftell(stream);
    record(FakeEvent::Length, static_cast<std::uint32_t>(length));
    return true;
}

// Only noted: a stream cannot be cut back on every system the tests run on.
bool cutFileBack(std::FILE*, std::int64_t length) {
    record(FakeEvent::Cut, static_cast<std::uint32_t>(length));
    return true;
}

}  // namespace console

namespace recordsFolder {

std::FILE* openForAppend(const char* fileName, char* buffer, std::size_t size, Refusal& refusal) {
    const int number = fake.recordsFileCount;
    record(FakeEvent::OpenRecords, static_cast<std::uint32_t>(number));
    refusal = Refusal::Failed;
    if (number == 4) return nullptr;
    if (fake.refusedFile != nullptr && std::strcmp(fileName, fake.refusedFile) == 0 &&
        fake.elapsed >= fake.refusedFromMs && fake.elapsed < fake.refusedUntilMs) {
        refusal = fake.refusal;
        return nullptr;
    }
    std::snprintf(fake.recordsFiles[number], sizeof fake.recordsFiles[number], "%s%s",
                  fake.recordsFolder, fileName);
    ++fake.recordsFileCount;
    // Binary: the same bytes on every system.
    std::FILE* stream = std::fopen(fake.recordsFiles[number], "ab");
    if (stream == nullptr) return nullptr;
    std::setvbuf(stream, buffer, _IOFBF, size);
    refusal = Refusal::None;
    return stream;
}

bool heldBetweenWrites() {
    return fake.heldBetweenWrites;
}

// The fields' file is a real file under the folder's prefix, read on every call.
bool readIfChanged(const char* fileName, char* buffer, std::size_t size, std::size_t& length,
                   FileVersion& version) {
    char path[96];
    std::snprintf(path, sizeof path, "%s%s", fake.recordsFolder, fileName);
    length = 0;
    if (std::FILE* file = std::fopen(path, "rb")) {
        length = std::fread(buffer, 1, size, file);
        std::fclose(file);
    }
    version.length = static_cast<std::int64_t>(length);
    return true;
}

bool diskSpace(std::uint64_t& available, std::uint64_t& total) {
    available = 1000;
    total = 4000;
    return true;
}

}  // namespace recordsFolder

namespace metricsFolder {

const char* path() {
    return fake.metricsFolder;
}

// The last text given, whole, as the file would hold it after the rename.
bool replaceFile(const char*, const char* text, std::size_t length) {
    if (length >= sizeof fake.metrics) return false;
    std::memcpy(fake.metrics, text, length);
    fake.metrics[length] = '\0';
    ++fake.metricsWrites;
    return fake.metricsWritable || fake.elapsed >= fake.metricsWritableFromMs;
}

void removeFile(const char*) {
    fake.metricsRemoved = true;
}

}  // namespace metricsFolder
