// The virtual bus, its endpoints and the host endpoint.
#include <algorithm>
#include <cstring>

#include "orukiv_sim/sim.h"

namespace orukiv::sim {

KIV_CanFrame MakeFrame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    KIV_CanFrame f;
    std::memset(&f, 0, sizeof f);
    f.id = id;
    std::size_t n = 0;
    for (uint8_t b : bytes) {
        if (n == sizeof f.data) break;
        f.data[n++] = b;
    }
    f.dlc = static_cast<uint8_t>(n);
    return f;
}

KIV_CanFrame MakeSdoFrame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    KIV_CanFrame f = MakeFrame(id, bytes);
    f.dlc = 8;
    return f;
}

// ---- Endpoint ---------------------------------------------------------------

Endpoint::Endpoint(VirtualBus& bus, uint32_t id, std::string name, Handler handler)
    : bus_(bus), id_(id), name_(std::move(name)), handler_(std::move(handler)) {}

bool Endpoint::Send(const KIV_CanFrame& frame) {
    {
        std::lock_guard<std::mutex> lock(m_);
        if (closed_) return false;
    }
    if (bus_.rate_.load(std::memory_order_acquire) != 0)
        return bus_.Enqueue(*this, frame, bus_.TimeLineNow());
    bus_.Send(this, frame);
    return true;
}

void Endpoint::SendAfter(const KIV_CanFrame& frame, std::chrono::microseconds delay) {
    if (delay.count() <= 0) {
        Send(frame);
        return;
    }
    if (bus_.rate_.load(std::memory_order_acquire) != 0) {
        // Bit timing: queued now, due `delay` after now on the time line.
        {
            std::lock_guard<std::mutex> lock(m_);
            if (closed_) return;
        }
        bus_.Enqueue(*this, frame, bus_.TimeLineNow() + delay);
        return;
    }
    bus_.SendAfter(*this, frame, delay);
}

void Endpoint::SetTxQueueDepth(std::size_t depth) {
    std::lock_guard<std::mutex> lock(bus_.wireM_);
    txDepth_ = depth;
    txDepthSet_ = true;
}

void Endpoint::SetSentHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(hookM_);
    onSent_ = std::move(handler);
}

void Endpoint::Deliver(const KIV_CanFrame& frame) {
    std::unique_lock<std::mutex> lock(m_);
    if (closed_) return;
    if (!handler_) {
        queue_.push_back(frame);
        lock.unlock();
        cv_.notify_all();
        RunHook(onArrival_);
        return;
    }
    // The handler runs without the lock: it may send, and what it sends may
    // come back here from another endpoint's handler.
    ++inFlight_;
    lock.unlock();
    handler_(frame);
    lock.lock();
    if (--inFlight_ == 0) cv_.notify_all();
}

void Endpoint::SetArrivalHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(hookM_);
    onArrival_ = std::move(handler);
}

void Endpoint::RunHook(const std::function<void()>& hook) {
    std::lock_guard<std::mutex> lock(hookM_);
    if (hook) hook();
}

bool Endpoint::TryPop(KIV_CanFrame& out) {
    std::lock_guard<std::mutex> lock(m_);
    if (queue_.empty()) return false;
    out = queue_.front();
    queue_.pop_front();
    return true;
}

std::size_t Endpoint::PopMany(KIV_CanFrame* out, std::size_t maxCount) {
    std::lock_guard<std::mutex> lock(m_);
    std::size_t n = 0;
    while (n < maxCount && !queue_.empty()) {
        out[n++] = queue_.front();
        queue_.pop_front();
    }
    return n;
}

bool Endpoint::WaitPop(KIV_CanFrame& out) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return false;
    out = queue_.front();
    queue_.pop_front();
    return true;
}

bool Endpoint::WaitPopFor(KIV_CanFrame& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, timeout, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return false;
    out = queue_.front();
    queue_.pop_front();
    return true;
}

std::size_t Endpoint::QueueSize() const {
    std::lock_guard<std::mutex> lock(m_);
    return queue_.size();
}

void Endpoint::ClearQueue() {
    std::lock_guard<std::mutex> lock(m_);
    queue_.clear();
}

void Endpoint::Close() {
    std::unique_lock<std::mutex> lock(m_);
    closed_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return inFlight_ == 0; });
}

// ---- VirtualBus -------------------------------------------------------------

VirtualBus::VirtualBus() : endpoints_(std::make_shared<const EndpointList>()) {}

VirtualBus::~VirtualBus() {
    {
        std::lock_guard<std::mutex> lock(timerM_);
        timerStop_ = true;
    }
    timerCv_.notify_all();
    if (timer_.joinable()) timer_.join();
    {
        std::lock_guard<std::mutex> lock(wireM_);
        wireStop_ = true;
    }
    wireCv_.notify_all();
    if (wire_.joinable()) wire_.join();
}

std::shared_ptr<Endpoint> VirtualBus::Attach(std::string name, Endpoint::Handler handler) {
    std::size_t depth = 0;
    {
        std::lock_guard<std::mutex> wire(wireM_);  // never held while taking m_
        depth = timing_.txQueueDepth;
    }
    std::lock_guard<std::mutex> lock(m_);
    std::shared_ptr<Endpoint> ep(
        new Endpoint(*this, nextId_++, std::move(name), std::move(handler)));
    ep->txDepth_ = depth;
    auto list = std::make_shared<EndpointList>(*endpoints_);
    list->push_back(ep);
    endpoints_ = std::move(list);
    return ep;
}

void VirtualBus::Detach(const std::shared_ptr<Endpoint>& endpoint) {
    if (!endpoint) return;
    endpoint->Close();
    std::lock_guard<std::mutex> lock(m_);
    auto list = std::make_shared<EndpointList>(*endpoints_);
    list->erase(std::remove(list->begin(), list->end(), endpoint), list->end());
    endpoints_ = std::move(list);
}

void VirtualBus::AddTrace(const Endpoint* from, const KIV_CanFrame& frame, Clock::time_point at) {
    if (!tracing_.load(std::memory_order_relaxed)) return;
    TraceEntry e{frame, at, from ? from->Id() : 0u, from ? from->Name() : std::string()};
    {
        std::lock_guard<std::mutex> lock(traceM_);
        trace_.push_back(std::move(e));
    }
    traceCv_.notify_all();
}

void VirtualBus::SetLoss(double share, uint32_t seed) {
    std::lock_guard<std::mutex> lock(lossM_);
    lossShare_ = share;
    lossRng_.seed(seed);
    lossy_.store(share > 0.0);
}

bool VirtualBus::Lost() {
    if (!lossy_.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(lossM_);
    return static_cast<double>(lossRng_() >> 8) * (1.0 / 16777216.0) < lossShare_;
}

void VirtualBus::Send(const Endpoint* from, const KIV_CanFrame& frame) {
    if (Lost()) return;
    std::shared_ptr<const EndpointList> list;
    {
        std::lock_guard<std::mutex> lock(m_);
        list = endpoints_;
    }
    AddTrace(from, frame, Clock::now());
    for (const auto& ep : *list) {
        if (ep.get() != from) ep->Deliver(frame);
    }
}

// ---- Bit timing -------------------------------------------------------------

bool VirtualBus::SetBitTiming(const BitTiming& timing) {
    if (timing.bitRate != 0 && (timing.bitRate < 10000 || timing.bitRate > 1000000)) return false;
    std::shared_ptr<const EndpointList> list;
    {
        std::lock_guard<std::mutex> lock(m_);
        list = endpoints_;
    }
    std::lock_guard<std::mutex> lock(wireM_);
    timing_ = timing;
    rate_.store(timing.bitRate, std::memory_order_release);
    for (const auto& ep : *list)
        if (!ep->txDepthSet_) ep->txDepth_ = timing.txQueueDepth;
    busFree_ = Clock::now();
    if (timing.bitRate != 0 && !wire_.joinable()) wire_ = std::thread([this] { WireLoop(); });
    return true;
}

BitTiming VirtualBus::Timing() const {
    std::lock_guard<std::mutex> lock(wireM_);
    return timing_;
}

void VirtualBus::SetHold(bool on) {
    {
        std::lock_guard<std::mutex> lock(wireM_);
        hold_ = on;
        if (!on) busFree_ = std::max(busFree_, Clock::now());
    }
    wireCv_.notify_all();
}

std::chrono::nanoseconds VirtualBus::BusyTime() const {
    std::lock_guard<std::mutex> lock(wireM_);
    return busy_;
}

namespace {
// Frames that are the same bits on the bus: identifier, RTR, DLC and data.
bool SameFrame(const KIV_CanFrame& a, const KIV_CanFrame& b) {
    if (a.id != b.id || (a.rtr != 0) != (b.rtr != 0) || a.dlc != b.dlc) return false;
    const std::size_t n = a.rtr != 0 ? 0u : std::min<std::size_t>(a.dlc, 8);
    return std::memcmp(a.data, b.data, n) == 0;
}

// Set on the bus's thread while it delivers a frame: the end of that frame
// on the bus's time line, which is "now" for what the receivers send in
// answer (their own sends, delays included, count from it).
thread_local const VirtualBus* t_deliveringBus = nullptr;
thread_local Clock::time_point t_deliveryEnd{};
}  // namespace

Clock::time_point VirtualBus::TimeLineNow() const {
    return t_deliveringBus == this ? t_deliveryEnd : Clock::now();
}

bool VirtualBus::Enqueue(Endpoint& from, const KIV_CanFrame& frame, Clock::time_point at) {
    {
        std::lock_guard<std::mutex> lock(wireM_);
        if (timing_.bitRate == 0) {
            // Timing turned off meanwhile: the instant path.
        } else {
            if (from.txDepth_ != 0 && from.tx_.size() >= from.txDepth_) return false;
            from.tx_.push_back(Endpoint::Queued{frame, at});
            wireCv_.notify_all();
            return true;
        }
    }
    Send(&from, frame);
    return true;
}

void VirtualBus::WireLoop() {
    std::unique_lock<std::mutex> lock(wireM_);
    while (!wireStop_) {
        // m_ and wireM_ are never held together.
        lock.unlock();
        std::shared_ptr<const EndpointList> list;
        {
            std::lock_guard<std::mutex> g(m_);
            list = endpoints_;
        }
        lock.lock();
        if (wireStop_) break;
        // Arbitration among the heads of the transmit queues: the frames
        // already waiting when the bus became free contend by identifier;
        // without any, the first one queued after goes next.
        std::shared_ptr<Endpoint> winner;
        for (const auto& ep : *list) {
            if (ep->tx_.empty()) continue;
            if (!winner) {
                winner = ep;
                continue;
            }
            const Endpoint::Queued& a = ep->tx_.front();
            const Endpoint::Queued& b = winner->tx_.front();
            const bool aWaiting = a.at <= busFree_;
            const bool bWaiting = b.at <= busFree_;
            if (aWaiting && bWaiting ? a.frame.id < b.frame.id
                                     : (aWaiting != bWaiting ? aWaiting : a.at < b.at))
                winner = ep;
        }
        if (!winner || hold_ || timing_.bitRate == 0) {
            wireCv_.wait(lock);
            continue;
        }
        const Endpoint::Queued head = winner->tx_.front();
        const auto length = std::chrono::nanoseconds(static_cast<int64_t>(FrameBits(head.frame)) *
                                                     1000000000 / timing_.bitRate);
        const Clock::time_point start = std::max(busFree_, head.at);
        if (start > Clock::now()) {  // a delayed answer: contend again when it is due
            wireCv_.wait_until(lock, start);
            continue;
        }
        const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(length);
        // The frame holds its place in the queue until it has left the bus.
        while (!wireStop_ && Clock::now() < end) wireCv_.wait_until(lock, end);
        if (wireStop_) break;
        if (winner->tx_.empty()) continue;  // cleared meanwhile
        // Identical frames at the heads of other queues that were due by the
        // end of the frame's first bit started with it: they are the same
        // frame on the bus.
        const auto bit = std::chrono::nanoseconds(1000000000 / timing_.bitRate);
        std::vector<std::shared_ptr<Endpoint>> senders{winner};
        for (const auto& ep : *list) {
            if (!timing_.mergeIdentical || ep == winner || ep->tx_.empty()) continue;
            const Endpoint::Queued& q = ep->tx_.front();
            if (q.at <= start + bit && SameFrame(q.frame, head.frame)) senders.push_back(ep);
        }
        for (const auto& ep : senders) ep->tx_.pop_front();
        busFree_ = end;
        busy_ += length;
        lock.unlock();
        const bool lost = Lost();
        t_deliveringBus = this;
        t_deliveryEnd = end;
        for (const auto& ep : *list) {
            if (!lost && std::find(senders.begin(), senders.end(), ep) == senders.end())
                ep->Deliver(head.frame);
        }
        t_deliveringBus = nullptr;
        for (const auto& ep : senders) ep->RunHook(ep->onSent_);
        if (!lost) AddTrace(winner.get(), head.frame, end);  // last: a traced frame is handled
        lock.lock();
    }
}

void VirtualBus::SetTrace(bool on) {
    tracing_.store(on);
}

std::vector<TraceEntry> VirtualBus::Trace() const {
    std::lock_guard<std::mutex> lock(traceM_);
    return trace_;
}

void VirtualBus::ClearTrace() {
    std::lock_guard<std::mutex> lock(traceM_);
    trace_.clear();
}

bool VirtualBus::WaitForTrace(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(traceM_);
    return traceCv_.wait_for(lock, timeout, [&] { return trace_.size() >= n; });
}

std::shared_ptr<Endpoint> VirtualBus::Find(const Endpoint& endpoint) const {
    std::lock_guard<std::mutex> lock(m_);
    for (const auto& ep : *endpoints_)
        if (ep.get() == &endpoint) return ep;
    return nullptr;
}

namespace {
struct LaterFirst {
    template <typename D>
    bool operator()(const D& a, const D& b) const {
        return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    }
};
}  // namespace

void VirtualBus::SendAfter(const Endpoint& from, const KIV_CanFrame& frame,
                           std::chrono::microseconds delay) {
    std::shared_ptr<Endpoint> sender = Find(from);
    if (!sender) return;
    {
        std::lock_guard<std::mutex> lock(timerM_);
        if (timerStop_) return;
        delayed_.push_back(Delayed{Clock::now() + delay, delayedSeq_++, sender, frame});
        std::push_heap(delayed_.begin(), delayed_.end(), LaterFirst{});
        if (!timer_.joinable()) timer_ = std::thread([this] { TimerLoop(); });
    }
    timerCv_.notify_all();
}

void VirtualBus::TimerLoop() {
    std::unique_lock<std::mutex> lock(timerM_);
    while (!timerStop_) {
        if (delayed_.empty()) {
            timerCv_.wait(lock);
            continue;
        }
        const Clock::time_point due = delayed_.front().due;
        if (Clock::now() < due) {
            timerCv_.wait_until(lock, due);
            continue;
        }
        std::pop_heap(delayed_.begin(), delayed_.end(), LaterFirst{});
        Delayed d = std::move(delayed_.back());
        delayed_.pop_back();
        lock.unlock();
        if (auto sender = d.from.lock()) sender->Send(d.frame);
        lock.lock();
    }
}

// ---- HostEndpoint -----------------------------------------------------------

HostEndpoint::HostEndpoint(VirtualBus& bus, std::string name)
    : bus_(bus), ep_(bus.Attach(std::move(name))) {}

HostEndpoint::~HostEndpoint() {
    bus_.Detach(ep_);
}

KIV_InitParam HostEndpoint::Param(bool withEvents) {
    KIV_InitParam p;
    std::memset(&p, 0, sizeof p);
    p.canRecv = &HostEndpoint::CanRecv;
    p.canSend = &HostEndpoint::CanSend;
    if (withEvents) p.onEvent = &HostEndpoint::OnEvent;
    p.userData = this;
    return p;
}

void HostEndpoint::SetEventHandler(std::function<void(const KIV_Event&)> handler) {
    std::lock_guard<std::mutex> lock(eventM_);
    onEvent_ = std::move(handler);
}

std::optional<KIV_CanFrame> HostEndpoint::Receive() {
    KIV_CanFrame f;
    if (ep_->TryPop(f)) return f;
    return std::nullopt;
}

std::optional<KIV_CanFrame> HostEndpoint::WaitReceive(std::chrono::milliseconds timeout) {
    KIV_CanFrame f;
    if (ep_->WaitPopFor(f, timeout)) return f;
    return std::nullopt;
}

int32_t HostEndpoint::CanRecv(KIV_CanFrame* frames, uint32_t maxCount, void* user) {
    auto* self = static_cast<HostEndpoint*>(user);
    return static_cast<int32_t>(self->ep_->PopMany(frames, maxCount));
}

int32_t HostEndpoint::CanSend(const KIV_CanFrame* frame, void* user) {
    return static_cast<HostEndpoint*>(user)->ep_->Send(*frame) ? 0 : kSendFailed;
}

void HostEndpoint::OnEvent(const KIV_Event* event, void* user) {
    auto* self = static_cast<HostEndpoint*>(user);
    std::function<void(const KIV_Event&)> handler;
    {
        std::lock_guard<std::mutex> lock(self->eventM_);
        handler = self->onEvent_;
    }
    if (handler) handler(*event);
}

}  // namespace orukiv::sim
