// The command line: global options, the command from the table, the bus and
// library instance it runs on, and the exit status.
#include <algorithm>
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
#include "report.h"
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
    static const char* const kWithValue[] = {"--bus", "--timeout",  "--log",
                                             "--eds", "--max-size", "--unconfigured"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.empty() || a[0] != '-') return a;
        for (const char* o : kWithValue)
            if (a == o) ++i;
    }
    return {};
}

// Values after "--" (a value such as -inf that reads as an option): the
// parser takes words after "--" only while a positional still needs some,
// so the command's options move before its positionals and "--" goes
// between them: `write 5 0x2000 0 --type i16 -- -inf` is parsed as
// `write --type i16 -- 5 0x2000 0 -inf`. Other lines pass unchanged.
std::vector<std::string> ValuesAfterDashes(CLI::App& app, const std::vector<std::string>& args) {
    const std::string word = FirstWord(args);
    const auto cmd = std::find(args.begin(), args.end(), word);
    const auto dashes = std::find(cmd, args.end(), std::string("--"));
    CLI::App* sub = nullptr;
    for (CLI::App* c : app.get_subcommands([&](CLI::App* c) { return c->get_name() == word; }))
        sub = c;
    if (!sub || dashes == args.end()) return args;
    std::vector<std::string> out(args.begin(), cmd + 1), options, positionals;
    for (auto it = cmd + 1; it != dashes; ++it) {
        const std::string& a = *it;
        if (a.size() < 2 || a[0] != '-' || ParseSigned(a, INT64_MIN, INT64_MAX)) {
            positionals.push_back(a);
            continue;
        }
        options.push_back(a);
        const std::string name = a.substr(0, a.find('='));
        const CLI::Option* o = sub->get_option_no_throw(name);
        if (!o) o = app.get_option_no_throw(name);
        if (o && o->get_expected_min() > 0 && a.find('=') == std::string::npos && it + 1 != dashes)
            options.push_back(*++it);
    }
    out.insert(out.end(), options.begin(), options.end());
    out.push_back("--");
    out.insert(out.end(), positionals.begin(), positionals.end());
    out.insert(out.end(), dashes + 1, args.end());
    return out;
}

// A command line that cannot run, before any session: "orukiv: TEXT" on
// standard error, or under --json a JSON line on standard output.
int Refuse(bool json, int status, const std::string& text, const Json& context = {}) {
    if (!json) {
        std::fprintf(stderr, "orukiv: %s\n", text.c_str());
    } else {
        std::printf("%s\n", Json()
                                .Bool("ok", false)
                                .Merge(context)
                                .Str("result", status == kExitUsage ? "usage" : "bus")
                                .Str("error", text)
                                .Object()
                                .c_str());
        std::fflush(stdout);
    }
    return status;
}

// A parse error in words: the unknown command named, the rest as CLI11 says
// (under --json, as a JSON line).
int UsageError(CLI::App& app, const CLI::ParseError& e, const std::vector<std::string>& args,
               bool inShell, bool json, const Json& context = {}) {
    const std::string word = FirstWord(args);
    if (!word.empty() && !FindCommand(word, inShell) && app.get_subcommands().empty())
        return Refuse(json, kExitUsage,
                      "unknown command '" + word + "'" +
                          (inShell && FindCommand(word) ? " in the shell" : "") +
                          " (commands: " + CommandNames(inShell) + ")",
                      context);
    if (json && e.get_exit_code() != 0) return Refuse(json, kExitUsage, e.what(), context);
    const int status = app.exit(e);
    return status == 0 ? kExitOk : kExitUsage;  // --help and --version: 0
}

// --json anywhere before a lone "--": JSON output even when the command line
// does not parse.
bool JsonWanted(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;
        if (a == "--json") return true;
    }
    return false;
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
    CLI::App app{"orukiv: a CANopen master on a simulated network or a real CAN bus", "orukiv"};
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
    const bool json = JsonWanted(args);
    try {
        std::vector<std::string> reversed = ValuesAfterDashes(app, args);
        std::reverse(reversed.begin(), reversed.end());
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        return UsageError(app, e, args, false, json);
    }
    const Handler* handler = ChosenHandler(commands);
    const Command* command = FindCommand(app.get_subcommands().front()->get_name());
    if (!handler || !command) return kExitUsage;

    if (maxSize > 0) opt.maxSize = static_cast<uint32_t>(maxSize);
    opt.unconfigured = static_cast<int>(unconfigured);
    InstallInterruptHandler();
    if (command->runs == Command::Runs::kAlone) {
        Session alone(opt);
        return (*handler)(alone);
    }

    opt.timeoutGiven = timeoutMs > 0;
    if (opt.timeoutGiven) opt.timeoutMs = static_cast<uint32_t>(timeoutMs);
    std::string error;
    auto address = ParseBusAddress(opt.bus, error);
    if (!address) return Refuse(json, kExitUsage, error);
    if (unconfigured > 0 && address->kind != BusAddress::Kind::kSim)
        return Refuse(json, kExitUsage, "--unconfigured needs the simulated bus (--bus sim)");
    address->simUnconfigured = static_cast<int>(unconfigured);
    std::FILE* log = nullptr;
    if (!opt.logFile.empty() && !(log = OpenLog(opt.logFile, error)))
        return Refuse(json, kExitUsage, error);
    // Closed here until the trace owns it.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> logFile(log, &std::fclose);
    std::unique_ptr<Bus> bus = OpenBus(*address, error);
    if (!bus) return Refuse(json, kExitBus, error);
    std::unique_ptr<FrameTrace> trace;
    if (opt.trace || log)
        trace = std::make_unique<FrameTrace>(bus->Interface(),
                                             opt.trace ? (opt.json ? stderr : stdout) : nullptr,
                                             logFile.release());
    Master master(*bus, trace.get());
    if (!master.Start()) return Refuse(json, kExitBus, "the library instance could not be created");
    KIV_SetSDOTimeout(master.Handle(), opt.timeoutMs);
    // A read of an object its server announces longer than --max-size ends
    // at the first answer (abort 0x06070012), nothing more moved.
    KIV_SetSdoRefuseLongReads(master.Handle(), 1);
    if (lowLatency->count() > 0) {
        opt.lowLatencyUs = lowLatencyText.empty()
                               ? 1000u
                               : static_cast<uint32_t>(*ParseUnsigned(lowLatencyText, 1000000));
        const int32_t result =
            KIV_SetWorkerTiming(master.Handle(), opt.lowLatencyUs,
                                KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE);
        if (result != KIV_OK)
            return Refuse(json, kExitBus, "low-latency mode refused: " + ResultText(result));
    }
    Session s(opt, master);
    if (!LoadObjectBook(s)) return kExitUsage;  // a bad --eds, as a bad --bus
    const int status = (*handler)(s);
    // An adapter lost during the command outweighs what the command said.
    if (const std::string lost = bus->Lost(); !lost.empty())
        return Refuse(json, kExitBus, "the bus was lost: " + lost);
    return status;
}

int RunShellLine(Session& s, const std::string& line) {
    CLI::App app{"orukiv shell line"};
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    const auto commands = AddCommands(app, true);
    try {
        std::vector<std::string> reversed = ValuesAfterDashes(app, CLI::detail::split_up(line));
        std::reverse(reversed.begin(), reversed.end());
        app.parse(reversed);
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
        return UsageError(app, e, words, true, s.options().json, s.context());
    }
    const Handler* handler = ChosenHandler(commands);
    return handler ? (*handler)(s) : kExitUsage;
}

}  // namespace orukiv::tool
