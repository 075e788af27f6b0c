// The library instance over a bus, its events and its result codes in words.
#include "master.h"

#include <algorithm>
#include <cstdio>

namespace orukiv::tool {

// ---- EventLog ---------------------------------------------------------------

void EventLog::Add(const KIV_Event& event) {
    std::lock_guard<std::mutex> calling(handlerM_);
    {
        std::lock_guard<std::mutex> lock(m_);
        events_.push_back(event);
        if (events_.size() > kKept) {
            events_.pop_front();
            ++first_;
        }
    }
    cv_.notify_all();
    if (handler_) handler_(event);
}

std::vector<KIV_Event> EventLog::SetHandler(std::function<void(const KIV_Event&)> handler) {
    // Waits for a call of the old handler under way: once this returns, the
    // old handler is never called again and what it uses may go.
    std::lock_guard<std::mutex> calling(handlerM_);
    std::lock_guard<std::mutex> lock(m_);
    handler_ = std::move(handler);
    return {events_.begin(), events_.end()};
}

long EventLog::WaitFor(const Predicate& match, std::size_t from,
                       std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_);
    std::size_t next = from;
    long found = -1;
    cv_.wait_for(lock, timeout, [&] {
        for (next = std::max(next, first_); next < first_ + events_.size(); ++next) {
            if (match(events_[next - first_])) {
                found = static_cast<long>(next);
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<KIV_Event> EventLog::Since(std::size_t from) const {
    std::lock_guard<std::mutex> lock(m_);
    const std::size_t start = std::max(from, first_) - first_;
    if (start >= events_.size()) return {};
    return {events_.begin() + static_cast<long>(start), events_.end()};
}

std::size_t EventLog::Size() const {
    std::lock_guard<std::mutex> lock(m_);
    return first_ + events_.size();
}

std::size_t EventLog::Kept() const {
    std::lock_guard<std::mutex> lock(m_);
    return events_.size();
}

// ---- Master -----------------------------------------------------------------

Master::Master(Bus& bus, FrameTrace* trace) : bus_(bus), trace_(trace) {}

Master::~Master() {
    if (!handle_) return;
    bus_.SetArrivalHandler({});  // no notification may reach a destroyed handle
    KIV_Destroy(handle_);
}

bool Master::Start() {
    KIV_InitParam p{};
    p.canRecv = &Master::CanRecv;
    p.canSend = &Master::CanSend;
    p.onEvent = &Master::OnEvent;
    p.userData = this;
    handle_ = KIV_Init(&p);
    if (!handle_) return false;
    // Arrivals end the worker's sleep in low-latency mode; in the default
    // timing KIV_Notify does nothing.
    const KIV_Handle h = handle_;
    bus_.SetArrivalHandler([h] { KIV_Notify(h); });
    return true;
}

int32_t Master::CanRecv(KIV_CanFrame* frames, uint32_t maxCount, void* user) {
    auto* self = static_cast<Master*>(user);
    const int n = self->bus_.Receive(frames, static_cast<int>(maxCount));
    if (self->trace_)
        for (int i = 0; i < n; ++i) self->trace_->Frame(frames[i]);
    return n;
}

int32_t Master::CanSend(const KIV_CanFrame* frame, void* user) {
    auto* self = static_cast<Master*>(user);
    const int32_t result = self->bus_.Send(*frame);
    if (result == 0 && self->trace_) self->trace_->Frame(*frame);  // only what went out
    if (result == 0) {
        std::lock_guard<std::mutex> lock(self->observerM_);
        if (self->observer_) self->observer_(*frame);
    }
    return result;
}

void Master::SetSendObserver(std::function<void(const KIV_CanFrame&)> observer) {
    std::lock_guard<std::mutex> lock(observerM_);
    observer_ = std::move(observer);
}

void Master::OnEvent(const KIV_Event* event, void* user) {
    static_cast<Master*>(user)->events_.Add(*event);
}

// ---- Result codes -----------------------------------------------------------

namespace {

struct ResultCode {
    int32_t code;
    const char* name;
    const char* meaning;
};

const ResultCode kResultCodes[] = {
    {KIV_OK, "KIV_OK", "done"},
    {KIV_ERR_PARAM, "KIV_ERR_PARAM", "argument refused or unexpected answer"},
    {KIV_ERR_TIMEOUT, "KIV_ERR_TIMEOUT", "no complete answer in time"},
    {KIV_ERR_NO_RESOURCE, "KIV_ERR_NO_RESOURCE", "no free request slot or SDO channel"},
    {KIV_ERR_ABORTED, "KIV_ERR_ABORTED", "the server aborted the transfer"},
    {KIV_ERR_NO_SEND, "KIV_ERR_NO_SEND", "the frame could not be sent"},
    {KIV_ERR_CANCELLED, "KIV_ERR_CANCELLED", "cancelled; a transfer under way was aborted"},
    {KIV_ERR_AMBIGUOUS, "KIV_ERR_AMBIGUOUS",
     "several slaves answered: more than one is in configuration state"},
    {KIV_ERR_MISMATCH, "KIV_ERR_MISMATCH", "the node's value differs from the expected one"},
};

const ResultCode* FindResultCode(int32_t result) {
    for (const ResultCode& r : kResultCodes)
        if (r.code == result) return &r;
    return nullptr;
}

}  // namespace

std::string ResultName(int32_t result) {
    const ResultCode* r = FindResultCode(result);
    return r ? r->name : "error " + std::to_string(result);
}

std::string ResultText(int32_t result, uint32_t abortCode) {
    char buf[64];
    if (result == KIV_ERR_ABORTED && abortCode != 0) {
        std::snprintf(buf, sizeof buf, "KIV_ERR_ABORTED: SDO abort 0x%08X", abortCode);
        return std::string(buf) + " (" + KIV_SdoAbortText(abortCode) + ")";
    }
    if (const ResultCode* r = FindResultCode(result))
        return std::string(r->name) + " (" + r->meaning + ")";
    std::snprintf(buf, sizeof buf, "error %d (from the bus adapter)", static_cast<int>(result));
    return buf;
}

}  // namespace orukiv::tool
