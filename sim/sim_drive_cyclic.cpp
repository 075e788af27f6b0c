// The simulated drive's cyclic synchronous modes: position (8) and velocity
// (9), targets taken on SYNC, the following error reported.
#include <cstdlib>

#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint16_t kModesDisplay = 0x6061;
constexpr uint16_t kPositionActual = 0x6064;
constexpr uint16_t kFollowingWindow = 0x6065;
constexpr uint16_t kVelocityActual = 0x606C;
constexpr uint16_t kTargetPosition = 0x607A;
constexpr uint16_t kFollowingError = 0x60F4;
constexpr uint16_t kTargetVelocity = 0x60FF;
constexpr int8_t kCyclicPosition = 8;
constexpr int8_t kCyclicVelocity = 9;
constexpr uint16_t kSwFollowing = 1u << 12;
constexpr uint16_t kSwFollowingError = 1u << 13;

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
    SetStatusBitsLocked(kSwFollowingError, magnitude > ValueU32Locked(kFollowingWindow, 0));
}

}  // namespace orukiv::sim
