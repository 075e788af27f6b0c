// `orukiv pdo COBID HEXDATA`: one PDO frame.
#include <memory>

#include "command.h"
#include "report.h"

namespace orukiv::tool {

static int CmdPdo(Session& s, uint32_t cobId, const std::vector<uint8_t>& data) {
    const std::string text =
        "PDO on " + HexNumber(cobId, 3) + ": " + HexBytes(data.data(), data.size());
    return PrintResult(
        s, "sent " + text, text,
        KIV_SendPDO(s.h(), cobId, data.data(), static_cast<uint8_t>(data.size())),
        Json().Uint("cobId", cobId).Str("data", HexBytesLower(data.data(), data.size())));
}

Command PdoCommand() {
    return {"pdo", "send a PDO: COBID HEXDATA", [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t cobId = 0;
                    std::vector<uint8_t> data;
                };
                auto a = std::make_shared<Args>();
                AddNumber(app, "COBID", a->cobId, 1, 0x7FF)->required();
                AddHexBytes(app, "HEXDATA", a->data, 8, "")->required();
                return
                    [a](Session& s) { return CmdPdo(s, static_cast<uint32_t>(a->cobId), a->data); };
            }};
}

}  // namespace orukiv::tool
