// The CiA 402 numbers of the simulated drive (sim_drive*.cpp): its objects,
// modes, and the controlword and statusword bits it acts on. One block, so
// that the drive's files name each number once.
#pragma once

#include <cstdint>

namespace orukiv::sim::drive {

// Objects (sub-index 0).
constexpr uint16_t kDeviceType = 0x1000;
constexpr uint16_t kErrorRegister = 0x1001;
constexpr uint16_t kProgramData = 0x1F50;
constexpr uint16_t kErrorCode = 0x603F;
constexpr uint16_t kControlword = 0x6040;
constexpr uint16_t kStatusword = 0x6041;
constexpr uint16_t kModes = 0x6060;
constexpr uint16_t kModesDisplay = 0x6061;
constexpr uint16_t kPositionActual = 0x6064;
constexpr uint16_t kFollowingWindow = 0x6065;
constexpr uint16_t kFollowingTimeOut = 0x6066;
constexpr uint16_t kVelocityActual = 0x606C;
constexpr uint16_t kTargetTorque = 0x6071;
constexpr uint16_t kTorqueActual = 0x6077;
constexpr uint16_t kTargetPosition = 0x607A;
constexpr uint16_t kProfileVelocity = 0x6081;
constexpr uint16_t kHomingMethod = 0x6098;
constexpr uint16_t kFollowingError = 0x60F4;
constexpr uint16_t kTargetVelocity = 0x60FF;

// Modes of operation.
constexpr int8_t kProfilePositionMode = 1;
constexpr int8_t kCyclicPosition = 8;
constexpr int8_t kCyclicVelocity = 9;

// Controlword bits.
constexpr uint16_t kCwNewSetPoint = 1u << 4;
constexpr uint16_t kCwRelative = 1u << 6;
constexpr uint16_t kCwFaultReset = 1u << 7;
constexpr uint16_t kCwHalt = 1u << 8;

// Statusword bits: 0..3, 5, 6 carry the state.
constexpr uint16_t kStateBits = 0x006F;
constexpr uint16_t kSwTargetReached = 1u << 10;
constexpr uint16_t kSwSetPointAck = 1u << 12;
constexpr uint16_t kSwFollowing = 1u << 12;  // cyclic modes: following the command
constexpr uint16_t kSwFollowingError = 1u << 13;

// Error code of a following error beyond its time out.
constexpr uint16_t kFollowingErrorFault = 0x8611;

// Error register bit 0: generic error.
constexpr uint8_t kGenericError = 0x01;

}  // namespace orukiv::sim::drive
