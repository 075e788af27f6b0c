// One decoded event as one line of text, and the names of CANopen codes.
#pragma once

#include <cstdint>
#include <string>

#include "orukiv/orukiv.h"
#include "report.h"

namespace orukiv::tool {

std::string EventText(const KIV_Event& event);
// The event as JSON members: "type" ("heartbeat", "emcy", ...) and its fields.
Json EventJson(const KIV_Event& event);

// "operational", "pre-operational", ..., "unknown" (255; "state 0x42" for
// others).
std::string NmtStateName(uint32_t state);
// "start", "stop", "preop", "reset", "resetcomm" ("command 0x42" for others).
std::string NmtCommandName(uint32_t command);
// The NMT command of such a name; false for another name.
bool NmtCommandOf(const std::string& name, uint8_t& command);
// "start|stop|preop|reset|resetcomm" with the separator given.
std::string NmtCommandNames(const std::string& separator);
// The CiA 402 state a statusword shows ("operation enabled", ...).
const char* DriveStateOf(uint16_t statusword);
// "TPDO1 of node 5" for a COB-ID of the predefined connection set, else "".
std::string PdoName(uint32_t cobId);

}  // namespace orukiv::tool
