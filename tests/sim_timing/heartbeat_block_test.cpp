// A heartbeat consumer during a 64 KiB block upload on the bus with bit
// timing (1 Mbit/s): the worker takes frames as fast as the bus delivers
// them, so a heartbeat never waits behind the upload's segments long enough
// to be taken for lost, in the default timing and in low-latency mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "orukiv/orukiv.h"
#include "orukiv_sim/sim.h"

using namespace std::chrono_literals;
using namespace orukiv::sim;

namespace {

constexpr uint8_t kDrive = 5;
constexpr uint8_t kProducer = 9;
constexpr auto kPeriod = 100ms;  // the producer's heartbeat period
constexpr uint32_t kConsumerMs = 150;

TEST(HeartbeatDuringBlockUpload, NoLossInEitherTiming) {
    for (const bool lowLatency : {false, true}) {
        SCOPED_TRACE(lowLatency ? "low-latency mode" : "default timing");
        VirtualBus bus;
        ASSERT_TRUE(bus.SetBitTiming({1000000, 128}));
        HostEndpoint host{bus};
        SimDrive drive{bus, kDrive};
        SimNode producer{bus, kProducer};
        std::vector<uint8_t> data(64 * 1024);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
        drive.SetValue(0x1F50, 1, data);

        std::atomic<int> lost{0};
        host.SetEventHandler([&](const KIV_Event& e) {
            if (e.type == KIV_EVENT_NODE_STATE && e.body.nodeState.cause == KIV_NODE_HEARTBEAT_LOST)
                ++lost;
        });
        KIV_InitParam p = host.Param(true);
        KIV_Handle h = KIV_Init(&p);
        ASSERT_NE(h, nullptr);
        if (lowLatency) {
            ASSERT_EQ(KIV_SetWorkerTiming(h, 1000, KIV_TIMING_WAKE_ON_REQUEST), KIV_OK);
            host.endpoint().SetArrivalHandler([h] { KIV_Notify(h); });
        }
        ASSERT_EQ(KIV_SuperviseNode(h, kProducer, kConsumerMs), KIV_OK);
        std::atomic<bool> stop{false};
        std::thread beat([&] {
            auto next = std::chrono::steady_clock::now();
            while (!stop.load()) {
                producer.SendHeartbeat(KIV_NMT_STATE_PRE_OPERATIONAL);
                next += kPeriod;
                std::this_thread::sleep_until(next);
            }
        });
        std::this_thread::sleep_for(300ms);  // supervision under way
        std::vector<uint8_t> back(data.size());
        uint32_t got = 0, code = 0;
        const int32_t rc = KIV_ReadObjectBlock(h, kDrive, 0x1F50, 1, back.data(),
                                               static_cast<uint32_t>(back.size()), &got, &code);
        stop.store(true);
        beat.join();
        host.endpoint().SetArrivalHandler({});
        EXPECT_EQ(KIV_Destroy(h), KIV_OK);
        EXPECT_EQ(rc, KIV_OK);
        EXPECT_EQ(back, data);
        EXPECT_EQ(lost.load(), 0);
    }
}

}  // namespace
