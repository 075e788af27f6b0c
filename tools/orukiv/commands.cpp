// Object access, service frames, configuration and the monitor.
#include "commands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "cmd_od.h"
#include "event_text.h"

namespace orukiv::tool {

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) {
    gInterrupted = true;
}

int Report(const std::string& what, int32_t result) {
    if (result == KIV_OK) {
        std::printf("%s\n", what.c_str());
        return 0;
    }
    std::fprintf(stderr, "orukiv: %s failed: %s\n", what.c_str(), ResultText(result).c_str());
    return 1;
}

std::string Hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

}  // namespace

bool Interrupted() {
    return gInterrupted;
}

void InstallInterruptHandler() {
    std::signal(SIGINT, OnInterrupt);
}

// ---- Objects --------------------------------------------------------------------

int CmdRead(Session& s, uint8_t node, uint16_t index, uint8_t sub, const ValueType* type) {
    const Access a = s.Read(node, index, sub);
    const std::string name = ObjectName(node, index, sub);
    if (!a.ok()) {
        std::fprintf(stderr, "orukiv: read %s failed: %s\n", name.c_str(), a.Error().c_str());
        return 1;
    }
    std::printf("%s = %s\n", name.c_str(), FormatValue(type, a.data.data(), a.data.size()).c_str());
    return 0;
}

int CmdWrite(Session& s, uint8_t node, uint16_t index, uint8_t sub, const std::string& value,
             const ValueType* type) {
    if (!type) {  // a number is a u32 (or i32 when negative), anything else text
        const bool number = ParseSigned(value, INT32_MIN, UINT32_MAX).has_value();
        type = FindValueType(!number ? "str" : value[0] == '-' ? "i32" : "u32");
    }
    std::string error;
    const auto bytes = EncodeValue(*type, value, error);
    if (!bytes) {
        std::fprintf(stderr, "orukiv: %s\n", error.c_str());
        return 1;
    }
    const Access a = s.Write(node, index, sub, *bytes);
    const std::string what = ObjectName(node, index, sub) + " <- " +
                             FormatValue(type, bytes->data(), bytes->size()) + " [" + type->name +
                             "]";
    if (!a.ok()) {
        std::fprintf(stderr, "orukiv: write %s failed: %s\n", what.c_str(), a.Error().c_str());
        return 1;
    }
    std::printf("%s: done\n", what.c_str());
    return 0;
}

// ---- Service frames -------------------------------------------------------------

bool NmtCommandOf(const std::string& name, uint8_t& command) {
    static const struct {
        const char* name;
        uint8_t command;
    } kCommands[] = {{"start", KIV_NMT_CMD_START},
                     {"stop", KIV_NMT_CMD_STOP},
                     {"preop", KIV_NMT_CMD_PRE_OPERATIONAL},
                     {"reset", KIV_NMT_CMD_RESET_NODE},
                     {"resetcomm", KIV_NMT_CMD_RESET_COMM}};
    for (const auto& c : kCommands) {
        if (name == c.name) {
            command = c.command;
            return true;
        }
    }
    return false;
}

int CmdNmt(Session& s, uint8_t command, uint8_t node) {
    const std::string target = node == 0 ? "all nodes" : "node " + std::to_string(node);
    return Report("NMT " + NmtCommandName(command) + " sent to " + target,
                  KIV_NMT_SendCommand(s.h(), node, command));
}

int CmdSync(Session& s) {
    return Report("SYNC sent", KIV_SendSYNC(s.h()));
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
    return Report("TIME stamp sent: " + stamp, r);
}

int CmdEmcy(Session& s, uint8_t node, uint16_t code, uint8_t reg,
            const std::vector<uint8_t>& data) {
    uint8_t mfr[5] = {};
    for (std::size_t i = 0; i < data.size() && i < 5; ++i) mfr[i] = data[i];
    return Report("EMCY sent for node " + std::to_string(node) + ": code " + Hex(code, 4) +
                      " register " + Hex(reg, 2) + " data " + HexBytes(mfr, 5),
                  KIV_SendEMCY(s.h(), node, code, reg, mfr));
}

int CmdPdo(Session& s, uint32_t cobId, const std::vector<uint8_t>& data) {
    return Report("PDO sent on " + Hex(cobId, 3) + ": " + HexBytes(data.data(), data.size()),
                  KIV_SendPDO(s.h(), cobId, data.data(), static_cast<uint8_t>(data.size())));
}

// ---- Configuration --------------------------------------------------------------

int CmdHeartbeat(Session& s, uint8_t node, uint16_t periodMs) {
    return Report("node " + std::to_string(node) + " produces its heartbeat every " +
                      std::to_string(periodMs) + " ms" + (periodMs == 0 ? " (off)" : ""),
                  KIV_NMT_SetHeartbeatPeriod(s.h(), node, periodMs));
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
    std::string text = "COB-ID " + Hex(c & 0x1FFFFFFF, 3) +
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

int CmdTpdo(Session& s, uint8_t node, uint8_t tpdo, const std::vector<KIV_PdoMapEntry>& entries) {
    const int32_t r =
        KIV_ConfigTPDO(s.h(), node, tpdo, entries.data(), static_cast<uint8_t>(entries.size()));
    if (r != KIV_OK) return Report("TPDO configuration", r);
    std::string error;
    const std::string now = DescribeTpdo(s, node, tpdo, error);
    if (now.empty()) {
        std::fprintf(stderr, "orukiv: %s\n", error.c_str());
        return 1;
    }
    std::printf("TPDO%u of node %u: %s\n", tpdo, node, now.c_str());
    // The read-back confirms what the node holds now.
    const Access count = s.Read(node, static_cast<uint16_t>(0x1A00 + tpdo - 1), 0);
    if (count.U32() != entries.size()) {
        std::fprintf(stderr, "orukiv: the node did not take the mapping (%u entries in force)\n",
                     count.U32());
        return 1;
    }
    return 0;
}

// ---- Monitor --------------------------------------------------------------------

int CmdMonitor(Session& s, double seconds, uint32_t superviseMs) {
    InstallInterruptHandler();
    const auto start = std::chrono::steady_clock::now();
    std::mutex printM;
    // Nodes whose boot-up, heartbeat or guarding answer was seen; set on the
    // worker, taken up by the loop below (supervising queues, which a
    // callback must not do).
    std::array<std::atomic<bool>, 128> heard{};
    auto print = [&](const KIV_Event& e) {
        if (e.type == KIV_EVENT_HEARTBEAT && e.node >= 1 && e.node <= 127)
            heard[e.node].store(true, std::memory_order_relaxed);
        const double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::lock_guard<std::mutex> lock(printM);
        std::printf("%8.3f  %s%s\n", t, EventText(e).c_str(), SdoObjectNote(s, e).c_str());
        std::fflush(stdout);
    };
    // Events that came before the monitor started (boot-ups on a just
    // opened bus) too.
    for (const KIV_Event& e : s.master().Events().SetHandler(print)) print(e);
    std::array<bool, 128> supervised{};
    int32_t result = KIV_OK;
    while (!Interrupted()) {
        if (seconds > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(seconds))
            break;
        for (int node = 1; superviseMs > 0 && node <= 127; ++node) {
            if (supervised[node] || !heard[node].load(std::memory_order_relaxed)) continue;
            supervised[node] = true;
            const int32_t r = KIV_SuperviseNode(s.h(), static_cast<uint8_t>(node), superviseMs);
            if (r != KIV_OK) {
                std::lock_guard<std::mutex> lock(printM);
                std::fprintf(stderr, "orukiv: supervising node %d failed: %s\n", node,
                             ResultText(r).c_str());
                result = r;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    s.master().Events().SetHandler({});
    return result == KIV_OK ? 0 : 1;
}

// ---- Scan -----------------------------------------------------------------------

std::vector<NodeInfo> ScanNodes(Session& s) {
    // Absent nodes cost a whole time-out each: ask sixteen at a time (one
    // per SDO channel of the library), with a short time-out unless one was
    // given.
    if (!s.options().timeoutGiven) KIV_SetSDOTimeout(s.h(), 200);
    std::vector<NodeInfo> found;
    std::mutex m;
    std::vector<std::thread> workers;
    constexpr int kWorkers = 16;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int node = 1 + w; node <= 127; node += kWorkers) {
                const Access type = s.Read(static_cast<uint8_t>(node), 0x1000, 0);
                if (!type.ok() && type.result != KIV_ERR_ABORTED) continue;
                NodeInfo info;
                info.node = static_cast<uint8_t>(node);
                info.deviceType = type.U32();
                std::lock_guard<std::mutex> lock(m);
                found.push_back(info);
            }
        });
    }
    for (auto& t : workers) t.join();
    KIV_SetSDOTimeout(s.h(), s.options().timeoutMs);

    std::sort(found.begin(), found.end(),
              [](const NodeInfo& a, const NodeInfo& b) { return a.node < b.node; });
    for (NodeInfo& info : found) {
        const Access name = s.Read(info.node, 0x1008, 0);
        if (name.ok()) info.name.assign(name.data.begin(), name.data.end());
        info.hasIdentity = true;
        for (uint8_t sub = 1; sub <= 4; ++sub) {
            const Access id = s.Read(info.node, 0x1018, sub);
            info.hasIdentity = info.hasIdentity && id.ok();
            info.identity[sub - 1] = id.U32();
        }
    }
    return found;
}

void PrintNodes(const std::vector<NodeInfo>& nodes) {
    std::printf("node  device type  vendor      product     revision    serial      name\n");
    for (const NodeInfo& n : nodes) {
        std::printf("%4u  0x%08X ", n.node, n.deviceType);
        if (n.hasIdentity)
            std::printf("  0x%08X  0x%08X  0x%08X  0x%08X", n.identity[0], n.identity[1],
                        n.identity[2], n.identity[3]);
        else
            std::printf("  %-46s", "(no identity)");
        std::printf("  %s\n", n.name.empty() ? "-" : ("\"" + n.name + "\"").c_str());
    }
}

int CmdScan(Session& s) {
    const std::vector<NodeInfo> nodes = ScanNodes(s);
    PrintNodes(nodes);
    std::printf("%zu node%s answered\n", nodes.size(), nodes.size() == 1 ? "" : "s");
    return nodes.empty() ? 1 : 0;
}

}  // namespace orukiv::tool
