// Node supervision: heartbeat consumer and node-guarding master. The worker
// owns the per-node records; what the queries may read is published in one
// atomic word per node, so KIV_GetNodeState takes no lock and never waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "orukiv/orukiv.h"
#include "stack/cia301.h"

struct CoStack;
struct CoRequest;

namespace orukiv {

// Worker-only record of one node.
struct SupervisedNode {
    uint8_t mode;          // KIV_SupervisionMode
    uint8_t state;         // KIV_NmtState; 255 unknown
    bool seen;             // a valid frame has arrived since supervision began
    bool lost;             // declared lost, event sent, not back yet
    uint8_t expectToggle;  // guarding: toggle bit of the next answer; 2 either
    uint8_t lastToggle;    // guarding: toggle of the last answer seen, valid or
                           // not; 2 none since the call or the boot-up
    uint32_t lifeMs;       // heartbeat time-out, or guard time x life time factor
    uint32_t guardTimeMs;  // guarding period
    uint32_t lastTick;     // tick of the last valid frame (when seen)
    uint32_t startTick;    // guarding: when it began (loss before any answer)
    uint32_t nextGuardTick;
};

struct NodeSupervision {
    // Nodes with a mode: 0 keeps both worker hooks to one test and branch.
    int32_t active;
    // Tick at or after which the worker next has something to do (a guard
    // request or a loss to declare); frames only push deadlines later, so
    // this stays a safe lower bound between scans.
    uint32_t nextDue;
    // The tick of this pass, read once by the first supervised frame or the
    // pass's check; the check ends its validity.
    uint32_t passTick;
    bool passTickValid;
    SupervisedNode nodes[cia301::kMaxNodeId + 1];  // index = node id; 0 unused
    // Per node: last tick (bits 32..63), seen (bit 24), alive (bit 16), mode
    // (bits 8..15), state (bits 0..7, with bit 25 set when known). Zero is a
    // node never seen and not supervised.
    std::atomic<uint64_t> published[cia301::kMaxNodeId + 1];
};

// Worker: carries out a REQ_SUPERVISE or REQ_GUARD request; its result.
int32_t SupervisionConfigure(CoStack* stack, const CoRequest* request);
// Worker: a received frame of a supervised node, after the frame's event.
void SupervisionOnFrame(CoStack* stack, const KIV_CanFrame* frame);
// Worker: loss checks and guard requests, once per pass.
void SupervisionDue(CoStack* stack);

}  // namespace orukiv
