// The simulated drive's cyclic synchronous modes: position (8) and velocity
// (9), targets taken on SYNC, the following error reported.
#include <cstdlib>

#include "orukiv_sim/sim.h"
#include "sim_drive_objects.h"

namespace orukiv::sim {

using namespace drive;  // NOLINT: the drive's numbers

namespace {

std::vector<uint8_t> LE32(int64_t v) {
    const auto u = static_cast<uint32_t>(static_cast<int32_t>(v));
    return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
            static_cast<uint8_t>(u >> 24)};
}

// Half the way from actual to target, rounded away from actual.
int64_t HalfWay(int64_t actual, int64_t target) {
    const int64_t gap = target - actual;
    return actual + (gap >= 0 ? (gap + 1) / 2 : -((-gap + 1) / 2));
}

}  // namespace

bool SimDrive::CyclicModeLocked() const {
    const auto mode = static_cast<int8_t>(ValueU32Locked(kModesDisplay, 0));
    return mode == kCyclicPosition || mode == kCyclicVelocity;
}

uint32_t SimDrive::WorstFollowingError() const {
    std::lock_guard<std::mutex> lock(m_);
    return worstFollowing_;
}

void SimDrive::OnSyncLocked(Clock::time_point now) {
    const Clock::time_point previous = lastSync_;
    lastSync_ = now;
    if (state_ != DriveState::kOperationEnabled || !CyclicModeLocked()) {
        SetStatusBitsLocked(kSwFollowing | kSwFollowingError, false);
        return;
    }
    auto value = [this](uint16_t index) {
        return static_cast<int64_t>(static_cast<int32_t>(ValueU32Locked(index, 0)));
    };
    const int64_t position = value(kPositionActual);
    int64_t error = 0;
    if (static_cast<int8_t>(ValueU32Locked(kModesDisplay, 0)) == kCyclicPosition) {
        const int64_t target = value(kTargetPosition);
        const int64_t next = HalfWay(position, target);
        SetLocked(kPositionActual, 0, LE32(next));
        error = target - next;
    } else {
        const int64_t target = value(kTargetVelocity);
        const int64_t velocity = HalfWay(value(kVelocityActual), target);
        SetLocked(kVelocityActual, 0, LE32(velocity));
        if (previous != Clock::time_point{} && now > previous) {
            const int64_t micros =
                std::chrono::duration_cast<std::chrono::microseconds>(now - previous).count();
            syncCarry_ += velocity * micros;
            SetLocked(kPositionActual, 0, LE32(position + syncCarry_ / 1000000));
            syncCarry_ %= 1000000;
        }
        error = target - velocity;
    }
    SetLocked(kFollowingError, 0, LE32(error));
    const auto magnitude = static_cast<uint32_t>(std::llabs(error));
    if (magnitude > worstFollowing_) worstFollowing_ = magnitude;
    SetStatusBitsLocked(kSwFollowing, true);
    const bool outside = magnitude > ValueU32Locked(kFollowingWindow, 0);
    SetStatusBitsLocked(kSwFollowingError, outside);
    // Outside the window for longer than the following error time out
    // (0x6066, ms; 0: never): the drive faults (following error, 0x8611).
    const auto timeOut = std::chrono::milliseconds(ValueU32Locked(kFollowingTimeOut, 0));
    if (!outside || timeOut.count() == 0) {
        followingSince_ = {};
    } else if (followingSince_ == Clock::time_point{}) {
        followingSince_ = now;
    } else if (now - followingSince_ >= timeOut) {
        followingSince_ = {};
        FaultLocked(kFollowingErrorFault, true);
    }
}

}  // namespace orukiv::sim
