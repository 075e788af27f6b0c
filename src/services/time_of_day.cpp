#include "services/time_of_day.h"

#include "orukiv_common/byte_order.h"
#include "orukiv_common/calendar.h"

namespace orukiv {

const uint16_t MonthLengthTable[2][13] = {
    {365, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {366, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

bool IsLeapYear(uint32_t year) {
    return calendar::IsLeapYear(static_cast<int64_t>(year));
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
    const int64_t days = calendar::DaysFromCivil(1984 + yearOffset, WrapMonth(month), 1) -
                         calendar::kDaysFrom1970To1984 + day - 1;
    // Unsigned 32-bit arithmetic wraps alike whatever width computes it.
    return static_cast<uint32_t>(((days * 24 + hour) * 60 + minute) * 60 + second);
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
    const uint32_t ms = LoadLe32(data) & 0x0FFFFFFFu;
    const uint32_t days = LoadLe16(data + 4);
    // 64-bit so that day counts above 49 710 continue the calendar instead
    // of wrapping; identical to 32-bit arithmetic inside the valid range.
    const uint64_t total = static_cast<uint64_t>(days) * 86400u + ms / 1000u;
    const auto secondsOfDay = static_cast<uint32_t>(total % 86400u);
    int64_t year = 0;
    unsigned month = 0, day = 0;
    calendar::CivilFromDays(calendar::kDaysFrom1970To1984 + static_cast<int64_t>(total / 86400u),
                            year, month, day);
    CalendarTime t{};
    t.year = static_cast<uint16_t>(year);
    t.month = static_cast<uint8_t>(month);
    t.day = static_cast<uint8_t>(day);
    t.hour = static_cast<uint8_t>(secondsOfDay / 3600u);
    t.minute = static_cast<uint8_t>(secondsOfDay % 3600u / 60u);
    t.second = static_cast<uint8_t>(secondsOfDay % 60u);
    t.millisecond = ms % 1000u;
    return t;
}

}  // namespace orukiv
