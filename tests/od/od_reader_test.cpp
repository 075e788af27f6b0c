// The EDS/DCF reader: the habits of real files (tests/od/files/quirks.eds),
// refusals with their line, bad files and the bounds on input.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "orukiv/orukiv_od.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kNode = 5;

struct OdPtr {
    KIV_Od* od;
    ~OdPtr() { KIV_OdFree(od); }
};

std::string FilePath(const char* name) {
    return std::string(ORUKIV_OD_FILES) + "/" + name;
}

Bytes DefaultOf(const KIV_OdEntry& e) {
    return e.defaultValue == nullptr ? Bytes{}
                                     : Bytes(e.defaultValue, e.defaultValue + e.defaultSize);
}

struct Expected {
    uint16_t index;
    uint8_t sub;
    const char* name;
    const char* parent;  // null for a VAR
    uint16_t type;
    uint8_t access;
    uint8_t pdo;
    uint32_t flags;
    Bytes defaultValue;
};

constexpr uint32_t D = KIV_OD_HAS_DEFAULT;
// clang-format off
const Expected kQuirks[] = {
    // blanks around the name and "=", "RO", a ';' comment after the value
    {0x1000, 0, "Device type", nullptr, KIV_OD_UNSIGNED32, KIV_OD_ACCESS_RO, 0, D, {0x91, 0x01, 0x03, 0x00}},
    // CompactSubObj=3 with a [1003Name] naming sub 2
    {0x1003, 0, "NrOfObjects", "Pre-defined error field", KIV_OD_UNSIGNED8, KIV_OD_ACCESS_RO, 0, D, {3}},
    {0x1003, 1, "Pre-defined error field1", "Pre-defined error field", KIV_OD_UNSIGNED32, KIV_OD_ACCESS_RO, 0, 0, {}},
    {0x1003, 2, "Second error", "Pre-defined error field", KIV_OD_UNSIGNED32, KIV_OD_ACCESS_RO, 0, 0, {}},
    {0x1003, 3, "Pre-defined error field3", "Pre-defined error field", KIV_OD_UNSIGNED32, KIV_OD_ACCESS_RO, 0, 0, {}},
    // no ObjectType: a VAR
    {0x1005, 0, "COB-ID SYNC", nullptr, KIV_OD_UNSIGNED32, KIV_OD_ACCESS_RW, 0, D, {0x80, 0, 0, 0}},
    {0x1014, 0, "COB-ID EMCY", nullptr, KIV_OD_UNSIGNED32, KIV_OD_ACCESS_RO, 0, D, {0x85, 0, 0, 0}},
    // keys in any case; DefaultValue twice: the first (octal 0100) wins
    {0x1017, 0, "Producer heartbeat time", nullptr, KIV_OD_UNSIGNED16, KIV_OD_ACCESS_RW, 0, D, {64, 0}},
    // SubNumber=5 with three sub-sections; [1018SUB02] before a second [1018sub2]
    {0x1018, 0, "Highest sub-index supported", "Identity object", KIV_OD_UNSIGNED8, KIV_OD_ACCESS_CONST, 0, D, {2}},
    {0x1018, 1, "Vendor-ID", "Identity object", KIV_OD_UNSIGNED32, KIV_OD_ACCESS_RO, 0, D, {0x1F, 0x0A, 0, 0}},
    {0x1018, 2, "Product code", "Identity object", KIV_OD_UNSIGNED32, KIV_OD_ACCESS_RO, 0, 0, {}},
    {0x1400, 1, "COB-ID used by RPDO #1", "RPDO #1 communication parameter", KIV_OD_UNSIGNED32,
     KIV_OD_ACCESS_RW, 0, D, {0x85, 0x01, 0, 0}},
    {0x2000, 0, "Gain", nullptr, KIV_OD_REAL32, KIV_OD_ACCESS_RWW, 1, D, {0, 0, 0xC0, 0x3F}},
    {0x2001, 0, "Counter", nullptr, KIV_OD_UNSIGNED64, KIV_OD_ACCESS_RWR, 1,
     D | KIV_OD_HAS_LOW | KIV_OD_HAS_HIGH, {0xEF, 0xCD, 0xAB, 0x90, 0x78, 0x56, 0x34, 0x12}},
    {0x2002, 0, "Label", nullptr, KIV_OD_VISIBLE_STRING, KIV_OD_ACCESS_CONST, 0, D,
     {'H', 'e', 'l', 'l', 'o', ';', ' ', 'w', 'o', 'r', 'l', 'd'}},
    {0x2003, 0, "Shape", nullptr, KIV_OD_DOMAIN, KIV_OD_ACCESS_RW, 0, KIV_OD_AS_DOMAIN, {}},
    {0x2004, 0, "Offset", nullptr, KIV_OD_INTEGER16, KIV_OD_ACCESS_WO, 0, D, {0xF0, 0xFF}},
    {0x2005, 0, "Scale", nullptr, KIV_OD_REAL32, KIV_OD_ACCESS_RO, 0, D, {0, 0, 0x80, 0x3F}},
    {0x2006, 0, "Blob", nullptr, KIV_OD_DOMAIN, KIV_OD_ACCESS_RW, 0, 0, {}},  // "NULL": kept as text
    {0x2007, 0, "Mode", nullptr, KIV_OD_UNSIGNED8, KIV_OD_ACCESS_RW, 0, D, {8}},    // "010": octal
    {0x2008, 0, "Limit", nullptr, KIV_OD_UNSIGNED8, KIV_OD_ACCESS_RW, 0, D, {90}},  // "0090": no octal
};
// clang-format on

TEST(OdReader, ReadsTheHabitsOfRealFiles) {
    KIV_OdError error{};
    OdPtr od{KIV_OdLoadFile(FilePath("quirks.eds").c_str(), kNode, &error)};
    ASSERT_NE(od.od, nullptr) << error.line << ": " << error.message;
    ASSERT_EQ(KIV_OdCount(od.od), std::size(kQuirks));
    for (uint32_t i = 0; i < std::size(kQuirks); ++i) {
        const Expected& x = kQuirks[i];
        SCOPED_TRACE(x.name);
        KIV_OdEntry e;
        ASSERT_EQ(KIV_OdEntryAt(od.od, i, &e), KIV_OK);  // in (index, sub-index) order
        EXPECT_EQ(e.index, x.index);
        EXPECT_EQ(e.subIndex, x.sub);
        EXPECT_STREQ(e.name, x.name);
        if (x.parent == nullptr)
            EXPECT_EQ(e.parentName, nullptr);
        else
            EXPECT_STREQ(e.parentName, x.parent);
        EXPECT_EQ(e.dataType, x.type);
        EXPECT_EQ(e.access, x.access);
        EXPECT_EQ(e.pdoMappable, x.pdo);
        EXPECT_EQ(e.flags, x.flags);
        EXPECT_EQ(DefaultOf(e), x.defaultValue);
    }
    KIV_OdEntry e;
    ASSERT_EQ(KIV_OdFind(od.od, 0x2003, 0, &e), KIV_OK);
    EXPECT_EQ(e.fileDataType, 0x0040);
    ASSERT_EQ(KIV_OdFind(od.od, 0x2006, 0, &e), KIV_OK);
    EXPECT_STREQ(e.defaultText, "NULL");
    ASSERT_EQ(KIV_OdFind(od.od, 0x2001, 0, &e), KIV_OK);
    EXPECT_EQ(Bytes(e.highLimit, e.highLimit + e.highSize),
              Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
    EXPECT_EQ(KIV_OdFind(od.od, 0x1018, 3, &e), KIV_ERR_PARAM);
    EXPECT_EQ(KIV_OdEntryAt(od.od, KIV_OdCount(od.od), &e), KIV_ERR_PARAM);
}

TEST(OdReader, FindsNamesWithoutRegardToCase) {
    OdPtr od{KIV_OdLoadFile(FilePath("quirks.eds").c_str(), kNode, nullptr)};
    ASSERT_NE(od.od, nullptr);
    const struct {
        const char* name;
        uint16_t index;
        uint8_t sub;
    } rows[] = {{"producer HEARTBEAT time", 0x1017, 0},
                {" Identity object.Vendor-ID ", 0x1018, 1},
                {"Vendor-ID", 0x1018, 1},
                {"pre-defined error field.second error", 0x1003, 2},
                {"NrOfObjects", 0x1003, 0}};
    for (const auto& row : rows) {
        KIV_OdEntry e;
        ASSERT_EQ(KIV_OdFindName(od.od, row.name, &e), KIV_OK) << row.name;
        EXPECT_EQ(e.index, row.index) << row.name;
        EXPECT_EQ(e.subIndex, row.sub) << row.name;
    }
    KIV_OdEntry e;
    EXPECT_EQ(KIV_OdFindName(od.od, "Identity object", &e), KIV_ERR_PARAM);  // a RECORD is no entry
    EXPECT_EQ(KIV_OdFindName(od.od, nullptr, &e), KIV_ERR_PARAM);
}

TEST(OdReader, NodeIdZeroLeavesNodeIdValuesUnresolved) {
    OdPtr od{KIV_OdLoadFile(FilePath("quirks.eds").c_str(), 0, nullptr)};
    ASSERT_NE(od.od, nullptr);
    KIV_OdEntry e;
    ASSERT_EQ(KIV_OdFind(od.od, 0x1400, 1, &e), KIV_OK);
    EXPECT_EQ(e.flags, KIV_OD_DEFAULT_NODEID);
    EXPECT_EQ(e.defaultSize, 0u);
    EXPECT_STREQ(e.defaultText, "0x180+$NODEID");
}

struct Refusal {
    const char* what;
    std::string text;
    uint32_t line;
};

const std::string kVar = "[2000]\nParameterName=x\nDataType=0x0005\nAccessType=rw\n";

TEST(OdReader, RefusesWithTheLine) {
    const Refusal rows[] = {
        {"binary line in an object section", kVar + "Default\x01\x02\x7F=1\n", 5},
        {"line without = in an object section", kVar + "garbage here\n", 5},
        {"object without ParameterName", "[1000]\nDataType=0x0007\n\n[1001]\nParameterName=y\n", 1},
        {"sub-object without ParameterName",
         "[1018]\nParameterName=Id\nObjectType=9\n[1018sub1]\nDataType=7\n", 4},
        {"unreadable DataType", "; c\n[2000]\nParameterName=x\nDataType=word\n", 4},
        {"unknown ObjectType", "[2000]\nParameterName=x\nObjectType=0x3\n", 3},
        {"binary before any section",
         std::string("\x7F"
                     "ELF\x02\x01\x01\n[1000]\n",
                     11),
         1},
        {"100000-character line", kVar + "DefaultValue=" + std::string(100000, '1') + "\n", 5},
        {"no object section", "[FileInfo]\nFileName=x.eds\n", 0},
        {"empty text", "", 0},
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.what);
        KIV_OdError error;
        std::memset(&error, 0x5A, sizeof error);
        EXPECT_EQ(
            KIV_OdLoadText(row.text.data(), static_cast<uint32_t>(row.text.size()), kNode, &error),
            nullptr);
        EXPECT_EQ(error.line, row.line);
        EXPECT_GT(std::strlen(error.message), 0u);
        EXPECT_LT(std::strlen(error.message), sizeof error.message);
    }
    EXPECT_EQ(KIV_OdLoadText(kVar.data(), static_cast<uint32_t>(kVar.size()), 128, nullptr),
              nullptr);
    EXPECT_EQ(KIV_OdLoadText(nullptr, 0, kNode, nullptr), nullptr);
}

TEST(OdReader, BadFilesGiveAnErrorNeverACrash) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("orukiv_od_" +
                      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "empty.eds").close();
    std::ofstream(dir / "binary.eds", std::ios::binary) << std::string("\0\x01\x02\xFF\n\x03", 6);
    const std::string paths[] = {(dir / "missing.eds").string(), dir.string(),
                                 (dir / "empty.eds").string(), (dir / "binary.eds").string()};
    for (const std::string& path : paths) {
        KIV_OdError error{};
        EXPECT_EQ(KIV_OdLoadFile(path.c_str(), kNode, &error), nullptr) << path;
        EXPECT_GT(std::strlen(error.message), 0u) << path;
    }
    std::filesystem::remove_all(dir);
    EXPECT_EQ(KIV_OdLoadFile(nullptr, kNode, nullptr), nullptr);
}

TEST(OdReader, TenMegabytesLoadInBoundedTime) {
    // 20 000 objects of ~500 bytes; the bound is loose (shared machines):
    // the point is that nothing grows worse than linearly.
    std::string text;
    char section[160];
    for (int i = 0; text.size() < 10u << 20; ++i) {
        std::snprintf(section, sizeof section,
                      "[%X]\nParameterName=Object %d ; %s\nObjectType=7\nDataType=7\n",
                      0x2000 + i % 0xDFFF, i, std::string(40, 'c').c_str());
        text += section;
        text += "AccessType=rw\nDefaultValue=0x" + std::string(8, '1') + "\n;" +
                std::string(380, 'x') + "\n";
    }
    const auto start = std::chrono::steady_clock::now();
    OdPtr od{KIV_OdLoadText(text.data(), static_cast<uint32_t>(text.size()), kNode, nullptr)};
    ASSERT_NE(od.od, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_GT(KIV_OdCount(od.od), 15000u);
}

}  // namespace

// The lookups tell a missing entry from a missing argument.
TEST(OdReader, LookupsTellNotFoundFromABadArgument) {
    OdPtr od{KIV_OdLoadFile(FilePath("quirks.eds").c_str(), kNode, nullptr)};
    ASSERT_NE(od.od, nullptr);
    KIV_OdEntry e;
    const struct {
        const char* what;
        int32_t got, expected;
    } cases[] = {
        {"find, absent", KIV_OdFind(od.od, 0x1018, 3, &e), KIV_OD_NOT_FOUND},
        {"find, null od", KIV_OdFind(nullptr, 0x2001, 0, &e), KIV_OD_BAD_ARGUMENT},
        {"find, null entry", KIV_OdFind(od.od, 0x2001, 0, nullptr), KIV_OD_BAD_ARGUMENT},
        {"name, absent", KIV_OdFindName(od.od, "no such name", &e), KIV_OD_NOT_FOUND},
        {"at, past the end", KIV_OdEntryAt(od.od, KIV_OdCount(od.od), &e), KIV_OD_NOT_FOUND},
        {"at, null od", KIV_OdEntryAt(nullptr, 0, &e), KIV_OD_BAD_ARGUMENT},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
}
