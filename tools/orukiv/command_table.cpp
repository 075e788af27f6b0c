// The commands of the tool, in the order --help lists them. A new command
// adds one line here (its definition lives in its own file).
#include "command.h"

namespace orukiv::tool {

const std::vector<Command>& Commands() {
    // clang-format off
    static const std::vector<Command> commands = {
        ReadCommand(),
        WriteCommand(),
        UploadCommand(),
        DownloadCommand(),
        NmtCommand(),
        SyncCommand(),
        TimeCommand(),
        EmcyCommand(),
        PdoCommand(),
        HeartbeatCommand(),
        TpdoCommand(),
        MonitorCommand(),
        ScanCommand(),
        PowerOnCommand(),
        MoveCommand(),
        CyclicCommand(),
        OdCommand(),
        ConciseCommand(),
        ConfigureCommand(),
        LssCommand(),
        BootCommand(),
        BootNetworkCommand(),
        DemoCommand(),
        ShellCommand(),
        ServeSlcanCommand(),
    };
    // clang-format on
    return commands;
}

}  // namespace orukiv::tool
