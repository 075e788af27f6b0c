// Dictionaries per node, type names, and values by type.
#include "od_book.h"

#include <cctype>
#include <cstdio>
#include <iterator>

#include "orukiv_sim/sim_eds.h"
#include "values.h"

namespace orukiv::tool {

namespace {

// Generous for any value an SDO read returns (the tool reads up to 4 KiB).
constexpr uint32_t kMaxValue = 65536;

std::string LoadError(const std::string& source, const KIV_OdError& e) {
    return source + (e.line ? ":" + std::to_string(e.line) : std::string()) + ": " + e.message;
}

bool IEquals(const char* a, const std::string& b) {
    std::size_t i = 0;
    for (; a[i] && i < b.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return a[i] == 0 && i == b.size();
}

}  // namespace

OdPtr LoadOd(const std::string& path, uint8_t node, std::string& error) {
    KIV_OdError e{};
    OdPtr od(KIV_OdLoadFile(path.c_str(), node, &e), KIV_OdFree);
    if (!od) error = LoadError(path, e);
    return od;
}

bool ObjectBook::Load(const std::vector<std::string>& specs, bool simulated, std::string& error) {
    for (const std::string& spec : specs) {
        const auto eq = spec.find('=');
        const auto node =
            eq == std::string::npos ? std::nullopt : ParseUnsigned(spec.substr(0, eq), 127);
        if (!node || *node == 0 || eq + 1 >= spec.size()) {
            error = "--eds '" + spec + "' is not NODE=FILE with NODE 1..127";
            return false;
        }
        OdPtr od = LoadOd(spec.substr(eq + 1), static_cast<uint8_t>(*node), error);
        if (!od) return false;
        books_.insert_or_assign(static_cast<uint8_t>(*node), std::move(od));
    }
    for (uint8_t node = 1; simulated && node <= 127; ++node) {
        const sim::SimEds eds = sim::SimEdsOf(node);
        if (!eds.fileName || books_.count(node)) continue;
        KIV_OdError e{};
        OdPtr od(KIV_OdLoadText(eds.text.data(), static_cast<uint32_t>(eds.text.size()), node, &e),
                 KIV_OdFree);
        if (!od) {
            error = LoadError(eds.fileName, e);
            return false;
        }
        books_.emplace(node, std::move(od));
    }
    return true;
}

const KIV_Od* ObjectBook::Of(uint8_t node) const {
    const auto it = books_.find(node);
    return it == books_.end() ? nullptr : it->second.get();
}

std::optional<KIV_OdEntry> ObjectBook::Find(uint8_t node, uint16_t index, uint8_t sub) const {
    KIV_OdEntry e{};
    const KIV_Od* od = Of(node);
    if (!od || KIV_OdFind(od, index, sub, &e) != 0) return std::nullopt;
    return e;
}

std::optional<KIV_OdEntry> FindByName(const KIV_Od* od, const std::string& name,
                                      std::optional<uint8_t> sub) {
    KIV_OdEntry e{};
    if (!od) return std::nullopt;
    if (!sub) {
        if (KIV_OdFindName(od, name.c_str(), &e) == 0) return e;
        return std::nullopt;
    }
    // An ARRAY or RECORD by its own name, then the sub-index.
    const uint32_t n = KIV_OdCount(od);
    for (uint32_t i = 0; i < n; ++i) {
        if (KIV_OdEntryAt(od, i, &e) == 0 && e.parentName && IEquals(e.parentName, name)) {
            if (KIV_OdFind(od, e.index, *sub, &e) == 0) return e;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string EntryName(const KIV_OdEntry& e) {
    return e.parentName ? std::string(e.parentName) + "." + e.name : std::string(e.name);
}

std::string DataTypeName(uint16_t dataType) {
    static const struct {
        uint16_t type;
        const char* name;
    } kNames[] = {
        {KIV_OD_BOOLEAN, "BOOLEAN"},
        {KIV_OD_INTEGER8, "INTEGER8"},
        {KIV_OD_INTEGER16, "INTEGER16"},
        {KIV_OD_INTEGER32, "INTEGER32"},
        {KIV_OD_UNSIGNED8, "UNSIGNED8"},
        {KIV_OD_UNSIGNED16, "UNSIGNED16"},
        {KIV_OD_UNSIGNED32, "UNSIGNED32"},
        {KIV_OD_REAL32, "REAL32"},
        {KIV_OD_VISIBLE_STRING, "VISIBLE_STRING"},
        {KIV_OD_OCTET_STRING, "OCTET_STRING"},
        {KIV_OD_UNICODE_STRING, "UNICODE_STRING"},
        {KIV_OD_TIME_OF_DAY, "TIME_OF_DAY"},
        {KIV_OD_TIME_DIFFERENCE, "TIME_DIFFERENCE"},
        {KIV_OD_DOMAIN, "DOMAIN"},
        {KIV_OD_INTEGER24, "INTEGER24"},
        {KIV_OD_REAL64, "REAL64"},
        {KIV_OD_INTEGER40, "INTEGER40"},
        {KIV_OD_INTEGER48, "INTEGER48"},
        {KIV_OD_INTEGER56, "INTEGER56"},
        {KIV_OD_INTEGER64, "INTEGER64"},
        {KIV_OD_UNSIGNED24, "UNSIGNED24"},
        {KIV_OD_UNSIGNED40, "UNSIGNED40"},
        {KIV_OD_UNSIGNED48, "UNSIGNED48"},
        {KIV_OD_UNSIGNED56, "UNSIGNED56"},
        {KIV_OD_UNSIGNED64, "UNSIGNED64"},
    };
    for (const auto& n : kNames)
        if (n.type == dataType) return n.name;
    char buf[24];
    std::snprintf(buf, sizeof buf, "type 0x%04X", dataType);
    return buf;
}

const char* AccessName(uint8_t access) {
    static const char* const kNames[] = {"", "ro", "wo", "rw", "rwr", "rww", "const"};
    return access < std::size(kNames) ? kNames[access] : "";
}

uint32_t IntegerSize(uint16_t dataType) {
    switch (dataType) {
        case KIV_OD_INTEGER8:
        case KIV_OD_UNSIGNED8:
            return 1;
        case KIV_OD_INTEGER16:
        case KIV_OD_UNSIGNED16:
            return 2;
        case KIV_OD_INTEGER24:
        case KIV_OD_UNSIGNED24:
            return 3;
        case KIV_OD_INTEGER32:
        case KIV_OD_UNSIGNED32:
            return 4;
        case KIV_OD_INTEGER40:
        case KIV_OD_UNSIGNED40:
            return 5;
        case KIV_OD_INTEGER48:
        case KIV_OD_UNSIGNED48:
            return 6;
        case KIV_OD_INTEGER56:
        case KIV_OD_UNSIGNED56:
            return 7;
        case KIV_OD_INTEGER64:
        case KIV_OD_UNSIGNED64:
            return 8;
        default:
            return 0;
    }
}

std::string FormatTyped(uint16_t dataType, const uint8_t* data, std::size_t size) {
    if (dataType == KIV_OD_OCTET_STRING || dataType == KIV_OD_DOMAIN)
        return size ? HexBytes(data, size) : "(empty)";
    std::string text(size * 4 + 64, '\0');
    if (size > kMaxValue || KIV_OdFormatValue(dataType, data, static_cast<uint32_t>(size),
                                              text.data(), static_cast<uint32_t>(text.size())) != 0)
        return HexBytes(data, size) + " (" + std::to_string(size) + " bytes, not a " +
               DataTypeName(dataType) + ")";
    text.resize(text.find('\0'));
    if (dataType == KIV_OD_VISIBLE_STRING || dataType == KIV_OD_UNICODE_STRING)
        return "\"" + text + "\"";
    if (IntegerSize(dataType) != 0) {
        std::string hex = " (0x";
        char buf[4];
        for (std::size_t i = size; i-- > 0;) {
            std::snprintf(buf, sizeof buf, "%02X", data[i]);
            hex += buf;
        }
        return text + hex + ")";
    }
    return text;
}

std::optional<std::vector<uint8_t>> ParseTyped(uint16_t dataType, const std::string& text,
                                               std::string& error) {
    std::vector<uint8_t> bytes(kMaxValue);
    uint32_t size = 0;
    if (KIV_OdParseValue(dataType, text.c_str(), bytes.data(), kMaxValue, &size) != 0) {
        error = "'" + text + "' is not a value of type " + DataTypeName(dataType);
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

}  // namespace orukiv::tool
