// KIV_ConfigPDO as byte scripts against the simulated drive (node 7): the
// SDO requests of each step for RPDOs and TPDOs, the step a failure is
// reported at, the PDO-number bounds and a null report.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "orukiv/orukiv.h"
#include "orukiv_sim/sim.h"

using namespace std::chrono_literals;
using namespace orukiv::sim;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kDrive = 7;

std::string Hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof buf, "%02X ", v);
        s += buf;
    }
    return s;
}

class PdoConfig : public ::testing::Test {
protected:
    void SetUp() override {
        bus.SetTrace(true);
        KIV_InitParam p = host.Param();
        h = KIV_Init(&p);
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override {
        if (h) KIV_Destroy(h);
    }
    // The SDO requests the library sent to the drive, 8 bytes each.
    std::vector<std::string> Requests() const {
        std::vector<std::string> out;
        for (const TraceEntry& e : bus.Trace())
            if (e.senderId == host.endpoint().Id() && e.frame.id == 0x600u + kDrive)
                out.push_back(Hex(Bytes(e.frame.data, e.frame.data + 8)));
        return out;
    }

    VirtualBus bus;
    HostEndpoint host{bus};
    SimDrive drive{bus, kDrive};
    KIV_Handle h = nullptr;
};

std::string Sdo(Bytes b) {
    b.resize(8, 0);
    return Hex(b);
}

struct Script {
    const char* name;
    uint8_t isTransmit;
    uint8_t comm;  // high byte of the communication record (0x14 or 0x18)
    uint8_t map;   // high byte of the mapping record
    uint32_t cobId;
    uint8_t type;
    std::vector<std::string> expected;
};

TEST_F(PdoConfig, EachStepIsOneWriteInTheCiA301Order) {
    const KIV_PdoMapEntry entries[] = {KIV_MakePdoMapEntry(0x6041, 0, 16),
                                       KIV_MakePdoMapEntry(0x6064, 0, 32)};
    const Script scripts[] = {
        {"TPDO 2, valid",
         1,
         0x18,
         0x1A,
         0x287,
         254,
         {Sdo({0x23, 0x01, 0x18, 0x01, 0x87, 0x02, 0x00, 0x80}),  // the PDO invalid
          Sdo({0x2F, 0x01, 0x1A, 0x00, 0x00}),                    // count 0
          Sdo({0x23, 0x01, 0x1A, 0x01, 0x10, 0x00, 0x41, 0x60}),  // entries
          Sdo({0x23, 0x01, 0x1A, 0x02, 0x20, 0x00, 0x64, 0x60}),
          Sdo({0x2F, 0x01, 0x1A, 0x00, 0x02}),                      // count
          Sdo({0x2F, 0x01, 0x18, 0x02, 0xFE}),                      // transmission type
          Sdo({0x23, 0x01, 0x18, 0x01, 0x87, 0x02, 0x00, 0x00})}},  // the PDO valid
        {"RPDO 2, left invalid",
         0,
         0x14,
         0x16,
         0x80000307u,
         1,
         {Sdo({0x23, 0x01, 0x14, 0x01, 0x07, 0x03, 0x00, 0x80}),
          Sdo({0x2F, 0x01, 0x16, 0x00, 0x00}),
          Sdo({0x23, 0x01, 0x16, 0x01, 0x10, 0x00, 0x41, 0x60}),
          Sdo({0x23, 0x01, 0x16, 0x02, 0x20, 0x00, 0x64, 0x60}),
          Sdo({0x2F, 0x01, 0x16, 0x00, 0x02}), Sdo({0x2F, 0x01, 0x14, 0x02, 0x01})}},
    };
    for (const Script& s : scripts) {
        SCOPED_TRACE(s.name);
        bus.ClearTrace();
        KIV_ConfigReport report{};
        EXPECT_EQ(KIV_ConfigPDO(h, kDrive, s.isTransmit, 2, s.cobId, s.type, entries, 2, &report),
                  KIV_OK);
        EXPECT_EQ(Requests(), s.expected);
        EXPECT_EQ(report.steps, s.expected.size());
        EXPECT_EQ(report.written, s.expected.size());
        EXPECT_EQ(report.failed, 0u);
        const auto comm = static_cast<uint16_t>(s.comm << 8 | 1);
        EXPECT_EQ(drive.ValueU32(comm, 1), s.cobId);
        EXPECT_EQ(drive.ValueU32(static_cast<uint16_t>(s.map << 8 | 1), 2), 0x60640020u);
    }
}

TEST_F(PdoConfig, ReportNamesTheStepThatFailedAndNothingFollows) {
    // The drive refuses the count: the statusword is 16 bits, not 32.
    const KIV_PdoMapEntry bad[] = {KIV_MakePdoMapEntry(0x6041, 0, 32)};
    KIV_ConfigReport report{};
    report.flags = KIV_CONFIG_CONTINUE;  // kept, not used
    EXPECT_EQ(KIV_ConfigPDO(h, kDrive, 1, 1, 0x187, 1, bad, 1, &report), KIV_ERR_ABORTED);
    EXPECT_EQ(report.flags, KIV_CONFIG_CONTINUE);
    EXPECT_EQ(report.steps, 6u);
    EXPECT_EQ(report.written, 3u) << "invalid, count 0, the entry";
    EXPECT_EQ(report.failed, 1u);
    EXPECT_EQ(report.failedIndex, 0x1A00);
    EXPECT_EQ(report.failedSubIndex, 0);
    EXPECT_EQ(report.failedResult, KIV_ERR_ABORTED);
    EXPECT_EQ(report.abortCode, 0x06040041u);
    EXPECT_EQ(Requests().size(), 4u) << "nothing after the failed step";
    EXPECT_EQ(drive.ValueU32(0x1800, 1), 0x80000187u) << "the PDO is left invalid";

    // Without a report the result is the same.
    bus.ClearTrace();
    EXPECT_EQ(KIV_ConfigPDO(h, kDrive, 1, 1, 0x187, 1, bad, 1, nullptr), KIV_ERR_ABORTED);
    EXPECT_EQ(Requests().size(), 4u);
}

TEST_F(PdoConfig, PdoNumbersRunFrom1To512) {
    const KIV_PdoMapEntry e = KIV_MakePdoMapEntry(0x6041, 0, 16);
    struct Case {
        uint8_t isTransmit;
        uint16_t number;
        int32_t result;
        uint16_t firstIndex;  // 0: nothing sent
    } const cases[] = {
        {1, 0, KIV_ERR_PARAM, 0},
        {0, 0, KIV_ERR_PARAM, 0},
        {1, 513, KIV_ERR_PARAM, 0},
        {0, 513, KIV_ERR_PARAM, 0},
        {1, 512, KIV_ERR_ABORTED, 0x19FF},
        {0, 512, KIV_ERR_ABORTED, 0x15FF},
        {1, 4, KIV_OK, 0x1803},
        {0, 1, KIV_OK, 0x1400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.isTransmit) + " " + std::to_string(c.number));
        bus.ClearTrace();
        KIV_ConfigReport report{};
        const uint32_t cob = (c.isTransmit ? 0x180u : 0x200u) + kDrive;
        EXPECT_EQ(KIV_ConfigPDO(h, kDrive, c.isTransmit, c.number, cob, 1, &e, 1, &report),
                  c.result);
        EXPECT_EQ(report.failedResult, c.result);
        const std::vector<std::string> sent = Requests();
        if (c.firstIndex == 0) {
            EXPECT_TRUE(sent.empty());
            continue;
        }
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent[0].substr(3, 6), Hex({static_cast<uint8_t>(c.firstIndex),
                                             static_cast<uint8_t>(c.firstIndex >> 8)}));
        if (c.result != KIV_OK) {
            EXPECT_EQ(report.failedIndex, c.firstIndex);
        }
    }
}

TEST_F(PdoConfig, RefusesBadArgumentsWithoutTraffic) {
    const KIV_PdoMapEntry e = KIV_MakePdoMapEntry(0x6041, 0, 16);
    KIV_PdoMapEntry many[65];
    for (auto& m : many) m = e;
    EXPECT_EQ(KIV_ConfigPDO(h, 0, 1, 1, 0x187, 1, &e, 1, nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ConfigPDO(h, 128, 1, 1, 0x187, 1, &e, 1, nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ConfigPDO(h, kDrive, 1, 1, 0x187, 1, nullptr, 1, nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ConfigPDO(h, kDrive, 1, 1, 0x187, 1, many, 65, nullptr), KIV_ERR_PARAM);
    std::this_thread::sleep_for(40ms);
    EXPECT_TRUE(Requests().empty());
    // No entries: the PDO keeps an empty mapping.
    EXPECT_EQ(KIV_ConfigPDO(h, kDrive, 1, 1, 0x187, 1, nullptr, 0, nullptr), KIV_OK);
    EXPECT_EQ(drive.ValueU32(0x1A00, 0), 0u);
    EXPECT_EQ(drive.ValueU32(0x1800, 1), 0x187u);
}

}  // namespace
