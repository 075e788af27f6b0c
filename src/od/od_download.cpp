// Configuration download of DCFs and concise DCFs.
#include "od/od_download.h"

#include <cstring>
#include <new>

#include "orukiv_common/byte_order.h"
#include "stack/cia301.h"

namespace orukiv::od {

namespace {

using cia301::kPdoCobIdInvalid;
using cia301::kPdoCobIdSub;
constexpr uint8_t kPdoCountSub = cia301::kPdoMapCountSub;
constexpr uint32_t kConciseHeader = 4;     // u32 entry count
constexpr uint32_t kConciseEntryHead = 7;  // u16 index, u8 sub-index, u32 size

bool Writable(const Entry& e) {
    return e.access == KIV_OD_ACCESS_WO || e.access == KIV_OD_ACCESS_RW ||
           e.access == KIV_OD_ACCESS_RWR || e.access == KIV_OD_ACCESS_RWW;
}

class Planner {
public:
    Planner(const KIV_Od& dcf, Plan& plan) : entries_(dcf.entries), plan_(plan) {}

    bool Run(uint16_t& badIndex, uint8_t& badSub);

private:
    // The entries of object index (a range of entries_).
    std::pair<std::size_t, std::size_t> Object(uint16_t index) const;
    const Entry* Find(uint16_t index, uint8_t sub) const;
    // Adds e's ParameterValue when it is to be written; false when it uses
    // $NODEID unresolved.
    bool Add(const Entry& e, std::vector<Write>& to);
    bool AddPdo(uint16_t commIndex, uint16_t mapIndex);

    const std::vector<Entry>& entries_;
    Plan& plan_;
    const Entry* bad_ = nullptr;
};

std::pair<std::size_t, std::size_t> Planner::Object(uint16_t index) const {
    std::size_t lo = 0, hi = entries_.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (entries_[mid].index < index)
            lo = mid + 1;
        else
            hi = mid;
    }
    std::size_t end = lo;
    while (end < entries_.size() && entries_[end].index == index) ++end;
    return {lo, end};
}

const Entry* Planner::Find(uint16_t index, uint8_t sub) const {
    const auto [begin, end] = Object(index);
    for (std::size_t i = begin; i < end; ++i)
        if (entries_[i].subIndex == sub) return &entries_[i];
    return nullptr;
}

bool Planner::Add(const Entry& e, std::vector<Write>& to) {
    const Value& v = e.parameterValue;
    if (!v.read && !v.nodeIdOpen) return true;
    if (!Writable(e)) {
        ++plan_.skipped;
        return true;
    }
    if (v.nodeIdOpen) {
        bad_ = &e;
        return false;
    }
    if (v.bytes.empty()) return true;
    to.push_back({e.index, e.subIndex, v.bytes.data(), static_cast<uint32_t>(v.bytes.size())});
    return true;
}

bool Planner::AddPdo(uint16_t commIndex, uint16_t mapIndex) {
    // The COB-ID: the DCF's value, else its default.
    const Entry* cob = Find(commIndex, kPdoCobIdSub);
    const Value* cobValue = nullptr;
    if (cob != nullptr && Writable(*cob)) {
        if (cob->parameterValue.read || cob->parameterValue.nodeIdOpen)
            cobValue = &cob->parameterValue;
        else if (cob->defaultValue.read || cob->defaultValue.nodeIdOpen)
            cobValue = &cob->defaultValue;
    }
    if (cobValue != nullptr && (cobValue->nodeIdOpen || cobValue->bytes.size() != 4)) {
        bad_ = cob;
        return false;
    }
    pdo::Procedure p;
    p.commIndex = commIndex;
    p.mapIndex = mapIndex;
    if (cobValue != nullptr) {
        auto& invalid = plan_.owned.emplace_back(cobValue->bytes);
        invalid[3] |= static_cast<uint8_t>(kPdoCobIdInvalid >> 24);
        p.cobDisabled = invalid.data();
        p.cobFinal = cobValue->bytes.data();
    }
    // The mapping: with a count, the entries 1..count; else as they are.
    std::vector<Write> entries, params;
    const auto [mapBegin, mapEnd] = Object(mapIndex);
    const Entry* count = Find(mapIndex, kPdoCountSub);
    if (count != nullptr && count->parameterValue.read && Writable(*count) &&
        count->parameterValue.bytes.size() == 1) {
        p.count = count->parameterValue.bytes.data();
        for (std::size_t i = mapBegin; i < mapEnd; ++i) {
            const Entry& e = entries_[i];
            if (e.subIndex == kPdoCountSub) continue;
            if (e.subIndex > *p.count) {
                if (e.parameterValue.read) ++plan_.skipped;
                continue;
            }
            if (!Add(e, entries)) return false;
        }
    } else {
        for (std::size_t i = mapBegin; i < mapEnd; ++i)
            if (!Add(entries_[i], entries)) return false;
    }
    // The other communication parameters.
    const auto [commBegin, commEnd] = Object(commIndex);
    for (std::size_t i = commBegin; i < commEnd; ++i) {
        const Entry& e = entries_[i];
        if (e.subIndex == kPdoCobIdSub && cobValue != nullptr) continue;
        if (!Add(e, params)) return false;
    }
    p.entries = entries.data();
    p.entryCount = entries.size();
    p.params = params.data();
    p.paramCount = params.size();
    const std::size_t at = plan_.writes.size();
    plan_.writes.resize(at + pdo::StepCount(p));
    pdo::Steps(p, plan_.writes.data() + at);
    return true;
}

bool Planner::Run(uint16_t& badIndex, uint8_t& badSub) {
    // Each PDO is written whole at its first record; later entries of its
    // records are then done.
    std::vector<bool> done(cia301::kPdoSlots, false);
    bool ok = true;
    for (std::size_t i = 0; ok && i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        if (!cia301::IsPdoRecord(e.index)) {
            ok = Add(e, plan_.writes);
            continue;
        }
        const uint16_t comm = cia301::PdoCommunicationIndex(e.index);
        const std::size_t slot = cia301::PdoSlot(comm);
        if (done[slot]) continue;
        done[slot] = true;
        ok = AddPdo(comm, static_cast<uint16_t>(comm + cia301::kPdoMappingOffset));
    }
    if (!ok && bad_ != nullptr) {
        badIndex = bad_->index;
        badSub = bad_->subIndex;
    }
    return ok;
}

}  // namespace

bool BuildPlan(const KIV_Od& dcf, Plan& plan, uint16_t& badIndex, uint8_t& badSub) {
    return Planner(dcf, plan).Run(badIndex, badSub);
}

bool DecodeConcise(const uint8_t* data, uint32_t size, std::vector<Write>& writes) {
    if (size < kConciseHeader) return false;
    const uint32_t count = LoadLe32(data);
    // Each entry takes at least 8 bytes: a count beyond that is malformed.
    if (count > (size - kConciseHeader) / (kConciseEntryHead + 1)) return false;
    uint32_t pos = kConciseHeader;
    writes.clear();
    writes.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (size - pos < kConciseEntryHead) return false;
        const auto index = LoadLe16(data + pos);
        const uint8_t sub = data[pos + 2];
        const uint32_t length = LoadLe32(data + pos + 3);
        pos += kConciseEntryHead;
        if (length == 0 || length > size - pos) return false;
        writes.push_back({index, sub, data + pos, length});
        pos += length;
    }
    return pos == size;
}

std::vector<uint8_t> EncodeConcise(const std::vector<Write>& writes) {
    std::size_t total = kConciseHeader;
    for (const Write& w : writes) total += kConciseEntryHead + w.size;
    std::vector<uint8_t> out;
    out.reserve(total);
    auto put = [&out](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(writes.size(), 4);
    for (const Write& w : writes) {
        put(w.index, 2);
        put(w.subIndex, 1);
        put(w.size, 4);
        out.insert(out.end(), w.data, w.data + w.size);
    }
    return out;
}

int32_t RunWrites(KIV_Handle handle, uint8_t node, const std::vector<Write>& writes,
                  uint32_t skipped, KIV_ConfigReport* report) {
    const bool goOn = report != nullptr && (report->flags & KIV_CONFIG_CONTINUE) != 0;
    return pdo::RunWrites(handle, node, writes.data(), writes.size(), skipped, goOn, false, report);
}

}  // namespace orukiv::od

namespace {

using orukiv::od::Plan;

// Refuses the arguments or a plan before anything is sent.
int32_t Refuse(KIV_ConfigReport* report, uint16_t index, uint8_t sub) {
    if (report != nullptr) {
        const uint32_t flags = report->flags;
        *report = KIV_ConfigReport{};
        report->flags = flags;
        report->failedIndex = index;
        report->failedSubIndex = sub;
        report->failedResult = KIV_ERR_PARAM;
    }
    return KIV_ERR_PARAM;
}

}  // namespace

extern "C" {

int32_t KIV_ConfigureNode(KIV_Handle handle, uint8_t node, const KIV_Od* dcf,
                          KIV_ConfigReport* report) {
    if (handle == nullptr || dcf == nullptr || !orukiv::cia301::IsNodeId(node))
        return Refuse(report, 0, 0);
    try {
        Plan plan;
        uint16_t badIndex = 0;
        uint8_t badSub = 0;
        if (!orukiv::od::BuildPlan(*dcf, plan, badIndex, badSub))
            return Refuse(report, badIndex, badSub);
        return orukiv::od::RunWrites(handle, node, plan.writes, plan.skipped, report);
    } catch (const std::bad_alloc&) {
        return KIV_ERR_NO_RESOURCE;
    }
}

int32_t KIV_OdToConciseDcf(const KIV_Od* dcf, uint8_t* out, uint32_t capacity, uint32_t* size) {
    if (dcf == nullptr || size == nullptr || (out == nullptr && capacity != 0))
        return KIV_ERR_PARAM;
    try {
        Plan plan;
        uint16_t badIndex = 0;
        uint8_t badSub = 0;
        if (!orukiv::od::BuildPlan(*dcf, plan, badIndex, badSub)) return KIV_ERR_PARAM;
        const std::vector<uint8_t> bytes = orukiv::od::EncodeConcise(plan.writes);
        if (bytes.size() > UINT32_MAX) return KIV_ERR_PARAM;
        *size = static_cast<uint32_t>(bytes.size());
        if (bytes.size() > capacity) return KIV_ERR_PARAM;
        std::memcpy(out, bytes.data(), bytes.size());
    } catch (const std::bad_alloc&) {
        return KIV_ERR_NO_RESOURCE;
    }
    return KIV_OK;
}

int32_t KIV_WriteConciseDcf(KIV_Handle handle, uint8_t node, const uint8_t* data, uint32_t size,
                            KIV_ConfigReport* report) {
    if (handle == nullptr || data == nullptr || !orukiv::cia301::IsNodeId(node))
        return Refuse(report, 0, 0);
    try {
        std::vector<orukiv::od::Write> writes;
        if (!orukiv::od::DecodeConcise(data, size, writes)) return Refuse(report, 0, 0);
        return orukiv::od::RunWrites(handle, node, writes, 0, report);
    } catch (const std::bad_alloc&) {
        return KIV_ERR_NO_RESOURCE;
    }
}

}  // extern "C"
