// orukiv: the command-line CANopen master.
//   orukiv [--bus BUS] [--timeout MS] [--trace] [--log FILE] [--json]
//          [--low-latency[=PERIOD_US]] [--version] COMMAND ...
// The commands are in command_table.cpp.
#include "command.h"

int main(int argc, char** argv) {
    return orukiv::tool::RunTool(argc, argv);
}
