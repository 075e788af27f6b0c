// SDO block transfer (CiA 301) on the client side: the initiate and end
// frames, the sub-blocks of a download paced to what the host takes, the
// segments of an upload with their sequence check and acknowledgements, and
// the CRC. The channel's state machine (sdo_channel.cpp) drives these; the
// functions here only build frames, do the data phase's work and record how
// an exchange ended.
#include <algorithm>
#include <cstring>

#include "log/log.h"
#include "orukiv_common/byte_order.h"
#include "sdo/sdo_abort_codes.h"
#include "sdo/sdo_channel.h"
#include "stack/cia301.h"
#include "stack/co_stack.h"

namespace orukiv {

namespace {

using namespace cia301;

constexpr uint32_t kSeg = kSdoSegmentBytes;

bool ValidBlockSize(uint8_t n) {
    return n >= kBlockMinSize && n <= kBlockMaxSize;
}

// Data bytes of the last segment of `size` bytes (1..7).
uint32_t LastSegmentBytes(uint32_t size) {
    return size % kSeg == 0 ? kSeg : size % kSeg;
}

// Copies bytes received for offset `at` into the caller's buffer, never past
// its capacity.
void Store(SdoChannel& ch, uint32_t at, const uint8_t* bytes, uint32_t n) {
    if (ch.data == nullptr || at >= ch.capacity) return;
    std::memcpy(ch.data + at, bytes, std::min(n, ch.capacity - at));
}

// ---- Download data phase ----------------------------------------------------

// Sends the sub-block's segments from the one after seqNo: up to the
// per-pass limit (none in low-latency mode), stopping at the first segment
// the host refuses, which goes out again at the next pass.
void SendSubBlock(SdoChannel& ch, bool quick) {
    const uint32_t limit = quick ? kBlockMaxSize : std::max<uint32_t>(ch.blk.framesPerPass, 1);
    for (uint32_t sent = 0; sent < limit && !ch.blk.ackDue; ++sent) {
        const uint8_t seq = static_cast<uint8_t>(ch.blk.seqNo + 1);
        const uint32_t offset = ch.blk.subBlockStart + (seq - 1u) * kSeg;
        const uint32_t n = std::min(kSeg, ch.totalSize - offset);
        const bool last = offset + n >= ch.totalSize;
        KIV_CanFrame f;
        SdoBareFrame(ch, &f, static_cast<uint8_t>((last ? kBlockLastSegment : 0) | seq));
        std::memcpy(&f.data[1], ch.data + offset, n);
        if (SendFrame(ch.stack, &f) != KIV_OK) return;  // paused until the next pass
        ch.blk.seqNo = seq;
        // The time-out counts from the last new data sent or acknowledged:
        // sending a sub-block again that the server keeps refusing does not
        // keep the transfer alive.
        if (offset + n > ch.blk.sentHigh) {
            ch.blk.sentHigh = offset + n;
            ch.firstSendTick = StackTick(ch.stack);
        }
        if (last || seq == ch.blk.blkSize) ch.blk.ackDue = 1;
    }
}

// The server's acknowledgement of a sub-block: ackseq is the last segment it
// took in order; what follows it is sent again in the next sub-block, of the
// size the server asks for now.
void TakeDownloadAck(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint8_t ackSeq = f->data[1];
    const uint8_t nextSize = f->data[2];
    if (ackSeq > ch.blk.seqNo) {
        Log().Error("sdo block write ack of segment %d, %d sent", ackSeq, ch.blk.seqNo);
        SdoProtocolError(ch, kAbortSequence);
        return;
    }
    if (!ValidBlockSize(nextSize)) {
        Log().Error("sdo block write bad block size %d", nextSize);
        SdoProtocolError(ch, kAbortBlockSize);
        return;
    }
    ch.bytesDone = std::min(ch.totalSize, ch.blk.subBlockStart + ackSeq * kSeg);
    ch.blk.subBlockStart = ch.bytesDone;
    ch.blk.seqNo = 0;
    ch.blk.blkSize = nextSize;
    ch.blk.ackDue = 0;
    if (ackSeq > 0) ch.firstSendTick = StackTick(ch.stack);
    if (ch.bytesDone == ch.totalSize) SdoFinish(ch, KIV_OK, SDO_OUT_NEXT);
}

// ---- Upload data phase ------------------------------------------------------

// A segment taken in order: the one held before it was not the last, so it
// is all data; the new one is held until the end frame tells its padding.
void TakeSegment(SdoChannel& ch, const KIV_CanFrame* f, uint8_t seq, bool last) {
    if (ch.blk.heldBytes != 0) {
        if (ch.sizeKnown && ch.bytesDone + ch.blk.heldBytes >= ch.totalSize) {
            Log().Error("sdo block read more data than the size %d",
                        static_cast<int>(ch.totalSize));
            SdoProtocolError(ch, kAbortLength);
            return;
        }
        ch.blk.crc = BlockCrc(ch.blk.crc, ch.blk.held, ch.blk.heldBytes);
        Store(ch, ch.bytesDone, ch.blk.held, ch.blk.heldBytes);
        ch.bytesDone += ch.blk.heldBytes;
    }
    std::memcpy(ch.blk.held, &f->data[1], kSeg);
    ch.blk.heldBytes = kSeg;
    ch.blk.seqNo = seq;
    ch.firstSendTick = StackTick(ch.stack);
    if (last) ch.blk.lastSeen = 1;
    if (last || seq == ch.blk.blkSize) ch.blk.ackDue = 1;
}

// One segment of a sub-block. In order it is taken; out of order it is
// dropped, and the sub-block's end (its last number or the c bit) is
// acknowledged with the last number taken, so that the server restarts
// after it. Numbers outside 1..blksize break the protocol.
void UploadSegment(SdoChannel& ch, const KIV_CanFrame* f) {
    // Before the first segment, the answer to a re-sent initiate may still
    // come: it is not a segment.
    const bool initiateCopy =
        (f->data[0] & ~(kBlockCrcFlag | kBlockSizeFlag)) == kBlockUploadAnswer &&
        SdoMatchesObject(ch, f);
    if (initiateCopy && ch.bytesDone == 0 && ch.blk.heldBytes == 0) return;
    const uint8_t seq = f->data[0] & kBlockSeqMask;
    const bool last = (f->data[0] & kBlockLastSegment) != 0;
    if (seq == 0 || seq > ch.blk.blkSize) {
        Log().Error("sdo block read bad sequence number %d", seq);
        SdoProtocolError(ch, kAbortSequence);
        return;
    }
    if (seq == ch.blk.seqNo + 1) {
        TakeSegment(ch, f, seq, last);
        return;
    }
    Log().Warn("sdo block read segment %d out of order after %d", seq, ch.blk.seqNo);
    if (last || seq == ch.blk.blkSize) ch.blk.ackDue = 1;
}

// The server's end frame: the unused bytes of the last segment, the CRC.
void UploadEnd(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint32_t unused = BlockEndUnused(f->data[0]);
    const uint32_t valid = kSeg - unused;
    const uint32_t total = ch.bytesDone + valid;
    // Seven unused bytes leave the last segment empty: only an empty object.
    if (unused == kSeg && total != 0) {
        Log().Error("sdo block read end claims %d unused bytes", static_cast<int>(unused));
        SdoProtocolError(ch, kAbortLength);
        return;
    }
    if (ch.sizeKnown && total != ch.totalSize) {
        Log().Error("sdo block read size mismatch...<%d,%d>", static_cast<int>(total),
                    static_cast<int>(ch.totalSize));
        SdoProtocolError(ch, kAbortLength);
        return;
    }
    const uint16_t crc = BlockCrc(ch.blk.crc, ch.blk.held, valid);
    const uint16_t theirs = LoadLe16(&f->data[1]);
    if (ch.blk.crcOn && crc != theirs) {
        Log().Error("sdo block read crc<0x%04x> expected<0x%04x>", theirs, crc);
        SdoProtocolError(ch, kAbortCrc);
        return;
    }
    Store(ch, ch.bytesDone, ch.blk.held, valid);
    ch.bytesDone = total;
    ch.blk.heldBytes = 0;
    if (ch.receivedSize != nullptr) *ch.receivedSize = std::min(total, ch.capacity);
    Log().Info("sdo block read success...<%d byte>", static_cast<int>(total));
    SdoFinish(ch, KIV_OK, SDO_OUT_NEXT);
}

}  // namespace

void BlockBuildFrame(SdoChannel& ch, KIV_CanFrame* f) {
    if (ch.state == SDO_UP_BLK_INIT) {
        SdoStartFrame(ch, f, kBlockUploadInitiate | kBlockCrcFlag);
        f->data[4] = ch.blk.blkSize;
        f->data[5] = ch.blk.switchLimit;
    } else if (ch.state == SDO_DN_BLK_INIT) {
        SdoStartFrame(ch, f, kBlockDownloadInitiate | kBlockCrcFlag | kBlockSizeFlag);
        StoreLe32(&f->data[4], ch.totalSize);
    } else {  // download end: unused bytes of the last segment, CRC of the data
        const uint32_t unused = kSeg - LastSegmentBytes(ch.totalSize);
        SdoBareFrame(ch, f, static_cast<uint8_t>(kBlockDownloadEnd | unused << 2));
        const uint16_t crc = BlockCrc(0, ch.data, ch.totalSize);
        StoreLe16(&f->data[1], crc);
    }
}

void BlockDataWork(SdoChannel& ch, bool quick) {
    CoStack* stack = ch.stack;
    const uint32_t now = StackTick(stack);
    if (ch.sendCount == 0) {  // the phase begins: the server's silence counts from now
        ch.sendCount = 1;
        ch.firstSendTick = now;
        if (ch.upload) ch.blk.seqNo = 0;
    }
    if (SdoTimedOut(ch, now)) return;
    if (!ch.upload) {
        if (!ch.blk.ackDue) SendSubBlock(ch, quick);
        return;
    }
    // Upload: the start frame once, then an acknowledgement per sub-block.
    if (ch.lastSendTick == 0xFFFFFFFFu) {
        KIV_CanFrame f;
        SdoBareFrame(ch, &f, kBlockUploadStart);
        if (SendFrame(stack, &f) != KIV_OK) return;
        ch.lastSendTick = now;
    }
    if (ch.blk.ackDue) {
        KIV_CanFrame f;
        SdoBareFrame(ch, &f, kBlockAck);
        f.data[1] = ch.blk.seqNo;
        f.data[2] = ch.blk.blkSize;
        if (SendFrame(stack, &f) != KIV_OK) return;  // sent again at the next pass
        // The time-out still counts from the last segment taken: a server
        // that never gets past a gap is not kept alive by acknowledgements.
        ch.blk.ackDue = 0;
        ch.blk.seqNo = 0;  // the next sub-block numbers from 1
    }
}

void BlockUploadEndWork(SdoChannel& ch) {
    const uint32_t now = StackTick(ch.stack);
    if (ch.sendCount++ == 0) ch.firstSendTick = now;
    KIV_CanFrame f;
    SdoBareFrame(ch, &f, kBlockUploadEndAnswer);
    // The data are complete; a host that refuses the frame for the whole
    // time-out does not turn that into a failure.
    if (SendFrame(ch.stack, &f) == KIV_OK || SdoElapsed(now, ch.firstSendTick) >= ch.timeoutMs)
        ch.outcome = SDO_OUT_COMPLETE;
}

void BlockUploadResponse(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint8_t cmd = f->data[0];
    if (ch.state == SDO_UP_BLK_INIT) {
        if ((cmd & ~(kBlockCrcFlag | kBlockSizeFlag)) != kBlockUploadAnswer ||
            !SdoMatchesObject(ch, f))
            return;
        ch.sizeKnown = (cmd & kBlockSizeFlag) != 0 ? 1 : 0;
        ch.totalSize = ch.sizeKnown ? LoadLe32(&f->data[4]) : 0;
        ch.blk.crcOn = (cmd & kBlockCrcFlag) != 0 ? 1 : 0;
        Log().Info("sdo block read size:%d byte", static_cast<int>(ch.totalSize));
        if (SdoRefuseTooLong(ch)) return;
        SdoFinish(ch, KIV_OK, SDO_OUT_NEXT);
        return;
    }
    if (ch.state != SDO_UP_BLK_DATA) return;
    if (ch.blk.lastSeen && !ch.blk.ackDue) {
        if ((cmd & kBlockEndMask) == kBlockUploadEnd) UploadEnd(ch, f);
        return;
    }
    if (!ch.blk.ackDue && !ch.blk.lastSeen) UploadSegment(ch, f);
}

void BlockDownloadResponse(SdoChannel& ch, const KIV_CanFrame* f) {
    const uint8_t cmd = f->data[0];
    switch (ch.state) {
        case SDO_DN_BLK_INIT:
            if ((cmd & ~kBlockCrcFlag) != kBlockDownloadAnswer || !SdoMatchesObject(ch, f)) return;
            if (!ValidBlockSize(f->data[4])) {
                Log().Error("sdo block write bad block size %d", f->data[4]);
                SdoProtocolError(ch, kAbortBlockSize);
                return;
            }
            ch.blk.blkSize = f->data[4];
            ch.blk.crcOn = (cmd & kBlockCrcFlag) != 0 ? 1 : 0;
            Log().Info("sdo block write size:%d byte, start success",
                       static_cast<int>(ch.totalSize));
            SdoFinish(ch, KIV_OK, SDO_OUT_NEXT);
            break;
        case SDO_DN_BLK_DATA:
            // An acknowledgement may come before the sub-block is all out (a
            // server that saw a gap): it restarts the sub-block all the same.
            if (cmd == kBlockAck) TakeDownloadAck(ch, f);
            break;
        case SDO_DN_BLK_END:
            if (cmd == kBlockDownloadEndAnswer) {
                Log().Info("sdo block write success...<%d byte>", static_cast<int>(ch.totalSize));
                SdoFinish(ch, KIV_OK, SDO_OUT_COMPLETE);
            }
            break;
        default:
            break;
    }
}

}  // namespace orukiv
