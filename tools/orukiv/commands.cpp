// Object access, service frames and configuration.
#include "commands.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>

#include "command.h"
#include "event_text.h"
#include "interrupt.h"
#include "orukiv_common/byte_order.h"
#include "report.h"

namespace orukiv::tool {

namespace {

// A single library call: `done` on success, "WHAT failed: ..." otherwise.
int Report(Session& s, const std::string& done, const std::string& what, int32_t result,
           const Json& fields = {}) {
    if (result != KIV_OK) return PrintFailure(s, what, result, 0, fields);
    PrintDone(s, done, fields);
    return kExitOk;
}

}  // namespace

// ---- Service frames -------------------------------------------------------------

int CmdNmt(Session& s, uint8_t command, uint8_t node) {
    const std::string target = node == 0 ? "all nodes" : "node " + std::to_string(node);
    const std::string text = "NMT " + NmtCommandName(command) + " to " + target;
    return Report(s, text + " sent", text, KIV_NMT_SendCommand(s.h(), node, command),
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

int CmdSync(Session& s, uint32_t periodMs, uint64_t count) {
    if (periodMs == 0) return Report(s, "SYNC sent", "SYNC", KIV_SendSYNC(s.h()));
    // Paced by the clock, not by the sends: no drift over a long run.
    const auto period = std::chrono::milliseconds(periodMs);
    auto next = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    while (!Interrupted() && (count == 0 || sent < count)) {
        const int32_t r = KIV_SendSYNC(s.h());
        if (r != KIV_OK)
            return PrintFailure(s, "SYNC " + std::to_string(sent + 1), r, 0,
                                Json().Uint("sent", sent));
        ++sent;
        next += period;
        while (!Interrupted() && std::chrono::steady_clock::now() < next &&
               (count == 0 || sent < count))
            std::this_thread::sleep_until(
                std::min(next, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
    }
    PrintDone(s,
              std::to_string(sent) + " SYNC" + (sent == 1 ? "" : "s") + " sent every " +
                  std::to_string(periodMs) + " ms" + (Interrupted() ? " (interrupted)" : ""),
              Json().Uint("sent", sent).Uint("periodMs", periodMs));
    return kExitOk;
}

Command SyncCommand() {
    return {"sync", "send a SYNC; with --period, one every MS ms until Ctrl-C or --count N",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t period = 0, count = 0;
                };
                auto a = std::make_shared<Args>();
                AddNumber(app, "--period", a->period, 1, 60000, "send one SYNC every MS ms")
                    ->option_text("MS");
                AddNumber(app, "--count", a->count, 1, INT64_MAX, "stop after N SYNCs")
                    ->option_text("N");
                return [a](Session& s) {
                    return CmdSync(s, static_cast<uint32_t>(a->period),
                                   static_cast<uint64_t>(a->count));
                };
            }};
}

int32_t SendTimeNow(Session& s, std::string& stamp) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03u", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<unsigned>(ms));
    stamp = text;
    return KIV_SendTimestamp(
        s.h(), static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint8_t>(local.tm_mon + 1),
        static_cast<uint8_t>(local.tm_mday), static_cast<uint8_t>(local.tm_hour),
        static_cast<uint8_t>(local.tm_min), static_cast<uint8_t>(local.tm_sec), ms);
}

int CmdTime(Session& s) {
    std::string stamp;
    const int32_t r = SendTimeNow(s, stamp);
    return Report(s, "TIME stamp sent: " + stamp, "TIME stamp " + stamp, r,
                  Json().Str("time", stamp));
}

Command TimeCommand() {
    return {"time", "send a TIME stamp of now",
            [](CLI::App&) -> Handler { return [](Session& s) { return CmdTime(s); }; }};
}

int CmdEmcy(Session& s, uint8_t node, uint16_t code, uint8_t reg,
            const std::vector<uint8_t>& data) {
    uint8_t mfr[5] = {};
    for (std::size_t i = 0; i < data.size() && i < 5; ++i) mfr[i] = data[i];
    const std::string text = "EMCY for node " + std::to_string(node) + ": code " +
                             HexNumber(code, 4) + " register " + HexNumber(reg, 2) + " data " +
                             HexBytes(mfr, 5);
    return Report(s, "sent " + text, text, KIV_SendEMCY(s.h(), node, code, reg, mfr),
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

int CmdPdo(Session& s, uint32_t cobId, const std::vector<uint8_t>& data) {
    const std::string text =
        "PDO on " + HexNumber(cobId, 3) + ": " + HexBytes(data.data(), data.size());
    return Report(s, "sent " + text, text,
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

// ---- Configuration --------------------------------------------------------------

int CmdHeartbeat(Session& s, uint8_t node, uint16_t periodMs) {
    const Access a = s.WriteU(node, 0x1017, 0, periodMs, 2);
    const Json fields = Json().Uint("node", node).Uint("periodMs", periodMs);
    if (!a.ok())
        return PrintFailure(s,
                            "setting the heartbeat period of node " + std::to_string(node) +
                                " to " + std::to_string(periodMs) + " ms (0x1017)",
                            a.result, a.abortCode, fields);
    PrintDone(s,
              "node " + std::to_string(node) + " produces its heartbeat every " +
                  std::to_string(periodMs) + " ms" + (periodMs == 0 ? " (off)" : ""),
              fields);
    return kExitOk;
}

Command HeartbeatCommand() {
    return {"heartbeat", "set a node's heartbeat period: NODE MS (0: off)",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0, period = 0;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                AddNumber(app, "MS", a->period, 0, 0xFFFF)->required();
                return [a](Session& s) {
                    return CmdHeartbeat(s, static_cast<uint8_t>(a->node),
                                        static_cast<uint16_t>(a->period));
                };
            }};
}

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
