# Writes OUT, a C++ source holding the simulated nodes' EDS files as text
# (SimEdsOf in orukiv_sim/sim_eds.h). Run as a build step:
#   cmake -DDRIVE=... -DIO=... -DOUT=... -P embed.cmake
function(orukiv_eds_literal var file)
  file(READ ${file} text)
  string(FIND "${text}" ")eds\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the literal's delimiter")
  endif()
  set(${var} "R\"eds(${text})eds\"" PARENT_SCOPE)
endfunction()

orukiv_eds_literal(drive ${DRIVE})
orukiv_eds_literal(io ${IO})
file(WRITE ${OUT}.tmp "// Generated from sim/eds/ by sim/eds/embed.cmake: do not edit.
#include \"orukiv_sim/sim_eds.h\"

#include \"orukiv_sim/sim.h\"

namespace orukiv::sim {

SimEds SimEdsOf(uint8_t nodeId) {
    static constexpr std::string_view kDrive = ${drive};
    static constexpr std::string_view kIo = ${io};
    if (nodeId == SimNetwork::kDriveNode) return {\"sim_drive.eds\", kDrive};
    if (nodeId == SimNetwork::kIoNode) return {\"sim_io_node.eds\", kIo};
    return {nullptr, {}};
}

}  // namespace orukiv::sim
")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
