#include "core/records_names.h"

#include <cstring>

#include "core/folder_file.h"
#include "core/record_stamp.h"

namespace {

constexpr char kFieldNamesEnding[] = "-campos.txt";
constexpr char kServiceEnding[] = ".servicio.csv";
constexpr char kRecordsEnding[] = ".csv";

bool isAsciiNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-' || c == ' ';
}

// The bytes of the name character at `at` (1, or 2 for an accented letter in
// UTF-8), 0 when none begins there.
std::size_t nameCharacterLength(const unsigned char* at) {
    if (at[0] < 0x80) return isAsciiNameCharacter(static_cast<char>(at[0])) ? 1 : 0;
    const unsigned lead = at[0], next = at[1];
    if (next < 0x80 || next > 0xBF) return 0;
    // U+00C0 to U+024F, without the signs U+00D7 and U+00F7.
    if (lead == 0xC3) return next == 0x97 || next == 0xB7 ? 0 : 2;
    if (lead >= 0xC4 && lead <= 0xC8) return 2;
    if (lead == 0xC9) return next <= 0x8F ? 2 : 0;
    return 0;
}

bool isNameBytes(const char* name, std::size_t length) {
    if (length == 0 || length > kMaxRecordsNameLength) return false;
    if (name[0] == '.' || name[0] == '-' || name[0] == ' ' || name[length - 1] == ' ') return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(name);
    for (std::size_t at = 0; at < length;) {
        const std::size_t step = nameCharacterLength(bytes + at);
        if (step == 0 || at + step > length) return false;
        at += step;
    }
    return true;
}

bool endsWith(const char* text, std::size_t length, const char* ending, std::size_t endingLength) {
    return length >= endingLength &&
           std::memcmp(text + length - endingLength, ending, endingLength) == 0;
}

// Whether `text` ends in "-YYYY-MM" or "-YYYY-MM-DD" after a name; the
// name's length in `nameLength`.
bool endsInPeriod(const char* text, std::size_t length, std::size_t& nameLength) {
    static const std::size_t dateLengths[] = {10, 7};
    for (const std::size_t dateLength : dateLengths) {
        if (length < dateLength + 2) continue;
        const char* date = text + length - dateLength;
        if (date[-1] != '-' || date[4] != '-' || (dateLength == 10 && date[7] != '-')) continue;
        const int year = readDigits(date, 4), month = readDigits(date + 5, 2);
        if (year < 0 || month < 1 || month > 12) continue;
        if (dateLength == 10) {
            const int day = readDigits(date + 8, 2);
            if (day < 1 || day > daysInMonth(year, month)) continue;
        }
        nameLength = length - dateLength - 1;
        return true;
    }
    return false;
}

}  // namespace

bool isRecordsName(const char* name) {
    return isNameBytes(name, std::strlen(name));
}

RecordsFileKind recordsFileKind(const char* fileName) {
    const std::size_t length = std::strlen(fileName);
    if (length >= kFolderFileNameSize) return RecordsFileKind::None;
    if (endsWith(fileName, length, kFieldNamesEnding, sizeof kFieldNamesEnding - 1)) {
        return isNameBytes(fileName, length - (sizeof kFieldNamesEnding - 1))
                   ? RecordsFileKind::FieldNames
                   : RecordsFileKind::None;
    }
    RecordsFileKind kind = RecordsFileKind::Records;
    std::size_t stem = length;
    if (endsWith(fileName, length, kServiceEnding, sizeof kServiceEnding - 1)) {
        kind = RecordsFileKind::ServiceRecords;
        stem -= sizeof kServiceEnding - 1;
    } else if (endsWith(fileName, length, kRecordsEnding, sizeof kRecordsEnding - 1)) {
        stem -= sizeof kRecordsEnding - 1;
    } else {
        return RecordsFileKind::None;
    }
    std::size_t nameLength = 0;
    if (!endsInPeriod(fileName, stem, nameLength) || !isNameBytes(fileName, nameLength)) {
        return RecordsFileKind::None;
    }
    return kind;
}
