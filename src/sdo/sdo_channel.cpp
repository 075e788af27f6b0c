// SDO client channels: claim, tick (send, re-send, time-out, state changes)
// and the response handlers of expedited and segmented transfers. Runs on
// the worker thread only, so nothing here is locked.
#include "sdo/sdo_channel.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "log/log.h"
#include "orukiv_common/byte_order.h"
#include "sdo/sdo_abort_codes.h"
#include "stack/cancel.h"
#include "stack/cia301.h"
#include "instance/co_stack.h"
#include "stack/worker_timing.h"

namespace orukiv {

namespace {

constexpr uint32_t kCobSdoRx = cia301::kCobSdoRxBase;  // client to server
constexpr uint32_t kCobSdoTx = cia301::kCobSdoTxBase;  // server to client
constexpr uint32_t kNoTick = 0xFFFFFFFFu;
constexpr uint8_t kCmdAbort = cia301::kSdoAbort;
using cia301::kSdoSegmentBytes;

bool IsBlockInit(uint8_t state) {
    return state == SDO_UP_BLK_INIT || state == SDO_DN_BLK_INIT;
}

bool IsInitiate(uint8_t state) {
    switch (state) {
        case SDO_UP_EXPEDITED:
        case SDO_UP_SEG_INIT:
        case SDO_UP_BLK_INIT:
        case SDO_DN_EXPEDITED:
        case SDO_DN_SEG_INIT:
        case SDO_DN_BLK_INIT:
            return true;
        default:
            return false;
    }
}

// A server abort naming the channel's object ends the transfer in any state
// with KIV_ERR_ABORTED; the client sends no abort of its own.
// A server that refuses the block initiate as an unknown command makes the
// same call go on as a segmented (or, for 1..4 bytes, expedited) transfer.
void TakeServerAbort(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint32_t code = LoadLe32(&f->data[4]);
    if (IsBlockInit(ch.state) && code == cia301::kAbortCommand) {
        Log().Warn("sdo block refused by node %d: segmented", static_cast<int>(ch.nodeId));
        SdoFinish(ch, KIV_OK, SDO_OUT_FALLBACK);
        return;
    }
    const char* meaning = SdoAbortMeaning(code);
    Log().Warn("sdo server abort<0x%08x> node %d obj<0x%04x,%d> %s: %s", code,
               static_cast<int>(ch.nodeId), static_cast<int>(ch.index),
               static_cast<int>(ch.subIndex), ch.upload ? "read" : "write",
               meaning != nullptr ? meaning : "unknown abort code");
    if (ch.state == SDO_DN_EXPEDITED)
        Log().Error("sdo fast write size:%d byte fail, rec abort", static_cast<int>(ch.totalSize));
    if (ch.abortCode != nullptr) *ch.abortCode = code;
    ch.serverAbortCode = code;
    SdoFinish(ch, KIV_ERR_ABORTED, SDO_OUT_SERVER_ABORT);
}

// Claims are numbered; a wrapped counter still orders nearby claims.
bool ClaimedBefore(const SdoChannel& a, const SdoChannel& b) {
    return static_cast<int32_t>(a.claimSeq - b.claimSeq) < 0;
}

bool SameObject(const SdoChannel& a, const SdoChannel& b) {
    return a.index == b.index && a.subIndex == b.subIndex;
}

// Whether answers that re-sent copies of an earlier write of this node may
// still draw are outstanding for this transfer: a write of the same object,
// or a block transfer of any object (a refusal of the block initiate may
// name another object). Other reads never wait. An entry whose copies were
// all answered, or whose time ran out, is dropped here.
bool EchoPending(CoStack* stack, const SdoChannel& ch) {
    const uint32_t now = StackTick(stack);
    for (SdoEcho& e : stack->sdoEchoes) {
        if (e.copies == 0) continue;
        if (SdoElapsed(now, e.sinceTick) >= e.timeoutMs) {
            e.copies = 0;
            continue;
        }
        if (e.nodeId != ch.nodeId) continue;
        if (ch.block || (!ch.upload && e.index == ch.index && e.subIndex == ch.subIndex))
            return true;
    }
    return false;
}

// Whether a claimed transfer may send its first frame now: claims of one
// node start in order; a segmented or block exchange has the node to
// itself, and so has every transfer when the instance keeps one per node;
// two expedited transfers overlap only on distinct objects, or as reads of
// one object (which share one answer). A transfer waits for the answers that
// re-sent copies of the node's earlier transfers may still draw (EchoPending).
// The one-transfer-per-node setting is the one this transfer was claimed with.
bool MayStart(CoStack* stack, const SdoChannel& ch) {
    const bool onePerNode = ch.onePerNode != 0;
    for (const SdoChannel* slots : {stack->sdoUpload, stack->sdoDownload}) {
        for (int i = 0; i < SDO_CHANNELS; ++i) {
            const SdoChannel& o = slots[i];
            if (&o == &ch || !o.busy || o.nodeId != ch.nodeId) continue;
            if (o.state == SDO_IDLE) {
                if (ClaimedBefore(o, ch)) return false;  // waiting longer
                continue;
            }
            if (ch.exclusive || o.exclusive || onePerNode) return false;
            if (SameObject(ch, o) && !(ch.upload && o.upload)) return false;
        }
    }
    return !EchoPending(stack, ch);
}

// Records the copies of a finished write's frames that may still draw
// answers: every re-send, and the last frame when it stayed unanswered (a
// time-out, a cancel); and, when the server aborted a block download within
// a sub-block, the segments of that sub-block already sent: they reach an
// idle server, which may answer each with an abort of its own.
void RecordEcho(CoStack* stack, const SdoChannel& ch) {
    if (ch.upload) return;
    const bool unanswered =
        (ch.result == KIV_ERR_TIMEOUT || ch.result == KIV_ERR_CANCELLED) && ch.initSends > 0;
    const uint32_t stale = ch.block && ch.result == KIV_ERR_ABORTED ? ch.blk.seqNo : 0u;
    const uint32_t copies = ch.resends + (unanswered ? 1u : 0u) + stale;
    if (copies == 0) return;
    SdoEcho* slot = &stack->sdoEchoes[0];
    for (SdoEcho& e : stack->sdoEchoes) {
        if (e.copies == 0) {
            slot = &e;
            break;
        }
        if (static_cast<int32_t>(e.sinceTick - slot->sinceTick) < 0) slot = &e;  // oldest
    }
    slot->nodeId = ch.nodeId;
    slot->index = ch.index;
    slot->subIndex = ch.subIndex;
    slot->copies = copies;
    slot->sinceTick = ch.lastFrameTick;
    slot->timeoutMs = ch.timeoutMs;
}

// Whether a transfer with the node has sent its first frame.
bool NodeBusy(CoStack* stack, uint8_t nodeId) {
    for (const SdoChannel* pool : {stack->sdoUpload, stack->sdoDownload})
        for (int i = 0; i < SDO_CHANNELS; ++i)
            if (pool[i].busy && pool[i].nodeId == nodeId && pool[i].state != SDO_IDLE) return true;
    return false;
}

// A server frame that answers a write's frame: initiate and segment
// answers, block download answers, aborts.
bool WriteAnswer(uint8_t cmd) {
    return cmd == kCmdAbort || cia301::CommandSpecifier(cmd) == cia301::kScsInitiateDownload ||
           cia301::CommandSpecifier(cmd) == cia301::kScsDownloadSegment ||
           cia301::CommandSpecifier(cmd) == cia301::kScsBlockDownload;
}

// A frame a write's copy may have drawn: one copy fewer outstanding. A
// frame that names an entry's object counts for it; any other answer of the
// node's server counts for the node's oldest entry while none of the node's
// transfers has started (nothing else may have drawn it).
void CountEcho(CoStack* stack, const KIV_CanFrame* f) {
    if (f->id <= kCobSdoTx || f->id > kCobSdoTx + 127 || !WriteAnswer(f->data[0])) return;
    const uint8_t nodeId = static_cast<uint8_t>(f->id - kCobSdoTx);
    SdoEcho* oldest = nullptr;
    for (SdoEcho& e : stack->sdoEchoes) {
        if (e.copies == 0 || e.nodeId != nodeId) continue;
        if (SdoHeaderNames(f->data, e.index, e.subIndex)) {
            --e.copies;
            return;
        }
        if (oldest == nullptr || static_cast<int32_t>(e.sinceTick - oldest->sinceTick) < 0)
            oldest = &e;
    }
    if (oldest != nullptr && !NodeBusy(stack, nodeId)) --oldest->copies;
}

// Data bytes of the next download segment: 7 while more follow.
uint32_t NextSegmentLength(const SdoChannel& ch) {
    return ch.bytesDone + kSdoSegmentBytes < ch.totalSize ? kSdoSegmentBytes
                                                          : ch.totalSize - ch.bytesDone;
}

void BuildFrame(SdoChannel& ch, KIV_CanFrame* f) {
    switch (ch.state) {
        case SDO_UP_EXPEDITED:
        case SDO_UP_SEG_INIT:
            SdoStartFrame(ch, f, cia301::kSdoUploadRequest);
            break;
        case SDO_DN_EXPEDITED: {
            const uint32_t n = std::min<uint32_t>(ch.totalSize, cia301::kSdoExpeditedMax);
            SdoStartFrame(ch, f,
                          static_cast<uint8_t>(cia301::kSdoExpeditedDownload |
                                               ((cia301::kSdoExpeditedMax - n) << 2)));
            if (ch.data != nullptr) std::memcpy(&f->data[4], ch.data, n);
            break;
        }
        case SDO_DN_SEG_INIT:
            SdoStartFrame(ch, f, cia301::kSdoSegmentedDownload);
            StoreLe32(&f->data[4], ch.totalSize);
            break;
        case SDO_UP_SEG_DATA:
            SdoBareFrame(ch, f,
                         static_cast<uint8_t>(cia301::kSdoSegmentUploadRequest |
                                              (ch.toggle ? cia301::kSdoToggle : 0)));
            break;
        case SDO_DN_SEG_DATA: {
            const uint32_t n = NextSegmentLength(ch);
            const bool last = ch.bytesDone + kSdoSegmentBytes >= ch.totalSize;
            uint8_t header = ch.toggle ? cia301::kSdoToggle : 0;
            if (last)
                header = static_cast<uint8_t>(header + (kSdoSegmentBytes - n) * 2 +
                                              cia301::kSdoLastSegment);
            SdoBareFrame(ch, f, header);
            std::memcpy(&f->data[1], ch.data + ch.bytesDone, n);
            ch.segmentSize = n;
            break;
        }
        case SDO_UP_BLK_INIT:
        case SDO_DN_BLK_INIT:
        case SDO_DN_BLK_END:
            BlockBuildFrame(ch, f);
            break;
        default:
            break;
    }
}

// The state an answered exchange leads to, per direction.
uint8_t NextPhase(uint8_t s) {
    switch (s) {
        case SDO_UP_EXPEDITED:  // a read into 1..4 bytes answered segmented
        case SDO_UP_SEG_INIT:
            return SDO_UP_SEG_DATA;
        case SDO_DN_SEG_INIT:
            return SDO_DN_SEG_DATA;
        case SDO_UP_BLK_INIT:
            return SDO_UP_BLK_DATA;
        case SDO_UP_BLK_DATA:
            return SDO_UP_BLK_END;
        case SDO_DN_BLK_INIT:
            return SDO_DN_BLK_DATA;
        case SDO_DN_BLK_DATA:
            return SDO_DN_BLK_END;
        default:
            return SDO_FINISH;  // SDO_ABORT and SDO_FINISH move on by themselves
    }
}

bool IsExpedited(uint8_t s) {
    return s == SDO_UP_EXPEDITED || s == SDO_DN_EXPEDITED;
}

// The state that follows an exchange that ended with the channel's outcome:
// the one transition table of a channel.
uint8_t NextState(const SdoChannel& ch) {
    const uint8_t s = ch.state;
    switch (ch.outcome) {
        case SDO_OUT_NEXT:
            return NextPhase(s);
        case SDO_OUT_SEGMENTED:
            return SDO_UP_SEG_DATA;
        case SDO_OUT_FALLBACK:
            if (ch.upload) return SDO_UP_SEG_INIT;
            return ch.totalSize > cia301::kSdoExpeditedMax ? SDO_DN_SEG_INIT : SDO_DN_EXPEDITED;
        case SDO_OUT_COMPLETE:
            if (s == SDO_FINISH) return SDO_IDLE;
            return IsExpedited(s) ? SDO_IDLE : SDO_FINISH;
        case SDO_OUT_SERVER_ABORT:
            return IsExpedited(s) ? SDO_IDLE : SDO_FINISH;
        case SDO_OUT_REFUSED:
            return SDO_ABORT;
        default:  // a protocol error or a time-out: a started exchange is aborted
            return IsExpedited(s) ? SDO_IDLE : SDO_ABORT;
    }
}

struct TimeoutText {
    const char* message;
    bool sizesInMessage;  // bytesDone/totalSize rather than 100/timeoutMs
};

TimeoutText TimeoutTextFor(uint8_t state) {
    switch (state) {
        case SDO_UP_EXPEDITED:
            return {"sdo fast read timeout...<%d,%d>", false};
        case SDO_DN_EXPEDITED:
            return {"sdo fast write timeout...<%d,%d>", false};
        case SDO_UP_SEG_INIT:
            return {"sdo seg read timeout,init fail...<%dms,%dms>", false};
        case SDO_DN_SEG_INIT:
            return {"sdo seg write timeout,init fail...<%dms,%dms>", false};
        case SDO_UP_SEG_DATA:
            return {"sdo seg read timeout,data fail...<%dbyte,%dbyte>", true};
        case SDO_DN_SEG_DATA:
            return {"sdo seg write timeout,data fail...<%dbyte,%dbyte>", true};
        case SDO_UP_BLK_INIT:
            return {"sdo block read timeout,init fail...<%dms,%dms>", false};
        case SDO_DN_BLK_INIT:
            return {"sdo block write timeout,init fail...<%dms,%dms>", false};
        case SDO_UP_BLK_DATA:
        case SDO_UP_BLK_END:
            return {"sdo block read timeout...<%dbyte,%dbyte>", true};
        default:
            return {"sdo block write timeout...<%dbyte,%dbyte>", true};
    }
}

// The send-and-wait step of the expedited, segmented and block initiate and
// end states. A frame is sent when it is due: the first frame of a state, the
// next segment once the previous one was answered (sendCount is then 0
// again, so the time-out counts from the last answer), or a re-send of an
// unanswered frame after the re-send period, as often as allowed.
void Step(SdoChannel& ch) {
    CoStack* stack = ch.stack;
    uint32_t now = StackTick(stack);
    if (SdoTimedOut(ch, now)) return;
    // The first frame of a state is always due; the elapsed-time test alone
    // would hold it back while the tick count is below the period.
    if (ch.sendCount != 0 &&
        (SdoElapsed(now, ch.lastSendTick) < ch.resendMs || ch.sendCount > ch.maxResends))
        return;
    if (ch.sendCount != 0) ++ch.resends;
    if (ch.sendCount++ == 0) ch.firstSendTick = now;
    ch.lastSendTick = now;
    ch.lastFrameTick = now;
    if (IsInitiate(ch.state)) ++ch.initSends;

    KIV_CanFrame f;
    BuildFrame(ch, &f);
    if (ch.state == SDO_DN_EXPEDITED) Log().Debug("sdo fast write send can ...");
    ChannelSend(stack, &f);
}

// The client's abort frame; a send the host refused is tried again at the
// next pass, for as long as the SDO time-out, so that a strict server is
// not left in its transfer.
void AbortWork(SdoChannel& ch) {
    CoStack* stack = ch.stack;
    const uint32_t now = StackTick(stack);
    if (ch.sendCount++ == 0) ch.firstSendTick = now;
    const int32_t rc = SdoSendAbort(stack, ch.nodeId, ch.index, ch.subIndex, ch.clientAbortCode);
    const bool cannotSend = stack->canSend == nullptr || !HostReachable(stack);
    if (rc == KIV_OK || cannotSend || SdoElapsed(now, ch.firstSendTick) >= ch.timeoutMs)
        ch.outcome = SDO_OUT_NEXT;
}

// States in which data move and progress is reported.
bool MovesData(uint8_t s) {
    switch (s) {
        case SDO_UP_SEG_DATA:
        case SDO_DN_SEG_DATA:
        case SDO_UP_BLK_DATA:
        case SDO_DN_BLK_DATA:
        case SDO_UP_BLK_END:
        case SDO_DN_BLK_END:
        case SDO_FINISH:
            return true;
        default:
            return false;
    }
}

// Reports progress of a segmented or block transfer, at most once a pass:
// after the pass's steps, and as it ends (its last step may end it). The
// callback is read under the instance mutex at each call, and the call is
// marked as under way in the same hold (progressCalls odd), so that
// KIV_SetTransferProgress and KIV_Destroy can make sure that no call of the
// old callback starts after they return.
void ReportProgress(CoStack* stack, SdoChannel& ch) {
    if (!ch.busy || ch.bytesDone == ch.progressDone || !MovesData(ch.state)) return;
    ch.progressDone = ch.bytesDone;
    if (stack->mutex != nullptr) platform::MutexLock(stack->mutex);
    const KIV_ProgressFn fn = HostReachable(stack) ? stack->sdoSettings.progress : nullptr;
    void* const user = stack->sdoSettings.progressUser;
    if (fn != nullptr) stack->progressCalls.fetch_add(1);
    if (stack->mutex != nullptr) platform::MutexUnlock(stack->mutex);
    if (fn == nullptr) return;
    const uint32_t total = !ch.upload || ch.sizeKnown ? ch.totalSize : 0;
    fn(ch.nodeId, ch.index, ch.subIndex, ch.bytesDone, total, user);
    stack->progressCalls.fetch_add(1);
}

// Ends a transfer: the caller's request is completed and the slot freed.
void Complete(CoStack* stack, SdoChannel& ch) {
    CoRequest* r = ch.request;
    ReportProgress(stack, ch);
    RecordEcho(stack, ch);
    CountSdoEnd(stack, ch.nodeId, ch.result, ch.serverAbortCode);
    if (r != nullptr) {
        r->result = ch.result;
        // Last touch of the request: its caller returns at once.
        if (r->done != nullptr) platform::SemaphorePost(r->done);
    }
    std::memset(&ch, 0, sizeof ch);  // a zero channel is a free one
}

// Applies a decided transition: the only place a channel's state changes.
void Enter(SdoChannel& ch) {
    const uint8_t next = ch.nextState;
    switch (next) {
        case SDO_UP_SEG_DATA:
        case SDO_DN_SEG_DATA:
        case SDO_UP_BLK_DATA:
        case SDO_DN_BLK_DATA:
            ch.toggle = 0;
            ch.bytesDone = 0;
            ch.segmentSize = 0;
            break;
        case SDO_UP_SEG_INIT:
        case SDO_DN_SEG_INIT:
        case SDO_DN_EXPEDITED:
            if (ch.state == SDO_UP_BLK_INIT || ch.state == SDO_DN_BLK_INIT) {
                ch.block = 0;  // the block protocol was refused
                ch.exclusive = next == SDO_DN_EXPEDITED ? 0 : 1;
            }
            break;
        default:
            break;
    }
    ch.state = next;
    ch.outcome = SDO_OUT_NONE;
    ch.lastSendTick = kNoTick;
    ch.sendCount = 0;
}

// One step of one busy channel: a decided transition, then the state's work.
// False when the channel waits to start and nothing changed.
bool Advance(CoStack* stack, SdoChannel& ch, bool quick) {
    if (ch.nextState != ch.state) {
        // A claimed transfer waits, before its first frame, for the
        // node's transfers it must not overlap.
        if (ch.state == SDO_IDLE && !MayStart(stack, ch)) return false;
        if (ch.nextState == SDO_IDLE) {
            Complete(stack, ch);
            return true;
        }
        Enter(ch);
    }
    // An exchange that ended in an earlier tick (an answer offered between
    // passes) is decided now; one that ends in this tick's work is decided
    // at once.
    if (ch.outcome == SDO_OUT_NONE) {
        switch (ch.state) {
            case SDO_UP_BLK_DATA:
            case SDO_DN_BLK_DATA:
                BlockDataWork(ch, quick);
                break;
            case SDO_UP_BLK_END:
                BlockUploadEndWork(ch);
                break;
            case SDO_ABORT:
                AbortWork(ch);
                break;
            case SDO_FINISH:
                ch.outcome = SDO_OUT_COMPLETE;
                break;
            case SDO_IDLE:
                break;
            default:  // initiates, segments, the download's end frame
                Step(ch);
                break;
        }
        // Answers end an exchange between passes; what the work ended (a
        // time-out, a one-shot frame, a fault it found) is decided at once.
        if (ch.outcome == SDO_OUT_NONE) return true;
    }
    ch.nextState = NextState(ch);
    return true;
}

// A transfer of a node that KIV_Cancel named since its call was made ends
// here, at once: with the client's abort frame when its initiate went out.
// An abort frame the host refuses is tried again at the next passes, as the
// client's own aborts are (the call then ends once it went out, or after the
// SDO time-out). A transfer already over (finishing, or sending its own
// abort) keeps its result. True when the channel was freed.
bool EndIfCancelled(CoStack* stack, SdoChannel& ch) {
    if (!CancelledSince(stack, ch.nodeId, ch.cancelMark)) return false;
    if (ch.state == SDO_FINISH || ch.state == SDO_ABORT) return false;
    if (ch.state != SDO_IDLE && ch.initSends != 0 &&
        SdoSendAbort(stack, ch.nodeId, ch.index, ch.subIndex, SDO_ABORT_CANCELLED) != KIV_OK &&
        stack->canSend != nullptr && HostReachable(stack)) {
        ch.clientAbortCode = SDO_ABORT_CANCELLED;
        SdoFinish(ch, KIV_ERR_CANCELLED, SDO_OUT_REFUSED);
        return false;
    }
    Log().Warn("sdo transfer node %d obj<0x%04x,%d> cancelled", static_cast<int>(ch.nodeId),
               static_cast<int>(ch.index), static_cast<int>(ch.subIndex));
    ch.result = KIV_ERR_CANCELLED;
    Complete(stack, ch);
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
void Tick(CoStack* stack, SdoChannel* pool) {
    const bool quick = InLowLatencyMode(stack);
    for (int sweep = 0; sweep < (quick ? 2 : 1); ++sweep) {
        bool freed = false;
        for (int i = 0; i < SDO_CHANNELS; ++i) {
            SdoChannel& ch = pool[i];
            if (!ch.busy) continue;
            if (EndIfCancelled(stack, ch)) {
                freed = true;
                continue;
            }
            for (int step = 0; step < (quick ? kMaxStepsPerTick : 1); ++step) {
                if (!Advance(stack, ch, quick)) break;
                if (!ch.busy) {
                    freed = true;
                    break;
                }
                if (ch.nextState == ch.state) break;  // waiting for an answer or a re-send
            }
        }
        if (!freed) break;
    }
    for (int i = 0; i < SDO_CHANNELS; ++i) ReportProgress(stack, pool[i]);
}

}  // namespace

// ---- Shared helpers --------------------------------------------------------

bool SdoTimedOut(SdoChannel& ch, uint32_t now) {
    if (ch.sendCount == 0 || SdoElapsed(now, ch.firstSendTick) < ch.timeoutMs) return false;
    ch.result = KIV_ERR_TIMEOUT;
    ch.outcome = SDO_OUT_TIMEOUT;
    ch.clientAbortCode = SDO_ABORT_TIMEOUT;
    const TimeoutText text = TimeoutTextFor(ch.state);
    if (text.sizesInMessage)
        Log().Error(text.message, static_cast<int>(ch.bytesDone), static_cast<int>(ch.totalSize));
    else
        Log().Error(text.message, static_cast<int>(ch.resendMs), static_cast<int>(ch.timeoutMs));
    return true;
}

uint32_t SdoElapsed(uint32_t now, uint32_t since) {
    return now >= since ? now - since : now - since - 1u;
}

void SdoFinish(SdoChannel& ch, int32_t result, SdoOutcome outcome) {
    ch.result = result;
    ch.outcome = outcome;
}

bool SdoRefuseTooLong(SdoChannel& ch) {
    if (!ch.refuseLong || !ch.sizeKnown || ch.totalSize <= ch.capacity) return false;
    Log().Warn("sdo read obj<0x%04x,%d> of %d bytes refused: buffer of %d",
               static_cast<int>(ch.index), static_cast<int>(ch.subIndex),
               static_cast<int>(ch.totalSize), static_cast<int>(ch.capacity));
    if (ch.receivedSize != nullptr) *ch.receivedSize = ch.capacity;
    ch.clientAbortCode = SDO_ABORT_TOO_LONG;
    SdoFinish(ch, KIV_OK, SDO_OUT_REFUSED);
    return true;
}

void SdoProtocolError(SdoChannel& ch, uint32_t code) {
    ch.clientAbortCode = code;
    SdoFinish(ch, KIV_ERR_PARAM, SDO_OUT_ERROR);
}

bool SdoMatchesObject(const SdoChannel& ch, const KIV_CanFrame* f) {
    return SdoHeaderNames(f->data, ch.index, ch.subIndex);
}

namespace {

void PackFrame(KIV_CanFrame* f, uint8_t nodeId, uint8_t command, uint16_t index, uint8_t subIndex) {
    std::memset(f, 0, sizeof *f);
    f->id = kCobSdoRx + nodeId;
    f->dlc = 8;
    PackSdoHeader(f->data, command, index, subIndex);
}

}  // namespace

void SdoStartFrame(const SdoChannel& ch, KIV_CanFrame* f, uint8_t command) {
    PackFrame(f, ch.nodeId, command, ch.index, ch.subIndex);
}

void SdoBareFrame(const SdoChannel& ch, KIV_CanFrame* f, uint8_t command) {
    PackFrame(f, ch.nodeId, command, 0, 0);
}

void SdoDefaultSettings(SdoSettings* s) {
    std::memset(s, 0, sizeof *s);
    s->resendMs = SDO_RESEND_MS;
    s->maxResends = SDO_RESEND_UNLIMITED;
    s->blockSize = cia301::kBlockMaxSize;
    s->switchThreshold = cia301::kSdoExpeditedMax;
    s->framesPerPass = cia301::kBlockMaxSize;
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
    ch->upload = upload ? 1 : 0;
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
    ch->block = request->sdoBlock;
    ch->unsized = request->sdoUnsized;
    ch->stack = stack;
    ch->request = request;
    // KIV_SetSDOTimeout and the other settings may change from another
    // thread meanwhile.
    ch->timeoutMs = std::atomic_ref<uint32_t>(stack->sdoTimeoutMs).load(std::memory_order_relaxed);
    if (stack->mutex != nullptr) platform::MutexLock(stack->mutex);
    const SdoSettings settings = stack->sdoSettings;
    if (stack->mutex != nullptr) platform::MutexUnlock(stack->mutex);
    ch->resendMs = settings.resendMs;
    ch->maxResends = settings.maxResends;
    ch->refuseLong = settings.refuseLong != 0 ? 1 : 0;
    ch->onePerNode = settings.onePerNode != 0 ? 1 : 0;
    ch->blk.blkSize = static_cast<uint8_t>(settings.blockSize);
    ch->blk.switchLimit = static_cast<uint8_t>(settings.switchThreshold);
    ch->blk.framesPerPass = settings.framesPerPass;
    ch->clientAbortCode = SDO_ABORT_TIMEOUT;
    ch->state = SDO_IDLE;
    const bool expedited = size <= cia301::kSdoExpeditedMax;
    if (ch->block) {
        ch->nextState = upload ? SDO_UP_BLK_INIT : SDO_DN_BLK_INIT;
        ch->exclusive = 1;
    } else if (upload) {
        ch->nextState = expedited ? SDO_UP_EXPEDITED : SDO_UP_SEG_INIT;
        ch->exclusive = expedited ? 0 : 1;
    } else {
        ch->nextState = expedited ? SDO_DN_EXPEDITED : SDO_DN_SEG_INIT;
        ch->exclusive = expedited ? 0 : 1;
    }
    ch->claimSeq = stack->sdoClaimSeq++;
    ch->cancelMark = request->cancelMark;
    return KIV_OK;
}

int32_t SdoSendAbort(CoStack* stack, uint8_t nodeId, uint16_t index, uint8_t subIndex,
                     uint32_t code) {
    Log().Warn("kiv sdo abort frame send...");
    KIV_CanFrame f;
    PackFrame(&f, nodeId, kCmdAbort, index, subIndex);
    StoreLe32(&f.data[4], code);
    return SendFrame(stack, &f);
}

namespace {

// The server's answer to an initiate-upload request (the same request in the
// expedited and the segmented initiate state, and a protocol switch in the
// block initiate): expedited data completes the read, a segmented answer
// starts the segments, whatever the buffer size.
void UploadInitiateAnswer(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint8_t cmd = f->data[0];
    if (cia301::CommandSpecifier(cmd) != cia301::kScsInitiateUpload || !SdoMatchesObject(ch, f))
        return;
    if ((cmd & cia301::kSdoFlagExpedited) != 0) {
        // Expedited; without the size indicated the four bytes are the data.
        const bool sized = (cmd & cia301::kSdoFlagSized) != 0;
        const uint32_t announced = sized ? cia301::ExpeditedSize(cmd) : cia301::kSdoExpeditedMax;
        const uint32_t n = std::min(ch.capacity, announced);
        if (ch.receivedSize != nullptr) *ch.receivedSize = n;
        if (ch.unsized != nullptr) *ch.unsized = sized ? 0 : 1;
        if (ch.data != nullptr) std::memcpy(ch.data, &f->data[4], n);
        Log().Info("sdo fast read size:%d byte", static_cast<int>(announced));
        SdoFinish(ch, KIV_OK, SDO_OUT_COMPLETE);
        return;
    }
    ch.sizeKnown = cmd & cia301::kSdoFlagSized;
    ch.totalSize = ch.sizeKnown ? LoadLe32(&f->data[4]) : 0;
    Log().Info("sdo seg read size:%d byte", static_cast<int>(ch.totalSize));
    if (SdoRefuseTooLong(ch)) return;
    // From here the exchange is segmented: the node is this transfer's alone.
    ch.exclusive = 1;
    SdoFinish(ch, KIV_OK, ch.state == SDO_UP_BLK_INIT ? SDO_OUT_SEGMENTED : SDO_OUT_NEXT);
}

// One upload segment: bits 7..5 zero and the awaited toggle; bits 3..1 count
// the empty bytes, bit 0 marks the last segment. Segments that disagree with
// the announced size end the read with KIV_ERR_PARAM and the client's abort.
void UploadSegmentAnswer(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint8_t cmd = f->data[0];
    if (cia301::CommandSpecifier(cmd) != cia301::kScsUploadSegment ||
        ((cmd & cia301::kSdoToggle) != 0) != (ch.toggle != 0))
        return;
    const bool last = (cmd & cia301::kSdoLastSegment) != 0;
    const uint32_t n = kSdoSegmentBytes - ((cmd >> 1) & 7u);
    const uint32_t total = ch.bytesDone + n;
    if (ch.sizeKnown && (total > ch.totalSize || (last && total != ch.totalSize))) {
        Log().Error("sdo seg read size mismatch...<%d,%d>", static_cast<int>(total),
                    static_cast<int>(ch.totalSize));
        SdoProtocolError(ch, SDO_ABORT_TIMEOUT);
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
    SdoFinish(ch, KIV_OK, SDO_OUT_COMPLETE);
}

// States in which the channel waits for the server.
bool Listening(const SdoChannel& ch) {
    return ch.state != SDO_IDLE && ch.state != SDO_ABORT && ch.state != SDO_FINISH;
}

void UploadResponse(SdoChannel& ch, const KIV_CanFrame* f) {
    switch (ch.state) {
        case SDO_UP_SEG_DATA:
            UploadSegmentAnswer(ch, f);
            break;
        case SDO_UP_EXPEDITED:
        case SDO_UP_SEG_INIT:
            UploadInitiateAnswer(ch, f);
            break;
        default:
            // The block initiate may be answered with a normal upload.
            if (ch.state == SDO_UP_BLK_INIT &&
                cia301::CommandSpecifier(f->data[0]) == cia301::kScsInitiateUpload)
                UploadInitiateAnswer(ch, f);
            else
                BlockUploadResponse(ch, f);
            break;
    }
}

void DownloadResponse(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint8_t cmd = f->data[0];
    switch (ch.state) {
        case SDO_DN_EXPEDITED:
            if (cmd != cia301::kSdoDownloadAnswer || !SdoMatchesObject(ch, f)) return;
            Log().Info("sdo fast write size:%d byte success", static_cast<int>(ch.totalSize));
            SdoFinish(ch, KIV_OK, SDO_OUT_COMPLETE);
            break;
        case SDO_DN_SEG_INIT:
            if (cmd != cia301::kSdoDownloadAnswer || !SdoMatchesObject(ch, f)) return;
            Log().Info("sdo seg write size:%d byte, start success", static_cast<int>(ch.totalSize));
            SdoFinish(ch, KIV_OK, SDO_OUT_NEXT);
            break;
        case SDO_DN_SEG_DATA:
            // An acknowledgement counts only for a segment that is out: a
            // server confirming segments it never got would otherwise push
            // bytesDone past totalSize, and the next segment would be taken
            // from beyond the caller's data.
            if (ch.segmentSize == 0) return;
            if (cmd != (cia301::kSdoSegmentDownloadAnswer | (ch.toggle ? cia301::kSdoToggle : 0)))
                return;
            ch.bytesDone += ch.segmentSize;
            ch.segmentSize = 0;
            ch.toggle ^= 1u;
            Log().Info("sdo seg write...<%d,%d> ack is ok", static_cast<int>(ch.bytesDone),
                       static_cast<int>(ch.totalSize));
            if (ch.bytesDone == ch.totalSize)
                SdoFinish(ch, KIV_OK, SDO_OUT_COMPLETE);
            else
                ch.sendCount = 0;  // the next segment is due at once
            break;
        default:
            BlockDownloadResponse(ch, f);
            break;
    }
}

}  // namespace

void SdoChannelResponse(SdoChannel* ch, const KIV_CanFrame* f) {
    if (f->id != kCobSdoTx + ch->nodeId) return;
    // Once the exchange of a state is over (answered or timed out), later
    // frames must not change its outcome: a late answer would otherwise
    // turn a time-out into success after the abort went out, or a stray
    // frame undo an answered read before the request is completed.
    if (ch->outcome != SDO_OUT_NONE || !Listening(*ch)) return;
    if (f->data[0] == kCmdAbort) {
        // A server without block transfer may name another object (or
        // 0x0000:00) in its refusal: while the block initiate is pending,
        // 0x05040001 from the node's server is a refusal all the same.
        const bool refusal =
            IsBlockInit(ch->state) && LoadLe32(&f->data[4]) == cia301::kAbortCommand;
        if (SdoMatchesObject(*ch, f) || refusal) TakeServerAbort(*ch, f);
        return;
    }
    if (ch->upload)
        UploadResponse(*ch, f);
    else
        DownloadResponse(*ch, f);
}

void SdoOfferFrame(CoStack* stack, const KIV_CanFrame* frame) {
    CountEcho(stack, frame);
    for (int k = 0; k < SDO_CHANNELS; ++k) {
        if (stack->sdoUpload[k].busy) SdoChannelResponse(&stack->sdoUpload[k], frame);
        if (stack->sdoDownload[k].busy) SdoChannelResponse(&stack->sdoDownload[k], frame);
    }
}

bool SdoAwaitsBlockAck(const CoStack* stack) {
    for (const SdoChannel& ch : stack->sdoDownload)
        if (ch.busy && ch.state == SDO_DN_BLK_DATA && ch.blk.ackDue) return true;
    return false;
}

void SdoTickUploads(CoStack* stack) {
    Tick(stack, stack->sdoUpload);
}
void SdoTickDownloads(CoStack* stack) {
    Tick(stack, stack->sdoDownload);
}

}  // namespace orukiv
