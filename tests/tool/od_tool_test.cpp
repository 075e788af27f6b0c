// The tool with object dictionaries: values shown by type, SDO events named, and
// DCFs (plain and concise) applied to the simulated I/O module and read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus.h"
#include "cmd_od.h"
#include "master.h"
#include "od_book.h"
#include "session.h"

using namespace orukiv::tool;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(OdToolValues, ShownAsTheirType) {
    const struct {
        uint16_t type;
        Bytes bytes;
        const char* text;
    } cases[] = {
        {KIV_OD_INTEGER8, {0xFB}, "-5 (0xFB)"},
        {KIV_OD_INTEGER64,
         {0, 0, 0, 0, 0, 0, 0, 0x80},
         "-9223372036854775808 (0x8000000000000000)"},
        {KIV_OD_UNSIGNED64, Bytes(8, 0xFF), "18446744073709551615 (0xFFFFFFFFFFFFFFFF)"},
        {KIV_OD_VISIBLE_STRING, {'a', 'b', 0, 0}, "\"ab\\0\\0\""},
        {KIV_OD_OCTET_STRING, {0x01, 0xAB}, "01 AB"},
        {KIV_OD_UNSIGNED16, {0x01, 0x02, 0x03}, "01 02 03 (3 bytes, not a UNSIGNED16)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatTyped(c.type, c.bytes.data(), c.bytes.size()), c.text) << c.text;
}

// --type and the dictionaries share one table: JSON values and parsing by
// data type, up to the 64-bit bounds.
TEST(OdToolValues, JsonAndParsingByType) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Bytes nanBytes(4);
    std::memcpy(nanBytes.data(), &nan, 4);
    const struct {
        uint16_t type;
        Bytes bytes;
        const char* json;
    } shown[] = {
        {KIV_OD_BOOLEAN, {1}, "true"},
        {KIV_OD_INTEGER16, {0x18, 0xFC}, "-1000"},
        {KIV_OD_INTEGER64, {0, 0, 0, 0, 0, 0, 0, 0x80}, "-9223372036854775808"},
        {KIV_OD_UNSIGNED32, {0x01, 0x02}, "\"0102\""},
        {KIV_OD_REAL32, nanBytes, "null"},
        {KIV_OD_VISIBLE_STRING, {'a', 0}, "\"a\\u0000\""},
        {KIV_OD_DOMAIN, {0xAB}, "\"ab\""},
    };
    for (const auto& c : shown)
        EXPECT_EQ(JsonTyped(c.type, c.bytes.data(), c.bytes.size()), c.json) << c.json;
    const struct {
        uint16_t type;
        const char* text;
        std::optional<Bytes> bytes;
    } parsed[] = {
        {KIV_OD_UNSIGNED64, "18446744073709551615", Bytes(8, 0xFF)},
        {KIV_OD_UNSIGNED64, "18446744073709551616", std::nullopt},
        {KIV_OD_INTEGER64, "-9223372036854775808", Bytes{0, 0, 0, 0, 0, 0, 0, 0x80}},
        {KIV_OD_INTEGER64, "9223372036854775808", std::nullopt},
        {KIV_OD_INTEGER24, "-8388608", Bytes{0, 0, 0x80}},
        {KIV_OD_INTEGER8, "128", std::nullopt},
        {KIV_OD_UNSIGNED8, "1.5", std::nullopt},
        {KIV_OD_BOOLEAN, "1", Bytes{1}},
        {KIV_OD_OCTET_STRING, "01 ab", Bytes{0x01, 0xAB}},
    };
    for (const auto& c : parsed) {
        std::string error;
        EXPECT_EQ(ParseTyped(c.type, c.text, error), c.bytes) << c.text;
        EXPECT_EQ(error.empty(), c.bytes.has_value()) << c.text;
    }
}

// The tool's session on a simulated network of its own.
struct SimSession {
    SimSession() : bus(OpenSimBus()), master(*bus, nullptr) {
        EXPECT_TRUE(master.Start());
        EXPECT_TRUE(LoadObjectBook(s));
    }
    uint32_t Read(uint16_t index, uint8_t sub) {
        const Access a = s.Read(10, index, sub);
        EXPECT_TRUE(a.ok()) << std::hex << index << ":" << +sub << " " << a.Error();
        return a.U32();
    }
    std::unique_ptr<Bus> bus;
    Master master;
    Options options;
    Session s{options, master};
};

const std::string kData = ORUKIV_TOOL_TEST_DATA;

TEST(OdToolConfigure, PlainAndConciseDcfReadBack) {
    const std::string bin = testing::TempDir() + "orukiv_sim_io.bin";
    ASSERT_EQ(CmdConcise(kData + "/sim_io.dcf", bin, 10), 0);
    for (const std::string& file : {kData + "/sim_io.dcf", bin}) {
        SCOPED_TRACE(file);
        SimSession sim;
        ASSERT_EQ(CmdConfigure(sim.s, 10, file), 0);
        const struct {
            uint16_t index;
            uint8_t sub;
            uint32_t value;
        } expected[] = {{0x1017, 0, 250}, {0x1800, 1, 0x18A},      {0x1800, 2, 2},
                        {0x1A00, 0, 2},   {0x1A00, 1, 0x60000108}, {0x1A00, 2, 0x62000108},
                        {0x6200, 1, 0x3C}};
        for (const auto& e : expected) EXPECT_EQ(sim.Read(e.index, e.sub), e.value);
    }
    std::remove(bin.c_str());
}

TEST(OdToolConfigure, ARefusedWriteStopsTheDownload) {
    // The inputs are read-only on the node whatever the DCF says.
    const std::string dcf = testing::TempDir() + "orukiv_refused.dcf";
    std::ofstream(dcf) << "[1017]\nParameterName=Heartbeat\nDataType=0x0006\nAccessType=rw\n"
                          "ParameterValue=300\n\n"
                          "[6000]\nParameterName=In\nObjectType=0x8\nSubNumber=1\n\n"
                          "[6000sub1]\nParameterName=Inputs\nDataType=0x0005\nAccessType=rw\n"
                          "ParameterValue=1\n\n"
                          "[6200]\nParameterName=Out\nObjectType=0x8\nSubNumber=1\n\n"
                          "[6200sub1]\nParameterName=Outputs\nDataType=0x0005\nAccessType=rw\n"
                          "ParameterValue=7\n";
    SimSession sim;
    EXPECT_EQ(CmdConfigure(sim.s, 10, dcf), 1);
    EXPECT_EQ(sim.Read(0x1017, 0), 300u);
    EXPECT_EQ(sim.Read(0x6200, 1), 0u) << "written after the refusal";
    std::remove(dcf.c_str());
}

TEST(OdToolMonitor, SdoEventsNamedByTheNodesDictionaries) {
    SimSession sim;
    const struct {
        uint8_t node;  // as the event gives it: 0x80 | node for a server's frame
        uint32_t kind;
        uint16_t index;
        uint8_t sub;
        Bytes data;
        const char* note;
    } cases[] = {
        {10,
         KIV_SDO_WRITE_REQUEST,
         0x1017,
         0,
         {0xE8, 0x03},
         "  [Producer heartbeat time = 1000 (0x03E8)]"},
        {0x85, KIV_SDO_READ_RESPONSE, 0x6060, 0, {0xFF}, "  [Modes of operation = -1 (0xFF)]"},
        {0x85, KIV_SDO_ABORT, 0x1018, 1, {}, "  [Identity object.Vendor-ID]"},
        {5, KIV_SDO_READ_REQUEST, 0x2000, 0, {}, ""},
        {7, KIV_SDO_READ_REQUEST, 0x1017, 0, {}, ""},
    };
    for (const auto& c : cases) {
        KIV_Event e{};
        e.type = KIV_EVENT_SDO;
        e.node = c.node;
        e.body.sdo.sdoKind = c.kind;
        e.body.sdo.index = c.index;
        e.body.sdo.subIndex = c.sub;
        std::copy(c.data.begin(), c.data.end(), e.body.sdo.sdoData);
        e.body.sdo.sdoLength = static_cast<uint8_t>(c.data.size());
        EXPECT_EQ(SdoObjectNote(sim.s, e), c.note);
    }
}

}  // namespace
