// The simulated node's NMT slave: states, guarding, heartbeat production and
// the supervision of the master.
#include "orukiv_sim/nmt_slave.h"

namespace orukiv::sim {

NmtSlave::Reset NmtSlave::Command(uint8_t command) {
    switch (command) {
        case KIV_NMT_CMD_START:
            state_ = KIV_NMT_STATE_OPERATIONAL;
            break;
        case KIV_NMT_CMD_STOP:
            state_ = KIV_NMT_STATE_STOPPED;
            break;
        case KIV_NMT_CMD_PRE_OPERATIONAL:
            state_ = KIV_NMT_STATE_PRE_OPERATIONAL;
            break;
        case KIV_NMT_CMD_RESET_NODE:
            return Reset::kNode;
        case KIV_NMT_CMD_RESET_COMM:
            return Reset::kCommunication;
        default:
            break;
    }
    return Reset::kNone;
}

void NmtSlave::Booted() {
    state_ = KIV_NMT_STATE_PRE_OPERATIONAL;
    guardToggle_ = 0;
    nextHeartbeat_ = {};
    lastHeartbeat_ = {};
    heartbeatLost_ = false;
    lastGuard_ = {};
    guardLost_ = false;
}

uint8_t NmtSlave::GuardAnswer(Clock::time_point now) {
    const auto answer = static_cast<uint8_t>((state_ & 0x7F) | (guardToggle_ << 7));
    guardToggle_ ^= 1;
    lastGuard_ = now;
    guardLost_ = false;
    return answer;
}

void NmtSlave::SetHeartbeatSilenced(bool on) {
    if (heartbeatSilenced_ == on) return;
    heartbeatSilenced_ = on;
    nextHeartbeat_ = {};  // when it resumes, the period starts afresh
}

bool NmtSlave::HeartbeatDue(Clock::time_point now, uint16_t periodMs) {
    if (periodMs != heartbeatPeriod_) {
        heartbeatPeriod_ = periodMs;
        nextHeartbeat_ = {};
    }
    if (periodMs == 0 || heartbeatSilenced_) return false;
    const auto step = std::chrono::milliseconds(periodMs);
    if (nextHeartbeat_ == Clock::time_point{}) {
        nextHeartbeat_ = now + step;
        return false;
    }
    if (now < nextHeartbeat_) return false;
    nextHeartbeat_ += step;
    if (nextHeartbeat_ <= now) nextHeartbeat_ = now + step;  // fell behind
    return true;
}

void NmtSlave::HeardHeartbeat(uint8_t node, Clock::time_point now) {
    if (node != heardNode_) {
        heardNode_ = node;
        lastHeartbeat_ = {};
    }
    lastHeartbeat_ = now;
    heartbeatLost_ = false;
}

NmtSlave::Loss NmtSlave::CheckMaster(Clock::time_point now, const Watch& watch) {
    const auto node = static_cast<uint8_t>(watch.consumer >> 16);
    const auto timeMs = static_cast<uint16_t>(watch.consumer);
    if (node != 0 && node <= 127 && timeMs != 0 && node == heardNode_ &&
        lastHeartbeat_ != Clock::time_point{} && !heartbeatLost_ &&
        now - lastHeartbeat_ > std::chrono::milliseconds(timeMs)) {
        heartbeatLost_ = true;
        return Loss::kHeartbeat;
    }
    const auto lifeMs = static_cast<uint32_t>(watch.guardTimeMs) * watch.lifeFactor;
    if (lifeMs != 0 && lastGuard_ != Clock::time_point{} && !guardLost_ &&
        now - lastGuard_ > std::chrono::milliseconds(lifeMs)) {
        guardLost_ = true;
        return Loss::kLifeGuard;
    }
    return Loss::kNone;
}

}  // namespace orukiv::sim
