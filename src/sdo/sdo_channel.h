// SDO client transfer channels: expedited, segmented and block upload (read)
// and download (write) over a node's default SDO, with re-sends of an
// unanswered frame (every 100 ms unless KIV_SetSdoRetry says otherwise), a
// time-out on the server's silence, and an abort frame when a segmented or
// block transfer fails on the client's side. A read takes whichever protocol
// the server answers with.
//
// Each channel is one state machine of one direction (`upload`, fixed when
// it is claimed): `state` is its only state, and Advance() (sdo_channel.cpp)
// is the one place where it changes, by the transition table NextState().
// Response handlers and the states' work only record how the current
// exchange ended (`outcome`); the table turns that into the next state.
//
// Transfers with one node are ordered: a segmented or block exchange has the
// node to itself; expedited transfers to distinct objects may overlap unless
// the instance keeps one transfer per node. Everything here runs on the
// instance's worker thread.
#pragma once

#include <cstdint>

#include "orukiv/orukiv.h"
#include "stack/cia301.h"

struct CoStack;
struct CoRequest;

namespace orukiv {

constexpr int SDO_CHANNELS = 16;
constexpr uint32_t SDO_RESEND_MS = 100;
constexpr uint32_t SDO_RESEND_UNLIMITED = 0xFFFFFFFFu;
// CiA 301 "SDO protocol timed out": the client's abort on a time-out and on
// segment sizes that disagree with the announced size.
constexpr uint32_t SDO_ABORT_TIMEOUT = cia301::kAbortTimeout;
// The client's abort of a cancelled transfer ("general error").
constexpr uint32_t SDO_ABORT_CANCELLED = 0x08000000u;
// The client's abort of a read whose announced size is above the buffer
// ("length of service parameter too high").
constexpr uint32_t SDO_ABORT_TOO_LONG = 0x06070012u;

// The states of a channel. IDLE, ABORT and FINISH are shared; every other
// state belongs to one direction and is named with it (UP: upload, read;
// DN: download, write).
enum SdoState : uint8_t {
    SDO_IDLE = 0,    // claimed, waiting to start (a free channel when !busy)
    SDO_ABORT = 1,   // the client's abort frame goes out
    SDO_FINISH = 2,  // over: the caller is released next

    SDO_UP_EXPEDITED = 3,  // initiate request, expedited answer awaited
    SDO_UP_SEG_INIT = 4,   // initiate request of a read into 5 bytes or more
    SDO_UP_SEG_DATA = 5,   // segment requests, one per exchange
    SDO_UP_BLK_INIT = 6,   // block initiate (sdo_block.cpp)
    SDO_UP_BLK_DATA = 7,   // sub-blocks taken, each acknowledged, up to the end frame
    SDO_UP_BLK_END = 8,    // the server's end frame taken: the client's answer goes out

    SDO_DN_EXPEDITED = 9,  // expedited write, its answer awaited
    SDO_DN_SEG_INIT = 10,  // initiate of a segmented write
    SDO_DN_SEG_DATA = 11,  // segments, one per exchange
    SDO_DN_BLK_INIT = 12,  // block initiate (sdo_block.cpp)
    SDO_DN_BLK_DATA = 13,  // sub-blocks sent, each acknowledgement awaited
    SDO_DN_BLK_END = 14,   // the client's end frame sent, its answer awaited
};

// How the exchange of the current state ended; NONE while it runs.
enum SdoOutcome : uint8_t {
    SDO_OUT_NONE = 0,
    SDO_OUT_NEXT = 1,          // answered: the protocol's next phase follows
    SDO_OUT_COMPLETE = 2,      // the transfer is complete
    SDO_OUT_SERVER_ABORT = 3,  // the server aborted: nothing more is sent
    SDO_OUT_ERROR = 4,         // the server broke the protocol: the client aborts
    SDO_OUT_TIMEOUT = 5,       // the server stayed silent too long
    SDO_OUT_SEGMENTED = 6,     // block initiate answered by a segmented upload
    SDO_OUT_FALLBACK = 7,      // block refused: the same call goes segmented
    SDO_OUT_REFUSED = 8,       // the client refuses to go on: it aborts, result kept
};

// The block transfer's part of a channel (sdo_block.cpp).
struct SdoBlockPart {
    uint8_t blkSize;         // segments per sub-block (ours on upload, the server's on download)
    uint8_t seqNo;           // upload: last good seqno; download: last seqno sent
    uint8_t crcOn;           // both sides check the CRC
    uint8_t ackDue;          // upload: our acknowledgement is due; download: the
                             // sub-block is out, the server's acknowledgement awaited
    uint8_t lastSeen;        // upload: the segment with c = 1 was taken
    uint8_t heldBytes;       // upload: bytes in `held` (the last good segment)
    uint8_t switchLimit;     // upload: protocol-switch threshold sent
    uint16_t crc;            // upload: CRC of the data before `held`
    uint8_t held[7];         // upload: the last good segment, its padding unknown yet
    uint32_t subBlockStart;  // bytesDone when the sub-block began
    uint32_t sentHigh;       // download: data sent at least once, in bytes
    uint32_t framesPerPass;  // download: segments sent per worker pass
};

// One transfer slot. A zero-filled channel is a free channel.
struct SdoChannel {
    // The slot and its state machine.
    uint8_t busy;
    uint8_t upload;       // the direction: 1 upload (read), 0 download (write)
    uint8_t state;        // SdoState
    uint8_t nextState;    // differs from state: NextState() decided, applied next
    uint8_t outcome;      // SdoOutcome of the current exchange
    uint8_t exclusive;    // segmented or block: the node's other transfers wait
    uint8_t block;        // requested as a block transfer
    uint32_t claimSeq;    // claim order, for transfers waiting on one node
    uint32_t cancelMark;  // the node's cancel mark when the call was made

    // The request: object, the caller's memory and where results go.
    uint8_t nodeId;
    uint8_t subIndex;
    uint16_t index;
    uint8_t* data;  // upload: destination; download: source (never written)
    uint32_t capacity;
    uint32_t* receivedSize;
    uint8_t* unsized;     // set to 1 for an expedited answer without size
    uint32_t* abortCode;  // the caller's abort-code variable, or null
    CoStack* stack;
    CoRequest* request;

    // Settings copied when claimed.
    uint32_t timeoutMs;
    uint32_t resendMs;    // re-send period of an unanswered frame
    uint32_t maxResends;  // re-sends allowed per frame
    uint8_t refuseLong;   // upload: an announced size above capacity ends the read

    // The current exchange.
    uint32_t lastSendTick;
    uint32_t firstSendTick;
    uint32_t sendCount;
    uint32_t initSends;  // initiate frames sent (re-sends included)

    // The data moved.
    uint32_t bytesDone;
    uint32_t totalSize;
    uint32_t segmentSize;
    uint8_t toggle;
    uint8_t sizeKnown;  // upload: the server announced totalSize

    // How the transfer ends.
    int32_t result;
    uint32_t serverAbortCode;  // the server's abort code, once it aborted
    uint32_t clientAbortCode;  // what SDO_ABORT sends

    SdoBlockPart blk;

    uint32_t progressDone;  // bytes last reported to the progress callback
    KIV_ProgressFn progress;
    void* progressUser;
};

// An answer that re-sent copies of a finished write may still draw: the
// node's next write of that object waits until `copies` such answers came or
// `timeoutMs` passed since the last copy.
struct SdoEcho {
    uint8_t nodeId;
    uint8_t subIndex;
    uint16_t index;
    uint32_t copies;
    uint32_t sinceTick;
    uint32_t timeoutMs;
};
constexpr int SDO_ECHOES = 2 * SDO_CHANNELS;

// Per-instance SDO settings (KIV_SetSdoRetry, KIV_SetSdoOneTransferPerNode,
// KIV_SetBlockTransfer, KIV_SetTransferProgress): written under the
// instance mutex, copied into a channel when it is claimed.
struct SdoSettings {
    uint32_t resendMs;
    uint32_t maxResends;
    uint32_t onePerNode;
    uint32_t blockSize;
    uint32_t switchThreshold;
    uint32_t framesPerPass;
    uint32_t refuseLong;  // KIV_SetSdoRefuseLongReads
    KIV_ProgressFn progress;
    void* progressUser;
};
void SdoDefaultSettings(SdoSettings* s);

// Claims the lowest free channel of the request's kind: 0, or 3 when all 16
// are busy.
int32_t SdoClaimChannel(CoStack* stack, CoRequest* request);
// Offers one received classic frame to every busy channel.
void SdoOfferFrame(CoStack* stack, const KIV_CanFrame* frame);
void SdoTickUploads(CoStack* stack);
void SdoTickDownloads(CoStack* stack);
// Sends the client's abort frame with `code`; the send callback's result.
int32_t SdoSendAbort(CoStack* stack, uint8_t nodeId, uint16_t index, uint8_t subIndex,
                     uint32_t code = SDO_ABORT_TIMEOUT);
// Offers one frame to one channel of either direction.
void SdoChannelResponse(SdoChannel* ch, const KIV_CanFrame* frame);

// Milliseconds elapsed from `since` to `now` by the library's wrap rule: the
// plain difference, less one when the tick count has wrapped.
uint32_t SdoElapsed(uint32_t now, uint32_t since);

// ---- Shared with sdo_block.cpp ---------------------------------------------
// Ends the current exchange with `outcome`; a result of KIV_OK keeps none.
void SdoFinish(SdoChannel& ch, int32_t result, SdoOutcome outcome);
// Upload, when the instance refuses long reads (KIV_SetSdoRefuseLongReads):
// when the server announced a size above the caller's capacity, ends
// the read at once: the client aborts (0x06070012), the result stays 0 and
// *received is capacity, as for any longer object. True when it did.
bool SdoRefuseTooLong(SdoChannel& ch);
// Ends it because the server broke the protocol: the client aborts with code.
void SdoProtocolError(SdoChannel& ch, uint32_t code);
// Ends the exchange with a time-out when the server has been silent for the
// SDO time-out since firstSendTick (sendCount not 0); logs it.
bool SdoTimedOut(SdoChannel& ch, uint32_t now);
// The one place that packs and matches the SDO header (command byte, index,
// sub-index) of a channel's frames.
// A zero-filled 8-byte frame to the node's server, command byte and object.
void SdoStartFrame(const SdoChannel& ch, KIV_CanFrame* f, uint8_t command);
// The same with the object bytes left zero: a frame that names no object.
void SdoBareFrame(const SdoChannel& ch, KIV_CanFrame* f, uint8_t command);
// True when the frame names the channel's object.
bool SdoMatchesObject(const SdoChannel& ch, const KIV_CanFrame* f);

// Block transfer (sdo_block.cpp): the initiate and end frames re-sent by the
// common send-and-wait step, the data phase's work, and the answers.
void BlockBuildFrame(SdoChannel& ch, KIV_CanFrame* f);
void BlockDataWork(SdoChannel& ch, bool quick);
void BlockUploadEndWork(SdoChannel& ch);
void BlockUploadResponse(SdoChannel& ch, const KIV_CanFrame* f);
void BlockDownloadResponse(SdoChannel& ch, const KIV_CanFrame* f);

}  // namespace orukiv
