// The simulated node: object dictionary, SDO server and its fault knobs.
#include <algorithm>
#include <cstring>

#include "orukiv_common/byte_order.h"
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
    : bus_(bus),
      nodeId_(nodeId),
      mode_(mode),
      rng_(SdoFaults{}.seed),
      seg_(nodeId, *this),
      block_(nodeId, *this),
      pendingNodeId_(nodeId),
      storedNodeId_(nodeId) {
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
    seg_.SetFaults(faults);
    rng_.seed(faults.seed);
}

SdoFaults SimNode::Faults() const {
    std::lock_guard<std::mutex> lock(m_);
    return seg_.Faults();
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
    const SdoFaults& faults = seg_.Faults();
    if (faults.dropShare > 0.0 && Draw() < faults.dropShare) return;
    if (faults.corruptShare > 0.0 && Draw() < faults.corruptShare) {
        const std::size_t k = faults.corruptByte >= 0
                                  ? static_cast<std::size_t>(faults.corruptByte) % 8
                                  : static_cast<std::size_t>(rng_() % 8);
        frame.data[k] ^= 0xFF;
    }
    outbox_.emplace_back(frame, faults.delay);
    ++answersSent_;
}

void SimNode::Abort(uint16_t index, uint8_t sub, uint32_t code) {
    KIV_CanFrame f = SdoAnswer(nodeId_, 0x80, index, sub);
    for (int i = 0; i < 4; ++i) f.data[4 + i] = static_cast<uint8_t>(code >> (8 * i));
    Answer(f);
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
    if (HandleLssFrame(frame) || HandleNetworkFrame(frame)) return;
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
    seg_.ExpireIdle(Clock::now());
    if (ServeBlock(d, index, sub)) return;
    std::vector<KIV_CanFrame> out;
    seg_.Serve(d, out);
    for (const KIV_CanFrame& f : out) Answer(f);
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
    const auto timeout = seg_.Faults().transferTimeout;
    if (block_.Active() && timeout.count() > 0 && now - blockMoved_ >= timeout) block_.Reset();
    const uint8_t ccs = d[0] >> 5;
    if (!block_.Active() && ccs != 5 && ccs != 6) return false;
    if (!block_.Active() && seg_.InTransfer()) {
        Abort(index, sub, abort_code::kCommandInvalid);  // one transfer at a time
        return true;
    }
    if (!block_.Active()) seg_.EndTransfer();  // a finished segmented transfer
    blockMoved_ = now;
    std::vector<KIV_CanFrame> out;
    const SdoBlockServer::Outcome outcome = block_.Serve(d, out);
    for (const KIV_CanFrame& f : out) {
        outbox_.emplace_back(f, block_.Settings().latency);
        ++answersSent_;
    }
    if (outcome == SdoBlockServer::Outcome::kNormalUpload) {
        out.clear();
        seg_.InitiateUpload(index, sub, out);
        for (const KIV_CanFrame& f : out) Answer(f);
    }
    return outcome != SdoBlockServer::Outcome::kNotMine;
}

uint32_t SimNode::ReadForUpload(uint16_t index, uint8_t sub, std::vector<uint8_t>& value) {
    const Entry* e = nullptr;
    if (uint32_t code = LookUp(index, sub, &e)) return code;
    if (e->access == Access::kWO) return abort_code::kWriteOnly;
    value = e->value;
    return 0;
}

uint32_t SimNode::CheckDownload(uint16_t index, uint8_t sub, std::optional<uint32_t> size,
                                const std::vector<uint8_t>& attempted) {
    uint32_t code = CheckWriteAccess(index, sub);
    if (!code && size) code = CheckSize(*Find(index, sub), *size);
    if (code) Record(index, sub, attempted, code);
    return code;
}

std::optional<std::size_t> SimNode::FixedSize(uint16_t index, uint8_t sub) {
    const Entry* e = Find(index, sub);
    if (!e || e->variable) return std::nullopt;
    return e->value.size();
}

uint32_t SimNode::CommitDownload(uint16_t index, uint8_t sub, const std::vector<uint8_t>& data) {
    return CommitWrite(index, sub, data);
}

uint32_t SimNode::OnWrite(uint16_t, uint8_t, const std::vector<uint8_t>&) {
    return 0;
}

void SimNode::AfterWrite(uint16_t, uint8_t) {}

}  // namespace orukiv::sim
