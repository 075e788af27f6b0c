// The tool's text in and out: values, bus names, mapping entries, candump
// lines, serial-line CAN lines and raw CAN socket frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bus.h"
#include "candump.h"
#include "procedures.h"
#include "slcan_codec.h"
#include "values.h"
#ifdef __linux__
#include "socketcan_frame.h"
#endif

using namespace orukiv::tool;

namespace {

using Bytes = std::vector<uint8_t>;

KIV_CanFrame Frame(uint32_t id, Bytes data, bool rtr = false, uint8_t dlc = 0xFF) {
    KIV_CanFrame f{};
    f.id = id;
    f.rtr = rtr ? 1 : 0;
    f.dlc = dlc != 0xFF ? dlc : static_cast<uint8_t>(data.size());
    if (!data.empty()) std::memcpy(f.data, data.data(), data.size());
    return f;
}

TEST(ToolValues, EncodeTakesDecimalAndHexWithinTheType) {
    struct Case {
        const char* type;
        const char* text;
        std::optional<Bytes> bytes;  // nothing: refused
    };
    const Case cases[] = {
        {"u8", "255", Bytes{0xFF}},
        {"u8", "256", std::nullopt},
        {"u8", "0x1f", Bytes{0x1F}},
        {"u8", "0x", std::nullopt},
        {"u8", "-1", std::nullopt},
        {"u8", "012", Bytes{12}},  // decimal, not octal
        {"u16", "0x1234", Bytes{0x34, 0x12}},
        {"u32", "4294967295", Bytes{0xFF, 0xFF, 0xFF, 0xFF}},
        {"u32", "4294967296", std::nullopt},
        {"u32", "12a", std::nullopt},
        {"i8", "-128", Bytes{0x80}},
        {"i8", "128", std::nullopt},
        {"i8", "-129", std::nullopt},
        {"i16", "-2", Bytes{0xFE, 0xFF}},
        {"i32", "-2147483648", Bytes{0x00, 0x00, 0x00, 0x80}},
        {"i32", "0x7FFFFFFF", Bytes{0xFF, 0xFF, 0xFF, 0x7F}},
        {"str", "abc", Bytes{'a', 'b', 'c'}},
        {"str", "", std::nullopt},
        {"hex", "01 0a:FF", Bytes{0x01, 0x0A, 0xFF}},
        {"hex", "0102030", std::nullopt},
        {"hex", "zz", std::nullopt},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto got = EncodeValue(*FindValueType(c.type), c.text, error);
        EXPECT_EQ(got, c.bytes) << c.type << " " << c.text;
        EXPECT_EQ(error.empty(), c.bytes.has_value()) << c.type << " " << c.text;
    }
    EXPECT_EQ(FindValueType("u64"), nullptr);
}

TEST(ToolValues, NumbersKeepToBothBounds) {
    struct Case {
        const char* text;
        int64_t min, max;
        std::optional<int64_t> value;  // nothing: refused
    };
    const Case cases[] = {
        {"0", 1, 127, std::nullopt},
        {"1", 1, 127, 1},
        {"127", 1, 127, 127},
        {"128", 1, 127, std::nullopt},
        {"-5", 1, 127, std::nullopt},
        {"99", 100, 1000000, std::nullopt},
        {"0x64", 100, 1000000, 100},
        {"9", 0, 5, std::nullopt},
        {"-3", -10, -2, -3},
        {"-1", -10, -2, std::nullopt},
        {"0", -10, -2, std::nullopt},
        {"-0", 0, 0, 0},
        {"-2147483648", INT32_MIN, INT32_MAX, INT32_MIN},
        {"-2147483649", INT32_MIN, INT32_MAX, std::nullopt},
        {"-9223372036854775808", INT64_MIN, INT64_MAX, INT64_MIN},
        {"-", INT64_MIN, INT64_MAX, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseSigned(c.text, c.min, c.max), c.value)
            << c.text << " in " << c.min << ".." << c.max;
}

TEST(ToolValues, FormatShowsNumbersBothWaysAndGuessesWithoutAType) {
    struct Case {
        const char* type;  // null: no --type
        Bytes data;
        const char* text;
    };
    const Case cases[] = {
        {"u16", {0x34, 0x12}, "4660 (0x1234)"},
        {"i16", {0xFE, 0xFF}, "-2 (0xFFFE)"},
        {"i8", {0x80}, "-128 (0x80)"},
        {"i32", {0x00, 0x00, 0x00, 0x80}, "-2147483648 (0x80000000)"},
        {"u32", {0x01, 0x02}, "01 02 (2 bytes, not a u32)"},
        {"str", {'h', 'i'}, "\"hi\""},
        {"hex", {}, "(empty)"},
        {nullptr, {0x92, 0x01, 0x02, 0x00}, "131474 (0x00020192)"},
        {nullptr, {0x05}, "5 (0x05)"},
        {nullptr, {'d', 'r', 'i', 'v', 'e'}, "\"drive\""},
        {nullptr, {0x00, 0x01, 0x02}, "00 01 02"},
    };
    for (const Case& c : cases) {
        const ValueType* t = c.type ? FindValueType(c.type) : nullptr;
        EXPECT_EQ(FormatValue(t, c.data.data(), c.data.size()), c.text)
            << (c.type ? c.type : "auto");
    }
}

TEST(ToolArguments, BusSpecsAndMappingEntries) {
    struct BusCase {
        const char* text;
        bool ok;
        BusAddress::Kind kind;
        const char* device;
        uint32_t bitrate;
    };
    const BusCase buses[] = {
        {"sim", true, BusAddress::Kind::kSim, "", 500000},
        {"sim:x", false, {}, "", 0},
        {"socketcan:can0", true, BusAddress::Kind::kSocketCan, "can0", 500000},
        {"socketcan:", false, {}, "", 0},
        {"slcan:/dev/ttyACM0", true, BusAddress::Kind::kSlcan, "/dev/ttyACM0", 500000},
        {"slcan:COM3@250000", true, BusAddress::Kind::kSlcan, "COM3", 250000},
        {"slcan:COM3@300000", false, {}, "", 0},
        {"slcan:@125000", false, {}, "", 0},
        {"pcan:1", false, {}, "", 0},
    };
    for (const BusCase& c : buses) {
        std::string error;
        const auto address = ParseBusAddress(c.text, error);
        ASSERT_EQ(address.has_value(), c.ok) << c.text;
        EXPECT_EQ(error.empty(), c.ok) << c.text;
        if (!address) continue;
        EXPECT_EQ(address->kind, c.kind) << c.text;
        EXPECT_EQ(address->device, c.device) << c.text;
        EXPECT_EQ(address->bitrate, c.bitrate) << c.text;
    }

    struct MapCase {
        const char* text;
        bool ok;
        uint32_t value;  // the CiA 301 mapping value
    };
    const MapCase maps[] = {
        {"0x6041:0:16", true, 0x60410010}, {"24640:1:8", true, 0x60400108},
        {"0x6041:0:12", false, 0},         {"0x6041:0", false, 0},
        {"0x6041:0x100:8", false, 0},      {"0x6041:0:72", false, 0},
    };
    for (const MapCase& c : maps) {
        KIV_PdoMapEntry e{};
        ASSERT_EQ(ParseMapEntry(c.text, e), c.ok) << c.text;
        uint32_t v = 0;
        std::memcpy(&v, &e, 4);
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ToolTrace, CandumpLines) {
    const auto at =
        std::chrono::system_clock::time_point(std::chrono::microseconds(1700000000123456LL));
    struct Case {
        KIV_CanFrame frame;
        const char* line;
    };
    const Case cases[] = {
        {Frame(0x705, {0x05}), "(1700000000.123456) sim 705#05"},
        {Frame(0x000, {0x01, 0x00}), "(1700000000.123456) sim 000#0100"},
        {Frame(0x080, {}), "(1700000000.123456) sim 080#"},
        {Frame(0x705, {}, true, 1), "(1700000000.123456) sim 705#R"},
        {Frame(0x12345678, {0xAB}), "(1700000000.123456) sim 12345678#AB"},
        {Frame(0x181, {1, 2, 3, 4, 5, 6, 7, 8}, false, 12),
         "(1700000000.123456) sim 181#0102030405060708"},
    };
    for (const Case& c : cases) EXPECT_EQ(CandumpLine(c.frame, at, "sim"), c.line);
}

TEST(ToolSlcan, FramesBothWays) {
    struct Case {
        KIV_CanFrame frame;
        const char* line;  // without the CR
    };
    const Case cases[] = {
        {Frame(0x605, {0x40, 0x00, 0x10, 0x00}), "t605440001000"},
        {Frame(0x080, {}), "t0800"},
        {Frame(0x705, {}, true, 0), "r7050"},
        {Frame(0x1ABCDEF0, {0xFF, 0x00}), "T1ABCDEF02FF00"},
        {Frame(0x800, {}, true, 2), "R000008002"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeSlcanFrame(c.frame), std::string(c.line) + "\r");
        KIV_CanFrame back{};
        ASSERT_TRUE(DecodeSlcanFrame(c.line, back)) << c.line;
        EXPECT_EQ(back.id, c.frame.id) << c.line;
        EXPECT_EQ(back.rtr, c.frame.rtr) << c.line;
        EXPECT_EQ(back.dlc, c.frame.dlc) << c.line;
        EXPECT_EQ(std::memcmp(back.data, c.frame.data, 8), 0) << c.line;
    }
    const char* refused[] = {"t80000",    "t1239", "t12321",     "t123211",
                             "t1232112X", "x1230", "T200000000", "t12311234"};
    for (const char* line : refused) {
        KIV_CanFrame f{};
        EXPECT_FALSE(DecodeSlcanFrame(line, f)) << line;
    }
    KIV_CanFrame stamped{};
    ASSERT_TRUE(DecodeSlcanFrame("t1231AA1F2E", stamped)) << "with a timestamp";
    EXPECT_EQ(stamped.data[0], 0xAA);

    EXPECT_EQ(SlcanBitrateCommand(10000), "S0");
    EXPECT_EQ(SlcanBitrateCommand(1000000), "S8");
    EXPECT_FALSE(SlcanBitrateCommand(83333));
}

TEST(ToolSlcan, ReaderSplitsRepliesWhateverTheChunks) {
    const std::string stream = "\rz\r\at1230\rV1013\r";
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        SlcanReader r;
        for (std::size_t i = 0; i < stream.size(); i += chunk)
            r.Feed(stream.data() + i, std::min(chunk, stream.size() - i));
        std::vector<std::string> got;
        SlcanReader::Item item;
        while (r.Next(item))
            got.push_back(item.kind == SlcanReader::Kind::kRefused ? "BEL" : "[" + item.line + "]");
        EXPECT_EQ(got, (std::vector<std::string>{"[]", "[z]", "BEL", "[t1230]", "[V1013]"}))
            << chunk;
    }
}

#ifdef __linux__
TEST(ToolSocketCan, FrameConversion) {
    struct Case {
        KIV_CanFrame frame;
        canid_t canId;
    };
    const Case cases[] = {
        {Frame(0x605, {1, 2, 3}), 0x605},
        {Frame(0x705, {}, true, 0), 0x705 | CAN_RTR_FLAG},
        {Frame(0x1ABCDEF0, {9}), 0x1ABCDEF0 | CAN_EFF_FLAG},
        {Frame(0x800, {}, true, 0), 0x800 | CAN_EFF_FLAG | CAN_RTR_FLAG},
    };
    for (const Case& c : cases) {
        const struct can_frame raw = ToSocketCan(c.frame);
        EXPECT_EQ(raw.can_id, c.canId) << std::hex << c.frame.id;
        EXPECT_EQ(raw.can_dlc, c.frame.dlc);
        KIV_CanFrame back{};
        ASSERT_TRUE(FromSocketCan(raw, back));
        EXPECT_EQ(back.id, c.frame.id);
        EXPECT_EQ(back.rtr, c.frame.rtr);
        EXPECT_EQ(back.dlc, c.frame.dlc);
        EXPECT_EQ(std::memcmp(back.data, c.frame.data, 8), 0);
    }
    struct can_frame error {};
    error.can_id = CAN_ERR_FLAG | 0x004;
    KIV_CanFrame f{};
    EXPECT_FALSE(FromSocketCan(error, f)) << "error frames are not bus frames";
    struct can_frame remote {};
    remote.can_id = 0x181 | CAN_RTR_FLAG;
    remote.can_dlc = 2;
    remote.data[0] = 0xEE;
    ASSERT_TRUE(FromSocketCan(remote, f));
    EXPECT_EQ(f.data[0], 0) << "a remote frame carries no data";
}
#endif

}  // namespace

TEST(ToolArguments, SimulatedBusWithBitTiming) {
    const struct {
        const char* text;
        bool ok;
        uint32_t simBitRate;
    } cases[] = {
        {"sim", true, 0},           {"sim@125000", true, 125000}, {"sim@1000000", true, 1000000},
        {"sim@10000", true, 10000}, {"sim@9999", false, 0},       {"sim@1000001", false, 0},
        {"sim@", false, 0},         {"sim@fast", false, 0},       {"simx", false, 0},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto address = ParseBusAddress(c.text, error);
        ASSERT_EQ(address.has_value(), c.ok) << c.text;
        if (address) {
            EXPECT_EQ(address->simBitRate, c.simBitRate) << c.text;
        }
    }
}
