// The procedures the tool's commands and its demo share: PDO set-up through
// the library, the node scan, the TIME stamp of now, and the CiA 402 drive
// procedures (power-on, profile-position move, stop). The commands
// themselves are in cmd_<name>.cpp (command.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "interrupt.h"
#include "session.h"
#include "values.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace orukiv::tool {

// Configures PDO `pdo` of node (a TPDO when `transmit`) with KIV_ConfigPDO,
// keeping the COB-ID and transmission type the node holds (read first);
// `makeValid` clears the COB-ID's bit 31. Returns the result; on failure
// `error` names the step that failed. `cobId` (may be null) gets the COB-ID
// written.
int32_t ConfigurePdo(Session& s, uint8_t node, bool transmit, uint16_t pdo,
                     const std::vector<KIV_PdoMapEntry>& entries, bool makeValid,
                     std::string& error, uint32_t* cobId = nullptr);

// "0x6041:0:16" (index:sub:bits); false when malformed.
bool ParseMapEntry(const std::string& text, KIV_PdoMapEntry& out);

struct NodeInfo {
    uint8_t node = 0;
    bool answered = true;           // false: only heard (heartbeat, boot-up)
    std::optional<uint32_t> state;  // the NMT state last heard
    uint32_t deviceType = 0;
    std::string name;           // empty when 0x1008 is absent
    uint32_t identity[4] = {};  // vendor, product, revision, serial
    bool hasIdentity = false;
};
// Nodes 1..127 that answer a read of 0x1000, with their name and identity,
// in node order, then the nodes only heard by heartbeat or boot-up (with
// the state they showed last). `onNode` (may be empty) gets each node as
// soon as it is known, in the same order.
std::vector<NodeInfo> ScanNodes(Session& s,
                                const std::function<void(const NodeInfo&)>& onNode = {});
void PrintNodes(const std::vector<NodeInfo>& nodes);

// The TPDO's COB-ID and mapping in force, read back: "COB-ID 0x185 (valid),
// mapping 0x6041:00/16 0x6064:00/32". Empty with `error` set on failure.
std::string DescribeTpdo(Session& s, uint8_t node, uint8_t tpdo, std::string& error);

// A TIME stamp of the local time now; `stamp` gets it in words.
int32_t SendTimeNow(Session& s, std::string& stamp);

// CiA 402 power-on: reads the statusword first; a drive in fault fails
// with its error code (0x603F) unless `resetFault`, which resets it
// (controlword 0x0080) and waits for switch on disabled. Then each
// transition still needed (shutdown, switch on, enable operation; disable
// voltage from quick stop active) is written and its state awaited in the
// statusword, 500 ms at most. True when the drive ends in operation
// enabled; `report` names the transitions made, or what failed and the
// state reached.
bool PowerOn(Session& s, uint8_t node, bool resetFault, std::string& report);
// PowerOn without resetting a fault.
bool PowerOn(Session& s, uint8_t node, std::string& report);
// --reset-fault for the commands that power a drive on.
CLI::Option* AddResetFault(CLI::App& app, bool& out);
// True for the statuswords of fault and fault reaction active.
bool InFault(uint16_t sw);
// "statusword 0x0008 (fault), error code 0x2310 (0x603F)": the state, and
// in fault the error code read from the drive.
std::string DriveStatus(Session& s, uint8_t node, uint16_t sw);
struct MoveOutcome {
    bool reached = false;
    int32_t position = 0;     // the last actual position read
    std::string stop;         // "halted", "quick stop", "failed"; empty: not stopped
    int32_t result = KIV_OK;  // why it failed
    uint32_t abortCode = 0;
    std::string report;  // in words
};
// Profile position move; `progress` gets the actual position as it goes.
// Interrupted (Ctrl-C, SIGTERM), past its 60 s limit or when the drive can
// no longer be read, it stops the drive with StopDrive.
MoveOutcome Move(Session& s, uint8_t node, int32_t target,
                 const std::function<void(int32_t)>& progress);
// Halt bit (controlword 0x010F); when the drive does not confirm that it
// stands within a second, quick stop (0x000B). The drive is left halted.
MoveOutcome StopDrive(Session& s, uint8_t node, int32_t lastPos, uint16_t lastSw);
// Move, reporting in words only.
// Interrupted or past its time limit, the move halts the drive (controlword
// halt bit, then quick stop if the halt is not confirmed) and fails.
bool MoveTo(Session& s, uint8_t node, int32_t target, const std::function<void(int32_t)>& progress,
            std::string& report);

}  // namespace orukiv::tool
