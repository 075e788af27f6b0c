// TIME_OF_DAY in both directions against std::chrono's calendar.
//
// Input bytes 0..5: a received TIME_OF_DAY value, decoded and compared with
// the calendar time that lies that long after 1984-01-01 (day counts past the
// 32-bit seconds range included); inside the valid range the decoded fields
// must also encode back to the same day and millisecond.
// Input bytes 6..16 (when present): year (2, little-endian), month, day,
// hour, minute, second, millisecond (4) given to the encoder, compared with
// the same computation done on the oracle's day numbers: the year offset
// taken modulo 256, the month wrapped into 1..12, the seconds count in 32
// bits, the milliseconds added unchanged.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "services/time_of_day.h"

namespace {

using namespace std::chrono;

constexpr sys_days kEpoch{year{1984} / January / 1};

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_time_of_day: %s\n", what);
    std::abort();
}

uint32_t Le32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void CheckDecode(const uint8_t* in) {
    const uint32_t ms = Le32(in) & 0x0FFFFFFFu;
    const uint32_t dayCount = static_cast<uint32_t>(in[4]) | static_cast<uint32_t>(in[5]) << 8;
    const uint64_t totalMs = uint64_t{dayCount} * 86'400'000u + ms;
    const sys_days date = kEpoch + days{static_cast<int64_t>(totalMs / 86'400'000u)};
    const year_month_day ymd{date};
    const uint64_t msOfDay = totalMs % 86'400'000u;

    const orukiv::CalendarTime t = orukiv::DecodeTimeOfDay(in);
    if (t.year != static_cast<int>(ymd.year()) || t.month != static_cast<unsigned>(ymd.month()) ||
        t.day != static_cast<unsigned>(ymd.day()) || t.hour != msOfDay / 3'600'000u ||
        t.minute != msOfDay / 60'000u % 60u || t.second != msOfDay / 1000u % 60u ||
        t.millisecond != msOfDay % 1000u)
        Fail("decoded fields differ from the calendar");

    const uint64_t seconds = totalMs / 1000u;
    if (seconds > 0xFFFFFFFFu) return;  // beyond what the encoder represents
    const orukiv::TimeOfDay back =
        orukiv::EncodeTimeOfDay(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
    if (back.days != seconds / 86'400u ||
        back.msAfterMidnight != (seconds % 86'400u) * 1000u + t.millisecond)
        Fail("decoded fields do not encode back");
}

void CheckEncode(const uint8_t* in) {
    const auto y = static_cast<uint16_t>(in[0] | in[1] << 8);
    const uint8_t month = in[2], day = in[3], hour = in[4], minute = in[5], second = in[6];
    const uint32_t millisecond = Le32(in + 7);

    const int fullYear = 1984 + static_cast<uint8_t>(y - 1984);
    const unsigned m = (month + 11u) % 12u + 1u;
    const int64_t monthStart =
        (sys_days{year{fullYear} / std::chrono::month{m} / 1} - kEpoch).count();
    const int64_t exact = (((monthStart + day - 1) * 24 + hour) * 60 + minute) * 60 + second;
    const auto s = static_cast<uint32_t>(static_cast<uint64_t>(exact));
    const auto yearOffset = static_cast<uint8_t>(fullYear - 1984);
    if (orukiv::CalendarToSeconds(yearOffset, month, day, hour, minute, second) != s)
        Fail("seconds count differs");
    const orukiv::TimeOfDay t =
        orukiv::EncodeTimeOfDay(y, month, day, hour, minute, second, millisecond);
    if (t.days != static_cast<uint16_t>(s / 86'400u)) Fail("day count differs");
    if (t.msAfterMidnight != (s % 86'400u) * 1000u + millisecond) Fail("milliseconds differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, std::size_t size) {
    if (size >= 6) CheckDecode(in);
    if (size >= 17) CheckEncode(in + 6);
    return 0;
}
