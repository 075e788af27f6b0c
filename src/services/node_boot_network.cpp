// KIV_BootNetwork: the nodes of a network list boot side by side (up to 16
// at a time, each on a thread of its own) by the KIV_BootNode procedure;
// the network is started only when every mandatory slave booted.
#include <atomic>
#include <cstring>
#include <vector>

#include "log/log.h"
#include "services/node_boot.h"
#include "stack/cancel.h"
#include "stack/cia301.h"
#include "instance/co_stack.h"

namespace orukiv {

namespace {

// Boots run side by side up to the number of SDO channels per direction:
// more would find no free channel.
constexpr uint32_t kMaxParallelBoots = 16;

struct NodeJob {
    uint8_t node;
    KIV_BootParam param;  // KIV_BOOT_START cleared: starting is the network's
    uint32_t mark;        // the node's cancel mark when the network boot began
    int32_t result;
};

// The boots of one network: each thread takes the next node not yet taken.
struct Pool {
    KIV_Handle handle;
    std::vector<NodeJob>* jobs;
    KIV_BootReport* reports;
    std::atomic<uint32_t> next{0};
};

unsigned RunJobs(void* arg) {
    auto* pool = static_cast<Pool*>(arg);
    for (;;) {
        const uint32_t i = pool->next.fetch_add(1);
        if (i >= pool->jobs->size()) return 0;
        NodeJob& job = (*pool->jobs)[i];
        job.result = BootOneNode(pool->handle, job.node, job.param, pool->reports[i], job.mark);
    }
}

bool ListValid(const KIV_BootNetParam* nodes, uint32_t count) {
    bool seen[128] = {};
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t n = nodes[i].node;
        if (!cia301::IsNodeId(n) || seen[n] || !BootParamValid(nodes[i].param)) return false;
        seen[n] = true;
    }
    return true;
}

// Publishes the list to the worker (for status 'A') for the boot's duration.
class ListedScope {
public:
    ListedScope(KIV_Handle h, const KIV_BootNetParam* nodes, uint32_t count) : h_(h) {
        for (auto& f : h_->netBootListed) f.store(0, std::memory_order_relaxed);
        for (uint32_t i = 0; i < count; ++i)
            h_->netBootListed[nodes[i].node].store(1, std::memory_order_relaxed);
        h_->netBootActive.fetch_add(1, std::memory_order_acq_rel);
    }
    ~ListedScope() { h_->netBootActive.fetch_sub(1, std::memory_order_acq_rel); }
    ListedScope(const ListedScope&) = delete;
    ListedScope& operator=(const ListedScope&) = delete;

private:
    KIV_Handle h_;
};

}  // namespace

}  // namespace orukiv

using namespace orukiv;

extern "C" int32_t KIV_BootNetwork(KIV_Handle handle, const KIV_BootNetParam* nodes, uint32_t count,
                                   uint32_t flags, KIV_BootReport* reports) {
    if (handle == nullptr || nodes == nullptr || reports == nullptr || count == 0 ||
        count > cia301::kMaxNodeId || !ListValid(nodes, count))
        return KIV_ERR_PARAM;
    if (OnOwnWorker(handle)) {
        Log().Error("kiv KIV_BootNetwork called in a callback of its own instance: refused");
        return KIV_ERR_PARAM;
    }
    ListedScope listed(handle, nodes, count);
    const uint32_t netMark = CancelMark(handle, 0);
    std::vector<NodeJob> jobs(count);
    for (uint32_t i = 0; i < count; ++i) {
        jobs[i] = NodeJob{nodes[i].node, nodes[i].param, CancelMark(handle, nodes[i].node), KIV_OK};
        jobs[i].param.flags &= ~KIV_BOOT_START;
    }
    Pool pool;
    pool.handle = handle;
    pool.jobs = &jobs;
    pool.reports = reports;
    std::vector<platform::Thread*> threads;
    for (uint32_t i = 1; i < count && i < kMaxParallelBoots; ++i)
        if (platform::Thread* t = platform::ThreadStart(&RunJobs, &pool)) threads.push_back(t);
    RunJobs(&pool);  // this thread takes part (and boots all when none started)
    for (platform::Thread* t : threads) {
        while (!platform::ThreadJoin(t, 1000)) {
        }
        platform::ThreadClose(t);
    }

    int32_t failed = KIV_OK;
    if (CancelledSince(handle, 0, netMark)) failed = KIV_ERR_CANCELLED;  // nothing is started
    for (uint32_t i = 0; i < count && failed == KIV_OK; ++i)
        if ((nodes[i].param.flags & KIV_BOOT_MANDATORY) != 0 && jobs[i].result != KIV_OK)
            failed = jobs[i].result;
    if (failed != KIV_OK) {
        Log().Warn("kiv network boot: a mandatory slave failed (%d); the network is not started",
                   failed);
        if ((flags & KIV_BOOTNET_STOP_ALL) != 0)
            (void)KIV_NMT_SendCommand(handle, 0, KIV_NMT_CMD_STOP);
        return failed;
    }
    if ((flags & KIV_BOOTNET_START_ALL) != 0) {
        const int32_t rc = KIV_NMT_SendCommand(handle, 0, KIV_NMT_CMD_START);
        if (rc != KIV_OK) return rc;
        for (uint32_t i = 0; i < count; ++i)
            if (jobs[i].result == KIV_OK) reports[i].nmtState = KIV_NMT_STATE_OPERATIONAL;
        return KIV_OK;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if ((nodes[i].param.flags & KIV_BOOT_START) == 0 || jobs[i].result != KIV_OK ||
            reports[i].status == 'L')
            continue;
        reports[i].step = KIV_BOOT_STEP_START;
        const int32_t rc = KIV_NMT_SendCommand(handle, nodes[i].node, KIV_NMT_CMD_START);
        if (rc != KIV_OK) {
            reports[i].result = rc;
            return rc;
        }
        reports[i].step = KIV_BOOT_STEP_DONE;
        reports[i].nmtState = KIV_NMT_STATE_OPERATIONAL;
    }
    return KIV_OK;
}
