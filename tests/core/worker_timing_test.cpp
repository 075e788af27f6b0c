// Low-latency mode: what KIV_SetWorkerTiming refuses, that an instance left
// in the default timing ignores KIV_Notify, and that a queued request, a
// notification from inside a callback and a full receive poll each start
// the next pass without waiting for the period, while a short poll lets the
// worker sleep again. The period is set to a full second wherever a pass
// must not come from the period; the bounds leave ample room for a busy
// machine.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "core_support.h"

using namespace std::chrono_literals;
using orukiv::coretest::Clock;
using orukiv::coretest::Instance;
using orukiv::coretest::NumberedFrames;
using orukiv::coretest::PollStep;
using orukiv::coretest::ScriptHost;
using orukiv::coretest::WaitUntil;

namespace {

constexpr uint32_t kSecondUs = 1000000;

// A host whose receive poll calls KIV_Notify for its first `notifyPolls`
// polls, as a host would that knows more frames are waiting.
struct NotifyingHost {
    std::atomic<KIV_Handle> handle{nullptr};
    std::atomic<int> polls{0};
    std::atomic<int> notifyPolls{0};
    std::atomic<int> notifyResults{0};  // non-zero results of KIV_Notify

    KIV_InitParam Param() {
        KIV_InitParam p;
        std::memset(&p, 0, sizeof p);
        p.canRecv = &Recv;
        p.canSend = [](const KIV_CanFrame*, void*) -> int32_t { return 0; };
        p.userData = this;
        return p;
    }
    static int32_t Recv(KIV_CanFrame*, uint32_t, void* user) {
        auto* self = static_cast<NotifyingHost*>(user);
        const int n = self->polls.fetch_add(1) + 1;
        KIV_Handle h = self->handle.load();
        if (h != nullptr && n <= self->notifyPolls.load() && KIV_Notify(h) != KIV_OK)
            self->notifyResults.fetch_add(1);
        return 0;
    }
};

}  // namespace

TEST(WorkerTiming, RefusedArgumentsChangeNothing) {
    ScriptHost host;
    KIV_InitParam p = host.Param(false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    struct Case {
        uint32_t periodUs;
        uint32_t flags;
        int32_t expected;
    };
    const Case cases[] = {
        {0, 0, KIV_ERR_PARAM},
        {99, KIV_TIMING_WAKE_ON_REQUEST, KIV_ERR_PARAM},
        {kSecondUs + 1, 0, KIV_ERR_PARAM},
        {UINT32_MAX, 0, KIV_ERR_PARAM},
        {1000, 0x4, KIV_ERR_PARAM},
        {1000, 0x80000000u | KIV_TIMING_DRAIN_RECEIVE, KIV_ERR_PARAM},
        {100, KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE, KIV_OK},
        {kSecondUs, 0, KIV_OK},
    };
    uint32_t period = 0, flags = 0;  // the default timing
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.periodUs << " us, flags " << c.flags);
        EXPECT_EQ(KIV_SetWorkerTiming(inst.get(), c.periodUs, c.flags), c.expected);
        if (c.expected == KIV_OK) {
            period = c.periodUs;
            flags = c.flags;
        }
        EXPECT_EQ(inst.get()->periodUs.load(), period);
        EXPECT_EQ(inst.get()->timingFlags.load(), flags);
    }
}

// The tool's adapters notify from their receive paths whatever the timing:
// an instance that never chose a timing keeps polling every 5 ms.
TEST(WorkerTiming, DefaultTimingIgnoresNotify) {
    ScriptHost host;
    KIV_InitParam p = host.Param(false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    const std::size_t before = host.Polls();
    const auto start = Clock::now();
    int refused = 0;
    while (Clock::now() - start < 200ms)
        if (KIV_Notify(inst.get()) != KIV_OK) ++refused;
    const std::size_t polls = host.Polls() - before;
    EXPECT_EQ(refused, 0);
    EXPECT_LE(polls, 200u / 5u + 10u) << "notifications must not start passes";
}

TEST(WorkerTiming, QueuedRequestStartsItsPassAtOnce) {
    ScriptHost host;
    KIV_InitParam p = host.Param(false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    ASSERT_EQ(KIV_SetWorkerTiming(inst.get(), kSecondUs, KIV_TIMING_WAKE_ON_REQUEST), KIV_OK);
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(KIV_SendSYNC(inst.get()), KIV_OK);
    EXPECT_LT(Clock::now() - start, 5s) << "ten requests must not wait ten periods";
    EXPECT_EQ(host.Sent().size(), 10u);

    // Without the flag a request waits for the period, but KIV_Destroy
    // still ends the sleep at once.
    ASSERT_EQ(KIV_SetWorkerTiming(inst.get(), kSecondUs, 0), KIV_OK);
    std::this_thread::sleep_for(50ms);  // let the worker enter its sleep
    const auto destroyStart = Clock::now();
    EXPECT_EQ(KIV_Destroy(inst.Take()), KIV_OK);
    EXPECT_LT(Clock::now() - destroyStart, 900ms);
}

TEST(WorkerTiming, NotifyFromInsideACallbackStartsTheNextPass) {
    NotifyingHost host;
    KIV_InitParam p = host.Param();
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    ASSERT_EQ(KIV_SetWorkerTiming(inst.get(), kSecondUs, 0), KIV_OK);
    host.notifyPolls.store(host.polls.load() + 20);
    host.handle.store(inst.get());
    EXPECT_TRUE(WaitUntil([&] { return host.polls.load() >= host.notifyPolls.load(); }, 5s))
        << "each notified poll must be followed by another pass at once";
    EXPECT_EQ(host.notifyResults.load(), 0);
}

TEST(WorkerTiming, DrainStopsAtTheFirstShortPoll) {
    ScriptHost host;
    KIV_InitParam p = host.Param(false);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    host.SetIdle(PollStep{NumberedFrames(7), 7});
    ASSERT_EQ(KIV_SetWorkerTiming(inst.get(), kSecondUs, KIV_TIMING_DRAIN_RECEIVE), KIV_OK);
    std::this_thread::sleep_for(100ms);  // the worker settles into its long sleep
    host.Script(std::vector<PollStep>(50, PollStep{NumberedFrames(8), 8}));
    ASSERT_EQ(KIV_Notify(inst.get()), KIV_OK);
    // Fifty full polls take fifty passes with no sleep between them.
    ASSERT_TRUE(WaitUntil([&] { return host.ScriptDone(); }, 5s));
    const std::size_t atEnd = host.Polls();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(host.Polls(), atEnd + 1) << "a short poll must end the drain";
}

// A host that hands its frames in is never polled, whatever the period, and
// each frame it hands in still reaches the event callback.
TEST(WorkerTiming, HostInputStopsPollingAndFramesStillArrive) {
    ScriptHost host;
    KIV_InitParam p = host.Param(true);
    Instance inst(KIV_Init(&p));
    ASSERT_NE(inst.get(), nullptr);
    ASSERT_EQ(
        KIV_SetWorkerTiming(inst.get(), 100, KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_HOST_INPUT),
        KIV_OK);
    std::this_thread::sleep_for(20ms);  // a pass under way may still poll
    const std::size_t before = host.Polls();
    KIV_CanFrame frame{};
    frame.id = 0x080;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(KIV_InputFrame(inst.get(), &frame), KIV_OK);
    std::this_thread::sleep_for(100ms);  // a thousand periods
    EXPECT_EQ(host.Polls(), before);
    EXPECT_EQ(host.Events().size(), 3u);
}
