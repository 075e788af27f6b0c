// The CiA 301 basic data types as the object dictionary code sees them:
// encoded size and kind of each type number, and the text forms of values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "orukiv_common/data_types.h"

namespace orukiv::od {

// The shared table's kinds and entries (orukiv_common/data_types.h).
using Kind = DataKind;
using TypeInfo = DataTypeEntry;

// The type of a CiA 301 basic type number, or null.
const TypeInfo* FindType(uint16_t dataType);

// Where a text comes from: the host (KIV_OdParseValue) or a file's value
// keys, which also take octal, "$NODEID" sums, C integer suffixes, "h"
// hex suffixes and REALs written as hex bit patterns.
enum class Source : uint8_t { kHost, kFile };

enum class ParseResult : uint8_t {
    kOk,
    kBad,            // not a value of the type, or out of its range
    kNodeIdUnknown,  // a $NODEID expression read with node id 0
};

// Encodes text as a value of type into out (replaced). nodeId resolves
// $NODEID (file values only).
ParseResult ParseText(const TypeInfo& type, std::string_view text, Source source, uint8_t nodeId,
                      std::vector<uint8_t>& out);

// Appends the text form of size bytes of type to out; false when the size
// does not suit the type (or the bytes are not a valid value of it).
bool FormatText(const TypeInfo& type, const uint8_t* data, uint32_t size, std::string& out);

// ASCII helpers shared by the reader and the model.
std::string_view Trim(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToLower(std::string_view s);

}  // namespace orukiv::od
