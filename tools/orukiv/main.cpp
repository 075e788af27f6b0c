// orukiv: the command-line CANopen master.
//   orukiv [--bus BUS] [--timeout MS] [--trace] [--log FILE]
//          [--low-latency[=PERIOD_US]] COMMAND ...
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "candump.h"
#include "commands.h"
#include "master.h"
#include "registered_command.h"
#include "session.h"
#include "values.h"

namespace {

using namespace orukiv::tool;

// A CLI11 check that the text is a number (decimal or 0x hex) in [lo, hi].
CLI::Validator Number(int64_t lo, int64_t hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            if (ParseSigned(text, lo, hi)) return {};
            return "'" + text + "' is not a number from " + std::to_string(lo) + " to " +
                   std::to_string(hi) + " (decimal or 0x hex)";
        },
        "NUMBER");
}

int64_t Num(const std::string& text) {
    return *ParseSigned(text, INT64_MIN, INT64_MAX);  // validated already
}

CLI::Validator TypeName() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return FindValueType(text) ? std::string()
                                       : "unknown type '" + text + "' (" + ValueTypeNames() + ")";
        },
        ValueTypeNames());
}

CLI::Validator HexData(std::size_t maxBytes) {
    return CLI::Validator(
        [maxBytes](std::string& text) -> std::string {
            std::string error;
            const auto bytes = EncodeValue(*FindValueType("hex"), text, error);
            if (!bytes || bytes->size() > maxBytes)
                return "'" + text + "' is not 1.." + std::to_string(maxBytes) + " hex bytes";
            return {};
        },
        "HEX");
}

std::vector<uint8_t> Hex(const std::string& text) {
    std::string error;
    return text.empty() ? std::vector<uint8_t>{} : *EncodeValue(*FindValueType("hex"), text, error);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orukiv: a CANopen master on a simulated network or a real CAN bus"};
    app.require_subcommand(1);
    app.fallthrough();  // global options after the command too
    Options opt;
    std::string timeoutText;
    app.add_option("--bus", opt.bus,
                   "sim[@BITRATE] (default sim; a bit rate turns on bit timing), socketcan:IFNAME "
                   "or slcan:DEVICE[@BITRATE]");
    app.add_option("--timeout", timeoutText, "SDO time-out in ms (default 1000)")
        ->check(Number(1, 600000));
    app.add_flag("--trace", opt.trace, "print every frame in both directions, candump log form");
    app.add_option("--log", opt.logFile, "write every frame to FILE, candump log form");
    std::string lowLatencyText;
    auto* lowLatency =
        app.add_option("--low-latency", lowLatencyText,
                       "low-latency mode: the worker wakes for each request and each frame that "
                       "arrives, and drains a busy bus; PERIOD_US is its period (default 1000)")
            ->expected(0, 1)
            ->type_name("[=PERIOD_US]")
            ->check(Number(100, 1000000));

    // Positional arguments arrive as text and are checked as numbers here,
    // so that decimal and 0x hex are both taken and nothing else is.
    std::string node, index, sub, value, type, action, code, reg, data, cobId, period, tpdoNumber,
        position;
    std::vector<std::string> entries;
    double seconds = 0;

    auto* read = app.add_subcommand("read", "read an object: NODE INDEX SUB");
    read->add_option("NODE", node)->required()->check(Number(1, 127));
    read->add_option("INDEX", index)->required()->check(Number(0, 0xFFFF));
    read->add_option("SUB", sub)->required()->check(Number(0, 0xFF));
    read->add_option("--type", type, "how to show the value (default: by its size)")
        ->check(TypeName());

    auto* write = app.add_subcommand("write", "write an object: NODE INDEX SUB VALUE");
    write->add_option("NODE", node)->required()->check(Number(1, 127));
    write->add_option("INDEX", index)->required()->check(Number(0, 0xFFFF));
    write->add_option("SUB", sub)->required()->check(Number(0, 0xFF));
    write->add_option("VALUE", value)->required();
    write->add_option("--type", type, "value type (default: u32 for numbers, str for text)")
        ->check(TypeName());

    auto* nmt =
        app.add_subcommand("nmt", "NMT command: start|stop|preop|reset|resetcomm NODE (0: all)");
    nmt->add_option("COMMAND", action)
        ->required()
        ->check(CLI::IsMember({"start", "stop", "preop", "reset", "resetcomm"}));
    nmt->add_option("NODE", node)->required()->check(Number(0, 127));

    auto* sync = app.add_subcommand("sync", "send a SYNC");
    auto* time = app.add_subcommand("time", "send a TIME stamp of now");

    auto* emcy = app.add_subcommand("emcy", "send an EMCY: NODE CODE [REG [BYTES]]");
    emcy->add_option("NODE", node)->required()->check(Number(1, 127));
    emcy->add_option("CODE", code)->required()->check(Number(0, 0xFFFF));
    emcy->add_option("REG", reg)->check(Number(0, 0xFF));
    emcy->add_option("BYTES", data, "up to 5 manufacturer bytes in hex")->check(HexData(5));

    auto* pdo = app.add_subcommand("pdo", "send a PDO: COBID HEXDATA");
    pdo->add_option("COBID", cobId)->required()->check(Number(1, 0x7FF));
    pdo->add_option("HEXDATA", data)->required()->check(HexData(8));

    auto* heartbeat =
        app.add_subcommand("heartbeat", "set a node's heartbeat period: NODE MS (0: off)");
    heartbeat->add_option("NODE", node)->required()->check(Number(1, 127));
    heartbeat->add_option("MS", period)->required()->check(Number(0, 0xFFFF));

    auto* tpdo = app.add_subcommand("tpdo", "map a TPDO: NODE N INDEX:SUB:BITS...");
    tpdo->add_option("NODE", node)->required()->check(Number(1, 127));
    tpdo->add_option("N", tpdoNumber)->required()->check(Number(1, 4));
    tpdo->add_option("ENTRY", entries, "mapped objects, such as 0x6041:0:16")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                KIV_PdoMapEntry e;
                return ParseMapEntry(text, e) ? std::string()
                                              : "'" + text + "' is not INDEX:SUB:BITS";
            },
            "INDEX:SUB:BITS"));

    auto* monitor = app.add_subcommand(
        "monitor", "print every decoded event: [SECONDS] (default: until Ctrl-C)");
    monitor->add_option("SECONDS", seconds)->check(CLI::NonNegativeNumber);
    std::string superviseText;
    monitor
        ->add_option("--supervise", superviseText,
                     "watch the heartbeat of every node heard, lost after MS ms of silence")
        ->check(Number(1, 0x7FFFFFFF))
        ->option_text("MS");

    auto* scan =
        app.add_subcommand("scan", "find nodes 1..127 and show their names and identities");

    auto* powerOn =
        app.add_subcommand("power-on", "CiA 402: bring a drive to operation enabled: NODE");
    powerOn->add_option("NODE", node)->required()->check(Number(1, 127));

    auto* move = app.add_subcommand("move", "CiA 402: profile position move: NODE POSITION");
    move->add_option("NODE", node)->required()->check(Number(1, 127));
    move->add_option("POSITION", position)->required()->check(Number(INT32_MIN, INT32_MAX));
    bool powerFirst = false;
    move->add_flag("--power-on", powerFirst, "run the power-on sequence first");

    auto* demo = app.add_subcommand(
        "demo", "a scripted run on the simulated network; exit 0 when all went well");

    auto* serve = app.add_subcommand(
        "serve-slcan",
        "put the simulated network behind a pseudo-terminal speaking slcan: [SECONDS]");
    serve->add_option("SECONDS", seconds)->check(CLI::NonNegativeNumber);

    const RegisteredCommand registered[] = {RegisterLssCommand(app), RegisterBootCommand(app)};
    std::string unconfigured;
    app.add_option("--unconfigured", unconfigured,
                   "with --bus sim: N LSS slaves without a node-ID (255) join the network")
        ->check(Number(0, 16))
        ->option_text("N");
    const TransferCommand transfer = AddTransferCommands(app, opt);

    CLI11_PARSE(app, argc, argv);

    if (*serve) return CmdServeSlcan(seconds);

    opt.timeoutGiven = !timeoutText.empty();
    if (opt.timeoutGiven) opt.timeoutMs = static_cast<uint32_t>(Num(timeoutText));
    std::string error;
    auto address = ParseBusAddress(opt.bus, error);
    if (!address) {
        std::fprintf(stderr, "orukiv: %s\n", error.c_str());
        return 2;
    }
    std::FILE* log = nullptr;
    if (!opt.logFile.empty() && !(log = std::fopen(opt.logFile.c_str(), "w"))) {
        std::fprintf(stderr, "orukiv: cannot write %s\n", opt.logFile.c_str());
        return 2;
    }
    if (!unconfigured.empty()) address->simUnconfigured = static_cast<int>(Num(unconfigured));
    std::unique_ptr<Bus> bus = OpenBus(*address, error);
    if (!bus) {
        if (log) std::fclose(log);
        std::fprintf(stderr, "orukiv: %s\n", error.c_str());
        return 3;
    }
    std::unique_ptr<FrameTrace> trace;
    if (opt.trace || log) trace = std::make_unique<FrameTrace>(bus->Interface(), opt.trace, log);
    Master master(*bus, trace.get());
    if (!master.Start()) {
        std::fprintf(stderr, "orukiv: the library instance could not be created\n");
        return 3;
    }
    KIV_SetSDOTimeout(master.Handle(), opt.timeoutMs);
    if (lowLatency->count() > 0) {
        opt.lowLatencyUs =
            lowLatencyText.empty() ? 1000u : static_cast<uint32_t>(Num(lowLatencyText));
        const int32_t result =
            KIV_SetWorkerTiming(master.Handle(), opt.lowLatencyUs,
                                KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE);
        if (result != KIV_OK) {
            std::fprintf(stderr, "orukiv: low-latency mode refused: %s\n",
                         ResultText(result).c_str());
            return 3;
        }
    }
    Session s(opt, master);

    const auto u8 = [](const std::string& t) { return static_cast<uint8_t>(Num(t)); };
    const auto u16 = [](const std::string& t) { return static_cast<uint16_t>(Num(t)); };
    const ValueType* valueType = type.empty() ? nullptr : FindValueType(type);

    if (const auto status = transfer(s)) return *status;
    if (*read) return CmdRead(s, u8(node), u16(index), u8(sub), valueType);
    if (*write) return CmdWrite(s, u8(node), u16(index), u8(sub), value, valueType);
    if (*nmt) {
        uint8_t command = 0;
        NmtCommandOf(action, command);
        return CmdNmt(s, command, u8(node));
    }
    if (*sync) return CmdSync(s);
    if (*time) return CmdTime(s);
    if (*emcy) return CmdEmcy(s, u8(node), u16(code), reg.empty() ? 0 : u8(reg), Hex(data));
    if (*pdo) return CmdPdo(s, static_cast<uint32_t>(Num(cobId)), Hex(data));
    if (*heartbeat) return CmdHeartbeat(s, u8(node), u16(period));
    if (*tpdo) {
        std::vector<KIV_PdoMapEntry> map(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) ParseMapEntry(entries[i], map[i]);
        return CmdTpdo(s, u8(node), u8(tpdoNumber), map);
    }
    if (*monitor)
        return CmdMonitor(s, seconds,
                          superviseText.empty() ? 0 : static_cast<uint32_t>(Num(superviseText)));
    if (*scan) return CmdScan(s);
    if (*powerOn) return CmdPowerOn(s, u8(node));
    if (*move) {
        if (powerFirst && CmdPowerOn(s, u8(node)) != 0) return 1;
        return CmdMove(s, u8(node), static_cast<int32_t>(Num(position)));
    }
    if (*demo) return CmdDemo(s);
    for (const RegisteredCommand& c : registered)
        if (*c.sub) return c.run(s);
    return 2;
}
