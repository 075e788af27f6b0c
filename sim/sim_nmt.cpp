// The simulated node as an NMT slave (its NmtSlave): boot-up, heartbeat
// production, node-guarding answers and the supervision of the master;
// the dispatch of network frames.
#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint32_t kNmtId = 0x000;
constexpr uint32_t kSyncId = 0x080;
constexpr uint32_t kErrorControlBase = 0x700;
constexpr uint32_t kSdoRequestBase = 0x600;
constexpr uint8_t kUnconfigured = 0xFF;
constexpr uint16_t kErrorRegister = 0x1001;
constexpr uint16_t kGuardTime = 0x100C;
constexpr uint16_t kLifeTimeFactor = 0x100D;
constexpr uint16_t kConsumerHeartbeat = 0x1016;
constexpr uint16_t kProducerHeartbeat = 0x1017;
constexpr uint16_t kErrorBehaviour = 0x1029;
constexpr uint8_t kCommunicationError = 0x10;  // error register bit 4

}  // namespace

KIV_NmtState SimNode::NmtState() const {
    std::lock_guard<std::mutex> lock(m_);
    return nmt_.State();
}

bool SimNode::WaitForNmtState(KIV_NmtState s, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_);
    return nmtCv_.wait_for(lock, timeout, [&] { return nmt_.State() == s; });
}

void SimNode::SetHeartbeatSilenced(bool on) {
    std::lock_guard<std::mutex> lock(m_);
    nmt_.SetHeartbeatSilenced(on);
}

void SimNode::Boot() {
    {
        std::lock_guard<std::mutex> lock(m_);
        BootLocked();
    }
    FlushPending();
}

void SimNode::SetBootUpDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(m_);
    bootUpDelay_ = delay;
}

void SimNode::BootLocked() {
    nmt_.Booted();
    if (nodeId_ != kUnconfigured)
        outbox_.emplace_back(MakeFrame(kErrorControlBase + nodeId_, {KIV_NMT_STATE_BOOTUP}),
                             bootUpDelay_);
    nmtCv_.notify_all();
}

void SimNode::NmtCommandLocked(uint8_t command) {
    switch (nmt_.Command(command)) {
        case NmtSlave::Reset::kNode:
            OnResetApplication();
            AdoptNodeIdLocked(pendingNodeId_);  // an LSS node-ID takes effect
            BootLocked();
            return;
        case NmtSlave::Reset::kCommunication:
            AdoptNodeIdLocked(pendingNodeId_);
            BootLocked();
            return;
        case NmtSlave::Reset::kNone:
            break;
    }
    nmtCv_.notify_all();
}

void SimNode::AddSupervisionObjects() {
    AddU8(kErrorRegister, 0, 0, Access::kRO);
    AddU16(kGuardTime, 0, 0);
    AddU8(kLifeTimeFactor, 0, 0);
    AddU8(kConsumerHeartbeat, 0, 1, Access::kConst);
    AddU32(kConsumerHeartbeat, 1, 0);
    AddU8(kErrorBehaviour, 0, 1, Access::kConst);
    AddU8(kErrorBehaviour, 1, 0);
}

void SimNode::MasterLostLocked(NmtSlave::Loss loss) {
    if (loss == NmtSlave::Loss::kNone) return;
    const auto reg = static_cast<uint8_t>(ValueU32Locked(kErrorRegister, 0) | kCommunicationError);
    SetLocked(kErrorRegister, 0, {reg});
    // EMCY: heartbeat or life guard error (0x8130), the error register, and
    // which supervision found it (1: heartbeat, 2: life guarding).
    SendLocked(MakeSdoFrame(
        0x80u + nodeId_,
        {0x30, 0x81, reg, static_cast<uint8_t>(loss == NmtSlave::Loss::kHeartbeat ? 1 : 2)}));
    const uint32_t behaviour = Find(kErrorBehaviour, 1) ? ValueU32Locked(kErrorBehaviour, 1) : 0;
    if (behaviour == 0 && nmt_.State() == KIV_NMT_STATE_OPERATIONAL)
        nmt_.Enter(KIV_NMT_STATE_PRE_OPERATIONAL);
    else if (behaviour == 2)
        nmt_.Enter(KIV_NMT_STATE_STOPPED);
    nmtCv_.notify_all();
}

bool SimNode::HandleNetworkFrame(const KIV_CanFrame& frame) {
    const uint32_t id = frame.id;
    if (nodeId_ == kUnconfigured) return true;  // only LSS until numbered
    const bool sdoRequest = id == kSdoRequestBase + nodeId_ && frame.rtr == 0;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (id == kNmtId && frame.rtr == 0) {
            if (frame.dlc >= 2 && (frame.data[1] == 0 || frame.data[1] == nodeId_))
                NmtCommandLocked(frame.data[0]);
        } else if (id == kErrorControlBase + nodeId_ && frame.rtr != 0) {
            SendLocked(MakeFrame(id, {nmt_.GuardAnswer(Clock::now())}));
        } else if (id > kErrorControlBase && id <= kErrorControlBase + 127 && frame.rtr == 0) {
            // Another node's heartbeat: the master's, when it is the one
            // the consumer heartbeat time names.
            const auto node = static_cast<uint8_t>(id - kErrorControlBase);
            if (Find(kConsumerHeartbeat, 1) &&
                (ValueU32Locked(kConsumerHeartbeat, 1) >> 16 & 0xFF) == node)
                nmt_.HeardHeartbeat(node, Clock::now());
            return false;
        } else if (id == kSyncId && frame.rtr == 0) {
            if (nmt_.State() == KIV_NMT_STATE_OPERATIONAL) {
                OnSyncLocked(Clock::now());
                SendTpdosLocked();
            }
        } else if (sdoRequest) {
            // Stopped nodes take no SDO requests; the others serve them.
            if (nmt_.State() != KIV_NMT_STATE_STOPPED) return false;
        } else if (id >= 0x180 && id < 0x580 && frame.rtr == 0) {
            if (nmt_.State() == KIV_NMT_STATE_OPERATIONAL) ReceiveRpdoLocked(frame);
        } else {
            return false;
        }
    }
    FlushPending();
    return true;
}

void SimNode::Tick(Clock::time_point now) {
    {
        std::lock_guard<std::mutex> lock(m_);
        const auto period = static_cast<uint16_t>(ValueU32Locked(kProducerHeartbeat, 0));
        if (nmt_.HeartbeatDue(now, nodeId_ != kUnconfigured ? period : 0))
            SendLocked(
                MakeFrame(kErrorControlBase + nodeId_, {static_cast<uint8_t>(nmt_.State())}));
        if (nodeId_ != kUnconfigured && Find(kConsumerHeartbeat, 1)) {
            NmtSlave::Watch watch;
            watch.consumer = ValueU32Locked(kConsumerHeartbeat, 1);
            watch.guardTimeMs = static_cast<uint16_t>(ValueU32Locked(kGuardTime, 0));
            watch.lifeFactor = static_cast<uint8_t>(ValueU32Locked(kLifeTimeFactor, 0));
            MasterLostLocked(nmt_.CheckMaster(now, watch));
        }
        OnTick(now);
    }
    FlushPending();
}

void SimNode::OnTick(Clock::time_point) {}

void SimNode::OnResetApplication() {}

void SimNode::OnSyncLocked(Clock::time_point) {}

}  // namespace orukiv::sim
