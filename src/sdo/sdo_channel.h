// SDO client transfer channels: expedited and segmented upload (read) and
// download (write) over a node's default SDO, with 100 ms re-sends of an
// unanswered frame, a time-out on the server's silence, segments at one per
// worker pass, and an abort frame when a segmented transfer fails on the
// client's side. A read takes whichever protocol the server answers with.
// Transfers with one node are ordered: a segmented exchange has the node to
// itself; expedited transfers to distinct objects may overlap.
// Everything here runs on the instance's worker thread.
#pragma once

#include <cstdint>

#include "orukiv/orukiv.h"

struct CoStack;
struct CoRequest;

namespace orukiv {

constexpr int SDO_CHANNELS = 16;
constexpr uint32_t SDO_RESEND_MS = 100;
// CiA 301 "SDO protocol timed out": the only abort code the library sends.
constexpr uint32_t SDO_ABORT_TIMEOUT = 0x05040000u;

enum SdoState : uint8_t {
    SDO_IDLE = 0,
    SDO_EXPEDITED = 1,
    SDO_SEG_INIT = 2,
    SDO_SEG_DATA = 3,
    SDO_ABORT = 4,
    SDO_FINISH = 5,
};

// How the exchange of the current state ended (set with `finished` by the
// response handlers), which decides the next state.
enum SdoOutcome : uint8_t {
    SDO_OUT_NONE = 0,
    SDO_OUT_NEXT = 1,          // initiate answered: the segments follow
    SDO_OUT_COMPLETE = 2,      // the transfer is complete
    SDO_OUT_SERVER_ABORT = 3,  // the server aborted: nothing more is sent
    SDO_OUT_ERROR = 4,         // the server broke the protocol: the client aborts
};

// One transfer slot. A zero-filled channel is a free channel.
struct SdoChannel {
    uint8_t busy;
    uint8_t state;      // SdoState
    uint8_t nextState;  // differs from state: transition pending
    uint32_t lastSendTick;
    uint32_t firstSendTick;
    uint32_t timeoutMs;
    uint32_t sendCount;
    uint8_t finished;
    int32_t result;
    uint8_t nodeId;
    uint16_t index;
    uint8_t subIndex;
    uint8_t* data;  // upload: destination; download: source (never written)
    uint32_t capacity;
    uint32_t* receivedSize;
    uint32_t* abortCode;  // the caller's abort-code variable, or null
    uint32_t bytesDone;
    uint32_t totalSize;
    uint32_t segmentSize;
    uint8_t toggle;
    uint8_t outcome;    // SdoOutcome
    uint8_t exclusive;  // segmented: the node's other transfers wait
    uint8_t sizeKnown;  // upload: the server announced totalSize
    uint32_t claimSeq;  // claim order, for transfers waiting on one node
    CoStack* stack;
    CoRequest* request;
};

// Claims the lowest free channel of the request's kind: 0, or 3 when all 16
// are busy.
int32_t SdoClaimChannel(CoStack* stack, CoRequest* request);
// Offers one received classic frame to every busy channel.
void SdoOfferFrame(CoStack* stack, const KIV_CanFrame* frame);
void SdoTickUploads(CoStack* stack);
void SdoTickDownloads(CoStack* stack);
void SdoSendAbort(CoStack* stack, uint8_t nodeId, uint16_t index, uint8_t subIndex);
void SdoUploadResponse(SdoChannel* ch, const KIV_CanFrame* frame);
void SdoDownloadResponse(SdoChannel* ch, const KIV_CanFrame* frame);

// Milliseconds elapsed from `since` to `now` by the library's wrap rule: the
// plain difference, less one when the tick count has wrapped.
uint32_t SdoElapsed(uint32_t now, uint32_t since);

}  // namespace orukiv
