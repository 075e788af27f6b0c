#include "services/time_of_day.h"

namespace orukiv {

const uint16_t MonthLengthTable[2][13] = {
    {365, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {366, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

bool IsLeapYear(uint32_t year) {
    return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
}

namespace {
// A month outside 1..12 would index past the table: wrap it into range.
unsigned WrapMonth(uint8_t month) {
    if (month >= 1 && month <= 12) return month;
    return (static_cast<unsigned>(month) + 11u) % 12u + 1u;
}
}  // namespace

uint32_t CalendarToSeconds(uint8_t yearOffset, uint8_t month, uint8_t day, uint8_t hour,
                           uint8_t minute, uint8_t second) {
    const uint32_t year = 1984u + yearOffset;
    uint32_t days = 0;
    for (uint32_t y = 1984; y < year; ++y) days += IsLeapYear(y) ? 366u : 365u;
    const unsigned m = WrapMonth(month);
    for (unsigned i = 1; i < m; ++i) days += MonthLengthTable[0][i];
    if (m > 2 && IsLeapYear(year)) days += 1;
    return (((days + day - 1u) * 24u + hour) * 60u + minute) * 60u + second;
}

TimeOfDay EncodeTimeOfDay(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute,
                          uint8_t second, uint32_t millisecond) {
    const auto yearOffset = static_cast<uint8_t>(year - 1984u);
    const uint32_t s = CalendarToSeconds(yearOffset, month, day, hour, minute, second);
    const uint32_t days = s / 86400u;
    const uint32_t secondsOfDay = s - days * 86400u;
    return TimeOfDay{secondsOfDay * 1000u + millisecond, static_cast<uint16_t>(days)};
}

CalendarTime DecodeTimeOfDay(const uint8_t* data) {
    const uint32_t ms =
        (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
         static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24) &
        0x0FFFFFFFu;
    const uint32_t days = static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8;
    // 64-bit so that day counts above 49 710 continue the calendar instead
    // of wrapping; identical to 32-bit arithmetic inside the valid range.
    const uint64_t total = static_cast<uint64_t>(days) * 86400u + ms / 1000u;
    uint64_t dayNumber = total / 86400u + 1u;
    const auto secondsOfDay = static_cast<uint32_t>(total % 86400u);

    uint32_t year = 1984;
    for (;;) {
        const uint32_t len = MonthLengthTable[IsLeapYear(year) ? 1 : 0][0];
        if (dayNumber <= len) break;
        dayNumber -= len;
        ++year;
    }
    const uint16_t* row = MonthLengthTable[IsLeapYear(year) ? 1 : 0];
    unsigned month = 1;
    while (month < 12 && dayNumber > row[month]) {
        dayNumber -= row[month];
        ++month;
    }
    CalendarTime t{};
    t.year = static_cast<uint16_t>(year);
    t.month = static_cast<uint8_t>(month);
    t.day = static_cast<uint8_t>(dayNumber);
    t.hour = static_cast<uint8_t>(secondsOfDay / 3600u);
    t.minute = static_cast<uint8_t>(secondsOfDay % 3600u / 60u);
    t.second = static_cast<uint8_t>(secondsOfDay % 60u);
    t.millisecond = ms % 1000u;
    return t;
}

}  // namespace orukiv
