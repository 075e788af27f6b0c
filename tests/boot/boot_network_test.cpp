// KIV_BootNetwork against a network of simulated nodes: optional slaves
// that fail (a wrong identity, one missing) are reported and the network
// starts; a missing mandatory slave keeps every node from starting; a
// boot-up of an unlisted node is reported with status 'A'; bad lists are
// refused before any frame.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "orukiv_sim/sim.h"

namespace {

using namespace orukiv::sim;
using namespace std::chrono_literals;

constexpr uint32_t kType = 0x191, kVendor = 0x1A2B;

// Nodes 1..4 are on the bus; node 5 is not.
class Net {
public:
    Net() {
        for (uint8_t id = 1; id <= 4; ++id) {
            nodes.push_back(std::make_unique<SimNode>(bus, id));
            nodes.back()->AddDeviceObjects({kType, "", kVendor, 2, 3, id});
            nodes.back()->AddCommunicationObjects();
            ticker.Add(*nodes.back());
        }
        host.SetEventHandler([this](const KIV_Event& e) {
            if (e.type != KIV_EVENT_BOOT) return;
            std::lock_guard<std::mutex> g(m);
            events.push_back(e);
        });
        const KIV_InitParam p = host.Param(true);
        h = KIV_Init(&p);
        KIV_SetSDOTimeout(h, 150);
        ticker.Start();
    }
    ~Net() {
        KIV_Destroy(h);
        ticker.Stop();
    }
    SimNode& Node(uint8_t id) { return *nodes[id - 1]; }

    VirtualBus bus;
    HostEndpoint host{bus};
    std::vector<std::unique_ptr<SimNode>> nodes;
    SimTicker ticker{5ms};
    KIV_Handle h = nullptr;
    std::mutex m;
    std::vector<KIV_Event> events;
};

KIV_BootNetParam Listed(uint8_t node, uint32_t flags) {
    KIV_BootNetParam n;
    std::memset(&n, 0, sizeof n);
    n.node = node;
    n.param.flags = flags;
    n.param.deviceType = kType;
    n.param.vendorId = kVendor;
    n.param.bootTimeMs = 300;
    return n;
}

// Node 1 (mandatory) resets and its boot-up comes 150 ms later; meanwhile
// the unlisted node 3 sends a boot-up.
TEST(BootNetwork, OptionalFailuresAreReportedAndTheNetworkStarts) {
    Net net;
    net.Node(1).SetBootUpDelay(150ms);
    std::vector<KIV_BootNetParam> list = {
        Listed(1, KIV_BOOT_MANDATORY | KIV_BOOT_RESET_COMM | KIV_BOOT_START),
        Listed(2, KIV_BOOT_START), Listed(4, KIV_BOOT_START), Listed(5, KIV_BOOT_START)};
    list[1].param.vendorId = 0x99;  // node 2 has another vendor
    std::vector<KIV_BootReport> reports(list.size());
    std::thread unlisted([&] {
        std::this_thread::sleep_for(40ms);
        net.Node(3).SendBootUp();
    });
    const int32_t rc = KIV_BootNetwork(net.h, list.data(), 4, 0, reports.data());
    unlisted.join();
    EXPECT_EQ(rc, KIV_OK);
    EXPECT_EQ(reports[0].result, KIV_OK);
    EXPECT_EQ(reports[1].status, 'D');
    EXPECT_EQ(reports[1].result, KIV_ERR_MISMATCH);
    EXPECT_EQ(reports[1].expected, 0x99u);
    EXPECT_EQ(reports[1].actual, kVendor);
    EXPECT_EQ(reports[2].result, KIV_OK);
    EXPECT_EQ(reports[3].status, 'B');
    EXPECT_EQ(reports[3].result, KIV_ERR_TIMEOUT);
    EXPECT_EQ(net.Node(1).NmtState(), KIV_NMT_STATE_OPERATIONAL);
    EXPECT_EQ(net.Node(4).NmtState(), KIV_NMT_STATE_OPERATIONAL);
    EXPECT_EQ(net.Node(2).NmtState(), KIV_NMT_STATE_PRE_OPERATIONAL);
    EXPECT_EQ(net.Node(3).NmtState(), KIV_NMT_STATE_PRE_OPERATIONAL);
    std::lock_guard<std::mutex> g(net.m);
    std::vector<uint8_t> unlistedEvents;
    for (const KIV_Event& e : net.events)
        if (e.body.boot.status == 'A') unlistedEvents.push_back(e.node);
    EXPECT_EQ(unlistedEvents, std::vector<uint8_t>{3});
    EXPECT_EQ(net.events.size(), 5u);  // one per listed node, and node 3's
}

TEST(BootNetwork, MissingMandatorySlaveStartsNothing) {
    for (uint32_t flags : {0u, KIV_BOOTNET_START_ALL | KIV_BOOTNET_STOP_ALL}) {
        SCOPED_TRACE(flags);
        Net net;
        std::vector<KIV_BootNetParam> list = {Listed(1, KIV_BOOT_MANDATORY | KIV_BOOT_START),
                                              Listed(5, KIV_BOOT_MANDATORY | KIV_BOOT_START)};
        std::vector<KIV_BootReport> reports(list.size());
        EXPECT_EQ(KIV_BootNetwork(net.h, list.data(), 2, flags, reports.data()), KIV_ERR_TIMEOUT);
        EXPECT_EQ(reports[0].result, KIV_OK);
        EXPECT_EQ(reports[1].status, 'B');
        EXPECT_GE(reports[1].elapsedMs, 250u);  // asked again until its boot time
        const uint8_t want = flags != 0 ? KIV_NMT_STATE_STOPPED : KIV_NMT_STATE_PRE_OPERATIONAL;
        EXPECT_EQ(net.Node(1).NmtState(), want);
    }
}

TEST(BootNetwork, StartAllIsOneCommand) {
    Net net;
    net.bus.SetTrace(true);
    std::vector<KIV_BootNetParam> list = {Listed(1, KIV_BOOT_MANDATORY), Listed(2, 0)};
    std::vector<KIV_BootReport> reports(list.size());
    ASSERT_EQ(KIV_BootNetwork(net.h, list.data(), 2, KIV_BOOTNET_START_ALL, reports.data()),
              KIV_OK);
    std::vector<std::vector<uint8_t>> nmt;
    for (const TraceEntry& e : net.bus.Trace())
        if (e.frame.id == 0) nmt.push_back({e.frame.data[0], e.frame.data[1]});
    EXPECT_EQ(nmt, (std::vector<std::vector<uint8_t>>{{1, 0}}));
    EXPECT_EQ(reports[1].nmtState, KIV_NMT_STATE_OPERATIONAL);
}

TEST(BootNetwork, BadListsAreRefusedBeforeAnyFrame) {
    Net net;
    net.bus.SetTrace(true);
    KIV_BootReport reports[3];
    const auto run = [&](std::vector<KIV_BootNetParam> list, uint32_t count) {
        return KIV_BootNetwork(net.h, list.data(), count, 0, reports);
    };
    KIV_BootNetParam noDcf = Listed(2, KIV_BOOT_CONFIGURE);
    EXPECT_EQ(run({Listed(1, 0), Listed(1, 0)}, 2), KIV_ERR_PARAM);  // twice
    EXPECT_EQ(run({Listed(0, 0)}, 1), KIV_ERR_PARAM);
    EXPECT_EQ(run({Listed(128, 0)}, 1), KIV_ERR_PARAM);
    EXPECT_EQ(run({Listed(1, 0), noDcf}, 2), KIV_ERR_PARAM);
    EXPECT_EQ(run({Listed(1, 0)}, 0), KIV_ERR_PARAM);
    const KIV_BootNetParam one = Listed(1, 0);
    EXPECT_EQ(KIV_BootNetwork(net.h, nullptr, 1, 0, reports), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_BootNetwork(net.h, &one, 1, 0, nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_BootNetwork(nullptr, &one, 1, 0, reports), KIV_ERR_PARAM);
    std::size_t fromHost = 0;
    for (const TraceEntry& e : net.bus.Trace()) fromHost += e.sender == "host" ? 1 : 0;
    EXPECT_EQ(fromHost, 0u);
}

}  // namespace

namespace {

// KIV_Cancel ends a boot waiting for a mandatory node (no letter) and a
// network boot (nothing started) long before their boot time.
TEST(BootNetwork, CancelEndsBootsEarly) {
    Net net;
    KIV_BootNetParam missing = Listed(5, KIV_BOOT_MANDATORY);
    missing.param.bootTimeMs = 10000;
    KIV_BootReport r{};
    std::thread canceller([&] {
        std::this_thread::sleep_for(300ms);
        KIV_Cancel(net.h, 5);
    });
    auto t0 = Clock::now();
    EXPECT_EQ(KIV_BootNode(net.h, 5, &missing.param, &r), KIV_ERR_CANCELLED);
    canceller.join();
    EXPECT_LT(Clock::now() - t0, 3s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.result, KIV_ERR_CANCELLED);

    std::vector<KIV_BootNetParam> list = {Listed(1, KIV_BOOT_START), missing};
    std::vector<KIV_BootReport> reports(list.size());
    std::thread all([&] {
        std::this_thread::sleep_for(300ms);
        KIV_Cancel(net.h, 0);
    });
    t0 = Clock::now();
    EXPECT_EQ(KIV_BootNetwork(net.h, list.data(), 2, KIV_BOOTNET_START_ALL, reports.data()),
              KIV_ERR_CANCELLED);
    all.join();
    EXPECT_LT(Clock::now() - t0, 3s);
    EXPECT_EQ(reports[1].result, KIV_ERR_CANCELLED);
    EXPECT_EQ(net.Node(1).NmtState(), KIV_NMT_STATE_PRE_OPERATIONAL);
}

}  // namespace
