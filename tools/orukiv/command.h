// The tool's table of commands. A command is a name, a help line and a
// definition: the definition adds the command's arguments to its CLI11
// (sub)command and returns the handler that runs it with the values parsed.
//
// Adding a command: write `Command FooCommand()` in cmd_foo.cpp, declare it
// below and list it in command_table.cpp. Nothing else changes: the command
// line, `orukiv shell` and --help all take their commands from the table.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "session.h"
#include "values.h"

namespace orukiv::tool {

// The tool's exit statuses.
enum ExitStatus : int {
    kExitOk = 0,      // the command did what was asked
    kExitFailed = 1,  // the operation failed (or was interrupted before it was done)
    kExitUsage = 2,   // the command line was wrong
    kExitBus = 3,     // the bus or adapter could not be opened, or was lost
};

using Handler = std::function<int(Session&)>;

struct Command {
    enum class Runs {
        kOnBus,    // on the run's bus and library instance
        kAlone,    // without them (serve-slcan)
        kOnShell,  // on the bus, but not inside `orukiv shell` (the shell itself)
    };
    std::string name;
    std::string help;
    std::function<Handler(CLI::App& app)> define;
    Runs runs = Runs::kOnBus;
};

// Every command, in the order --help lists them (command_table.cpp).
const std::vector<Command>& Commands();

// The definitions, each beside its command.
Command ReadCommand();
Command WriteCommand();
Command NmtCommand();
Command SyncCommand();
Command TimeCommand();
Command EmcyCommand();
Command PdoCommand();
Command HeartbeatCommand();
Command TpdoCommand();
Command MonitorCommand();
Command ScanCommand();
Command PowerOnCommand();
Command MoveCommand();
Command DemoCommand();
Command ShellCommand();
Command ServeSlcanCommand();
Command OdCommand();           // cmd_od.cpp
Command ConciseCommand();      // cmd_od.cpp
Command ConfigureCommand();    // cmd_od.cpp
Command UploadCommand();       // cmd_transfer.cpp
Command DownloadCommand();     // cmd_transfer.cpp
Command CyclicCommand();       // cmd_cyclic.cpp
Command LssCommand();          // cmd_lss.cpp
Command BootCommand();         // cmd_boot.cpp
Command BootNetworkCommand();  // cmd_boot_network.cpp

// ---- Arguments the definitions share (cli_args.cpp) -----------------------

// A number in decimal or 0x hex within [lo, hi], stored in `out` once parsed.
CLI::Option* AddNumber(CLI::App& app, const std::string& name, int64_t& out, int64_t lo, int64_t hi,
                       const std::string& help = "");
// As AddNumber for a node id (1..127; 0..127 when `broadcast`).
CLI::Option* AddNode(CLI::App& app, int64_t& out, bool broadcast = false);
// A duration in seconds, 0 or more ("0.5").
CLI::Option* AddSeconds(CLI::App& app, const std::string& name, double& out,
                        const std::string& help);
// --type: one of the value types; `out` stays null when not given.
CLI::Option* AddValueType(CLI::App& app, const ValueType*& out, const std::string& help);
// Hex bytes ("01 02", "0102"), at most `maxBytes`.
CLI::Option* AddHexBytes(CLI::App& app, const std::string& name, std::vector<uint8_t>& out,
                         std::size_t maxBytes, const std::string& help);
CLI::Validator NumberCheck(int64_t lo, int64_t hi);
// "V:P:R:S" (vendor, product, revision, serial), each decimal or 0x hex
// (cmd_lss.cpp); false when malformed.
bool ParseIdentity(const std::string& text, uint32_t out[4]);
CLI::Validator IdentityCheck();
// "0x00000A1F:0x00000305:0x00010000:0x00C0FFEE"
std::string IdentityText(const uint32_t id[4]);
// A CiA 302-2 boot status letter and a KIV_BootStep in words (cmd_boot.cpp).
const char* BootStatusText(uint8_t letter);
const char* BootStepText(uint8_t step);

// ---- Running (cli.cpp) -----------------------------------------------------

// The whole tool: global options, one command, exit status.
int RunTool(int argc, char** argv);
// One command line inside `orukiv shell` ("read 5 0x1000 0"), on the
// shell's session. Usage errors go to standard error (exit status 2).
int RunShellLine(Session& s, const std::string& line);

}  // namespace orukiv::tool
