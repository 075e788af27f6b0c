// KIV_BootNode against simulated nodes: each CiA 302-2 status letter from
// the step that fails, an absent node, a refused configuration, and 16 nodes
// booted at once from 16 threads.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "orukiv/orukiv_od.h"
#include "orukiv_sim/sim.h"

namespace {

using namespace orukiv::sim;
using namespace std::chrono_literals;

constexpr uint8_t kNode = 7;
constexpr uint32_t kType = 0x00020192, kVendor = 0x1A2B, kProduct = 0x77, kRev = 0x10002,
                   kSerial = 0xFFEE0001;

struct Entry {
    uint16_t index;
    uint8_t sub;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> Concise(const std::vector<Entry>& entries) {
    std::vector<uint8_t> out;
    const auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(static_cast<uint32_t>(entries.size()), 4);
    for (const Entry& e : entries) {
        put(e.index, 2);
        put(e.sub, 1);
        put(static_cast<uint32_t>(e.data.size()), 4);
        out.insert(out.end(), e.data.begin(), e.data.end());
    }
    return out;
}

// A node of the test network, as CiA 302-2 devices are: device objects,
// heartbeat producer 0x1017, and application objects 0x2000..0x201F (u32 rw)
// and 0x2100 (read only).
void Populate(SimNode& n, uint8_t id) {
    n.AddDeviceObjects({kType, "", kVendor, kProduct, kRev, kSerial + id});
    n.AddCommunicationObjects();
    for (uint16_t i = 0; i < 32; ++i) n.AddU32(static_cast<uint16_t>(0x2000 + i), 0, 0);
    n.AddU32(0x2100, 0, 5, Access::kRO);
}

class Net {
public:
    explicit Net(int count, uint8_t first = kNode) {
        for (int i = 0; i < count; ++i) {
            const auto id = static_cast<uint8_t>(first + i);
            nodes.push_back(std::make_unique<SimNode>(bus, id));
            Populate(*nodes.back(), id);
            ticker.Add(*nodes.back());
        }
        host.SetEventHandler([this](const KIV_Event& e) {
            if (e.type != KIV_EVENT_BOOT) return;
            std::lock_guard<std::mutex> g(m);
            bootEvents.push_back(e);
        });
        const KIV_InitParam p = host.Param(true);
        h = KIV_Init(&p);
        KIV_SetSDOTimeout(h, 200);
        ticker.Start();
    }
    ~Net() {
        KIV_Destroy(h);
        ticker.Stop();
    }

    VirtualBus bus;
    HostEndpoint host{bus};
    std::vector<std::unique_ptr<SimNode>> nodes;
    SimTicker ticker{5ms};
    KIV_Handle h = nullptr;
    std::mutex m;
    std::vector<KIV_Event> bootEvents;
};

KIV_BootParam Expecting() {
    KIV_BootParam p;
    std::memset(&p, 0, sizeof p);
    p.deviceType = kType;
    p.vendorId = kVendor;
    p.productCode = kProduct;
    p.revision = kRev;
    p.serial = kSerial + kNode;
    p.bootTimeMs = 1000;
    return p;
}

const std::vector<uint8_t> kGoodDcf =
    Concise({{0x1017, 0, {50, 0}}, {0x2000, 0, {1, 2, 3, 4}}, {0x2001, 0, {5, 6, 7, 8}}});
const std::vector<uint8_t> kRefusedDcf =
    Concise({{0x2000, 0, {1, 2, 3, 4}}, {0x2100, 0, {9, 9, 9, 9}}, {0x2001, 0, {5, 6, 7, 8}}});

struct Row {
    const char* name;
    std::function<void(KIV_BootParam&, Net&)> setUp;
    uint8_t status;
    uint8_t step;
    int32_t result;
    uint16_t index = 0;
    uint8_t subIndex = 0;
    uint32_t abortCode = 0;
    uint8_t nmtState = KIV_NMT_STATE_UNKNOWN;
};

std::vector<Row> Rows() {
    return {
        {"booted: checked, reset, configured, supervised, started",
         [](KIV_BootParam& p, Net&) {
             p.flags = KIV_BOOT_RESET_COMM | KIV_BOOT_CONFIGURE | KIV_BOOT_START;
             p.conciseDcf = kGoodDcf.data();
             p.conciseDcfSize = static_cast<uint32_t>(kGoodDcf.size());
             p.heartbeatMs = 500;
         },
         0, KIV_BOOT_STEP_DONE, KIV_OK, 0, 0, 0, KIV_NMT_STATE_OPERATIONAL},
        {"device type differs", [](KIV_BootParam& p, Net&) { p.deviceType = kType + 1; }, 'C',
         KIV_BOOT_STEP_DEVICE_TYPE, KIV_ERR_MISMATCH, 0x1000, 0},
        {"vendor differs", [](KIV_BootParam& p, Net&) { p.vendorId = 1; }, 'D',
         KIV_BOOT_STEP_IDENTITY, KIV_ERR_MISMATCH, 0x1018, 1},
        {"product differs", [](KIV_BootParam& p, Net&) { p.productCode = 1; }, 'M',
         KIV_BOOT_STEP_IDENTITY, KIV_ERR_MISMATCH, 0x1018, 2},
        {"revision differs", [](KIV_BootParam& p, Net&) { p.revision = 1; }, 'N',
         KIV_BOOT_STEP_IDENTITY, KIV_ERR_MISMATCH, 0x1018, 3},
        {"serial differs", [](KIV_BootParam& p, Net&) { p.serial = 1; }, 'O',
         KIV_BOOT_STEP_IDENTITY, KIV_ERR_MISMATCH, 0x1018, 4},
        {"serial not in the dictionary",
         [](KIV_BootParam&, Net& n) { n.nodes[0]->RemoveObject(0x1018, 4); }, 'O',
         KIV_BOOT_STEP_IDENTITY, KIV_ERR_ABORTED, 0x1018, 4, 0x06090011},
        {"node that never answers",
         [](KIV_BootParam&, Net& n) {
             SdoFaults silent;
             silent.dropShare = 1.0;
             n.nodes[0]->SetFaults(silent);
         },
         'B', KIV_BOOT_STEP_DEVICE_TYPE, KIV_ERR_TIMEOUT, 0x1000, 0},
        {"configuration refused mid-way",
         [](KIV_BootParam& p, Net&) {
             p.flags = KIV_BOOT_CONFIGURE | KIV_BOOT_START;
             p.conciseDcf = kRefusedDcf.data();
             p.conciseDcfSize = static_cast<uint32_t>(kRefusedDcf.size());
         },
         'J', KIV_BOOT_STEP_CONFIGURE, KIV_ERR_ABORTED, 0x2100, 0, 0x06010002},
        {"no boot-up after reset communication",
         [](KIV_BootParam& p, Net& n) {
             p.flags = KIV_BOOT_RESET_COMM;
             p.bootTimeMs = 100;
             n.nodes[0]->SetBootUpDelay(1000ms);
         },
         'B', KIV_BOOT_STEP_RESET, KIV_ERR_TIMEOUT},
        {"no heartbeat", [](KIV_BootParam& p, Net&) { p.heartbeatMs = 100; }, 'E',
         KIV_BOOT_STEP_SUPERVISE, KIV_ERR_TIMEOUT},
        {"guarded and started",
         [](KIV_BootParam& p, Net&) {
             p.flags = KIV_BOOT_START;
             p.guardTimeMs = 50;
         },
         0, KIV_BOOT_STEP_DONE, KIV_OK, 0, 0, 0, KIV_NMT_STATE_OPERATIONAL},
        {"already operational, kept running",
         [](KIV_BootParam& p, Net& n) {
             ASSERT_EQ(KIV_NMT_SendCommand(n.h, kNode, KIV_NMT_CMD_START), KIV_OK);
             ASSERT_EQ(KIV_GuardNode(n.h, kNode, 20, 3), KIV_OK);
             KIV_NodeStatus s{};
             for (int i = 0; i < 500 && s.alive == 0; ++i) {
                 std::this_thread::sleep_for(2ms);
                 KIV_GetNodeState(n.h, kNode, &s);
             }
             p.flags = KIV_BOOT_KEEP_OPERATIONAL | KIV_BOOT_RESET_COMM | KIV_BOOT_START;
         },
         'L', KIV_BOOT_STEP_DONE, KIV_OK, 0, 0, 0, KIV_NMT_STATE_OPERATIONAL},
    };
}

TEST(BootNode, EachStepAndItsLetter) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        Net net(1);
        KIV_BootParam p = Expecting();
        row.setUp(p, net);
        KIV_BootReport r;
        std::memset(&r, 0xEE, sizeof r);
        const int32_t rc = KIV_BootNode(net.h, kNode, &p, &r);
        EXPECT_EQ(rc, row.result);
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.step, row.step);
        EXPECT_EQ(r.index, row.index);
        EXPECT_EQ(r.subIndex, row.subIndex);
        EXPECT_EQ(r.abortCode, row.abortCode);
        EXPECT_EQ(r.nmtState, row.nmtState);
        EXPECT_EQ(r.reserved, 0);
        EXPECT_EQ(r.reserved2, 0u);
        if (row.status >= 'C' && row.status != 'J' && row.abortCode == 0 && row.step <= 2) {
            EXPECT_NE(r.expected, r.actual);
        }
        {
            std::lock_guard<std::mutex> g(net.m);
            ASSERT_EQ(net.bootEvents.size(), 1u);
            const KIV_Event& e = net.bootEvents[0];
            EXPECT_EQ(e.node, kNode);
            EXPECT_EQ(e.body.boot.status, row.status);
            EXPECT_EQ(e.body.boot.nmtState, row.nmtState);
            EXPECT_EQ(e.body.boot.result, row.result);
            EXPECT_EQ(e.body.boot.abortCode, row.abortCode);
        }
        // Started only when every step passed.
        if (row.result == KIV_OK) {
            EXPECT_TRUE(net.nodes[0]->WaitForNmtState(KIV_NMT_STATE_OPERATIONAL, 2s));
        } else {
            EXPECT_NE(net.nodes[0]->NmtState(), KIV_NMT_STATE_OPERATIONAL);
        }
    }
}

TEST(BootNode, MandatoryNodeIsWaitedFor) {
    Net net(1);
    SdoFaults silent;
    silent.dropShare = 1.0;
    net.nodes[0]->SetFaults(silent);
    std::thread wakes([&] {
        std::this_thread::sleep_for(400ms);
        net.nodes[0]->SetFaults(SdoFaults{});
    });
    KIV_BootParam p = Expecting();
    p.flags = KIV_BOOT_MANDATORY;
    p.bootTimeMs = 5000;
    KIV_BootReport r;
    EXPECT_EQ(KIV_BootNode(net.h, kNode, &p, &r), KIV_OK);
    wakes.join();
    EXPECT_GE(r.elapsedMs, 400u);
    // Not mandatory: asked once.
    net.nodes[0]->SetFaults(silent);
    p.flags = 0;
    EXPECT_EQ(KIV_BootNode(net.h, kNode, &p, &r), KIV_ERR_TIMEOUT);
    EXPECT_LT(r.elapsedMs, 2000u);
}

// The configuration from a DCF (a KIV_Od): written, or refused at the
// entry the node does not take.
TEST(BootNode, ConfigurationFromADcf) {
    const std::string entry =
        "ParameterName=x\nObjectType=0x7\nDataType=0x0007\nAccessType=rw\nPDOMapping=0\n";
    const std::string good =
        "[1017]\nParameterName=x\nObjectType=0x7\nDataType=0x0006\nAccessType=rw\n"
        "ParameterValue=100\n[2005]\n" +
        entry + "ParameterValue=0x11223344\n";
    const std::string refused = good + "[2100]\n" + entry + "ParameterValue=1\n";
    for (const std::string* text : {&good, &refused}) {
        Net net(1);
        KIV_OdError error{};
        KIV_Od* dcf =
            KIV_OdLoadText(text->data(), static_cast<uint32_t>(text->size()), kNode, &error);
        ASSERT_NE(dcf, nullptr) << error.message;
        KIV_BootParam p = Expecting();
        p.flags = KIV_BOOT_CONFIGURE;
        p.dcf = dcf;
        KIV_BootReport r;
        const int32_t rc = KIV_BootNode(net.h, kNode, &p, &r);
        KIV_OdFree(dcf);
        EXPECT_EQ(net.nodes[0]->ValueU32(0x2005, 0), 0x11223344u);
        if (text == &good) {
            EXPECT_EQ(rc, KIV_OK);
            EXPECT_EQ(net.nodes[0]->ValueU32(0x1017, 0), 100u);
        } else {
            EXPECT_EQ(rc, KIV_ERR_ABORTED);
            EXPECT_EQ(r.status, 'J');
            EXPECT_EQ(r.index, 0x2100);
            EXPECT_EQ(r.abortCode, 0x06010002u);
        }
    }
}

TEST(BootNode, SixteenNodesFromSixteenThreads) {
    constexpr int kCount = 16;
    Net net(kCount, 1);
    std::vector<uint8_t> dcf;
    {
        std::vector<Entry> entries;
        for (uint16_t i = 0; i < 20; ++i)
            entries.push_back({static_cast<uint16_t>(0x2000 + i), 0, {uint8_t(i), 0, 0, 1}});
        dcf = Concise(entries);
    }
    std::vector<KIV_BootReport> reports(kCount);
    std::vector<int32_t> results(kCount, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCount; ++i) {
        threads.emplace_back([&, i] {
            const auto node = static_cast<uint8_t>(1 + i);
            KIV_BootParam p = Expecting();
            p.serial = kSerial + node;
            p.flags = KIV_BOOT_RESET_COMM | KIV_BOOT_CONFIGURE | KIV_BOOT_START;
            p.conciseDcf = dcf.data();
            p.conciseDcfSize = static_cast<uint32_t>(dcf.size());
            results[i] = KIV_BootNode(net.h, node, &p, &reports[i]);
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(results[i], KIV_OK);
        EXPECT_EQ(reports[i].status, 0);
        EXPECT_EQ(net.nodes[i]->NmtState(), KIV_NMT_STATE_OPERATIONAL);
        EXPECT_EQ(net.nodes[i]->ValueU32(0x2013, 0), 0x01000013u);
    }
    std::lock_guard<std::mutex> g(net.m);
    EXPECT_EQ(net.bootEvents.size(), static_cast<std::size_t>(kCount));
}

}  // namespace
