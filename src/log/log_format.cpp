// The logger's message formatting: plain conversions by hand, everything
// else by std::vsnprintf.
#include "log/log_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace orukiv::logdetail {

namespace {

// Bounded output: characters beyond the room are counted as cut, not kept.
struct Out {
    char* p;
    std::size_t room;  // characters that may still be stored
    std::size_t n = 0;

    void Put(const char* s, std::size_t len) {
        const std::size_t take = len < room - n ? len : room - n;
        std::memcpy(p + n, s, take);
        n += take;
    }
    void Put(char c) {
        if (n < room) p[n++] = c;
    }
};

void PutUnsigned(Out& out, unsigned long long v, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char text[24];
    std::size_t i = sizeof text;
    do {
        text[--i] = digits[v % base];
        v /= base;
    } while (v != 0);
    out.Put(text + i, sizeof text - i);
}

void PutSigned(Out& out, long long v) {
    if (v < 0) {
        out.Put('-');
        // Negate in unsigned arithmetic: LLONG_MIN has no positive twin.
        PutUnsigned(out, 0ull - static_cast<unsigned long long>(v), 10, false);
    } else {
        PutUnsigned(out, static_cast<unsigned long long>(v), 10, false);
    }
}

}  // namespace

std::size_t FormatMessage(char* out, std::size_t size, const char* format, va_list args) {
    va_list whole;
    va_copy(whole, args);
    Out o{out, size - 1};
    const char* f = format;
    bool plain = true;
    while (plain && *f != '\0') {
        const char* next = std::strchr(f, '%');
        if (next == nullptr) {
            o.Put(f, std::strlen(f));
            break;
        }
        o.Put(f, static_cast<std::size_t>(next - f));
        f = next + 1;
        int longs = 0;
        while (*f == 'l' && longs < 2) {
            ++longs;
            ++f;
        }
        switch (*f) {
            case 'd':
            case 'i':
                PutSigned(o, longs == 0   ? va_arg(args, int)
                             : longs == 1 ? va_arg(args, long)
                                          : va_arg(args, long long));
                break;
            case 'u':
            case 'x':
            case 'X':
                PutUnsigned(o,
                            longs == 0   ? va_arg(args, unsigned)
                            : longs == 1 ? va_arg(args, unsigned long)
                                         : va_arg(args, unsigned long long),
                            *f == 'u' ? 10 : 16, *f == 'X');
                break;
            case 's':
                if (longs != 0) {
                    plain = false;
                    break;
                }
                if (const char* s = va_arg(args, const char*)) {
                    o.Put(s, std::strlen(s));
                } else {
                    plain = false;  // the C library's own text for null
                }
                break;
            case 'c':
                if (longs != 0) {
                    plain = false;
                    break;
                }
                if (const char c = static_cast<char>(va_arg(args, int))) {
                    o.Put(c);
                } else {
                    plain = false;  // a NUL ends the line where it stands
                }
                break;
            case '%':
                if (longs != 0) {
                    plain = false;
                    break;
                }
                o.Put('%');
                break;
            default:  // flags, width, precision, other conversions
                plain = false;
                break;
        }
        if (plain) ++f;
    }
    std::size_t n;
    if (plain) {
        out[o.n] = '\0';
        n = o.n;
    } else {
        std::vsnprintf(out, size, format, whole);
        n = std::strlen(out);
    }
    va_end(whole);
    return n;
}

}  // namespace orukiv::logdetail
