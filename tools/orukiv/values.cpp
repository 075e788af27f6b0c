// Value types, number parsing and value formatting.
#include "values.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "orukiv/orukiv_od.h"
#include "orukiv_common/byte_order.h"
#include "orukiv_common/data_types.h"
#include "report.h"

namespace orukiv::tool {

namespace {

// The tool's view of the shared table: how each kind is read and written;
// sizes only where the tool reads the bytes itself.
ValueKind ToolKind(DataKind kind) {
    switch (kind) {
        case DataKind::kUnsigned:
            return ValueKind::kUnsigned;
        case DataKind::kSigned:
            return ValueKind::kSigned;
        case DataKind::kVisibleString:
            return ValueKind::kString;
        case DataKind::kOctetString:
        case DataKind::kDomain:
            return ValueKind::kHex;
        default:
            return ValueKind::kOther;
    }
}

const std::vector<DataTypeInfo>& DataTypes() {
    static const std::vector<DataTypeInfo> types = [] {
        std::vector<DataTypeInfo> v;
        for (const DataTypeEntry& e : kDataTypeTable) {
            const bool time = e.kind == DataKind::kTimeOfDay || e.kind == DataKind::kTimeDifference;
            v.push_back({e.type, e.name, ToolKind(e.kind), time ? 0u : e.size});
        }
        return v;
    }();
    return types;
}

ValueType Named(const char* name, uint16_t dataType) {
    const DataTypeInfo& t = *FindDataType(dataType);
    return {name, dataType, t.kind, t.size};
}

}  // namespace

const DataTypeInfo* FindDataType(uint16_t dataType) {
    for (const DataTypeInfo& t : DataTypes())
        if (t.dataType == dataType) return &t;
    return nullptr;
}

std::string DataTypeName(uint16_t dataType) {
    if (const DataTypeInfo* t = FindDataType(dataType)) return t->name;
    char buf[24];
    std::snprintf(buf, sizeof buf, "type 0x%04X", dataType);
    return buf;
}

uint32_t IntegerSize(uint16_t dataType) {
    const DataTypeInfo* t = FindDataType(dataType);
    const bool integer = t && (t->kind == ValueKind::kUnsigned || t->kind == ValueKind::kSigned);
    return integer ? static_cast<uint32_t>(t->size) : 0;
}

const std::vector<ValueType>& ValueTypes() {
    static const std::vector<ValueType> types = {
        Named("u8", KIV_OD_UNSIGNED8),       Named("u16", KIV_OD_UNSIGNED16),
        Named("u32", KIV_OD_UNSIGNED32),     Named("i8", KIV_OD_INTEGER8),
        Named("i16", KIV_OD_INTEGER16),      Named("i32", KIV_OD_INTEGER32),
        Named("str", KIV_OD_VISIBLE_STRING), Named("hex", KIV_OD_OCTET_STRING),
    };
    return types;
}

const ValueType* FindValueType(std::string_view name) {
    for (const ValueType& t : ValueTypes())
        if (name == t.name) return &t;
    return nullptr;
}

std::string ValueTypeNames() {
    std::string out;
    for (const ValueType& t : ValueTypes()) {
        if (!out.empty()) out += '|';
        out += t.name;
    }
    return out;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t max) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        const int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0 || static_cast<uint64_t>(d) > max) return std::nullopt;
        if (v > (max - static_cast<uint64_t>(d)) / base) return std::nullopt;
        v = v * base + static_cast<uint64_t>(d);
    }
    return v;
}

std::optional<int64_t> ParseSigned(std::string_view text, int64_t min, int64_t max) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    // The largest magnitude the sign allows; the bounds are checked after.
    const uint64_t limit = negative ? (min < 0 ? static_cast<uint64_t>(-(min + 1)) + 1 : 0)
                                    : (max < 0 ? 0 : static_cast<uint64_t>(max));
    const auto magnitude = ParseUnsigned(text, limit);
    if (!magnitude) return std::nullopt;
    int64_t v = static_cast<int64_t>(*magnitude);
    if (negative && *magnitude != 0) v = -static_cast<int64_t>(*magnitude - 1) - 1;
    if (v < min || v > max) return std::nullopt;
    return v;
}

namespace {

// A REAL32 written as a finite number that a float cannot hold: refused
// rather than stored as infinity or 0 (`error` says which). Words (inf,
// nan) and text that is no number pass to the library's parser.
bool Real32Fits(const std::string& text, std::string& error) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin || *end != 0 || !std::isfinite(v)) return true;
    if (std::fabs(v) > std::numeric_limits<float>::max()) {
        error = "'" + text + "' overflows REAL32 (largest " +
                std::to_string(std::numeric_limits<float>::max()) + ")";
        return false;
    }
    if (v != 0 && std::fabs(v) < std::numeric_limits<float>::denorm_min()) {
        char least[32];
        std::snprintf(least, sizeof least, "%g", double{std::numeric_limits<float>::denorm_min()});
        error = "'" + text + "' underflows REAL32 (it would be 0; the smallest is " + least + ")";
        return false;
    }
    return true;
}

// The one parser of values: `name` is the type as the user knows it.
std::optional<std::vector<uint8_t>> EncodeData(const DataTypeInfo& type, const std::string& name,
                                               std::string_view text, std::string& error) {
    std::vector<uint8_t> out;
    switch (type.kind) {
        case ValueKind::kUnsigned:
        case ValueKind::kSigned: {
            const unsigned bits = static_cast<unsigned>(type.size * 8);
            uint64_t raw = 0;
            if (type.kind == ValueKind::kUnsigned) {
                const auto v =
                    ParseUnsigned(text, bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1);
                if (!v) break;
                raw = *v;
            } else {
                const int64_t hi = static_cast<int64_t>((uint64_t{1} << (bits - 1)) - 1);
                const auto v = ParseSigned(text, -hi - 1, hi);
                if (!v) break;
                raw = static_cast<uint64_t>(*v);
            }
            for (std::size_t i = 0; i < type.size; ++i)
                out.push_back(static_cast<uint8_t>(raw >> (8 * i)));
            return out;
        }
        case ValueKind::kString:
            if (text.empty()) break;
            return std::vector<uint8_t>(text.begin(), text.end());
        case ValueKind::kHex: {
            int high = -1;
            for (char c : text) {
                if (c == ' ' || c == ':') continue;
                const int d = HexDigit(c);
                if (d < 0) {
                    high = -2;
                    break;
                }
                if (high < 0) {
                    high = d;
                } else {
                    out.push_back(static_cast<uint8_t>(high << 4 | d));
                    high = -1;
                }
            }
            if (high != -1 || out.empty()) break;
            return out;
        }
        case ValueKind::kOther: {
            constexpr uint32_t kRoom = 64;  // BOOLEAN, REALs, times
            const std::string copy(text);
            if (type.dataType == KIV_OD_REAL32 && !Real32Fits(copy, error)) return std::nullopt;
            std::vector<uint8_t> bytes(std::max<std::size_t>(kRoom, copy.size() * 2 + 2));
            uint32_t size = 0;
            if (KIV_OdParseValue(type.dataType, copy.c_str(), bytes.data(),
                                 static_cast<uint32_t>(bytes.size()), &size) != 0)
                break;
            bytes.resize(size);
            return bytes;
        }
    }
    error = "'" + std::string(text) + "' is not a value of type " + name;
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeValue(const ValueType& type, std::string_view text,
                                                std::string& error) {
    return EncodeData(*FindDataType(type.dataType), type.name, text, error);
}

std::optional<std::vector<uint8_t>> ParseTyped(uint16_t dataType, const std::string& text,
                                               std::string& error) {
    const DataTypeInfo* t = FindDataType(dataType);
    if (!t) {
        error = "values of " + DataTypeName(dataType) + " cannot be written by the tool";
        return std::nullopt;
    }
    return EncodeData(*t, t->name, text, error);
}

std::string HexBytes(const uint8_t* data, std::size_t size) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
        out += buf;
    }
    return out;
}

std::string HexBytesLower(const uint8_t* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

std::string HexNumber(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

bool LooksNumeric(std::string_view text) {
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
    if (!text.empty() && text[0] == '.') text.remove_prefix(1);
    return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0]));
}

namespace {

// Printable text, NULs allowed (padding of fixed-size strings), not all NUL.
bool Printable(const uint8_t* data, std::size_t size) {
    bool text = false;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) continue;
        if (!std::isprint(data[i])) return false;
        text = true;
    }
    return text;
}

std::string QuotedString(const uint8_t* data, std::size_t size) {
    std::string out = "\"";
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t c = data[i];
        if (c == 0) {
            out += "\\0";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

const ValueType* KnownObjectType(uint16_t index, uint8_t sub) {
    // Index range, sub-index range, type; the first row that holds wins.
    static const struct {
        uint16_t first, last;
        uint8_t subFirst, subLast;
        const char* type;
    } kKnown[] = {
        // Communication objects.
        {0x1000, 0x1000, 0, 0, "u32"},  // device type
        {0x1001, 0x1001, 0, 0, "u8"},   // error register
        {0x1002, 0x1002, 0, 0, "u32"},  // manufacturer status register
        {0x1003, 0x1003, 0, 0, "u8"},
        {0x1003, 0x1003, 1, 254, "u32"},  // error field
        {0x1005, 0x1007, 0, 0, "u32"},    // COB-ID SYNC, cycle period, window
        {0x1008, 0x100A, 0, 0, "str"},    // names and versions
        {0x100C, 0x100C, 0, 0, "u16"},    // guard time
        {0x100D, 0x100D, 0, 0, "u8"},     // life time factor
        {0x1010, 0x1011, 0, 0, "u8"},
        {0x1010, 0x1011, 1, 254, "u32"},  // store, restore
        {0x1012, 0x1014, 0, 0, "u32"},    // COB-IDs of TIME and EMCY, inhibit below
        {0x1015, 0x1015, 0, 0, "u16"},    // inhibit time EMCY
        {0x1016, 0x1016, 0, 0, "u8"},
        {0x1016, 0x1016, 1, 254, "u32"},  // consumer heartbeat
        {0x1017, 0x1017, 0, 0, "u16"},    // producer heartbeat time
        {0x1018, 0x1018, 0, 0, "u8"},
        {0x1018, 0x1018, 1, 4, "u32"},   // identity
        {0x1019, 0x1019, 0, 0, "u8"},    // synchronous counter overflow
        {0x1020, 0x1020, 1, 2, "u32"},   // verify configuration
        {0x1029, 0x1029, 0, 254, "u8"},  // error behaviour
        // SDO server and client parameters.
        {0x1200, 0x12FF, 0, 0, "u8"},
        {0x1200, 0x12FF, 1, 2, "u32"},
        {0x1200, 0x12FF, 3, 3, "u8"},
        // PDO communication parameters (RPDO 0x1400.., TPDO 0x1800..).
        {0x1400, 0x15FF, 0, 0, "u8"},
        {0x1400, 0x15FF, 1, 1, "u32"},
        {0x1400, 0x15FF, 2, 2, "u8"},
        {0x1400, 0x15FF, 3, 3, "u16"},
        {0x1400, 0x15FF, 5, 5, "u16"},
        {0x1400, 0x15FF, 6, 6, "u8"},
        {0x1800, 0x19FF, 0, 0, "u8"},
        {0x1800, 0x19FF, 1, 1, "u32"},
        {0x1800, 0x19FF, 2, 2, "u8"},
        {0x1800, 0x19FF, 3, 3, "u16"},
        {0x1800, 0x19FF, 5, 5, "u16"},
        {0x1800, 0x19FF, 6, 6, "u8"},
        // PDO mappings.
        {0x1600, 0x17FF, 0, 0, "u8"},
        {0x1600, 0x17FF, 1, 64, "u32"},
        {0x1A00, 0x1BFF, 0, 0, "u8"},
        {0x1A00, 0x1BFF, 1, 64, "u32"},
        // Program control and NMT startup.
        {0x1F51, 0x1F51, 0, 254, "u8"},
        {0x1F80, 0x1F80, 0, 0, "u32"},
        // Drive profile.
        {0x603F, 0x603F, 0, 0, "u16"},  // error code
        {0x6040, 0x6041, 0, 0, "u16"},  // controlword, statusword
        {0x605A, 0x605E, 0, 0, "i16"},  // option codes
        {0x6060, 0x6061, 0, 0, "i8"},   // modes of operation (display)
        {0x6062, 0x6064, 0, 0, "i32"},  // position demand, actual
        {0x6065, 0x6065, 0, 0, "u32"},  // following error window
        {0x6066, 0x6066, 0, 0, "u16"},  // following error time out
        {0x6067, 0x6067, 0, 0, "u32"},  // position window
        {0x6068, 0x6068, 0, 0, "u16"},  // position window time
        {0x6069, 0x606C, 0, 0, "i32"},  // velocities
        {0x6071, 0x6071, 0, 0, "i16"},  // target torque
        {0x6072, 0x6073, 0, 0, "u16"},  // max torque, max current
        {0x6074, 0x6078, 0, 0, "i16"},  // torque demand, actual, current
        {0x607A, 0x607A, 0, 0, "i32"},  // target position
        {0x607C, 0x607C, 0, 0, "i32"},  // home offset
        {0x607D, 0x607D, 0, 0, "u8"},
        {0x607D, 0x607D, 1, 2, "i32"},  // position limits
        {0x607E, 0x607E, 0, 0, "u8"},   // polarity
        {0x607F, 0x6085, 0, 0, "u32"},  // velocities and accelerations (profile)
        {0x6086, 0x6086, 0, 0, "i16"},  // motion profile type
        {0x6098, 0x6098, 0, 0, "i8"},   // homing method
        {0x6099, 0x6099, 0, 0, "u8"},
        {0x6099, 0x6099, 1, 2, "u32"},  // homing speeds
        {0x609A, 0x609A, 0, 0, "u32"},  // homing acceleration
        {0x60F4, 0x60F4, 0, 0, "i32"},  // following error actual value
        {0x60FF, 0x60FF, 0, 0, "i32"},  // target velocity
        {0x6502, 0x6502, 0, 0, "u32"},  // supported drive modes
    };
    for (const auto& k : kKnown)
        if (index >= k.first && index <= k.last && sub >= k.subFirst && sub <= k.subLast)
            return FindValueType(k.type);
    return nullptr;
}

const ValueType& ShownType(const ValueType* type, const uint8_t* data, std::size_t size) {
    if (type) return *type;
    if (size == 1 || size == 2 || size == 4) return ValueTypes()[size == 1 ? 0 : size == 2 ? 1 : 2];
    return *FindValueType(Printable(data, size) ? "str" : "hex");
}

namespace {

// The library's text of a value; empty when it is not one of the type.
std::string LibraryText(uint16_t dataType, const uint8_t* data, std::size_t size) {
    std::string text(size * 4 + 64, '\0');
    if (size > UINT32_MAX / 8 ||
        KIV_OdFormatValue(dataType, data, static_cast<uint32_t>(size), text.data(),
                          static_cast<uint32_t>(text.size())) != 0)
        return {};
    text.resize(text.find('\0'));
    return text;
}

int64_t SignedOf(const uint8_t* data, std::size_t size) {
    const unsigned shift = static_cast<unsigned>(64 - size * 8);
    return static_cast<int64_t>(LoadLe(data, size) << shift) >> shift;
}

// The one formatter of values: `name` is the type as the user knows it.
std::string FormatData(const DataTypeInfo& type, const std::string& name, const uint8_t* data,
                       std::size_t size) {
    const std::string notA =
        HexBytes(data, size) + " (" + std::to_string(size) + " bytes, not a " + name + ")";
    char buf[96];
    switch (type.kind) {
        case ValueKind::kUnsigned:
        case ValueKind::kSigned: {
            if (size != type.size) return notA;
            const uint64_t raw = LoadLe(data, size);
            const int digits = static_cast<int>(size * 2);
            if (type.kind == ValueKind::kUnsigned)
                std::snprintf(buf, sizeof buf, "%" PRIu64 " (0x%0*" PRIX64 ")", raw, digits, raw);
            else
                std::snprintf(buf, sizeof buf, "%" PRId64 " (0x%0*" PRIX64 ")",
                              SignedOf(data, size), digits, raw);
            return buf;
        }
        case ValueKind::kString:
            return QuotedString(data, size);
        case ValueKind::kHex:
            return size ? HexBytes(data, size) : "(empty)";
        case ValueKind::kOther: {
            const std::string text = LibraryText(type.dataType, data, size);
            if (text.empty() && size != 0) return notA;
            return type.dataType == KIV_OD_UNICODE_STRING ? "\"" + text + "\"" : text;
        }
    }
    return {};
}

std::string JsonData(const DataTypeInfo& type, const uint8_t* data, std::size_t size) {
    const std::string hex = JsonString(HexBytesLower(data, size));
    switch (type.kind) {
        case ValueKind::kUnsigned:
            return size == type.size ? std::to_string(LoadLe(data, size)) : hex;
        case ValueKind::kSigned:
            return size == type.size ? std::to_string(SignedOf(data, size)) : hex;
        case ValueKind::kString:
            return JsonString(std::string(data, data + size));
        case ValueKind::kHex:
            return hex;
        case ValueKind::kOther:
            break;
    }
    const std::string text = LibraryText(type.dataType, data, size);
    if (text.empty()) return hex;
    if (type.dataType == KIV_OD_BOOLEAN) return text == "0" ? "false" : "true";
    if (type.dataType == KIV_OD_REAL32 || type.dataType == KIV_OD_REAL64)
        return text.find_first_of("ni") == std::string::npos ? text : "null";
    return JsonString(text);
}

}  // namespace

std::string FormatValue(const ValueType* shown, const uint8_t* data, std::size_t size) {
    const ValueType& type = ShownType(shown, data, size);
    return FormatData(*FindDataType(type.dataType), type.name, data, size);
}

std::string JsonValue(const ValueType* shown, const uint8_t* data, std::size_t size) {
    return JsonData(*FindDataType(ShownType(shown, data, size).dataType), data, size);
}

std::string FormatTyped(uint16_t dataType, const uint8_t* data, std::size_t size) {
    const DataTypeInfo* t = FindDataType(dataType);
    if (!t) return size ? HexBytes(data, size) : "(empty)";
    return FormatData(*t, t->name, data, size);
}

std::string JsonTyped(uint16_t dataType, const uint8_t* data, std::size_t size) {
    const DataTypeInfo* t = FindDataType(dataType);
    return t ? JsonData(*t, data, size) : JsonString(HexBytesLower(data, size));
}

}  // namespace orukiv::tool
