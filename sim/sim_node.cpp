// The simulated node: object dictionary, SDO server and its fault knobs.
#include <algorithm>
#include <cstring>

#include "orukiv_sim/byte_order.h"
#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint32_t Key(uint16_t index, uint8_t sub) {
    return (static_cast<uint32_t>(index) << 8) | sub;
}

KIV_CanFrame SdoAnswer(uint8_t nodeId, uint8_t command, uint16_t index, uint8_t sub) {
    return MakeSdoFrame(0x580u + nodeId, {command, static_cast<uint8_t>(index),
                                          static_cast<uint8_t>(index >> 8), sub});
}

}  // namespace

SimNode::SimNode(VirtualBus& bus, uint8_t nodeId, Mode mode)
    : bus_(bus), nodeId_(nodeId), mode_(mode), rng_(faults_.seed), block_(nodeId, *this) {
    Endpoint::Handler handler;
    if (mode_ == Mode::kInline) handler = [this](const KIV_CanFrame& f) { HandleFrame(f); };
    ep_ = bus_.Attach("node " + std::to_string(nodeId), std::move(handler));
    // A device's firmware holds what it sends until its controller takes
    // it: a whole sub-block of 127 segments waits, none is refused.
    ep_->SetTxQueueDepth(0);
    if (mode_ == Mode::kThread) {
        thread_ = std::thread([this] {
            KIV_CanFrame f;
            while (ep_->WaitPop(f)) HandleFrame(f);
        });
    }
}

SimNode::~SimNode() {
    Shutdown();
}

void SimNode::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    ep_->Close();
    if (thread_.joinable()) thread_.join();
    bus_.Detach(ep_);
}

// ---- Object dictionary --------------------------------------------------------

void SimNode::AddObject(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value,
                        Access access) {
    std::lock_guard<std::mutex> lock(m_);
    Entry& e = od_[Key(index, subIndex)];
    e.value = std::move(value);
    e.access = access;
    e.variable = false;
    e.maxSize = e.value.size();
}

void SimNode::AddVariableObject(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value,
                                std::size_t maxSize, Access access) {
    std::lock_guard<std::mutex> lock(m_);
    Entry& e = od_[Key(index, subIndex)];
    e.value = std::move(value);
    e.access = access;
    e.variable = true;
    e.maxSize = maxSize;
}

void SimNode::AddU8(uint16_t index, uint8_t subIndex, uint8_t value, Access access) {
    AddObject(index, subIndex, StoreLe(value, 1), access);
}
void SimNode::AddU16(uint16_t index, uint8_t subIndex, uint16_t value, Access access) {
    AddObject(index, subIndex, StoreLe(value, 2), access);
}
void SimNode::AddU32(uint16_t index, uint8_t subIndex, uint32_t value, Access access) {
    AddObject(index, subIndex, StoreLe(value, 4), access);
}

void SimNode::RemoveObject(uint16_t index, uint8_t subIndex) {
    std::lock_guard<std::mutex> lock(m_);
    od_.erase(Key(index, subIndex));
}

bool SimNode::SetValue(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value) {
    std::lock_guard<std::mutex> lock(m_);
    auto it = od_.find(Key(index, subIndex));
    if (it == od_.end()) return false;
    it->second.value = std::move(value);
    return true;
}

std::optional<std::vector<uint8_t>> SimNode::Value(uint16_t index, uint8_t subIndex) const {
    std::lock_guard<std::mutex> lock(m_);
    const Entry* e = Find(index, subIndex);
    if (!e) return std::nullopt;
    return e->value;
}

uint32_t SimNode::ValueU32(uint16_t index, uint8_t subIndex) const {
    std::lock_guard<std::mutex> lock(m_);
    return ValueU32Locked(index, subIndex);
}

std::vector<uint8_t>* SimNode::FindLocked(uint16_t index, uint8_t subIndex) {
    auto it = od_.find(Key(index, subIndex));
    return it == od_.end() ? nullptr : &it->second.value;
}

void SimNode::SetLocked(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value) {
    auto it = od_.find(Key(index, subIndex));
    if (it != od_.end()) it->second.value = std::move(value);
}

uint32_t SimNode::ValueU32Locked(uint16_t index, uint8_t subIndex) const {
    const Entry* e = Find(index, subIndex);
    if (!e) return 0;
    return LoadLe32(e->value);
}

const SimNode::Entry* SimNode::Find(uint16_t index, uint8_t sub) const {
    auto it = od_.find(Key(index, sub));
    return it == od_.end() ? nullptr : &it->second;
}

uint32_t SimNode::LookUp(uint16_t index, uint8_t sub, const Entry** out) const {
    *out = Find(index, sub);
    if (*out) return 0;
    auto it = od_.lower_bound(Key(index, 0));
    if (it != od_.end() && (it->first >> 8) == index) return abort_code::kNoSubIndex;
    return abort_code::kNoObject;
}

// ---- Knobs and records --------------------------------------------------------

void SimNode::SetFaults(const SdoFaults& faults) {
    std::lock_guard<std::mutex> lock(m_);
    faults_ = faults;
    rng_.seed(faults.seed);
}

SdoFaults SimNode::Faults() const {
    std::lock_guard<std::mutex> lock(m_);
    return faults_;
}

std::vector<WriteRecord> SimNode::Writes() const {
    std::lock_guard<std::mutex> lock(m_);
    return writes_;
}

void SimNode::ClearWrites() {
    std::lock_guard<std::mutex> lock(m_);
    writes_.clear();
}

bool SimNode::WaitForWrites(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_);
    return writesCv_.wait_for(lock, timeout, [&] { return writes_.size() >= n; });
}

uint64_t SimNode::RequestsSeen() const {
    std::lock_guard<std::mutex> lock(m_);
    return requestsSeen_;
}

uint64_t SimNode::AnswersSent() const {
    std::lock_guard<std::mutex> lock(m_);
    return answersSent_;
}

void SimNode::Record(uint16_t index, uint8_t sub, const std::vector<uint8_t>& data, uint32_t code) {
    writes_.push_back(WriteRecord{index, sub, data, Clock::now(), code});
    writesCv_.notify_all();
}

// ---- Frames out -----------------------------------------------------------------

void SimNode::SendBootUp() {
    ep_->Send(MakeFrame(0x700u + nodeId_, {0x00}));
}

void SimNode::SendHeartbeat(uint8_t state) {
    ep_->Send(MakeFrame(0x700u + nodeId_, {state}));
}

void SimNode::SendLocked(const KIV_CanFrame& frame) {
    outbox_.emplace_back(frame, std::chrono::microseconds(0));
}

void SimNode::FlushPending() {
    std::vector<std::pair<KIV_CanFrame, std::chrono::microseconds>> out;
    {
        std::lock_guard<std::mutex> lock(m_);
        out.swap(outbox_);
    }
    for (const auto& [frame, delay] : out) {
        if (delay.count() > 0)
            ep_->SendAfter(frame, delay);
        else
            ep_->Send(frame);
    }
}

double SimNode::Draw() {
    return static_cast<double>(rng_() >> 8) * (1.0 / 16777216.0);
}

void SimNode::Answer(KIV_CanFrame frame) {
    if (faults_.dropShare > 0.0 && Draw() < faults_.dropShare) return;
    if (faults_.corruptShare > 0.0 && Draw() < faults_.corruptShare) {
        const std::size_t k = faults_.corruptByte >= 0
                                  ? static_cast<std::size_t>(faults_.corruptByte) % 8
                                  : static_cast<std::size_t>(rng_() % 8);
        frame.data[k] ^= 0xFF;
    }
    outbox_.emplace_back(frame, faults_.delay);
    ++answersSent_;
}

void SimNode::Abort(uint16_t index, uint8_t sub, uint32_t code) {
    KIV_CanFrame f = SdoAnswer(nodeId_, 0x80, index, sub);
    for (int i = 0; i < 4; ++i) f.data[4 + i] = static_cast<uint8_t>(code >> (8 * i));
    Answer(f);
}

bool SimNode::TakeWrongToggle() {
    if (faults_.wrongToggleAnswers == 0) return false;
    if (faults_.wrongToggleAnswers > 0) --faults_.wrongToggleAnswers;
    return true;
}

void SimNode::EndTransfer() {
    transfer_ = Transfer::kNone;
    tData_.clear();
    tLastAnswer_.reset();
    tFinished_ = false;
}

// ---- SDO server -----------------------------------------------------------------

std::size_t SimNode::Pump() {
    std::size_t n = 0;
    KIV_CanFrame f;
    while (ep_->TryPop(f)) {
        HandleFrame(f);
        ++n;
    }
    return n;
}

bool SimNode::PumpOne(std::chrono::milliseconds timeout) {
    KIV_CanFrame f;
    if (!ep_->WaitPopFor(f, timeout)) return false;
    HandleFrame(f);
    return true;
}

void SimNode::HandleFrame(const KIV_CanFrame& frame) {
    if (HandleNetworkFrame(frame)) return;
    if (frame.rtr != 0 || frame.id != 0x600u + nodeId_) return;
    {
        std::lock_guard<std::mutex> lock(m_);
        ++requestsSeen_;
        ServeRequest(frame.data);
    }
    FlushPending();
}

void SimNode::ServeRequest(const uint8_t* d) {
    const auto index = static_cast<uint16_t>(LoadLe(&d[1], 2));
    const uint8_t sub = d[3];
    // A transfer that no request has moved on for transferTimeout is over,
    // as a device's own SDO time-out ends it.
    if (transfer_ != Transfer::kNone && faults_.transferTimeout.count() > 0 &&
        Clock::now() - tMoved_ >= faults_.transferTimeout)
        EndTransfer();
    if (ServeBlock(d, index, sub)) return;
    switch (d[0] >> 5) {
        case 0:
            DownloadSegment(d);
            break;
        case 1:
            InitiateDownload(d, index, sub);
            break;
        case 2:
            InitiateUpload(index, sub);
            break;
        case 3:
            UploadSegment(d[0]);
            break;
        case 4:  // the client aborts: no answer
            EndTransfer();
            break;
        default:  // block transfers and reserved specifiers
            EndTransfer();
            Abort(index, sub, abort_code::kCommandInvalid);
            break;
    }
}

bool SimNode::InSegmentedTransfer() const {
    return transfer_ != Transfer::kNone && !tFinished_ && !faults_.replaceTransferOnInitiate;
}

void SimNode::InitiateUpload(uint16_t index, uint8_t sub) {
    if (InSegmentedTransfer()) return Abort(index, sub, abort_code::kCommandInvalid);
    EndTransfer();
    const Entry* e = nullptr;
    if (uint32_t code = LookUp(index, sub, &e)) return Abort(index, sub, code);
    if (e->access == Access::kWO) return Abort(index, sub, abort_code::kWriteOnly);

    const std::size_t size = e->value.size();
    if (size >= 1 && size <= 4) {
        const auto command =
            faults_.omitUploadSize ? uint8_t{0x42} : static_cast<uint8_t>(0x43 | ((4 - size) << 2));
        KIV_CanFrame f =
            SdoAnswer(nodeId_, faults_.expeditedUploadCommand.value_or(command), index, sub);
        std::memcpy(&f.data[4], e->value.data(), size);
        return Answer(f);
    }
    transfer_ = Transfer::kUpload;
    tMoved_ = Clock::now();
    tIndex_ = index;
    tSub_ = sub;
    tData_ = e->value;
    tOffset_ = 0;
    tToggle_ = 0;
    tSegments_ = 0;
    const uint32_t announced = faults_.announcedUploadSize.value_or(static_cast<uint32_t>(size));
    KIV_CanFrame f = SdoAnswer(nodeId_, faults_.omitUploadSize ? 0x40 : 0x41, index, sub);
    if (!faults_.omitUploadSize)
        for (int i = 0; i < 4; ++i) f.data[4 + i] = static_cast<uint8_t>(announced >> (8 * i));
    Answer(f);
}

// Checks a segment request against the transfer in progress; answers
// (abort, or a repeated answer) and returns false when it is not served.
bool SimNode::AcceptSegment(Transfer expected, uint8_t command) {
    if (transfer_ != expected) {
        EndTransfer();
        Abort(tIndex_, tSub_, abort_code::kCommandInvalid);
        return false;
    }
    const uint8_t toggle = (command >> 4) & 1;
    if (toggle != tToggle_) {
        if (faults_.repeatOnSameToggle && tLastAnswer_) {
            Answer(*tLastAnswer_);
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

void SimNode::UploadSegment(uint8_t command) {
    if (!AcceptSegment(Transfer::kUpload, command)) return;
    const std::size_t remaining = tData_.size() - tOffset_;
    const std::size_t n = std::min<std::size_t>(7, remaining);
    const bool last = remaining <= 7;
    KIV_CanFrame f = MakeSdoFrame(0x580u + nodeId_, {});
    std::memcpy(&f.data[1], tData_.data() + tOffset_, n);
    const uint8_t flags = static_cast<uint8_t>(((7 - n) << 1) | (last ? 1 : 0));
    if (TakeWrongToggle()) {
        f.data[0] = static_cast<uint8_t>(((tToggle_ ^ 1) << 4) | flags);
        return Answer(f);  // the transfer does not move on
    }
    f.data[0] = static_cast<uint8_t>((tToggle_ << 4) | flags);
    tOffset_ += n;
    tToggle_ ^= 1;
    ++tSegments_;
    tMoved_ = Clock::now();
    tFinished_ = last;
    tLastAnswer_ = f;
    Answer(f);
}

uint32_t SimNode::CheckWriteAccess(uint16_t index, uint8_t sub) const {
    const Entry* e = nullptr;
    if (uint32_t code = LookUp(index, sub, &e)) return code;
    if (e->access == Access::kRO || e->access == Access::kConst) return abort_code::kReadOnly;
    return 0;
}

uint32_t SimNode::CheckSize(const Entry& e, std::size_t size) const {
    if (e.variable) {
        if (size == 0) return abort_code::kLengthTooLow;
        if (size > e.maxSize) return abort_code::kLengthTooHigh;
        return 0;
    }
    if (size > e.value.size()) return abort_code::kLengthTooHigh;
    if (size < e.value.size()) return abort_code::kLengthTooLow;
    return 0;
}

uint32_t SimNode::CommitWrite(uint16_t index, uint8_t sub, const std::vector<uint8_t>& data) {
    uint32_t code = CheckWriteAccess(index, sub);
    if (!code) code = CheckSize(*Find(index, sub), data.size());
    if (!code) code = CheckPdoRecordWrite(index, sub, data);
    if (!code) code = OnWrite(index, sub, data);
    if (!code) {
        od_[Key(index, sub)].value = data;
        AfterWrite(index, sub);
    }
    Record(index, sub, data, code);
    return code;
}

void SimNode::InitiateDownload(const uint8_t* d, uint16_t index, uint8_t sub) {
    if (InSegmentedTransfer()) return Abort(index, sub, abort_code::kCommandInvalid);
    EndTransfer();
    const bool expedited = (d[0] & 0x02) != 0;
    const bool sizeIndicated = (d[0] & 0x01) != 0;

    if (uint32_t code = CheckWriteAccess(index, sub)) {
        std::vector<uint8_t> data;
        if (expedited) data.assign(d + 4, d + 8);
        Record(index, sub, data, code);
        return Abort(index, sub, code);
    }
    const Entry& e = *Find(index, sub);

    if (expedited) {
        std::size_t size = 4;
        if (sizeIndicated)
            size = 4 - ((d[0] >> 2) & 3);
        else if (!e.variable && e.value.size() <= 4)
            size = e.value.size();  // no size given: the object's own
        std::vector<uint8_t> data(d + 4, d + 4 + size);
        if (uint32_t code = CommitWrite(index, sub, data)) return Abort(index, sub, code);
        return Answer(SdoAnswer(nodeId_, 0x60, index, sub));
    }

    tSizeKnown_ = sizeIndicated;
    tSize_ = 0;
    if (sizeIndicated) {
        tSize_ = static_cast<uint32_t>(LoadLe(&d[4], 4));
        if (uint32_t code = CheckSize(e, tSize_)) {
            Record(index, sub, {}, code);
            return Abort(index, sub, code);
        }
    }
    transfer_ = Transfer::kDownload;
    tMoved_ = Clock::now();
    tIndex_ = index;
    tSub_ = sub;
    tToggle_ = 0;
    tSegments_ = 0;
    Answer(SdoAnswer(nodeId_, 0x60, index, sub));
}

void SimNode::DownloadSegment(const uint8_t* d) {
    if (!AcceptSegment(Transfer::kDownload, d[0])) return;
    KIV_CanFrame ack = MakeSdoFrame(0x580u + nodeId_, {});
    if (TakeWrongToggle()) {
        ack.data[0] = static_cast<uint8_t>(0x20 | ((tToggle_ ^ 1) << 4));
        return Answer(ack);  // the segment is not taken
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
        if (uint32_t code = CommitWrite(tIndex_, tSub_, tData_)) {
            EndTransfer();
            return Abort(tIndex_, tSub_, code);
        }
        tFinished_ = true;
    }
    tLastAnswer_ = ack;
    Answer(ack);
}

// ---- Block transfer ---------------------------------------------------------------

void SimNode::SetBlockServer(const BlockServerSettings& settings) {
    std::lock_guard<std::mutex> lock(m_);
    block_.SetSettings(settings);
}

BlockServerSettings SimNode::BlockServer() const {
    std::lock_guard<std::mutex> lock(m_);
    return block_.Settings();
}

bool SimNode::ServeBlock(const uint8_t* d, uint16_t index, uint8_t sub) {
    // The server's own time-out ends a block transfer left without an abort.
    const Clock::time_point now = Clock::now();
    if (block_.Active() && faults_.transferTimeout.count() > 0 &&
        now - blockMoved_ >= faults_.transferTimeout)
        block_.Reset();
    const uint8_t ccs = d[0] >> 5;
    if (!block_.Active() && ccs != 5 && ccs != 6) return false;
    if (!block_.Active() && InSegmentedTransfer()) {
        Abort(index, sub, abort_code::kCommandInvalid);  // one transfer at a time
        return true;
    }
    if (!block_.Active()) EndTransfer();  // a finished segmented transfer
    blockMoved_ = now;
    std::vector<KIV_CanFrame> out;
    const SdoBlockServer::Outcome outcome = block_.Serve(d, out);
    for (const KIV_CanFrame& f : out) {
        outbox_.emplace_back(f, block_.Settings().latency);
        ++answersSent_;
    }
    if (outcome == SdoBlockServer::Outcome::kNormalUpload) InitiateUpload(index, sub);
    return outcome != SdoBlockServer::Outcome::kNotMine;
}

uint32_t SimNode::ReadForUpload(uint16_t index, uint8_t sub, std::vector<uint8_t>& value) {
    const Entry* e = nullptr;
    if (uint32_t code = LookUp(index, sub, &e)) return code;
    if (e->access == Access::kWO) return abort_code::kWriteOnly;
    value = e->value;
    return 0;
}

uint32_t SimNode::CheckDownload(uint16_t index, uint8_t sub, std::optional<uint32_t> size) {
    uint32_t code = CheckWriteAccess(index, sub);
    if (!code && size) code = CheckSize(*Find(index, sub), *size);
    if (code) Record(index, sub, {}, code);
    return code;
}

uint32_t SimNode::CommitDownload(uint16_t index, uint8_t sub, const std::vector<uint8_t>& data) {
    return CommitWrite(index, sub, data);
}

uint32_t SimNode::OnWrite(uint16_t, uint8_t, const std::vector<uint8_t>&) {
    return 0;
}

void SimNode::AfterWrite(uint16_t, uint8_t) {}

}  // namespace orukiv::sim
