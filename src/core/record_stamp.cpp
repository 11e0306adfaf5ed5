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
