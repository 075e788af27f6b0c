// The simulator itself: bus delivery, the SDO server's answers byte for byte,
// its fault knobs, and the drive's state machine.
#include "orukiv_sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace orukiv::sim;

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof buf, "%02X ", v);
        s += buf;
    }
    return s;
}

Bytes Pad8(Bytes b) {
    b.resize(8, 0);
    return b;
}

const Bytes kText = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                     'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'};

class SimSdoServer : public ::testing::Test {
protected:
    SimSdoServer() {
        node.AddU16(0x2000, 0, 0x1234);
        node.AddU8(0x2001, 0, 0xAB, Access::kRO);
        node.AddU32(0x2002, 0, 0xDEADBEEF, Access::kWO);
        node.AddObject(0x2003, 0, {1, 2, 3}, Access::kConst);
        node.AddVariableObject(0x2010, 0, kText, 32);
        node.AddObject(0x2011, 0, Bytes(10, 0));
        node.AddU8(0x2020, 0, 1);
        node.AddU32(0x2020, 1, 7);
    }

    // Sends one request to node 5; the answer's 8 data bytes, or empty
    // when none came.
    Bytes Ask(const Bytes& request) {
        KIV_CanFrame f = MakeFrame(0x605, {});
        Bytes r = Pad8(request);
        for (int i = 0; i < 8; ++i) f.data[i] = r[i];
        f.dlc = 8;
        host.Send(f);
        auto answer = host.Receive();  // an inline node has answered already
        if (!answer) return {};
        EXPECT_EQ(answer->id, 0x585u);
        EXPECT_EQ(answer->dlc, 8u);
        return Bytes(answer->data, answer->data + 8);
    }

    VirtualBus bus;
    HostEndpoint host{bus};
    SimNode node{bus, 5};
};

struct Step {
    const char* what;
    Bytes request;
    Bytes answer;  // padded to 8 bytes; empty: no answer
};

void RunScript(const std::vector<Step>& steps, std::function<Bytes(const Bytes&)> ask) {
    for (const Step& s : steps) {
        Bytes got = ask(s.request);
        Bytes want = s.answer.empty() ? Bytes{} : Pad8(s.answer);
        EXPECT_EQ(Hex(got), Hex(want)) << s.what;
    }
}

}  // namespace

TEST_F(SimSdoServer, UploadsExpeditedWithSizeAndSegmented) {
    RunScript(
        {
            {"2 bytes", {0x40, 0x00, 0x20, 0x00}, {0x4B, 0x00, 0x20, 0x00, 0x34, 0x12}},
            {"1 byte ro", {0x40, 0x01, 0x20, 0x00}, {0x4F, 0x01, 0x20, 0x00, 0xAB}},
            {"3 bytes const", {0x40, 0x03, 0x20, 0x00}, {0x47, 0x03, 0x20, 0x00, 1, 2, 3}},
            {"4 bytes", {0x40, 0x20, 0x20, 0x01}, {0x43, 0x20, 0x20, 0x01, 7, 0, 0, 0}},
            {"20 bytes: initiate", {0x40, 0x10, 0x20, 0x00}, {0x41, 0x10, 0x20, 0x00, 20}},
            {"segment 1", {0x60}, {0x00, '0', '1', '2', '3', '4', '5', '6'}},
            {"segment 2", {0x70}, {0x10, '7', '8', '9', 'A', 'B', 'C', 'D'}},
            {"last segment: 6 bytes", {0x60}, {0x03, 'E', 'F', 'G', 'H', 'I', 'J'}},
            {"nothing left", {0x70}, {0x80, 0x10, 0x20, 0x00, 0x01, 0x00, 0x04, 0x05}},
        },
        [&](const Bytes& r) { return Ask(r); });
}

TEST_F(SimSdoServer, LastSegmentOfSevenBytesAndEmptyObject) {
    node.AddVariableObject(0x2030, 0, Bytes(14, 0x5A), 32);
    node.AddVariableObject(0x2031, 0, {}, 32);
    RunScript(
        {
            {"14 bytes", {0x40, 0x30, 0x20, 0x00}, {0x41, 0x30, 0x20, 0x00, 14}},
            {"7", {0x60}, {0x00, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}},
            {"last 7", {0x70}, {0x11, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}},
            {"empty", {0x40, 0x31, 0x20, 0x00}, {0x41, 0x31, 0x20, 0x00, 0}},
            {"last, 7 empty bytes", {0x60}, {0x0F}},
        },
        [&](const Bytes& r) { return Ask(r); });
}

TEST_F(SimSdoServer, DownloadsExpeditedAndSegmented) {
    RunScript(
        {
            {"2 bytes", {0x2B, 0x00, 0x20, 0x00, 0x78, 0x56}, {0x60, 0x00, 0x20, 0x00}},
            {"no size: the object's",
             {0x22, 0x00, 0x20, 0x00, 0xAA, 0xBB, 0xCC, 0xDD},
             {0x60, 0x00, 0x20, 0x00}},
            {"10 bytes: initiate", {0x21, 0x11, 0x20, 0x00, 10}, {0x60, 0x11, 0x20, 0x00}},
            {"7", {0x00, 1, 2, 3, 4, 5, 6, 7}, {0x20}},
            {"last 3", {0x19, 8, 9, 10}, {0x30}},
            {"variable: 5 of 32", {0x21, 0x10, 0x20, 0x00, 5}, {0x60, 0x10, 0x20, 0x00}},
            {"last 5", {0x05, 'h', 'e', 'l', 'l', 'o'}, {0x20}},
        },
        [&](const Bytes& r) { return Ask(r); });
    EXPECT_EQ(node.ValueU32(0x2000, 0), 0xBBAAu);
    EXPECT_EQ(*node.Value(0x2011, 0), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(*node.Value(0x2010, 0), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    auto writes = node.Writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].data, (Bytes{0x78, 0x56}));
    EXPECT_EQ(writes[2].index, 0x2011u);
    EXPECT_EQ(writes[2].abortCode, 0u);
}

TEST_F(SimSdoServer, AbortsWithTheCodeOfEachError) {
    auto abortOf = [](uint16_t index, uint8_t sub, uint32_t code) {
        return Bytes{0x80,
                     static_cast<uint8_t>(index),
                     static_cast<uint8_t>(index >> 8),
                     sub,
                     static_cast<uint8_t>(code),
                     static_cast<uint8_t>(code >> 8),
                     static_cast<uint8_t>(code >> 16),
                     static_cast<uint8_t>(code >> 24)};
    };
    RunScript(
        {
            {"no object", {0x40, 0x99, 0x20, 0x00}, abortOf(0x2099, 0, 0x06020000)},
            {"no sub-index", {0x40, 0x20, 0x20, 0x05}, abortOf(0x2020, 5, 0x06090011)},
            {"read of write-only", {0x40, 0x02, 0x20, 0x00}, abortOf(0x2002, 0, 0x06010001)},
            {"write of read-only", {0x2F, 0x01, 0x20, 0x00, 1}, abortOf(0x2001, 0, 0x06010002)},
            {"write of const", {0x27, 0x03, 0x20, 0x00, 1, 2, 3}, abortOf(0x2003, 0, 0x06010002)},
            {"write to no object", {0x2B, 0x99, 0x20, 0x00}, abortOf(0x2099, 0, 0x06020000)},
            {"1 byte to 2", {0x2F, 0x00, 0x20, 0x00, 1}, abortOf(0x2000, 0, 0x06070013)},
            {"4 bytes to 2", {0x23, 0x00, 0x20, 0x00, 1, 2, 3, 4}, abortOf(0x2000, 0, 0x06070012)},
            {"11 announced for 10", {0x21, 0x11, 0x20, 0x00, 11}, abortOf(0x2011, 0, 0x06070012)},
            {"33 announced for 32", {0x21, 0x10, 0x20, 0x00, 33}, abortOf(0x2010, 0, 0x06070012)},
            {"block, blksize 0", {0xA0, 0x00, 0x20, 0x00}, abortOf(0x2000, 0, 0x05040002)},
            {"specifier 7", {0xE0, 0x00, 0x20, 0x00}, abortOf(0x2000, 0, 0x05040001)},
            {"client abort: no answer", {0x80, 0x00, 0x20, 0x00, 0, 0, 4, 5}, {}},
            // Segment protocol.
            {"upload toggle: initiate", {0x40, 0x10, 0x20, 0x00}, {0x41, 0x10, 0x20, 0x00, 20}},
            {"first segment toggle 1", {0x70}, abortOf(0x2010, 0, 0x05030000)},
            {"segment after the abort", {0x60}, abortOf(0x2010, 0, 0x05040001)},
            {"download: initiate", {0x21, 0x11, 0x20, 0x00, 10}, {0x60, 0x11, 0x20, 0x00}},
            {"segment 1", {0x00, 1, 2, 3, 4, 5, 6, 7}, {0x20}},
            {"toggle repeated", {0x00, 1, 2, 3, 4, 5, 6, 7}, abortOf(0x2011, 0, 0x05030000)},
            {"again: initiate", {0x21, 0x11, 0x20, 0x00, 10}, {0x60, 0x11, 0x20, 0x00}},
            {"7", {0x00, 1, 2, 3, 4, 5, 6, 7}, {0x20}},
            {"7 more: beyond 10", {0x10, 1, 2, 3, 4, 5, 6, 7}, abortOf(0x2011, 0, 0x06070010)},
            {"again: initiate", {0x21, 0x11, 0x20, 0x00, 10}, {0x60, 0x11, 0x20, 0x00}},
            {"last after 7 of 10", {0x01, 1, 2, 3, 4, 5, 6, 7}, abortOf(0x2011, 0, 0x06070010)},
        },
        [&](const Bytes& r) { return Ask(r); });
    EXPECT_EQ(*node.Value(0x2011, 0), Bytes(10, 0)) << "no aborted write may be stored";
    EXPECT_EQ(node.ValueU32(0x2000, 0), 0x1234u);
}

TEST_F(SimSdoServer, KnobsShapeTheAnswers) {
    SdoFaults f;
    f.expeditedUploadCommand = 0x4F;
    node.SetFaults(f);
    EXPECT_EQ(Hex(Ask({0x40, 0x00, 0x20, 0x00})), Hex(Pad8({0x4F, 0x00, 0x20, 0x00, 0x34, 0x12})));

    f = SdoFaults{};
    f.announcedUploadSize = 10;  // 20 real bytes: segments run beyond it
    f.wrongToggleAnswers = 1;
    f.abortAfterSegments = 2;
    node.SetFaults(f);
    RunScript(
        {
            {"announces 10", {0x40, 0x10, 0x20, 0x00}, {0x41, 0x10, 0x20, 0x00, 10}},
            {"wrong toggle once", {0x60}, {0x10, '0', '1', '2', '3', '4', '5', '6'}},
            {"then served", {0x60}, {0x00, '0', '1', '2', '3', '4', '5', '6'}},
            {"beyond 10", {0x70}, {0x10, '7', '8', '9', 'A', 'B', 'C', 'D'}},
            {"abort after 2", {0x60}, {0x80, 0x10, 0x20, 0x00, 0, 0, 0, 0x08}},
        },
        [&](const Bytes& r) { return Ask(r); });

    f = SdoFaults{};
    f.repeatOnSameToggle = true;
    f.corruptShare = 1.0;
    f.corruptByte = 0;
    node.SetFaults(f);
    RunScript(
        {
            {"corrupted byte 0", {0x40, 0x10, 0x20, 0x00}, {0xBE, 0x10, 0x20, 0x00, 20}},
            {"segment", {0x60}, {0xFF, '0', '1', '2', '3', '4', '5', '6'}},
            {"repeat answered again", {0x60}, {0xFF, '0', '1', '2', '3', '4', '5', '6'}},
        },
        [&](const Bytes& r) { return Ask(r); });

    f = SdoFaults{};
    f.dropShare = 1.0;
    node.SetFaults(f);
    host.Send(MakeSdoFrame(0x605, {0x40, 0x00, 0x20, 0x00}));
    EXPECT_FALSE(host.WaitReceive(30ms).has_value());
    EXPECT_EQ(node.RequestsSeen(), 10u) << "seen but not answered";
}

TEST_F(SimSdoServer, DropShareIsSeededAndProportional) {
    auto pattern = [&](uint32_t seed) {
        SdoFaults f;
        f.seed = seed;
        f.dropShare = 0.5;
        node.SetFaults(f);
        std::string s;
        for (int i = 0; i < 200; ++i) {
            host.Send(MakeSdoFrame(0x605, {0x40, 0x00, 0x20, 0x00}));
            s += host.Receive() ? '1' : '0';
        }
        return s;
    };
    const std::string a = pattern(7);
    EXPECT_EQ(pattern(7), a) << "same seed, same drops";
    EXPECT_NE(pattern(8), a);
    const auto answered = std::count(a.begin(), a.end(), '1');
    EXPECT_GT(answered, 60);
    EXPECT_LT(answered, 140);
}

TEST_F(SimSdoServer, DelayedAnswersComeFromTheTimer) {
    SdoFaults f;
    f.delay = 60ms;
    node.SetFaults(f);
    const auto start = Clock::now();
    host.Send(MakeSdoFrame(0x605, {0x40, 0x00, 0x20, 0x00}));
    EXPECT_FALSE(host.Receive().has_value());
    auto answer = host.WaitReceive(5s);
    ASSERT_TRUE(answer.has_value());
    EXPECT_GE(Clock::now() - start, 55ms);
    EXPECT_EQ(answer->data[0], 0x4B);
}

TEST(SimBus, DeliversToEveryOtherEndpointAndTraces) {
    VirtualBus bus;
    HostEndpoint a(bus, "a"), b(bus, "b"), c(bus, "c");
    bus.SetTrace(true);
    a.Send(MakeFrame(0x123, {1, 2}));
    EXPECT_FALSE(a.Receive().has_value()) << "never back to the sender";
    auto fb = b.Receive();
    auto fc = c.Receive();
    ASSERT_TRUE(fb && fc);
    EXPECT_EQ(fb->id, 0x123u);
    EXPECT_EQ(fc->dlc, 2u);
    auto trace = bus.Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].sender, "a");
    EXPECT_EQ(trace[0].senderId, a.endpoint().Id());

    { HostEndpoint d(bus, "d"); }  // detached: later frames do not reach it, and nothing breaks
    b.Send(MakeFrame(0x1, {}));
    EXPECT_EQ(a.Pending(), 1u);
    EXPECT_EQ(bus.Trace().size(), 2u);
}

TEST(SimBus, ThreadAndManualNodesAnswer) {
    VirtualBus bus;
    HostEndpoint host(bus);
    SimNode threaded(bus, 1, SimNode::Mode::kThread);
    SimNode manual(bus, 2, SimNode::Mode::kManual);
    threaded.AddU8(0x2000, 0, 0x11);
    manual.AddU8(0x2000, 0, 0x22);

    host.Send(MakeSdoFrame(0x601, {0x40, 0x00, 0x20, 0x00}));
    auto a = host.WaitReceive(5s);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->id, 0x581u);
    EXPECT_EQ(a->data[4], 0x11);

    host.Send(MakeSdoFrame(0x602, {0x40, 0x00, 0x20, 0x00}));
    EXPECT_FALSE(host.WaitReceive(20ms).has_value()) << "a manual node waits for Pump";
    EXPECT_EQ(manual.Pump(), 3u) << "it also saw the request for node 1 and its answer";
    auto m = host.Receive();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->id, 0x582u);
    EXPECT_EQ(m->data[4], 0x22);
}

TEST(SimBus, BootUpFrame) {
    VirtualBus bus;
    HostEndpoint host(bus);
    SimNode node(bus, 0x12);
    node.SendBootUp();
    auto f = host.Receive();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->id, 0x712u);
    EXPECT_EQ(f->dlc, 1u);
    EXPECT_EQ(f->data[0], 0u);
}

// ---- CiA 402 ------------------------------------------------------------------

namespace {

class SimDrive402 : public ::testing::Test {
protected:
    void Control(uint16_t cw) {
        host.Send(MakeSdoFrame(0x607, {0x2B, 0x40, 0x60, 0x00, static_cast<uint8_t>(cw),
                                       static_cast<uint8_t>(cw >> 8)}));
        auto a = host.Receive();
        ASSERT_TRUE(a.has_value());
        ASSERT_EQ(a->data[0], 0x60);
    }
    uint16_t ReadStatusWord() {
        host.Send(MakeSdoFrame(0x607, {0x40, 0x41, 0x60, 0x00}));
        auto a = host.Receive();
        EXPECT_TRUE(a.has_value());
        if (!a) return 0xFFFF;
        EXPECT_EQ(a->data[0], 0x4B);
        return static_cast<uint16_t>(a->data[4] | (a->data[5] << 8));
    }

    VirtualBus bus;
    HostEndpoint host{bus};
    SimDrive drive{bus, 7};
};

}  // namespace

TEST_F(SimDrive402, ControlwordDrivesTheStateMachine) {
    struct T {
        uint16_t cw;
        DriveState after;
    };
    using D = DriveState;
    const T steps[] = {
        {0x0007, D::kSwitchOnDisabled},  // switch on is not valid from here
        {0x0006, D::kReadyToSwitchOn},  {0x0007, D::kSwitchedOn},
        {0x000F, D::kOperationEnabled}, {0x0007, D::kSwitchedOn},
        {0x000F, D::kOperationEnabled}, {0x0002, D::kQuickStopActive},
        {0x000F, D::kOperationEnabled}, {0x0006, D::kReadyToSwitchOn},
        {0x000F, D::kOperationEnabled},  // switch on + enable operation
        {0x0000, D::kSwitchOnDisabled}, {0x0006, D::kReadyToSwitchOn},
        {0x000B, D::kSwitchOnDisabled},  // quick stop from ready
        {0x0080, D::kSwitchOnDisabled},  // fault reset outside fault: nothing
    };
    EXPECT_EQ(ReadStatusWord(), 0x0040);
    for (const T& s : steps) {
        Control(s.cw);
        EXPECT_EQ(drive.State(), s.after)
            << "after cw " << s.cw << ": " << DriveStateName(drive.State());
        EXPECT_EQ(ReadStatusWord(), StatusWordOf(s.after)) << "after cw " << s.cw;
    }
    EXPECT_EQ(StatusWordOf(D::kReadyToSwitchOn), 0x0021);
    EXPECT_EQ(StatusWordOf(D::kSwitchedOn), 0x0023);
    EXPECT_EQ(StatusWordOf(D::kOperationEnabled), 0x0027);
    EXPECT_EQ(StatusWordOf(D::kQuickStopActive), 0x0007);
    EXPECT_EQ(StatusWordOf(D::kFault), 0x0008);
}

TEST_F(SimDrive402, FaultResetOnTheRisingEdgeOfBit7) {
    Control(0x0006);
    drive.InjectFault(0x2310);
    auto emcy = host.Receive();
    ASSERT_TRUE(emcy.has_value());
    EXPECT_EQ(emcy->id, 0x87u);
    EXPECT_EQ(emcy->data[0], 0x10);
    EXPECT_EQ(emcy->data[1], 0x23);
    EXPECT_EQ(ReadStatusWord(), 0x0008);
    Control(0x0006);
    EXPECT_EQ(drive.State(), DriveState::kFault) << "commands are ignored in fault";
    Control(0x0080);
    EXPECT_EQ(drive.State(), DriveState::kSwitchOnDisabled);

    drive.InjectFault(0x1000, false);
    Control(0x0080);  // bit 7 still set: no edge
    EXPECT_EQ(drive.State(), DriveState::kFault);
    Control(0x0000);
    Control(0x0080);
    EXPECT_EQ(drive.State(), DriveState::kSwitchOnDisabled);
}

TEST_F(SimDrive402, ModeDisplayFollowsAndTargetsAreReached) {
    host.Send(MakeSdoFrame(0x607, {0x2F, 0x60, 0x60, 0x00, 0x06}));
    ASSERT_TRUE(host.Receive().has_value());
    EXPECT_EQ(*drive.Value(0x6061, 0), Bytes{0x06});
    host.Send(MakeSdoFrame(0x607, {0x2F, 0x61, 0x60, 0x00, 0x01}));
    auto refused = host.Receive();
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->data[0], 0x80);
    EXPECT_EQ(refused->data[7], 0x06);  // 0x06010002

    Control(0x0006);
    Control(0x000F);
    host.Send(MakeSdoFrame(0x607, {0x23, 0x7A, 0x60, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(host.Receive().has_value());
    EXPECT_EQ(drive.ValueU32(0x6064, 0), 0xFFFFFFFEu);
    for (uint16_t index : {0x1017, 0x1A00, 0x1A03})
        EXPECT_TRUE(drive.Value(index, 0).has_value()) << std::hex << index;
    EXPECT_TRUE(drive.Value(0x1A01, 8).has_value());
}
