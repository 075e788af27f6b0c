// The NMT slave of a simulated node: its state, the node-guarding toggle,
// the heartbeat it produces, and the supervision of its master, whose loss
// the node reacts to as its error behaviour (0x1029) says. It holds no lock
// and sends nothing: the node (SimNode) calls it under its own lock with
// the values of its dictionary and sends what it is told.
#pragma once

#include <chrono>
#include <cstdint>

#include "orukiv/orukiv.h"

namespace orukiv::sim {

class NmtSlave {
public:
    using Clock = std::chrono::steady_clock;

    // What an NMT command asks of the node besides a new state.
    enum class Reset {
        kNone,           // the state changed (or the command was unknown)
        kNode,           // reset node: the application, then communication
        kCommunication,  // reset communication
    };
    // How the master was found lost.
    enum class Loss {
        kNone,
        kHeartbeat,  // its heartbeat (0x1016) did not come within the time
        kLifeGuard,  // its guarding requests stopped (0x100C x 0x100D)
    };
    // The node's supervision settings, read from its dictionary.
    struct Watch {
        uint32_t consumer = 0;     // 0x1016:1: node-ID in bits 16..23, time (ms) in 0..15
        uint16_t guardTimeMs = 0;  // 0x100C
        uint8_t lifeFactor = 0;    // 0x100D
    };

    KIV_NmtState State() const { return state_; }
    // Enters a state (the error behaviour's reaction).
    void Enter(KIV_NmtState state) { state_ = state; }
    // An NMT command specifier (start, stop, pre-operational, the resets);
    // unknown specifiers change nothing.
    Reset Command(uint8_t command);
    // The node booted: pre-operational, toggle 0, the heartbeat period and
    // the supervision of the master start afresh.
    void Booted();

    // The answer to a guarding request (state and toggle bit); the toggle
    // flips, and the life guarding counts from now.
    uint8_t GuardAnswer(Clock::time_point now);
    // Test knob: while on, no heartbeat is produced.
    void SetHeartbeatSilenced(bool on);
    // True when the heartbeat of period `periodMs` (0x1017; 0: none) is due
    // at `now`; the next one is then a period later.
    bool HeartbeatDue(Clock::time_point now, uint16_t periodMs);

    // A heartbeat frame of `node` was heard.
    void HeardHeartbeat(uint8_t node, Clock::time_point now);
    // The loss of the master found at `now`, reported once per loss: the
    // heartbeat of the consumer entry's node not heard within its time since
    // the last one (watched from its first heartbeat on), or no guarding
    // request within guard time x life time factor since the last one
    // (watched from the first request on).
    Loss CheckMaster(Clock::time_point now, const Watch& watch);

private:
    KIV_NmtState state_ = KIV_NMT_STATE_PRE_OPERATIONAL;
    uint8_t guardToggle_ = 0;
    bool heartbeatSilenced_ = false;
    uint16_t heartbeatPeriod_ = 0;
    Clock::time_point nextHeartbeat_{};
    // The master as last heard; the default time point: not heard yet.
    uint8_t heardNode_ = 0;
    Clock::time_point lastHeartbeat_{};
    bool heartbeatLost_ = false;
    Clock::time_point lastGuard_{};
    bool guardLost_ = false;
};

}  // namespace orukiv::sim
