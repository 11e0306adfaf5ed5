#include "core/field_settings.h"

#include <charconv>
#include <cstring>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

void skipBlanks(const char* line, std::size_t length, std::size_t& at) {
    while (at < length && isBlank(line[at])) ++at;
}

// Whether the bytes are UTF-8 (no overlong form, no surrogate) without a
// control character: what a label of the metrics and the page can show.
bool isPlainText(const unsigned char* text, std::size_t length) {
    for (std::size_t at = 0; at < length;) {
        const unsigned lead = text[at];
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7F) return false;
            ++at;
            continue;
        }
        std::size_t size;
        unsigned lowest;
        if (lead >= 0xC2 && lead <= 0xDF) {
            size = 2, lowest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            size = 3, lowest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            size = 4, lowest = 0x10000;
        } else {
            return false;
        }
        if (at + size > length) return false;
        unsigned code = lead & (0x7F >> size);
        for (std::size_t k = 1; k < size; ++k) {
            if ((text[at + k] & 0xC0) != 0x80) return false;
            code = code << 6 | (text[at + k] & 0x3F);
        }
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        if (code >= 0x80 && code < 0xA0) return false;  // the C1 controls
        at += size;
    }
    return true;
}

// [+-]digits[(,|.)digits] or [+-](,|.)digits, to the end of the line.
bool readLimit(const char* text, std::size_t length, double& value) {
    char number[40];
    if (length == 0 || length >= sizeof number) return false;
    std::size_t at = 0, digits = 0;
    if (text[at] == '+' || text[at] == '-') ++at;
    for (; at < length && isDigit(text[at]); ++at) ++digits;
    if (at < length && (text[at] == ',' || text[at] == '.')) {
        for (++at; at < length && isDigit(text[at]); ++at) ++digits;
    }
    if (digits == 0 || at != length) return false;
    std::memcpy(number, text, length);
    for (std::size_t k = 0; k < length; ++k) {
        if (number[k] == ',') number[k] = '.';
    }
    const char* begin = number[0] == '+' ? number + 1 : number;
    const auto parsed = std::from_chars(begin, number + length, value);
    return parsed.ec == std::errc() && parsed.ptr == number + length;
}

bool isWord(const char* at, std::size_t left, const char* word) {
    if (left < 3) return false;
    for (int k = 0; k < 3; ++k) {
        const char c = at[k] >= 'A' && at[k] <= 'Z' ? static_cast<char>(at[k] - 'A' + 'a') : at[k];
        if (c != word[k]) return false;
    }
    return true;
}

}  // namespace

FieldLine readFieldLine(const char* line, std::size_t length) {
    FieldLine read;
    if (length > kMaxFieldLineLength) return read;
    while (length > 0 && isBlank(line[length - 1])) --length;
    std::size_t at = 0;
    skipBlanks(line, length, at);
    int position = 0;
    const std::size_t digitsFrom = at;
    for (; at < length && isDigit(line[at]); ++at) {
        if (at - digitsFrom >= 4) return read;
        position = position * 10 + (line[at] - '0');
    }
    if (at == digitsFrom || position < 1 || position > kMaxFieldPosition) return read;
    skipBlanks(line, length, at);
    FieldLineKind kind = FieldLineKind::Name;
    if (isWord(line + at, length - at, "min")) {
        kind = FieldLineKind::LowLimit;
    } else if (isWord(line + at, length - at, "max")) {
        kind = FieldLineKind::HighLimit;
    }
    if (kind != FieldLineKind::Name) {
        at += 3;
        skipBlanks(line, length, at);
    }
    if (at == length || line[at] != '=') return read;
    ++at;
    skipBlanks(line, length, at);
    if (kind == FieldLineKind::Name) {
        const std::size_t nameLength = length - at;
        if (nameLength == 0 || nameLength > kMaxFieldNameLength ||
            !isPlainText(reinterpret_cast<const unsigned char*>(line + at), nameLength)) {
            return read;
        }
        read.name = line + at;
        read.nameLength = nameLength;
    } else if (!readLimit(line + at, length - at, read.limit)) {
        return read;
    }
    read.kind = kind;
    read.position = position;
    return read;
}

void readFieldSettings(FieldSettings& settings, const char* text, std::size_t length) {
    settings.count = 0;
    for (std::size_t at = 0; at < length;) {
        const char* end = static_cast<const char*>(std::memchr(text + at, '\n', length - at));
        const std::size_t lineLength = end == nullptr ? length - at : static_cast<std::size_t>(end - text) - at;
        const FieldLine line = readFieldLine(text + at, lineLength);
        at += lineLength + 1;
        if (line.kind == FieldLineKind::None) continue;
        auto* setting = const_cast<FieldSetting*>(fieldSetting(settings, line.position));
        if (setting == nullptr) {
            if (settings.count == kMaxSetFields) continue;
            setting = &settings.fields[settings.count++];
            *setting = FieldSetting();
            setting->position = line.position;
        }
        switch (line.kind) {
            case FieldLineKind::Name:
                std::memcpy(setting->name, line.name, line.nameLength);
                setting->name[line.nameLength] = '\0';
                break;
            case FieldLineKind::LowLimit:
                setting->hasLow = true;
                setting->low = line.limit;
                break;
            case FieldLineKind::HighLimit:
                setting->hasHigh = true;
                setting->high = line.limit;
                break;
            case FieldLineKind::None: break;
        }
    }
}

const FieldSetting* fieldSetting(const FieldSettings& settings, int position) {
    for (int k = 0; k < settings.count; ++k) {
        if (settings.fields[k].position == position) return &settings.fields[k];
    }
    return nullptr;
}
