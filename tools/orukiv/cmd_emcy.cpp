// `orukiv emcy NODE CODE [REG [BYTES]]`: an EMCY frame for a node.
#include <memory>

#include "command.h"
#include "report.h"

namespace orukiv::tool {

static int CmdEmcy(Session& s, uint8_t node, uint16_t code, uint8_t reg,
                   const std::vector<uint8_t>& data) {
    uint8_t mfr[5] = {};
    for (std::size_t i = 0; i < data.size() && i < 5; ++i) mfr[i] = data[i];
    const std::string text = "EMCY for node " + std::to_string(node) + ": code " +
                             HexNumber(code, 4) + " register " + HexNumber(reg, 2) + " data " +
                             HexBytes(mfr, 5);
    return PrintResult(s, "sent " + text, text, KIV_SendEMCY(s.h(), node, code, reg, mfr),
                       Json()
                           .Uint("node", node)
                           .Uint("errorCode", code)
                           .Uint("errorRegister", reg)
                           .Str("data", HexBytesLower(mfr, 5)));
}

Command EmcyCommand() {
    return {"emcy", "send an EMCY: NODE CODE [REG [BYTES]]", [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0, code = 0, reg = 0;
                    std::vector<uint8_t> data;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                AddNumber(app, "CODE", a->code, 0, 0xFFFF)->required();
                AddNumber(app, "REG", a->reg, 0, 0xFF);
                AddHexBytes(app, "BYTES", a->data, 5, "up to 5 manufacturer bytes in hex");
                return [a](Session& s) {
                    return CmdEmcy(s, static_cast<uint8_t>(a->node), static_cast<uint16_t>(a->code),
                                   static_cast<uint8_t>(a->reg), a->data);
                };
            }};
}

}  // namespace orukiv::tool
