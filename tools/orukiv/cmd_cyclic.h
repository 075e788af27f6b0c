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
    double seconds = 0;           // the trajectory's length as run
    uint32_t stretched = 0;       // lengthened: the profile velocity that asked it
};

struct CyclicParam {
    uint32_t periodUs = 1000;
    double seconds = 2;       // the trajectory's length at least
    int32_t distance = 0;     // counts from the actual position; 0: hold it
    bool resetFault = false;  // PowerOn's
};

// Maps the drive's PDOs (RPDO1: target position; TPDO1: statusword and
// actual position; TPDO2: following error; KIV_ConfigPDO, each PDO made
// valid with the COB-ID and transmission type it has),
// powers it on (PowerOn), and runs it in mode 8 along a half cosine of
// `distance` counts over `seconds`, or longer when the drive's profile
// velocity (0x6081) asks it. True when cycles ran, feedback came and the
// drive ended within its following-error window of the end; `report` says
// what failed otherwise. Interrupted (Ctrl-C, SIGTERM), without TPDO1
// within 3 SYNCs of the start or 10 in a row later, or when the drive
// leaves operation enabled, it stops the cycles and halts the drive
// (StopDrive); when the bus is lost it stops at once.
bool RunCyclic(Session& s, uint8_t node, const CyclicParam& param, CyclicRun& run,
               std::string& report);

}  // namespace orukiv::tool
