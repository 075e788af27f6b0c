// Events, NMT states and drive states in words.
#include "event_text.h"

#include <cstdio>
#include <iterator>

#include "values.h"

namespace orukiv::tool {

namespace {

std::string Node(uint8_t node) {
    return "node " + std::to_string(node);
}

std::string Nmt(const KIV_Event& e) {
    const uint8_t target = e.node;
    return "NMT       " + NmtCommandName(e.body.nmt.command) + " " +
           (target == 0 ? std::string("all nodes") : Node(target));
}

std::string Emcy(const KIV_Event& e) {
    const auto& m = e.body.emcy;
    std::string text = "EMCY      " + Node(e.node) + " code " + HexNumber(m.errorCode, 4) +
                       " register " + HexNumber(m.errorRegister, 2) + " data " +
                       HexBytes(m.manufacturerData, 5);
    if (m.errorCode == 0) text += " (error reset)";
    return text;
}

std::string Heartbeat(const KIV_Event& e) {
    if (e.body.heartbeat.state == KIV_NMT_STATE_BOOTUP) return "BOOT-UP   " + Node(e.node);
    return "HEARTBEAT " + Node(e.node) + " " + NmtStateName(e.body.heartbeat.state);
}

std::string Time(const KIV_Event& e) {
    const auto& t = e.body.time;
    char buf[64];
    std::snprintf(buf, sizeof buf, "TIME      %04u-%02u-%02u %02u:%02u:%02u.%03u", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, static_cast<unsigned>(t.millisecond));
    return buf;
}

std::string Sdo(const KIV_Event& e) {
    static const char* const kinds[] = {"read request",   "read response", "write request",
                                        "write response", "abort",         "segment or other"};
    const auto& s = e.body.sdo;
    const bool response = e.node >= 0x80;
    std::string text = "SDO       " + Node(static_cast<uint8_t>(e.node & 0x7F)) + " " +
                       (s.sdoKind < 6 ? kinds[s.sdoKind] : "?");
    if (s.sdoKind != KIV_SDO_OTHER)
        text += " " + HexNumber(s.index, 4) + ":" + HexNumber(s.subIndex, 2).substr(2);
    if (s.sdoLength > 0) text += " data " + HexBytes(s.sdoData, s.sdoLength);
    if (!response && s.sdoKind == KIV_SDO_ABORT) text += " (from a client)";
    return text;
}

std::string Frame(const KIV_Event& e) {
    const auto& f = e.body.frame;
    std::string name = PdoName(f.cobId);
    std::string text = "PDO       " + HexNumber(f.cobId, 3);
    if (!name.empty()) text += " (" + name + ")";
    text += " [" + std::to_string(f.frameLength) + "]";
    if (f.frameLength) text += " " + HexBytes(f.frameData, f.frameLength);
    return text;
}

std::string NodeState(const KIV_Event& e) {
    static const char* const kCauses[] = {"boot-up seen", "state changed", "heartbeat lost",
                                          "guarding lost", "node back"};
    const auto& n = e.body.nodeState;
    std::string text =
        "STATE     " + Node(e.node) + " " + NmtStateName(n.oldState) + " -> " +
        NmtStateName(n.newState) + ": " +
        (n.cause < std::size(kCauses) ? kCauses[n.cause] : "cause " + std::to_string(n.cause)) +
        ", ";
    if (n.sinceLastMs == 0xFFFFFFFFu) return text + "no frame before";
    return text + std::to_string(n.sinceLastMs) + " ms since the last frame";
}

std::string Other(const KIV_Event& e) {
    return "FRAME     node byte " + HexNumber(e.node, 2);
}

// The fields of each event in JSON ("type" comes from the table below).
Json NmtJson(const KIV_Event& e) {
    return Json().Str("command", NmtCommandName(e.body.nmt.command)).Uint("node", e.node);
}

Json EmcyJson(const KIV_Event& e) {
    const auto& m = e.body.emcy;
    return Json()
        .Uint("node", e.node)
        .Uint("errorCode", m.errorCode)
        .Uint("errorRegister", m.errorRegister)
        .Str("data", HexBytesLower(m.manufacturerData, 5));
}

Json HeartbeatJson(const KIV_Event& e) {
    return Json().Uint("node", e.node).Str("state", NmtStateName(e.body.heartbeat.state));
}

Json TimeJson(const KIV_Event& e) {
    return Json().Str("time", Time(e).substr(10));
}

Json SdoJson(const KIV_Event& e) {
    const auto& s = e.body.sdo;
    Json j;
    j.Uint("node", e.node & 0x7Fu)
        .Bool("response", e.node >= 0x80)
        .Uint("kind", s.sdoKind)
        .Uint("index", s.index)
        .Uint("subIndex", s.subIndex)
        .Str("data", HexBytesLower(s.sdoData, s.sdoLength));
    return j;
}

Json FrameJson(const KIV_Event& e) {
    const auto& f = e.body.frame;
    return Json().Uint("cobId", f.cobId).Str("data", HexBytesLower(f.frameData, f.frameLength));
}

Json NodeStateJson(const KIV_Event& e) {
    const auto& n = e.body.nodeState;
    Json j;
    j.Uint("node", e.node)
        .Str("oldState", NmtStateName(n.oldState))
        .Str("newState", NmtStateName(n.newState))
        .Uint("cause", n.cause);
    if (n.sinceLastMs != 0xFFFFFFFFu) j.Uint("sinceLastMs", n.sinceLastMs);
    return j;
}

std::string Boot(const KIV_Event& e) {
    const auto& b = e.body.boot;
    return "BOOT      " + Node(e.node) + " " +
           (b.status == 0 ? std::string("booted")
                          : std::string("status '") + static_cast<char>(b.status) + "'") +
           ", " + NmtStateName(b.nmtState) + ", result " + std::to_string(b.result);
}

Json BootJson(const KIV_Event& e) {
    const auto& b = e.body.boot;
    Json j;
    j.Uint("node", e.node).Str("state", NmtStateName(b.nmtState)).Int("result", b.result);
    if (b.status != 0) j.Str("status", std::string(1, static_cast<char>(b.status)));
    if (b.abortCode != 0) j.Uint("abortCode", b.abortCode);
    return j;
}

Json NodeOnlyJson(const KIV_Event& e) {
    return Json().Uint("node", e.node);
}

struct EventFormat {
    uint32_t type;
    const char* name;  // "type" in JSON
    std::string (*format)(const KIV_Event&);
    Json (*json)(const KIV_Event&);
};

const EventFormat kFormats[] = {
    {KIV_EVENT_NMT, "nmt", Nmt, NmtJson},
    {KIV_EVENT_SYNC, "sync", [](const KIV_Event&) { return std::string("SYNC"); },
     [](const KIV_Event&) { return Json(); }},
    {KIV_EVENT_EMCY, "emcy", Emcy, EmcyJson},
    {KIV_EVENT_HEARTBEAT, "heartbeat", Heartbeat, HeartbeatJson},
    {KIV_EVENT_TIME, "time", Time, TimeJson},
    {KIV_EVENT_SDO, "sdo", Sdo, SdoJson},
    {KIV_EVENT_FRAME, "pdo", Frame, FrameJson},
    {KIV_EVENT_NODE_GUARD, "guard",
     [](const KIV_Event& e) { return "GUARD     request to " + Node(e.node); }, NodeOnlyJson},
    {KIV_EVENT_NODE_STATE, "nodeState", NodeState, NodeStateJson},
    {KIV_EVENT_BOOT, "boot", Boot, BootJson},
    {KIV_EVENT_NONE, "frame", Other, NodeOnlyJson},
};

const EventFormat* FindFormat(uint32_t type) {
    for (const EventFormat& f : kFormats)
        if (f.type == type) return &f;
    return nullptr;
}

}  // namespace

std::string EventText(const KIV_Event& event) {
    if (const EventFormat* f = FindFormat(event.type)) return f->format(event);
    return "EVENT     type " + std::to_string(event.type) + " node " + std::to_string(event.node);
}

Json EventJson(const KIV_Event& event) {
    if (const EventFormat* f = FindFormat(event.type))
        return Json().Str("type", f->name).Merge(f->json(event));
    return Json().Uint("type", event.type).Uint("node", event.node);
}

std::string NmtStateName(uint32_t state) {
    switch (state) {
        case KIV_NMT_STATE_BOOTUP:
            return "boot-up";
        case KIV_NMT_STATE_STOPPED:
            return "stopped";
        case KIV_NMT_STATE_OPERATIONAL:
            return "operational";
        case KIV_NMT_STATE_PRE_OPERATIONAL:
            return "pre-operational";
        case KIV_NMT_STATE_UNKNOWN:
            return "unknown";
        default:
            return "state " + HexNumber(state, 2);
    }
}

namespace {

// The NMT commands by the names the command line takes.
const struct {
    const char* name;
    uint8_t command;
} kNmtCommands[] = {{"start", KIV_NMT_CMD_START},
                    {"stop", KIV_NMT_CMD_STOP},
                    {"preop", KIV_NMT_CMD_PRE_OPERATIONAL},
                    {"reset", KIV_NMT_CMD_RESET_NODE},
                    {"resetcomm", KIV_NMT_CMD_RESET_COMM}};

}  // namespace

std::string NmtCommandName(uint32_t command) {
    for (const auto& c : kNmtCommands)
        if (c.command == command) return c.name;
    return "command " + HexNumber(command, 2);
}

bool NmtCommandOf(const std::string& name, uint8_t& command) {
    for (const auto& c : kNmtCommands) {
        if (name == c.name) {
            command = c.command;
            return true;
        }
    }
    return false;
}

std::string NmtCommandNames(const std::string& separator) {
    std::string out;
    for (const auto& c : kNmtCommands) out += (out.empty() ? "" : separator) + c.name;
    return out;
}

const char* DriveStateOf(uint16_t sw) {
    // CiA 402 statusword patterns: (mask, value, state), first match wins.
    struct Pattern {
        uint16_t mask, value;
        const char* name;
    };
    static const Pattern patterns[] = {
        {0x004F, 0x0000, "not ready to switch on"}, {0x004F, 0x0040, "switch on disabled"},
        {0x006F, 0x0021, "ready to switch on"},     {0x006F, 0x0023, "switched on"},
        {0x006F, 0x0027, "operation enabled"},      {0x006F, 0x0007, "quick stop active"},
        {0x004F, 0x000F, "fault reaction active"},  {0x004F, 0x0008, "fault"},
    };
    for (const Pattern& p : patterns)
        if ((sw & p.mask) == p.value) return p.name;
    return "unknown state";
}

std::string PdoName(uint32_t cobId) {
    static const struct {
        uint32_t base;
        const char* name;
    } kPdos[] = {{0x180, "TPDO1"}, {0x200, "RPDO1"}, {0x280, "TPDO2"}, {0x300, "RPDO2"},
                 {0x380, "TPDO3"}, {0x400, "RPDO3"}, {0x480, "TPDO4"}, {0x500, "RPDO4"}};
    for (const auto& p : kPdos)
        if (cobId > p.base && cobId < p.base + 0x80)
            return std::string(p.name) + " of node " + std::to_string(cobId - p.base);
    return {};
}

}  // namespace orukiv::tool
