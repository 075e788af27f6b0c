// od, concise and configure: dictionaries listed, DCFs turned into concise
// DCFs and applied to nodes.
#include "cmd_od.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace orukiv::tool {

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "orukiv: %s\n", message.c_str());
    return 1;
}

// `text` as a JSON string: escapes quotes, backslashes and control
// characters; bytes that are not UTF-8 are taken as Latin-1, as older
// files are written.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    char buf[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A whole UTF-8 sequence passes as it is.
            const std::size_t n = (c & 0xE0) == 0xC0   ? 2
                                  : (c & 0xF0) == 0xE0 ? 3
                                  : (c & 0xF8) == 0xF0 ? 4
                                                       : 0;
            bool valid = n > 0 && i + n <= text.size();
            for (std::size_t k = 1; valid && k < n; ++k)
                valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (valid) {
                out.append(text, i, n);
                i += n - 1;
            } else {
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            }
        }
    }
    return out + "\"";
}

std::string Formatted(uint16_t dataType, const uint8_t* data, uint32_t size) {
    std::string text(static_cast<std::size_t>(size) * 4 + 64, '\0');
    if (KIV_OdFormatValue(dataType, data, size, text.data(), static_cast<uint32_t>(text.size())) !=
        0)
        return {};
    text.resize(text.find('\0'));
    return text;
}

// The default as JSON: integers and REALs as numbers (null for nan and
// inf, which JSON has not), BOOLEAN as true/false, DOMAIN and OCTET_STRING
// as lower-case hex, other types as strings; a default that uses $NODEID
// with no node given as the file's text; null where the file gives none.
std::string JsonDefault(const KIV_OdEntry& e) {
    if ((e.flags & KIV_OD_HAS_DEFAULT) == 0)
        return (e.flags & KIV_OD_DEFAULT_NODEID) && e.defaultText ? JsonString(e.defaultText)
                                                                  : "null";
    const std::string text = Formatted(e.dataType, e.defaultValue, e.defaultSize);
    if (e.dataType == KIV_OD_BOOLEAN) return text == "0" ? "false" : "true";
    if (IntegerSize(e.dataType) != 0) return text.empty() ? "null" : text;
    if (e.dataType == KIV_OD_REAL32 || e.dataType == KIV_OD_REAL64) {
        const bool finite = !text.empty() && text.find_first_of("ni") == std::string::npos;
        return finite ? text : "null";
    }
    return JsonString(text);
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

uint32_t Le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

struct Step {
    uint16_t index;
    uint8_t sub;
    std::vector<uint8_t> data;
};

// The entries of a concise DCF; false when they do not fill it exactly.
bool DecodeConcise(const std::vector<uint8_t>& bin, std::vector<Step>& steps) {
    if (bin.size() < 4) return false;
    const uint32_t count = Le(bin.data(), 4);
    std::size_t at = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (bin.size() - at < 7) return false;
        Step step{static_cast<uint16_t>(Le(&bin[at], 2)), bin[at + 2], {}};
        const uint32_t size = Le(&bin[at + 3], 4);
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
           ",\"default\":" + JsonDefault(e) + "}";
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

int CmdConcise(const std::string& dcfPath, const std::string& outPath, uint8_t node) {
    std::string error;
    const OdPtr dcf = LoadOd(dcfPath, node, error);
    if (!dcf) return Fail(error);
    const std::vector<uint8_t> bin = ConciseOf(dcf.get(), error);
    if (bin.empty()) return Fail(dcfPath + ": " + error);
    std::ofstream out(outPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    out.close();
    if (!out) return Fail("cannot write " + outPath);
    std::printf("%s: %u entries, %zu bytes\n", outPath.c_str(), Le(bin.data(), 4), bin.size());
    return 0;
}

int CmdConfigure(Session& s, uint8_t node, const std::string& path) {
    std::string error;
    OdPtr dcf(nullptr, KIV_OdFree);
    std::vector<uint8_t> bin;
    if (EndsWithBin(path)) {
        if (!ReadFile(path, bin)) return Fail("cannot read " + path);
    } else {
        dcf = LoadOd(path, node, error);
        if (!dcf) return Fail(error);
        bin = ConciseOf(dcf.get(), error);
        if (bin.empty()) return Fail(path + ": " + error);
    }
    std::vector<Step> steps;
    if (!DecodeConcise(bin, steps)) return Fail(path + " is not a concise DCF");

    KIV_ConfigReport report{};
    const int32_t r = dcf ? KIV_ConfigureNode(s.h(), node, dcf.get(), &report)
                          : KIV_WriteConciseDcf(s.h(), node, bin.data(),
                                                static_cast<uint32_t>(bin.size()), &report);
    // Writes stop at the first failure: the steps before it were done.
    const std::size_t total = steps.size();
    for (std::size_t i = 0; i < total; ++i) {
        const Step& st = steps[i];
        // The entry as the DCF, or for a concise DCF the node's dictionary, has it.
        KIV_OdEntry found{};
        const std::optional<KIV_OdEntry> e =
            dcf ? (KIV_OdFind(dcf.get(), st.index, st.sub, &found) == 0
                       ? std::optional<KIV_OdEntry>(found)
                       : std::nullopt)
                : s.objects().Find(node, st.index, st.sub);
        const std::string value = e ? FormatTyped(e->dataType, st.data.data(), st.data.size())
                                    : HexBytes(st.data.data(), st.data.size());
        const std::string outcome = i < report.written ? "ok"
                                    : i == report.written && r != KIV_OK
                                        ? "FAILED: " + ResultText(r, report.abortCode)
                                        : "not sent";
        std::printf("  %3zu/%zu  0x%04X:%02X %s<- %s  %s\n", i + 1, total, st.index, st.sub,
                    e ? (EntryName(*e) + " ").c_str() : "", value.c_str(), outcome.c_str());
    }
    const uint32_t n = dcf ? KIV_OdCount(dcf.get()) : 0;
    for (uint32_t i = 0; i < n; ++i) {
        KIV_OdEntry e{};
        if (KIV_OdEntryAt(dcf.get(), i, &e) != 0 || (e.flags & KIV_OD_HAS_VALUE) == 0) continue;
        if (e.access == KIV_OD_ACCESS_RO || e.access == KIV_OD_ACCESS_CONST ||
            e.access == KIV_OD_ACCESS_NONE)
            std::printf("  skipped  0x%04X:%02X %s (%s)\n", e.index, e.subIndex,
                        EntryName(e).c_str(),
                        *AccessName(e.access) ? AccessName(e.access) : "no access type");
    }
    std::printf("node %u: %u of %zu writes done", node, report.written, total);
    if (dcf) std::printf(", %u DCF value(s) not writable, skipped", report.skipped);
    std::printf("\n");
    if (r == KIV_OK) return 0;
    char where[48];
    std::snprintf(where, sizeof where, "0x%04X:%02X", report.failedIndex, report.failedSubIndex);
    return Fail("configuration of node " + std::to_string(node) + " stopped at " + where + ": " +
                ResultText(r, report.abortCode));
}

}  // namespace orukiv::tool
