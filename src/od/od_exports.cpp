// The object dictionary exports: loading, queries and value texts.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>

#include "od/od_model.h"
#include "od/od_types.h"
#include "stack/cia301.h"

namespace {

using orukiv::od::LoadError;

void SetError(KIV_OdError* error, const LoadError& e) {
    if (error == nullptr) return;
    *error = KIV_OdError{};
    error->line = e.line;
    std::strncpy(error->message, e.message.c_str(), sizeof error->message - 1);
}

KIV_Od* Load(std::string_view text, uint8_t nodeId, KIV_OdError* error) {
    LoadError e;
    if (text.empty()) {
        e.message = "empty file";
    } else if (text.size() > orukiv::od::kMaxFileBytes) {
        e.message = "larger than " + std::to_string(orukiv::od::kMaxFileBytes >> 20) + " MiB";
    } else if (nodeId != 0 && !orukiv::cia301::IsNodeId(nodeId)) {
        e.message = "node id above 127";
    } else {
        try {
            auto od = std::make_unique<KIV_Od>();
            if (orukiv::od::BuildDictionary(text, nodeId, od->entries, e)) {
                if (error != nullptr) *error = KIV_OdError{};
                return od.release();
            }
        } catch (const std::bad_alloc&) {
            e = {0, "out of memory"};
        }
    }
    SetError(error, e);
    return nullptr;
}

// The file's bytes, at most kMaxFileBytes + 1 of them.
bool ReadFile(const char* path, std::string& text, LoadError& e) {
    std::error_code ec;
    const std::filesystem::path p{std::u8string(reinterpret_cast<const char8_t*>(path))};
    if (std::filesystem::is_directory(p, ec)) {
        e.message = std::string("\"") + path + "\" is a directory";
        return false;
    }
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        e.message = std::string("cannot open \"") + path + "\"";
        return false;
    }
    char buffer[65536];
    while (text.size() <= orukiv::od::kMaxFileBytes) {
        in.read(buffer, sizeof buffer);
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (!in) break;
    }
    if (in.bad()) {
        e.message = std::string("cannot read \"") + path + "\"";
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

KIV_Od* KIV_OdLoadText(const char* text, uint32_t length, uint8_t nodeId, KIV_OdError* error) {
    if (text == nullptr) {
        SetError(error, {0, "no text"});
        return nullptr;
    }
    return Load(std::string_view(text, length), nodeId, error);
}

KIV_Od* KIV_OdLoadFile(const char* path, uint8_t nodeId, KIV_OdError* error) {
    if (path == nullptr) {
        SetError(error, {0, "no path"});
        return nullptr;
    }
    LoadError e;
    std::string text;
    try {
        if (!ReadFile(path, text, e)) {
            SetError(error, e);
            return nullptr;
        }
    } catch (const std::exception&) {
        SetError(error, {0, std::string("cannot read \"") + path + "\""});
        return nullptr;
    }
    return Load(text, nodeId, error);
}

void KIV_OdFree(KIV_Od* od) {
    delete od;
}

uint32_t KIV_OdCount(const KIV_Od* od) {
    return od == nullptr ? 0 : static_cast<uint32_t>(od->entries.size());
}

int32_t KIV_OdEntryAt(const KIV_Od* od, uint32_t position, KIV_OdEntry* entry) {
    if (od == nullptr || entry == nullptr) return KIV_OD_BAD_ARGUMENT;
    if (position >= od->entries.size()) return KIV_OD_NOT_FOUND;
    od->entries[position].Export(*entry);
    return KIV_OK;
}

int32_t KIV_OdFind(const KIV_Od* od, uint16_t index, uint8_t subIndex, KIV_OdEntry* entry) {
    if (od == nullptr || entry == nullptr) return KIV_OD_BAD_ARGUMENT;
    const auto key = static_cast<uint32_t>(index) << 8 | subIndex;
    const auto& v = od->entries;
    std::size_t lo = 0, hi = v.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const auto k = static_cast<uint32_t>(v[mid].index) << 8 | v[mid].subIndex;
        if (k < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == v.size() || v[lo].index != index || v[lo].subIndex != subIndex)
        return KIV_OD_NOT_FOUND;
    v[lo].Export(*entry);
    return KIV_OK;
}

int32_t KIV_OdFindName(const KIV_Od* od, const char* name, KIV_OdEntry* entry) {
    using orukiv::od::EqualsNoCase;
    if (od == nullptr || name == nullptr || entry == nullptr) return KIV_ERR_PARAM;
    const std::string_view wanted = orukiv::od::Trim(name);
    // "Object.Sub" for a sub-entry, the name for a VAR; then sub-entries by
    // their own name.
    for (const auto& e : od->entries) {
        bool match = false;
        if (!e.hasParent) {
            match = EqualsNoCase(e.name, wanted);
        } else if (wanted.size() == e.parentName.size() + 1 + e.name.size()) {
            match = EqualsNoCase(wanted.substr(0, e.parentName.size()), e.parentName) &&
                    wanted[e.parentName.size()] == '.' &&
                    EqualsNoCase(wanted.substr(e.parentName.size() + 1), e.name);
        }
        if (match) {
            e.Export(*entry);
            return KIV_OK;
        }
    }
    for (const auto& e : od->entries) {
        if (e.hasParent && EqualsNoCase(e.name, wanted)) {
            e.Export(*entry);
            return KIV_OK;
        }
    }
    return KIV_ERR_PARAM;
}

int32_t KIV_OdFormatValue(uint16_t dataType, const uint8_t* data, uint32_t size, char* text,
                          uint32_t capacity) {
    const orukiv::od::TypeInfo* type = orukiv::od::FindType(dataType);
    if (text == nullptr || (data == nullptr && size != 0)) return KIV_ERR_PARAM;
    if (capacity > 0) text[0] = '\0';
    if (type == nullptr) return KIV_ERR_PARAM;
    try {
        std::string out;
        if (!orukiv::od::FormatText(*type, data, size, out) || out.size() >= capacity)
            return KIV_ERR_PARAM;
        std::memcpy(text, out.c_str(), out.size() + 1);
    } catch (const std::bad_alloc&) {
        return KIV_ERR_NO_RESOURCE;
    }
    return KIV_OK;
}

int32_t KIV_OdParseValue(uint16_t dataType, const char* text, uint8_t* data, uint32_t capacity,
                         uint32_t* size) {
    const orukiv::od::TypeInfo* type = orukiv::od::FindType(dataType);
    if (type == nullptr || text == nullptr || size == nullptr || (data == nullptr && capacity != 0))
        return KIV_ERR_PARAM;
    try {
        std::vector<uint8_t> bytes;
        if (orukiv::od::ParseText(*type, text, orukiv::od::Source::kHost, 0, bytes) !=
                orukiv::od::ParseResult::kOk ||
            bytes.size() > capacity)
            return KIV_ERR_PARAM;
        if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
        *size = static_cast<uint32_t>(bytes.size());
    } catch (const std::bad_alloc&) {
        return KIV_ERR_NO_RESOURCE;
    }
    return KIV_OK;
}

}  // extern "C"
