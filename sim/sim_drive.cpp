// The simulated CiA 402 drive: controlword-driven state machine.
#include "orukiv_common/byte_order.h"
#include "orukiv_sim/sim.h"
#include "sim_drive_objects.h"

namespace orukiv::sim {

using namespace drive;  // NOLINT: the drive's numbers

const char* DriveStateName(DriveState s) {
    switch (s) {
        case DriveState::kNotReadyToSwitchOn:
            return "not ready to switch on";
        case DriveState::kSwitchOnDisabled:
            return "switch on disabled";
        case DriveState::kReadyToSwitchOn:
            return "ready to switch on";
        case DriveState::kSwitchedOn:
            return "switched on";
        case DriveState::kOperationEnabled:
            return "operation enabled";
        case DriveState::kQuickStopActive:
            return "quick stop active";
        case DriveState::kFaultReactionActive:
            return "fault reaction active";
        case DriveState::kFault:
            return "fault";
    }
    return "?";
}

uint16_t StatusWordOf(DriveState s) {
    switch (s) {
        case DriveState::kNotReadyToSwitchOn:
            return 0x0000;
        case DriveState::kSwitchOnDisabled:
            return 0x0040;
        case DriveState::kReadyToSwitchOn:
            return 0x0021;
        case DriveState::kSwitchedOn:
            return 0x0023;
        case DriveState::kOperationEnabled:
            return 0x0027;
        case DriveState::kQuickStopActive:
            return 0x0007;
        case DriveState::kFaultReactionActive:
            return 0x000F;
        case DriveState::kFault:
            return 0x0008;
    }
    return 0;
}

SimDrive::SimDrive(VirtualBus& bus, uint8_t nodeId, Mode mode) : SimNode(bus, nodeId, mode) {
    AddU32(kDeviceType, 0, 0x00020192, Access::kConst);  // drive profile, servo
    AddCommunicationObjects();
    AddSupervisionObjects();
    AddU16(kErrorCode, 0, 0, Access::kRO);
    AddU16(kControlword, 0, 0);
    AddU16(kStatusword, 0, StatusWordOf(DriveState::kSwitchOnDisabled), Access::kRO);
    AddU8(kModes, 0, 0);
    AddU8(kModesDisplay, 0, 0, Access::kRO);
    AddU32(kTargetPosition, 0, 0);
    AddU32(kPositionActual, 0, 0, Access::kRO);
    AddU32(kTargetVelocity, 0, 0);
    AddU32(kVelocityActual, 0, 0, Access::kRO);
    AddU16(kTargetTorque, 0, 0);
    AddU16(kTorqueActual, 0, 0, Access::kRO);
    AddU8(kHomingMethod, 0, 0);
    AddU32(kProfileVelocity, 0, 100000);
    // Program data: the firmware image a download tool writes (DOMAIN).
    AddU8(kProgramData, 0, 1, Access::kConst);
    AddVariableObject(kProgramData, 1, {}, kProgramDataMaxSize);
    AddU32(kFollowingWindow, 0, 1000);
    AddU16(kFollowingTimeOut, 0, 0);
    AddU32(kFollowingError, 0, 0, Access::kRO);
    AddRpdoObjects();
}

SimDrive::~SimDrive() {
    Shutdown();
}

DriveState SimDrive::State() const {
    std::lock_guard<std::mutex> lock(m_);
    return state_;
}

uint16_t SimDrive::StatusWord() const {
    std::lock_guard<std::mutex> lock(m_);
    return static_cast<uint16_t>(ValueU32Locked(kStatusword, 0));
}

bool SimDrive::WaitForState(DriveState s, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_);
    return stateCv_.wait_for(lock, timeout, [&] { return state_ == s; });
}

void SimDrive::InjectFault(uint16_t errorCode, bool sendEmcy) {
    {
        std::lock_guard<std::mutex> lock(m_);
        FaultLocked(errorCode, sendEmcy);
    }
    FlushPending();
}

void SimDrive::FaultLocked(uint16_t errorCode, bool sendEmcy) {
    EnterLocked(DriveState::kFaultReactionActive);
    EnterLocked(DriveState::kFault);
    // The error code (0x603F) and the error register (0x1001, generic
    // error) say what the EMCY says.
    SetLocked(kErrorCode, 0, StoreLe(errorCode, 2));
    const auto reg = static_cast<uint8_t>(ValueU32Locked(kErrorRegister, 0) | kGenericError);
    SetLocked(kErrorRegister, 0, {reg});
    if (sendEmcy) {
        // Error code, error register, five zero bytes.
        SendLocked(MakeSdoFrame(0x80u + NodeId(), {static_cast<uint8_t>(errorCode),
                                                   static_cast<uint8_t>(errorCode >> 8), reg}));
    }
}

void SimDrive::SetActualPosition(int32_t v) {
    SetValue(kPositionActual, 0, StoreLe(static_cast<uint32_t>(v), 4));
}
void SimDrive::SetActualVelocity(int32_t v) {
    SetValue(kVelocityActual, 0, StoreLe(static_cast<uint32_t>(v), 4));
}
void SimDrive::SetActualTorque(int16_t v) {
    SetValue(kTorqueActual, 0, StoreLe(static_cast<uint16_t>(v), 2));
}

void SimDrive::AfterWrite(uint16_t index, uint8_t subIndex) {
    if (subIndex != 0) return;
    switch (index) {
        case kControlword: {
            const uint16_t previous = lastControlWord_;
            ApplyControlWord(static_cast<uint16_t>(ValueU32Locked(kControlword, 0)));
            SetPointLocked(lastControlWord_, previous);
            break;
        }
        case kModes:
            SetLocked(kModesDisplay, 0, *FindLocked(kModes, 0));
            lastSync_ = {};
            syncCarry_ = 0;
            worstFollowing_ = 0;
            break;
        case kTargetPosition:
            if (state_ == DriveState::kOperationEnabled && !ProfilePositionLocked() &&
                !CyclicModeLocked())
                SetLocked(kPositionActual, 0, *FindLocked(kTargetPosition, 0));
            break;
        case kTargetVelocity:
            if (state_ == DriveState::kOperationEnabled && !CyclicModeLocked())
                SetLocked(kVelocityActual, 0, *FindLocked(kTargetVelocity, 0));
            break;
        case kTargetTorque:
            if (state_ == DriveState::kOperationEnabled)
                SetLocked(kTorqueActual, 0, *FindLocked(kTargetTorque, 0));
            break;
        default:
            break;
    }
}

void SimDrive::ApplyControlWord(uint16_t cw) {
    const bool resetEdge = (cw & kCwFaultReset) != 0 && (lastControlWord_ & kCwFaultReset) == 0;
    lastControlWord_ = cw;
    const DriveState s = state_;
    if (s == DriveState::kFault) {
        if (!resetEdge) return;
        EnterLocked(DriveState::kSwitchOnDisabled);
        // The fault is gone: its error code and the generic error cleared.
        SetLocked(kErrorCode, 0, {0, 0});
        SetLocked(kErrorRegister, 0,
                  {static_cast<uint8_t>(ValueU32Locked(kErrorRegister, 0) & ~kGenericError)});
        return;
    }
    // While the fault-reset bit is set no other command is taken.
    if ((cw & kCwFaultReset) != 0 || s == DriveState::kFaultReactionActive) return;

    using D = DriveState;
    if ((cw & 0x02) == 0) {  // disable voltage
        if (s == D::kReadyToSwitchOn || s == D::kSwitchedOn || s == D::kOperationEnabled ||
            s == D::kQuickStopActive)
            EnterLocked(D::kSwitchOnDisabled);
    } else if ((cw & 0x06) == 0x02) {  // quick stop
        if (s == D::kReadyToSwitchOn || s == D::kSwitchedOn)
            EnterLocked(D::kSwitchOnDisabled);
        else if (s == D::kOperationEnabled)
            EnterLocked(D::kQuickStopActive);
    } else if ((cw & 0x07) == 0x06) {  // shutdown
        if (s == D::kSwitchOnDisabled || s == D::kSwitchedOn || s == D::kOperationEnabled)
            EnterLocked(D::kReadyToSwitchOn);
    } else if ((cw & 0x0F) == 0x07) {  // switch on / disable operation
        if (s == D::kReadyToSwitchOn || s == D::kOperationEnabled) EnterLocked(D::kSwitchedOn);
    } else if ((cw & 0x0F) == 0x0F) {  // enable operation (from ready: switch on first)
        if (s == D::kSwitchedOn || s == D::kReadyToSwitchOn || s == D::kQuickStopActive)
            EnterLocked(D::kOperationEnabled);
    }
}

void SimDrive::EnterLocked(DriveState s) {
    state_ = s;
    const uint16_t old = static_cast<uint16_t>(ValueU32Locked(kStatusword, 0));
    const uint16_t sw = static_cast<uint16_t>((old & ~kStateBits) | StatusWordOf(s));
    SetLocked(kStatusword, 0, StoreLe(sw, 2));
    stateCv_.notify_all();
}

}  // namespace orukiv::sim
