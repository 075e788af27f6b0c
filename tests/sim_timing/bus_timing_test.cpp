// The virtual bus with bit timing: frame lengths with stuff bits, the
// block-transfer CRC, arbitration, the bounded transmit queues and the time
// frames take.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "orukiv_sim/sim.h"

using namespace std::chrono_literals;
using namespace orukiv::sim;

namespace {

KIV_CanFrame Frame(uint32_t id, std::initializer_list<uint8_t> bytes, bool rtr = false) {
    KIV_CanFrame f = MakeFrame(id, bytes);
    f.rtr = rtr ? 1 : 0;
    return f;
}

TEST(FrameBits, CountsStuffBitsOfTheWholeFrame) {
    const struct {
        const char* what;
        KIV_CanFrame frame;
        uint32_t bits;
    } cases[] = {
        // 34 zero bits from start of frame to the end of the CRC (which is 0):
        // a stuff bit after every fifth, 6 in all; 34 + 6 + 13.
        {"id 0, no data", Frame(0x000, {}), 53},
        // 0 0001 then 16 zeros (ID, control, the CRC's first two), 111,
        // seven zeros, 101: stuff bits after zeros 5, 10, 15 and in the
        // seven: 4; 34 + 4 + 13.
        {"SYNC", Frame(0x080, {}), 51},
        {"remote 0x7FF", Frame(0x7FF, {}, true), 50},
        {"SDO read request", MakeSdoFrame(0x605, {0x40, 0x00, 0x10, 0x00}), 124},
        {"SDO expedited answer", MakeSdoFrame(0x585, {0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02}),
         118},
        {"two bytes", Frame(0x123, {0xAA, 0x55}), 65},
    };
    for (const auto& c : cases) EXPECT_EQ(FrameBits(c.frame), c.bits) << c.what;
}

TEST(BlockCrc, IsTheCcittVariantWithInitialZero) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(BlockCrc(check, sizeof check), 0x31C3);
    // Continued over two pieces as over one.
    EXPECT_EQ(BlockCrc(check + 4, 5, BlockCrc(check, 4)), 0x31C3);
    EXPECT_EQ(BlockCrc(check, 0), 0);
}

std::chrono::nanoseconds Duration(const KIV_CanFrame& f, uint32_t rate) {
    return std::chrono::nanoseconds(static_cast<int64_t>(FrameBits(f)) * 1000000000 / rate);
}

TEST(BusTiming, WaitingFramesLeaveInIdentifierOrderBackToBack) {
    VirtualBus bus;
    constexpr uint32_t kRate = 1000000;
    for (uint32_t rate : {9999u, 1000001u}) EXPECT_FALSE(bus.SetBitTiming({rate, 10})) << rate;
    ASSERT_TRUE(bus.SetBitTiming({kRate, 10}));
    HostEndpoint a(bus, "a"), b(bus, "b"), c(bus, "c");
    bus.SetTrace(true);
    bus.SetHold(true);
    // a's queue is first in, first out: its 0x050 waits behind its 0x300.
    ASSERT_TRUE(a.Send(Frame(0x300, {1})));
    ASSERT_TRUE(a.Send(Frame(0x050, {2})));
    ASSERT_TRUE(b.Send(Frame(0x100, {3, 4, 5})));
    ASSERT_TRUE(c.Send(Frame(0x200, {})));
    bus.SetHold(false);
    ASSERT_TRUE(bus.WaitForTrace(4, 5s));
    const auto trace = bus.Trace();
    const uint32_t order[] = {0x100, 0x200, 0x300, 0x050};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(trace[i].frame.id, order[i]) << i;
    // On the bus's time line each frame ends exactly its length after the
    // one before.
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(trace[i].at - trace[i - 1].at, Duration(trace[i].frame, kRate)) << i;
    EXPECT_EQ(bus.BusyTime(), Duration(trace[0].frame, kRate) + Duration(trace[1].frame, kRate) +
                                  Duration(trace[2].frame, kRate) +
                                  Duration(trace[3].frame, kRate));
    // Every other endpoint got each frame; the sender none of its own.
    EXPECT_EQ(a.Pending(), 2u);
    EXPECT_EQ(b.Pending(), 3u);
    EXPECT_EQ(c.Pending(), 3u);
}

TEST(BusTiming, AFullTransmitQueueRefusesFramesUntilOneLeaves) {
    VirtualBus bus;
    ASSERT_TRUE(bus.SetBitTiming({500000, 3}));
    HostEndpoint host(bus);
    HostEndpoint other(bus, "other");
    KIV_InitParam p = host.Param();
    const KIV_CanFrame f = Frame(0x181, {1, 2});
    bus.SetTrace(true);
    bus.SetHold(true);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(p.canSend(&f, p.userData), 0) << i;
    EXPECT_EQ(p.canSend(&f, p.userData), HostEndpoint::kSendFailed);
    other.endpoint().SetTxQueueDepth(0);  // no bound for this one
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(other.Send(f));
    std::atomic<int> sent{0};
    host.endpoint().SetSentHandler([&] { ++sent; });
    bus.SetHold(false);
    ASSERT_TRUE(bus.WaitForTrace(23, 5s));
    EXPECT_EQ(sent, 3);
    EXPECT_EQ(p.canSend(&f, p.userData), 0);
}

TEST(BusTiming, FramesTakeAtLeastTheirTimeOnTheBus) {
    VirtualBus bus;
    constexpr uint32_t kRate = 20000;
    ASSERT_TRUE(bus.SetBitTiming({kRate, 0}));
    HostEndpoint host(bus);
    HostEndpoint other(bus, "other");
    std::chrono::nanoseconds total{0};
    const auto start = Clock::now();
    for (uint8_t i = 0; i < 5; ++i) {
        const KIV_CanFrame f = MakeSdoFrame(0x600u + i, {i, 0xFF, 0x00, 0x55});
        total += Duration(f, kRate);
        ASSERT_TRUE(host.Send(f));
    }
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(other.WaitReceive(5s)) << i;
    EXPECT_GE(Clock::now() - start, total);  // about 30 ms: never sooner
}

}  // namespace

namespace {

TEST(BusTiming, AnAnswersLatencyCountsFromTheEndOfTheRequestOnTheTimeLine) {
    VirtualBus bus;
    constexpr uint32_t kRate = 250000;
    ASSERT_TRUE(bus.SetBitTiming({kRate, 10}));
    HostEndpoint host(bus);
    SimNode node(bus, 5);
    node.AddU16(0x2000, 0, 0x1234);
    SdoFaults faults;
    faults.delay = 3ms;
    node.SetFaults(faults);
    bus.SetTrace(true);
    ASSERT_TRUE(host.Send(MakeSdoFrame(0x605, {0x40, 0x00, 0x20, 0x00})));
    ASSERT_TRUE(bus.WaitForTrace(2, 5s));
    const auto trace = bus.Trace();
    EXPECT_EQ(trace[1].frame.id, 0x585u);
    // Exact, however late the bus's thread woke: the answer starts 3 ms
    // after the request ended.
    EXPECT_EQ(trace[1].at - trace[0].at, 3ms + Duration(trace[1].frame, kRate));
}

}  // namespace
