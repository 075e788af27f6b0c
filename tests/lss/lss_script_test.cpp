// LSS services as byte scripts: each row calls one export against a host
// whose responder checks nothing itself but answers the n-th LSS frame the
// library sends with the row's replies; the frames sent, the result and the
// out-parameters are compared afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "fake_bus.h"
#include "frames.h"

namespace {

using namespace orukiv::test;

KIV_CanFrame Master(std::initializer_list<uint8_t> bytes) {
    return Sdo(0x7E5, bytes);
}
KIV_CanFrame Slave(std::initializer_list<uint8_t> bytes) {
    return Sdo(0x7E4, bytes);
}

struct Exchange {
    KIV_CanFrame sent;
    std::vector<KIV_CanFrame> replies;
};

struct Out {
    uint8_t byte = 0xEE;
    uint32_t ids[4] = {0xEE, 0xEE, 0xEE, 0xEE};
};

struct Row {
    const char* name;
    std::function<int32_t(KIV_Handle, Out&)> call;
    std::vector<Exchange> script;
    int32_t result;
    uint8_t byte = 0xEE;  // the out byte expected (untouched: 0xEE)
    std::vector<uint32_t> ids = {0xEE, 0xEE, 0xEE, 0xEE};
};

constexpr uint32_t kV = 0x12345678, kP = 0x9ABCDEF0, kR = 0x00010002, kS = 0xCAFEF00D;

std::vector<Row> Rows() {
    const auto id = [](uint8_t cs, uint32_t v) {
        return Slave({cs, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    };
    return {
        {"switch global to configuration",
         [](KIV_Handle h, Out&) { return KIV_LSS_SwitchGlobal(h, 1); },
         {{Master({0x04, 0x01}), {}}},
         KIV_OK},
        {"switch global mode 2 refused",
         [](KIV_Handle h, Out&) { return KIV_LSS_SwitchGlobal(h, 2); },
         {},
         KIV_ERR_PARAM},
        {"switch selective confirmed",
         [](KIV_Handle h, Out&) { return KIV_LSS_SwitchSelective(h, kV, kP, kR, kS); },
         {{Master({0x40, 0x78, 0x56, 0x34, 0x12}), {}},
          {Master({0x41, 0xF0, 0xDE, 0xBC, 0x9A}), {}},
          {Master({0x42, 0x02, 0x00, 0x01, 0x00}), {}},
          {Master({0x43, 0x0D, 0xF0, 0xFE, 0xCA}), {Slave({0x44})}}},
         KIV_OK},
        {"switch selective unanswered",
         [](KIV_Handle h, Out&) { return KIV_LSS_SwitchSelective(h, 1, 2, 3, 4); },
         {{Master({0x40, 1}), {}},
          {Master({0x41, 2}), {}},
          {Master({0x42, 3}), {}},
          {Master({0x43, 4}), {}}},
         KIV_ERR_TIMEOUT},
        {"configure node-ID",
         [](KIV_Handle h, Out& o) { return KIV_LSS_ConfigureNodeId(h, 5, &o.byte); },
         {{Master({0x11, 0x05}), {Slave({0x11, 0x00, 0x00})}}},
         KIV_OK,
         0},
        {"configure node-ID 255 (unconfigured)",
         [](KIV_Handle h, Out& o) { return KIV_LSS_ConfigureNodeId(h, 255, &o.byte); },
         {{Master({0x11, 0xFF}), {Slave({0x11, 0x00, 0x00})}}},
         KIV_OK,
         0},
        {"configure node-ID refused by the slave",
         [](KIV_Handle h, Out& o) { return KIV_LSS_ConfigureNodeId(h, 100, &o.byte); },
         {{Master({0x11, 0x64}), {Slave({0x11, 0x01, 0x00})}}},
         KIV_ERR_ABORTED,
         1},
        {"configure node-ID 0",
         [](KIV_Handle h, Out& o) { return KIV_LSS_ConfigureNodeId(h, 0, &o.byte); },
         {},
         KIV_ERR_PARAM},
        {"configure node-ID 128",
         [](KIV_Handle h, Out& o) { return KIV_LSS_ConfigureNodeId(h, 128, &o.byte); },
         {},
         KIV_ERR_PARAM},
        {"configure node-ID without error code",
         [](KIV_Handle h, Out&) { return KIV_LSS_ConfigureNodeId(h, 5, nullptr); },
         {},
         KIV_ERR_PARAM},
        {"answer with another command specifier is ignored",
         [](KIV_Handle h, Out& o) { return KIV_LSS_ConfigureNodeId(h, 5, &o.byte); },
         {{Master({0x11, 0x05}), {Slave({0x13, 0x00, 0x00}), Slave({0x17, 0x00})}}},
         KIV_ERR_TIMEOUT},
        {"configure bit timing",
         [](KIV_Handle h, Out& o) { return KIV_LSS_ConfigureBitTiming(h, 0, 4, &o.byte); },
         {{Master({0x13, 0x00, 0x04}), {Slave({0x13, 0x00, 0x00})}}},
         KIV_OK,
         0},
        {"configure bit timing not supported",
         [](KIV_Handle h, Out& o) { return KIV_LSS_ConfigureBitTiming(h, 1, 9, &o.byte); },
         {{Master({0x13, 0x01, 0x09}), {Slave({0x13, 0x01, 0x00})}}},
         KIV_ERR_ABORTED,
         1},
        {"activate bit timing",
         [](KIV_Handle h, Out&) { return KIV_LSS_ActivateBitTiming(h, 1000); },
         {{Master({0x15, 0xE8, 0x03}), {}}},
         KIV_OK},
        {"store configuration",
         [](KIV_Handle h, Out& o) { return KIV_LSS_StoreConfiguration(h, &o.byte); },
         {{Master({0x17}), {Slave({0x17, 0x00, 0x00})}}},
         KIV_OK,
         0},
        {"store configuration: storage error",
         [](KIV_Handle h, Out& o) { return KIV_LSS_StoreConfiguration(h, &o.byte); },
         {{Master({0x17}), {Slave({0x17, 0x02, 0x00})}}},
         KIV_ERR_ABORTED,
         2},
        {"inquire identity",
         [](KIV_Handle h, Out& o) { return KIV_LSS_InquireIdentity(h, o.ids); },
         {{Master({0x5A}), {id(0x5A, kV)}},
          {Master({0x5B}), {id(0x5B, kP)}},
          {Master({0x5C}), {id(0x5C, kR)}},
          {Master({0x5D}), {id(0x5D, kS)}}},
         KIV_OK,
         0xEE,
         {kV, kP, kR, kS}},
        {"inquire identity: the product unanswered, nothing written",
         [](KIV_Handle h, Out& o) { return KIV_LSS_InquireIdentity(h, o.ids); },
         {{Master({0x5A}), {id(0x5A, kV)}}, {Master({0x5B}), {}}},
         KIV_ERR_TIMEOUT},
        {"inquire node-ID",
         [](KIV_Handle h, Out& o) { return KIV_LSS_InquireNodeId(h, &o.byte); },
         {{Master({0x5E}), {Slave({0x5E, 0x07})}}},
         KIV_OK,
         7},
        {"identify non-configured: one answers",
         [](KIV_Handle h, Out&) { return KIV_LSS_IdentifyNonConfigured(h, 0); },
         {{Master({0x4C}), {Slave({0x50})}}},
         KIV_OK},
        {"identify non-configured: none",
         [](KIV_Handle h, Out&) { return KIV_LSS_IdentifyNonConfigured(h, 30); },
         {{Master({0x4C}), {}}},
         KIV_ERR_TIMEOUT},
        {"fastscan: no unconfigured slave",
         [](KIV_Handle h, Out& o) { return KIV_LSS_Fastscan(h, 0, o.ids); },
         {{Master({0x51, 0, 0, 0, 0, 0x80, 0, 0}), {}}},
         KIV_ERR_TIMEOUT},
        {"fastscan without room for the identity",
         [](KIV_Handle h, Out&) { return KIV_LSS_Fastscan(h, 0, nullptr); },
         {},
         KIV_ERR_PARAM},
    };
}

TEST(LssScripts, EachService) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        FakeBus bus;
        std::mutex m;
        std::size_t next = 0;
        bus.SetResponder([&](const KIV_CanFrame& f) {
            if (f.id != 0x7E5) return;
            std::lock_guard<std::mutex> g(m);
            if (next < row.script.size()) bus.Inject(row.script[next].replies);
            ++next;
        });
        const KIV_InitParam p = bus.Param(false);
        KIV_Handle h = KIV_Init(&p);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(KIV_LSS_SetTimeout(h, 50), KIV_OK);
        Out out;
        EXPECT_EQ(row.call(h, out), row.result);
        KIV_Destroy(h);

        std::vector<KIV_CanFrame> want;
        for (const Exchange& e : row.script) want.push_back(e.sent);
        EXPECT_EQ(bus.SentFrames(), want);
        EXPECT_EQ(out.byte, row.byte);
        EXPECT_EQ(std::vector<uint32_t>(out.ids, out.ids + 4), row.ids);
    }
}

// A part no slave confirms was misread: it is scanned once more, each query
// waiting twice as long and the whole wait.
TEST(LssScripts, FastscanScansAnUnconfirmedPartAgain) {
    FakeBus bus;
    std::mutex m;
    int confirmations = 0;
    // A slave whose identity is all zero: it answers every query, but the
    // first confirmation of the vendor part is lost.
    bus.SetResponder([&](const KIV_CanFrame& f) {
        if (f.id != 0x7E5 || f.data[0] != 0x51) return;
        std::lock_guard<std::mutex> g(m);
        const bool confirmation = f.data[5] == 0 && f.data[7] != f.data[6];
        if (confirmation && f.data[6] == 0 && confirmations++ == 0) return;
        bus.Inject(Slave({0x4F}));
    });
    const KIV_InitParam p = bus.Param(false);
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    uint32_t found[4] = {1, 1, 1, 1};
    const auto t0 = Clock::now();
    ASSERT_EQ(KIV_LSS_Fastscan(h, 4, found), KIV_OK);
    const auto took = Clock::now() - t0;
    KIV_Destroy(h);
    EXPECT_EQ(std::vector<uint32_t>(found, found + 4), std::vector<uint32_t>(4, 0u));
    // Reset, the vendor part twice (32 bits and its confirmation), the
    // other three parts once.
    const std::vector<KIV_CanFrame> sent = bus.SentFrames();
    ASSERT_EQ(sent.size(), 1u + 2 * 33 + 3 * 33);
    for (int k = 0; k < 33; ++k) EXPECT_EQ(sent[1 + k], sent[34 + k]) << k;
    // The second scan waited 8 ms at each of its 33 steps.
    EXPECT_GE(took, std::chrono::milliseconds(33 * 8));
}

}  // namespace
