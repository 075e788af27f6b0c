// Values of the CiA 301 basic data types: their encodings, and the text
// forms that hosts and EDS/DCF files write them in.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "od/od_types.h"

namespace orukiv::od {

namespace {

// clang-format off
constexpr TypeInfo kTypes[] = {
    {0x0001, Kind::kBoolean, 1},        {0x0002, Kind::kSigned, 1},
    {0x0003, Kind::kSigned, 2},         {0x0004, Kind::kSigned, 4},
    {0x0005, Kind::kUnsigned, 1},       {0x0006, Kind::kUnsigned, 2},
    {0x0007, Kind::kUnsigned, 4},       {0x0008, Kind::kReal, 4},
    {0x0009, Kind::kVisibleString, 0},  {0x000A, Kind::kOctetString, 0},
    {0x000B, Kind::kUnicodeString, 0},  {0x000C, Kind::kTimeOfDay, 6},
    {0x000D, Kind::kTimeDifference, 6}, {0x000F, Kind::kDomain, 0},
    {0x0010, Kind::kSigned, 3},         {0x0011, Kind::kReal, 8},
    {0x0012, Kind::kSigned, 5},         {0x0013, Kind::kSigned, 6},
    {0x0014, Kind::kSigned, 7},         {0x0015, Kind::kSigned, 8},
    {0x0016, Kind::kUnsigned, 3},       {0x0018, Kind::kUnsigned, 5},
    {0x0019, Kind::kUnsigned, 6},       {0x001A, Kind::kUnsigned, 7},
    {0x001B, Kind::kUnsigned, 8},
};
// clang-format on

constexpr uint32_t kMsPerDay = 86400000u;
constexpr uint32_t kTimeMsMask = 0x0FFFFFFFu;
constexpr int64_t kDaysFrom1970To1984 = 5113;

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

void PutLe(uint64_t v, unsigned size, std::vector<uint8_t>& out) {
    out.resize(size);
    for (unsigned i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t GetLe(const uint8_t* data, unsigned size) {
    uint64_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= static_cast<uint64_t>(data[i]) << (8 * i);
    return v;
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
    PutLe(pattern, size, out);
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
        PutLe(bits, 4, out);
    } else {
        uint64_t bits = 0;
        std::memcpy(&bits, &v, 8);
        PutLe(bits, 8, out);
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
            units.push_back(static_cast<uint8_t>(u));
            units.push_back(static_cast<uint8_t>(u >> 8));
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
    auto unit = [data](uint32_t i) {
        return static_cast<uint32_t>(data[2 * i] | data[2 * i + 1] << 8);
    };
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

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
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
    PutLe(ms | days << 32, 6, out);
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
    for (const TypeInfo& t : kTypes)
        if (t.type == dataType) return &t;
    return nullptr;
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
                PutLe(EqualsNoCase(s, "true") ? 1 : 0, 1, out);
                return ParseResult::kOk;
            }
            [[fallthrough]];
        case Kind::kSigned:
        case Kind::kUnsigned: {
            Integer v;
            const ParseResult r = ParseIntegerText(s, source, nodeId, v);
            if (r != ParseResult::kOk) return r;
            if (type.kind == Kind::kBoolean)
                return !v.negative && v.magnitude <= 1 && (PutLe(v.magnitude, 1, out), true)
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
            AppendUnsigned(out, GetLe(data, size));
            return true;
        case Kind::kSigned: {
            const unsigned shift = 64 - 8 * size;
            const auto v = static_cast<int64_t>(GetLe(data, size) << shift) >> shift;
            char buf[24];
            const auto r = std::to_chars(buf, buf + sizeof buf, v);
            out.append(buf, r.ptr);
            return true;
        }
        case Kind::kReal:
            if (size == 4) {
                const auto bits = static_cast<uint32_t>(GetLe(data, 4));
                float f = 0;
                std::memcpy(&f, &bits, 4);
                AppendReal(out, f);
            } else {
                const uint64_t bits = GetLe(data, 8);
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
            const auto ms = static_cast<uint32_t>(GetLe(data, 4)) & kTimeMsMask;
            const auto days = static_cast<uint32_t>(GetLe(data + 4, 2));
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
