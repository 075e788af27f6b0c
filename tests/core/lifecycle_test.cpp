// Instance lifecycle and the worker's polling: refusals at init, the poll
// cadence, CAN FD frames dropped, receive counts taken as answered (and
// sanitised when out of range), and what KIV_Destroy does to a worker that
// is stuck in a callback and to callers still waiting.
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "core_support.h"
#include "fake_bus.h"
#include "frames.h"

using namespace std::chrono_literals;
using orukiv::coretest::Async;
using orukiv::coretest::Instance;
using orukiv::coretest::LogCapture;
using orukiv::coretest::NumberedFrames;
using orukiv::coretest::PollStep;
using orukiv::coretest::ReturnsWithin;
using orukiv::coretest::ScriptHost;
using orukiv::coretest::SendGate;
using orukiv::coretest::Waiting;
using orukiv::coretest::WaitUntil;
using orukiv::test::FakeBus;
using orukiv::test::Frame;
using orukiv::test::Sdo;

namespace {

std::vector<uint32_t> IdsOf(const std::vector<KIV_Event>& events) {
    std::vector<uint32_t> ids;
    for (const auto& e : events) ids.push_back(e.body.frame.cobId);
    return ids;
}

std::vector<uint32_t> IdsOf(const std::vector<KIV_CanFrame>& frames) {
    std::vector<uint32_t> ids;
    for (const auto& f : frames) ids.push_back(f.id);
    return ids;
}

// Waits until the worker has finished at least `passes` more passes.
void LetPassesRun(const ScriptHost& host, std::size_t passes) {
    const std::size_t start = host.Polls();
    ASSERT_TRUE(WaitUntil([&] { return host.Polls() >= start + passes; }));
}

}  // namespace

TEST(Lifecycle, InitRefusesMissingMandatoryCallbacksAndStartsNoWorker) {
    FakeBus bus;
    EXPECT_EQ(KIV_Init(nullptr), nullptr);
    KIV_InitParam p = bus.Param(true, true);
    p.canRecv = nullptr;
    EXPECT_EQ(KIV_Init(&p), nullptr);
    p = bus.Param(true, true);
    p.canSend = nullptr;
    EXPECT_EQ(KIV_Init(&p), nullptr);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(bus.CanPolls().empty()) << "a refused init must start no worker";
    EXPECT_EQ(bus.FdPolls(), 0u);
}

TEST(Lifecycle, DestroyNullIsParamError) {
    EXPECT_EQ(KIV_Destroy(nullptr), KIV_ERR_PARAM);
}

TEST(Lifecycle, MandatoryCallbacksOnlyArePolledWithEightAboutEveryFiveMs) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);  // fdRecv, fdSend, onEvent null
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);

    const auto polls = bus.CanPolls();
    ASSERT_GE(polls.size(), 5u);
    for (const auto& poll : polls) EXPECT_EQ(poll.maxCount, 8u);
    const double spanMs =
        std::chrono::duration<double, std::milli>(polls.back().at - polls.front().at).count();
    const double periodMs = spanMs / static_cast<double>(polls.size() - 1);
    EXPECT_GE(periodMs, 3.0) << "the worker must sleep between passes";
    EXPECT_LE(periodMs, 50.0) << "the worker must poll about every 5 ms";
}

TEST(Lifecycle, DestroyRightAfterInitIsQuickAndEndsTheWorker) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, true);
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    const auto start = orukiv::coretest::Clock::now();
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
    EXPECT_LT(orukiv::coretest::Clock::now() - start, 500ms);
    const auto polls = bus.CanPolls().size();
    const auto fdPolls = bus.FdPolls();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(bus.CanPolls().size(), polls) << "the worker must have ended";
    EXPECT_EQ(bus.FdPolls(), fdPolls);
}

// CAN FD frames are taken from the host and dropped: a perfect answer to a
// running SDO read, arriving as CAN FD, neither completes it nor makes an
// event. The same frame as a classic frame does both.
TEST(Lifecycle, CanFdFramesArePolledAndDropped) {
    KIV_FdFrame reply;
    std::memset(&reply, 0, sizeof reply);
    reply.id = 0x585;
    reply.len = 8;
    const uint8_t bytes[8] = {0x4B, 0x00, 0x10, 0x00, 0x34, 0x12, 0x00, 0x00};
    std::memcpy(reply.data, bytes, sizeof bytes);

    ScriptHost host;
    host.SetFdAnswer(std::vector<KIV_FdFrame>(8, reply), 8);
    KIV_InitParam p = host.Param(true);
    p.fdRecv = &ScriptHost::FdRecv;
    p.fdSend = &ScriptHost::FdSend;
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();
    ASSERT_NE(KIV_SetSDOTimeout(h, 150), 0);

    uint8_t buf[2] = {0xEE, 0xEE};
    uint32_t got = 0;
    EXPECT_EQ(KIV_ReadObject(h, 5, 0x1000, 0, buf, 2, &got), KIV_ERR_TIMEOUT);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(buf[1], 0xEE);
    EXPECT_GT(host.FdPolls(), 0u);
    EXPECT_TRUE(host.Events().empty()) << "CAN FD frames must produce no event";
    for (uint32_t n : host.MaxCounts()) EXPECT_EQ(n, 8u);

    // Control: the same answer as a classic frame completes the read.
    host.SetIdle(PollStep{{Sdo(0x585, {0x4B, 0x00, 0x10, 0x00, 0x34, 0x12})}, 1});
    EXPECT_EQ(KIV_ReadObject(h, 5, 0x1000, 0, buf, 2, &got), KIV_OK);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[0], 0x34);
    EXPECT_EQ(buf[1], 0x12);
    EXPECT_FALSE(host.Events().empty());
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
    EXPECT_EQ(host.FdSends(), 0u) << "fdSend is stored, never called";
}

TEST(Lifecycle, ReceiveCountThreeProcessesExactlyTheFirstThreeElements) {
    ScriptHost host;
    // Five frames in the room, but the host answers 3.
    host.Script({PollStep{NumberedFrames(5), 3}});
    KIV_InitParam p = host.Param(true);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return host.ScriptDone(); }));
    LetPassesRun(host, 3);
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);

    const auto events = host.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(IdsOf(events), (std::vector<uint32_t>{0x181, 0x182, 0x183}));
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].type, static_cast<uint32_t>(KIV_EVENT_FRAME));
        EXPECT_EQ(events[i].body.frame.frameData[0], 0xA0 + i);
    }
    for (const auto& t : host.EventThreads()) EXPECT_EQ(t, host.PollThread());
}

// Counts outside 0..8 are a host bug: above 8 is taken as 8, below 0 as
// nothing, and only the first is logged, once per instance.
TEST(Lifecycle, OutOfRangeReceiveCountsAreClampedAndLoggedOncePerInstance) {
    LogCapture log;
    ScriptHost host;
    std::vector<PollStep> script;
    script.push_back({NumberedFrames(8, 0x181), 12});
    for (int i = 0; i < 10; ++i) script.push_back({NumberedFrames(8, 0x281), -1});
    script.push_back({NumberedFrames(8, 0x381), 9});
    script.push_back({NumberedFrames(8, 0x481), INT32_MIN});
    script.push_back({NumberedFrames(8, 0x1C1), INT32_MAX});
    script.push_back({NumberedFrames(8, 0x501), 2});
    host.Script(std::move(script));
    KIV_InitParam p = host.Param(true);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return host.ScriptDone(); }));
    LetPassesRun(host, 3);
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);

    std::vector<uint32_t> expected;
    for (uint32_t first : {0x181u, 0x381u, 0x1C1u})
        for (uint32_t i = 0; i < 8; ++i) expected.push_back(first + i);
    expected.push_back(0x501);
    expected.push_back(0x502);
    EXPECT_EQ(IdsOf(host.Events()), expected);
    EXPECT_EQ(log.Lines("ERROR").size(), 1u) << "a broken host must not flood the log";

    // A second instance reports its own first bad count.
    ScriptHost other;
    other.Script({PollStep{NumberedFrames(8), -7}, PollStep{NumberedFrames(8), 50}});
    KIV_InitParam p2 = other.Param(true);
    Instance inst2(KIV_Init(&p2));
    ASSERT_NE(inst2.get(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return other.ScriptDone(); }));
    LetPassesRun(other, 2);
    EXPECT_EQ(KIV_Destroy(inst2.Take()), KIV_OK);
    EXPECT_EQ(other.Events().size(), 8u);
    EXPECT_EQ(log.Lines("ERROR").size(), 2u);
}

// KIV_Destroy while the worker is held inside canSend, with a request queued
// before the stop request and one queued behind it. Either the worker is
// released during KIV_Destroy's wait (the normal join), or only after
// KIV_Destroy gave up waiting (the worker then frees the instance itself).
// In both cases every caller returns and the one behind the stop is refused
// with 3. The request ahead of the stop is served when the join succeeds;
// once KIV_Destroy has returned the worker calls no callback, so after a
// give-up it is refused with 3 as well and nothing more goes on the bus.
class DestroyWithStuckWorker : public ::testing::TestWithParam<bool> {};

TEST_P(DestroyWithStuckWorker, EveryCallerReturnsAndNothingLeaks) {
    const bool releaseAfterDestroyReturns = GetParam();
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();

    std::future<int32_t> inSend, ahead, destroy, behind;
    SendGate<FakeBus> gate(bus);
    inSend = Async([h] { return KIV_SendSYNC(h); });
    ASSERT_TRUE(WaitUntil([&] { return bus.BlockedSenders() == 1; }));
    ahead = Async([h] { return KIV_NMT_SendCommand(h, 5, 0x01); });
    ASSERT_TRUE(WaitUntil([&] { return Waiting(h) == 1; }));

    const auto start = orukiv::coretest::Clock::now();
    inst.Take();
    destroy = Async([h] { return KIV_Destroy(h); });
    ASSERT_TRUE(WaitUntil([&] { return Waiting(h) == 2; })) << "stop request not queued";
    behind = Async([h] { return KIV_NMT_SendHeartbeat(h, 3, 5); });
    ASSERT_TRUE(WaitUntil([&] { return Waiting(h) == 3; }));

    std::size_t pollsAtRelease = 0;
    if (releaseAfterDestroyReturns) {
        ASSERT_TRUE(ReturnsWithin(destroy, 10s));
        EXPECT_EQ(destroy.get(), KIV_OK);
        EXPECT_GE(orukiv::coretest::Clock::now() - start, 900ms)
            << "KIV_Destroy must wait for the worker before giving up";
        EXPECT_FALSE(ReturnsWithin(inSend, 0ms)) << "the worker is still held";
        pollsAtRelease = bus.CanPolls().size();
        gate.Open();
    } else {
        pollsAtRelease = bus.CanPolls().size();
        gate.Open();
        ASSERT_TRUE(ReturnsWithin(destroy, 10s));
        EXPECT_EQ(destroy.get(), KIV_OK);
    }

    ASSERT_TRUE(ReturnsWithin(inSend, 10s));
    ASSERT_TRUE(ReturnsWithin(ahead, 10s));
    ASSERT_TRUE(ReturnsWithin(behind, 10s)) << "a caller behind the stop request stays blocked";
    EXPECT_EQ(inSend.get(), KIV_OK);
    EXPECT_EQ(behind.get(), KIV_ERR_NO_RESOURCE);
    if (releaseAfterDestroyReturns) {
        EXPECT_EQ(ahead.get(), KIV_ERR_NO_RESOURCE);
        EXPECT_EQ(bus.SentFrames(), std::vector<KIV_CanFrame>{Frame(0x080, {})})
            << "a frame went out after KIV_Destroy returned";
    } else {
        EXPECT_EQ(ahead.get(), KIV_OK);
        EXPECT_EQ(bus.SentFrames(),
                  (std::vector<KIV_CanFrame>{Frame(0x080, {}), Frame(0x000, {1, 5})}));
    }

    // The worker ends right after the stranded caller is released; give it
    // time to free the instance before the bus goes away.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(bus.CanPolls().size(), pollsAtRelease) << "no pass may follow the stop request";
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, DestroyWithStuckWorker, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("ReleasedAfterDestroyGaveUp")
                                               : std::string("ReleasedDuringDestroyWait");
                         });

// With the ring full when KIV_Destroy runs, the stop request is not queued;
// the cleared running flag still ends the worker, after the drain has served
// every waiting request.
TEST(Lifecycle, DestroyWithFullRingServesAllWaitingRequests) {
    FakeBus bus;
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();

    std::future<int32_t> first, destroy;
    std::vector<std::future<int32_t>> waiting;
    SendGate<FakeBus> gate(bus);
    first = Async([h] { return KIV_SendRemotePDO(h, 0x300); });
    ASSERT_TRUE(WaitUntil([&] { return bus.BlockedSenders() == 1; }));
    for (uint32_t i = 1; i <= 31; ++i) {
        waiting.push_back(Async([h, i] { return KIV_SendRemotePDO(h, 0x300 + i); }));
        ASSERT_TRUE(WaitUntil([&] { return Waiting(h) == static_cast<int>(i); }));
    }
    inst.Take();
    destroy = Async([h] { return KIV_Destroy(h); });
    std::this_thread::sleep_for(50ms);
    gate.Open();

    ASSERT_TRUE(ReturnsWithin(destroy, 10s));
    EXPECT_EQ(destroy.get(), KIV_OK);
    ASSERT_TRUE(ReturnsWithin(first, 10s));
    EXPECT_EQ(first.get(), KIV_OK);
    for (auto& f : waiting) {
        ASSERT_TRUE(ReturnsWithin(f, 10s));
        EXPECT_EQ(f.get(), KIV_OK);
    }
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i <= 31; ++i) expected.push_back(0x300 + i);
    EXPECT_EQ(IdsOf(bus.SentFrames()), expected);
    std::this_thread::sleep_for(100ms);  // a worker that outlived the join frees itself
}

// SDO transfers still in a channel when the instance is destroyed are
// completed with a time-out rather than left blocked.
TEST(Lifecycle, DestroyCompletesSdoTransfersInProgressWithTimeout) {
    FakeBus bus;  // a silent node: nothing answers
    KIV_InitParam p = bus.Param(false, false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    KIV_Handle h = inst.get();
    ASSERT_NE(KIV_SetSDOTimeout(h, 600000), 0);

    uint8_t buf[4] = {};
    uint32_t got = 0;
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::future<int32_t> read =
        Async([&] { return KIV_ReadObject(h, 7, 0x1018, 1, buf, 4, &got); });
    std::future<int32_t> write =
        Async([&] { return KIV_WriteObject(h, 7, 0x2000, 0, data, sizeof data); });
    ASSERT_TRUE(bus.WaitForSent(2, 5s)) << "both transfers must have started";

    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
    ASSERT_TRUE(ReturnsWithin(read, 10s)) << "an SDO read in progress stays blocked";
    ASSERT_TRUE(ReturnsWithin(write, 10s)) << "an SDO write in progress stays blocked";
    EXPECT_EQ(read.get(), KIV_ERR_TIMEOUT);
    EXPECT_EQ(write.get(), KIV_ERR_TIMEOUT);
}

// Instances share nothing but the logger: each has its own worker, callbacks
// and SDO time-out, and destroying one leaves the other running.
TEST(Lifecycle, InstancesRunIndependently) {
    FakeBus busA;
    FakeBus busB;
    KIV_InitParam pa = busA.Param();
    KIV_InitParam pb = busB.Param();
    Instance a(KIV_Init(&pa));
    Instance b(KIV_Init(&pb));
    ASSERT_NE(a.get(), nullptr);
    ASSERT_NE(b.get(), nullptr);
    ASSERT_NE(a.get(), b.get());

    EXPECT_EQ(KIV_SendSYNC(a.get()), KIV_OK);
    EXPECT_EQ(KIV_NMT_SendHeartbeat(b.get(), 7, 5), KIV_OK);
    ASSERT_EQ(busA.SentCount(), 1u);
    ASSERT_EQ(busB.SentCount(), 1u);
    EXPECT_EQ(busA.SentFrames()[0].id, 0x080u);
    EXPECT_EQ(busB.SentFrames()[0].id, 0x707u);

    // A time-out set on one instance does not reach the other: a read of a
    // silent node on A gives up long before B's would.
    ASSERT_NE(KIV_SetSDOTimeout(a.get(), 50), 0);
    ASSERT_NE(KIV_SetSDOTimeout(b.get(), 60000), 0);
    uint8_t buf[2];
    uint32_t got = 0;
    EXPECT_EQ(KIV_ReadObject(a.get(), 3, 0x1000, 0, buf, sizeof buf, &got), KIV_ERR_TIMEOUT);

    busB.Inject(Frame(0x185, {1, 2, 3}));
    ASSERT_TRUE(busB.WaitForEvents(1, 2000ms));
    EXPECT_TRUE(busA.Events().empty()) << "a frame of bus B reached instance A";

    EXPECT_EQ(KIV_Destroy(a.Take()), KIV_OK);
    const auto polls = busB.CanPolls().size();
    EXPECT_TRUE(WaitUntil([&] { return busB.CanPolls().size() > polls + 3; }, 2000ms))
        << "destroying A stopped B's worker";
    EXPECT_EQ(KIV_SendSYNC(b.get()), KIV_OK);
    EXPECT_EQ(busB.SentCount(), 2u);
}
