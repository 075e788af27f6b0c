// `orukiv cyclic`: a drive in cyclic synchronous position mode, driven by
// the library's SYNC producer along a smooth trajectory.
#pragma once

#include <cstdint>
#include <string>

#include "session.h"

namespace orukiv::tool {

struct CyclicRun {
    KIV_CyclicStats stats{};
    uint32_t worstFollowing = 0;  // largest |0x60F4| the drive reported
    uint64_t tpdos = 0;           // TPDO1 frames received
    int32_t start = 0;            // actual position before the run
    int32_t end = 0;              // the trajectory's end
    int32_t final = 0;            // actual position after the run
};

// Maps the drive's PDOs (RPDO1: target position; TPDO1: statusword and
// actual position; TPDO2: following error), powers it on when needed, and
// runs it in mode 8 for `seconds` along a half cosine of `distance` counts.
// True when cycles ran and the drive ended within its following-error
// window of the end; `report` says what failed otherwise. Interrupted
// (Ctrl-C, SIGTERM), it stops the cycles and halts the drive (StopDrive).
bool RunCyclic(Session& s, uint8_t node, uint32_t periodUs, double seconds, int32_t distance,
               CyclicRun& run, std::string& report);

}  // namespace orukiv::tool
