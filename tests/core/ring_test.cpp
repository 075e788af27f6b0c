// The request ring and the dispatcher: 31 waiting requests at most, served
// in arrival order; concurrent callers each served exactly once; unknown
// request types refused; no SDO channel left for a 17th transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <set>
#include <thread>

#include "core_support.h"
#include "fake_bus.h"
#include "frames.h"

using namespace std::chrono_literals;
using orukiv::coretest::Async;
using orukiv::coretest::Instance;
using orukiv::coretest::ReturnsWithin;
using orukiv::coretest::SendGate;
using orukiv::coretest::Waiting;
using orukiv::coretest::WaitUntil;
using orukiv::test::FakeBus;
using orukiv::test::Frame;

namespace {

std::vector<uint32_t> IdsOf(const std::vector<KIV_CanFrame>& frames) {
    std::vector<uint32_t> ids;
    for (const auto& f : frames) ids.push_back(f.id);
    return ids;
}

}  // namespace

// The worker is held inside canSend by a first request; 31 more callers
// fill the ring and wait; the 32nd is refused at once without a frame. Once
// the worker goes on, the 31 are sent in the order in which they queued.
TEST(RequestRing, FullRingRefusesTheNextCallAndServesTheRestInArrivalOrder) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();

    std::future<int32_t> held, refused;
    std::vector<std::future<int32_t>> queued;
    SendGate<FakeBus> gate(bus);
    held = Async([h] { return KIV_SendRemotePDO(h, 0x200); });
    ASSERT_TRUE(WaitUntil([&] { return bus.BlockedSenders() == 1; }));
    for (uint32_t i = 1; i <= 31; ++i) {
        queued.push_back(Async([h, i] { return KIV_SendRemotePDO(h, 0x200 + i); }));
        ASSERT_TRUE(WaitUntil([&] { return Waiting(h) == static_cast<int>(i); }));
    }
    for (auto& f : queued) EXPECT_FALSE(ReturnsWithin(f, 0ms)) << "queued calls must wait";

    refused = Async([h] { return KIV_SendRemotePDO(h, 0x2FF); });
    ASSERT_TRUE(ReturnsWithin(refused, 2s)) << "a call finding the ring full must not wait";
    EXPECT_EQ(refused.get(), KIV_ERR_NO_RESOURCE);
    EXPECT_EQ(Waiting(h), 31);

    gate.Open();
    ASSERT_TRUE(ReturnsWithin(held, 10s));
    EXPECT_EQ(held.get(), KIV_OK);
    for (auto& f : queued) {
        ASSERT_TRUE(ReturnsWithin(f, 10s));
        EXPECT_EQ(f.get(), KIV_OK);
    }
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i <= 31; ++i) expected.push_back(0x200 + i);
    EXPECT_EQ(IdsOf(bus.SentFrames()), expected);

    // The refusal left no trace: the ring takes requests again.
    EXPECT_EQ(KIV_SendSYNC(h), KIV_OK);
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
}

// Many threads at once: every call returns 0 and every frame goes out
// exactly once, each thread's frames in its own call order.
TEST(RequestRing, ConcurrentCallersAreEachServedExactlyOnce) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();

    constexpr uint32_t kThreads = 12;
    constexpr uint32_t kCalls = 25;
    std::vector<std::future<int32_t>> workers;
    for (uint32_t t = 0; t < kThreads; ++t) {
        workers.push_back(Async([h, t] {
            int32_t failures = 0;
            for (uint32_t k = 0; k < kCalls; ++k) {
                const uint8_t data[2] = {static_cast<uint8_t>(t), static_cast<uint8_t>(k)};
                if (KIV_SendPDO(h, 0x10000 * (t + 1) + k, data, 2) != KIV_OK) ++failures;
            }
            return failures;
        }));
    }
    for (auto& w : workers) {
        ASSERT_TRUE(ReturnsWithin(w, 60s));
        EXPECT_EQ(w.get(), 0) << "calls failed";
    }
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);

    const auto sent = bus.SentFrames();
    ASSERT_EQ(sent.size(), kThreads * kCalls);
    std::map<uint32_t, std::vector<uint32_t>> perThread;
    std::set<uint32_t> seen;
    for (const auto& f : sent) {
        EXPECT_TRUE(seen.insert(f.id).second) << "frame sent twice: " << f;
        const uint32_t t = f.id / 0x10000 - 1;
        const uint32_t k = f.id % 0x10000;
        EXPECT_EQ(f, Frame(f.id, {static_cast<uint8_t>(t), static_cast<uint8_t>(k)}));
        perThread[t].push_back(k);
    }
    ASSERT_EQ(perThread.size(), kThreads);
    for (const auto& [t, ks] : perThread) {
        EXPECT_EQ(ks.size(), kCalls);
        EXPECT_TRUE(std::is_sorted(ks.begin(), ks.end())) << "thread " << t << " out of order";
    }
}

// ---- Dispatcher, driven directly on an instance without worker -------------

namespace {

struct SendCounter {
    std::vector<KIV_CanFrame> sent;
    static int32_t Send(const KIV_CanFrame* f, void* user) {
        static_cast<SendCounter*>(user)->sent.push_back(*f);
        return 0;
    }
    static int32_t Recv(KIV_CanFrame*, uint32_t, void*) { return 0; }
};

struct WorkerlessStack {
    SendCounter host;
    CoStack* stack = nullptr;
    uint32_t now = 1000;

    WorkerlessStack() {
        KIV_InitParam p;
        std::memset(&p, 0, sizeof p);
        p.canRecv = &SendCounter::Recv;
        p.canSend = &SendCounter::Send;
        p.userData = &host;
        stack = orukiv::NewStack(&p);
        stack->mutex = orukiv::platform::MutexCreate();
        stack->tick = [](void* ctx) { return *static_cast<uint32_t*>(ctx); };
        stack->tickContext = &now;
    }
    ~WorkerlessStack() { orukiv::FreeStack(stack); }
    WorkerlessStack(const WorkerlessStack&) = delete;
    WorkerlessStack& operator=(const WorkerlessStack&) = delete;
};

CoRequest Request(int32_t type) {
    CoRequest r;
    std::memset(&r, 0, sizeof r);
    r.type = type;
    r.result = 99;  // the dispatcher must overwrite it
    return r;
}

}  // namespace

TEST(Dispatch, RequestTypesWithoutARouteAreRefusedWithParamError) {
    for (int32_t type : {INT32_MIN, -1, 0, 1, 3, 14, 15, 255, INT32_MAX}) {
        SCOPED_TRACE(type);
        WorkerlessStack w;
        CoRequest r = Request(type);
        EXPECT_FALSE(orukiv::DispatchRequest(w.stack, &r)) << "not for an SDO channel";
        EXPECT_EQ(r.result, KIV_ERR_PARAM);
        EXPECT_TRUE(w.host.sent.empty());
    }
    // A routed type next to them: the result is reset and the frame sent.
    WorkerlessStack w;
    CoRequest sync = Request(REQ_SYNC);
    EXPECT_FALSE(orukiv::DispatchRequest(w.stack, &sync));
    EXPECT_EQ(sync.result, KIV_OK);
    EXPECT_EQ(w.host.sent.size(), 1u);
}

TEST(Dispatch, SeventeenthSdoTransferOfAKindFindsNoChannelAndSendsNothing) {
    for (int32_t type : {REQ_SDO_READ, REQ_SDO_WRITE}) {
        SCOPED_TRACE(type);
        WorkerlessStack w;
        uint8_t buffers[17][4] = {};
        uint32_t counts[17] = {};
        std::vector<CoRequest> requests(17);
        for (int i = 0; i < 17; ++i) {
            CoRequest& r = requests[i];
            r = Request(type);
            r.node = 5;
            if (type == REQ_SDO_READ) {
                r.payload.sdoRead.index = static_cast<uint16_t>(0x2000 + i);
                r.payload.sdoRead.buffer = buffers[i];
                r.payload.sdoRead.capacity = 4;
                r.payload.sdoRead.received = &counts[i];
            } else {
                r.payload.sdoWrite.index = static_cast<uint16_t>(0x2000 + i);
                r.payload.sdoWrite.data = buffers[i];
                r.payload.sdoWrite.size = 4;
            }
        }
        for (int i = 0; i < 16; ++i) EXPECT_TRUE(orukiv::DispatchRequest(w.stack, &requests[i]));
        EXPECT_FALSE(orukiv::DispatchRequest(w.stack, &requests[16]));
        EXPECT_EQ(requests[16].result, KIV_ERR_NO_RESOURCE);

        // The channels' first tick sends one initiate frame per claimed
        // transfer; none carries the refused transfer's index.
        orukiv::SdoTickUploads(w.stack);
        orukiv::SdoTickDownloads(w.stack);
        ASSERT_EQ(w.host.sent.size(), 16u);
        for (const auto& f : w.host.sent) {
            EXPECT_EQ(f.id, 0x605u);
            EXPECT_NE(f.data[1] | f.data[2] << 8, 0x2010) << f;
        }
    }
}

// Through the exports, against a node that never answers: 16 reads occupy
// every upload channel, a 17th returns 3 at once and sends nothing; the
// other kind of transfer still has its own channels.
TEST(RequestRing, SeventeenthReadObjectReturnsNoResourceWithoutAFrame) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();
    ASSERT_NE(KIV_SetSDOTimeout(h, 600000), 0);

    uint8_t buffers[17][4] = {};
    uint32_t counts[17] = {};
    std::vector<std::future<int32_t>> readers;
    for (int i = 0; i < 16; ++i) {
        readers.push_back(Async([h, i, &buffers, &counts] {
            return KIV_ReadObject(h, 9, static_cast<uint16_t>(0x2000 + i), 0, buffers[i], 4,
                                  &counts[i]);
        }));
    }
    ASSERT_TRUE(bus.WaitForSent(16, 10s)) << "16 reads must have started";

    auto extra = Async([h, &buffers, &counts] {
        return KIV_ReadObject(h, 9, 0x2777, 0, buffers[16], 4, &counts[16]);
    });
    ASSERT_TRUE(ReturnsWithin(extra, 5s));
    EXPECT_EQ(extra.get(), KIV_ERR_NO_RESOURCE);
    std::this_thread::sleep_for(30ms);
    for (const auto& f : bus.SentFrames())
        EXPECT_NE(f.data[1] | f.data[2] << 8, 0x2777) << "no frame for the refused read: " << f;

    const uint8_t value[4] = {1, 2, 3, 4};
    auto writer = Async([h, &value] { return KIV_WriteObject(h, 9, 0x3000, 0, value, 4); });
    EXPECT_TRUE(WaitUntil([&] {
        for (const auto& f : bus.SentFrames())
            if (f.id == 0x609 && (f.data[1] | f.data[2] << 8) == 0x3000) return true;
        return false;
    })) << "downloads have their own channels";

    // Destroying the instance releases the blocked callers.
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
    for (auto& r : readers) {
        ASSERT_TRUE(ReturnsWithin(r, 10s));
        EXPECT_EQ(r.get(), KIV_ERR_TIMEOUT);
    }
    ASSERT_TRUE(ReturnsWithin(writer, 10s));
    EXPECT_EQ(writer.get(), KIV_ERR_TIMEOUT);
}
