#include "core/record_stamp.h"

namespace {

constexpr std::int64_t kMsPerDay = 86400000;

// Floor division, so that readings before 1970 land on the day they belong to.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Writes the last `digits` decimal digits of `value`, zero-padded.
char* putDigits(char* at, int value, int digits) {
    unsigned rest = static_cast<unsigned>(value);
    for (int i = digits - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    }
    return at + digits;
}

}  // namespace

int readDigits(const char* at, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (at[i] < '0' || at[i] > '9') return -1;
        value = value * 10 + (at[i] - '0');
    }
    return value;
}

int daysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

bool isRecordLine(const char* line, std::size_t length) {
    constexpr std::size_t kStampLength = kStampSize - 1;
    if (length <= kStampLength || length > kMaxRecordLineLength) return false;
    static const struct {
        int at;
        char mark;
    } marks[] = {{4, '-'}, {7, '-'}, {10, 'T'}, {13, ':'}, {16, ':'}, {19, '.'}, {23, ','}};
    for (const auto& m : marks) {
        if (line[m.at] != m.mark) return false;
    }
    const int year = readDigits(line, 4), month = readDigits(line + 5, 2);
    const int day = readDigits(line + 8, 2), hour = readDigits(line + 11, 2);
    const int minute = readDigits(line + 14, 2), second = readDigits(line + 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        readDigits(line + 20, 3) < 0) {
        return false;
    }
    for (std::size_t at = kStampLength + 1; at < length; ++at) {
        const char c = line[at];
        if (c == '\0' || c == '\n' || (c == '\r' && at + 1 != length)) return false;
    }
    return true;
}

CalendarTime calendarTimeOf(std::int64_t msSinceEpoch) {
    const std::int64_t days = floorDiv(msSinceEpoch, kMsPerDay);
    std::int64_t msOfDay = msSinceEpoch - days * kMsPerDay;
    CalendarTime when;
    when.millisecond = static_cast<int>(msOfDay % 1000);
    msOfDay /= 1000;
    when.second = static_cast<int>(msOfDay % 60);
    when.minute = static_cast<int>(msOfDay / 60 % 60);
    when.hour = static_cast<int>(msOfDay / 3600);

    // The proleptic Gregorian date of a day count, in 400-year eras that
    // begin on 1 March, so that the leap day is the era's year's last day.
    const std::int64_t shifted = days + 719468;  // days from 0000-03-01 to 1970-01-01
    const std::int64_t era = floorDiv(shifted, 146097);
    const std::int64_t dayOfEra = shifted - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    when.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    when.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    when.year = static_cast<int>(yearOfEra + era * 400 + (when.month <= 2));
    return when;
}

void formatStamp(char (&stamp)[kStampSize], const CalendarTime& when) {
    char* at = putDigits(stamp, when.year, 4);
    *at++ = '-';
    at = putDigits(at, when.month, 2);
    *at++ = '-';
    at = putDigits(at, when.day, 2);
    *at++ = 'T';
    at = putDigits(at, when.hour, 2);
    *at++ = ':';
    at = putDigits(at, when.minute, 2);
    *at++ = ':';
    at = putDigits(at, when.second, 2);
    *at++ = '.';
    at = putDigits(at, when.millisecond, 3);
    *at = '\0';
}

std::int64_t msOfStamp(const char* stamp) {
    // Days from 1970-01-01 of the proleptic Gregorian date, in 400-year eras
    // from 1 March, as in calendarTimeOf.
    const int month = readDigits(stamp + 5, 2);
    const std::int64_t year = readDigits(stamp, 4) - (month <= 2);
    const std::int64_t era = floorDiv(year, 400);
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 +
                                   readDigits(stamp + 8, 2) - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = era * 146097 + dayOfEra - 719468;
    const std::int64_t seconds = readDigits(stamp + 11, 2) * 3600 + readDigits(stamp + 14, 2) * 60 +
                                 readDigits(stamp + 17, 2);
    return (days * 86400 + seconds) * 1000 + readDigits(stamp + 20, 3);
}
