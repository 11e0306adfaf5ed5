// Fuzz target: arbitrary instrument bytes through receiveReply, joinReplyLines
// and rewriteSeparators, poll after poll on one reused buffer, compared with
// a plain string model of the same rules written here independently.
//
// The input is the stream of bytes the port delivers; a poll ends at the end
// of the input (silence) or at 2047 stored characters, and whatever a poll
// leaves unread starts the next one, as on the real port. So that short
// inputs reach that limit too, an input that starts with 0xFF stands for its
// third and later bytes repeated up to 1920 plus its second byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/reply.h"

namespace {

const std::size_t kLimit = 2047;

// The byte source: one byte per call from the input, nothing at its end.
struct PortBytes {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t next;
    int silentReads;
};

bool nextByte(void* context, char& byte) {
    PortBytes& port = *static_cast<PortBytes*>(context);
    if (port.next >= port.size) {
        ++port.silentReads;
        return false;
    }
    byte = static_cast<char>(port.data[port.next++]);
    return true;
}

// --- The model: strings, nothing in place. ---

// What one poll stores, and how many input bytes it takes doing so.
std::string modelReceive(const std::uint8_t* data, std::size_t size, std::size_t& taken) {
    std::string stored;
    taken = 0;
    while (stored.size() < kLimit && taken < size) {
        const char c = static_cast<char>(data[taken++]);
        if (c != '\r') stored += c;
    }
    return stored;
}

// Each later line that holds a comma loses its label and joins the first
// line; a line feed with fewer than two characters after it ends the joining.
std::string modelJoin(std::string text) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t lineFeed = text.find('\n', from);
        if (lineFeed == std::string::npos) return text;
        if (text.size() - lineFeed - 1 < 2) return text;
        const std::size_t comma = text.find(',', lineFeed + 1);
        if (comma == std::string::npos) return text;
        text = text.substr(0, lineFeed) + text.substr(comma);
        from = lineFeed;
    }
}

// From the first "%" past the first character on, "," becomes ";" and "."
// becomes ",", each character once.
std::string modelRewrite(std::string text) {
    const std::size_t start = text.size() < 2 ? std::string::npos : text.find('%', 1);
    if (start == std::string::npos) return text;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] == ',') {
            text[i] = ';';
        } else if (text[i] == '.') {
            text[i] = ',';
        }
    }
    return text;
}

// A failed check names itself, then crashes so that the fuzzer keeps the input.
#define check(condition) \
    ((condition) ? (void)0 : failed(#condition, __LINE__))

[[noreturn]] void failed(const char* what, int line) {
    std::fprintf(stderr, "reply_fuzz.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}

// One poll through the real steps, checked against the model and the
// invariants. Returns the number of input bytes it took.
std::size_t pollOnce(ReplyBuffer& buffer, const std::uint8_t* data, std::size_t size) {
    PortBytes port{data, size, 0, 0};
    const std::size_t length = receiveReply(buffer, nextByte, &port);

    std::size_t taken = 0;
    const std::string stored = modelReceive(data, size, taken);
    check(length == stored.size());
    check(length <= kLimit);
    check(port.next == taken);                                  // nothing read and dropped
    check(port.silentReads == (length < kLimit ? 1 : 0));       // no read after 2047
    check(std::memcmp(buffer.text, stored.data(), length) == 0);
    check(buffer.text[length] == '\0');

    // What follows the terminator must survive the conversion untouched.
    static char after[kReplyBufferSize];
    const std::size_t tail = kReplyBufferSize - length - 1;
    std::memcpy(after, buffer.text + length + 1, tail);

    const std::string text(stored.c_str());  // the text ends at a zero byte
    const std::string joined = modelJoin(text);
    joinReplyLines(buffer.text);
    const std::string realJoined = buffer.text;
    check(realJoined == joined);
    // Joining only removes, and never from the first line.
    check(realJoined.size() <= text.size());
    const std::size_t firstLine = text.find('\n');
    if (firstLine != std::string::npos) {
        check(realJoined.compare(0, firstLine, text, 0, firstLine) == 0);
        check(realJoined[firstLine] == '\n' || realJoined[firstLine] == ',');
    }

    rewriteSeparators(buffer.text);
    const std::string record = buffer.text;
    check(record == modelRewrite(joined));
    check(std::memcmp(after, buffer.text + length + 1, tail) == 0);

    // Invariants that do not lean on the model: no carriage return, nothing
    // past 2047 characters, the text before the first "%" past the first
    // character as joining left it, and after it only "," and "." changed.
    check(record.find('\r') == std::string::npos);
    check(record.size() == realJoined.size());
    check(record.size() <= kLimit);
    const std::size_t percent = realJoined.size() < 2 ? std::string::npos : realJoined.find('%', 1);
    const std::size_t kept = percent == std::string::npos ? realJoined.size() : percent;
    check(record.compare(0, kept, realJoined, 0, kept) == 0);
    for (std::size_t i = kept; i < record.size(); ++i) {
        const char was = realJoined[i];
        check(record[i] == (was == ',' ? ';' : was == '.' ? ',' : was));
    }
    if (!text.empty() && text.back() == '\n') check(!record.empty() && record.back() == '\n');
    return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the buffer's size on the heap, so a step past it is caught.
    ReplyBuffer* buffer = static_cast<ReplyBuffer*>(std::malloc(sizeof(ReplyBuffer)));
    // Stale text from "earlier polls": commas, line feeds and "%" a careless
    // step could pick up past the end of the current text.
    for (std::size_t i = 0; i < kReplyBufferSize; ++i) buffer->text[i] = ",\n%.x"[i % 5];

    std::vector<std::uint8_t> repeated;
    if (size >= 3 && data[0] == 0xFF) {
        repeated.resize(1920 + std::size_t{data[1]});
        for (std::size_t i = 0; i < repeated.size(); ++i) repeated[i] = data[2 + i % (size - 2)];
        data = repeated.data();
        size = repeated.size();
    }

    std::size_t offset = 0;
    do {
        offset += pollOnce(*buffer, data + offset, size - offset);
    } while (offset < size);
    std::free(buffer);
    return 0;
}
