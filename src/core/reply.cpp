#include "core/reply.h"

#include <cstring>

std::size_t receiveReply(ReplyBuffer& buffer, ByteSource source, void* context) {
    std::size_t length = 0;
    char byte = 0;
    while (length < kMaxReplyLength && source(context, byte)) {
        if (byte == '\r') continue;
        buffer.text[length++] = byte;
    }
    buffer.text[length] = '\0';
    return length;
}

void joinReplyLines(char* text) {
    char* cursor = text;
    for (;;) {
        char* lineFeed = std::strchr(cursor, '\n');
        if (lineFeed == nullptr) return;
        // A final line feed, or one followed by a single character, ends the record.
        if (lineFeed[1] == '\0' || lineFeed[2] == '\0') return;
        char* comma = std::strchr(lineFeed + 1, ',');
        if (comma == nullptr) return;
        std::memmove(lineFeed, comma, std::strlen(comma) + 1);
        cursor = lineFeed;
    }
}

void rewriteSeparators(char* text) {
    if (text[0] == '\0') return;
    char* c = std::strchr(text + 1, '%');
    if (c == nullptr) return;
    for (; *c != '\0'; ++c) {
        if (*c == ',') {
            *c = ';';
        } else if (*c == '.') {
            *c = ',';
        }
    }
}
