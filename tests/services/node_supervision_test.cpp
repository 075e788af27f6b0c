// Heartbeat consumer and node guarding, driven pass by pass against a fake
// millisecond clock: each script gives the time of a pass, the frame its
// receive poll returns, the node-state events expected after that frame's
// own event, and the guard requests the pass must send.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "event_records.h"
#include "frames.h"
#include "platform/platform.h"
#include "services/rx_events.h"
#include "instance/co_stack.h"

namespace {

using namespace orukiv::test;

constexpr uint32_t kNever = 0xFFFFFFFFu;
constexpr uint32_t kStart = 1000;

KIV_Event NodeState(uint8_t node, uint8_t cause, uint8_t oldState, uint8_t newState,
                    uint32_t sinceLastMs) {
    KIV_Event e = Head(KIV_EVENT_NODE_STATE, node);
    e.body.nodeState.oldState = oldState;
    e.body.nodeState.newState = newState;
    e.body.nodeState.cause = cause;
    e.body.nodeState.sinceLastMs = sinceLastMs;
    return e;
}

// An instance without a worker: the test runs its passes at chosen ticks.
class Rig {
public:
    Rig() {
        KIV_InitParam p;
        std::memset(&p, 0, sizeof p);
        p.canRecv = &Rig::Recv;
        p.canSend = &Rig::Send;
        p.onEvent = &Rig::OnEvent;
        p.userData = this;
        stack_ = orukiv::NewStack(&p);
        stack_->mutex = orukiv::platform::MutexCreate();
        stack_->tick = [](void* self) { return static_cast<Rig*>(self)->now; };
        stack_->tickContext = this;
    }
    ~Rig() { orukiv::FreeStack(stack_); }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    CoStack* stack() const { return stack_; }

    // What the exports queue, carried out as the worker would.
    int32_t Configure(CoRequestType type, uint8_t node, uint32_t timeMs, uint8_t factor = 0) {
        CoRequest r;
        std::memset(&r, 0, sizeof r);
        r.type = type;
        r.node = node;
        r.payload.supervise.timeMs = timeMs;
        r.payload.supervise.lifeTimeFactor = factor;
        EXPECT_FALSE(orukiv::DispatchRequest(stack_, &r));
        return r.result;
    }
    // One worker pass at tick `at`, its receive poll returning `frames`.
    void Pass(uint32_t at, std::vector<KIV_CanFrame> frames = {}) {
        now = at;
        rx = std::move(frames);
        events.clear();
        sent.clear();
        orukiv::WorkerPass(stack_);
    }
    KIV_NodeStatus Status(uint8_t node) const {
        KIV_NodeStatus s;
        std::memset(&s, 0xEE, sizeof s);
        EXPECT_EQ(KIV_GetNodeState(stack_, node, &s), KIV_OK);
        return s;
    }

    uint32_t now = kStart;
    int32_t sendResult = 0;
    std::vector<KIV_CanFrame> rx;
    std::vector<KIV_CanFrame> sent;
    std::vector<KIV_Event> events;
    // The node's status read inside the callback of each node-state event.
    std::vector<KIV_NodeStatus> statusInCallback;

private:
    static int32_t Recv(KIV_CanFrame* frames, uint32_t maxCount, void* user) {
        auto* self = static_cast<Rig*>(user);
        uint32_t n = 0;
        for (; n < self->rx.size() && n < maxCount; ++n) frames[n] = self->rx[n];
        self->rx.clear();
        return static_cast<int32_t>(n);
    }
    static int32_t Send(const KIV_CanFrame* frame, void* user) {
        auto* self = static_cast<Rig*>(user);
        self->sent.push_back(*frame);
        return self->sendResult;
    }
    static void OnEvent(const KIV_Event* e, void* user) {
        auto* self = static_cast<Rig*>(user);
        self->events.push_back(*e);
        if (e->type == KIV_EVENT_NODE_STATE)
            self->statusInCallback.push_back(self->Status(e->node));
    }

    CoStack* stack_;
};

struct Step {
    uint32_t at;
    std::optional<KIV_CanFrame> frame;
    std::vector<KIV_Event> nodeEvents;
    std::size_t guardRequests = 0;
};

struct Script {
    const char* name;
    CoRequestType type;  // REQ_STOP: nothing supervised
    uint8_t node;
    uint32_t timeMs;
    uint8_t factor;
    std::vector<Step> steps;
};

KIV_CanFrame Hb(uint8_t node, uint8_t byte) {
    return Frame(0x700u + node, {byte});
}

constexpr uint8_t kHb = 5;     // heartbeat-supervised node, time-out 100 ms
constexpr uint8_t kGuard = 9;  // guarded node, 100 ms x 3

std::vector<Script> Scripts() {
    return {
        {"heartbeat",
         REQ_SUPERVISE,
         kHb,
         100,
         0,
         {
             {1010, Hb(kHb, 0x00), {NodeState(kHb, KIV_NODE_BOOTUP, 255, 0, kNever)}},
             {1020, Hb(kHb, 0x7F), {NodeState(kHb, KIV_NODE_STATE_CHANGED, 0, 127, 10)}},
             {1050, Hb(kHb, 0x05), {NodeState(kHb, KIV_NODE_STATE_CHANGED, 127, 5, 30)}},
             {1100, Hb(kHb, 0x05), {}},
             // Neither an unknown state, nor no data, nor a remote frame is a
             // sign of life.
             {1150, Hb(kHb, 0x33), {}},
             {1160, Frame(0x705, {}), {}},
             {1170, RemoteFrame(0x705), {}},
             {1200, std::nullopt, {}},  // exactly the time-out: still in time
             {1201, std::nullopt, {NodeState(kHb, KIV_NODE_HEARTBEAT_LOST, 5, 255, 101)}},
             {1500, std::nullopt, {}},  // one event per loss
             {1700, Hb(kHb, 0x05), {NodeState(kHb, KIV_NODE_BACK, 255, 5, 600)}},
             {1801, std::nullopt, {NodeState(kHb, KIV_NODE_HEARTBEAT_LOST, 5, 255, 101)}},
             {1900, Hb(kHb, 0x00), {NodeState(kHb, KIV_NODE_BOOTUP, 255, 0, 200)}},
             {1990, Hb(kHb, 0x00), {NodeState(kHb, KIV_NODE_BOOTUP, 0, 0, 90)}},
         }},
        {"heartbeat watched from its first frame",
         REQ_SUPERVISE,
         kHb,
         100,
         0,
         {
             {1101, std::nullopt, {}},
             {5000, Hb(3, 0x05), {}},  // another node's heartbeat
             {9000, Hb(kHb, 0x04), {NodeState(kHb, KIV_NODE_STATE_CHANGED, 255, 4, kNever)}},
             {9101, std::nullopt, {NodeState(kHb, KIV_NODE_HEARTBEAT_LOST, 4, 255, 101)}},
         }},
        {"guarding",
         REQ_GUARD,
         kGuard,
         100,
         3,
         {
             {1000, std::nullopt, {}, 1},  // the first request at once
             {1005,
              Hb(kGuard, 0x7F),
              {NodeState(kGuard, KIV_NODE_STATE_CHANGED, 255, 127, kNever)}},
             {1099, std::nullopt, {}, 0},
             {1100, std::nullopt, {}, 1},
             {1105, Hb(kGuard, 0xFF), {}},  // toggle 1 after 0
             {1200, std::nullopt, {}, 1},
             {1205, Hb(kGuard, 0xFF), {}},  // toggle 1 again: ignored
             {1300, std::nullopt, {}, 1},
             {1310, Hb(kGuard, 0x8A), {}},  // unknown state: ignored
             {1400, std::nullopt, {}, 1},
             {1405, std::nullopt, {}},  // 300 ms since the last valid answer
             {1406, std::nullopt, {NodeState(kGuard, KIV_NODE_GUARDING_LOST, 127, 255, 301)}},
             {1500, std::nullopt, {}, 1},
             // After a loss only the toggle other than the last seen (1).
             {1505, Hb(kGuard, 0x7F), {NodeState(kGuard, KIV_NODE_BACK, 255, 127, 400)}},
             {1510, Hb(kGuard, 0x85), {NodeState(kGuard, KIV_NODE_STATE_CHANGED, 127, 5, 5)}},
             {1520, Hb(kGuard, 0x05), {}},
             // A boot-up restarts the node's toggle.
             {1530, Hb(kGuard, 0x00), {NodeState(kGuard, KIV_NODE_BOOTUP, 5, 0, 10)}},
             {1540, Hb(kGuard, 0xFF), {NodeState(kGuard, KIV_NODE_STATE_CHANGED, 0, 127, 10)}},
         }},
        {"guarding with a stuck toggle stays lost",
         REQ_GUARD,
         kGuard,
         100,
         3,
         {
             {1000, std::nullopt, {}, 1},
             {1005,
              Hb(kGuard, 0x7F),
              {NodeState(kGuard, KIV_NODE_STATE_CHANGED, 255, 127, kNever)}},
             {1100, std::nullopt, {}, 1},
             {1105, Hb(kGuard, 0x7F), {}},  // toggle 0 again: ignored
             {1200, std::nullopt, {}, 1},
             {1205, Hb(kGuard, 0x7F), {}},
             {1300, std::nullopt, {}, 1},
             {1306, std::nullopt, {NodeState(kGuard, KIV_NODE_GUARDING_LOST, 127, 255, 301)}},
             {1400, std::nullopt, {}, 1},
             {1405, Hb(kGuard, 0x7F), {}},  // the same stuck toggle: not back
             {1500, std::nullopt, {}, 1},
             {1505, Hb(kGuard, 0x7F), {}},
             {1600, std::nullopt, {}, 1},
             {1605, Hb(kGuard, 0xFF), {NodeState(kGuard, KIV_NODE_BACK, 255, 127, 600)}},
             {1700, std::nullopt, {}, 1},
             {1705, Hb(kGuard, 0x7F), {}},  // alternates: valid again
             {1800, std::nullopt, {}, 1},
             {1805, Hb(kGuard, 0x7F), {}},  // stuck once more: ignored
             {1900, std::nullopt, {}, 1},
             {2000, std::nullopt, {}, 1},
             {2006, std::nullopt, {NodeState(kGuard, KIV_NODE_GUARDING_LOST, 127, 255, 301)}},
             // A boot-up brings it back and restarts its toggle.
             {2010, Hb(kGuard, 0x00), {NodeState(kGuard, KIV_NODE_BOOTUP, 255, 0, 305)}},
         }},
        {"guarding never answered",
         REQ_GUARD,
         kGuard,
         100,
         3,
         {
             {1000, std::nullopt, {}, 1},
             {1100, std::nullopt, {}, 1},
             {1300, std::nullopt, {}, 1},  // late: one request, not two
             // Lost 300 ms after guarding began, with the request due.
             {1301, std::nullopt, {NodeState(kGuard, KIV_NODE_GUARDING_LOST, 255, 255, kNever)}},
             {1399, std::nullopt, {}, 0},
             {1400, std::nullopt, {}, 1},
         }},
        {"nothing supervised",
         REQ_STOP,
         kHb,
         0,
         0,
         {
             {1010, Hb(kHb, 0x00), {}},
             {1020, Hb(kHb, 0x05), {}},
             {9000, std::nullopt, {}},
             {9010, Hb(kGuard, 0x85), {}},
         }},
    };
}

TEST(NodeSupervision, Scripts) {
    for (const Script& script : Scripts()) {
        SCOPED_TRACE(script.name);
        Rig rig;
        if (script.type != REQ_STOP) {
            ASSERT_EQ(rig.Configure(script.type, script.node, script.timeMs, script.factor),
                      KIV_OK);
        }
        std::size_t nodeEvents = 0;
        for (const Step& step : script.steps) {
            SCOPED_TRACE(step.at);
            std::vector<KIV_CanFrame> frames;
            std::vector<KIV_Event> expected;
            if (step.frame) {
                frames.push_back(*step.frame);
                KIV_Event own;
                orukiv::DecodeEvent(&*step.frame, &own);
                expected.push_back(own);  // the frame's own event comes first
            }
            expected.insert(expected.end(), step.nodeEvents.begin(), step.nodeEvents.end());
            nodeEvents += step.nodeEvents.size();
            rig.Pass(step.at, frames);

            ASSERT_EQ(rig.events.size(), expected.size());
            for (std::size_t i = 0; i < expected.size(); ++i)
                EXPECT_TRUE(SameEvent(rig.events[i], expected[i])) << "event " << i;
            EXPECT_EQ(rig.sent.size(), step.guardRequests);
            for (const KIV_CanFrame& f : rig.sent) EXPECT_EQ(f, RemoteFrame(0x700u + script.node));
        }
        // A callback asking for the node's state already sees the new one.
        ASSERT_EQ(rig.statusInCallback.size(), nodeEvents);
        std::size_t k = 0;
        for (const Step& step : script.steps)
            for (const KIV_Event& e : step.nodeEvents) {
                const KIV_NodeStatus& s = rig.statusInCallback[k++];
                EXPECT_EQ(s.state, e.body.nodeState.newState) << "at " << step.at;
                EXPECT_EQ(s.alive, e.body.nodeState.newState == 255 ? 0 : 1) << "at " << step.at;
            }
    }
}

bool SameStatus(const KIV_NodeStatus& a, const KIV_NodeStatus& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(NodeSupervision, StatusAcrossModes) {
    Rig rig;
    const KIV_NodeStatus unknown{255, 0, 0, 0, kNever};
    EXPECT_TRUE(SameStatus(rig.Status(kHb), unknown));

    ASSERT_EQ(rig.Configure(REQ_SUPERVISE, kHb, 100), KIV_OK);
    EXPECT_TRUE(SameStatus(rig.Status(kHb), (KIV_NodeStatus{255, 1, 0, 0, kNever})));
    rig.Pass(1010, {Hb(kHb, 0x05)});
    rig.now = 1040;
    EXPECT_TRUE(SameStatus(rig.Status(kHb), (KIV_NodeStatus{5, 1, 1, 0, 30})));

    // Guarding stops the heartbeat time-out and keeps what is known.
    ASSERT_EQ(rig.Configure(REQ_GUARD, kHb, 50, 2), KIV_OK);
    EXPECT_TRUE(SameStatus(rig.Status(kHb), (KIV_NodeStatus{5, 2, 1, 0, 30})));
    rig.Pass(1040);
    EXPECT_EQ(rig.sent.size(), 1u);
    // Stopping heartbeat supervision leaves a guarded node guarded.
    ASSERT_EQ(rig.Configure(REQ_SUPERVISE, kHb, 0), KIV_OK);
    EXPECT_EQ(rig.Status(kHb).mode, KIV_SUPERVISION_GUARDING);
    rig.Pass(1111);  // 101 ms since the heartbeat: lost by guarding's 100
    ASSERT_EQ(rig.events.size(), 1u);
    EXPECT_TRUE(SameEvent(rig.events[0], NodeState(kHb, KIV_NODE_GUARDING_LOST, 5, 255, 101)));
    EXPECT_TRUE(SameStatus(rig.Status(kHb), (KIV_NodeStatus{255, 2, 0, 0, 101})));
    // Stopping forgets the node and sends nothing more.
    ASSERT_EQ(rig.Configure(REQ_GUARD, kHb, 0), KIV_OK);
    EXPECT_TRUE(SameStatus(rig.Status(kHb), unknown));
    EXPECT_EQ(rig.stack()->supervision.active, 0);
    rig.Pass(5000, {Hb(kHb, 0x05)});
    EXPECT_EQ(rig.events.size(), 1u);  // the heartbeat's own event only
    EXPECT_TRUE(rig.sent.empty());
}

TEST(NodeSupervision, RefusedArguments) {
    Rig rig;
    KIV_NodeStatus s{};
    const struct {
        const char* what;
        int32_t result;
    } rows[] = {
        {"supervise node 0", KIV_SuperviseNode(rig.stack(), 0, 100)},
        {"supervise node 128", KIV_SuperviseNode(rig.stack(), 128, 100)},
        {"supervise 2^31 ms", KIV_SuperviseNode(rig.stack(), 1, 0x80000000u)},
        {"guard node 0", KIV_GuardNode(rig.stack(), 0, 100, 3)},
        {"guard node 255", KIV_GuardNode(rig.stack(), 255, 100, 3)},
        {"guard factor 0", KIV_GuardNode(rig.stack(), 1, 100, 0)},
        {"guard life over 2^31 ms", KIV_GuardNode(rig.stack(), 1, 0x01000000u, 128)},
        {"state of node 0", KIV_GetNodeState(rig.stack(), 0, &s)},
        {"state of node 128", KIV_GetNodeState(rig.stack(), 128, &s)},
        {"state into null", KIV_GetNodeState(rig.stack(), 1, nullptr)},
        {"stats into null", KIV_GetStats(rig.stack(), nullptr)},
    };
    for (const auto& row : rows) EXPECT_EQ(row.result, KIV_ERR_PARAM) << row.what;
    // Nothing was queued: the refusals came before the ring.
    EXPECT_EQ(rig.stack()->ring.head, rig.stack()->ring.tail);
}

TEST(Statistics, CountedOnAScriptedExchange) {
    Rig rig;
    KIV_Stats zero;
    std::memset(&zero, 0, sizeof zero);
    KIV_Stats st;
    std::memset(&st, 0xEE, sizeof st);
    ASSERT_EQ(KIV_GetStats(rig.stack(), &st), KIV_OK);
    EXPECT_EQ(std::memcmp(&st, &zero, sizeof st), 0);

    std::vector<KIV_CanFrame> eight;
    for (uint8_t i = 0; i < 8; ++i) eight.push_back(Frame(0x181u + i, {i}));
    rig.Pass(1000, eight);                                   // a full poll
    rig.Pass(1005, {Frame(0x181, {1}), Frame(0x182, {2})});  // not full
    CoRequest input;
    std::memset(&input, 0, sizeof input);
    input.type = REQ_INPUT_FRAME;
    input.payload.frame = Frame(0x701, {5});
    orukiv::DispatchRequest(rig.stack(), &input);

    ASSERT_EQ(rig.Configure(REQ_GUARD, 7, 10, 3), KIV_OK);
    rig.Pass(1010);  // guard request sent
    rig.sendResult = -3;
    rig.Pass(1020);  // guard request fails
    rig.Pass(1030);  // and again
    ASSERT_EQ(rig.Configure(REQ_GUARD, 7, 0), KIV_OK);
    rig.sendResult = 0;

    // Three SDO transfers on three nodes: answered, aborted, unanswered.
    uint8_t buffer[8] = {};
    uint32_t got = 0;
    const uint8_t value[2] = {1, 2};
    CoRequest sdo[3];
    std::memset(sdo, 0, sizeof sdo);
    sdo[0].type = REQ_SDO_READ;
    sdo[0].node = 3;
    sdo[0].payload.sdoRead = {0x1000, 0, buffer, sizeof buffer, &got, nullptr};
    sdo[1].type = REQ_SDO_WRITE;
    sdo[1].node = 4;
    sdo[1].payload.sdoWrite = {0x2000, 1, value, sizeof value, nullptr};
    sdo[2].type = REQ_SDO_READ;
    sdo[2].node = 6;
    sdo[2].payload.sdoRead = {0x1000, 0, buffer, sizeof buffer, &got, nullptr};
    for (CoRequest& r : sdo) ASSERT_TRUE(orukiv::DispatchRequest(rig.stack(), &r));
    rig.Pass(2000);  // the three requests go out
    ASSERT_EQ(rig.sent.size(), 3u);
    rig.Pass(2005, {Sdo(0x583, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0x0F, 0x00}),
                    Sdo(0x584, {0x80, 0x00, 0x20, 0x01, 0x02, 0x00, 0x01, 0x06})});
    rig.Pass(2010);
    rig.Pass(3000);  // the unanswered read times out
    rig.Pass(3005);  // and aborts its transfer
    rig.Pass(3010);
    rig.Pass(3015);
    EXPECT_EQ(sdo[0].result, KIV_OK);
    EXPECT_EQ(sdo[1].result, KIV_ERR_ABORTED);
    EXPECT_EQ(sdo[2].result, KIV_ERR_TIMEOUT);

    ASSERT_EQ(KIV_GetStats(rig.stack(), &st), KIV_OK);
    KIV_Stats want = zero;
    want.framesReceived = 13;
    want.framesSent = 5;
    want.sendFailures = 2;
    want.fullPolls = 1;
    want.sdoCompleted = 1;
    want.sdoTimeouts = 1;
    want.sdoAborts = 1;
    want.lastAbortCode = 0x06010002;
    want.lastAbortNode = 4;
    EXPECT_EQ(std::memcmp(&st, &want, sizeof st), 0)
        << st.framesReceived << " " << st.framesSent << " " << st.sendFailures << " "
        << st.fullPolls << " " << st.sdoCompleted << " " << st.sdoTimeouts << " " << st.sdoAborts
        << " " << std::hex << st.lastAbortCode << " " << std::dec << int{st.lastAbortNode};
}

// Through a running worker: the setters queue, and the queries answer from
// inside the event callback without waiting for the worker that runs it.
class QueryingHost {
public:
    KIV_InitParam Param() {
        KIV_InitParam p;
        std::memset(&p, 0, sizeof p);
        p.canRecv = [](KIV_CanFrame*, uint32_t, void*) -> int32_t { return 0; };
        p.canSend = &QueryingHost::Send;
        p.onEvent = &QueryingHost::OnEvent;
        p.userData = this;
        return p;
    }
    std::atomic<KIV_Handle> handle{nullptr};
    std::atomic<int> guardRequests{0};
    std::mutex m;
    std::vector<KIV_Event> events;
    std::vector<KIV_NodeStatus> status;
    std::vector<KIV_Stats> stats;

private:
    static int32_t Send(const KIV_CanFrame* f, void* user) {
        if (f->rtr && f->id == 0x706) ++static_cast<QueryingHost*>(user)->guardRequests;
        return 0;
    }
    static void OnEvent(const KIV_Event* e, void* user) {
        auto* self = static_cast<QueryingHost*>(user);
        KIV_NodeStatus s{};
        KIV_Stats st{};
        EXPECT_EQ(KIV_GetNodeState(self->handle.load(), 5, &s), KIV_OK);
        EXPECT_EQ(KIV_GetStats(self->handle.load(), &st), KIV_OK);
        std::lock_guard<std::mutex> g(self->m);
        self->events.push_back(*e);
        self->status.push_back(s);
        self->stats.push_back(st);
    }
};

TEST(NodeSupervision, QueriesAnswerInsideCallbacks) {
    QueryingHost host;
    const KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    ASSERT_NE(h, nullptr);
    host.handle = h;
    EXPECT_EQ(KIV_SuperviseNode(h, 5, 60000), KIV_OK);
    EXPECT_EQ(KIV_GuardNode(h, 6, 60000, 2), KIV_OK);
    const KIV_CanFrame hb = Hb(5, 0x05);
    EXPECT_EQ(KIV_InputFrame(h, &hb), KIV_OK);  // its events are in before it returns
    for (int i = 0; i < 10000 && host.guardRequests.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(host.guardRequests.load(), 1);  // once per minute
    EXPECT_EQ(KIV_Destroy(h), KIV_OK);

    ASSERT_EQ(host.events.size(), 2u);
    EXPECT_EQ(host.events[0].type, static_cast<uint32_t>(KIV_EVENT_HEARTBEAT));
    EXPECT_TRUE(SameEvent(host.events[1], NodeState(5, KIV_NODE_STATE_CHANGED, 255, 5, kNever)));
    // During the heartbeat's own event the node was not yet seen; during
    // the node-state event it was.
    EXPECT_EQ(host.status[0].state, 255);
    EXPECT_EQ(host.status[1].state, 5);
    EXPECT_EQ(host.status[1].alive, 1);
    EXPECT_EQ(host.status[1].mode, KIV_SUPERVISION_HEARTBEAT);
    EXPECT_EQ(host.stats[1].framesReceived, 1u);
}

}  // namespace
