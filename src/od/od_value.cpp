// Values of the CiA 301 basic data types: their encodings, and the text
// forms that hosts and EDS/DCF files write them in.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "od/od_types.h"
#include "orukiv_common/byte_order.h"
#include "orukiv_common/calendar.h"

namespace orukiv::od {

namespace {

using calendar::CivilFromDays;
using calendar::DaysFromCivil;
using calendar::kDaysFrom1970To1984;

constexpr uint32_t kMsPerDay = 86400000u;
constexpr uint32_t kTimeMsMask = 0x0FFFFFFFu;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
int HexDigit(char c) {
    if (IsDigit(c)) return c - '0';
    c = Lower(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}
bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// An integer: magnitude and sign. hex: written in hex (a bit pattern for
// signed types).
struct Integer {
    uint64_t magnitude = 0;
    bool negative = false;
    bool hex = false;
};

bool Accumulate(uint64_t& v, unsigned base, int digit) {
    if (v > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(digit)) / base)
        return false;
    v = v * base + static_cast<uint64_t>(digit);
    return true;
}

// Drops a C integer suffix (L, LL, U, UL, ULL, in any case) of a file value.
std::string_view DropSuffix(std::string_view s) {
    std::size_t n = s.size();
    while (n > 1 && (Lower(s[n - 1]) == 'l' || Lower(s[n - 1]) == 'u') && s.size() - n < 3) --n;
    return s.substr(0, n);
}

// One unsigned term: 0x hex, decimal; from files also octal (a leading 0
// followed by octal digits only), "h"-suffixed hex and C suffixes.
bool ParseUnsignedTerm(std::string_view s, Source source, Integer& out) {
    if (s.empty()) return false;
    unsigned base = 10;
    if (StartsWithNoCase(s, "0x")) {
        base = 16;
        s.remove_prefix(2);
        if (source == Source::kFile) s = DropSuffix(s);
    } else if (source == Source::kFile) {
        if (s.size() > 1 && Lower(s.back()) == 'h') {
            base = 16;
            s.remove_suffix(1);
        } else {
            s = DropSuffix(s);
            bool octal = s.size() > 1 && s[0] == '0';
            for (char c : s) octal = octal && c >= '0' && c <= '7';
            if (octal) base = 8;
        }
    }
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        const int d = HexDigit(c);
        if (d < 0 || static_cast<unsigned>(d) >= base || !Accumulate(v, base, d)) return false;
    }
    out.magnitude = v;
    out.hex = base == 16;
    return true;
}

bool ParseSignedTerm(std::string_view s, Source source, Integer& out) {
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (!ParseUnsignedTerm(s, source, out)) return false;
    out.negative = negative && out.magnitude != 0;
    return true;
}

// A file value may be a sum with $NODEID ("$NODEID+0x180", "0x180+$NODEID";
// "\+384" is a $NODEID lost by a tool). Anything else is one signed term.
ParseResult ParseIntegerText(std::string_view s, Source source, uint8_t nodeId, Integer& out) {
    if (source == Source::kHost)
        return ParseSignedTerm(s, source, out) ? ParseResult::kOk : ParseResult::kBad;
    std::string expr;
    if (s.size() > 1 && s[0] == '\\' && s[1] == '+') {
        expr = "$NODEID";
        expr.append(s.substr(1));
        s = expr;
    }
    if (s.find('$') == std::string_view::npos)
        return ParseSignedTerm(s, source, out) ? ParseResult::kOk : ParseResult::kBad;
    uint64_t sum = 0;
    bool hex = false;
    int nodeTerms = 0;
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t plus = s.find('+', start);
        if (plus == std::string_view::npos) plus = s.size();
        const std::string_view term = Trim(s.substr(start, plus - start));
        Integer t;
        if (EqualsNoCase(term, "$NODEID")) {
            ++nodeTerms;
            t.magnitude = nodeId;
        } else if (!ParseUnsignedTerm(term, source, t)) {
            return ParseResult::kBad;
        }
        hex = hex || t.hex;
        if (sum > std::numeric_limits<uint64_t>::max() - t.magnitude) return ParseResult::kBad;
        sum += t.magnitude;
        start = plus + 1;
    }
    if (nodeTerms != 1) return ParseResult::kBad;
    if (nodeId == 0) return ParseResult::kNodeIdUnknown;
    out.magnitude = sum;
    out.negative = false;
    out.hex = hex;
    return ParseResult::kOk;
}

// The integer as size bytes of a signed or unsigned type, when it fits.
bool EncodeInteger(const Integer& v, bool isSigned, unsigned size, std::vector<uint8_t>& out) {
    const unsigned bits = size * 8;
    const uint64_t all =
        bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
    const uint64_t half = uint64_t{1} << (bits - 1);  // 2^(bits-1)
    uint64_t pattern = v.magnitude;
    if (isSigned) {
        if (v.negative) {
            if (v.magnitude > half) return false;
            pattern = (~v.magnitude + 1) & all;
        } else if (v.magnitude > (v.hex ? all : half - 1)) {
            return false;  // hex may give the two's-complement bit pattern
        }
    } else if (v.negative || v.magnitude > all) {
        return false;
    }
    out = StoreLe(pattern, size);
    return true;
}

bool ParseDouble(std::string_view s, double& v) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    const char* end = s.data() + s.size();
    const auto r = std::from_chars(s.data(), end, v);
    return r.ec == std::errc() && r.ptr == end;
}

ParseResult ParseReal(const TypeInfo& type, std::string_view s, Source source,
                      std::vector<uint8_t>& out) {
    if (source == Source::kFile && StartsWithNoCase(s, "0x")) {
        // A REAL written as its IEEE 754 bit pattern.
        Integer bits;
        if (!ParseUnsignedTerm(s, source, bits)) return ParseResult::kBad;
        return EncodeInteger(bits, false, type.size, out) ? ParseResult::kOk : ParseResult::kBad;
    }
    double v = 0;
    if (!ParseDouble(s, v)) return ParseResult::kBad;
    if (type.size == 4) {
        if (std::isfinite(v) && std::fabs(v) > static_cast<double>(FLT_MAX))
            return ParseResult::kBad;
        const float f = static_cast<float>(v);
        uint32_t bits = 0;
        std::memcpy(&bits, &f, 4);
        out = StoreLe(bits, 4);
    } else {
        uint64_t bits = 0;
        std::memcpy(&bits, &v, 8);
        out = StoreLe(bits, 8);
    }
    return ParseResult::kOk;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>& out) {
    std::vector<uint8_t> bytes;
    bytes.reserve(s.size() / 2);
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] == ' ' || s[i] == '\t') {
            ++i;
            continue;
        }
        if (i + 1 >= s.size()) return false;
        const int hi = HexDigit(s[i]);
        const int lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
        i += 2;
    }
    out = std::move(bytes);
    return true;
}

bool Utf8ToUtf16(std::string_view s, std::vector<uint8_t>& out) {
    std::vector<uint8_t> units;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        uint32_t cp = 0;
        unsigned extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1Fu;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0Fu;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07u;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= s.size() && extra > 0) return false;
        for (unsigned k = 1; k <= extra; ++k) {
            const auto cc = static_cast<uint8_t>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = cp << 6 | (cc & 0x3Fu);
        }
        static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
        auto put = [&units](uint32_t u) {
            units.resize(units.size() + 2);
            StoreLe16(units.data() + units.size() - 2, static_cast<uint16_t>(u));
        };
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    out = std::move(units);
    return true;
}

bool Utf16ToUtf8(const uint8_t* data, uint32_t size, std::string& out) {
    if (size % 2 != 0) return false;
    uint32_t n = size / 2;
    auto unit = [data](uint32_t i) { return static_cast<uint32_t>(LoadLe16(data + 2 * i)); };
    while (n > 0 && unit(n - 1) == 0) --n;  // trailing NULs
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t cp = unit(i);
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= n || unit(i + 1) < 0xDC00 || unit(i + 1) > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(++i) - 0xDC00);
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return true;
}

// Reads unsigned decimal digits at s[pos..] (count digits exactly when
// count > 0, else at least one).
bool ReadNumber(std::string_view s, std::size_t& pos, unsigned count, uint64_t& v) {
    v = 0;
    std::size_t n = 0;
    while (pos < s.size() && IsDigit(s[pos]) && (count == 0 || n < count) && n < 18) {
        v = v * 10 + static_cast<uint64_t>(s[pos++] - '0');
        ++n;
    }
    return n > 0 && (count == 0 || n == count);
}
bool Expect(std::string_view s, std::size_t& pos, char c) {
    if (pos >= s.size() || s[pos] != c) return false;
    ++pos;
    return true;
}

// "HH:MM:SS[.mmm]" at s[pos..] to the end, as milliseconds.
bool ParseClock(std::string_view s, std::size_t pos, uint64_t& ms) {
    uint64_t h = 0, m = 0, sec = 0, milli = 0;
    if (!ReadNumber(s, pos, 2, h) || !Expect(s, pos, ':') || !ReadNumber(s, pos, 2, m) ||
        !Expect(s, pos, ':') || !ReadNumber(s, pos, 2, sec))
        return false;
    if (pos < s.size() && (!Expect(s, pos, '.') || !ReadNumber(s, pos, 3, milli))) return false;
    if (pos != s.size() || h > 23 || m > 59 || sec > 59) return false;
    ms = ((h * 60 + m) * 60 + sec) * 1000 + milli;
    return true;
}

void PutTime(uint64_t ms, uint64_t days, std::vector<uint8_t>& out) {
    out = StoreLe(ms | days << 32, 6);
}

ParseResult ParseTime(const TypeInfo& type, std::string_view s, std::vector<uint8_t>& out) {
    uint64_t days = 0, ms = 0;
    std::size_t pos = 0;
    const std::size_t blank = s.find(' ');
    if (s.find(':') == std::string_view::npos) {
        // "DAYS MS": the two numbers of the encoding.
        if (blank == std::string_view::npos || !ReadNumber(s, pos, 0, days) || pos != blank)
            return ParseResult::kBad;
        pos = blank + 1;
        if (!ReadNumber(s, pos, 0, ms) || pos != s.size() || ms >= kMsPerDay)
            return ParseResult::kBad;
    } else if (type.kind == Kind::kTimeDifference) {
        if (!ReadNumber(s, pos, 0, days) || !Expect(s, pos, ' ') || !ParseClock(s, pos, ms))
            return ParseResult::kBad;
    } else {
        uint64_t y = 0, m = 0, d = 0;
        if (!ReadNumber(s, pos, 4, y) || !Expect(s, pos, '-') || !ReadNumber(s, pos, 2, m) ||
            !Expect(s, pos, '-') || !ReadNumber(s, pos, 2, d) || !Expect(s, pos, ' ') ||
            !ParseClock(s, pos, ms) || m < 1 || m > 12 || d < 1)
            return ParseResult::kBad;
        const int64_t first = DaysFromCivil(static_cast<int64_t>(y), static_cast<unsigned>(m), 1);
        const int64_t next =
            m == 12 ? DaysFromCivil(static_cast<int64_t>(y) + 1, 1, 1)
                    : DaysFromCivil(static_cast<int64_t>(y), static_cast<unsigned>(m) + 1, 1);
        if (static_cast<int64_t>(d) > next - first) return ParseResult::kBad;
        const int64_t since1984 = first + static_cast<int64_t>(d) - 1 - kDaysFrom1970To1984;
        if (since1984 < 0) return ParseResult::kBad;
        days = static_cast<uint64_t>(since1984);
    }
    if (days > 0xFFFF) return ParseResult::kBad;
    PutTime(ms, days, out);
    return ParseResult::kOk;
}

void AppendUnsigned(std::string& out, uint64_t v, unsigned width = 0) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    for (auto n = static_cast<unsigned>(r.ptr - buf); n < width; ++n) out += '0';
    out.append(buf, r.ptr);
}

void AppendClock(std::string& out, uint32_t ms) {
    AppendUnsigned(out, ms / 3600000, 2);
    out += ':';
    AppendUnsigned(out, ms / 60000 % 60, 2);
    out += ':';
    AppendUnsigned(out, ms / 1000 % 60, 2);
    out += '.';
    AppendUnsigned(out, ms % 1000, 3);
}

template <typename T>
void AppendReal(std::string& out, T v) {
    if (std::isnan(v)) {
        out += "nan";
        return;
    }
    char buf[48];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

}  // namespace

const TypeInfo* FindType(uint16_t dataType) {
    return FindDataTypeEntry(dataType);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string ToLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = Lower(c);
    return out;
}

ParseResult ParseText(const TypeInfo& type, std::string_view text, Source source, uint8_t nodeId,
                      std::vector<uint8_t>& out) {
    const bool isString = type.kind == Kind::kVisibleString || type.kind == Kind::kUnicodeString;
    const std::string_view s = isString ? text : Trim(text);
    switch (type.kind) {
        case Kind::kBoolean:
            if (EqualsNoCase(s, "true") || EqualsNoCase(s, "false")) {
                out = StoreLe(EqualsNoCase(s, "true") ? 1 : 0, 1);
                return ParseResult::kOk;
            }
            [[fallthrough]];
        case Kind::kSigned:
        case Kind::kUnsigned: {
            Integer v;
            const ParseResult r = ParseIntegerText(s, source, nodeId, v);
            if (r != ParseResult::kOk) return r;
            if (type.kind == Kind::kBoolean)
                return !v.negative && v.magnitude <= 1 && (out = StoreLe(v.magnitude, 1), true)
                           ? ParseResult::kOk
                           : ParseResult::kBad;
            return EncodeInteger(v, type.kind == Kind::kSigned, type.size, out) ? ParseResult::kOk
                                                                                : ParseResult::kBad;
        }
        case Kind::kReal:
            return ParseReal(type, s, source, out);
        case Kind::kVisibleString:
            out.assign(s.begin(), s.end());
            return ParseResult::kOk;
        case Kind::kUnicodeString:
            return Utf8ToUtf16(s, out) ? ParseResult::kOk : ParseResult::kBad;
        case Kind::kOctetString:
        case Kind::kDomain:
            return ParseHexBytes(s, out) ? ParseResult::kOk : ParseResult::kBad;
        case Kind::kTimeOfDay:
        case Kind::kTimeDifference:
            return ParseTime(type, s, out);
    }
    return ParseResult::kBad;
}

bool FormatText(const TypeInfo& type, const uint8_t* data, uint32_t size, std::string& out) {
    if (type.size != 0 && size != type.size) return false;
    switch (type.kind) {
        case Kind::kBoolean:
            out += data[0] != 0 ? '1' : '0';
            return true;
        case Kind::kUnsigned:
            AppendUnsigned(out, LoadLe(data, size));
            return true;
        case Kind::kSigned: {
            const unsigned shift = 64 - 8 * size;
            const auto v = static_cast<int64_t>(LoadLe(data, size) << shift) >> shift;
            char buf[24];
            const auto r = std::to_chars(buf, buf + sizeof buf, v);
            out.append(buf, r.ptr);
            return true;
        }
        case Kind::kReal:
            if (size == 4) {
                const auto bits = static_cast<uint32_t>(LoadLe(data, 4));
                float f = 0;
                std::memcpy(&f, &bits, 4);
                AppendReal(out, f);
            } else {
                const uint64_t bits = LoadLe(data, 8);
                double d = 0;
                std::memcpy(&d, &bits, 8);
                AppendReal(out, d);
            }
            return true;
        case Kind::kVisibleString: {
            uint32_t n = size;
            while (n > 0 && data[n - 1] == 0) --n;
            out.append(reinterpret_cast<const char*>(data), n);
            return true;
        }
        case Kind::kUnicodeString:
            return Utf16ToUtf8(data, size, out);
        case Kind::kOctetString:
        case Kind::kDomain:
            for (uint32_t i = 0; i < size; ++i) {
                static constexpr char kHex[] = "0123456789abcdef";
                out += kHex[data[i] >> 4];
                out += kHex[data[i] & 0xF];
            }
            return true;
        case Kind::kTimeOfDay:
        case Kind::kTimeDifference: {
            const auto ms = static_cast<uint32_t>(LoadLe(data, 4)) & kTimeMsMask;
            const auto days = static_cast<uint32_t>(LoadLe(data + 4, 2));
            if (ms >= kMsPerDay) return false;
            if (type.kind == Kind::kTimeDifference) {
                AppendUnsigned(out, days);
            } else {
                int64_t y = 0;
                unsigned m = 0, d = 0;
                CivilFromDays(kDaysFrom1970To1984 + days, y, m, d);
                AppendUnsigned(out, static_cast<uint64_t>(y), 4);
                out += '-';
                AppendUnsigned(out, m, 2);
                out += '-';
                AppendUnsigned(out, d, 2);
            }
            out += ' ';
            AppendClock(out, ms);
            return true;
        }
    }
    return false;
}

}  // namespace orukiv::od
