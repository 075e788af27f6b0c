// Dictionaries per node and the names of their entries.
#include "od_book.h"

#include <cctype>
#include <cstdio>
#include <iterator>

#include "orukiv_sim/sim_eds.h"
#include "values.h"

namespace orukiv::tool {

namespace {

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

bool ObjectBook::Load(const std::vector<std::string>& assignments, bool simulated,
                      std::string& error) {
    for (const std::string& assignment : assignments) {
        const auto eq = assignment.find('=');
        const auto node =
            eq == std::string::npos ? std::nullopt : ParseUnsigned(assignment.substr(0, eq), 127);
        if (!node || *node == 0 || eq + 1 >= assignment.size()) {
            error = "--eds '" + assignment + "' is not NODE=FILE with NODE 1..127";
            return false;
        }
        OdPtr od = LoadOd(assignment.substr(eq + 1), static_cast<uint8_t>(*node), error);
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

std::vector<KIV_OdEntry> FindAllByName(const KIV_Od* od, const std::string& name,
                                       std::optional<uint8_t> sub) {
    std::vector<KIV_OdEntry> exact, subName;
    if (!od) return exact;
    const uint32_t n = KIV_OdCount(od);
    for (uint32_t i = 0; i < n; ++i) {
        KIV_OdEntry e{};
        if (KIV_OdEntryAt(od, i, &e) != 0) continue;
        if (sub) {
            // An ARRAY or RECORD by its own name, then the sub-index.
            if (e.parentName && IEquals(e.parentName, name) && e.subIndex == *sub)
                exact.push_back(e);
            continue;
        }
        if (IEquals(EntryName(e).c_str(), name))
            exact.push_back(e);
        else if (e.parentName && IEquals(e.name, name))
            subName.push_back(e);
    }
    return exact.empty() ? subName : exact;
}

std::optional<KIV_OdEntry> FindByName(const KIV_Od* od, const std::string& name,
                                      std::optional<uint8_t> sub) {
    const std::vector<KIV_OdEntry> all = FindAllByName(od, name, sub);
    if (all.size() != 1) return std::nullopt;
    return all.front();
}

std::string EntryName(const KIV_OdEntry& e) {
    return e.parentName ? std::string(e.parentName) + "." + e.name : std::string(e.name);
}

const char* AccessName(uint8_t access) {
    static const char* const kNames[] = {"", "ro", "wo", "rw", "rwr", "rww", "const"};
    return access < std::size(kNames) ? kNames[access] : "";
}

}  // namespace orukiv::tool
