// Objects by name and values by type: read, write and the monitor's SDO
// events with the nodes' dictionaries.
#include <cstdio>

#include "cmd_od.h"
#include "commands.h"

namespace orukiv::tool {

namespace {

struct Target {
    uint16_t index = 0;
    uint8_t sub = 0;
    std::optional<KIV_OdEntry> entry;  // when a dictionary knows it
};

// INDEX SUB, NAME, or NAME SUB (an ARRAY's or RECORD's name).
std::optional<Target> Resolve(Session& s, uint8_t node, const std::vector<std::string>& args,
                              std::string& error) {
    Target t;
    std::optional<uint64_t> sub;
    if (args.size() == 2 && !(sub = ParseUnsigned(args[1], 0xFF))) {
        error = "SUB: '" + args[1] + "' is not a number from 0 to 255";
        return std::nullopt;
    }
    if (const auto index = ParseUnsigned(args[0], 0xFFFF)) {
        if (!sub) {
            error = "give INDEX and SUB, or an object's name";
            return std::nullopt;
        }
        t.index = static_cast<uint16_t>(*index);
        t.sub = static_cast<uint8_t>(*sub);
        t.entry = s.objects().Find(node, t.index, t.sub);
        return t;
    }
    const KIV_Od* od = s.objects().Of(node);
    if (!od) {
        error = "no EDS for node " + std::to_string(node) + " to find '" + args[0] +
                "' in (give --eds " + std::to_string(node) + "=FILE, or INDEX SUB)";
        return std::nullopt;
    }
    t.entry = FindByName(od, args[0],
                         sub ? std::optional<uint8_t>(static_cast<uint8_t>(*sub)) : std::nullopt);
    if (!t.entry) {
        error = "no object '" + args[0] + "'" + (sub ? " with sub-index " + args[1] : "") +
                " in the EDS of node " + std::to_string(node);
        return std::nullopt;
    }
    t.index = t.entry->index;
    t.sub = t.entry->subIndex;
    return t;
}

std::string Describe(const KIV_OdEntry& e) {
    return "[" + EntryName(e) + ", " + DataTypeName(e.dataType) + "]";
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "orukiv: %s\n", message.c_str());
    return 1;
}

}  // namespace

bool LoadObjectBook(Session& s) {
    std::string error;
    if (s.objects().Load(s.options().eds, s.bus().Simulation() != nullptr, error)) return true;
    std::fprintf(stderr, "orukiv: %s\n", error.c_str());
    return false;
}

int CmdReadObject(Session& s, uint8_t node, const std::vector<std::string>& object,
                  const ValueType* type) {
    std::string error;
    const auto t = Resolve(s, node, object, error);
    if (!t) return Fail(error);
    if (!t->entry || type) return CmdRead(s, node, t->index, t->sub, type);
    const Access a = s.Read(node, t->index, t->sub);
    const std::string name = ObjectName(node, t->index, t->sub);
    if (!a.ok()) return Fail("read " + name + " " + Describe(*t->entry) + " failed: " + a.Error());
    std::printf("%s = %s  %s\n", name.c_str(),
                FormatTyped(t->entry->dataType, a.data.data(), a.data.size()).c_str(),
                Describe(*t->entry).c_str());
    return 0;
}

int CmdWriteObject(Session& s, uint8_t node, const std::vector<std::string>& objectAndValue,
                   const ValueType* type) {
    const std::vector<std::string> object(objectAndValue.begin(), objectAndValue.end() - 1);
    const std::string& value = objectAndValue.back();
    std::string error;
    const auto t = Resolve(s, node, object, error);
    if (!t) return Fail(error);
    if (!t->entry || type) return CmdWrite(s, node, t->index, t->sub, value, type);
    const auto bytes = ParseTyped(t->entry->dataType, value, error);
    if (!bytes) return Fail(error + " for " + EntryName(*t->entry));
    const Access a = s.Write(node, t->index, t->sub, *bytes);
    const std::string what = ObjectName(node, t->index, t->sub) + " <- " +
                             FormatTyped(t->entry->dataType, bytes->data(), bytes->size()) + " " +
                             Describe(*t->entry);
    if (!a.ok()) return Fail("write " + what + " failed: " + a.Error());
    std::printf("%s: done\n", what.c_str());
    return 0;
}

std::string SdoObjectNote(Session& s, const KIV_Event& event) {
    if (event.type != KIV_EVENT_SDO || event.body.sdo.sdoKind == KIV_SDO_OTHER) return {};
    const auto& sdo = event.body.sdo;
    const auto e =
        s.objects().Find(static_cast<uint8_t>(event.node & 0x7F), sdo.index, sdo.subIndex);
    if (!e) return {};
    std::string note = "  [" + EntryName(*e);
    // Expedited data of the entry's own size is its value.
    const bool data = sdo.sdoKind == KIV_SDO_WRITE_REQUEST || sdo.sdoKind == KIV_SDO_READ_RESPONSE;
    const uint32_t fixed = e->dataType == KIV_OD_BOOLEAN  ? 1
                           : e->dataType == KIV_OD_REAL32 ? 4
                                                          : IntegerSize(e->dataType);
    if (data && sdo.sdoLength > 0 && sdo.sdoLength == fixed)
        note += " = " + FormatTyped(e->dataType, sdo.sdoData, sdo.sdoLength);
    return note + "]";
}

}  // namespace orukiv::tool
