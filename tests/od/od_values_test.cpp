// KIV_OdParseValue and KIV_OdFormatValue over every basic type: encodings,
// the text read back, and values that do not fit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orukiv/orukiv_od.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct RoundTrip {
    uint16_t type;
    const char* text;
    Bytes bytes;
    const char* formatted;  // null: the text itself
};

// clang-format off
const RoundTrip kRoundTrips[] = {
    {KIV_OD_BOOLEAN, "true", {0x01}, "1"},
    {KIV_OD_BOOLEAN, "0", {0x00}, nullptr},
    {KIV_OD_INTEGER8, "-128", {0x80}, nullptr},
    {KIV_OD_INTEGER8, "0xFF", {0xFF}, "-1"},
    {KIV_OD_INTEGER16, "-2", {0xFE, 0xFF}, nullptr},
    {KIV_OD_INTEGER24, "-8388608", {0x00, 0x00, 0x80}, nullptr},
    {KIV_OD_INTEGER32, "2147483647", {0xFF, 0xFF, 0xFF, 0x7F}, nullptr},
    {KIV_OD_INTEGER40, "-549755813888", {0, 0, 0, 0, 0x80}, nullptr},
    {KIV_OD_INTEGER48, "140737488355327", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, nullptr},
    {KIV_OD_INTEGER56, "-1", Bytes(7, 0xFF), nullptr},
    {KIV_OD_INTEGER64, "-9223372036854775808", {0, 0, 0, 0, 0, 0, 0, 0x80}, nullptr},
    {KIV_OD_UNSIGNED8, " 255 ", {0xFF}, "255"},
    {KIV_OD_UNSIGNED8, "010", {10}, "10"},  // hosts write decimal; octal is for files
    {KIV_OD_UNSIGNED16, "0xbeef", {0xEF, 0xBE}, "48879"},
    {KIV_OD_UNSIGNED24, "16777215", {0xFF, 0xFF, 0xFF}, nullptr},
    {KIV_OD_UNSIGNED32, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}, nullptr},
    {KIV_OD_UNSIGNED40, "1099511627775", Bytes(5, 0xFF), nullptr},
    {KIV_OD_UNSIGNED48, "0x010203040506", {6, 5, 4, 3, 2, 1}, "1108152157446"},
    {KIV_OD_UNSIGNED56, "72057594037927935", Bytes(7, 0xFF), nullptr},
    {KIV_OD_UNSIGNED64, "18446744073709551615", Bytes(8, 0xFF), nullptr},
    {KIV_OD_REAL32, "1.5", {0x00, 0x00, 0xC0, 0x3F}, nullptr},
    {KIV_OD_REAL32, "-2.5e-3", {0x0A, 0xD7, 0x23, 0xBB}, "-0.0025"},
    {KIV_OD_REAL64, "-0.1", {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0xBF}, nullptr},
    {KIV_OD_VISIBLE_STRING, "a; b ", {'a', ';', ' ', 'b', ' '}, nullptr},
    {KIV_OD_OCTET_STRING, "01 aB", {0x01, 0xAB}, "01ab"},
    {KIV_OD_UNICODE_STRING, "a\xE2\x82\xAC", {'a', 0, 0xAC, 0x20}, nullptr},
    {KIV_OD_UNICODE_STRING, "\xF0\x9F\x98\x80", {0x3D, 0xD8, 0x00, 0xDE}, nullptr},
    {KIV_OD_TIME_OF_DAY, "1984-01-02 00:00:01.500", {0xDC, 0x05, 0, 0, 0x01, 0}, nullptr},
    {KIV_OD_TIME_OF_DAY, "2024-02-29 23:59:59.999", {0xFF, 0x5B, 0x26, 0x05, 0x4D, 0x39}, nullptr},
    {KIV_OD_TIME_DIFFERENCE, "2 00:00:00.010", {0x0A, 0, 0, 0, 0x02, 0}, nullptr},
    {KIV_OD_TIME_DIFFERENCE, "3 1000", {0xE8, 0x03, 0, 0, 0x03, 0}, "3 00:00:01.000"},
    {KIV_OD_DOMAIN, "DEADbeef", {0xDE, 0xAD, 0xBE, 0xEF}, "deadbeef"},
};
// clang-format on

TEST(OdValues, ParseAndFormatEveryBasicType) {
    for (const RoundTrip& row : kRoundTrips) {
        SCOPED_TRACE(std::string("type ") + std::to_string(row.type) + " \"" + row.text + "\"");
        uint8_t data[16] = {};
        uint32_t size = 0;
        ASSERT_EQ(KIV_OdParseValue(row.type, row.text, data, sizeof data, &size), KIV_OK);
        EXPECT_EQ(Bytes(data, data + size), row.bytes);
        char text[64];
        ASSERT_EQ(KIV_OdFormatValue(row.type, row.bytes.data(),
                                    static_cast<uint32_t>(row.bytes.size()), text, sizeof text),
                  KIV_OK);
        EXPECT_STREQ(text, row.formatted != nullptr ? row.formatted : row.text);
    }
}

struct Refused {
    uint16_t type;
    const char* text;
    uint32_t capacity;
};

// clang-format off
const Refused kRefused[] = {
    {KIV_OD_BOOLEAN, "2", 8},          {KIV_OD_INTEGER8, "128", 8},
    {KIV_OD_INTEGER8, "-129", 8},      {KIV_OD_INTEGER8, "0x100", 8},
    {KIV_OD_INTEGER16, "1e2", 8},      {KIV_OD_INTEGER24, "8388608", 8},
    {KIV_OD_INTEGER64, "9223372036854775808", 8},
    {KIV_OD_UNSIGNED8, "-1", 8},       {KIV_OD_UNSIGNED8, "1.5", 8},
    {KIV_OD_UNSIGNED8, "", 8},         {KIV_OD_UNSIGNED8, "0x", 8},
    {KIV_OD_UNSIGNED24, "16777216", 8}, {KIV_OD_UNSIGNED40, "0x10000000000", 8},
    {KIV_OD_UNSIGNED64, "18446744073709551616", 8},
    {KIV_OD_UNSIGNED32, "$NODEID+0x180", 8},
    {KIV_OD_UNSIGNED32, "4", 3},       // no room for the value
    {KIV_OD_REAL32, "1e39", 8},        {KIV_OD_REAL64, "1.0.0", 8},
    {KIV_OD_VISIBLE_STRING, "abcdef", 5},
    {KIV_OD_OCTET_STRING, "abc", 8},   {KIV_OD_DOMAIN, "0g", 8},
    {KIV_OD_UNICODE_STRING, "\xFF", 8}, {KIV_OD_UNICODE_STRING, "\xE2\x82", 8},
    {KIV_OD_TIME_OF_DAY, "1984-02-30 00:00:00", 8},
    {KIV_OD_TIME_OF_DAY, "1983-12-31 00:00:00", 8},
    {KIV_OD_TIME_OF_DAY, "1984-01-01 24:00:00", 8},
    {KIV_OD_TIME_DIFFERENCE, "1 86400000", 8}, {KIV_OD_TIME_DIFFERENCE, "65536 0", 8},
    {0x000E, "1", 8},                  {0x0040, "1", 8},
};
// clang-format on

TEST(OdValues, RefusesWhatDoesNotFitWithoutTouchingTheBuffer) {
    for (const Refused& row : kRefused) {
        SCOPED_TRACE(std::string("type ") + std::to_string(row.type) + " \"" + row.text + "\"");
        uint8_t data[8];
        std::fill(std::begin(data), std::end(data), 0xA5);
        uint32_t size = 77;
        EXPECT_EQ(KIV_OdParseValue(row.type, row.text, data, row.capacity, &size), KIV_ERR_PARAM);
        EXPECT_EQ(size, 77u);
        EXPECT_EQ(Bytes(data, data + 8), Bytes(8, 0xA5));
    }
}

TEST(OdValues, FormatRefusesSizesAndBytesThatAreNoValue) {
    const uint8_t bytes[8] = {0x00, 0x5C, 0x26, 0x05, 0, 0, 0, 0};  // 86 400 000 ms: no time of day
    const uint8_t surrogate[2] = {0x00, 0xDC};
    struct Row {
        uint16_t type;
        const uint8_t* data;
        uint32_t size;
        uint32_t capacity;
    } rows[] = {
        {KIV_OD_UNSIGNED16, bytes, 3, 32},
        {KIV_OD_INTEGER64, bytes, 4, 32},
        {KIV_OD_UNSIGNED32, bytes, 4, 2},
        {KIV_OD_TIME_OF_DAY, bytes, 6, 32},
        {KIV_OD_UNICODE_STRING, bytes, 3, 32},
        {KIV_OD_UNICODE_STRING, surrogate, 2, 32},
        {0x0017, bytes, 1, 32},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        char text[32] = "untouched";
        EXPECT_EQ(KIV_OdFormatValue(row.type, row.data, row.size, text, row.capacity),
                  KIV_ERR_PARAM);
        EXPECT_STREQ(text, "");
    }
    EXPECT_EQ(KIV_OdFormatValue(KIV_OD_UNSIGNED8, nullptr, 1, nullptr, 0), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_OdParseValue(KIV_OD_UNSIGNED8, "1", nullptr, 0, nullptr), KIV_ERR_PARAM);
}

}  // namespace
