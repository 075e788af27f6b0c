// The simulated node as an NMT slave: state machine, boot-up, heartbeat
// production and node-guarding answers; the dispatch of network frames.
#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint32_t kNmtId = 0x000;
constexpr uint32_t kSyncId = 0x080;
constexpr uint32_t kErrorControlBase = 0x700;
constexpr uint32_t kSdoRequestBase = 0x600;
constexpr uint8_t kUnconfigured = 0xFF;

}  // namespace

KIV_NmtState SimNode::NmtState() const {
    std::lock_guard<std::mutex> lock(m_);
    return nmtState_;
}

bool SimNode::WaitForNmtState(KIV_NmtState s, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_);
    return nmtCv_.wait_for(lock, timeout, [&] { return nmtState_ == s; });
}

void SimNode::SetHeartbeatSilenced(bool on) {
    std::lock_guard<std::mutex> lock(m_);
    if (heartbeatSilenced_ == on) return;
    heartbeatSilenced_ = on;
    nextHeartbeat_ = {};  // when it resumes, the period starts afresh
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
    guardToggle_ = 0;
    nextHeartbeat_ = {};
    if (nodeId_ != kUnconfigured)
        outbox_.emplace_back(MakeFrame(kErrorControlBase + nodeId_, {KIV_NMT_STATE_BOOTUP}),
                             bootUpDelay_);
    nmtState_ = KIV_NMT_STATE_PRE_OPERATIONAL;
    nmtCv_.notify_all();
}

void SimNode::NmtCommandLocked(uint8_t command) {
    KIV_NmtState next = nmtState_;
    switch (command) {
        case KIV_NMT_CMD_START:
            next = KIV_NMT_STATE_OPERATIONAL;
            break;
        case KIV_NMT_CMD_STOP:
            next = KIV_NMT_STATE_STOPPED;
            break;
        case KIV_NMT_CMD_PRE_OPERATIONAL:
            next = KIV_NMT_STATE_PRE_OPERATIONAL;
            break;
        case KIV_NMT_CMD_RESET_NODE:
            OnResetApplication();
            AdoptNodeIdLocked(pendingNodeId_);  // an LSS node-ID takes effect
            BootLocked();
            return;
        case KIV_NMT_CMD_RESET_COMM:
            AdoptNodeIdLocked(pendingNodeId_);
            BootLocked();
            return;
        default:  // unknown command specifiers are ignored
            return;
    }
    nmtState_ = next;
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
            const uint8_t state = static_cast<uint8_t>(nmtState_ & 0x7F);
            SendLocked(MakeFrame(id, {static_cast<uint8_t>(state | (guardToggle_ << 7))}));
            guardToggle_ ^= 1;
        } else if (id == kSyncId && frame.rtr == 0) {
            if (nmtState_ == KIV_NMT_STATE_OPERATIONAL) {
                OnSyncLocked(Clock::now());
                SendTpdosLocked();
            }
        } else if (sdoRequest) {
            // Stopped nodes take no SDO requests; the others serve them.
            if (nmtState_ != KIV_NMT_STATE_STOPPED) return false;
        } else if (id >= 0x180 && id < 0x580 && frame.rtr == 0) {
            if (nmtState_ == KIV_NMT_STATE_OPERATIONAL) ReceiveRpdoLocked(frame);
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
        const auto period = static_cast<uint16_t>(ValueU32Locked(0x1017, 0));
        if (period != heartbeatPeriod_) {
            heartbeatPeriod_ = period;
            nextHeartbeat_ = {};
        }
        if (period != 0 && !heartbeatSilenced_ && nodeId_ != kUnconfigured) {
            const auto step = std::chrono::milliseconds(period);
            if (nextHeartbeat_ == Clock::time_point{}) {
                nextHeartbeat_ = now + step;
            } else if (now >= nextHeartbeat_) {
                SendLocked(
                    MakeFrame(kErrorControlBase + nodeId_, {static_cast<uint8_t>(nmtState_)}));
                nextHeartbeat_ += step;
                if (nextHeartbeat_ <= now) nextHeartbeat_ = now + step;  // fell behind
            }
        }
        OnTick(now);
    }
    FlushPending();
}

void SimNode::OnTick(Clock::time_point) {}

void SimNode::OnResetApplication() {}

void SimNode::OnSyncLocked(Clock::time_point) {}

}  // namespace orukiv::sim
