// CANopen TIME_OF_DAY: milliseconds after midnight and days since
// 1984-01-01, converted to and from calendar fields. Pure functions.
#pragma once

#include <cstdint>

namespace orukiv {

// Row 0 the common year, row 1 the leap year; entry 0 is the year's length,
// entries 1..12 the lengths of January to December.
extern const uint16_t MonthLengthTable[2][13];

bool IsLeapYear(uint32_t year);

// Seconds since 1984-01-01 00:00:00 (unsigned 32-bit, wrapping). The month
// is taken as it is wrapped into 1..12 (13 is January, 0 December).
uint32_t CalendarToSeconds(uint8_t yearOffset, uint8_t month, uint8_t day, uint8_t hour,
                           uint8_t minute, uint8_t second);

struct TimeOfDay {
    uint32_t msAfterMidnight;
    uint16_t days;
};

TimeOfDay EncodeTimeOfDay(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute,
                          uint8_t second, uint32_t millisecond);

struct CalendarTime {
    uint16_t year;
    uint8_t month, day, hour, minute, second;
    uint32_t millisecond;
};

// Decodes data bytes 0..5 of a TIME frame. Day counts beyond 49 710 (past the
// 32-bit seconds count) continue the calendar rather than wrap.
CalendarTime DecodeTimeOfDay(const uint8_t* data);

}  // namespace orukiv
