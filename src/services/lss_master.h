// LSS master (CiA 305): the worker's side of the KIV_LSS_ exports. Each
// export queues one request that carries a whole LSS service (a switch
// selective is four frames and an answer, a fastscan up to 133 queries);
// the worker runs one service at a time and keeps the others waiting in
// order of arrival, so that no two services' frames interleave on the bus.
#pragma once

#include <cstdint>

#include "orukiv/orukiv.h"

struct CoStack;
struct CoRequest;

namespace orukiv {

enum LssService : uint8_t {
    LSS_SWITCH_GLOBAL = 1,
    LSS_SWITCH_SELECTIVE,
    LSS_CONFIGURE_NODE_ID,
    LSS_CONFIGURE_BIT_TIMING,
    LSS_ACTIVATE_BIT_TIMING,
    LSS_STORE,
    LSS_INQUIRE_IDENTITY,
    LSS_INQUIRE_NODE_ID,
    LSS_IDENTIFY_NON_CONFIGURED,
    LSS_FASTSCAN,
    LSS_PROBE_NODE,  // internal: does a node answer an SDO upload of 0x1000?
};

constexpr uint32_t kLssDefaultTimeoutMs = 1000;
constexpr uint32_t kFastscanDefaultStepMs = 20;
// After the first answer to an inquiry, how long other answers are awaited
// at least (the inquiry is ambiguous when one comes).
constexpr uint32_t kInquirySettleMs = 20;
// How long a node-ID probe waits for the node's answer.
constexpr uint32_t kProbeWaitMs = 50;

// Worker-owned state of the service in progress.
struct LssMaster {
    CoRequest* active;    // the service in progress, or null
    CoRequest* waitHead;  // services waiting, linked through payload.lss.next
    CoRequest* waitTail;
    uint8_t step;       // the service's own step counter
    uint8_t expectCs;   // answer awaited (0: none)
    uint8_t answers;    // answers seen to the frame in flight
    uint8_t answer[8];  // the first of them
    uint32_t sentTick;  // when the frame in flight went out
    uint32_t waitMs;    // how long its answer may take
    bool fullWait;      // wait the whole time even after an answer
    uint32_t expectId;  // identifier of the answers (0: 0x7E4)
    // Inquiries: after the first answer (at firstTick), others are awaited
    // settleMs more (0: none).
    uint32_t firstTick;
    uint32_t settleMs;
    // Fastscan: the identity found so far, the part and bit being checked,
    // and whether the careful second attempt is under way.
    // careful: every query waits its whole step (several slaves answer at
    // different moments); answeredTick: when the last answered query went
    // out; hinting: the part being tried is the previous scan's.
    uint32_t value[4];
    uint8_t sub;
    uint8_t bit;
    bool retried;
    bool careful;
    bool hinting;
    uint32_t answeredTick;
    // The identity the last successful fastscan found: its vendor, product
    // and revision are tried first by the next scan.
    bool lastValid;
    uint32_t last[4];
};

// Worker: takes a REQ_LSS request; it is completed later, when its service
// ends (always true: the worker must not release the caller itself).
bool LssDispatch(CoStack* stack, CoRequest* request);
// Worker: a received frame (answers on 0x7E4 to the frame in flight).
void LssOfferFrame(CoStack* stack, const KIV_CanFrame* frame);
// Worker, once a pass: ends the services KIV_Cancel(h, 0) reached, and
// moves the service in progress on when its answer came or its wait ran
// out.
void LssDue(CoStack* stack);
// The worker has ended: completes the service in progress and the waiting
// ones with `result`.
void LssReleaseAll(CoStack* stack, int32_t result);

// Caller's thread (as the exports): a fastscan that also tells whether any
// slave answered its first query (*resetAnswered 1), and a probe that tells
// whether node answers an SDO upload of 0x1000 within waitMs (*inUse 1).
// Both end with KIV_ERR_CANCELLED once KIV_Cancel(h, 0) changed cancelMark
// (CancelMark(h, 0) when the caller's work began).
int32_t LssFastscan(KIV_Handle handle, uint32_t stepMs, uint32_t found[4], uint8_t* resetAnswered,
                    uint32_t cancelMark);
int32_t LssProbeNode(KIV_Handle handle, uint8_t node, uint32_t waitMs, uint8_t* inUse,
                     uint32_t cancelMark);

}  // namespace orukiv
