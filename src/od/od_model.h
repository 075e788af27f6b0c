// The loaded object dictionary behind KIV_Od: its variables in (index,
// sub-index) order, each with the values its file gave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "od/ini_reader.h"
#include "orukiv/orukiv_od.h"

namespace orukiv::od {

// One value key of an entry (DefaultValue, ParameterValue, limits).
struct Value {
    bool given = false;       // the file gave a non-empty text
    bool read = false;        // bytes hold it in the entry's encoding
    bool nodeIdOpen = false;  // a $NODEID expression read with node id 0
    std::string text;         // as the file wrote it (comments removed)
    std::vector<uint8_t> bytes;
};

struct Entry {
    uint16_t index = 0;
    uint8_t subIndex = 0;
    uint8_t objectType = KIV_OD_OBJ_VAR;
    uint16_t dataType = 0;
    uint16_t fileDataType = 0;
    uint8_t access = KIV_OD_ACCESS_NONE;
    uint8_t pdoMappable = 0;
    bool asDomain = false;
    bool hasParent = false;
    uint32_t line = 0;
    std::string name;
    std::string parentName;
    Value defaultValue, parameterValue, lowLimit, highLimit;

    uint32_t Flags() const;
    void Export(KIV_OdEntry& out) const;
};

// Builds the dictionary from a file's text. False with error set when the
// file is refused (see KIV_OdLoadFile).
bool BuildDictionary(std::string_view text, uint8_t nodeId, std::vector<Entry>& entries,
                     LoadError& error);

}  // namespace orukiv::od

struct KIV_Od {
    std::vector<orukiv::od::Entry> entries;
};
