// Commissioning many LSS slaves: fastscan and KIV_LSS_ConfigureAll against
// simulated slaves that answer each query at random moments within the
// step, on a bit-timed bus where simultaneous identical answers merge;
// ambiguous inquiries; refused arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "fake_bus.h"
#include "orukiv_sim/sim.h"

namespace {

using namespace orukiv::sim;
using namespace std::chrono_literals;
using Ident = std::array<uint32_t, 4>;

// Slaves with distinct random identities (two vendors, so that some scans
// share the vendor with the previous one and some do not), each answering
// `delay` plus up to `jitter` after the query.
class Slaves {
public:
    Slaves(int count, std::chrono::microseconds delay, std::chrono::microseconds jitter,
           uint32_t bitRate) {
        if (bitRate != 0) bus.SetBitTiming({bitRate, 0, true});
        std::mt19937 rng(7);
        std::set<Ident> seen;
        while (static_cast<int>(ids.size()) < count) {
            const Ident id = {rng() % 2 ? 0x1A2Bu : 0x2Cu, static_cast<uint32_t>(rng()), 1,
                              static_cast<uint32_t>(rng())};
            if (seen.insert(id).second) ids.push_back(id);
        }
        for (std::size_t i = 0; i < ids.size(); ++i) {
            auto n = std::make_unique<SimNode>(bus, 255);
            n->AddDeviceObjects({0x191, "", ids[i][0], ids[i][1], ids[i][2], ids[i][3]});
            n->SetLssAnswerDelay(delay, jitter, static_cast<uint32_t>(i + 1));
            nodes.push_back(std::move(n));
        }
        const KIV_InitParam p = host.Param();
        h = KIV_Init(&p);
        KIV_SetWorkerTiming(h, 200, KIV_TIMING_WAKE_ON_REQUEST);
    }
    ~Slaves() { KIV_Destroy(h); }

    VirtualBus bus;
    HostEndpoint host{bus};
    std::vector<Ident> ids;
    std::vector<std::unique_ptr<SimNode>> nodes;
    KIV_Handle h = nullptr;
};

// Every slave is numbered once, from the first node-ID up, skipping the one
// a configured node already uses; each slave took the node-ID its entry
// names.
TEST(LssMany, ConfigureAllNumbersSlavesAnsweringAtRandomMoments) {
    Slaves net(8, 0us, 4ms, 500000);
    SimNode configured(net.bus, 3);
    configured.AddDeviceObjects({0x191, "", 9, 9, 9, 9});
    std::vector<KIV_LssFound> found(20);
    uint32_t count = 0;
    ASSERT_EQ(KIV_LSS_ConfigureAll(net.h, 1, 20, KIV_LSS_STORE, 10, found.data(), &count), KIV_OK);
    ASSERT_EQ(count, net.ids.size());
    std::vector<Ident> got;
    std::vector<uint8_t> numbers;
    for (uint32_t i = 0; i < count; ++i) {
        const KIV_LssFound& e = found[i];
        EXPECT_EQ(e.result, KIV_OK);
        EXPECT_EQ(e.stored, 1);
        got.push_back(std::to_array(e.identity));
        numbers.push_back(e.nodeId);
        const auto at = std::find(net.ids.begin(), net.ids.end(), got.back());
        ASSERT_NE(at, net.ids.end());
        EXPECT_EQ(net.nodes[at - net.ids.begin()]->NodeId(), e.nodeId);
    }
    std::sort(got.begin(), got.end());
    std::vector<Ident> want = net.ids;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(numbers, (std::vector<uint8_t>{1, 2, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(KIV_LSS_IdentifyNonConfigured(net.h, 50), KIV_ERR_TIMEOUT);
}

// A step shorter than some answers: the scan fails or finds a real slave,
// left in configuration state; never an identity no slave has.
TEST(LssMany, StepTooShortNeverGivesAWrongIdentity) {
    for (uint32_t step : {2u, 4u, 6u}) {
        SCOPED_TRACE(step);
        Slaves net(6, 1ms, 10ms, 0);
        Ident f{};
        const int32_t rc = KIV_LSS_Fastscan(net.h, step, f.data());
        if (rc == KIV_OK) {
            EXPECT_NE(std::find(net.ids.begin(), net.ids.end(), f), net.ids.end());
        } else {
            EXPECT_EQ(rc, KIV_ERR_TIMEOUT);
        }
    }
    // All answers later than the step: a time-out.
    Slaves late(3, 8ms, 2ms, 0);
    Ident f{};
    EXPECT_EQ(KIV_LSS_Fastscan(late.h, 3, f.data()), KIV_ERR_TIMEOUT);
}

// Two slaves in configuration state both answer an inquiry.
TEST(LssMany, InquiryAnsweredByTwoSlavesIsAmbiguous) {
    Slaves net(2, 0us, 3ms, 0);
    ASSERT_EQ(KIV_LSS_SwitchGlobal(net.h, 1), KIV_OK);
    uint8_t id = 0;
    uint32_t identity[4] = {7, 7, 7, 7};
    EXPECT_EQ(KIV_LSS_InquireNodeId(net.h, &id), KIV_ERR_AMBIGUOUS);
    EXPECT_EQ(KIV_LSS_InquireIdentity(net.h, identity), KIV_ERR_AMBIGUOUS);
    EXPECT_EQ(identity[0], 7u);
    ASSERT_EQ(KIV_LSS_SwitchGlobal(net.h, 0), KIV_OK);
    ASSERT_EQ(
        KIV_LSS_SwitchSelective(net.h, net.ids[1][0], net.ids[1][1], net.ids[1][2], net.ids[1][3]),
        KIV_OK);
    EXPECT_EQ(KIV_LSS_InquireIdentity(net.h, identity), KIV_OK);
    EXPECT_EQ(std::to_array(identity), net.ids[1]);
}

// Refused before any frame.
TEST(LssMany, ConfigureAllRefusesBadArguments) {
    orukiv::test::FakeBus bus;
    const KIV_InitParam p = bus.Param(false);
    KIV_Handle h = KIV_Init(&p);
    KIV_LssFound found[2];
    uint32_t count = 0;
    EXPECT_EQ(KIV_LSS_ConfigureAll(h, 0, 2, 0, 0, found, &count), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_LSS_ConfigureAll(h, 128, 2, 0, 0, found, &count), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_LSS_ConfigureAll(h, 1, 0, 0, 0, found, &count), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_LSS_ConfigureAll(h, 1, 2, 0, 0, nullptr, &count), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_LSS_ConfigureAll(h, 1, 2, 0, 0, found, nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_LSS_ConfigureAll(nullptr, 1, 2, 0, 0, found, &count), KIV_ERR_PARAM);
    KIV_Destroy(h);
    EXPECT_TRUE(bus.SentFrames().empty());
}

}  // namespace

// KIV_Cancel(h, 0) ends the LSS service under way and those waiting within
// a pass or so; KIV_Cancel for a node leaves LSS services alone; a service
// called afterwards runs normally.
TEST(LssMany, CancelEndsTheServicesUnderWayAndWaiting) {
    Slaves net(2, 0us, 0us, 0);
    Ident f{};
    int32_t scan = -1, waiting = -1;
    std::thread scanner([&] { scan = KIV_LSS_Fastscan(net.h, 400, f.data()); });
    std::this_thread::sleep_for(100ms);  // the scan is under way, in its long steps
    std::thread second([&] { waiting = KIV_LSS_IdentifyNonConfigured(net.h, 100); });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(KIV_Cancel(net.h, 5), KIV_OK);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(scan, -1);
    const auto t0 = Clock::now();
    EXPECT_EQ(KIV_Cancel(net.h, 0), KIV_OK);
    scanner.join();
    second.join();
    EXPECT_LT(Clock::now() - t0, 300ms);
    EXPECT_EQ(scan, KIV_ERR_CANCELLED);
    EXPECT_EQ(waiting, KIV_ERR_CANCELLED);
    EXPECT_EQ(KIV_LSS_IdentifyNonConfigured(net.h, 100), KIV_OK);
}
