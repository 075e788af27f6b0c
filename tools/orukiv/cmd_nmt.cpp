// `orukiv nmt COMMAND NODE`: an NMT command to one node or all.
#include <memory>

#include "command.h"
#include "event_text.h"
#include "report.h"

namespace orukiv::tool {

static int CmdNmt(Session& s, uint8_t command, uint8_t node) {
    const std::string target = node == 0 ? "all nodes" : "node " + std::to_string(node);
    const std::string text = "NMT " + NmtCommandName(command) + " to " + target;
    return PrintResult(s, text + " sent", text, KIV_NMT_SendCommand(s.h(), node, command),
                       Json().Str("command", NmtCommandName(command)).Uint("node", node));
}

Command NmtCommand() {
    return {"nmt", "NMT command: " + NmtCommandNames("|") + " NODE (0: all)",
            [](CLI::App& app) -> Handler {
                struct Args {
                    std::string command;
                    int64_t node = 0;
                };
                auto a = std::make_shared<Args>();
                app.add_option("COMMAND", a->command)
                    ->required()
                    ->check(CLI::Validator(
                        [](std::string& text) -> std::string {
                            uint8_t code = 0;
                            return NmtCommandOf(text, code)
                                       ? std::string()
                                       : "'" + text + "' is not one of " + NmtCommandNames(", ");
                        },
                        NmtCommandNames("|")));
                AddNode(app, a->node, true);
                return [a](Session& s) {
                    uint8_t command = 0;
                    NmtCommandOf(a->command, command);
                    return CmdNmt(s, command, static_cast<uint8_t>(a->node));
                };
            }};
}

}  // namespace orukiv::tool
