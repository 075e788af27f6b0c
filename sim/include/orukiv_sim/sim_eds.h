// The EDS files of the simulated network's nodes (sim/eds/), compiled in as
// text: a program finds them wherever it runs or is installed.
#pragma once

#include <cstdint>
#include <string_view>

namespace orukiv::sim {

struct SimEds {
    const char* fileName;   // "sim_drive.eds"
    std::string_view text;  // the whole file
};

// The EDS of the node of the simulated network (SimNetwork) with this id:
// the drive's for SimNetwork::kDriveNode, the I/O module's for kIoNode; an
// empty text and a null name for any other id.
SimEds SimEdsOf(uint8_t nodeId);

}  // namespace orukiv::sim
