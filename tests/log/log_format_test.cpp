// The logger's message formatting gives what std::snprintf gives, for the
// conversions it does itself, for those it hands on, and when the text is
// cut to the buffer.
#include "log/log_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

#if defined(__MINGW32__)
__attribute__((format(gnu_printf, 3, 4)))
#else
__attribute__((format(printf, 3, 4)))
#endif
std::size_t
Format(char* out, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::size_t n = orukiv::logdetail::FormatMessage(out, size, format, args);
    va_end(args);
    return n;
}

// Both into buffers of `size`; the result and the stored length must match.
#define EXPECT_FORMATS_AS_SNPRINTF(size, ...)                           \
    do {                                                                \
        char ours[64];                                                  \
        char theirs[64];                                                \
        std::memset(ours, 'z', sizeof ours);                            \
        const std::size_t n = Format(ours, (size), __VA_ARGS__);        \
        std::snprintf(theirs, (size), __VA_ARGS__);                     \
        EXPECT_STREQ(ours, theirs) << #__VA_ARGS__ << " in " << (size); \
        EXPECT_EQ(n, std::string(theirs).size()) << #__VA_ARGS__;       \
    } while (0)

TEST(LogFormat, MatchesTheCLibrary) {
    for (std::size_t size : {std::size_t{64}, std::size_t{9}, std::size_t{1}}) {
        EXPECT_FORMATS_AS_SNPRINTF(size, "plain text, no conversion");
        EXPECT_FORMATS_AS_SNPRINTF(size, "sdo seg read...<%d,%d>", 7, -100);
        EXPECT_FORMATS_AS_SNPRINTF(size, "%i|%d|%d", INT_MIN, INT_MAX, 0);
        EXPECT_FORMATS_AS_SNPRINTF(size, "%ld %lld %lld", LONG_MIN, LLONG_MIN, LLONG_MAX);
        EXPECT_FORMATS_AS_SNPRINTF(size, "%u %lu %llu", UINT_MAX, ULONG_MAX, ULLONG_MAX);
        EXPECT_FORMATS_AS_SNPRINTF(size, "%x %X %lx %llX", 0xBEEFu, 0xBEEFu, 0UL, ULLONG_MAX);
        EXPECT_FORMATS_AS_SNPRINTF(size, "[%s] %c%c 100%%", "node 5", 'o', 'k');
        EXPECT_FORMATS_AS_SNPRINTF(size, "%s%s", "", "empty first");
        // Handed on: flags, width, precision, floating point, pointers.
        EXPECT_FORMATS_AS_SNPRINTF(size, "obj<0x%08x> %5d|%-3s|%.2s", 0x181u, 42, "a", "abc");
        EXPECT_FORMATS_AS_SNPRINTF(size, "%05.1f %+d %e", 2.5, 3, 1e-9);
        EXPECT_FORMATS_AS_SNPRINTF(size, "after %d: %hd %hhu", 1, static_cast<short>(-2),
                                   static_cast<unsigned char>(250));
    }
}

TEST(LogFormat, NulCharacterEndsTheStoredText) {
    char out[32];
    EXPECT_EQ(Format(out, sizeof out, "ab%ccd", 0), 2u);
    EXPECT_STREQ(out, "ab");
}

}  // namespace
