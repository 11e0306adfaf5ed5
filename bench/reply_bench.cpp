// Throughput of the reply pipeline (receive from a canned source, join the
// lines, rewrite the separators) for a typical reply and the worst shapes
// that fit the buffer. Bytes per second count the bytes taken from the
// source, carriage returns included, as they would come off the line.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/reply.h"

namespace {

// A typical five-line reply of 150 bytes (scripts/bench sends the same one).
const char* const kTypicalReply =
    "VARNOD,SN 0417,FW 2.3,OK\r\n"
    "T,21.45,21.50,21.38,0.02\r\n"
    "H,40.2%,7.25,7.31,0.50\r\n"
    "P,1013.4,1013.6,1012.9,0.3\r\n"
    "Q,12.50,0.25,3.75,100.0,42.0,7.125,9.50,1.25\r\n";

// Handing out one byte per call, like the port's single-byte read.
struct CannedSource {
    const char* bytes;
    std::size_t size;
    std::size_t next;
};

bool nextByte(void* context, char& byte) {
    CannedSource& source = *static_cast<CannedSource*>(context);
    if (source.next >= source.size) return false;
    byte = source.bytes[source.next++];
    return true;
}

// As many short "T,1" lines as fill the buffer: every line is joined, and
// each join moves the whole rest of the text.
std::string shortLines() {
    std::string reply = "HDR,0\r\n";
    while (reply.size() < kMaxReplyLength * 5 / 4 + 8) reply += "T,1\r\n";
    return reply;
}

// One line with "%" at its second character and a separator in every other
// byte after it: every byte after the "%" is looked at, half are rewritten.
std::string separatorsEverywhere() {
    std::string reply = "A%";
    while (reply.size() < kMaxReplyLength) reply += reply.size() % 4 == 2 ? "1," : "2.";
    return reply;
}

void runPipeline(benchmark::State& state, const std::string& reply) {
    ReplyBuffer buffer;
    std::size_t consumed = 0;
    for (auto _ : state) {
        CannedSource source{reply.data(), reply.size(), 0};
        receiveReply(buffer, nextByte, &source);
        joinReplyLines(buffer.text);
        rewriteSeparators(buffer.text);
        benchmark::DoNotOptimize(buffer.text);
        benchmark::ClobberMemory();
        consumed += source.next;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(consumed));
}

void BM_TypicalReply(benchmark::State& state) {
    runPipeline(state, kTypicalReply);
}
BENCHMARK(BM_TypicalReply);

void BM_FullBufferOfShortLines(benchmark::State& state) {
    runPipeline(state, shortLines());
}
BENCHMARK(BM_FullBufferOfShortLines);

void BM_FullBufferOfSeparators(benchmark::State& state) {
    runPipeline(state, separatorsEverywhere());
}
BENCHMARK(BM_FullBufferOfSeparators);

}  // namespace

BENCHMARK_MAIN();
