// The EDS/DCF reader on arbitrary file contents, through both entry points.
//
// Each input is a whole file. It is loaded from memory (KIV_OdLoadText) with
// node id 0 and with a node id taken from its length, and from a scratch
// file (KIV_OdLoadFile), which must give the same dictionary. Of every
// loaded dictionary: entries come in strictly rising (index, sub-index)
// order and are found again by index and by name; a default read as bytes
// has its type's size, formats, and parses back to the same bytes; the
// concise DCF is well formed. The input is also offered to the concise-DCF
// decoder. Warnings are not logged (the level is raised to errors).
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "od/od_download.h"
#include "od/od_types.h"
#include "orukiv/QUserLog.h"
#include "orukiv/orukiv_od.h"

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_od: %s\n", what);
    std::abort();
}

std::string ScratchPath() {
    return "/tmp/fuzz_od_" + std::to_string(::getpid()) + ".eds";
}

void CheckDefault(const KIV_OdEntry& e) {
    if ((e.flags & KIV_OD_HAS_DEFAULT) == 0) {
        if (e.defaultSize != 0) Fail("a size without a default");
        return;
    }
    const orukiv::od::TypeInfo* type = orukiv::od::FindType(e.dataType);
    if (type == nullptr) Fail("an entry of an unknown type");
    if (type->size != 0 && e.defaultSize != type->size) Fail("a default of the wrong size");
    static char text[4 * orukiv::od::kMaxLineBytes];
    if (KIV_OdFormatValue(e.dataType, e.defaultValue, e.defaultSize, text, sizeof text) != KIV_OK)
        Fail("a default read from the file does not format");
    if (type->kind == orukiv::od::Kind::kReal && std::strstr(text, "nan") != nullptr) return;
    static uint8_t back[2 * orukiv::od::kMaxLineBytes];
    uint32_t size = 0;
    if (KIV_OdParseValue(e.dataType, text, back, sizeof back, &size) != KIV_OK ||
        size != e.defaultSize || (size != 0 && std::memcmp(back, e.defaultValue, size) != 0))
        Fail("a formatted default does not parse back to its bytes");
}

void CheckDictionary(const KIV_Od* od) {
    const uint32_t count = KIV_OdCount(od);
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        KIV_OdEntry e;
        if (KIV_OdEntryAt(od, i, &e) != KIV_OK || e.name == nullptr)
            Fail("an entry that cannot be had");
        const uint32_t key = static_cast<uint32_t>(e.index) << 8 | e.subIndex;
        if (i > 0 && key <= previous) Fail("entries out of order");
        previous = key;
        KIV_OdEntry again;
        if (KIV_OdFind(od, e.index, e.subIndex, &again) != KIV_OK || again.name != e.name)
            Fail("an entry not found by index");
        std::string name =
            e.parentName != nullptr ? std::string(e.parentName) + "." + e.name : e.name;
        if (KIV_OdFindName(od, name.c_str(), &again) != KIV_OK) Fail("an entry not found by name");
        CheckDefault(e);
    }
    uint32_t size = 0;
    if (KIV_OdToConciseDcf(od, nullptr, 0, &size) == KIV_ERR_PARAM && size != 0) {
        std::vector<uint8_t> concise(size);
        std::vector<orukiv::od::Write> writes;
        if (KIV_OdToConciseDcf(od, concise.data(), size, &size) != KIV_OK ||
            !orukiv::od::DecodeConcise(concise.data(), size, writes))
            Fail("a concise DCF that does not decode");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QUserLog::GetInstance().EnableFileOutput(false);
    QUserLog::GetInstance().SetLogLevel(LOG_ERROR);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<orukiv::od::Write> writes;
    orukiv::od::DecodeConcise(data, static_cast<uint32_t>(size), writes);

    const char* text = reinterpret_cast<const char*>(data);
    const auto length = static_cast<uint32_t>(size);
    const auto nodeId = static_cast<uint8_t>(1 + size % 127);
    KIV_Od* unresolved = KIV_OdLoadText(text, length, 0, nullptr);
    KIV_OdError error{};
    KIV_Od* od = KIV_OdLoadText(text, length, nodeId, &error);
    if ((od == nullptr) != (unresolved == nullptr))
        Fail("the node id decided whether the file loads");
    if (od == nullptr &&
        (error.message[0] == '\0' || error.message[sizeof error.message - 1] != '\0'))
        Fail("a refusal without a message");

    const std::string path = ScratchPath();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        KIV_Od* fromFile = KIV_OdLoadFile(path.c_str(), nodeId, nullptr);
        if ((fromFile == nullptr) != (od == nullptr) || KIV_OdCount(fromFile) != KIV_OdCount(od))
            Fail("file and text loads differ");
        KIV_OdFree(fromFile);
        std::remove(path.c_str());
    }
    if (od != nullptr) {
        CheckDictionary(od);
        CheckDictionary(unresolved);
    }
    KIV_OdFree(od);
    KIV_OdFree(unresolved);
    return 0;
}
