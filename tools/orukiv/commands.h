// The tool's commands. Each prints its outcome in CANopen terms and returns
// the process exit status: 0 when it did what was asked, 1 otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session.h"
#include "values.h"

namespace CLI {
class App;
}

namespace orukiv::tool {

int CmdRead(Session& s, uint8_t node, uint16_t index, uint8_t sub, const ValueType* type);
int CmdWrite(Session& s, uint8_t node, uint16_t index, uint8_t sub, const std::string& value,
             const ValueType* type);
int CmdNmt(Session& s, uint8_t command, uint8_t node);
int CmdSync(Session& s);
int CmdTime(Session& s);
int CmdEmcy(Session& s, uint8_t node, uint16_t code, uint8_t reg, const std::vector<uint8_t>& data);
int CmdPdo(Session& s, uint32_t cobId, const std::vector<uint8_t>& data);
int CmdHeartbeat(Session& s, uint8_t node, uint16_t periodMs);
int CmdTpdo(Session& s, uint8_t node, uint8_t tpdo, const std::vector<KIV_PdoMapEntry>& entries);
// seconds <= 0: until interrupted (Ctrl-C). superviseMs > 0: each node
// heard on 0x700 + node is heartbeat-supervised with that time-out, so that
// its state changes, losses and returns show too.
int CmdMonitor(Session& s, double seconds, uint32_t superviseMs);
int CmdScan(Session& s);
int CmdPowerOn(Session& s, uint8_t node);
int CmdMove(Session& s, uint8_t node, int32_t position);
int CmdDemo(Session& s);
// The simulated network behind a pseudo-terminal speaking slcan (POSIX).
int CmdServeSlcan(double seconds);
// upload and download (cmd_transfer.cpp): adds both commands and the
// global --max-size to `app`; what it returns runs the chosen one (nothing
// when neither was chosen).
using TransferCommand = std::function<std::optional<int>(Session&)>;
TransferCommand AddTransferCommands(CLI::App& app, Options& options);

// ---- Shared by the commands and the demo ----------------------------------

// The NMT command of a name ("start", "stop", "preop", "reset", "resetcomm").
bool NmtCommandOf(const std::string& name, uint8_t& command);
// "0x6041:0:16" (index:sub:bits); false when malformed.
bool ParseMapEntry(const std::string& text, KIV_PdoMapEntry& out);

struct NodeInfo {
    uint8_t node = 0;
    uint32_t deviceType = 0;
    std::string name;           // empty when 0x1008 is absent
    uint32_t identity[4] = {};  // vendor, product, revision, serial
    bool hasIdentity = false;
};
// Nodes 1..127 that answer a read of 0x1000, with their name and identity.
std::vector<NodeInfo> ScanNodes(Session& s);
void PrintNodes(const std::vector<NodeInfo>& nodes);

// The TPDO's COB-ID and mapping in force, read back: "COB-ID 0x185 (valid),
// mapping 0x6041:00/16 0x6064:00/32". Empty with `error` set on failure.
std::string DescribeTpdo(Session& s, uint8_t node, uint8_t tpdo, std::string& error);

// A TIME stamp of the local time now; `stamp` gets it in words.
int32_t SendTimeNow(Session& s, std::string& stamp);

// CiA 402: power-on sequence; true when the drive ends in operation enabled.
bool PowerOn(Session& s, uint8_t node, std::string& report);
// Profile position move; `progress` gets the actual position as it goes.
bool MoveTo(Session& s, uint8_t node, int32_t target, const std::function<void(int32_t)>& progress,
            std::string& report);

// Set by SIGINT: long-running commands end early.
bool Interrupted();
void InstallInterruptHandler();

}  // namespace orukiv::tool
