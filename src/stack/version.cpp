// KIV_GetVersion: the project version CMake passes in.
#include "orukiv/orukiv.h"

#define ORUKIV_STR2(x) #x
#define ORUKIV_STR(x) ORUKIV_STR2(x)

namespace {

constexpr uint32_t kVersion =
    ORUKIV_VERSION_MAJOR * 10000u + ORUKIV_VERSION_MINOR * 100u + ORUKIV_VERSION_PATCH;
static_assert(ORUKIV_VERSION_MINOR < 100 && ORUKIV_VERSION_PATCH < 100,
              "minor and patch must stay below 100 to fit the version number");
constexpr const char* kVersionText = ORUKIV_STR(ORUKIV_VERSION_MAJOR) "." ORUKIV_STR(
    ORUKIV_VERSION_MINOR) "." ORUKIV_STR(ORUKIV_VERSION_PATCH);

}  // namespace

extern "C" uint32_t KIV_GetVersion(const char** text) {
    if (text != nullptr) *text = kVersionText;
    return kVersion;
}
