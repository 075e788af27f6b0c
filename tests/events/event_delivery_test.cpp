// Delivery of events: one per received frame, in order, canRecv frames of a
// worker pass before frames handed in by KIV_InputFrame, and the SDO offer
// that happens with or without an event callback.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "event_records.h"
#include "fake_bus.h"
#include "frames.h"
#include "services/rx_events.h"
#include "instance/co_stack.h"

namespace {

using namespace std::chrono_literals;
using namespace orukiv::test;

constexpr auto kWait = 10s;  // generous: only a failure ever waits this long

KIV_Event Decoded(const KIV_CanFrame& f) {
    KIV_Event e;
    orukiv::DecodeEvent(&f, &e);
    return e;
}

// Frames of every service, each distinguishable from its neighbours.
std::vector<KIV_CanFrame> MixedFrames(int count) {
    std::vector<KIV_CanFrame> out;
    for (int i = 0; i < count; ++i) {
        const auto b = static_cast<uint8_t>(i);
        switch (i % 7) {
            case 0:
                out.push_back(Frame(0x181 + i % 4, {b, 0x10, 0x20}));
                break;
            case 1:
                out.push_back(Frame(0x701 + i % 8, {static_cast<uint8_t>(i % 2 ? 0x05 : 0x7F)}));
                break;
            case 2:
                out.push_back(Frame(0x081 + i, {b, 0x81, 0x11, 1, 2, 3, 4, 5}));
                break;
            case 3:
                out.push_back(Sdo(0x581 + i % 4, {0x4F, 0x00, 0x20, b, b}));
                break;
            case 4:
                out.push_back(Frame(static_cast<uint32_t>(i), {0x01, 0x00}));
                break;
            case 5:
                out.push_back(RemoteFrame(0x701 + i % 16));
                break;
            default:
                out.push_back(Frame(0x100, {b, 0, 0, 0, b, 0}));
                break;
        }
    }
    return out;
}

void ExpectEventsOf(const std::vector<KIV_Event>& events, const std::vector<KIV_CanFrame>& frames) {
    ASSERT_EQ(events.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_TRUE(SameEvent(events[i], Decoded(frames[i])))
            << "event " << i << " of frame " << frames[i];
}

// ---- Through a running instance ---------------------------------------------

TEST(EventDelivery, OneEventPerPolledFrameInOrder) {
    FakeBus bus;
    const KIV_InitParam p = bus.Param();
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    // More than one poll's worth: the worker takes 8 per pass.
    std::vector<KIV_CanFrame> frames = MixedFrames(45);
    bus.Inject(frames);
    ASSERT_TRUE(bus.WaitForEvents(frames.size(), kWait));
    // An injected frame closes the stream: anything duplicated or late would
    // have come before its event.
    const KIV_CanFrame last = Frame(0x7E0, {0xEE});
    EXPECT_EQ(KIV_InputFrame(h, &last), KIV_OK);
    frames.push_back(last);
    ExpectEventsOf(bus.Events(), frames);
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
}

TEST(EventDelivery, InputFrameDeliversItsEventBeforeReturning) {
    FakeBus bus;
    const KIV_InitParam p = bus.Param();
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    const struct {
        KIV_CanFrame frame;
        KIV_Event expected;
    } rows[] = {
        {Sdo(0x585, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x02}),
         SdoEvent(0x85, KIV_SDO_READ_RESPONSE, 0x6041, 0, {0x37, 0x02})},
        {Frame(0x085, {0x30, 0x81, 0x11, 1, 2, 3, 4, 5}),
         EmcyEvent(5, 0x8130, 0x11, {1, 2, 3, 4, 5})},
        {Frame(0x100, {0xF4, 0x2F, 0x93, 0x02, 0x12, 0x39}), TimeEvent(2024, 1, 1, 12, 0, 0, 500)},
        {Frame(0x181, {0xAA, 0xBB, 0xCC}), FrameEvent(0x181, {0xAA, 0xBB, 0xCC})},
        {RemoteFrame(0x705), GuardEvent(5)},
        {Frame(0x1F334, {1}), NoneEvent(0x34)},
    };
    for (const auto& row : rows) {
        const std::size_t before = bus.Events().size();
        EXPECT_EQ(KIV_InputFrame(h, &row.frame), KIV_OK);
        const auto events = bus.Events();  // no waiting: it must be there
        ASSERT_EQ(events.size(), before + 1) << row.frame;
        EXPECT_TRUE(SameEvent(events.back(), row.expected)) << row.frame;
    }
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
}

TEST(EventDelivery, CanFdFramesYieldNoEvents) {
    FakeBus bus;  // its fdRecv hands over two CAN FD frames on every poll
    const KIV_InitParam p = bus.Param(true, true);
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    const auto start = Clock::now();
    while (bus.FdPolls() < 3 && Clock::now() - start < kWait) std::this_thread::sleep_for(1ms);
    ASSERT_GE(bus.FdPolls(), 3u);
    const KIV_CanFrame f = Frame(0x181, {1});
    EXPECT_EQ(KIV_InputFrame(h, &f), KIV_OK);
    ExpectEventsOf(bus.Events(), {f});
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
}

// The worker is held inside onEvent for the first of three frames that one
// poll returned, while another thread queues an injected frame and a fourth
// frame reaches the bus. The two frames already polled must come first, then
// the injected one; the late bus frame belongs to the next pass.
class GatedEvents {
public:
    static void OnEvent(const KIV_Event* e, void*) { instance->Record(*e); }

    void Record(const KIV_Event& e) {
        std::unique_lock<std::mutex> g(m_);
        events_.push_back(e);
        if (e.type == KIV_EVENT_FRAME && e.body.frame.cobId == holdCobId_) {
            held_ = true;
            cv_.notify_all();
            cv_.wait(g, [this] { return released_; });
        }
        cv_.notify_all();
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, kWait, [this] { return held_; });
    }
    void Release() {
        std::lock_guard<std::mutex> g(m_);
        released_ = true;
        cv_.notify_all();
    }
    bool WaitForCount(std::size_t n) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, kWait, [&] { return events_.size() >= n; });
    }
    std::vector<KIV_Event> Events() {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }

    static inline GatedEvents* instance = nullptr;
    uint32_t holdCobId_ = 0;

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<KIV_Event> events_;
    bool held_ = false;
    bool released_ = false;
};

bool RingHasRequest(CoStack* stack) {
    orukiv::platform::MutexLock(stack->mutex);
    const bool queued = stack->ring.head != stack->ring.tail;
    orukiv::platform::MutexUnlock(stack->mutex);
    return queued;
}

TEST(EventDelivery, PolledFramesOfAPassPrecedeAFrameInjectedDuringIt) {
    FakeBus bus;
    GatedEvents gate;
    gate.holdCobId_ = 0x181;
    GatedEvents::instance = &gate;
    KIV_InitParam p = bus.Param(false);
    p.onEvent = &GatedEvents::OnEvent;
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);

    const std::vector<KIV_CanFrame> polled = {Frame(0x181, {0xA1}), Frame(0x182, {0xB2}),
                                              Frame(0x183, {0xC3})};
    const KIV_CanFrame injected = Frame(0x1C0, {0x99});
    const KIV_CanFrame late = Frame(0x184, {0xD4});
    bus.Inject(polled);  // one call: a single poll takes all three
    ASSERT_TRUE(gate.WaitHeld());

    int32_t inputResult = -1;
    std::thread caller([&] { inputResult = KIV_InputFrame(h, &injected); });
    const auto start = Clock::now();
    while (!RingHasRequest(h) && Clock::now() - start < kWait) std::this_thread::sleep_for(1ms);
    const bool queued = RingHasRequest(h);
    bus.Inject(late);
    gate.Release();
    caller.join();
    ASSERT_TRUE(queued) << "the injected frame never reached the ring";
    EXPECT_EQ(inputResult, KIV_OK);
    ASSERT_TRUE(gate.WaitForCount(5));
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
    GatedEvents::instance = nullptr;

    ExpectEventsOf(gate.Events(), {polled[0], polled[1], polled[2], injected, late});
}

// ---- One worker pass driven by hand -------------------------------------------

class ManualPass : public ::testing::Test {
protected:
    void SetUp() override {
        const KIV_InitParam p = bus.Param();
        stack = orukiv::NewStack(&p);
        ASSERT_NE(stack, nullptr);
        stack->mutex = orukiv::platform::MutexCreate();
        ASSERT_NE(stack->mutex, nullptr);
    }
    void TearDown() override {
        if (stack != nullptr) orukiv::FreeStack(stack);
    }
    static CoRequest InputRequest(const KIV_CanFrame& f) {
        CoRequest r;
        std::memset(&r, 0, sizeof r);
        r.type = REQ_INPUT_FRAME;
        r.payload.frame = f;
        r.result = -1;
        return r;
    }

    FakeBus bus;
    CoStack* stack = nullptr;
};

TEST_F(ManualPass, PolledFramesComeBeforeQueuedInputFrames) {
    // The injected frames are queued before the bus frames arrive, yet the
    // pass polls first: bus frames, then the ring in its order.
    const KIV_CanFrame x1 = Frame(0x1C1, {0x91});
    const KIV_CanFrame x2 = Frame(0x1C2, {0x92});
    CoRequest r1 = InputRequest(x1);
    CoRequest r2 = InputRequest(x2);
    ASSERT_TRUE(orukiv::EnqueueRequest(stack, &r1));
    ASSERT_TRUE(orukiv::EnqueueRequest(stack, &r2));
    const std::vector<KIV_CanFrame> polled = MixedFrames(10);
    bus.Inject(polled);

    orukiv::WorkerPass(stack);
    // A poll takes 8 frames; the other 2 wait for the next pass.
    std::vector<KIV_CanFrame> expected(polled.begin(), polled.begin() + 8);
    expected.push_back(x1);
    expected.push_back(x2);
    ExpectEventsOf(bus.Events(), expected);
    EXPECT_EQ(r1.result, KIV_OK);
    EXPECT_EQ(r2.result, KIV_OK);
    EXPECT_FALSE(RingHasRequest(stack));

    orukiv::WorkerPass(stack);
    expected.push_back(polled[8]);
    expected.push_back(polled[9]);
    ExpectEventsOf(bus.Events(), expected);
}

TEST_F(ManualPass, EveryFrameYieldsExactlyOneCallWithUserData) {
    struct Counter {
        int calls = 0;
        void* seen = nullptr;
        static void OnEvent(const KIV_Event*, void* user) {
            auto* c = static_cast<Counter*>(user);
            ++c->calls;
            c->seen = user;
        }
    } counter;
    stack->onEvent = &Counter::OnEvent;
    stack->userData = &counter;
    const std::vector<KIV_CanFrame> frames = MixedFrames(21);
    for (const auto& f : frames) orukiv::ProcessRxFrame(stack, &f);
    EXPECT_EQ(counter.calls, 21);
    EXPECT_EQ(counter.seen, &counter);
}

// ---- SDO replies: offered to the transfers, with and without onEvent ----------

uint32_t FakeClock(void* context) {
    return *static_cast<uint32_t*>(context);
}

TEST_F(ManualPass, FramesReachTheSdoChannelsWithoutAnEventCallback) {
    stack->onEvent = nullptr;
    uint32_t now = 5000;
    stack->tick = &FakeClock;
    stack->tickContext = &now;

    uint8_t buffer[2] = {0, 0};
    uint32_t received = 0;
    CoRequest read;
    std::memset(&read, 0, sizeof read);
    read.type = REQ_SDO_READ;
    read.node = 5;
    read.payload.sdoRead = {0x6041, 0, buffer, sizeof buffer, &received, nullptr};
    read.result = -1;
    ASSERT_EQ(orukiv::SdoClaimChannel(stack, &read), KIV_OK);
    orukiv::SdoTickUploads(stack);
    ASSERT_EQ(bus.SentFrames(), std::vector<KIV_CanFrame>{Sdo(0x605, {0x40, 0x41, 0x60, 0x00})});

    const KIV_CanFrame reply = Sdo(0x585, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x02});
    orukiv::ProcessRxFrame(stack, &reply);
    // The channel took the reply at once...
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(buffer[0], 0x37);
    EXPECT_EQ(buffer[1], 0x02);
    // ...and completes the request within its next ticks, without a re-send.
    for (int i = 0; i < 5 && stack->sdoUpload[0].busy; ++i) {
        now += 5;
        orukiv::SdoTickUploads(stack);
    }
    EXPECT_EQ(bus.SentCount(), 1u);
    EXPECT_EQ(read.result, KIV_OK);
    EXPECT_FALSE(stack->sdoUpload[0].busy);
    EXPECT_TRUE(bus.Events().empty());
}

// Answers every expedited read request of the library with two bytes.
void AnswerReadsWith3702(FakeBus& bus) {
    bus.SetResponder([&bus](const KIV_CanFrame& f) {
        if (f.id >= 0x601 && f.id <= 0x67F && f.data[0] == 0x40)
            bus.Inject(Sdo(f.id - 0x80, {0x4B, f.data[1], f.data[2], f.data[3], 0x37, 0x02}));
    });
}

TEST(EventDeliverySdo, ReplyCompletesReadWithoutEventCallback) {
    FakeBus bus;
    AnswerReadsWith3702(bus);
    const KIV_InitParam p = bus.Param(false);
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    KIV_SetSDOTimeout(h, 10000);
    uint8_t buffer[2] = {0, 0};
    uint32_t received = 0;
    EXPECT_EQ(KIV_ReadObject(h, 5, 0x6041, 0, buffer, sizeof buffer, &received), KIV_OK);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(buffer[0], 0x37);
    EXPECT_EQ(buffer[1], 0x02);
    EXPECT_EQ(bus.SentFrames(), std::vector<KIV_CanFrame>{Sdo(0x605, {0x40, 0x41, 0x60, 0x00})});
    EXPECT_TRUE(bus.Events().empty());
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
}

TEST(EventDeliverySdo, ReplyThatCompletesReadIsStillReported) {
    FakeBus bus;
    AnswerReadsWith3702(bus);
    const KIV_InitParam p = bus.Param(true);
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    KIV_SetSDOTimeout(h, 10000);
    uint8_t buffer[2] = {0, 0};
    uint32_t received = 0;
    EXPECT_EQ(KIV_ReadObject(h, 5, 0x6041, 0, buffer, sizeof buffer, &received), KIV_OK);
    EXPECT_EQ(received, 2u);
    // The event is delivered in the pass that takes the reply, before the
    // transfer completes, so it is there when the read returns.
    const auto events = bus.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(
        SameEvent(events[0], SdoEvent(0x85, KIV_SDO_READ_RESPONSE, 0x6041, 0, {0x37, 0x02})));
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
}

TEST(EventDeliverySdo, InputFrameAnswersAPendingRead) {
    FakeBus bus;  // no responder: the answer comes through KIV_InputFrame
    const KIV_InitParam p = bus.Param(true);
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    KIV_SetSDOTimeout(h, 10000);
    uint8_t buffer[4] = {0, 0, 0, 0};
    uint32_t received = 0;
    int32_t readResult = -1;
    std::thread reader(
        [&] { readResult = KIV_ReadObject(h, 7, 0x1018, 1, buffer, sizeof buffer, &received); });
    const bool requested = bus.WaitForSent(1, kWait);
    const KIV_CanFrame reply = Sdo(0x587, {0x43, 0x18, 0x10, 0x01, 0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(KIV_InputFrame(h, &reply), KIV_OK);
    reader.join();
    ASSERT_TRUE(requested);
    EXPECT_EQ(bus.SentFrames().front(), Sdo(0x607, {0x40, 0x18, 0x10, 0x01}));
    EXPECT_EQ(readResult, KIV_OK);
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(std::memcmp(buffer, "\x78\x56\x34\x12", 4), 0);
    ExpectEventsOf(bus.Events(), {reply});
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);
}

}  // namespace
