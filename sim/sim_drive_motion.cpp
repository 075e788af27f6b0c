// The simulated drive's profile position mode: set-points, motion at the
// profile velocity, "target reached".
#include <cstdlib>

#include "orukiv_common/byte_order.h"
#include "orukiv_sim/sim.h"
#include "sim_drive_objects.h"

namespace orukiv::sim {

using namespace drive;  // NOLINT: the drive's numbers

bool SimDrive::ProfilePositionLocked() const {
    return static_cast<int8_t>(ValueU32Locked(kModesDisplay, 0)) == kProfilePositionMode;
}

void SimDrive::SetStatusBitsLocked(uint16_t mask, bool on) {
    uint16_t sw = static_cast<uint16_t>(ValueU32Locked(kStatusword, 0));
    sw = static_cast<uint16_t>(on ? (sw | mask) : (sw & ~mask));
    SetLocked(kStatusword, 0, {static_cast<uint8_t>(sw), static_cast<uint8_t>(sw >> 8)});
}

void SimDrive::SetPointLocked(uint16_t cw, uint16_t previousCw) {
    // Halt: the axis stops where it is (no deceleration ramp here) and
    // "target reached" says it stands; no set-point starts while it is set.
    if ((cw & kCwHalt) != 0 && !haltIgnored_) {
        moving_ = false;
        SetStatusBitsLocked(kSwTargetReached, true);
        return;
    }
    const bool bit4 = (cw & kCwNewSetPoint) != 0;
    if (!bit4) SetStatusBitsLocked(kSwSetPointAck, false);
    if (!bit4 || (previousCw & kCwNewSetPoint) != 0) return;
    if (state_ != DriveState::kOperationEnabled || !ProfilePositionLocked()) return;

    const auto target = static_cast<int32_t>(ValueU32Locked(kTargetPosition, 0));
    const auto actual = static_cast<int32_t>(ValueU32Locked(kPositionActual, 0));
    moveTarget_ = (cw & kCwRelative) != 0
                      ? static_cast<int32_t>(static_cast<int64_t>(actual) + target)
                      : target;
    moving_ = moveTarget_ != actual;
    moveCarry_ = 0;
    SetStatusBitsLocked(kSwSetPointAck, true);
    SetStatusBitsLocked(kSwTargetReached, !moving_);
}

void SimDrive::OnTick(Clock::time_point now) {
    const Clock::time_point last = lastTick_;
    lastTick_ = now;
    if (!moving_) return;
    if (state_ != DriveState::kOperationEnabled) {
        moving_ = false;  // the drive stops where it is
        return;
    }
    if (last == Clock::time_point{} || now <= last) return;

    // Whole counts travelled; the fraction (counts x microseconds) carries.
    const int64_t micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
    moveCarry_ += static_cast<int64_t>(ValueU32Locked(kProfileVelocity, 0)) * micros;
    const int64_t step = moveCarry_ / 1000000;
    moveCarry_ %= 1000000;

    const auto actual =
        static_cast<int64_t>(static_cast<int32_t>(ValueU32Locked(kPositionActual, 0)));
    const int64_t distance = static_cast<int64_t>(moveTarget_) - actual;
    int64_t next = actual;
    if (std::llabs(distance) <= step) {
        next = moveTarget_;
        moving_ = false;
    } else {
        next += distance > 0 ? step : -step;
    }
    SetLocked(kPositionActual, 0, StoreLe(static_cast<uint32_t>(static_cast<int32_t>(next)), 4));
    if (!moving_) SetStatusBitsLocked(kSwTargetReached, true);
}

void SimDrive::OnResetApplication() {
    moving_ = false;
    lastControlWord_ = 0;
    EnterLocked(DriveState::kSwitchOnDisabled);
    SetStatusBitsLocked(kSwTargetReached | kSwSetPointAck, false);
}

}  // namespace orukiv::sim
