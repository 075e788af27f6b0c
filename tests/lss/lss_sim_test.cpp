// LSS end to end: the library's master against the simulated slaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <thread>
#include <vector>

#include "orukiv_sim/sim.h"

namespace {

using namespace orukiv::sim;
using namespace std::chrono_literals;
using Ident = std::array<uint32_t, 4>;

// Identities with many '1' bits; the pairs differ in one low bit only, so
// that two or three slaves answer together down to the last bits.
const Ident kA = {0xFFFFFFFF, 0xFFFFFFFE, 0x7FFFFFFF, 0xFFFFFFFF};
const Ident kB = {0xFFFFFFFF, 0xFFFFFFFE, 0x7FFFFFFF, 0xFFFFFFFE};
const Ident kC = {0xFFFFFFFF, 0xFFFFFFFF, 0x00000001, 0xEFFFFFFF};
// Per-step wait: the simulated slaves answer inside the send, so a short
// one is safe here and keeps the scans quick.
constexpr uint32_t kStepMs = 3;

class Net {
public:
    explicit Net(const std::vector<Ident>& ids) {
        for (const Ident& id : ids) {
            auto n = std::make_unique<SimNode>(bus, 255);
            n->AddDeviceObjects({0x191, "", id[0], id[1], id[2], id[3]});
            nodes.push_back(std::move(n));
        }
        const KIV_InitParam p = host.Param();
        h = KIV_Init(&p);
        KIV_SetWorkerTiming(h, 200, KIV_TIMING_WAKE_ON_REQUEST);
    }
    ~Net() { KIV_Destroy(h); }

    SimNode* ById(uint8_t id) {
        for (auto& n : nodes)
            if (n->NodeId() == id) return n.get();
        return nullptr;
    }

    VirtualBus bus;
    HostEndpoint host{bus};
    std::vector<std::unique_ptr<SimNode>> nodes;
    KIV_Handle h = nullptr;
};

TEST(LssSim, FastscanNumbersEveryUnconfiguredSlave) {
    const std::vector<std::vector<Ident>> cases = {{kA}, {kB, kA}, {kC, kA, kB}};
    for (const auto& ids : cases) {
        SCOPED_TRACE(ids.size());
        Net net(ids);
        ASSERT_NE(net.h, nullptr);
        ASSERT_EQ(KIV_LSS_IdentifyNonConfigured(net.h, 100), KIV_OK);
        std::vector<Ident> found;
        for (uint8_t next = 1; next <= 4; ++next) {
            Ident f{};
            const int32_t rc = KIV_LSS_Fastscan(net.h, kStepMs, f.data());
            if (rc == KIV_ERR_TIMEOUT) break;
            ASSERT_EQ(rc, KIV_OK);
            found.push_back(f);
            uint8_t error = 0xEE;
            uint8_t inquired = 0;
            ASSERT_EQ(KIV_LSS_InquireNodeId(net.h, &inquired), KIV_OK);
            EXPECT_EQ(inquired, 255);
            ASSERT_EQ(KIV_LSS_ConfigureNodeId(net.h, next, &error), KIV_OK);
            EXPECT_EQ(error, 0);
            ASSERT_EQ(KIV_LSS_SwitchGlobal(net.h, 0), KIV_OK);
            SimNode* n = net.ById(next);
            ASSERT_NE(n, nullptr) << "numbered " << int{next};
            EXPECT_EQ(n->ValueU32(0x1018, 4), f[3]);
        }
        // The lowest identity first, each once.
        std::vector<Ident> want = ids;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(found, want);
        EXPECT_EQ(KIV_LSS_IdentifyNonConfigured(net.h, 30), KIV_ERR_TIMEOUT);
    }
}

TEST(LssSim, StoredSettingsSurviveAPowerCycle) {
    Net net({kA, kB});
    SimNode& a = *net.nodes[0];
    SimNode& b = *net.nodes[1];
    uint8_t error = 0xEE;
    // a: node-ID 9 and 125 kbit/s, stored; b: node-ID 10, not stored.
    ASSERT_EQ(KIV_LSS_SwitchSelective(net.h, kA[0], kA[1], kA[2], kA[3]), KIV_OK);
    ASSERT_EQ(KIV_LSS_ConfigureNodeId(net.h, 9, &error), KIV_OK);
    ASSERT_EQ(KIV_LSS_ConfigureBitTiming(net.h, 0, 4, &error), KIV_OK);
    EXPECT_EQ(KIV_LSS_ConfigureBitTiming(net.h, 0, 5, &error), KIV_ERR_ABORTED);
    EXPECT_EQ(error, 1);
    ASSERT_EQ(KIV_LSS_ActivateBitTiming(net.h, 0), KIV_OK);
    ASSERT_EQ(KIV_LSS_StoreConfiguration(net.h, &error), KIV_OK);
    uint32_t inquired[4] = {};
    ASSERT_EQ(KIV_LSS_InquireIdentity(net.h, inquired), KIV_OK);
    EXPECT_EQ(Ident(std::to_array(inquired)), kA);
    ASSERT_EQ(KIV_LSS_SwitchGlobal(net.h, 0), KIV_OK);
    ASSERT_EQ(KIV_LSS_SwitchSelective(net.h, kB[0], kB[1], kB[2], kB[3]), KIV_OK);
    ASSERT_EQ(KIV_LSS_ConfigureNodeId(net.h, 10, &error), KIV_OK);
    b.SetLssStoreSupported(false);
    EXPECT_EQ(KIV_LSS_StoreConfiguration(net.h, &error), KIV_ERR_ABORTED);
    EXPECT_EQ(error, 1);
    ASSERT_EQ(KIV_LSS_SwitchGlobal(net.h, 0), KIV_OK);
    EXPECT_EQ(a.NodeId(), 9);
    EXPECT_EQ(b.NodeId(), 10);
    EXPECT_EQ(a.BitTimingIndex(), 4);

    a.PowerCycle();
    b.PowerCycle();
    EXPECT_EQ(a.NodeId(), 9);
    EXPECT_EQ(a.BitTimingIndex(), 4);
    EXPECT_EQ(b.NodeId(), 255);
    EXPECT_EQ(b.BitTimingIndex(), 0);
    // A wrong identity selects nobody.
    EXPECT_EQ(KIV_LSS_SetTimeout(net.h, 50), KIV_OK);
    EXPECT_EQ(KIV_LSS_SwitchSelective(net.h, kA[0], kA[1], kA[2], 0x1234), KIV_ERR_TIMEOUT);
}

TEST(LssSim, ConfiguredNodeTakesItsNewIdAtResetCommunication) {
    VirtualBus bus;
    HostEndpoint host(bus);
    SimNode node(bus, 20);
    node.AddDeviceObjects({0x191, "", 1, 2, 3, 4});
    node.SetBootUpDelay(60ms);
    const KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    uint8_t error = 0;
    ASSERT_EQ(KIV_LSS_SwitchGlobal(h, 1), KIV_OK);
    ASSERT_EQ(KIV_LSS_ConfigureNodeId(h, 21, &error), KIV_OK);
    ASSERT_EQ(KIV_LSS_SwitchGlobal(h, 0), KIV_OK);
    EXPECT_EQ(node.NodeId(), 20);
    host.Clear();
    const auto sent = Clock::now();
    ASSERT_EQ(KIV_NMT_SendCommand(h, 20, KIV_NMT_CMD_RESET_COMM), KIV_OK);
    KIV_Destroy(h);
    const auto bootUp = host.WaitReceive(5s);
    ASSERT_TRUE(bootUp.has_value());
    EXPECT_GE(Clock::now() - sent, 60ms);
    EXPECT_EQ(bootUp->id, 0x700u + 21);
    EXPECT_EQ(node.NodeId(), 21);
}

TEST(LssSim, OneServiceAtATime) {
    Net net({kA});
    net.bus.SetTrace(true);
    uint32_t f[4] = {};
    int32_t scan = -1;
    std::thread scanner([&] { scan = KIV_LSS_Fastscan(net.h, kStepMs, f); });
    std::this_thread::sleep_for(20ms);               // the scan is under way
    (void)KIV_LSS_IdentifyNonConfigured(net.h, 30);  // waits for the scan to end
    scanner.join();
    EXPECT_EQ(scan, KIV_OK);
    std::vector<uint8_t> order;  // command specifiers sent, in order
    for (const TraceEntry& e : net.bus.Trace())
        if (e.frame.id == 0x7E5) order.push_back(e.frame.data[0]);
    ASSERT_FALSE(order.empty());
    const auto identify = std::find(order.begin(), order.end(), 0x4C);
    const auto lastScan = std::find(order.rbegin(), order.rend(), 0x51);
    ASSERT_NE(identify, order.end());
    EXPECT_GT(identify - order.begin(), order.rend() - lastScan - 1);
}

}  // namespace
