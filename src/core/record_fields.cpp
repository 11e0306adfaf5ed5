#include "core/record_fields.h"

#include <charconv>
#include <cstring>

namespace {

// The index of `c` in text[from, length), or `length`.
std::size_t indexOf(const char* text, std::size_t length, std::size_t from, char c) {
    if (from >= length) return length;
    const void* found = std::memchr(text + from, c, length - from);
    return found == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(found) - text);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether text is [+-]digits[.digits][e[+-]digits], with digits on at least
// one side of the point.
bool isDecimalNumber(const char* text, std::size_t length) {
    std::size_t at = 0;
    if (at < length && (text[at] == '+' || text[at] == '-')) ++at;
    std::size_t digits = 0;
    for (; at < length && isDigit(text[at]); ++at) ++digits;
    if (at < length && text[at] == '.') {
        for (++at; at < length && isDigit(text[at]); ++at) ++digits;
    }
    if (digits == 0) return false;
    if (at < length && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < length && (text[at] == '+' || text[at] == '-')) ++at;
        const std::size_t exponentStart = at;
        while (at < length && isDigit(text[at])) ++at;
        if (at == exponentStart) return false;
    }
    return at == length;
}

}  // namespace

RecordFields fieldsOf(const char* record, std::size_t length) {
    RecordFields fields;
    fields.record = record;
    fields.length = length;
    fields.percent = indexOf(record, length, 1, '%');
    return fields;
}

bool nextField(RecordFields& fields, RecordField& field) {
    if (fields.start > fields.length) return false;
    const std::size_t start = fields.start, length = fields.length, percent = fields.percent;
    std::size_t end;
    if (percent == length || start > percent) {
        end = indexOf(fields.record, length, start, percent == length ? ',' : ';');
    } else {
        end = indexOf(fields.record, length, start, ',');
        if (end > percent) end = indexOf(fields.record, length, percent, ';');
    }
    field.text = fields.record + start;
    field.length = end - start;
    field.position = ++fields.position;
    field.decimalComma = percent < length && start > percent;
    fields.start = end + 1;
    return true;
}

bool fieldNumber(const RecordField& field, double& value) {
    // The longest number worth reading: a record's field can be 2,047 bytes.
    char text[64];
    std::size_t length = field.length;
    if (length > 0 && field.text[length - 1] == '%') --length;
    std::size_t from = 0;
    while (from < length && isBlank(field.text[from])) ++from;
    while (length > from && isBlank(field.text[length - 1])) --length;
    if (length - from >= sizeof text) return false;
    std::memcpy(text, field.text + from, length - from);
    length -= from;
    text[length] = '\0';
    if (field.decimalComma) {
        if (std::memchr(text, '.', length) != nullptr) return false;
        if (char* comma = static_cast<char*>(std::memchr(text, ',', length))) *comma = '.';
    }
    if (!isDecimalNumber(text, length)) return false;
    const char* begin = text[0] == '+' ? text + 1 : text;
    const auto parsed = std::from_chars(begin, text + length, value);
    if (parsed.ec == std::errc::result_out_of_range) {
        // Too small for a double is zero; too large is no number.
        const char* exponent = std::strpbrk(text, "eE");
        if (exponent == nullptr || exponent[1] != '-') return false;
        value = text[0] == '-' ? -0.0 : 0.0;
        return true;
    }
    return parsed.ec == std::errc() && parsed.ptr == text + length;
}
