// KIV_GetVersion: the project version as a number and as text.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "orukiv/orukiv.h"

TEST(Version, NumberAndTextAreTheProjectVersion) {
    const char* text = nullptr;
    const uint32_t number = KIV_GetVersion(&text);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, ORUKIV_EXPECTED_VERSION);
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(text, "%u.%u.%u", &major, &minor, &patch), 3);
    EXPECT_EQ(number, major * 10000 + minor * 100 + patch);
    EXPECT_EQ(KIV_GetVersion(nullptr), number);
}
