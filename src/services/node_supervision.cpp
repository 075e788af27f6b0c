// Heartbeat consumer and node-guarding master: KIV_SuperviseNode,
// KIV_GuardNode, KIV_GetNodeState and the worker's side of both (frames of
// supervised nodes, loss checks, guard requests, node-state events).
#include "services/node_supervision.h"

#include <cstring>

#include "instance/co_stack.h"
#include "log/log.h"
#include "stack/cia301.h"
#include "stack/service.h"

namespace orukiv {

namespace {

using cia301::kCobNodeControlBase;
using cia301::kMaxNodeId;
constexpr uint32_t kNeverMs = 0xFFFFFFFFu;
constexpr uint32_t kLongestLifeMs = 0x7FFFFFFFu;
// With nothing due, the worker looks again after this long all the same.
constexpr uint32_t kIdleRescanMs = 60000;
constexpr uint8_t kEitherToggle = 2;

constexpr uint64_t kSeenBit = 1ull << 24;
constexpr uint64_t kStateKnownBit = 1ull << 25;
constexpr uint64_t kAliveBit = 1ull << 16;

// True once `now` has reached `due` (wrap-safe within 2^31 ms).
bool Reached(uint32_t now, uint32_t due) {
    return static_cast<int32_t>(now - due) >= 0;
}

void Earlier(uint32_t& due, uint32_t candidate) {
    if (static_cast<int32_t>(candidate - due) < 0) due = candidate;
}

bool KnownState(uint8_t s) {
    return s == KIV_NMT_STATE_STOPPED || s == KIV_NMT_STATE_OPERATIONAL ||
           s == KIV_NMT_STATE_PRE_OPERATIONAL;
}

// The worker reads the clock at most once a pass for supervision: frames of
// one pass all count as arriving at the tick of the first.
uint32_t PassTick(CoStack* stack) {
    NodeSupervision& sup = stack->supervision;
    if (!sup.passTickValid) {
        sup.passTick = StackTick(stack);
        sup.passTickValid = true;
    }
    return sup.passTick;
}

SupervisedNode Fresh() {
    SupervisedNode n;
    std::memset(&n, 0, sizeof n);
    n.state = KIV_NMT_STATE_UNKNOWN;
    n.expectToggle = kEitherToggle;
    n.lastToggle = kEitherToggle;
    return n;
}

void Publish(CoStack* stack, int id) {
    const SupervisedNode& n = stack->supervision.nodes[id];
    uint64_t w = static_cast<uint64_t>(n.lastTick) << 32 | static_cast<uint64_t>(n.mode) << 8;
    if (n.seen) w |= kSeenBit;
    if (n.seen && !n.lost) w |= kAliveBit;
    if (n.state != KIV_NMT_STATE_UNKNOWN) w |= kStateKnownBit | n.state;
    stack->supervision.published[id].store(w, std::memory_order_release);
}

void Emit(CoStack* stack, int id, uint8_t oldState, uint8_t newState, uint8_t cause,
          uint32_t sinceLastMs) {
    if (stack->onEvent == nullptr || !HostReachable(stack)) return;
    KIV_Event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = KIV_EVENT_NODE_STATE;
    ev.node = static_cast<uint8_t>(id);
    ev.body.nodeState.oldState = oldState;
    ev.body.nodeState.newState = newState;
    ev.body.nodeState.cause = cause;
    ev.body.nodeState.sinceLastMs = sinceLastMs;
    stack->onEvent(&ev, stack->userData);
}

void SendGuardRequest(CoStack* stack, int id) {
    KIV_CanFrame f;
    std::memset(&f, 0, sizeof f);
    f.id = kCobNodeControlBase + static_cast<uint32_t>(id);
    f.rtr = 1;
    (void)SendFrame(stack, &f);
}

// Checks one supervised node at `now`: sends its guard request when due,
// declares it lost when its life time has run out, and lowers `next` to the
// node's next deadline.
void CheckNode(CoStack* stack, int id, uint32_t now, uint32_t& next) {
    SupervisedNode& n = stack->supervision.nodes[id];
    const bool guarding = n.mode == KIV_SUPERVISION_GUARDING;
    if (guarding) {
        if (Reached(now, n.nextGuardTick)) {
            SendGuardRequest(stack, id);
            n.nextGuardTick += n.guardTimeMs;
            // A pass that came late must not bring a burst of requests.
            if (Reached(now, n.nextGuardTick)) n.nextGuardTick = now + n.guardTimeMs;
        }
        Earlier(next, n.nextGuardTick);
    }
    if (n.lost) return;
    uint32_t from;
    if (n.seen) {
        from = n.lastTick;
    } else if (guarding) {
        from = n.startTick;  // asked, never answered
    } else {
        return;  // a heartbeat is watched from its first frame on
    }
    const uint32_t elapsed = ElapsedMs(now, from);
    if (elapsed <= n.lifeMs) {
        Earlier(next, from + n.lifeMs + 1);
        return;
    }
    const uint8_t oldState = n.state;
    n.lost = true;
    n.state = KIV_NMT_STATE_UNKNOWN;
    // A node whose toggle is stuck must not come back with its next answer
    // and be lost again a life time later, over and over: it is back only
    // on an answer that alternates with the last one seen (or a boot-up).
    if (guarding)
        n.expectToggle =
            n.lastToggle == kEitherToggle ? kEitherToggle : static_cast<uint8_t>(n.lastToggle ^ 1);
    Publish(stack, id);
    Emit(stack, id, oldState, KIV_NMT_STATE_UNKNOWN,
         guarding ? KIV_NODE_GUARDING_LOST : KIV_NODE_HEARTBEAT_LOST, n.seen ? elapsed : kNeverMs);
}

}  // namespace

int32_t SupervisionConfigure(CoStack* stack, const CoRequest* request) {
    NodeSupervision& sup = stack->supervision;
    const int id = request->node;
    if (!cia301::IsNodeId(request->node)) return KIV_ERR_PARAM;
    SupervisedNode& n = sup.nodes[id];
    const bool guard = request->type == REQ_GUARD;
    const uint8_t mode = guard ? KIV_SUPERVISION_GUARDING : KIV_SUPERVISION_HEARTBEAT;
    const uint32_t timeMs = request->payload.supervise.timeMs;
    const uint64_t lifeMs =
        guard ? static_cast<uint64_t>(timeMs) * request->payload.supervise.lifeTimeFactor : timeMs;
    if (timeMs == 0) {
        // Stops this kind of supervision only, and forgets the node.
        if (n.mode == mode) {
            n = Fresh();
            --sup.active;
            Publish(stack, id);
        }
        return KIV_OK;
    }
    if (lifeMs == 0 || lifeMs > kLongestLifeMs) return KIV_ERR_PARAM;

    const uint32_t now = StackTick(stack);
    sup.passTickValid = false;  // a tick kept from before may be stale
    if (n.mode == KIV_SUPERVISION_NONE) {
        n = Fresh();
        ++sup.active;
    }
    n.mode = mode;
    n.lifeMs = static_cast<uint32_t>(lifeMs);
    if (guard) {
        n.guardTimeMs = timeMs;
        n.startTick = now;
        n.nextGuardTick = now;
        n.expectToggle = kEitherToggle;
    } else {
        n.guardTimeMs = 0;
    }
    Publish(stack, id);
    sup.nextDue = now;  // look at every node in this pass's check
    return KIV_OK;
}

void SupervisionOnFrame(CoStack* stack, const KIV_CanFrame* frame) {
    if (frame->rtr || frame->dlc == 0 || frame->id <= kCobNodeControlBase ||
        frame->id > kCobNodeControlBase + kMaxNodeId)
        return;
    const int id = static_cast<int>(frame->id - kCobNodeControlBase);
    NodeSupervision& sup = stack->supervision;
    SupervisedNode& n = sup.nodes[id];
    if (n.mode == KIV_SUPERVISION_NONE) return;

    const uint8_t b = frame->data[0];
    if (n.mode == KIV_SUPERVISION_HEARTBEAT && b == n.state && b != 0 && n.seen && !n.lost) {
        // The common case: a watched node's heartbeat with the same state.
        n.lastTick = PassTick(stack);
        Publish(stack, id);
        return;
    }
    const bool bootup = b == 0;
    const auto state = static_cast<uint8_t>(b & 0x7F);
    if (bootup) {
        n.expectToggle = kEitherToggle;  // the node starts its toggle afresh
        n.lastToggle = kEitherToggle;
    } else {
        if (!KnownState(state)) return;  // not a valid frame: no sign of life
        if (n.mode == KIV_SUPERVISION_GUARDING) {
            const auto toggle = static_cast<uint8_t>(b >> 7);
            const uint8_t expected = n.expectToggle;
            n.lastToggle = toggle;
            if (expected != kEitherToggle && toggle != expected) {
                Log().Warn("kiv node %d guarding toggle error", id);
                return;
            }
            n.expectToggle = static_cast<uint8_t>(toggle ^ 1);
        }
    }

    const uint32_t now = PassTick(stack);
    const uint32_t sinceLast = n.seen ? now - n.lastTick : kNeverMs;
    const uint8_t oldState = n.state;
    const bool wasLost = n.lost;
    const bool wasWatched = n.seen && !n.lost;
    n.seen = true;
    n.lost = false;
    n.lastTick = now;
    n.state = bootup ? static_cast<uint8_t>(KIV_NMT_STATE_BOOTUP) : state;
    Publish(stack, id);
    if (!wasWatched) Earlier(sup.nextDue, now + n.lifeMs + 1);

    uint8_t cause;
    if (bootup) {
        cause = KIV_NODE_BOOTUP;
    } else if (wasLost) {
        cause = KIV_NODE_BACK;
    } else if (oldState != n.state) {
        cause = KIV_NODE_STATE_CHANGED;
    } else {
        return;
    }
    Emit(stack, id, oldState, n.state, cause, sinceLast);
}

void SupervisionDue(CoStack* stack) {
    NodeSupervision& sup = stack->supervision;
    const uint32_t now = PassTick(stack);
    sup.passTickValid = false;
    if (!Reached(now, sup.nextDue)) return;
    uint32_t next = now + kIdleRescanMs;
    for (int id = 1; id <= kMaxNodeId; ++id)
        if (sup.nodes[id].mode != KIV_SUPERVISION_NONE) CheckNode(stack, id, now, next);
    sup.nextDue = next;
}

namespace {

constexpr int32_t kRequestTypes[] = {REQ_SUPERVISE, REQ_GUARD};

bool Dispatch(StackCore* core, CoRequest* request) {
    request->result = SupervisionConfigure(Instance(core), request);
    return false;
}
// Node-state events follow the frame's own event.
void OnFrame(StackCore* core, const KIV_CanFrame* frame) {
    CoStack* stack = Instance(core);
    if (HostReachable(stack) && stack->supervision.active != 0) SupervisionOnFrame(stack, frame);
}
void Due(StackCore* core) {
    CoStack* stack = Instance(core);
    if (stack->supervision.active != 0) SupervisionDue(stack);
}

}  // namespace

extern const Service kSupervisionService = {
    "node supervision",
    kRequestTypes,
    std::size(kRequestTypes),
    Dispatch,
    kCobNodeControlBase + cia301::kMinNodeId,
    kCobNodeControlBase + kMaxNodeId,
    OnFrame,
    Due,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace orukiv

using namespace orukiv;

namespace {

int32_t SubmitSupervision(KIV_Handle handle, CoRequestType type, uint8_t node, uint32_t timeMs,
                          uint8_t lifeTimeFactor, const char* exportName) {
    CoRequest r;
    std::memset(&r, 0, sizeof r);
    r.type = type;
    r.node = node;
    r.payload.supervise.timeMs = timeMs;
    r.payload.supervise.lifeTimeFactor = lifeTimeFactor;
    return SubmitRequest(handle, &r, exportName);
}

}  // namespace

extern "C" {

int32_t KIV_SuperviseNode(KIV_Handle handle, uint8_t node, uint32_t heartbeatTimeoutMs) {
    if (handle == nullptr || !cia301::IsNodeId(node) || heartbeatTimeoutMs > kLongestLifeMs)
        return KIV_ERR_PARAM;
    return SubmitSupervision(handle, REQ_SUPERVISE, node, heartbeatTimeoutMs, 0,
                             "KIV_SuperviseNode");
}

int32_t KIV_GuardNode(KIV_Handle handle, uint8_t node, uint32_t guardTimeMs,
                      uint8_t lifeTimeFactor) {
    if (handle == nullptr || !cia301::IsNodeId(node)) return KIV_ERR_PARAM;
    if (guardTimeMs != 0 && (lifeTimeFactor == 0 ||
                             static_cast<uint64_t>(guardTimeMs) * lifeTimeFactor > kLongestLifeMs))
        return KIV_ERR_PARAM;
    return SubmitSupervision(handle, REQ_GUARD, node, guardTimeMs, lifeTimeFactor, "KIV_GuardNode");
}

int32_t KIV_GetNodeState(KIV_Handle handle, uint8_t node, KIV_NodeStatus* status) {
    if (handle == nullptr || status == nullptr || !cia301::IsNodeId(node)) return KIV_ERR_PARAM;
    const uint64_t w = handle->supervision.published[node].load(std::memory_order_acquire);
    KIV_NodeStatus out;
    std::memset(&out, 0, sizeof out);
    out.state = (w & kStateKnownBit) != 0 ? static_cast<uint8_t>(w & 0xFF)
                                          : static_cast<uint8_t>(KIV_NMT_STATE_UNKNOWN);
    out.mode = static_cast<uint8_t>(w >> 8 & 0xFF);
    out.alive = (w & kAliveBit) != 0 ? 1 : 0;
    out.sinceLastMs =
        (w & kSeenBit) != 0 ? StackTick(handle) - static_cast<uint32_t>(w >> 32) : kNeverMs;
    *status = out;
    return KIV_OK;
}

}  // extern "C"
