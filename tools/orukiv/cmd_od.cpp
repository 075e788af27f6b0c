// od, concise and configure: dictionaries listed, DCFs turned into concise
// DCFs and applied to nodes.
#include "cmd_od.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "command.h"
#include "interrupt.h"
#include "orukiv_common/byte_order.h"
#include "report.h"

namespace orukiv::tool {

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "orukiv: %s\n", message.c_str());
    return 1;
}

// A default or DCF value as JSON: integers and REALs as numbers (null for
// nan and inf, which JSON has not), BOOLEAN as true/false, DOMAIN and
// OCTET_STRING as lower-case hex, other types as strings; a value the
// library did not read (one that uses $NODEID with no node given, or is no
// value of its type) as the file's text; null where the file gives none.
std::string JsonOdValue(const KIV_OdEntry& e, bool read, const uint8_t* data, uint32_t size,
                        const char* text) {
    if (!read) return text ? JsonString(text) : "null";
    return JsonTyped(e.dataType, data, size);
}

std::string JsonDefault(const KIV_OdEntry& e) {
    return JsonOdValue(e, (e.flags & KIV_OD_HAS_DEFAULT) != 0, e.defaultValue, e.defaultSize,
                       e.defaultText);
}

void PrintEntry(const KIV_OdEntry& e) {
    char head[48];
    std::snprintf(head, sizeof head, "0x%04X:%02X  %-15s %-5s %-3s ", e.index, e.subIndex,
                  DataTypeName(e.dataType).c_str(), AccessName(e.access),
                  e.pdoMappable ? "PDO" : "");
    std::string line = head + EntryName(e);
    if (e.flags & KIV_OD_HAS_DEFAULT)
        line += " = " + FormatTyped(e.dataType, e.defaultValue, e.defaultSize);
    else if (e.defaultText)
        line += " = " + std::string(e.defaultText);
    if (e.flags & KIV_OD_HAS_VALUE)
        line += "  (DCF value " + FormatTyped(e.dataType, e.value, e.valueSize) + ")";
    else if (e.valueText)
        line += "  (DCF value " + std::string(e.valueText) + ")";
    std::printf("%s\n", line.c_str());
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool EndsWithBin(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".bin";
}

// The DCF's download as a concise DCF; empty with `error` set when the
// library refuses it.
std::vector<uint8_t> ConciseOf(const KIV_Od* dcf, std::string& error) {
    uint32_t size = 0;
    KIV_OdToConciseDcf(dcf, nullptr, 0, &size);
    std::vector<uint8_t> out(size);
    if (size == 0 || KIV_OdToConciseDcf(dcf, out.data(), size, &size) != 0) {
        error =
            "no concise DCF: a value to write uses $NODEID (give --node N), or nothing "
            "is to be written";
        return {};
    }
    out.resize(size);
    return out;
}

struct ConciseStep {
    uint16_t index;
    uint8_t sub;
    std::vector<uint8_t> data;
};

// The entries of a concise DCF; false when they do not fill it exactly.
bool DecodeConcise(const std::vector<uint8_t>& bin, std::vector<ConciseStep>& steps) {
    if (bin.size() < 4) return false;
    const uint32_t count = static_cast<uint32_t>(LoadLe(bin.data(), 4));
    std::size_t at = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (bin.size() - at < 7) return false;
        ConciseStep step{static_cast<uint16_t>(LoadLe(&bin[at], 2)), bin[at + 2], {}};
        const auto size = static_cast<uint32_t>(LoadLe(&bin[at + 3], 4));
        at += 7;
        if (size == 0 || bin.size() - at < size) return false;
        step.data.assign(bin.begin() + static_cast<long>(at),
                         bin.begin() + static_cast<long>(at + size));
        at += size;
        steps.push_back(std::move(step));
    }
    return at == bin.size();
}

}  // namespace

std::string OdEntryJson(const KIV_OdEntry& e) {
    const uint16_t type = e.fileDataType ? e.fileDataType : e.dataType;
    const char* access = AccessName(e.access);
    return "{\"index\":" + std::to_string(e.index) + ",\"subIndex\":" + std::to_string(e.subIndex) +
           ",\"name\":" + JsonString(e.name) + ",\"dataType\":" + std::to_string(type) +
           ",\"access\":" + (*access ? "\"" + std::string(access) + "\"" : std::string("null")) +
           ",\"pdoMappable\":" + (e.pdoMappable ? "true" : "false") +
           ",\"default\":" + JsonDefault(e) +
           // A DCF's ParameterValue, rendered as the default is.
           ((e.flags & KIV_OD_HAS_VALUE) || e.valueText
                ? ",\"value\":" + JsonOdValue(e, (e.flags & KIV_OD_HAS_VALUE) != 0, e.value,
                                              e.valueSize, e.valueText)
                : std::string()) +
           "}";
}

int CmdOd(const std::string& path, uint8_t node, bool json) {
    std::string error;
    const OdPtr od = LoadOd(path, node, error);
    if (!od) return Fail(error);
    const uint32_t n = KIV_OdCount(od.get());
    for (uint32_t i = 0; i < n; ++i) {
        KIV_OdEntry e{};
        if (KIV_OdEntryAt(od.get(), i, &e) != 0) continue;
        if (json)
            std::printf("%s\n", OdEntryJson(e).c_str());
        else
            PrintEntry(e);
    }
    if (!json) std::printf("%u entries\n", n);
    return 0;
}

int CmdConcise(Session& s, const std::string& dcfPath, const std::string& outPath, uint8_t node) {
    std::string error;
    const OdPtr dcf = LoadOd(dcfPath, node, error);
    if (!dcf) return PrintError(s, error);
    const std::vector<uint8_t> bin = ConciseOf(dcf.get(), error);
    if (bin.empty()) return PrintError(s, dcfPath + ": " + error);
    std::ofstream out(outPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    out.close();
    if (!out) return PrintError(s, "cannot write " + outPath);
    const auto entries = static_cast<uint32_t>(LoadLe(bin.data(), 4));
    PrintDone(s,
              outPath + ": " + std::to_string(entries) + " entries, " + std::to_string(bin.size()) +
                  " bytes",
              Json().Str("file", outPath).Uint("entries", entries).Uint("size", bin.size()));
    return 0;
}

int CmdConcise(const std::string& dcfPath, const std::string& outPath, uint8_t node) {
    const Options words;
    Session alone(words);
    return CmdConcise(alone, dcfPath, outPath, node);
}

int CmdConfigure(Session& s, uint8_t node, const std::string& path) {
    const Json fields = Json().Uint("node", node).Str("file", path);
    const auto fail = [&](const std::string& text) { return PrintError(s, text, fields); };
    std::string error;
    OdPtr dcf(nullptr, KIV_OdFree);
    std::vector<uint8_t> bin;
    if (EndsWithBin(path)) {
        if (!ReadFile(path, bin)) return fail("cannot read " + path);
    } else {
        dcf = LoadOd(path, node, error);
        if (!dcf) return fail(error);
        bin = ConciseOf(dcf.get(), error);
        if (bin.empty()) return fail(path + ": " + error);
    }
    std::vector<ConciseStep> steps;
    if (!DecodeConcise(bin, steps)) return fail(path + " is not a concise DCF");

    // Interrupted before the download: nothing is sent. Once it runs, an
    // interrupt aborts the write under way and makes no further one.
    if (Interrupted()) return fail("interrupted; nothing was sent to node " + std::to_string(node));
    const std::size_t total = steps.size();
    // Each write is shown once done: a write that starts says the one
    // before it succeeded (the download stops at the first failure).
    std::atomic<std::size_t> started{0};  // writes sent so far
    s.master().SetSendObserver([&](const KIV_CanFrame& f) {
        // SDO download initiate (expedited, segmented or block) to the node.
        if (f.id != 0x600u + node || f.dlc < 4 || f.rtr) return;
        const uint8_t cs = f.data[0];
        if ((cs & 0xE0) != 0x20 && (cs & 0xE1) != 0xC0) return;
        const auto index = static_cast<uint16_t>(f.data[1] | f.data[2] << 8);
        for (std::size_t k = started.load(); k < total; ++k)
            if (steps[k].index == index && steps[k].sub == f.data[3]) {
                started.store(k + 1);
                break;
            }
    });
    KIV_ConfigReport report{};
    int32_t r = KIV_OK;
    std::atomic<bool> finished{false};
    // Ctrl-C: the write under way is aborted, no further write is made.
    CancelOnInterrupt cancel(s);
    std::thread download([&] {
        r = dcf ? KIV_ConfigureNode(s.h(), node, dcf.get(), &report)
                : KIV_WriteConciseDcf(s.h(), node, bin.data(), static_cast<uint32_t>(bin.size()),
                                      &report);
        finished.store(true);
    });
    // One line per write: on standard output as it is done, or under --json
    // a JSON line on standard error (standard output keeps the result).
    std::size_t shown = 0;
    const auto show = [&](std::size_t i, const std::string& outcome) {
        const ConciseStep& st = steps[i];
        // The entry as the DCF, or for a concise DCF the node's dictionary, has it.
        KIV_OdEntry found{};
        const std::optional<KIV_OdEntry> e =
            dcf ? (KIV_OdFind(dcf.get(), st.index, st.sub, &found) == 0
                       ? std::optional<KIV_OdEntry>(found)
                       : std::nullopt)
                : s.objects().Find(node, st.index, st.sub);
        const std::string value = e ? FormatTyped(e->dataType, st.data.data(), st.data.size())
                                    : HexBytes(st.data.data(), st.data.size());
        if (s.options().json) {
            std::fprintf(stderr, "%s\n",
                         Json()
                             .Bool("ok", outcome == "ok")
                             .Str("progress", "configure")
                             .Uint("node", node)
                             .Uint("step", i + 1)
                             .Uint("steps", total)
                             .Uint("index", st.index)
                             .Uint("subIndex", st.sub)
                             .Str("outcome", outcome)
                             .Object()
                             .c_str());
            std::fflush(stderr);
        } else {
            std::printf("  %3zu/%zu  0x%04X:%02X %s<- %s  %s\n", i + 1, total, st.index, st.sub,
                        e ? (EntryName(*e) + " ").c_str() : "", value.c_str(), outcome.c_str());
            std::fflush(stdout);
        }
    };
    while (!finished.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const std::size_t n = started.load(); shown + 1 < n; ++shown) show(shown, "ok");
    }
    download.join();
    s.master().SetSendObserver({});
    // Writes stop at the first failure: the steps before it were done.
    for (; shown < total; ++shown)
        show(shown, shown < report.written ? "ok"
                    : shown == report.written && r != KIV_OK
                        ? "FAILED: " + ResultText(r, report.abortCode)
                        : "not sent");
    const uint32_t n = dcf ? KIV_OdCount(dcf.get()) : 0;
    for (uint32_t i = 0; i < n; ++i) {
        KIV_OdEntry e{};
        if (KIV_OdEntryAt(dcf.get(), i, &e) != 0 || (e.flags & KIV_OD_HAS_VALUE) == 0) continue;
        if (s.options().json) continue;
        if (e.access == KIV_OD_ACCESS_RO || e.access == KIV_OD_ACCESS_CONST ||
            e.access == KIV_OD_ACCESS_NONE)
            std::printf("  skipped  0x%04X:%02X %s (%s)\n", e.index, e.subIndex,
                        EntryName(e).c_str(),
                        *AccessName(e.access) ? AccessName(e.access) : "no access type");
    }
    std::string summary = "node " + std::to_string(node) + ": " + std::to_string(report.written) +
                          " of " + std::to_string(total) + " writes done";
    if (dcf)
        summary += ", " + std::to_string(report.skipped) + " DCF value(s) not writable, skipped";
    const Json counts = Json(fields)
                            .Uint("written", report.written)
                            .Uint("writes", total)
                            .Uint("skipped", report.skipped);
    if (r == KIV_OK) {
        PrintDone(s, summary, counts);
        return kExitOk;
    }
    if (!s.options().json) std::printf("%s\n", summary.c_str());
    if (r == KIV_ERR_CANCELLED)
        return PrintFailure(s,
                            "interrupted: configuration of node " + std::to_string(node) +
                                " after " + std::to_string(report.written) + " of " +
                                std::to_string(total) + " writes",
                            r, report.abortCode, counts);
    const std::string step = "write " + std::to_string(report.written + 1) + " of " +
                             std::to_string(total) + " " +
                             ObjectName(node, report.failedIndex, report.failedSubIndex);
    return PrintFailure(s,
                        "configuration of node " + std::to_string(node) + ": step '" + step + "'",
                        r, report.abortCode,
                        Json(counts)
                            .Str("step", step)
                            .Uint("index", report.failedIndex)
                            .Uint("subIndex", report.failedSubIndex));
}

Command OdCommand() {
    return {"od", "list an EDS or DCF file's objects: FILE (--json: one object per entry)",
            [](CLI::App& app) -> Handler {
                struct Args {
                    std::string file;
                    int64_t node = 0;
                };
                auto a = std::make_shared<Args>();
                app.add_option("FILE", a->file)->required();
                AddNumber(app, "--node", a->node, 1, 127, "node id for $NODEID");
                return [a](Session& s) {
                    return CmdOd(a->file, static_cast<uint8_t>(a->node), s.options().json);
                };
            },
            Command::Runs::kAlone};
}

Command ConciseCommand() {
    return {"concise", "write a DCF's download as a concise DCF: FILE.dcf OUT.bin",
            [](CLI::App& app) -> Handler {
                struct Args {
                    std::string file, out;
                    int64_t node = 0;
                };
                auto a = std::make_shared<Args>();
                app.add_option("FILE", a->file)->required();
                app.add_option("OUT", a->out)->required();
                AddNumber(app, "--node", a->node, 1, 127, "node id for $NODEID");
                return [a](Session& s) {
                    return CmdConcise(s, a->file, a->out, static_cast<uint8_t>(a->node));
                };
            },
            Command::Runs::kAlone};
}

Command ConfigureCommand() {
    return {"configure", "apply a DCF, or a concise DCF (FILE.bin), to a node: NODE FILE",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0;
                    std::string file;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                app.add_option("FILE", a->file)->required();
                return [a](Session& s) {
                    return CmdConfigure(s, static_cast<uint8_t>(a->node), a->file);
                };
            }};
}

}  // namespace orukiv::tool
