// The expedited and segmented SDO server of the simulated nodes.
#include <algorithm>
#include <cstring>

#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

KIV_CanFrame SdoAnswer(uint8_t nodeId, uint8_t command, uint16_t index, uint8_t sub) {
    return MakeSdoFrame(0x580u + nodeId, {command, static_cast<uint8_t>(index),
                                          static_cast<uint8_t>(index >> 8), sub});
}

}  // namespace

SdoSegmentedServer::SdoSegmentedServer(uint8_t nodeId, SdoObjects& objects)
    : nodeId_(nodeId), objects_(objects) {}

void SdoSegmentedServer::ExpireIdle(Clock::time_point now) {
    // A transfer that no request has moved on for transferTimeout is over,
    // as a device's own SDO time-out ends it.
    if (transfer_ != Transfer::kNone && faults_.transferTimeout.count() > 0 &&
        now - tMoved_ >= faults_.transferTimeout)
        EndTransfer();
}

void SdoSegmentedServer::Serve(const uint8_t* d, std::vector<KIV_CanFrame>& out) {
    out_ = &out;
    const uint16_t index = static_cast<uint16_t>(d[1] | (d[2] << 8));
    const uint8_t sub = d[3];
    switch (d[0] >> 5) {
        case 0:
            DownloadSegment(d);
            break;
        case 1:
            InitiateDownload(d, index, sub);
            break;
        case 2:
            StartUpload(index, sub);
            break;
        case 3:
            UploadSegment(d[0]);
            break;
        case 4:  // the client aborts: no answer
            EndTransfer();
            break;
        default:  // reserved specifiers (block transfers are SdoBlockServer's)
            EndTransfer();
            Abort(index, sub, abort_code::kCommandInvalid);
            break;
    }
    out_ = nullptr;
}

void SdoSegmentedServer::InitiateUpload(uint16_t index, uint8_t sub,
                                        std::vector<KIV_CanFrame>& out) {
    out_ = &out;
    StartUpload(index, sub);
    out_ = nullptr;
}

void SdoSegmentedServer::Emit(const KIV_CanFrame& frame) {
    out_->push_back(frame);
}

void SdoSegmentedServer::Abort(uint16_t index, uint8_t sub, uint32_t code) {
    KIV_CanFrame f = SdoAnswer(nodeId_, 0x80, index, sub);
    for (int i = 0; i < 4; ++i) f.data[4 + i] = static_cast<uint8_t>(code >> (8 * i));
    Emit(f);
}

bool SdoSegmentedServer::TakeWrongToggle() {
    if (faults_.wrongToggleAnswers == 0) return false;
    if (faults_.wrongToggleAnswers > 0) --faults_.wrongToggleAnswers;
    return true;
}

void SdoSegmentedServer::EndTransfer() {
    transfer_ = Transfer::kNone;
    tData_.clear();
    tLastAnswer_.reset();
    tFinished_ = false;
}

bool SdoSegmentedServer::InTransfer() const {
    return transfer_ != Transfer::kNone && !tFinished_ && !faults_.replaceTransferOnInitiate;
}

void SdoSegmentedServer::StartUpload(uint16_t index, uint8_t sub) {
    if (InTransfer()) return Abort(index, sub, abort_code::kCommandInvalid);
    EndTransfer();
    std::vector<uint8_t> value;
    if (uint32_t code = objects_.ReadForUpload(index, sub, value)) return Abort(index, sub, code);

    const std::size_t size = value.size();
    if (size >= 1 && size <= 4) {
        const auto command =
            faults_.omitUploadSize ? uint8_t{0x42} : static_cast<uint8_t>(0x43 | ((4 - size) << 2));
        KIV_CanFrame f =
            SdoAnswer(nodeId_, faults_.expeditedUploadCommand.value_or(command), index, sub);
        std::memcpy(&f.data[4], value.data(), size);
        return Emit(f);
    }
    transfer_ = Transfer::kUpload;
    tMoved_ = Clock::now();
    tIndex_ = index;
    tSub_ = sub;
    tData_ = std::move(value);
    tOffset_ = 0;
    tToggle_ = 0;
    tSegments_ = 0;
    const uint32_t announced = faults_.announcedUploadSize.value_or(static_cast<uint32_t>(size));
    KIV_CanFrame f = SdoAnswer(nodeId_, faults_.omitUploadSize ? 0x40 : 0x41, index, sub);
    if (!faults_.omitUploadSize)
        for (int i = 0; i < 4; ++i) f.data[4 + i] = static_cast<uint8_t>(announced >> (8 * i));
    Emit(f);
}

// Checks a segment request against the transfer in progress; answers
// (abort, or a repeated answer) and returns false when it is not served.
bool SdoSegmentedServer::AcceptSegment(Transfer expected, uint8_t command) {
    if (transfer_ != expected) {
        EndTransfer();
        Abort(tIndex_, tSub_, abort_code::kCommandInvalid);
        return false;
    }
    const uint8_t toggle = (command >> 4) & 1;
    if (toggle != tToggle_) {
        if (faults_.repeatOnSameToggle && tLastAnswer_) {
            Emit(*tLastAnswer_);
            return false;
        }
        EndTransfer();
        Abort(tIndex_, tSub_, abort_code::kToggleNotAlternated);
        return false;
    }
    if (tFinished_) {
        EndTransfer();
        Abort(tIndex_, tSub_, abort_code::kCommandInvalid);
        return false;
    }
    if (faults_.abortAfterSegments >= 0 && tSegments_ >= faults_.abortAfterSegments) {
        EndTransfer();
        Abort(tIndex_, tSub_, faults_.midTransferAbortCode);
        return false;
    }
    return true;
}

void SdoSegmentedServer::UploadSegment(uint8_t command) {
    if (!AcceptSegment(Transfer::kUpload, command)) return;
    const std::size_t remaining = tData_.size() - tOffset_;
    const std::size_t n = std::min<std::size_t>(7, remaining);
    const bool last = remaining <= 7;
    KIV_CanFrame f = MakeSdoFrame(0x580u + nodeId_, {});
    if (n > 0) std::memcpy(&f.data[1], tData_.data() + tOffset_, n);  // an empty object has no data
    const uint8_t flags = static_cast<uint8_t>(((7 - n) << 1) | (last ? 1 : 0));
    if (TakeWrongToggle()) {
        f.data[0] = static_cast<uint8_t>(((tToggle_ ^ 1) << 4) | flags);
        return Emit(f);  // the transfer does not move on
    }
    f.data[0] = static_cast<uint8_t>((tToggle_ << 4) | flags);
    tOffset_ += n;
    tToggle_ ^= 1;
    ++tSegments_;
    tMoved_ = Clock::now();
    tFinished_ = last;
    tLastAnswer_ = f;
    Emit(f);
}

void SdoSegmentedServer::InitiateDownload(const uint8_t* d, uint16_t index, uint8_t sub) {
    if (InTransfer()) return Abort(index, sub, abort_code::kCommandInvalid);
    EndTransfer();
    const bool expedited = (d[0] & 0x02) != 0;
    const bool sizeIndicated = (d[0] & 0x01) != 0;

    if (expedited) {
        if (uint32_t code = objects_.CheckDownload(index, sub, std::nullopt,
                                                   std::vector<uint8_t>(d + 4, d + 8)))
            return Abort(index, sub, code);
        std::size_t size = 4;
        const std::optional<std::size_t> fixed = objects_.FixedSize(index, sub);
        if (sizeIndicated)
            size = 4 - ((d[0] >> 2) & 3);
        else if (fixed && *fixed <= 4)
            size = *fixed;  // no size given: the object's own
        std::vector<uint8_t> data(d + 4, d + 4 + size);
        if (uint32_t code = objects_.CommitDownload(index, sub, data))
            return Abort(index, sub, code);
        return Emit(SdoAnswer(nodeId_, 0x60, index, sub));
    }

    tSizeKnown_ = sizeIndicated;
    tSize_ = 0;
    if (sizeIndicated)
        tSize_ = static_cast<uint32_t>(d[4] | (d[5] << 8) | (d[6] << 16)) |
                 (static_cast<uint32_t>(d[7]) << 24);
    if (uint32_t code = objects_.CheckDownload(
            index, sub, sizeIndicated ? std::optional<uint32_t>(tSize_) : std::nullopt, {}))
        return Abort(index, sub, code);
    transfer_ = Transfer::kDownload;
    tMoved_ = Clock::now();
    tIndex_ = index;
    tSub_ = sub;
    tToggle_ = 0;
    tSegments_ = 0;
    Emit(SdoAnswer(nodeId_, 0x60, index, sub));
}

void SdoSegmentedServer::DownloadSegment(const uint8_t* d) {
    if (!AcceptSegment(Transfer::kDownload, d[0])) return;
    KIV_CanFrame ack = MakeSdoFrame(0x580u + nodeId_, {});
    if (TakeWrongToggle()) {
        ack.data[0] = static_cast<uint8_t>(0x20 | ((tToggle_ ^ 1) << 4));
        return Emit(ack);  // the segment is not taken
    }
    const bool last = (d[0] & 0x01) != 0;
    const std::size_t n = last ? 7 - ((d[0] >> 1) & 7) : 7;
    tData_.insert(tData_.end(), d + 1, d + 1 + n);
    if (tSizeKnown_ && (tData_.size() > tSize_ || (last && tData_.size() != tSize_))) {
        EndTransfer();
        return Abort(tIndex_, tSub_, abort_code::kLengthMismatch);
    }
    ack.data[0] = static_cast<uint8_t>(0x20 | (tToggle_ << 4));
    tToggle_ ^= 1;
    ++tSegments_;
    tMoved_ = Clock::now();
    if (last) {
        if (uint32_t code = objects_.CommitDownload(tIndex_, tSub_, tData_)) {
            EndTransfer();
            return Abort(tIndex_, tSub_, code);
        }
        tFinished_ = true;
    }
    tLastAnswer_ = ack;
    Emit(ack);
}

}  // namespace orukiv::sim
