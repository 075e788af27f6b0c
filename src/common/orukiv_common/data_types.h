// The CiA 301 basic data types: number, name, kind and encoded size. The one
// table for the library's object dictionaries and the command-line tool.
// Header-only, standard library only.
#pragma once

#include <cstdint>

namespace orukiv {

enum class DataKind : uint8_t {
    kBoolean,
    kSigned,
    kUnsigned,
    kReal,
    kVisibleString,
    kOctetString,
    kUnicodeString,
    kTimeOfDay,
    kTimeDifference,
    kDomain,
};

struct DataTypeEntry {
    uint16_t type;     // the data type number (KIV_OD_*)
    const char* name;  // "UNSIGNED16"
    DataKind kind;
    uint8_t size;  // encoded bytes; 0 for the variable-length types
};

// clang-format off
inline constexpr DataTypeEntry kDataTypeTable[] = {
    {0x0001, "BOOLEAN", DataKind::kBoolean, 1},
    {0x0002, "INTEGER8", DataKind::kSigned, 1},
    {0x0003, "INTEGER16", DataKind::kSigned, 2},
    {0x0004, "INTEGER32", DataKind::kSigned, 4},
    {0x0005, "UNSIGNED8", DataKind::kUnsigned, 1},
    {0x0006, "UNSIGNED16", DataKind::kUnsigned, 2},
    {0x0007, "UNSIGNED32", DataKind::kUnsigned, 4},
    {0x0008, "REAL32", DataKind::kReal, 4},
    {0x0009, "VISIBLE_STRING", DataKind::kVisibleString, 0},
    {0x000A, "OCTET_STRING", DataKind::kOctetString, 0},
    {0x000B, "UNICODE_STRING", DataKind::kUnicodeString, 0},
    {0x000C, "TIME_OF_DAY", DataKind::kTimeOfDay, 6},
    {0x000D, "TIME_DIFFERENCE", DataKind::kTimeDifference, 6},
    {0x000F, "DOMAIN", DataKind::kDomain, 0},
    {0x0010, "INTEGER24", DataKind::kSigned, 3},
    {0x0011, "REAL64", DataKind::kReal, 8},
    {0x0012, "INTEGER40", DataKind::kSigned, 5},
    {0x0013, "INTEGER48", DataKind::kSigned, 6},
    {0x0014, "INTEGER56", DataKind::kSigned, 7},
    {0x0015, "INTEGER64", DataKind::kSigned, 8},
    {0x0016, "UNSIGNED24", DataKind::kUnsigned, 3},
    {0x0018, "UNSIGNED40", DataKind::kUnsigned, 5},
    {0x0019, "UNSIGNED48", DataKind::kUnsigned, 6},
    {0x001A, "UNSIGNED56", DataKind::kUnsigned, 7},
    {0x001B, "UNSIGNED64", DataKind::kUnsigned, 8},
};
// clang-format on

// The entry of a basic type number, or null.
constexpr const DataTypeEntry* FindDataTypeEntry(uint16_t type) {
    for (const DataTypeEntry& e : kDataTypeTable)
        if (e.type == type) return &e;
    return nullptr;
}

}  // namespace orukiv
