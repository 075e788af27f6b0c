// SDO client channels: claim, tick (send, re-send, time-out, state changes)
// and the response handlers. Runs on the worker thread only, so nothing here
// is locked.
#include "sdo/sdo_channel.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "log/log.h"
#include "sdo/sdo_abort_codes.h"
#include "stack/cia301.h"
#include "stack/co_stack.h"
#include "stack/worker_timing.h"

namespace orukiv {

namespace {

constexpr uint32_t kCobSdoRx = cia301::kCobSdoRxBase;  // client to server
constexpr uint32_t kCobSdoTx = cia301::kCobSdoTxBase;  // server to client
constexpr uint32_t kNoTick = 0xFFFFFFFFu;

bool MatchesObject(const SdoChannel& ch, const KIV_CanFrame* f) {
    return f->data[1] == (ch.index & 0xFF) && f->data[2] == (ch.index >> 8) &&
           f->data[3] == ch.subIndex;
}

uint32_t Le32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

using cia301::kScsInitiateUpload;
using cia301::kScsUploadSegment;
constexpr uint8_t kCmdAbort = cia301::kSdoAbort;

void Finish(SdoChannel& ch, int32_t result, SdoOutcome outcome) {
    ch.result = result;
    ch.outcome = outcome;
    ch.finished = 1;
}

// A server abort naming the channel's object ends the transfer in any state
// with KIV_ERR_ABORTED; the client sends no abort of its own.
void TakeServerAbort(SdoChannel& ch, const KIV_CanFrame* f, bool upload) {
    const uint32_t code = Le32(&f->data[4]);
    const char* meaning = SdoAbortMeaning(code);
    Log().Warn("sdo server abort<0x%08x> node %d obj<0x%04x,%d> %s: %s", code,
               static_cast<int>(ch.nodeId), static_cast<int>(ch.index),
               static_cast<int>(ch.subIndex), upload ? "read" : "write",
               meaning != nullptr ? meaning : "unknown abort code");
    if (!upload && ch.state == SDO_EXPEDITED)
        Log().Error("sdo fast write size:%d byte fail, rec abort", static_cast<int>(ch.totalSize));
    if (ch.abortCode != nullptr) *ch.abortCode = code;
    ch.serverAbortCode = code;
    Finish(ch, KIV_ERR_ABORTED, SDO_OUT_SERVER_ABORT);
}

// Claims are numbered; a wrapped counter still orders nearby claims.
bool ClaimedBefore(const SdoChannel& a, const SdoChannel& b) {
    return static_cast<int32_t>(a.claimSeq - b.claimSeq) < 0;
}

bool SameObject(const SdoChannel& a, const SdoChannel& b) {
    return a.index == b.index && a.subIndex == b.subIndex;
}

// Whether a claimed transfer may send its first frame now: claims of one
// node start in order; a segmented exchange has the node to itself; two
// expedited transfers overlap only on distinct objects, or as reads of one
// object (which share one answer).
bool MayStart(CoStack* stack, const SdoChannel& ch, bool upload) {
    for (int pool = 0; pool < 2; ++pool) {
        const bool otherUpload = pool == 0;
        const SdoChannel* slots = otherUpload ? stack->sdoUpload : stack->sdoDownload;
        for (int i = 0; i < SDO_CHANNELS; ++i) {
            const SdoChannel& o = slots[i];
            if (&o == &ch || !o.busy || o.nodeId != ch.nodeId) continue;
            if (o.state == SDO_IDLE) {
                if (ClaimedBefore(o, ch)) return false;  // waiting longer
                continue;
            }
            if (ch.exclusive || o.exclusive) return false;
            if (SameObject(ch, o) && !(upload && otherUpload)) return false;
        }
    }
    return true;
}

void StartFrame(const SdoChannel& ch, KIV_CanFrame* f, uint8_t command) {
    std::memset(f, 0, sizeof *f);
    f->id = kCobSdoRx + ch.nodeId;
    f->dlc = 8;
    f->data[0] = command;
    f->data[1] = static_cast<uint8_t>(ch.index & 0xFF);
    f->data[2] = static_cast<uint8_t>(ch.index >> 8);
    f->data[3] = ch.subIndex;
}

// Data bytes of the next download segment: 7 while more follow.
uint32_t NextSegmentLength(const SdoChannel& ch) {
    return ch.bytesDone + 7 < ch.totalSize ? 7u : ch.totalSize - ch.bytesDone;
}

void BuildFrame(SdoChannel& ch, bool upload, KIV_CanFrame* f) {
    switch (ch.state) {
        case SDO_EXPEDITED:
            if (upload) {
                StartFrame(ch, f, 0x40);
            } else {
                const uint32_t n = std::min<uint32_t>(ch.totalSize, 4);
                StartFrame(ch, f, static_cast<uint8_t>(0x23 | ((4 - n) << 2)));
                if (ch.data != nullptr) std::memcpy(&f->data[4], ch.data, n);
            }
            break;
        case SDO_SEG_INIT:
            if (upload) {
                StartFrame(ch, f, 0x40);
            } else {
                StartFrame(ch, f, 0x21);
                for (int i = 0; i < 4; ++i)
                    f->data[4 + i] = static_cast<uint8_t>(ch.totalSize >> (8 * i));
            }
            break;
        case SDO_SEG_DATA:
            if (upload) {
                StartFrame(ch, f, ch.toggle ? 0x70 : 0x60);
                f->data[1] = f->data[2] = f->data[3] = 0;
            } else {
                const uint32_t n = NextSegmentLength(ch);
                const bool last = ch.bytesDone + 7 >= ch.totalSize;
                uint8_t header = static_cast<uint8_t>(ch.toggle * 0x10);
                if (last) header = static_cast<uint8_t>(header + (7 - n) * 2 + 1);
                StartFrame(ch, f, header);
                f->data[1] = f->data[2] = f->data[3] = 0;
                std::memcpy(&f->data[1], ch.data + ch.bytesDone, n);
                ch.segmentSize = n;
            }
            break;
        default:
            break;
    }
}

struct StateRule {
    uint8_t onFinishOk;
    uint8_t onTimeout;
    const char* timeoutMessage;
    bool sizesInMessage;  // bytesDone/totalSize rather than 100/timeoutMs
};

StateRule RuleFor(bool upload, uint8_t state) {
    switch (state) {
        case SDO_EXPEDITED:
            return {SDO_IDLE, SDO_IDLE,
                    upload ? "sdo fast read timeout...<%d,%d>" : "sdo fast write timeout...<%d,%d>",
                    false};
        case SDO_SEG_INIT:
            return {SDO_SEG_DATA, SDO_ABORT,
                    upload ? "sdo seg read timeout,init fail...<%dms,%dms>"
                           : "sdo seg write timeout,init fail...<%dms,%dms>",
                    false};
        default:  // SDO_SEG_DATA
            return {SDO_FINISH, SDO_ABORT,
                    upload ? "sdo seg read timeout,data fail...<%dbyte,%dbyte>"
                           : "sdo seg write timeout,data fail...<%dbyte,%dbyte>",
                    true};
    }
}

// The state that follows an exchange that is over.
uint8_t NextOnFinish(const SdoChannel& ch, const StateRule& rule) {
    switch (ch.outcome) {
        case SDO_OUT_NEXT:
            return SDO_SEG_DATA;
        case SDO_OUT_COMPLETE:
            return ch.state == SDO_SEG_INIT ? static_cast<uint8_t>(SDO_FINISH) : rule.onFinishOk;
        case SDO_OUT_SERVER_ABORT:
            return ch.state == SDO_EXPEDITED ? SDO_IDLE : SDO_FINISH;
        default:  // a protocol error: a segmented transfer is aborted
            return ch.state == SDO_EXPEDITED ? SDO_IDLE : SDO_ABORT;
    }
}

// The send-and-wait step shared by the expedited and both segmented states.
// A frame is sent when it is due: the first frame of a state, the next
// segment once the previous one was answered (sendCount is then 0 again, so
// the time-out counts from the last answer), or a re-send of an unanswered
// frame after SDO_RESEND_MS.
void Step(SdoChannel& ch, bool upload) {
    const StateRule rule = RuleFor(upload, ch.state);
    if (ch.finished) {
        ch.nextState = NextOnFinish(ch, rule);
        return;
    }
    CoStack* stack = ch.stack;
    uint32_t now = StackTick(stack);
    if (ch.sendCount != 0 && SdoElapsed(now, ch.firstSendTick) >= ch.timeoutMs) {
        ch.finished = 1;
        ch.result = KIV_ERR_TIMEOUT;
        ch.nextState = rule.onTimeout;
        if (rule.sizesInMessage)
            Log().Error(rule.timeoutMessage, static_cast<int>(ch.bytesDone),
                        static_cast<int>(ch.totalSize));
        else
            Log().Error(rule.timeoutMessage, static_cast<int>(SDO_RESEND_MS),
                        static_cast<int>(ch.timeoutMs));
        return;
    }
    // The first frame of a state is always due; the elapsed-time test alone
    // would hold it back while the tick count is below 100 ms.
    if (ch.sendCount != 0 && SdoElapsed(now, ch.lastSendTick) < SDO_RESEND_MS) return;
    if (ch.sendCount++ == 0) ch.firstSendTick = now;
    ch.lastSendTick = now;

    KIV_CanFrame f;
    BuildFrame(ch, upload, &f);
    if (!upload && ch.state == SDO_EXPEDITED) Log().Debug("sdo fast write send can ...");
    ChannelSend(stack, &f);
}

// One step of one busy channel: a pending state change, then the new
// state's work. False when the channel waits to start and nothing changed.
bool Advance(CoStack* stack, SdoChannel& ch, bool upload) {
    if (ch.nextState != ch.state) {
        // A claimed transfer waits, before its first frame, for the
        // node's transfers it must not overlap.
        if (ch.state == SDO_IDLE && !MayStart(stack, ch, upload)) return false;
        if (ch.nextState == SDO_IDLE) {
            CoRequest* r = ch.request;
            ch.request = nullptr;
            ch.data = nullptr;
            ch.receivedSize = nullptr;
            ch.abortCode = nullptr;
            CountSdoEnd(stack, ch.nodeId, ch.result, ch.serverAbortCode);
            if (r != nullptr) {
                r->result = ch.result;
                // Last touch of the request: its caller returns at once.
                if (r->done != nullptr) platform::SemaphorePost(r->done);
            }
            std::memset(&ch, 0, sizeof ch);  // a zero channel is a free one
            return true;
        }
        if (ch.nextState == SDO_SEG_DATA) {
            ch.toggle = 0;
            ch.bytesDone = 0;
            ch.segmentSize = 0;
        }
        ch.state = ch.nextState;
        ch.finished = 0;
        ch.outcome = SDO_OUT_NONE;
        ch.lastSendTick = kNoTick;
        ch.sendCount = 0;
    }
    switch (ch.state) {
        case SDO_EXPEDITED:
        case SDO_SEG_INIT:
        case SDO_SEG_DATA:
            Step(ch, upload);
            break;
        case SDO_ABORT:
            SdoSendAbort(stack, ch.nodeId, ch.index, ch.subIndex);
            ch.nextState = SDO_FINISH;
            break;
        case SDO_FINISH:
            ch.nextState = SDO_IDLE;
            break;
        default:
            break;
    }
    return true;
}

// Longest chain of state changes in one tick: finished exchange, abort
// frame, finish, completion.
constexpr int kMaxStepsPerTick = 6;

// In the default timing each channel takes one step per tick (per worker
// pass). In low-latency mode a channel keeps stepping while its state
// changes, so that a transfer whose answer arrived completes in this tick and
// the next phase's first frame goes out at once; a transfer that ended frees
// its node, so the pool is swept once more for transfers waiting to start.
void Tick(CoStack* stack, SdoChannel* pool, bool upload) {
    const bool quick = InLowLatencyMode(stack);
    for (int sweep = 0; sweep < (quick ? 2 : 1); ++sweep) {
        bool freed = false;
        for (int i = 0; i < SDO_CHANNELS; ++i) {
            SdoChannel& ch = pool[i];
            if (!ch.busy) continue;
            for (int step = 0; step < (quick ? kMaxStepsPerTick : 1); ++step) {
                if (!Advance(stack, ch, upload)) break;
                if (!ch.busy) {
                    freed = true;
                    break;
                }
                if (ch.nextState == ch.state) break;  // waiting for an answer or a re-send
            }
        }
        if (!freed) break;
    }
}

}  // namespace

uint32_t SdoElapsed(uint32_t now, uint32_t since) {
    return now >= since ? now - since : now - since - 1u;
}

int32_t SdoClaimChannel(CoStack* stack, CoRequest* request) {
    const bool upload = request->type == REQ_SDO_READ;
    SdoChannel* pool = upload ? stack->sdoUpload : stack->sdoDownload;
    SdoChannel* ch = nullptr;
    for (int i = 0; i < SDO_CHANNELS && ch == nullptr; ++i)
        if (!pool[i].busy) ch = &pool[i];
    if (ch == nullptr) return KIV_ERR_NO_RESOURCE;

    std::memset(ch, 0, sizeof *ch);
    ch->busy = 1;
    ch->nodeId = request->node;
    uint32_t size;
    if (upload) {
        const auto& p = request->payload.sdoRead;
        ch->index = p.index;
        ch->subIndex = p.subIndex;
        ch->data = p.buffer;
        ch->capacity = p.capacity;
        ch->receivedSize = p.received;
        ch->abortCode = p.abortCode;
        size = p.capacity;
    } else {
        const auto& p = request->payload.sdoWrite;
        ch->index = p.index;
        ch->subIndex = p.subIndex;
        // Never written through: a download only reads the caller's data.
        ch->data = const_cast<uint8_t*>(p.data);
        ch->totalSize = p.size;
        ch->abortCode = p.abortCode;
        size = p.size;
    }
    ch->stack = stack;
    ch->request = request;
    // KIV_SetSDOTimeout may store a new value from another thread meanwhile.
    ch->timeoutMs = std::atomic_ref<uint32_t>(stack->sdoTimeoutMs).load(std::memory_order_relaxed);
    ch->state = SDO_IDLE;
    ch->nextState = size <= 4 ? SDO_EXPEDITED : SDO_SEG_INIT;
    ch->exclusive = size <= 4 ? 0 : 1;
    ch->claimSeq = stack->sdoClaimSeq++;
    return KIV_OK;
}

void SdoSendAbort(CoStack* stack, uint8_t nodeId, uint16_t index, uint8_t subIndex) {
    Log().Warn("kiv sdo abort frame send...");
    KIV_CanFrame f;
    std::memset(&f, 0, sizeof f);
    f.id = kCobSdoRx + nodeId;
    f.dlc = 8;
    f.data[0] = kCmdAbort;
    f.data[1] = static_cast<uint8_t>(index & 0xFF);
    f.data[2] = static_cast<uint8_t>(index >> 8);
    f.data[3] = subIndex;
    for (int i = 0; i < 4; ++i) f.data[4 + i] = static_cast<uint8_t>(SDO_ABORT_TIMEOUT >> (8 * i));
    ChannelSend(stack, &f);
}

namespace {

// The server's answer to an initiate-upload request (the same request in the
// expedited and the segmented initiate state): expedited data completes the
// read, a segmented answer starts the segments, whatever the buffer size.
void UploadInitiateAnswer(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint8_t cmd = f->data[0];
    if ((cmd >> 5) != kScsInitiateUpload || !MatchesObject(ch, f)) return;
    if ((cmd & 0x02) != 0) {
        // Expedited; without the size indicated the four bytes are the data.
        const uint32_t announced = (cmd & 0x01) != 0 ? 4u - ((cmd >> 2) & 3u) : 4u;
        const uint32_t n = std::min(ch.capacity, announced);
        if (ch.receivedSize != nullptr) *ch.receivedSize = n;
        if (ch.data != nullptr) std::memcpy(ch.data, &f->data[4], n);
        Log().Info("sdo fast read size:%d byte", static_cast<int>(announced));
        Finish(ch, KIV_OK, SDO_OUT_COMPLETE);
        return;
    }
    ch.sizeKnown = cmd & 0x01;
    ch.totalSize = ch.sizeKnown ? Le32(&f->data[4]) : 0;
    Log().Info("sdo seg read size:%d byte", static_cast<int>(ch.totalSize));
    // From here the exchange is segmented: the node is this transfer's alone.
    ch.exclusive = 1;
    Finish(ch, KIV_OK, SDO_OUT_NEXT);
}

// One upload segment: bits 7..5 zero and the awaited toggle; bits 3..1 count
// the empty bytes, bit 0 marks the last segment. Segments that disagree with
// the announced size end the read with KIV_ERR_PARAM and the client's abort.
void UploadSegmentAnswer(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint8_t cmd = f->data[0];
    if ((cmd >> 5) != kScsUploadSegment || ((cmd >> 4) & 1u) != ch.toggle) return;
    const bool last = (cmd & 1u) != 0;
    const uint32_t n = 7u - ((cmd >> 1) & 7u);
    const uint32_t total = ch.bytesDone + n;
    if (ch.sizeKnown && (total > ch.totalSize || (last && total != ch.totalSize))) {
        Log().Error("sdo seg read size mismatch...<%d,%d>", static_cast<int>(total),
                    static_cast<int>(ch.totalSize));
        Finish(ch, KIV_ERR_PARAM, SDO_OUT_ERROR);
        return;
    }
    // Never more than the caller's buffer holds.
    if (ch.data != nullptr && ch.bytesDone < ch.capacity) {
        const uint32_t room = ch.capacity - ch.bytesDone;
        std::memcpy(ch.data + ch.bytesDone, &f->data[1], std::min(n, room));
    }
    ch.bytesDone = total;
    ch.toggle ^= 1u;
    Log().Info("sdo seg read...<%d,%d>", static_cast<int>(ch.bytesDone),
               static_cast<int>(ch.totalSize));
    if (!last) {
        ch.sendCount = 0;  // the next segment request is due at once
        return;
    }
    if (ch.receivedSize != nullptr) *ch.receivedSize = std::min(ch.bytesDone, ch.capacity);
    Log().Info("sdo seg read success...");
    Finish(ch, KIV_OK, SDO_OUT_COMPLETE);
}

}  // namespace

void SdoUploadResponse(SdoChannel* ch, const KIV_CanFrame* f) {
    if (f->id != kCobSdoTx + ch->nodeId) return;
    // Once the exchange of a state is over (answered or timed out), later
    // frames must not change its outcome: a late answer would otherwise
    // turn a time-out into success after the abort went out, or a stray
    // frame undo an answered read before the request is completed.
    if (ch->finished) return;
    if (ch->state != SDO_EXPEDITED && ch->state != SDO_SEG_INIT && ch->state != SDO_SEG_DATA)
        return;
    if (f->data[0] == kCmdAbort) {
        if (MatchesObject(*ch, f)) TakeServerAbort(*ch, f, true);
        return;
    }
    if (ch->state == SDO_SEG_DATA)
        UploadSegmentAnswer(*ch, f);
    else
        UploadInitiateAnswer(*ch, f);
}

void SdoDownloadResponse(SdoChannel* ch, const KIV_CanFrame* f) {
    if (f->id != kCobSdoTx + ch->nodeId) return;
    // As for uploads: an exchange that is over keeps its outcome.
    if (ch->finished) return;
    if (ch->state != SDO_EXPEDITED && ch->state != SDO_SEG_INIT && ch->state != SDO_SEG_DATA)
        return;
    const uint8_t cmd = f->data[0];
    if (cmd == kCmdAbort) {
        if (MatchesObject(*ch, f)) TakeServerAbort(*ch, f, false);
        return;
    }
    switch (ch->state) {
        case SDO_EXPEDITED:
            if (cmd != 0x60 || !MatchesObject(*ch, f)) return;
            Log().Info("sdo fast write size:%d byte success", static_cast<int>(ch->totalSize));
            Finish(*ch, KIV_OK, SDO_OUT_COMPLETE);
            break;
        case SDO_SEG_INIT:
            if (cmd != 0x60 || !MatchesObject(*ch, f)) return;
            Log().Info("sdo seg write size:%d byte, start success",
                       static_cast<int>(ch->totalSize));
            Finish(*ch, KIV_OK, SDO_OUT_NEXT);
            break;
        default:  // SDO_SEG_DATA
            // An acknowledgement counts only for a segment that is out: a
            // server confirming segments it never got would otherwise push
            // bytesDone past totalSize, and the next segment would be taken
            // from beyond the caller's data.
            if (ch->segmentSize == 0) return;
            if (cmd != (ch->toggle ? 0x30 : 0x20)) return;
            ch->bytesDone += ch->segmentSize;
            ch->segmentSize = 0;
            ch->toggle ^= 1u;
            Log().Info("sdo seg write...<%d,%d> ack is ok", static_cast<int>(ch->bytesDone),
                       static_cast<int>(ch->totalSize));
            if (ch->bytesDone == ch->totalSize)
                Finish(*ch, KIV_OK, SDO_OUT_COMPLETE);
            else
                ch->sendCount = 0;  // the next segment is due at once
            break;
    }
}

void SdoOfferFrame(CoStack* stack, const KIV_CanFrame* frame) {
    for (int k = 0; k < SDO_CHANNELS; ++k) {
        if (stack->sdoUpload[k].busy) SdoUploadResponse(&stack->sdoUpload[k], frame);
        if (stack->sdoDownload[k].busy) SdoDownloadResponse(&stack->sdoDownload[k], frame);
    }
}

void SdoTickUploads(CoStack* stack) {
    Tick(stack, stack->sdoUpload, true);
}
void SdoTickDownloads(CoStack* stack) {
    Tick(stack, stack->sdoDownload, false);
}

}  // namespace orukiv
