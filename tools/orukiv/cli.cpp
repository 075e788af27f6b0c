// The command line: global options, the command from the table, the bus and
// library instance it runs on, and the exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "candump.h"
#include "cmd_od.h"
#include "command.h"
#include "interrupt.h"
#include "master.h"
#include "values.h"

namespace orukiv::tool {

namespace {

// Inside the shell, only the commands that run on its bus.
bool Offered(const Command& c, bool inShell) {
    return !inShell || c.runs == Command::Runs::kOnBus;
}

// The table's commands as subcommands of `app`; the handler of each.
std::vector<std::pair<CLI::App*, Handler>> AddCommands(CLI::App& app, bool inShell) {
    std::vector<std::pair<CLI::App*, Handler>> out;
    for (const Command& c : Commands()) {
        if (!Offered(c, inShell)) continue;
        CLI::App* sub = app.add_subcommand(c.name, c.help);
        out.emplace_back(sub, c.define(*sub));
    }
    return out;
}

const Handler* ChosenHandler(const std::vector<std::pair<CLI::App*, Handler>>& commands) {
    for (const auto& [sub, handler] : commands)
        if (sub->parsed()) return &handler;
    return nullptr;
}

const Command* FindCommand(const std::string& name, bool inShell = false) {
    for (const Command& c : Commands())
        if (c.name == name && Offered(c, inShell)) return &c;
    return nullptr;
}

std::string CommandNames(bool inShell) {
    std::string names;
    for (const Command& c : Commands())
        if (Offered(c, inShell)) names += (names.empty() ? "" : ", ") + c.name;
    return names;
}

// The first word that is neither a global option nor its value: the
// command the user meant.
std::string FirstWord(const std::vector<std::string>& args) {
    static const char* const kWithValue[] = {"--bus", "--timeout", "--log", "--eds", "--max-size"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.empty() || a[0] != '-') return a;
        for (const char* o : kWithValue)
            if (a == o) ++i;
    }
    return {};
}

// A parse error in words: the unknown command named, the rest as CLI11 says.
int UsageError(CLI::App& app, const CLI::ParseError& e, const std::vector<std::string>& args,
               bool inShell) {
    const std::string word = FirstWord(args);
    if (!word.empty() && !FindCommand(word, inShell) && app.get_subcommands().empty()) {
        std::fprintf(stderr, "orukiv: unknown command '%s'%s (commands: %s)\n", word.c_str(),
                     inShell && FindCommand(word) ? " in the shell" : "",
                     CommandNames(inShell).c_str());
        return kExitUsage;
    }
    const int status = app.exit(e);
    return status == 0 ? kExitOk : kExitUsage;  // --help and --version: 0
}

std::string VersionText() {
    const char* text = nullptr;
    KIV_GetVersion(&text);
    return std::string("orukiv ") + text;
}

// --log FILE: appended to (frames of earlier runs stay).
std::FILE* OpenLog(const std::string& path, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (!f) error = "cannot write the log " + path + ": " + std::strerror(errno);
    return f;
}

}  // namespace

int RunTool(int argc, char** argv) {
    CLI::App app{"orukiv: a CANopen master on a simulated network or a real CAN bus"};
    // Options are spelled alike on every system: on Windows too a word
    // starting with '/' is an argument (a path), not an option.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    app.fallthrough();  // global options after the command too
    app.set_version_flag("--version", VersionText());
    Options opt;
    int64_t timeoutMs = -1;
    app.add_option("--bus", opt.bus,
                   "sim[@BITRATE] (default sim; a bit rate turns on bit timing), socketcan:IFNAME "
                   "or slcan:DEVICE[@BITRATE]");
    AddNumber(app, "--timeout", timeoutMs, 1, 600000, "SDO time-out in ms (default 1000)");
    app.add_flag("--trace", opt.trace, "print every frame in both directions, candump log form");
    app.add_option("--log", opt.logFile,
                   "append every frame to FILE, candump log form (the file is kept)");
    app.add_flag("--json", opt.json, "one JSON object per line for each result or event");
    std::string lowLatencyText;
    auto* lowLatency =
        app.add_option("--low-latency", lowLatencyText,
                       "low-latency mode: the worker wakes for each request and each frame that "
                       "arrives, and drains a busy bus; PERIOD_US is its period (default 1000)")
            ->expected(0, 1)
            ->type_name("[=PERIOD_US]")
            ->check(NumberCheck(100, 1000000));
    app.add_option("--eds", opt.eds,
                   "NODE=FILE: a node's EDS (or DCF), for objects by name and values by type "
                   "(repeatable; the simulated nodes have their own)");
    int64_t maxSize = -1;
    AddNumber(app, "--max-size", maxSize, 1, 0xFFFFFFFE,
              "largest object a read or upload takes, in bytes (default 16 MiB)");
    int64_t unconfigured = 0;
    AddNumber(app, "--unconfigured", unconfigured, 0, 16,
              "with --bus sim: N LSS slaves without a node-ID (255) join the network")
        ->option_text("N");
    const auto commands = AddCommands(app, false);

    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return UsageError(app, e, args, false);
    }
    const Handler* handler = ChosenHandler(commands);
    const Command* command = FindCommand(app.get_subcommands().front()->get_name());
    if (!handler || !command) return kExitUsage;

    if (maxSize > 0) opt.maxSize = static_cast<uint32_t>(maxSize);
    InstallInterruptHandler();
    if (command->runs == Command::Runs::kAlone) {
        Session alone(opt);
        return (*handler)(alone);
    }

    opt.timeoutGiven = timeoutMs > 0;
    if (opt.timeoutGiven) opt.timeoutMs = static_cast<uint32_t>(timeoutMs);
    std::string error;
    auto address = ParseBusAddress(opt.bus, error);
    if (!address) {
        std::fprintf(stderr, "orukiv: %s\n", error.c_str());
        return kExitUsage;
    }
    address->simUnconfigured = static_cast<int>(unconfigured);
    std::FILE* log = nullptr;
    if (!opt.logFile.empty() && !(log = OpenLog(opt.logFile, error))) {
        std::fprintf(stderr, "orukiv: %s\n", error.c_str());
        return kExitUsage;
    }
    // Closed here until the trace owns it.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> logFile(log, &std::fclose);
    std::unique_ptr<Bus> bus = OpenBus(*address, error);
    if (!bus) {
        std::fprintf(stderr, "orukiv: %s\n", error.c_str());
        return kExitBus;
    }
    std::unique_ptr<FrameTrace> trace;
    if (opt.trace || log)
        trace = std::make_unique<FrameTrace>(bus->Interface(), opt.trace, logFile.release());
    Master master(*bus, trace.get());
    if (!master.Start()) {
        std::fprintf(stderr, "orukiv: the library instance could not be created\n");
        return kExitBus;
    }
    KIV_SetSDOTimeout(master.Handle(), opt.timeoutMs);
    if (lowLatency->count() > 0) {
        opt.lowLatencyUs = lowLatencyText.empty()
                               ? 1000u
                               : static_cast<uint32_t>(*ParseUnsigned(lowLatencyText, 1000000));
        const int32_t result =
            KIV_SetWorkerTiming(master.Handle(), opt.lowLatencyUs,
                                KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE);
        if (result != KIV_OK) {
            std::fprintf(stderr, "orukiv: low-latency mode refused: %s\n",
                         ResultText(result).c_str());
            return kExitBus;
        }
    }
    Session s(opt, master);
    if (!LoadObjectBook(s)) return kExitUsage;  // a bad --eds, as a bad --bus
    const int status = (*handler)(s);
    // An adapter lost during the command outweighs what the command said.
    if (const std::string lost = bus->Lost(); !lost.empty()) {
        std::fprintf(stderr, "orukiv: the bus was lost: %s\n", lost.c_str());
        return kExitBus;
    }
    return status;
}

int RunShellLine(Session& s, const std::string& line) {
    CLI::App app{"orukiv shell line"};
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    const auto commands = AddCommands(app, true);
    try {
        app.parse(line, false);
    } catch (const CLI::ParseError& e) {
        std::vector<std::string> words;
        std::string w;
        for (const char c : line + " ") {
            if (c == ' ' || c == '\t') {
                if (!w.empty()) words.push_back(w);
                w.clear();
            } else {
                w += c;
            }
        }
        return UsageError(app, e, words, true);
    }
    const Handler* handler = ChosenHandler(commands);
    return handler ? (*handler)(s) : kExitUsage;
}

}  // namespace orukiv::tool
