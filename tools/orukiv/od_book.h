// The object dictionaries the tool knows nodes by: EDS files given with
// --eds NODE=FILE, and on the simulated bus the simulated nodes' own EDS
// files (compiled in). With them, objects go by name and values by type.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orukiv/orukiv_od.h"
#include "values.h"

namespace orukiv::tool {

// A loaded dictionary, freed with it.
using OdPtr = std::unique_ptr<KIV_Od, void (*)(KIV_Od*)>;

// Loads an EDS or DCF file for node id `node` (0: $NODEID left unresolved);
// null with `error` set ("FILE:LINE: message") when it does not load.
OdPtr LoadOd(const std::string& path, uint8_t node, std::string& error);

class ObjectBook {
public:
    // Takes the --eds options ("NODE=FILE", NODE 1..127); with `simulated`,
    // the simulated nodes' own files serve the nodes no option names. False
    // with `error` set when an option is malformed or its file does not load.
    bool Load(const std::vector<std::string>& assignments, bool simulated, std::string& error);

    // The dictionary of a node; null when none is known.
    const KIV_Od* Of(uint8_t node) const;
    // The entry index:sub of the node's dictionary.
    std::optional<KIV_OdEntry> Find(uint8_t node, uint16_t index, uint8_t sub) const;

private:
    std::map<uint8_t, OdPtr> books_;
};

// The entries named `name` in `od` (case ignored): with `sub`, the
// sub-index of the ARRAY or RECORD of that name (`read 5 "Identity object"
// 1`); else the VAR of that name or the sub-entry named in full
// ("Identity object.Vendor-ID"), or failing those the sub-entries of that
// own name ("Vendor-ID"). More than one: the name is ambiguous.
std::vector<KIV_OdEntry> FindAllByName(const KIV_Od* od, const std::string& name,
                                       std::optional<uint8_t> sub);
// FindAllByName's entry when there is exactly one.
std::optional<KIV_OdEntry> FindByName(const KIV_Od* od, const std::string& name,
                                      std::optional<uint8_t> sub);

// "Producer heartbeat time", or "Identity object.Vendor-ID" for a sub-entry.
std::string EntryName(const KIV_OdEntry& e);
// "ro", "wo", "rw", "rwr", "rww", "const"; "" when the file gave none.
const char* AccessName(uint8_t access);
}  // namespace orukiv::tool
