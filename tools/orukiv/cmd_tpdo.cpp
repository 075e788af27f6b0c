// `orukiv tpdo NODE N INDEX:SUB:BITS...`: a TPDO mapped with the library's
// PDO procedure (KIV_ConfigPDO), and read back.
#include <cstdio>
#include <memory>

#include "command.h"
#include "procedures.h"
#include "report.h"

namespace orukiv::tool {

bool ParseMapEntry(const std::string& text, KIV_PdoMapEntry& out) {
    const auto a = text.find(':');
    const auto b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos) return false;
    const auto index = ParseUnsigned(text.substr(0, a), 0xFFFF);
    const auto sub = ParseUnsigned(text.substr(a + 1, b - a - 1), 0xFF);
    const auto bits = ParseUnsigned(text.substr(b + 1), 64);
    if (!index || !sub || !bits || *bits == 0 || *bits % 8 != 0) return false;
    out = KIV_MakePdoMapEntry(static_cast<uint16_t>(*index), static_cast<uint8_t>(*sub),
                              static_cast<uint8_t>(*bits));
    return true;
}

std::string DescribeTpdo(Session& s, uint8_t node, uint8_t tpdo, std::string& error) {
    const auto comm = static_cast<uint16_t>(0x1800 + tpdo - 1);
    const auto map = static_cast<uint16_t>(0x1A00 + tpdo - 1);
    const Access cob = s.Read(node, comm, 1);
    const Access count = s.Read(node, map, 0);
    if (!cob.ok() || !count.ok()) {
        error = "reading back " + ObjectName(node, cob.ok() ? map : comm, cob.ok() ? 0 : 1) + ": " +
                (cob.ok() ? count : cob).Error();
        return {};
    }
    const uint32_t c = cob.U32();
    std::string text = "COB-ID " + HexNumber(c & 0x1FFFFFFF, 3) +
                       ((c & 0x80000000u) ? " (not valid)" : " (valid)") + ", mapping";
    for (uint8_t sub = 1; sub <= count.U32() && sub <= 8; ++sub) {
        const Access e = s.Read(node, map, sub);
        if (!e.ok()) {
            error = "reading back " + ObjectName(node, map, sub) + ": " + e.Error();
            return {};
        }
        const uint32_t v = e.U32();
        char buf[32];
        std::snprintf(buf, sizeof buf, " 0x%04X:%02X/%u", v >> 16, (v >> 8) & 0xFF, v & 0xFF);
        text += buf;
    }
    if (count.U32() == 0) text += " empty";
    return text;
}

int32_t ConfigurePdo(Session& s, uint8_t node, bool transmit, uint16_t pdo,
                     const std::vector<KIV_PdoMapEntry>& entries, bool makeValid,
                     std::string& error, uint32_t* cobId) {
    const auto comm = static_cast<uint16_t>((transmit ? 0x1800 : 0x1400) + pdo - 1);
    const Access cob = s.Read(node, comm, 1);
    const Access type = cob.ok() ? s.Read(node, comm, 2) : cob;
    if (!cob.ok() || !type.ok()) {
        const Access& failed = cob.ok() ? type : cob;
        error = "reading " + ObjectName(node, comm, cob.ok() ? 2 : 1) + ": " + failed.Error();
        return failed.result == KIV_OK ? KIV_ERR_PARAM : failed.result;
    }
    const uint32_t id = makeValid ? cob.U32() & ~0x80000000u : cob.U32();
    KIV_ConfigReport report{};
    const int32_t r =
        KIV_ConfigPDO(s.h(), node, transmit ? 1 : 0, pdo, id, static_cast<uint8_t>(type.U32()),
                      entries.data(), static_cast<uint8_t>(entries.size()), &report);
    if (r != KIV_OK)
        error = "step " + std::to_string(report.written + 1) + " of " +
                std::to_string(report.steps) + ", " +
                ObjectName(node, report.failedIndex, report.failedSubIndex) + ": " +
                ResultText(r, report.abortCode);
    if (cobId) *cobId = id;
    return r;
}

int CmdTpdo(Session& s, uint8_t node, uint8_t tpdo, const std::vector<KIV_PdoMapEntry>& entries) {
    const auto map = static_cast<uint16_t>(0x1A00 + tpdo - 1);
    const Json fields = Json().Uint("node", node).Uint("tpdo", tpdo);
    const std::string prefix = "TPDO" + std::to_string(tpdo) + " of node " + std::to_string(node);
    // The library's PDO procedure, with the COB-ID (valid or not) and the
    // transmission type the node holds.
    std::string error;
    const int32_t r = ConfigurePdo(s, node, true, tpdo, entries, false, error);
    if (r != KIV_OK) return PrintError(s, prefix + ": " + error, Json(fields).Str("step", error));
    const std::string now = DescribeTpdo(s, node, tpdo, error);
    if (now.empty()) return PrintError(s, error, fields);
    const Access count = s.Read(node, map, 0);
    if (count.U32() != entries.size())
        return PrintError(s,
                          prefix + ": the node did not take the mapping (" +
                              std::to_string(count.U32()) + " entries in force)",
                          fields);
    PrintDone(s, prefix + ": " + now, Json(fields).Str("mapping", now));
    return kExitOk;
}

Command TpdoCommand() {
    return {"tpdo", "map a TPDO: NODE N INDEX:SUB:BITS...", [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0, tpdo = 0;
                    std::vector<std::string> entries;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                AddNumber(app, "N", a->tpdo, 1, 4)->required();
                app.add_option("ENTRY", a->entries, "mapped objects, such as 0x6041:0:16")
                    ->required()
                    ->check(CLI::Validator(
                        [](std::string& text) -> std::string {
                            KIV_PdoMapEntry e;
                            return ParseMapEntry(text, e) ? std::string()
                                                          : "'" + text + "' is not INDEX:SUB:BITS";
                        },
                        "INDEX:SUB:BITS"));
                return [a](Session& s) {
                    std::vector<KIV_PdoMapEntry> map(a->entries.size());
                    for (std::size_t i = 0; i < map.size(); ++i)
                        ParseMapEntry(a->entries[i], map[i]);
                    return CmdTpdo(s, static_cast<uint8_t>(a->node), static_cast<uint8_t>(a->tpdo),
                                   map);
                };
            }};
}

}  // namespace orukiv::tool
