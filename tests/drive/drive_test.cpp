// Drive-profile and remote-configuration exports end to end: a library
// instance on the virtual bus with a simulated drive (node 7). Node 9 is
// absent, so requests to it are never answered.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <functional>
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
constexpr uint8_t kSilent = 9;

std::string Hex(const uint8_t* b, std::size_t n) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X ", b[i]);
        s += buf;
    }
    return s;
}
std::string Hex(const Bytes& b) {
    return Hex(b.data(), b.size());
}
std::string Data(const KIV_CanFrame& f) {
    return Hex(f.data, 8);
}
std::string Sdo8(Bytes b) {
    b.resize(8, 0);
    return Hex(b);
}

class DriveOnBus : public ::testing::Test {
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

    // Trace entries sent by the library to `node`'s SDO server.
    std::vector<TraceEntry> Requests(uint8_t node) const {
        std::vector<TraceEntry> out;
        for (const TraceEntry& e : bus.Trace())
            if (e.senderId == host.endpoint().Id() && e.frame.id == 0x600u + node) out.push_back(e);
        return out;
    }
    std::size_t HostFrames() const {
        std::size_t n = 0;
        for (const TraceEntry& e : bus.Trace())
            if (e.senderId == host.endpoint().Id()) ++n;
        return n;
    }
    // Lets a few worker passes go by, so that anything queued would be sent.
    static void Settle() { std::this_thread::sleep_for(40ms); }

    VirtualBus bus;
    HostEndpoint host{bus};
    SimDrive drive{bus, kDrive};
    KIV_Handle h = nullptr;
};

}  // namespace

// ---- Getters ------------------------------------------------------------------

TEST_F(DriveOnBus, NullGetterPointersAndHandlesAreRefusedWithoutTraffic) {
    uint16_t u16 = 0;
    int16_t i16 = 0;
    int32_t i32 = 0;
    const std::vector<std::pair<const char*, std::function<int32_t()>>> calls = {
        {"status", [&] { return KIV_402_GetStatusWord(h, kDrive, nullptr); }},
        {"mode", [&] { return KIV_402_GetOpMode(h, kDrive, nullptr); }},
        {"position", [&] { return KIV_402_GetActualPos(h, kDrive, nullptr); }},
        {"velocity", [&] { return KIV_402_GetActualVel(h, kDrive, nullptr); }},
        {"torque", [&] { return KIV_402_GetActualTorque(h, kDrive, nullptr); }},
        {"status, null handle", [&] { return KIV_402_GetStatusWord(nullptr, kDrive, &u16); }},
        {"torque, null handle", [&] { return KIV_402_GetActualTorque(nullptr, kDrive, &i16); }},
        {"mode, null handle", [&] { return KIV_402_GetOpMode(nullptr, kDrive, &i32); }},
        {"power on, null handle", [&] { return KIV_402_PowerOn(nullptr, kDrive); }},
        {"heartbeat, null handle", [&] { return KIV_NMT_SetHeartbeatPeriod(nullptr, kDrive, 10); }},
    };
    for (const auto& [what, call] : calls) EXPECT_EQ(call(), KIV_ERR_PARAM) << what;
    Settle();
    EXPECT_EQ(HostFrames(), 0u);
    EXPECT_EQ(drive.RequestsSeen(), 0u);
}

TEST_F(DriveOnBus, AnswersOfAnotherLengthFailAndStoreNothing) {
    // Each getter is answered with fewer or more bytes than its object holds.
    struct Case {
        const char* what;
        uint8_t command;
        std::function<int32_t()> call;
        std::function<bool()> unchanged;
        uint16_t index;
    };
    uint16_t status = 0xBEEF;
    int32_t pos = 12345;
    int32_t vel = -777;
    int16_t torque = 321;
    int32_t mode = 99;
    drive.SetActualPosition(-2);
    drive.SetActualVelocity(5);
    drive.SetActualTorque(-100);
    const Case cases[] = {
        {"status, 1 byte", 0x4F, [&] { return KIV_402_GetStatusWord(h, kDrive, &status); },
         [&] { return status == 0xBEEF; }, 0x6041},
        {"status, 4 bytes", 0x43, [&] { return KIV_402_GetStatusWord(h, kDrive, &status); },
         [&] { return status == 0xBEEF; }, 0x6041},
        {"position, 3 bytes", 0x47, [&] { return KIV_402_GetActualPos(h, kDrive, &pos); },
         [&] { return pos == 12345; }, 0x6064},
        {"velocity, 2 bytes", 0x4B, [&] { return KIV_402_GetActualVel(h, kDrive, &vel); },
         [&] { return vel == -777; }, 0x606C},
        {"torque, 1 byte", 0x4F, [&] { return KIV_402_GetActualTorque(h, kDrive, &torque); },
         [&] { return torque == 321; }, 0x6077},
        {"torque, 4 bytes", 0x43, [&] { return KIV_402_GetActualTorque(h, kDrive, &torque); },
         [&] { return torque == 321; }, 0x6077},
        {"mode, 2 bytes", 0x4B, [&] { return KIV_402_GetOpMode(h, kDrive, &mode); },
         [&] { return mode == 99; }, 0x6061},
    };
    for (const Case& c : cases) {
        SdoFaults f;
        f.expeditedUploadCommand = c.command;
        drive.SetFaults(f);
        EXPECT_EQ(c.call(), KIV_ERR_PARAM) << c.what;
        EXPECT_TRUE(c.unchanged()) << c.what;
    }
    auto reqs = Requests(kDrive);
    ASSERT_EQ(reqs.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(Data(reqs[i].frame), Sdo8({0x40, static_cast<uint8_t>(cases[i].index & 0xFF),
                                             static_cast<uint8_t>(cases[i].index >> 8), 0x00}))
            << cases[i].what;
}

TEST_F(DriveOnBus, GettersDecodeLittleEndianWithSign) {
    drive.SetValue(0x6041, 0, {0x37, 0x12});
    drive.SetValue(0x6060, 0, {0x01});
    drive.SetValue(0x6061, 0, {0xFF});  // the mode in force
    drive.SetActualPosition(-2);        // FE FF FF FF
    drive.SetActualVelocity(INT32_MIN);
    drive.SetActualTorque(-100);  // 9C FF

    uint16_t status = 0;
    int32_t mode = -1, pos = 0, vel = 0;
    int16_t torque = 0;
    EXPECT_EQ(KIV_402_GetStatusWord(h, kDrive, &status), KIV_OK);
    EXPECT_EQ(status, 0x1237);
    EXPECT_EQ(KIV_402_GetOpMode(h, kDrive, &mode), KIV_OK);
    EXPECT_EQ(mode, 255) << "zero-extended, read from 0x6061";
    EXPECT_EQ(KIV_402_GetActualPos(h, kDrive, &pos), KIV_OK);
    EXPECT_EQ(pos, -2);
    EXPECT_EQ(KIV_402_GetActualVel(h, kDrive, &vel), KIV_OK);
    EXPECT_EQ(vel, INT32_MIN);
    EXPECT_EQ(KIV_402_GetActualTorque(h, kDrive, &torque), KIV_OK);
    EXPECT_EQ(torque, -100);

    auto reqs = Requests(kDrive);
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(Data(reqs[1].frame), Sdo8({0x40, 0x61, 0x60, 0x00}));
}

TEST_F(DriveOnBus, GetterOfAnAbsentDriveTimesOutAndKeepsTheValue) {
    KIV_SetSDOTimeout(h, 150);
    int32_t pos = 42;
    EXPECT_EQ(KIV_402_GetActualPos(h, kSilent, &pos), KIV_ERR_TIMEOUT);
    EXPECT_EQ(pos, 42);
}

// ---- Setters ------------------------------------------------------------------

TEST_F(DriveOnBus, SettersWriteTheirObjectLittleEndian) {
    struct Case {
        const char* what;
        std::function<int32_t()> call;
        Bytes frame;  // the expedited write request, unpadded
    };
    const Case cases[] = {
        {"controlword",
         [&] { return KIV_402_SetControlWord(h, kDrive, 0x1234); },
         {0x2B, 0x40, 0x60, 0x00, 0x34, 0x12}},
        {"mode -1",
         [&] { return KIV_402_SetOpMode(h, kDrive, -1); },
         {0x2F, 0x60, 0x60, 0x00, 0xFF}},
        {"mode 0x106: low byte",
         [&] { return KIV_402_SetOpMode(h, kDrive, 0x106); },
         {0x2F, 0x60, 0x60, 0x00, 0x06}},
        {"position",
         [&] { return KIV_402_SetTargetPos(h, kDrive, 0x12345678); },
         {0x23, 0x7A, 0x60, 0x00, 0x78, 0x56, 0x34, 0x12}},
        {"position -2",
         [&] { return KIV_402_SetTargetPos(h, kDrive, -2); },
         {0x23, 0x7A, 0x60, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}},
        {"velocity -1000",
         [&] { return KIV_402_SetTargetVel(h, kDrive, -1000); },
         {0x23, 0xFF, 0x60, 0x00, 0x18, 0xFC, 0xFF, 0xFF}},
        {"torque -100",
         [&] { return KIV_402_SetTargetTorque(h, kDrive, -100); },
         {0x2B, 0x71, 0x60, 0x00, 0x9C, 0xFF}},
        {"homing -3",
         [&] { return KIV_402_SetHomingMode(h, kDrive, -3); },
         {0x2F, 0x98, 0x60, 0x00, 0xFD}},
    };
    for (const Case& c : cases) {
        const std::size_t before = Requests(kDrive).size();
        EXPECT_EQ(c.call(), KIV_OK) << c.what;
        auto reqs = Requests(kDrive);
        ASSERT_EQ(reqs.size(), before + 1) << c.what;
        EXPECT_EQ(reqs.back().frame.dlc, 8u) << c.what;
        EXPECT_EQ(Data(reqs.back().frame), Sdo8(c.frame)) << c.what;
    }
    EXPECT_EQ(*drive.Value(0x6060, 0), Bytes{0x06});
    EXPECT_EQ(*drive.Value(0x6061, 0), Bytes{0x06});
    EXPECT_EQ(drive.ValueU32(0x607A, 0), 0xFFFFFFFEu);
    EXPECT_EQ(*drive.Value(0x6071, 0), (Bytes{0x9C, 0xFF}));
}

TEST_F(DriveOnBus, RefusedWriteReportsTheAbort) {
    // A drive without a homing method object aborts the write.
    drive.RemoveObject(0x6098, 0);
    EXPECT_EQ(KIV_402_SetHomingMode(h, kDrive, 1), KIV_ERR_ABORTED);
    ASSERT_EQ(drive.Writes().size(), 1u);
    EXPECT_EQ(drive.Writes()[0].abortCode, abort_code::kNoObject);
}

// ---- Command sequences --------------------------------------------------------

TEST_F(DriveOnBus, PowerOnAgainstASilentNodeStopsAtTheFirstWrite) {
    KIV_SetSDOTimeout(h, 300);
    const auto start = Clock::now();
    EXPECT_EQ(KIV_402_PowerOn(h, kSilent), KIV_ERR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 250ms);  // ticks may move in 16 ms steps
    Settle();
    auto reqs = Requests(kSilent);
    ASSERT_GE(reqs.size(), 2u) << "the request is re-sent";
    EXPECT_LE(reqs.size(), 4u);
    for (std::size_t i = 0; i < reqs.size(); ++i) {
        EXPECT_EQ(Data(reqs[i].frame), Sdo8({0x2B, 0x40, 0x60, 0x00, 0x80, 0x00})) << i;
        if (i > 0) {
            EXPECT_GE(reqs[i].at - reqs[i - 1].at, 80ms) << i;
        }
    }
    EXPECT_EQ(HostFrames(), reqs.size()) << "nothing but the first controlword";
}

TEST_F(DriveOnBus, PowerOnBringsTheDriveOutOfFaultIntoOperationEnabled) {
    drive.InjectFault(0x1000, false);
    ASSERT_EQ(drive.State(), DriveState::kFault);
    EXPECT_EQ(KIV_402_PowerOn(h, kDrive), KIV_OK);
    EXPECT_EQ(drive.State(), DriveState::kOperationEnabled) << DriveStateName(drive.State());

    auto writes = drive.Writes();
    ASSERT_EQ(writes.size(), 4u);
    const Bytes expected[] = {{0x80, 0x00}, {0x06, 0x00}, {0x07, 0x00}, {0x0F, 0x00}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(writes[i].index, 0x6040u);
        EXPECT_EQ(writes[i].subIndex, 0u);
        EXPECT_EQ(Hex(writes[i].data), Hex(expected[i])) << i;
        EXPECT_EQ(writes[i].abortCode, 0u);
    }
    // The drive confirms inside the library's send, so its confirmation is
    // on the bus at least two worker passes (two 5 ms sleeps) before the
    // library completes the write: the poll of the next pass takes the
    // answer, the pass after completes the request. With the 10 ms pause
    // the next controlword follows the confirmation by at least 20 ms;
    // without it by 10 ms. 2 ms slack for clock granularity.
    const TraceEntry* confirmed = nullptr;
    int sent = 0;
    for (const TraceEntry& e : bus.Trace()) {
        if (e.frame.id == 0x600u + kDrive) {
            if (confirmed) {
                EXPECT_GE(e.at - confirmed->at, 18ms) << "write " << sent;
            }
            ++sent;
            confirmed = nullptr;
        } else if (e.frame.id == 0x580u + kDrive && e.frame.data[0] == 0x60) {
            confirmed = &e;
        }
    }
    EXPECT_EQ(sent, 4);

    uint16_t status = 0;
    EXPECT_EQ(KIV_402_GetStatusWord(h, kDrive, &status), KIV_OK);
    EXPECT_EQ(status & 0x6F, 0x27);
}

TEST_F(DriveOnBus, FaultResetWritesBit7AndLeavesItSet) {
    drive.InjectFault(0x1000, false);
    EXPECT_EQ(KIV_402_FaultReset(h, kDrive), KIV_OK);
    EXPECT_EQ(drive.State(), DriveState::kSwitchOnDisabled);
    ASSERT_EQ(drive.Writes().size(), 1u);
    EXPECT_EQ(Hex(drive.Writes()[0].data), Hex({0x80, 0x00}));

    // Bit 7 was not cleared, so a second reset is no rising edge.
    drive.InjectFault(0x1000, false);
    EXPECT_EQ(KIV_402_FaultReset(h, kDrive), KIV_OK);
    EXPECT_EQ(drive.Writes().size(), 2u);
    EXPECT_EQ(drive.State(), DriveState::kFault);
}

// ---- Remote configuration -----------------------------------------------------

TEST_F(DriveOnBus, ConfigTpdoRefusesBadArgumentsWithoutTraffic) {
    const KIV_PdoMapEntry e = KIV_MakePdoMapEntry(0x6041, 0, 16);
    EXPECT_EQ(KIV_ConfigTPDO(h, kDrive, 0, &e, 1), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ConfigTPDO(h, kDrive, 5, &e, 1), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ConfigTPDO(h, kDrive, 255, &e, 1), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ConfigTPDO(h, kDrive, 1, nullptr, 1), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ConfigTPDO(h, kDrive, 4, &e, 0), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_ConfigTPDO(nullptr, kDrive, 1, &e, 1), KIV_ERR_PARAM);
    Settle();
    EXPECT_EQ(HostFrames(), 0u);
}

TEST_F(DriveOnBus, ConfigTpdoFollowsTheStandardProcedure) {
    const KIV_PdoMapEntry entries[] = {KIV_MakePdoMapEntry(0x6041, 0, 16),
                                       KIV_MakePdoMapEntry(0x6064, 0, 32)};
    EXPECT_EQ(KIV_ConfigTPDO(h, kDrive, 2, entries, 2), KIV_OK);
    std::vector<std::string> sent;
    for (const TraceEntry& e : Requests(kDrive)) sent.push_back(Data(e.frame));
    const std::vector<std::string> expected = {
        Sdo8({0x40, 0x01, 0x18, 0x01}),                          // read the COB-ID
        Sdo8({0x23, 0x01, 0x18, 0x01, 0x87, 0x02, 0x00, 0x80}),  // disable the PDO
        Sdo8({0x2F, 0x01, 0x1A, 0x00, 0x00}),                    // count 0
        Sdo8({0x23, 0x01, 0x1A, 0x01, 0x10, 0x00, 0x41, 0x60}),
        Sdo8({0x23, 0x01, 0x1A, 0x02, 0x20, 0x00, 0x64, 0x60}),
        Sdo8({0x2F, 0x01, 0x1A, 0x00, 0x02}),                    // count
        Sdo8({0x23, 0x01, 0x18, 0x01, 0x87, 0x02, 0x00, 0x00}),  // enable again
    };
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(drive.ValueU32(0x1A01, 0), 2u);
    EXPECT_EQ(drive.ValueU32(0x1A01, 1), 0x60410010u) << "the CiA 301 mapping value";
    EXPECT_EQ(drive.ValueU32(0x1A01, 2), 0x60640020u);
    EXPECT_EQ(drive.ValueU32(0x1801, 1), 0x287u);
    EXPECT_EQ(drive.ValueU32(0x1A00, 1), 0u) << "other TPDOs untouched";
    for (const WriteRecord& w : drive.Writes()) EXPECT_EQ(w.abortCode, 0u);

    // Operational, the drive sends the new TPDO on SYNC: statusword, position.
    drive.SetActualPosition(0x01020304);
    ASSERT_EQ(KIV_NMT_SendCommand(h, kDrive, KIV_NMT_CMD_START), KIV_OK);
    ASSERT_EQ(KIV_SendSYNC(h), KIV_OK);
    const uint16_t status = drive.StatusWord();
    std::string tpdo;
    for (int i = 0; i < 100 && tpdo.empty(); ++i) {
        for (const TraceEntry& e : bus.Trace())
            if (e.frame.id == 0x287 && e.senderId != host.endpoint().Id())
                tpdo = Hex(e.frame.data, e.frame.dlc);
        if (tpdo.empty()) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(tpdo, Hex({static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), 0x04,
                         0x03, 0x02, 0x01}));
}

TEST_F(DriveOnBus, ConfigTpdoStopsAtTheFirstFailureAndReturnsIt) {
    // The drive refuses the count: the statusword is 16 bits, not 32.
    const KIV_PdoMapEntry bad[] = {KIV_MakePdoMapEntry(0x6041, 0, 32)};
    EXPECT_EQ(KIV_ConfigTPDO(h, kDrive, 1, bad, 1), KIV_ERR_ABORTED);
    EXPECT_EQ(drive.ValueU32(0x1A00, 0), 0u);
    EXPECT_EQ(drive.ValueU32(0x1800, 1), 0x187u) << "COB-ID restored";
    const auto writes = drive.Writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[writes.size() - 2].abortCode, 0x06040041u);
    EXPECT_EQ(writes.back().index, 0x1800);

    // An already disabled PDO is left disabled.
    ASSERT_TRUE(drive.SetValue(0x1802, 1, {0x87, 0x03, 0x00, 0x80}));
    const KIV_PdoMapEntry good[] = {KIV_MakePdoMapEntry(0x6041, 0, 16)};
    drive.ClearWrites();
    EXPECT_EQ(KIV_ConfigTPDO(h, kDrive, 3, good, 1), KIV_OK);
    EXPECT_EQ(drive.Writes().size(), 3u) << "count 0, the entry, the count";
    EXPECT_EQ(drive.ValueU32(0x1802, 1), 0x80000387u);
    // With the count not 0, an entry is refused.
    const uint8_t entry[4] = {0x10, 0x00, 0x41, 0x60};
    uint32_t code = 0;
    EXPECT_EQ(KIV_WriteObjectEx(h, kDrive, 0x1A02, 1, entry, 4, &code), KIV_ERR_ABORTED);
    EXPECT_EQ(code, 0x06010000u);

    // A node that never answers: the first step times out, nothing follows.
    KIV_SetSDOTimeout(h, 150);
    EXPECT_EQ(KIV_ConfigTPDO(h, kSilent, 2, good, 1), KIV_ERR_TIMEOUT);
    for (const TraceEntry& e : Requests(kSilent))
        EXPECT_EQ(Data(e.frame), Sdo8({0x40, 0x01, 0x18, 0x01}));
}

TEST_F(DriveOnBus, HeartbeatPeriodIsWrittenAsTwoBytes) {
    EXPECT_EQ(KIV_NMT_SetHeartbeatPeriod(h, kDrive, 1000), KIV_OK);
    auto reqs = Requests(kDrive);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(Data(reqs[0].frame), Sdo8({0x2B, 0x17, 0x10, 0x00, 0xE8, 0x03}));
    EXPECT_EQ(drive.ValueU32(0x1017, 0), 1000u);
    EXPECT_EQ(KIV_NMT_SetHeartbeatPeriod(h, kDrive, 0), KIV_OK);
    EXPECT_EQ(drive.ValueU32(0x1017, 0), 0u);
}

TEST_F(DriveOnBus, GettersTakeAnExpeditedAnswerWithoutSizeIndication) {
    // 0x42: four data bytes, the object in the first ones.
    drive.SetValue(0x6041, 0, {0x37, 0x12});
    drive.SetValue(0x6061, 0, {0xFE});
    drive.SetActualTorque(-100);
    SdoFaults f;
    f.expeditedUploadCommand = 0x42;
    drive.SetFaults(f);
    uint16_t status = 0;
    int32_t mode = 0;
    int16_t torque = 0;
    EXPECT_EQ(KIV_402_GetStatusWord(h, kDrive, &status), KIV_OK);
    EXPECT_EQ(status, 0x1237);
    EXPECT_EQ(KIV_402_GetOpMode(h, kDrive, &mode), KIV_OK);
    EXPECT_EQ(mode, 0xFE);
    EXPECT_EQ(KIV_402_GetActualTorque(h, kDrive, &torque), KIV_OK);
    EXPECT_EQ(torque, -100);
}
