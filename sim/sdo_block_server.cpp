// The strict SDO block-transfer server of the simulated nodes.
#include <algorithm>
#include <cstring>

#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

// Command bytes (byte 0) of block transfers.
constexpr uint8_t kCcsMask = 0xE0;
constexpr uint8_t kClientUpload = 0xA0;    // ccs 5: initiate, start, ack, end
constexpr uint8_t kClientDownload = 0xC0;  // ccs 6: initiate, end
constexpr uint8_t kUploadStart = 0xA3;
constexpr uint8_t kUploadAck = 0xA2;
constexpr uint8_t kUploadEndAnswer = 0xA1;
constexpr uint8_t kCrcSupported = 0x04;
constexpr uint8_t kSizeIndicated = 0x02;
constexpr uint8_t kAbort = 0x80;
constexpr uint8_t kLastSegment = 0x80;
constexpr uint8_t kMaxBlockSize = 127;
constexpr std::size_t kSegmentBytes = 7;

constexpr uint32_t kCommandInvalid = abort_code::kCommandInvalid;
constexpr uint32_t kInvalidBlockSize = 0x05040002;
constexpr uint32_t kInvalidSequence = 0x05040003;
constexpr uint32_t kCrcError = 0x05040004;

void PutLe32(uint8_t* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

SdoBlockServer::SdoBlockServer(uint8_t nodeId, SdoObjects& objects)
    : nodeId_(nodeId), objects_(objects) {}

void SdoBlockServer::Reset() {
    phase_ = Phase::kIdle;
    data_.clear();
    data_.shrink_to_fit();
    size_.reset();
    segments_ = 0;
    dropped_ = false;
    expected_ = 1;
    lastGood_ = 0;
    subBlocks_ = 0;
    complete_ = false;
    acked_ = 0;
    inFlight_ = 0;
}

KIV_CanFrame SdoBlockServer::Frame(uint8_t command) const {
    return MakeSdoFrame(0x580u + nodeId_, {command, static_cast<uint8_t>(index_),
                                           static_cast<uint8_t>(index_ >> 8), sub_});
}

void SdoBlockServer::Abort(uint32_t code, std::vector<KIV_CanFrame>& out) {
    KIV_CanFrame f = Frame(kAbort);
    PutLe32(&f.data[4], code);
    out.push_back(f);
    Reset();
}

uint8_t SdoBlockServer::BlockSize(std::size_t subBlock) const {
    const auto& sizes = settings_.blockSizes;
    if (sizes.empty()) return kMaxBlockSize;
    return sizes[std::min(subBlock, sizes.size() - 1)];
}

SdoBlockServer::Outcome SdoBlockServer::Serve(const uint8_t* d, std::vector<KIV_CanFrame>& out) {
    // A download's segments carry any first byte; the client's abort is
    // 0x80 (sequence number 0, which no segment has).
    if (phase_ != Phase::kIdle && d[0] == kAbort) {
        Reset();
        return Outcome::kServed;
    }
    switch (phase_) {
        case Phase::kIdle:
            return Initiate(d, out);
        case Phase::kDownloadSegments:
            DownloadSegment(d, out);
            break;
        case Phase::kDownloadEnd:
            DownloadEnd(d, out);
            break;
        case Phase::kUploadInitiated:
            if (d[0] != kUploadStart) {
                Abort(kCommandInvalid, out);
                break;
            }
            phase_ = Phase::kUploadSegments;
            SendSubBlock(out);
            break;
        case Phase::kUploadSegments:
            UploadAck(d, out);
            break;
        case Phase::kUploadEnd:
            if (d[0] != kUploadEndAnswer)
                Abort(kCommandInvalid, out);
            else
                Reset();
            break;
    }
    return Outcome::kServed;
}

SdoBlockServer::Outcome SdoBlockServer::Initiate(const uint8_t* d, std::vector<KIV_CanFrame>& out) {
    const uint8_t ccs = d[0] & kCcsMask;
    if (ccs != kClientUpload && ccs != kClientDownload) return Outcome::kNotMine;
    Reset();
    index_ = static_cast<uint16_t>(d[1] | (d[2] << 8));
    sub_ = d[3];
    // Only an initiate may start a transfer (subcommand 0).
    const uint8_t subcommand = ccs == kClientUpload ? (d[0] & 0x03) : (d[0] & 0x01);
    if (settings_.refuse || subcommand != 0) {
        Abort(kCommandInvalid, out);
        return Outcome::kServed;
    }
    crc_ = (d[0] & kCrcSupported) != 0;

    if (ccs == kClientDownload) {
        if ((d[0] & kSizeIndicated) != 0)
            size_ = static_cast<uint32_t>(d[4] | (d[5] << 8) | (d[6] << 16)) |
                    (static_cast<uint32_t>(d[7]) << 24);
        if (uint32_t code = objects_.CheckDownload(index_, sub_, size_, {})) {
            Abort(code, out);
            return Outcome::kServed;
        }
        phase_ = Phase::kDownloadSegments;
        KIV_CanFrame f = Frame(0xA0 | kCrcSupported);
        f.data[4] = BlockSize(0);
        out.push_back(f);
        return Outcome::kServed;
    }

    clientBlockSize_ = d[4];
    const uint8_t threshold = d[5];
    if (clientBlockSize_ == 0 || clientBlockSize_ > kMaxBlockSize) {
        Abort(kInvalidBlockSize, out);
        return Outcome::kServed;
    }
    if (uint32_t code = objects_.ReadForUpload(index_, sub_, data_)) {
        Abort(code, out);
        return Outcome::kServed;
    }
    if (threshold != 0 && data_.size() <= threshold) {
        Reset();
        return Outcome::kNormalUpload;
    }
    phase_ = Phase::kUploadInitiated;
    KIV_CanFrame f = Frame(0xC0 | kCrcSupported | kSizeIndicated);
    PutLe32(&f.data[4], static_cast<uint32_t>(data_.size()));
    out.push_back(f);
    return Outcome::kServed;
}

void SdoBlockServer::DownloadSegment(const uint8_t* d, std::vector<KIV_CanFrame>& out) {
    ++segments_;
    if (!dropped_ && segments_ == settings_.dropSegment) {
        dropped_ = true;
        return;  // lost on the way: the gap shows at the next one
    }
    if (settings_.abortAfterSegments != 0 && segments_ > settings_.abortAfterSegments)
        return Abort(settings_.midBlockAbortCode, out);
    const uint8_t seq = d[0] & 0x7F;
    const bool last = (d[0] & kLastSegment) != 0;
    if (seq == expected_ && !complete_) {
        data_.insert(data_.end(), d + 1, d + 1 + kSegmentBytes);
        lastGood_ = seq;
        ++expected_;
        complete_ = last;
    }
    // The sub-block ends with its last number or the last segment, taken
    // or not: the acknowledgement tells where the client goes on.
    if (seq != BlockSize(subBlocks_) && !last) return;
    KIV_CanFrame ack = MakeSdoFrame(0x580u + nodeId_, {kUploadAck, lastGood_});
    ++subBlocks_;
    ack.data[2] = BlockSize(subBlocks_);
    out.push_back(ack);
    expected_ = 1;
    lastGood_ = 0;
    if (complete_) phase_ = Phase::kDownloadEnd;
}

void SdoBlockServer::DownloadEnd(const uint8_t* d, std::vector<KIV_CanFrame>& out) {
    if ((d[0] & 0xE3) != (kClientDownload | 0x01)) return Abort(kCommandInvalid, out);
    const std::size_t unused = (d[0] >> 2) & 7;
    if (unused >= kSegmentBytes || unused > data_.size()) return Abort(kCommandInvalid, out);
    data_.resize(data_.size() - unused);
    if (size_ && data_.size() != *size_) return Abort(abort_code::kLengthMismatch, out);
    const auto crc = static_cast<uint16_t>(d[1] | (d[2] << 8));
    if (crc_ && (settings_.corruptCrc || crc != BlockCrc(data_.data(), data_.size())))
        return Abort(kCrcError, out);
    if (uint32_t code = objects_.CommitDownload(index_, sub_, data_)) return Abort(code, out);
    out.push_back(MakeSdoFrame(0x580u + nodeId_, {0xA1}));
    Reset();
}

void SdoBlockServer::SendSubBlock(std::vector<KIV_CanFrame>& out) {
    inFlight_ = 0;
    for (std::size_t at = acked_; inFlight_ < clientBlockSize_;) {
        const std::size_t n = std::min(kSegmentBytes, data_.size() - at);
        const bool last = at + n >= data_.size();
        ++inFlight_;
        ++segments_;
        if (settings_.abortAfterSegments != 0 && segments_ > settings_.abortAfterSegments)
            return Abort(settings_.midBlockAbortCode, out);
        KIV_CanFrame f = MakeSdoFrame(0x580u + nodeId_, {});
        f.data[0] = static_cast<uint8_t>(inFlight_ | (last ? kLastSegment : 0));
        if (n > 0) std::memcpy(&f.data[1], data_.data() + at, n);
        if (!dropped_ && segments_ == settings_.dropSegment)
            dropped_ = true;
        else
            out.push_back(f);
        at += n;
        if (last) break;
    }
}

void SdoBlockServer::UploadAck(const uint8_t* d, std::vector<KIV_CanFrame>& out) {
    if (d[0] != kUploadAck) return Abort(kCommandInvalid, out);
    const uint8_t ackseq = d[1];
    if (ackseq > inFlight_) return Abort(kInvalidSequence, out);
    if (d[2] == 0 || d[2] > kMaxBlockSize) return Abort(kInvalidBlockSize, out);
    clientBlockSize_ = d[2];
    acked_ = std::min(data_.size(), acked_ + ackseq * kSegmentBytes);
    const bool allAcked = acked_ == data_.size() && ackseq == inFlight_;
    if (!allAcked) return SendSubBlock(out);
    // Every byte acknowledged: the end frame with the unused bytes of the
    // last segment and the CRC.
    const std::size_t tail = data_.size() % kSegmentBytes;
    const auto unused = static_cast<uint8_t>(data_.empty() ? kSegmentBytes
                                             : tail == 0   ? 0
                                                           : kSegmentBytes - tail);
    uint16_t crc = crc_ ? BlockCrc(data_.data(), data_.size()) : 0;
    if (settings_.corruptCrc) crc ^= 0x5A5A;
    KIV_CanFrame end =
        MakeSdoFrame(0x580u + nodeId_, {static_cast<uint8_t>(0xC1 | (unused << 2)),
                                        static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
    out.push_back(end);
    phase_ = Phase::kUploadEnd;
}

}  // namespace orukiv::sim
