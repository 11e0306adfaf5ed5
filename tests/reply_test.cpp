#include "core/reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Canned reply bytes handed out one at a time, then silence.
struct CannedBytes {
    std::string bytes;
    std::size_t next = 0;
    int readsAfterEnd = 0;
};

bool nextCannedByte(void* context, char& byte) {
    CannedBytes& canned = *static_cast<CannedBytes*>(context);
    if (canned.next >= canned.bytes.size()) {
        ++canned.readsAfterEnd;
        return false;
    }
    byte = canned.bytes[canned.next++];
    return true;
}

// The three steps of one poll, as the logging run applies them.
std::string recordFor(const std::string& reply) {
    ReplyBuffer buffer;
    std::memset(buffer.text, 'Z', sizeof buffer.text);
    CannedBytes canned{reply};
    receiveReply(buffer, nextCannedByte, &canned);
    joinReplyLines(buffer.text);
    rewriteSeparators(buffer.text);
    return buffer.text;
}

TEST(Reply, RecordsFromRepliesOfEveryShape) {
    const struct {
        const char* name;
        std::string reply;
        std::string record;
    } cases[] = {
        {"worked example", "HDR,x.y\r\nT,21.5\r\nH,40%,7.25\r\n", "HDR,x.y,21.5,40%;7,25\n"},
        {"silence", "", ""},
        {"single line", "A,1.5,2\r\n", "A,1.5,2\n"},
        {"no final line feed", "HDR,1.0\r\nT,2.5", "HDR,1.0,2.5"},
        {"comma-less later line joins with the next label",
         "HDR,a\nnolabel\nT,1.5\n", "HDR,a,1.5\n"},
        {"no later comma stops joining", "HDR,a\nfoo\nbar\n", "HDR,a\nfoo\nbar\n"},
        {"one-character last line stays", "HDR,a\nT,1\nX", "HDR,a,1\nX"},
        {"line feed then one character", "HDR,a\n,", "HDR,a\n,"},
        {"line feed then two characters", "HDR,a\n,b", "HDR,a,b"},
        {"label-only field keeps its comma", "HDR\n,5\n", "HDR,5\n"},
        {"a line can hold many fields", "H\nA,1,2.5,3\nB,4\n", "H,1,2.5,3,4\n"},
        {"% only as first character", "%a,1.5\nT,2.5\n", "%a,1.5,2.5\n"},
        {"no %", "HDR,1.5\nT,2.5\n", "HDR,1.5,2.5\n"},
        {"% at second character", "A%,1.5\n", "A%;1,5\n"},
        {"only the first % starts rewriting", "a.b,1%,2.5%,3.5\n", "a.b,1%;2,5%;3,5\n"},
        {"a dot becomes a comma, never a semicolon", "x%.,.\n", "x%,;,\n"},
        {"a zero byte ends the text", std::string("HDR,1\nT,2\0X,3.5%,4\n", 19), "HDR,1,2"},
        {"bare carriage returns vanish", "\r\r\rA\r,1\r", "A,1"},
        {"line feeds only", "\n\n\n", "\n\n\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(recordFor(c.reply), c.record) << c.name;
}

TEST(Reply, ReceivingStopsAt2047CharactersNotCountingCarriageReturns) {
    std::string reply;
    for (int i = 0; i < 1000; ++i) reply += "ab\r";  // 2000 stored characters
    reply += std::string(47, 'c') + "\r\r\rDEF";     // reaches 2047 before D

    ReplyBuffer buffer;
    CannedBytes canned{reply};
    EXPECT_EQ(receiveReply(buffer, nextCannedByte, &canned), 2047u);
    EXPECT_EQ(buffer.text[2047], '\0');
    EXPECT_EQ(std::strlen(buffer.text), 2047u);
    EXPECT_EQ(buffer.text[2046], 'c');
    // The rest is left in the port for the next poll, not read and dropped.
    EXPECT_EQ(reply.substr(canned.next), "\r\r\rDEF");
    EXPECT_EQ(canned.readsAfterEnd, 0);

    CannedBytes next{reply.substr(canned.next)};
    EXPECT_EQ(receiveReply(buffer, nextCannedByte, &next), 3u);
    EXPECT_STREQ(buffer.text, "DEF");
    EXPECT_EQ(next.readsAfterEnd, 1);  // one silent read ends the reply
}

TEST(Reply, ZeroBytesAreStoredAndCounted) {
    ReplyBuffer buffer;
    CannedBytes canned{std::string("A\0B\r\n", 5)};
    EXPECT_EQ(receiveReply(buffer, nextCannedByte, &canned), 4u);
    EXPECT_EQ(std::memcmp(buffer.text, "A\0B\n\0", 5), 0);
}

TEST(Reply, JoiningAFullBufferStaysInsideIt) {
    // Worst case for the in-place moves: 2047 characters of short lines.
    std::string reply = "HDR,0";
    while (reply.size() + 4 <= kMaxReplyLength) reply += "\nL,.";
    reply.resize(kMaxReplyLength, 'x');
    ReplyBuffer buffer;
    CannedBytes canned{reply};
    ASSERT_EQ(receiveReply(buffer, nextCannedByte, &canned), kMaxReplyLength);
    joinReplyLines(buffer.text);
    rewriteSeparators(buffer.text);
    const std::string record = buffer.text;
    EXPECT_EQ(record.find('\n'), std::string::npos);
    EXPECT_EQ(record.rfind("HDR,0,.,.", 0), 0u);
    EXPECT_EQ(record.size(), 5 + (kMaxReplyLength - 5) / 4 * 2 + (kMaxReplyLength - 5) % 4);
}

}  // namespace
