// Object values as the command line writes and prints them: the value types
// of --type, numbers in decimal or 0x hex, and the formatting of what a read
// returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orukiv::tool {

// How a data type's bytes are read and written: integers, text shown
// whole, bytes in hex, or through the library's value functions (BOOLEAN,
// REAL, times, UNICODE_STRING).
enum class ValueKind { kUnsigned, kSigned, kString, kHex, kOther };

// The CiA 301 data types (KIV_OD_*) the tool knows: one table for the
// dictionaries' types and the --type names.
struct DataTypeInfo {
    uint16_t dataType;
    const char* name;  // "UNSIGNED16"
    ValueKind kind;
    std::size_t size;  // bytes; 0: any length
};
// Null for a number the table does not have.
const DataTypeInfo* FindDataType(uint16_t dataType);
// "UNSIGNED16"; "type 0x0042" for a number without a name.
std::string DataTypeName(uint16_t dataType);
// Integer types (BOOLEAN excluded): their size in bytes; 0 for the others.
uint32_t IntegerSize(uint16_t dataType);

// A --type name and the data type it stands for.
struct ValueType {
    const char* name;  // as given to --type
    uint16_t dataType;
    ValueKind kind;
    std::size_t size;  // bytes; 0: any length
};

// The types in the order --help lists them; null for an unknown name.
const std::vector<ValueType>& ValueTypes();
const ValueType* FindValueType(std::string_view name);
// "u8|u16|..." for the help text.
std::string ValueTypeNames();

// Decimal or 0x-prefixed hex, no sign, at most `max`.
std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t max);
// As ParseUnsigned with an optional leading '-', within [min, max].
std::optional<int64_t> ParseSigned(std::string_view text, int64_t min, int64_t max);
// True when the user meant a number: a digit first, after an optional sign
// ("12", "-3", "0x1F", "1.5", "4e9"), or a '.' and a digit (".5").
bool LooksNumeric(std::string_view text);

// The bytes of `text` as a value of `type` (little-endian numbers; hex: byte
// pairs, spaces allowed). Empty optional and `error` set when it does not fit
// (a REAL32 number beyond a float's range, or so small it would be 0, too).
std::optional<std::vector<uint8_t>> EncodeValue(const ValueType& type, std::string_view text,
                                                std::string& error);

// `text` as a value of dataType; empty optional with `error` set when it
// is not one (out of range, a fraction for an integer, too long: refused).
std::optional<std::vector<uint8_t>> ParseTyped(uint16_t dataType, const std::string& text,
                                               std::string& error);
// The bytes of a value of dataType in words, as FormatValue shows them;
// REALs and times as the library writes them.
std::string FormatTyped(uint16_t dataType, const uint8_t* data, std::size_t size);
// The same value as JSON: integers and REALs as numbers (null for nan and
// inf), BOOLEAN as true/false, strings as strings, other bytes as
// lower-case hex; bytes that are not a value of the type as hex.
std::string JsonTyped(uint16_t dataType, const uint8_t* data, std::size_t size);

// The bytes read back, in words: numbers as "4660 (0x1234)", strings quoted
// whole, with NUL shown as \0, other control bytes as \xNN and \ as \\;
// hex as "01 02 03". A size that does not match the type is shown as hex with
// a note.
std::string FormatValue(const ValueType* type, const uint8_t* data, std::size_t size);
// The same value as JSON (see JsonTyped), typed as the type shown.
std::string JsonValue(const ValueType* type, const uint8_t* data, std::size_t size);
// The standard type of a CiA 301 communication object (0x1000..0x1FFF) or
// CiA 402 drive object (controlword, statusword, modes, positions,
// velocities, torques ...), for reads and writes without an EDS or --type;
// null for any other object.
const ValueType* KnownObjectType(uint16_t index, uint8_t sub);
// The type a value is shown as: `type` when given; else 1, 2 and 4 bytes are
// unsigned numbers, printable text (NULs allowed) a string, anything else hex.
const ValueType& ShownType(const ValueType* type, const uint8_t* data, std::size_t size);

// Bytes as "01 02 03" (upper-case, one space apart).
std::string HexBytes(const uint8_t* data, std::size_t size);
// Bytes as "010203" (lower-case, no spaces), the form of JSON output.
std::string HexBytesLower(const uint8_t* data, std::size_t size);
// A number as "0x0605" with `digits` hex digits (upper-case).
std::string HexNumber(uint32_t value, int digits);

}  // namespace orukiv::tool
