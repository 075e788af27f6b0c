// TIME_OF_DAY conversion in both directions, checked against fixed byte
// values and against std::chrono's calendar as an independent oracle.
#include "services/time_of_day.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::chrono;
using orukiv::CalendarTime;
using orukiv::DecodeTimeOfDay;
using orukiv::EncodeTimeOfDay;
using orukiv::TimeOfDay;
using Bytes = std::array<uint8_t, 6>;

constexpr sys_days kEpoch{year{1984} / January / 1};
constexpr uint64_t kMsPerDay = 86'400'000u;

// Calendar fields as plain numbers, so that mismatches print readably.
struct Fields {
    unsigned year, month, day, hour, minute, second, millisecond;
    bool operator==(const Fields&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Fields& f) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", f.year, f.month, f.day,
                  f.hour, f.minute, f.second, f.millisecond);
    return os << text;
}

Fields FieldsOf(const CalendarTime& t) {
    return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond};
}

// The oracle: the calendar time that lies msSinceEpoch after 1984-01-01.
Fields OracleFields(uint64_t msSinceEpoch) {
    const sys_days date = kEpoch + days{static_cast<int64_t>(msSinceEpoch / kMsPerDay)};
    const year_month_day ymd{date};
    const uint64_t ms = msSinceEpoch % kMsPerDay;
    return {static_cast<unsigned>(static_cast<int>(ymd.year())),
            static_cast<unsigned>(ymd.month()),
            static_cast<unsigned>(ymd.day()),
            static_cast<unsigned>(ms / 3'600'000u),
            static_cast<unsigned>(ms / 60'000u % 60u),
            static_cast<unsigned>(ms / 1000u % 60u),
            static_cast<unsigned>(ms % 1000u)};
}

// The oracle: days from 1984-01-01 to the given date.
int64_t OracleDayNumber(int y, unsigned m, unsigned d) {
    return (sys_days{year{y} / month{m} / day{d}} - kEpoch).count();
}

Bytes ToBytes(const TimeOfDay& t) {
    return {static_cast<uint8_t>(t.msAfterMidnight),
            static_cast<uint8_t>(t.msAfterMidnight >> 8),
            static_cast<uint8_t>(t.msAfterMidnight >> 16),
            static_cast<uint8_t>(t.msAfterMidnight >> 24),
            static_cast<uint8_t>(t.days),
            static_cast<uint8_t>(t.days >> 8)};
}

Bytes BytesOf(uint32_t msAfterMidnight, uint16_t dayCount) {
    return ToBytes(TimeOfDay{msAfterMidnight, dayCount});
}

TimeOfDay Encode(const Fields& f) {
    return EncodeTimeOfDay(static_cast<uint16_t>(f.year), static_cast<uint8_t>(f.month),
                           static_cast<uint8_t>(f.day), static_cast<uint8_t>(f.hour),
                           static_cast<uint8_t>(f.minute), static_cast<uint8_t>(f.second),
                           f.millisecond);
}

// ---- Known values, both directions ----------------------------------------

struct KnownValue {
    const char* name;
    Fields fields;
    uint32_t msAfterMidnight;
    uint16_t days;
};

const KnownValue kKnownValues[] = {
    {"Epoch", {1984, 1, 1, 0, 0, 0, 0}, 0, 0},
    {"NewYear2024Noon", {2024, 1, 1, 12, 0, 0, 500}, 43'200'500, 14'610},
    {"LeapDay2024LastMs", {2024, 2, 29, 23, 59, 59, 999}, 86'399'999, 14'669},
    {"LastDayOf1984", {1984, 12, 31, 0, 0, 0, 0}, 0, 365},
    {"FirstDayOf1985", {1985, 1, 1, 0, 0, 0, 0}, 0, 366},
    {"January31st2024", {2024, 1, 31, 0, 0, 0, 0}, 0, 14'640},
    {"LeapDay2024", {2024, 2, 29, 0, 0, 0, 0}, 0, 14'669},
    {"March1st2024", {2024, 3, 1, 0, 0, 0, 0}, 0, 14'670},
    {"LeapDay2000", {2000, 2, 29, 0, 0, 0, 0}, 0, 5'903},
    {"March1st2000", {2000, 3, 1, 0, 0, 0, 0}, 0, 5'904},
    {"February28th2100", {2100, 2, 28, 0, 0, 0, 0}, 0, 42'427},
    {"March1st2100NoLeapDay", {2100, 3, 1, 0, 0, 0, 0}, 0, 42'428},
    {"LastRepresentableSecond", {2120, 2, 7, 6, 28, 15, 0}, 23'295'000, 49'710},
    {"LastRepresentableMs", {2120, 2, 7, 6, 28, 15, 999}, 23'295'999, 49'710},
};

void PrintTo(const KnownValue& k, std::ostream* os) {
    *os << k.name;
}

class KnownValues : public ::testing::TestWithParam<KnownValue> {};

TEST_P(KnownValues, EncodeGivesDayCountAndMilliseconds) {
    const KnownValue& k = GetParam();
    const TimeOfDay t = Encode(k.fields);
    EXPECT_EQ(t.days, k.days);
    EXPECT_EQ(t.msAfterMidnight, k.msAfterMidnight);
}

TEST_P(KnownValues, DecodeGivesCalendarFields) {
    const KnownValue& k = GetParam();
    const Bytes b = BytesOf(k.msAfterMidnight, k.days);
    EXPECT_EQ(FieldsOf(DecodeTimeOfDay(b.data())), k.fields);
}

TEST_P(KnownValues, TableAgreesWithOracle) {
    // Guards the table itself against typos.
    const KnownValue& k = GetParam();
    const int64_t day =
        OracleDayNumber(static_cast<int>(k.fields.year), k.fields.month, k.fields.day);
    EXPECT_EQ(day, k.days);
}

INSTANTIATE_TEST_SUITE_P(TimeOfDay, KnownValues, ::testing::ValuesIn(kKnownValues),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TimeOfDay, FrameBytesOfPublishedExamples) {
    EXPECT_EQ(ToBytes(EncodeTimeOfDay(1984, 1, 1, 0, 0, 0, 0)), (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ToBytes(EncodeTimeOfDay(2024, 1, 1, 12, 0, 0, 500)),
              (Bytes{0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39}));
    EXPECT_EQ(ToBytes(EncodeTimeOfDay(2024, 2, 29, 23, 59, 59, 999)),
              (Bytes{0xFF, 0x5B, 0x26, 0x05, 0x4D, 0x39}));

    const Bytes noon{0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39};
    EXPECT_EQ(FieldsOf(DecodeTimeOfDay(noon.data())), (Fields{2024, 1, 1, 12, 0, 0, 500}));
}

// ---- Encoder carries and wraps --------------------------------------------

TEST(TimeOfDayEncode, MillisecondIsAddedUnchangedWithoutCarry) {
    // 1500 ms stays in the millisecond count; the seconds and day do not move.
    const TimeOfDay t = EncodeTimeOfDay(2024, 1, 1, 12, 0, 0, 1500);
    EXPECT_EQ(t.msAfterMidnight, 43'201'500u);
    EXPECT_EQ(t.days, 14'610);
    // ...and decodes as one and a half seconds past noon.
    const Bytes b = ToBytes(t);
    EXPECT_EQ(FieldsOf(DecodeTimeOfDay(b.data())), (Fields{2024, 1, 1, 12, 0, 1, 500}));

    // Not masked to the 28 bits of the field, and wrapping in 32 bits.
    EXPECT_EQ(EncodeTimeOfDay(2024, 1, 1, 23, 59, 59, 300'000'000).msAfterMidnight,
              86'399'000u + 300'000'000u);
    EXPECT_EQ(EncodeTimeOfDay(1984, 1, 1, 0, 0, 1, 0xFFFFFFFFu).msAfterMidnight, 999u);
}

TEST(TimeOfDayEncode, CalendarFieldsBeyondTheirRangeCarry) {
    const TimeOfDay feb1 = EncodeTimeOfDay(2024, 2, 1, 0, 0, 0, 0);
    const TimeOfDay jan32 = EncodeTimeOfDay(2024, 1, 32, 0, 0, 0, 0);
    EXPECT_EQ(jan32.days, feb1.days);
    EXPECT_EQ(jan32.msAfterMidnight, feb1.msAfterMidnight);
    EXPECT_EQ(feb1.days, 14'641);

    const TimeOfDay hour24 = EncodeTimeOfDay(2024, 1, 1, 24, 0, 0, 0);
    EXPECT_EQ(hour24.days, 14'611);
    EXPECT_EQ(hour24.msAfterMidnight, 0u);

    // Minute and second carry the same way: 23:59:60 is midnight.
    const TimeOfDay sec60 = EncodeTimeOfDay(2024, 1, 1, 23, 59, 60, 0);
    EXPECT_EQ(sec60.days, 14'611);
    EXPECT_EQ(sec60.msAfterMidnight, 0u);
    const TimeOfDay min90 = EncodeTimeOfDay(2024, 1, 1, 10, 90, 0, 0);
    EXPECT_EQ(min90.msAfterMidnight, (11u * 3600u + 30u * 60u) * 1000u);

    // 29 February of a common year is 1 March.
    const TimeOfDay feb29 = EncodeTimeOfDay(2023, 2, 29, 0, 0, 0, 0);
    EXPECT_EQ(feb29.days, OracleDayNumber(2023, 3, 1));
}

TEST(TimeOfDayEncode, SecondsCountWrapsPastTheLastRepresentableSecond) {
    EXPECT_EQ(orukiv::CalendarToSeconds(0, 1, 1, 0, 0, 0), 0u);
    EXPECT_EQ(orukiv::CalendarToSeconds(136, 2, 7, 6, 28, 15), 4'294'967'295u);
    EXPECT_EQ(orukiv::CalendarToSeconds(136, 2, 7, 6, 28, 16), 0u);
    EXPECT_EQ(orukiv::CalendarToSeconds(40, 1, 1, 12, 0, 0),
              static_cast<uint32_t>(14'610u * 86'400u + 43'200u));
}

TEST(TimeOfDayEncode, YearOffsetIsTakenModulo256) {
    // 2240 lies 256 years after the epoch: its offset wraps to 0.
    const TimeOfDay t = EncodeTimeOfDay(2240, 3, 5, 1, 2, 3, 4);
    const TimeOfDay u = EncodeTimeOfDay(1984, 3, 5, 1, 2, 3, 4);
    EXPECT_EQ(t.days, u.days);
    EXPECT_EQ(t.msAfterMidnight, u.msAfterMidnight);
}

// A month outside 1..12 is wrapped into it within the same year:
// (month + 11) % 12 + 1, so 13 is January and 0 is December.
TEST(TimeOfDayEncode, MonthOutsideRangeWrapsWithinTheYear) {
    struct Row {
        unsigned given, wrapped;
    };
    const Row rows[] = {{0, 12}, {13, 1}, {14, 2}, {24, 12}, {25, 1}, {100, 4}, {255, 3}};
    for (const int y : {1984, 2023, 2024}) {
        for (const Row& r : rows) {
            SCOPED_TRACE(testing::Message() << "year " << y << " month " << r.given);
            const TimeOfDay got = EncodeTimeOfDay(static_cast<uint16_t>(y),
                                                  static_cast<uint8_t>(r.given), 15, 8, 30, 0, 7);
            EXPECT_EQ(got.days, OracleDayNumber(y, r.wrapped, 15));
            EXPECT_EQ(got.msAfterMidnight, (8u * 3600u + 30u * 60u) * 1000u + 7u);
            EXPECT_EQ(orukiv::CalendarToSeconds(static_cast<uint8_t>(y - 1984),
                                                static_cast<uint8_t>(r.given), 15, 8, 30, 0),
                      orukiv::CalendarToSeconds(static_cast<uint8_t>(y - 1984),
                                                static_cast<uint8_t>(r.wrapped), 15, 8, 30, 0));
        }
    }
}

// ---- Decoder ---------------------------------------------------------------

TEST(TimeOfDayDecode, MillisecondFieldCarriesIntoTheDate) {
    const Bytes max28{0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x00};
    EXPECT_EQ(FieldsOf(DecodeTimeOfDay(max28.data())), (Fields{1984, 1, 4, 2, 33, 55, 455}));

    // Exactly one day of milliseconds on day 0 is the next midnight.
    const Bytes oneDay = BytesOf(86'400'000u, 0);
    EXPECT_EQ(FieldsOf(DecodeTimeOfDay(oneDay.data())), (Fields{1984, 1, 2, 0, 0, 0, 0}));

    // Across a year end.
    const Bytes newYearsEve = BytesOf(86'399'999u + 1u, 365);
    EXPECT_EQ(FieldsOf(DecodeTimeOfDay(newYearsEve.data())), (Fields{1985, 1, 1, 0, 0, 0, 0}));
}

TEST(TimeOfDayDecode, ReservedBitsAreIgnored) {
    const Bytes plain{0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39};
    const Fields expected{2024, 1, 1, 12, 0, 0, 500};
    for (const uint8_t bits : {0x10, 0x20, 0x40, 0x80, 0xF0}) {
        Bytes b = plain;
        b[3] = static_cast<uint8_t>(b[3] | bits);
        SCOPED_TRACE(testing::Message() << "byte 3 = 0x" << std::hex << unsigned{b[3]});
        EXPECT_EQ(FieldsOf(DecodeTimeOfDay(b.data())), expected);
    }
    const Bytes allSet{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
    EXPECT_EQ(FieldsOf(DecodeTimeOfDay(allSet.data())), (Fields{1984, 1, 4, 2, 33, 55, 455}));
}

// Beyond day 49 710 the 32-bit seconds count no longer holds the value; the
// decoder continues the calendar instead of wrapping back to 1984.
TEST(TimeOfDayDecode, DayCountsPastTheSecondsRangeContinueTheCalendar) {
    struct Row {
        uint32_t ms;
        uint16_t dayCount;
    };
    const Row rows[] = {
        {23'295'999u, 49'710},  // the last exact millisecond
        {23'296'000u, 49'710},  // one second later: past 2^32 seconds
        {0x0FFFFFFFu, 49'710},  // carry from the field crosses 2^32 seconds
        {0, 49'711},           {43'200'500u, 60'000}, {0, 0xFFFF},
        {86'399'999u, 0xFFFF}, {0x0FFFFFFFu, 0xFFFF},  // the largest value the six bytes can hold
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "day " << r.dayCount << " ms " << r.ms);
        const Bytes b = BytesOf(r.ms, r.dayCount);
        const Fields expected = OracleFields(uint64_t{r.dayCount} * kMsPerDay + r.ms);
        EXPECT_EQ(FieldsOf(DecodeTimeOfDay(b.data())), expected);
    }
    const Bytes last = BytesOf(0, 0xFFFF);
    EXPECT_EQ(FieldsOf(DecodeTimeOfDay(last.data())), (Fields{2163, 6, 6, 0, 0, 0, 0}));
}

// ---- Leap-year rule --------------------------------------------------------

TEST(TimeOfDay, LeapYearRule) {
    struct Row {
        uint32_t year;
        bool leap;
    };
    const Row rows[] = {{1984, true}, {1985, false}, {1900, false}, {2000, true}, {2023, false},
                        {2024, true}, {2100, false}, {2400, true},  {2120, true}};
    for (const Row& r : rows) EXPECT_EQ(orukiv::IsLeapYear(r.year), r.leap) << r.year;
    EXPECT_EQ(orukiv::MonthLengthTable[0][0], 365);
    EXPECT_EQ(orukiv::MonthLengthTable[1][0], 366);
    EXPECT_EQ(orukiv::MonthLengthTable[0][2], 28);
    EXPECT_EQ(orukiv::MonthLengthTable[1][2], 29);
}

// ---- Properties against the oracle ----------------------------------------

// Every day of the valid range, each at a pseudo-random time of day: the
// encoder must give the oracle's day count and milliseconds, and the decoder
// must give the calendar fields back.
TEST(TimeOfDayProperty, EveryDayInRangeRoundTrips) {
    std::mt19937 rng(20240101u);
    constexpr uint32_t kLastDay = 49'710;
    constexpr uint32_t kLastDayMs = 23'295'999;  // 06:28:15.999
    int failures = 0;
    for (uint32_t d = 0; d <= kLastDay && failures < 10; ++d) {
        const uint32_t limit = d == kLastDay ? kLastDayMs : 86'399'999u;
        const uint32_t msOfDay = d % 7 == 0
                                     ? (d % 14 == 0 ? 0u : limit)
                                     : std::uniform_int_distribution<uint32_t>(0, limit)(rng);
        const Fields f = OracleFields(uint64_t{d} * kMsPerDay + msOfDay);

        const TimeOfDay t = Encode(f);
        const Bytes b = ToBytes(t);
        const Fields back = FieldsOf(DecodeTimeOfDay(b.data()));
        const bool ok = t.days == d && t.msAfterMidnight == msOfDay && back == f;
        if (!ok) {
            ++failures;
            ADD_FAILURE() << f << ": encoded day " << t.days << " ms " << t.msAfterMidnight
                          << " (expected " << d << ", " << msOfDay << "), decoded " << back;
        }
    }
}

// Every possible day count, each with a pseudo-random 28-bit millisecond
// field (carrying up to three days): the decoder must agree with the oracle
// over the whole 16-bit range, past the valid range included.
TEST(TimeOfDayProperty, EveryDayCountDecodesLikeTheOracle) {
    std::mt19937 rng(1984u);
    std::uniform_int_distribution<uint32_t> msField(0, 0x0FFFFFFFu);
    std::uniform_int_distribution<uint32_t> reserved(0, 15);
    int failures = 0;
    for (uint32_t d = 0; d <= 0xFFFF && failures < 10; ++d) {
        const uint32_t ms = msField(rng);
        Bytes b = BytesOf(ms | reserved(rng) << 28, static_cast<uint16_t>(d));
        const Fields expected = OracleFields(uint64_t{d} * kMsPerDay + ms);
        const Fields got = FieldsOf(DecodeTimeOfDay(b.data()));
        if (got != expected) {
            ++failures;
            ADD_FAILURE() << "day " << d << " ms " << ms << ": decoded " << got << ", expected "
                          << expected;
        }
    }
}

}  // namespace
