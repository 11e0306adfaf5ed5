// The logging loop must not touch the heap: every poll reuses the same fixed
// buffers. This executable replaces the global allocation functions with
// counting ones and compares a run of N polls with a run of 2N polls over the
// fake platform, so that allocations made once (set-up, the first write of a
// stream) cancel out and only those made per poll remain.
#include "core/logging_run.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "capture.h"
#include "fake_platform.h"

namespace {

long allocations = 0;

}  // namespace

// With glibc, the C allocation functions are counted too (stdio buffers,
// anything the runtime does on the loop's behalf). Not under a sanitizer,
// which brings its own.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define TORVEX_NO_MALLOC_COUNT
#endif
#endif
#ifndef TORVEX_NO_MALLOC_COUNT
#define TORVEX_COUNT_MALLOC
// A static link cannot put a second malloc beside libc's own, so there the
// linker wraps libc's (--wrap=malloc and the others, set by the build).
#ifdef TORVEX_WRAP_MALLOC
#define COUNTED(name) __wrap_##name
#define LIBC(name) __real_##name
#else
#define COUNTED(name) name
#define LIBC(name) __libc_##name
#endif
extern "C" {
void* LIBC(malloc)(std::size_t size) noexcept;
void* LIBC(calloc)(std::size_t count, std::size_t size) noexcept;
void* LIBC(realloc)(void* block, std::size_t size) noexcept;
void LIBC(free)(void* block) noexcept;

void* COUNTED(malloc)(std::size_t size) noexcept {
    ++allocations;
    return LIBC(malloc)(size);
}
void* COUNTED(calloc)(std::size_t count, std::size_t size) noexcept {
    ++allocations;
    return LIBC(calloc)(count, size);
}
void* COUNTED(realloc)(void* block, std::size_t size) noexcept {
    ++allocations;
    return LIBC(realloc)(block, size);
}
void COUNTED(free)(void* block) noexcept {
    LIBC(free)(block);
}
}
#endif
#endif

namespace {

void* allocate(std::size_t size) {
#ifndef TORVEX_COUNT_MALLOC
    ++allocations;  // otherwise malloc counts it
#endif
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace {

const char* const kTypicalReply =
    "VARNOD,SN 0417,FW 2.3,OK\r\nT,21.45,21.50\r\nH,40.2%,7.25\r\nP,1013.4\r\n";

// Longer than the buffer: every poll fills it, and the rest is dropped.
char overlongReply[3000];

struct Scenario {
    const char* name;
    const char* reply;  // nullptr: the instrument stays silent
    bool outputIsFile;
    bool requestsFail;
    bool lineLost;  // in the first reply, for good: every later poll tries to open the port
};

// Allocations made by one whole run of `polls` polls, set-up and end included.
long allocationsOfRun(const Scenario& scenario, int polls) {
    resetFake();
    fake.replies[0] = scenario.reply;
    fake.replyCount = scenario.reply != nullptr ? 1 : 0;
    fake.outputIsFile = scenario.outputIsFile;
    fake.allRequestsFail = scenario.requestsFail;
    if (scenario.lineLost) fake.lineLostAtMs = 1;
    fake.maxPolls = polls;

    CapturedStream records;
    CapturedStream messages;
    Arguments args({"-p", "com7", "-s", "1"});
    const long before = allocations;
    const int status = runLogger(args.count(), args.vector(), records.file, messages.file);
    const long made = allocations - before;
    EXPECT_EQ(status, 0) << scenario.name;
    EXPECT_EQ(fake.polls, polls) << scenario.name;
    if (scenario.reply != nullptr && !scenario.requestsFail) {
        EXPECT_FALSE(records.text().empty()) << scenario.name;
    }
    return made;
}

TEST(LoopAllocation, PollsMakeNoHeapAllocation) {
    for (std::size_t i = 0; i + 3 < sizeof overlongReply; ++i) {
        overlongReply[i] = "ab,\n"[i % 4];
    }
    const Scenario scenarios[] = {
        {"typical reply, records to the console", kTypicalReply, false, false, false},
        {"typical reply, records to a file (progress dots)", kTypicalReply, true, false, false},
        {"overlong reply", overlongReply, true, false, false},
        {"silent instrument", nullptr, true, false, false},
        {"every request fails", kTypicalReply, true, true, false},
        {"line lost and not back", kTypicalReply, true, false, true},
    };
    const int polls = 5;
    for (const Scenario& scenario : scenarios) {
        allocationsOfRun(scenario, 1);  // one-time allocations of the runtime land here
        const long shortRun = allocationsOfRun(scenario, polls);
        const long longRun = allocationsOfRun(scenario, 2 * polls);
        EXPECT_EQ(longRun - shortRun, 0)
            << scenario.name << ": " << (longRun - shortRun) << " more allocations for "
            << polls << " more polls";
    }
}

// Where the blocks below escape to, so that no allocation is optimised away.
void* volatile escaped = nullptr;

// The counter itself must see what the loop would do wrong.
TEST(LoopAllocation, CounterSeesAllocations) {
    const long before = allocations;
    int* one = new int(7);
    escaped = one;
    char* many = new char[100];
    escaped = many;
    void* raw = std::malloc(64);
    escaped = raw;
    delete one;
    delete[] many;
    std::free(raw);
#ifdef TORVEX_COUNT_MALLOC
    EXPECT_EQ(allocations - before, 3);
#else
    EXPECT_EQ(allocations - before, 2);
#endif
}

}  // namespace
