#include "fake_bus.h"

#include <algorithm>
#include <cstring>

namespace orukiv::test {

KIV_InitParam FakeBus::Param(bool withEvents, bool withFd) {
    KIV_InitParam p;
    std::memset(&p, 0, sizeof p);
    p.canRecv = &FakeBus::CanRecv;
    p.canSend = &FakeBus::CanSend;
    if (withFd) {
        p.fdRecv = &FakeBus::FdRecv;
        p.fdSend = &FakeBus::FdSend;
    }
    if (withEvents) p.onEvent = &FakeBus::OnEvent;
    p.userData = this;
    return p;
}

void FakeBus::Inject(const KIV_CanFrame& frame) {
    std::lock_guard<std::mutex> g(m_);
    rx_.push_back(frame);
}

void FakeBus::Inject(const std::vector<KIV_CanFrame>& frames) {
    std::lock_guard<std::mutex> g(m_);
    for (const auto& f : frames) rx_.push_back(f);
}

void FakeBus::SetRecvCountOverride(int32_t count) {
    std::lock_guard<std::mutex> g(m_);
    overrideCount_ = true;
    recvCount_ = count;
}

void FakeBus::ClearRecvCountOverride() {
    std::lock_guard<std::mutex> g(m_);
    overrideCount_ = false;
}

void FakeBus::SetResponder(std::function<void(const KIV_CanFrame&)> fn) {
    std::lock_guard<std::mutex> g(m_);
    responder_ = std::move(fn);
}

void FakeBus::FailSendsWith(int32_t code) {
    std::lock_guard<std::mutex> g(m_);
    sendResult_ = code;
}

void FakeBus::BlockSends() {
    std::lock_guard<std::mutex> g(m_);
    blockSends_ = true;
}

void FakeBus::ReleaseSends() {
    std::lock_guard<std::mutex> g(m_);
    blockSends_ = false;
    cv_.notify_all();
}

int FakeBus::BlockedSenders() const {
    std::lock_guard<std::mutex> g(m_);
    return blocked_;
}

std::vector<SentFrame> FakeBus::Sent() const {
    std::lock_guard<std::mutex> g(m_);
    return sent_;
}

std::vector<KIV_CanFrame> FakeBus::SentFrames() const {
    std::lock_guard<std::mutex> g(m_);
    std::vector<KIV_CanFrame> out;
    for (const auto& s : sent_) out.push_back(s.frame);
    return out;
}

std::size_t FakeBus::SentCount() const {
    std::lock_guard<std::mutex> g(m_);
    return sent_.size();
}

void FakeBus::ClearSent() {
    std::lock_guard<std::mutex> g(m_);
    sent_.clear();
}

bool FakeBus::WaitForSent(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, timeout, [&] { return sent_.size() >= n; });
}

std::vector<PollRecord> FakeBus::CanPolls() const {
    std::lock_guard<std::mutex> g(m_);
    return polls_;
}

std::size_t FakeBus::FdPolls() const {
    std::lock_guard<std::mutex> g(m_);
    return fdPolls_;
}

std::size_t FakeBus::FdSends() const {
    std::lock_guard<std::mutex> g(m_);
    return fdSends_;
}

std::vector<KIV_Event> FakeBus::Events() const {
    std::lock_guard<std::mutex> g(m_);
    return events_;
}

bool FakeBus::WaitForEvents(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, timeout, [&] { return events_.size() >= n; });
}

int32_t FakeBus::CanRecv(KIV_CanFrame* frames, uint32_t maxCount, void* user) {
    auto* self = static_cast<FakeBus*>(user);
    std::lock_guard<std::mutex> g(self->m_);
    self->polls_.push_back({maxCount, Clock::now()});
    const uint32_t room = std::min<uint32_t>(maxCount, 8);
    int32_t n = 0;
    while (!self->rx_.empty() && static_cast<uint32_t>(n) < room) {
        frames[n++] = self->rx_.front();
        self->rx_.pop_front();
    }
    return self->overrideCount_ ? self->recvCount_ : n;
}

int32_t FakeBus::CanSend(const KIV_CanFrame* frame, void* user) {
    auto* self = static_cast<FakeBus*>(user);
    std::function<void(const KIV_CanFrame&)> responder;
    int32_t rc;
    {
        std::unique_lock<std::mutex> g(self->m_);
        if (self->blockSends_) {
            ++self->blocked_;
            self->cv_.notify_all();
            self->cv_.wait(g, [self] { return !self->blockSends_; });
            --self->blocked_;
        }
        self->sent_.push_back({*frame, Clock::now()});
        rc = self->sendResult_;
        responder = self->responder_;
        self->cv_.notify_all();
    }
    if (responder) responder(*frame);
    return rc;
}

int32_t FakeBus::FdRecv(KIV_FdFrame* frames, uint32_t maxCount, void* user) {
    auto* self = static_cast<FakeBus*>(user);
    std::lock_guard<std::mutex> g(self->m_);
    ++self->fdPolls_;
    // Two CAN FD frames every poll: the library must take and drop them.
    const uint32_t n = std::min<uint32_t>(maxCount, 2);
    for (uint32_t i = 0; i < n; ++i) {
        std::memset(&frames[i], 0, sizeof frames[i]);
        frames[i].id = 0x181;
        frames[i].len = 12;
    }
    return static_cast<int32_t>(n);
}

int32_t FakeBus::FdSend(const KIV_FdFrame*, void* user) {
    auto* self = static_cast<FakeBus*>(user);
    std::lock_guard<std::mutex> g(self->m_);
    ++self->fdSends_;
    return 0;
}

void FakeBus::OnEvent(const KIV_Event* event, void* user) {
    auto* self = static_cast<FakeBus*>(user);
    std::lock_guard<std::mutex> g(self->m_);
    self->events_.push_back(*event);
    self->cv_.notify_all();
}

}  // namespace orukiv::test
