// Identical frames that start in the same bit time are one frame on a
// bit-timed bus with merging on; frames that differ stay apart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "orukiv_sim/sim.h"

namespace {

using namespace std::chrono_literals;
using namespace orukiv::sim;

TEST(BusMerge, IdenticalFramesWaitingTogetherAreOneFrame) {
    for (bool merge : {true, false}) {
        SCOPED_TRACE(merge);
        VirtualBus bus;
        ASSERT_TRUE(bus.SetBitTiming({125000, 0, merge}));
        HostEndpoint a(bus, "a"), b(bus, "b"), c(bus, "c"), listener(bus, "listener");
        std::atomic<int> sentA{0}, sentB{0};
        a.endpoint().SetSentHandler([&] { ++sentA; });
        b.endpoint().SetSentHandler([&] { ++sentB; });
        const KIV_CanFrame answer = MakeSdoFrame(0x7E4, {0x4F});
        const KIV_CanFrame other = MakeSdoFrame(0x7E4, {0x4F, 1});
        bus.SetTrace(true);
        bus.SetHold(true);
        ASSERT_TRUE(a.Send(answer));
        ASSERT_TRUE(b.Send(answer));
        ASSERT_TRUE(c.Send(other));
        bus.SetHold(false);
        ASSERT_TRUE(bus.WaitForTrace(merge ? 2 : 3, 2s));
        std::this_thread::sleep_for(20ms);  // time for a wrong extra frame
        EXPECT_EQ(bus.Trace().size(), merge ? 2u : 3u);
        EXPECT_EQ(listener.Pending(), merge ? 2u : 3u);
        EXPECT_EQ(sentA, 1);
        EXPECT_EQ(sentB, 1);
        // Merged, a receives c's frame only, not b's copy of its own.
        EXPECT_EQ(a.Pending(), merge ? 1u : 2u);
    }
}

}  // namespace
