// The object dictionary model: object, sub-object, [xxxxName] and
// [xxxxValue] sections of an EDS or DCF turned into variables, compact
// arrays (CompactSubObj) expanded as CiA 306 describes.
#include "od/od_model.h"

#include <map>

#include "od/od_types.h"
#include "orukiv_common/byte_order.h"

namespace orukiv::od {

namespace {

constexpr uint16_t kLastBasicType = KIV_OD_UNSIGNED64;
constexpr uint8_t kBoolTrue = 1;

enum class SectionKind { kOther, kObject, kSub, kNames, kValues };

struct SectionId {
    SectionKind kind = SectionKind::kOther;
    uint16_t index = 0;
    uint8_t subIndex = 0;
};

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads up to maxDigits hex digits at the start of s (lower-case).
std::size_t HexPrefix(std::string_view s, std::size_t maxDigits, uint32_t& v) {
    std::size_t n = 0;
    v = 0;
    while (n < s.size() && n <= maxDigits && Hex(s[n]) >= 0)
        v = v * 16 + static_cast<uint32_t>(Hex(s[n++]));
    return n;
}

// "1000", "1018sub1", "1003sub00", "1003name", "1003value" (lower-case).
SectionId Classify(std::string_view name) {
    SectionId id;
    uint32_t index = 0;
    const std::size_t n = HexPrefix(name, 4, index);
    if (n == 0 || n > 4 || index == 0) return id;
    id.index = static_cast<uint16_t>(index);
    const std::string_view rest = name.substr(n);
    if (rest.empty()) {
        id.kind = SectionKind::kObject;
    } else if (rest == "name") {
        id.kind = SectionKind::kNames;
    } else if (rest == "value") {
        id.kind = SectionKind::kValues;
    } else if (rest.substr(0, 3) == "sub") {
        uint32_t sub = 0;
        const std::size_t m = HexPrefix(rest.substr(3), 3, sub);
        if (m > 0 && m <= 3 && m == rest.size() - 3 && sub <= 0xFF) {
            id.kind = SectionKind::kSub;
            id.subIndex = static_cast<uint8_t>(sub);
        }
    }
    return id;
}

// The value without an inline comment: from the first ';' or '#' on
// (anywhere), or from a ';' that follows a blank (names).
std::string_view StripComment(std::string_view v, bool anywhere) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        const bool mark = v[i] == ';' || (anywhere && v[i] == '#');
        if (mark && (anywhere || (i > 0 && (v[i - 1] == ' ' || v[i - 1] == '\t'))))
            return Trim(v.substr(0, i));
    }
    return v;
}

class Builder {
public:
    Builder(uint8_t nodeId, std::size_t budget, Warnings& warnings)
        : nodeId_(nodeId), budget_(budget), warnings_(warnings) {}

    bool Run(const std::vector<IniSection>& sections, std::vector<Entry>& out, LoadError& error);

private:
    bool Index(const std::vector<IniSection>& sections, LoadError& error);
    bool BuildObject(uint16_t index, const IniSection& s, std::vector<Entry>& out,
                     LoadError& error);
    bool BuildCompact(const Entry& object, const IniSection& s, uint32_t count,
                      std::vector<Entry>& out, LoadError& error);
    // Name, data type, access, PDO flag and values of a section.
    bool Fill(Entry& e, const IniSection& s, LoadError& error);
    bool Number(const IniSection& s, const char* key, uint32_t& v, bool& given, LoadError& error);
    // ParameterName: refused when the key is missing, read as "" (with a
    // warning) when it is empty.
    bool Name(const IniSection& s, std::string& name, LoadError& error);
    void ReadValue(const Entry& e, const IniKey* key, const char* what, Value& v);
    bool Charge(const Entry& e, LoadError& error);

    const uint8_t nodeId_;
    const std::size_t budget_;
    std::size_t used_ = 0;
    Warnings& warnings_;
    std::map<uint16_t, const IniSection*> objects_, names_, values_;
    std::map<uint32_t, const IniSection*> subs_;  // index << 8 | sub-index
};

bool Builder::Index(const std::vector<IniSection>& sections, LoadError& error) {
    for (const IniSection& s : sections) {
        const SectionId id = Classify(s.name);
        if (s.badLine != 0) {
            error = {s.badLine,
                     "line in [" + s.name + "] is not key=value (binary bytes or no \"=\")"};
            return false;
        }
        std::pair<std::map<uint16_t, const IniSection*>::iterator, bool> placed;
        const IniSection* first = nullptr;
        switch (id.kind) {
            case SectionKind::kObject:
                placed = objects_.emplace(id.index, &s);
                first = placed.second ? nullptr : placed.first->second;
                break;
            case SectionKind::kNames:
                placed = names_.emplace(id.index, &s);
                first = placed.second ? nullptr : placed.first->second;
                break;
            case SectionKind::kValues:
                placed = values_.emplace(id.index, &s);
                first = placed.second ? nullptr : placed.first->second;
                break;
            default: {
                const auto sub =
                    subs_.emplace(static_cast<uint32_t>(id.index) << 8 | id.subIndex, &s);
                first = sub.second ? nullptr : sub.first->second;
            }
        }
        if (first != nullptr)
            warnings_.Add(s.line, "section [%s] given again (first at line %u): ignored",
                          s.name.c_str(), static_cast<unsigned>(first->line));
    }
    if (objects_.empty()) {
        error = {0, "no object sections: not an EDS or DCF file"};
        return false;
    }
    return true;
}

bool Builder::Number(const IniSection& s, const char* key, uint32_t& v, bool& given,
                     LoadError& error) {
    given = false;
    const IniKey* k = s.Find(key);
    if (k == nullptr) return true;
    const std::string_view text = StripComment(k->value, true);
    if (text.empty()) return true;
    static const TypeInfo kU32 = *FindType(KIV_OD_UNSIGNED32);
    std::vector<uint8_t> bytes;
    if (ParseText(kU32, text, Source::kFile, 0, bytes) != ParseResult::kOk) {
        error = {k->line, std::string(key) + " \"" + std::string(text) + "\" is not a number"};
        return false;
    }
    v = LoadLe32(bytes.data());
    given = true;
    return true;
}

bool Builder::Name(const IniSection& s, std::string& name, LoadError& error) {
    const IniKey* key = s.Find("parametername");
    if (key == nullptr) {
        error = {s.line, "[" + s.name + "] has no ParameterName"};
        return false;
    }
    name.assign(StripComment(key->value, false));
    if (name.empty()) warnings_.Add(key->line, "empty ParameterName in [%s]", s.name.c_str());
    return true;
}

uint8_t AccessOf(std::string_view text) {
    static const struct {
        const char* name;
        uint8_t access;
    } kAccess[] = {{"ro", KIV_OD_ACCESS_RO},   {"r", KIV_OD_ACCESS_RO},
                   {"wo", KIV_OD_ACCESS_WO},   {"w", KIV_OD_ACCESS_WO},
                   {"rw", KIV_OD_ACCESS_RW},   {"rwr", KIV_OD_ACCESS_RWR},
                   {"rww", KIV_OD_ACCESS_RWW}, {"const", KIV_OD_ACCESS_CONST}};
    for (const auto& a : kAccess)
        if (EqualsNoCase(text, a.name)) return a.access;
    return KIV_OD_ACCESS_NONE;
}

void Builder::ReadValue(const Entry& e, const IniKey* key, const char* what, Value& v) {
    if (key == nullptr) return;
    const TypeInfo& type = *FindType(e.dataType);
    const bool isString = type.kind == Kind::kVisibleString || type.kind == Kind::kUnicodeString;
    const std::string_view text = isString ? key->value : StripComment(key->value, true);
    if (text.empty()) return;
    v.given = true;
    v.text.assign(text);
    switch (ParseText(type, text, Source::kFile, nodeId_, v.bytes)) {
        case ParseResult::kOk:
            v.read = true;
            break;
        case ParseResult::kNodeIdUnknown:
            v.nodeIdOpen = true;
            break;
        case ParseResult::kBad:
            warnings_.Add(
                key->line,
                "%s \"%s\" of 0x%04X sub %u is no value of data type 0x%04X: kept as text", what,
                v.text.c_str(), e.index, e.subIndex, e.dataType);
            break;
    }
}

bool Builder::Fill(Entry& e, const IniSection& s, LoadError& error) {
    if (!Name(s, e.name, error)) return false;
    e.line = s.line;
    uint32_t number = 0;
    bool given = false;
    if (!Number(s, "datatype", number, given, error)) return false;
    e.fileDataType = static_cast<uint16_t>(number);
    e.dataType = e.fileDataType;
    if (!given || number > 0xFFFF || FindType(static_cast<uint16_t>(number)) == nullptr) {
        if (!(e.objectType == KIV_OD_OBJ_DOMAIN && !given))
            warnings_.Add(s.line, "[%s]: data type 0x%04X %s: read as DOMAIN", s.name.c_str(),
                          number,
                          !given                    ? "not given"
                          : number > kLastBasicType ? "names a type definition"
                                                    : "is unknown");
        e.asDomain = given || e.objectType != KIV_OD_OBJ_DOMAIN;
        e.fileDataType = static_cast<uint16_t>(given ? number : 0);
        e.dataType = KIV_OD_DOMAIN;
    }
    if (const IniKey* access = s.Find("accesstype")) {
        const std::string_view text = StripComment(access->value, true);
        e.access = AccessOf(text);
        if (e.access == KIV_OD_ACCESS_NONE && !text.empty())
            warnings_.Add(access->line, "AccessType \"%.*s\" not understood",
                          static_cast<int>(text.size()), text.data());
    }
    if (const IniKey* pdo = s.Find("pdomapping")) {
        std::vector<uint8_t> b;
        static const TypeInfo kBool = *FindType(KIV_OD_BOOLEAN);
        const std::string_view text = StripComment(pdo->value, true);
        if (!text.empty() && ParseText(kBool, text, Source::kFile, 0, b) == ParseResult::kOk)
            e.pdoMappable = b[0] == kBoolTrue ? 1 : 0;
        else if (!text.empty())
            warnings_.Add(pdo->line, "PDOMapping \"%.*s\" not understood: read as 0",
                          static_cast<int>(text.size()), text.data());
    }
    ReadValue(e, s.Find("defaultvalue"), "DefaultValue", e.defaultValue);
    ReadValue(e, s.Find("parametervalue"), "ParameterValue", e.parameterValue);
    ReadValue(e, s.Find("lowlimit"), "LowLimit", e.lowLimit);
    ReadValue(e, s.Find("highlimit"), "HighLimit", e.highLimit);
    return true;
}

bool Builder::Charge(const Entry& e, LoadError& error) {
    used_ += sizeof(Entry) + e.name.size() + e.parentName.size();
    for (const Value* v : {&e.defaultValue, &e.parameterValue, &e.lowLimit, &e.highLimit})
        used_ += v->text.size() + v->bytes.size();
    if (used_ <= budget_) return true;
    error = {e.line,
             "the dictionary would take more than " + std::to_string(budget_ >> 20) + " MiB"};
    return false;
}

bool Builder::BuildCompact(const Entry& object, const IniSection& s, uint32_t count,
                           std::vector<Entry>& out, LoadError& error) {
    Entry head;
    head.index = object.index;
    head.objectType = object.objectType;
    head.dataType = head.fileDataType = KIV_OD_UNSIGNED8;
    head.access = KIV_OD_ACCESS_RO;
    head.hasParent = true;
    head.line = s.line;
    head.name = "NrOfObjects";
    head.parentName = object.name;
    head.defaultValue.given = head.defaultValue.read = true;
    head.defaultValue.text = std::to_string(count);
    head.defaultValue.bytes = {static_cast<uint8_t>(count)};
    if (!Charge(head, error)) return false;
    out.push_back(std::move(head));

    const auto names = names_.find(object.index);
    const auto values = values_.find(object.index);
    for (uint32_t sub = 1; sub <= count; ++sub) {
        Entry e = object;
        e.subIndex = static_cast<uint8_t>(sub);
        e.hasParent = true;
        e.parentName = object.name;
        e.name = object.name + std::to_string(sub);
        e.parameterValue = Value{};
        const std::string key = std::to_string(sub);
        if (names != names_.end())
            if (const IniKey* n = names->second->Find(key))
                e.name.assign(StripComment(n->value, false));
        if (values != values_.end())
            ReadValue(e, values->second->Find(key), "ParameterValue", e.parameterValue);
        if (!Charge(e, error)) return false;
        out.push_back(std::move(e));
    }
    return true;
}

bool Builder::BuildObject(uint16_t index, const IniSection& s, std::vector<Entry>& out,
                          LoadError& error) {
    Entry object;
    object.index = index;
    const auto firstSub = subs_.lower_bound(static_cast<uint32_t>(index) << 8);
    const auto endSub = subs_.lower_bound((static_cast<uint32_t>(index) + 1) << 8);
    uint32_t number = KIV_OD_OBJ_VAR;
    bool given = false;
    LoadError unread;
    if (!Number(s, "objecttype", number, given, unread)) {
        // Tools have written ObjectType=<class 'str'>: the sub-sections tell.
        number = firstSub != endSub ? KIV_OD_OBJ_RECORD : KIV_OD_OBJ_VAR;
        warnings_.Add(unread.line, "%s: read as %s", unread.message.c_str(),
                      number == KIV_OD_OBJ_VAR ? "VAR" : "RECORD");
        given = true;
    }
    if (!given) number = KIV_OD_OBJ_VAR;
    const bool single =
        number == KIV_OD_OBJ_VAR || number == KIV_OD_OBJ_DOMAIN || number == KIV_OD_OBJ_DEFTYPE;
    const bool compound =
        number == KIV_OD_OBJ_ARRAY || number == KIV_OD_OBJ_RECORD || number == KIV_OD_OBJ_DEFSTRUCT;
    if (!single && !compound) {
        const IniKey* k = s.Find("objecttype");
        error = {k->line, "ObjectType " + std::to_string(number) + " is no CiA 301 object code"};
        return false;
    }
    object.objectType = static_cast<uint8_t>(number);
    uint32_t compact = 0;
    if (!Number(s, "compactsubobj", compact, given, error)) return false;
    // Sub-index 255 is reserved: at most 254 sub-entries, whatever the
    // object type (a VAR's CompactSubObj is read for nothing else).
    if (compact > 254) {
        error = {s.Find("compactsubobj")->line, "CompactSubObj " + std::to_string(compact) +
                                                    " above 254 (sub-index 255 is reserved)"};
        return false;
    }
    if (single) {
        if (firstSub != endSub)
            warnings_.Add(firstSub->second->line,
                          "sub-sections of 0x%04X, which is no ARRAY or RECORD: ignored", index);
        if (!Fill(object, s, error) || !Charge(object, error)) return false;
        out.push_back(std::move(object));
        return true;
    }
    // ARRAY/RECORD: the name is the parent's; the rest is in the sub-entries.
    if (!Name(s, object.name, error)) return false;
    object.line = s.line;
    if (compact > 0) {
        if (firstSub != endSub)
            warnings_.Add(firstSub->second->line, "sub-sections of compact 0x%04X: ignored", index);
        if (!Fill(object, s, error)) return false;
        return BuildCompact(object, s, compact, out, error);
    }
    uint32_t present = 0;
    for (auto it = firstSub; it != endSub; ++it) {
        Entry e;
        e.index = index;
        e.subIndex = static_cast<uint8_t>(it->first & 0xFF);
        e.objectType = object.objectType;
        e.hasParent = true;
        e.parentName = object.name;
        if (!Fill(e, *it->second, error) || !Charge(e, error)) return false;
        out.push_back(std::move(e));
        ++present;
    }
    uint32_t declared = 0;
    if (!Number(s, "subnumber", declared, given, error)) return false;
    if (given && declared != present)
        warnings_.Add(
            s.line,
            "SubNumber of 0x%04X is %u, %u sub-entries present: the entries present are read",
            index, declared, present);
    if (present == 0) warnings_.Add(s.line, "0x%04X has no sub-entries", index);
    return true;
}

bool Builder::Run(const std::vector<IniSection>& sections, std::vector<Entry>& out,
                  LoadError& error) {
    if (!Index(sections, error)) return false;
    for (const auto& [index, section] : objects_)
        if (!BuildObject(index, *section, out, error)) return false;
    for (const auto& [key, section] : subs_)
        if (objects_.count(static_cast<uint16_t>(key >> 8)) == 0)
            warnings_.Add(section->line, "[%s] without its object section: ignored",
                          section->name.c_str());
    return true;
}

}  // namespace

uint32_t Entry::Flags() const {
    uint32_t f = 0;
    if (defaultValue.read) f |= KIV_OD_HAS_DEFAULT;
    if (parameterValue.read) f |= KIV_OD_HAS_VALUE;
    if (lowLimit.read) f |= KIV_OD_HAS_LOW;
    if (highLimit.read) f |= KIV_OD_HAS_HIGH;
    if (defaultValue.nodeIdOpen) f |= KIV_OD_DEFAULT_NODEID;
    if (parameterValue.nodeIdOpen) f |= KIV_OD_VALUE_NODEID;
    if (asDomain) f |= KIV_OD_AS_DOMAIN;
    return f;
}

void Entry::Export(KIV_OdEntry& out) const {
    out = KIV_OdEntry{};
    out.index = index;
    out.subIndex = subIndex;
    out.objectType = objectType;
    out.dataType = dataType;
    out.access = access;
    out.pdoMappable = pdoMappable;
    out.flags = Flags();
    out.fileDataType = fileDataType;
    out.line = line;
    out.name = name.c_str();
    out.parentName = hasParent ? parentName.c_str() : nullptr;
    auto bytes = [](const Value& v, const uint8_t*& data, uint32_t& size) {
        data = v.read && !v.bytes.empty() ? v.bytes.data() : nullptr;
        size = v.read ? static_cast<uint32_t>(v.bytes.size()) : 0;
    };
    bytes(defaultValue, out.defaultValue, out.defaultSize);
    bytes(parameterValue, out.value, out.valueSize);
    bytes(lowLimit, out.lowLimit, out.lowSize);
    bytes(highLimit, out.highLimit, out.highSize);
    out.defaultText = defaultValue.given ? defaultValue.text.c_str() : nullptr;
    out.valueText = parameterValue.given ? parameterValue.text.c_str() : nullptr;
}

bool BuildDictionary(std::string_view text, uint8_t nodeId, std::vector<Entry>& entries,
                     LoadError& error) {
    Warnings warnings;
    std::vector<IniSection> sections;
    const KeepSection objectSections = [](std::string_view name) {
        return Classify(name).kind != SectionKind::kOther;
    };
    // Room for the sections and for the entries: generous for any real file,
    // bounded for any input.
    const std::size_t budget = (std::size_t{32} << 20) + 8 * text.size();
    if (!ReadIni(text, objectSections, budget, sections, error, warnings)) return false;
    Builder builder(nodeId, budget, warnings);
    return builder.Run(sections, entries, error);
}

}  // namespace orukiv::od
