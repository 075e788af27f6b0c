// Service frames as byte scripts: each export call and the whole 24-byte
// record it must put on the bus, reserved bytes included. Then the send
// path's failure reporting, the PDO argument checks and frame injection.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <thread>

#include "core_support.h"
#include "fake_bus.h"
#include "frames.h"

using namespace std::chrono_literals;
using orukiv::coretest::Async;
using orukiv::coretest::Instance;
using orukiv::coretest::LogCapture;
using orukiv::coretest::ReturnsWithin;
using orukiv::coretest::ScriptHost;
using orukiv::coretest::SendGate;
using orukiv::coretest::Waiting;
using orukiv::coretest::WaitUntil;
using orukiv::test::FakeBus;
using orukiv::test::Frame;

namespace {

const uint8_t kMfr[5] = {0x01, 0x02, 0x03, 0x04, 0x05};
const uint8_t kEight[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const KIV_PdoMapEntry kMap[1] = {KIV_MakePdoMapEntry(0x6041, 0, 16)};

// A frame given as its 24 raw bytes, so that the expectation spells out the
// reserved bytes rather than trusting a helper to zero them.
KIV_CanFrame Raw(uint32_t id, uint8_t rtr, uint8_t dlc, std::initializer_list<uint8_t> data) {
    uint8_t bytes[24] = {};
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(id >> (8 * i));
    bytes[10] = rtr;
    bytes[12] = dlc;
    int i = 16;
    for (uint8_t b : data) bytes[i++] = b;
    KIV_CanFrame f;
    static_assert(sizeof f == sizeof bytes);
    std::memcpy(&f, bytes, sizeof f);
    return f;
}

}  // namespace

// Outside the anonymous namespace: GoogleTest's parameter holders are
// templates with external linkage.
struct FrameScript {
    const char* name;
    std::function<int32_t(KIV_Handle)> call;
    KIV_CanFrame expected;
};

namespace {

const FrameScript kScripts[] = {
    // NMT: id 0, dlc 2, [command, node]; only the command's low byte is sent.
    {"NmtResetAllNodes", [](KIV_Handle h) { return KIV_NMT_SendCommand(h, 0, 0x81); },
     Raw(0x000, 0, 2, {0x81, 0x00})},
    {"NmtStartNode5", [](KIV_Handle h) { return KIV_NMT_SendCommand(h, 5, 1); },
     Raw(0x000, 0, 2, {0x01, 0x05})},
    {"NmtCommandLowByteOnly", [](KIV_Handle h) { return KIV_NMT_SendCommand(h, 127, 0x7F82); },
     Raw(0x000, 0, 2, {0x82, 0x7F})},
    // Heartbeat and boot-up: 0x700 + node, one state byte.
    {"BootUpNode3", [](KIV_Handle h) { return KIV_NMT_SendHeartbeat(h, 3, 0); },
     Raw(0x703, 0, 1, {0x00})},
    {"HeartbeatOperationalNode3", [](KIV_Handle h) { return KIV_NMT_SendHeartbeat(h, 3, 5); },
     Raw(0x703, 0, 1, {0x05})},
    {"HeartbeatNode127", [](KIV_Handle h) { return KIV_NMT_SendHeartbeat(h, 127, 127); },
     Raw(0x77F, 0, 1, {0x7F})},
    {"HeartbeatStateLowByteOnly", [](KIV_Handle h) { return KIV_NMT_SendHeartbeat(h, 1, 0x104); },
     Raw(0x701, 0, 1, {0x04})},
    // Node guarding: remote frame on 0x700 + node, no data.
    {"NodeGuardNode16", [](KIV_Handle h) { return KIV_SendNodeGuardRequest(h, 16); },
     Raw(0x710, 1, 0, {})},
    {"NodeGuardNode127", [](KIV_Handle h) { return KIV_SendNodeGuardRequest(h, 127); },
     Raw(0x77F, 1, 0, {})},
    // SYNC: no counter byte.
    {"Sync", [](KIV_Handle h) { return KIV_SendSYNC(h); }, Raw(0x080, 0, 0, {})},
    // EMCY: 0x080 + node, code little-endian, register, five manufacturer bytes.
    {"EmcyWithoutManufacturerBytes",
     [](KIV_Handle h) { return KIV_SendEMCY(h, 2, 0x8130, 0x11, nullptr); },
     Raw(0x082, 0, 8, {0x30, 0x81, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00})},
    {"EmcyWithManufacturerBytes",
     [](KIV_Handle h) { return KIV_SendEMCY(h, 2, 0x8130, 0x11, kMfr); },
     Raw(0x082, 0, 8, {0x30, 0x81, 0x11, 0x01, 0x02, 0x03, 0x04, 0x05})},
    {"EmcyNode127", [](KIV_Handle h) { return KIV_SendEMCY(h, 127, 0x0000, 0x00, nullptr); },
     Raw(0x0FF, 0, 8, {})},
    // PDO: as passed; bytes beyond the length stay zero.
    {"PdoTwoBytes", [](KIV_Handle h) { return KIV_SendPDO(h, 0x201, kEight, 2); },
     Raw(0x201, 0, 2, {0x11, 0x22})},
    {"PdoOneByteOfEight", [](KIV_Handle h) { return KIV_SendPDO(h, 0x181, kEight, 1); },
     Raw(0x181, 0, 1, {0x11})},
    {"PdoEightBytes", [](KIV_Handle h) { return KIV_SendPDO(h, 0x381, kEight, 8); },
     Raw(0x381, 0, 8, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})},
    {"PdoCobIdUnchanged", [](KIV_Handle h) { return KIV_SendPDO(h, 0x12345678, kEight, 3); },
     Raw(0x12345678, 0, 3, {0x11, 0x22, 0x33})},
    // Remote PDO request.
    {"RemotePdo", [](KIV_Handle h) { return KIV_SendRemotePDO(h, 0x181); }, Raw(0x181, 1, 0, {})},
    // TIME: ms after midnight (LE32), days since 1984-01-01 (LE16), two zeros.
    {"TimeEpoch", [](KIV_Handle h) { return KIV_SendTimestamp(h, 1984, 1, 1, 0, 0, 0, 0); },
     Raw(0x100, 0, 8, {0, 0, 0, 0, 0, 0, 0, 0})},
    {"Time2024NewYearNoon",
     [](KIV_Handle h) { return KIV_SendTimestamp(h, 2024, 1, 1, 12, 0, 0, 500); },
     Raw(0x100, 0, 8, {0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39, 0x00, 0x00})},
    {"Time2024LeapDayLastMs",
     [](KIV_Handle h) { return KIV_SendTimestamp(h, 2024, 2, 29, 23, 59, 59, 999); },
     Raw(0x100, 0, 8, {0xFF, 0x5B, 0x26, 0x05, 0x4D, 0x39, 0x00, 0x00})},
};

}  // namespace

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const FrameScript& s, std::ostream* os) {
    *os << s.name;
}

class ServiceFrames : public ::testing::TestWithParam<FrameScript> {
protected:
    static void SetUpTestSuite() {
        bus_ = new FakeBus;
        KIV_InitParam p = bus_->Param(false, false);
        handle_ = KIV_Init(&p);
    }
    static void TearDownTestSuite() {
        if (handle_ != nullptr) KIV_Destroy(handle_);
        handle_ = nullptr;
        delete bus_;
        bus_ = nullptr;
    }
    static FakeBus* bus_;
    static KIV_Handle handle_;
};
FakeBus* ServiceFrames::bus_ = nullptr;
KIV_Handle ServiceFrames::handle_ = nullptr;

TEST_P(ServiceFrames, SendsExactlyThisFrame) {
    ASSERT_NE(handle_, nullptr);
    bus_->ClearSent();
    EXPECT_EQ(GetParam().call(handle_), KIV_OK);
    const auto sent = bus_->SentFrames();
    ASSERT_EQ(sent.size(), 1u) << "one frame per call";
    EXPECT_EQ(sent[0], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Script, ServiceFrames, ::testing::ValuesIn(kScripts),
                         [](const ::testing::TestParamInfo<FrameScript>& info) {
                             return std::string(info.param.name);
                         });

// Refused arguments: 1 at once, with the worker held inside canSend. A call
// that queued anything would wait for the worker; none may reach the ring or
// the bus. Node ids outside 1..127 would put the frame on the identifier of
// another service (EMCY of node 0 on SYNC's, of node 128 on TIME's).
TEST(ServiceArguments, RefusedCallsReturnParamErrorWithoutQueuing) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();
    uint8_t buf[4] = {};
    uint32_t got = 0;
    uint16_t status = 0;

    const std::vector<std::pair<const char*, std::function<int32_t()>>> refused = {
        {"PDO length 0", [h] { return KIV_SendPDO(h, 0x201, kEight, 0); }},
        {"PDO length 9", [h] { return KIV_SendPDO(h, 0x201, kEight, 9); }},
        {"PDO null data", [h] { return KIV_SendPDO(h, 0x201, nullptr, 2); }},
        {"input null frame", [h] { return KIV_InputFrame(h, nullptr); }},
        {"NMT node 128", [h] { return KIV_NMT_SendCommand(h, 128, 1); }},
        {"NMT node 255", [h] { return KIV_NMT_SendCommand(h, 255, 1); }},
        {"heartbeat node 0", [h] { return KIV_NMT_SendHeartbeat(h, 0, 5); }},
        {"heartbeat node 200", [h] { return KIV_NMT_SendHeartbeat(h, 200, 5); }},
        {"guarding node 0", [h] { return KIV_SendNodeGuardRequest(h, 0); }},
        {"guarding node 255", [h] { return KIV_SendNodeGuardRequest(h, 255); }},
        {"EMCY node 0", [h] { return KIV_SendEMCY(h, 0, 0x1000, 1, nullptr); }},
        {"EMCY node 128", [h] { return KIV_SendEMCY(h, 128, 0x1000, 1, kMfr); }},
        {"read node 0", [&] { return KIV_ReadObject(h, 0, 0x1000, 0, buf, 4, &got); }},
        {"read node 255", [&] { return KIV_ReadObject(h, 255, 0x1000, 0, buf, 4, &got); }},
        {"write node 128", [h] { return KIV_WriteObject(h, 128, 0x2000, 0, kEight, 8); }},
        {"write node 0", [h] { return KIV_WriteObjectEx(h, 0, 0x2000, 0, kEight, 2, nullptr); }},
        {"heartbeat period node 0", [h] { return KIV_NMT_SetHeartbeatPeriod(h, 0, 100); }},
        {"TPDO mapping node 128", [h] { return KIV_ConfigTPDO(h, 128, 1, kMap, 1); }},
        {"statusword node 128", [&] { return KIV_402_GetStatusWord(h, 128, &status); }},
        {"power on node 0", [h] { return KIV_402_PowerOn(h, 0); }},
    };

    std::future<int32_t> held;
    SendGate<FakeBus> gate(bus);
    held = Async([h] { return KIV_SendSYNC(h); });
    ASSERT_TRUE(WaitUntil([&] { return bus.BlockedSenders() == 1; }));
    for (const auto& [what, call] : refused) {
        std::future<int32_t> f = Async(call);
        ASSERT_TRUE(ReturnsWithin(f, 5s)) << what << ": a refused call must not wait";
        EXPECT_EQ(f.get(), KIV_ERR_PARAM) << what;
    }
    EXPECT_EQ(Waiting(h), 0) << "nothing may be queued";

    gate.Open();
    ASSERT_TRUE(ReturnsWithin(held, 10s));
    EXPECT_EQ(held.get(), KIV_OK);
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
    EXPECT_EQ(bus.SentFrames(), std::vector<KIV_CanFrame>{Frame(0x080, {})});
}

// A failing canSend: its code comes back unchanged and one Error line names
// the frame's identifier in eight hex digits; nothing is retried, and the
// next request starts afresh.
struct SendFailure {
    const char* name;
    int32_t code;
    std::function<int32_t(KIV_Handle)> call;
    const char* message;
};

void PrintTo(const SendFailure& s, std::ostream* os) {
    *os << s.name;
}

class SendFailures : public ::testing::TestWithParam<SendFailure> {};

TEST_P(SendFailures, CodePassedThroughAndOneErrorLineLogged) {
    const SendFailure& c = GetParam();
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();

    {
        LogCapture log;
        bus.FailSendsWith(c.code);
        EXPECT_EQ(c.call(h), c.code);
        EXPECT_EQ(bus.SentCount(), 1u) << "a failed frame is not retried";
        const auto errors = log.Lines("ERROR");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(LogCapture::Message(errors[0]), c.message);
    }
    bus.FailSendsWith(0);
    EXPECT_EQ(KIV_SendSYNC(h), KIV_OK);
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
}

INSTANTIATE_TEST_SUITE_P(
    SendPath, SendFailures,
    ::testing::Values(SendFailure{"Sync7", 7, [](KIV_Handle h) { return KIV_SendSYNC(h); },
                                  "oru can obj<0x00000080> send fail..."},
                      SendFailure{"Sync9", 9, [](KIV_Handle h) { return KIV_SendSYNC(h); },
                                  "oru can obj<0x00000080> send fail..."},
                      SendFailure{"HeartbeatNegative", -5,
                                  [](KIV_Handle h) { return KIV_NMT_SendHeartbeat(h, 127, 5); },
                                  "oru can obj<0x0000077f> send fail..."},
                      SendFailure{
                          "PdoWideCobId", 1234,
                          [](KIV_Handle h) { return KIV_SendPDO(h, 0x1ABCDEF0, kEight, 1); },
                          "oru can obj<0x1abcdef0> send fail..."}),
    [](const ::testing::TestParamInfo<SendFailure>& info) { return std::string(info.param.name); });

TEST(ServiceFramesFd, PdoGoesThroughCanSendEvenWithFdSendRegistered) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(true, true);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    EXPECT_EQ(KIV_SendPDO(inst.get(), 0x201, kEight, 8), KIV_OK);
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
    EXPECT_EQ(bus.SentFrames(),
              std::vector<KIV_CanFrame>{
                  Raw(0x201, 0, 8, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})});
    EXPECT_EQ(bus.FdSends(), 0u);
    EXPECT_GT(bus.FdPolls(), 0u);
    EXPECT_TRUE(bus.Events().empty()) << "polled CAN FD frames make no event";
}

// An injected frame is processed on the worker, and its event has been
// delivered by the time KIV_InputFrame returns.
TEST(InputFrame, EventIsDeliveredOnTheWorkerBeforeTheCallReturns) {
    ScriptHost host;
    KIV_InitParam p = host.Param(true);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();

    EXPECT_EQ(KIV_InputFrame(h, nullptr), KIV_ERR_PARAM);
    const KIV_CanFrame pdo = Frame(0x1A5, {0xDE, 0xAD, 0xBE});
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(KIV_InputFrame(h, &pdo), KIV_OK);
        const auto events = host.Events();
        ASSERT_EQ(events.size(), static_cast<std::size_t>(round + 1))
            << "the event must be delivered before the call returns";
        const KIV_Event& e = events.back();
        EXPECT_EQ(e.type, static_cast<uint32_t>(KIV_EVENT_FRAME));
        EXPECT_EQ(e.body.frame.cobId, 0x1A5u);
        EXPECT_EQ(e.body.frame.frameLength, 3u);
        EXPECT_EQ(e.body.frame.frameData[0], 0xDE);
        EXPECT_EQ(e.body.frame.frameData[2], 0xBE);
    }
    const auto threads = host.EventThreads();
    for (const auto& t : threads) {
        EXPECT_EQ(t, host.PollThread()) << "events come from the worker thread";
        EXPECT_NE(t, std::this_thread::get_id());
    }
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
    EXPECT_TRUE(host.Sent().empty()) << "an injected frame is not sent";
}
