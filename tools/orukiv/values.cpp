// Value types, number parsing and value formatting.
#include "values.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "orukiv_sim/byte_order.h"

namespace orukiv::tool {

const std::vector<ValueType>& ValueTypes() {
    static const std::vector<ValueType> types = {
        {"u8", ValueKind::kUnsigned, 1},  {"u16", ValueKind::kUnsigned, 2},
        {"u32", ValueKind::kUnsigned, 4}, {"i8", ValueKind::kSigned, 1},
        {"i16", ValueKind::kSigned, 2},   {"i32", ValueKind::kSigned, 4},
        {"str", ValueKind::kString, 0},   {"hex", ValueKind::kHex, 0},
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

std::optional<std::vector<uint8_t>> EncodeValue(const ValueType& type, std::string_view text,
                                                std::string& error) {
    std::vector<uint8_t> out;
    switch (type.kind) {
        case ValueKind::kUnsigned:
        case ValueKind::kSigned: {
            const unsigned bits = static_cast<unsigned>(type.size * 8);
            uint64_t raw = 0;
            if (type.kind == ValueKind::kUnsigned) {
                const auto v = ParseUnsigned(text, (uint64_t{1} << bits) - 1);
                if (!v) break;
                raw = *v;
            } else {
                const int64_t hi = (int64_t{1} << (bits - 1)) - 1;
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
    }
    error = "'" + std::string(text) + "' is not a valid " + type.name + " value";
    return std::nullopt;
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
    static const struct {
        uint16_t index;
        const char* type;
    } kKnown[] = {
        {0x6060, "i8"},  {0x6061, "i8"},  {0x6062, "i32"}, {0x6063, "i32"}, {0x6064, "i32"},
        {0x606B, "i32"}, {0x606C, "i32"}, {0x6071, "i16"}, {0x6077, "i16"}, {0x607A, "i32"},
        {0x607C, "i32"}, {0x6098, "i8"},  {0x60FF, "i32"},
    };
    if (sub != 0) return nullptr;
    for (const auto& k : kKnown)
        if (k.index == index) return FindValueType(k.type);
    return nullptr;
}

const ValueType& ShownType(const ValueType* type, const uint8_t* data, std::size_t size) {
    if (type) return *type;
    if (size == 1 || size == 2 || size == 4) return ValueTypes()[size == 1 ? 0 : size == 2 ? 1 : 2];
    return *FindValueType(Printable(data, size) ? "str" : "hex");
}

std::string FormatValue(const ValueType* shown, const uint8_t* data, std::size_t size) {
    const ValueType* type = &ShownType(shown, data, size);
    char buf[64];
    switch (type->kind) {
        case ValueKind::kUnsigned:
        case ValueKind::kSigned: {
            if (size != type->size)
                return HexBytes(data, size) + " (" + std::to_string(size) + " bytes, not a " +
                       type->name + ")";
            const uint64_t raw = LoadLe(data, size);
            const int digits = static_cast<int>(size * 2);
            if (type->kind == ValueKind::kUnsigned) {
                std::snprintf(buf, sizeof buf, "%" PRIu64 " (0x%0*" PRIX64 ")", raw, digits, raw);
            } else {
                const unsigned shift = static_cast<unsigned>(64 - size * 8);
                const auto v = static_cast<int64_t>(raw << shift) >> shift;
                std::snprintf(buf, sizeof buf, "%" PRId64 " (0x%0*" PRIX64 ")", v, digits, raw);
            }
            return buf;
        }
        case ValueKind::kString:
            return QuotedString(data, size);
        case ValueKind::kHex:
            return size ? HexBytes(data, size) : "(empty)";
    }
    return {};
}

}  // namespace orukiv::tool
