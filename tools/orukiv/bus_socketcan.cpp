// A raw CAN socket as a bus (Linux): a reader thread takes frames off the
// socket as they arrive, queues them for Receive and reports each read that
// brought frames. Not tried on a real interface on the machines this was
// written on: they have no CAN sockets.
#include <fcntl.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "bus.h"
#include "socketcan_frame.h"

namespace orukiv::tool {

namespace {

constexpr std::size_t kMaxQueued = 4096;  // frames kept when the host falls behind
constexpr int kStopCheckMs = 20;          // how often the reader looks at stop_
constexpr int kFramesPerRead = 64;        // then the lock is let go for Receive

class SocketCanBus : public Bus {
public:
    SocketCanBus(int fd, std::string interface) : fd_(fd), interface_(std::move(interface)) {
        reader_ = std::thread([this] { ReadLoop(); });
    }
    ~SocketCanBus() override {
        stop_ = true;
        reader_.join();
        ::close(fd_);
    }

    std::string Interface() const override { return interface_; }

    int Receive(KIV_CanFrame* frames, int max) override {
        std::lock_guard<std::mutex> lock(m_);
        return TakeQueuedFrames(frames_, frames, max);
    }

    int Send(const KIV_CanFrame& frame) override {
        const struct can_frame raw = ToSocketCan(frame);
        const ssize_t sent = ::send(fd_, &raw, sizeof raw, MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(sizeof raw)) return 0;
        const int e = errno ? errno : EIO;
        if (e != ENOBUFS && e != EAGAIN) Gone(e);  // a full queue passes; a gone interface not
        return e;
    }

private:
    // The interface is down or gone: the command ends (exit status 3).
    void Gone(int e) {
        SetLost(
            interface_ + ": " + std::strerror(e) +
            (e == ENETDOWN ? " (the interface went down: ip link set " + interface_ + " up)" : ""));
    }

    void ReadLoop() {
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, kStopCheckMs);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            if ((p.revents & POLLNVAL) != 0) break;
            if ((p.revents & POLLIN) == 0) {
                // A socket error (the interface went down, say): the recv
                // takes it, and the pause keeps a lasting one from spinning.
                struct can_frame raw;
                if (::recv(fd_, &raw, sizeof raw, MSG_DONTWAIT) < 0 &&
                    (errno == ENETDOWN || errno == ENODEV || errno == ENXIO))
                    Gone(errno);
                std::this_thread::sleep_for(std::chrono::milliseconds(kStopCheckMs));
                continue;
            }
            bool arrived = false;
            {
                std::lock_guard<std::mutex> lock(m_);
                for (int i = 0; i < kFramesPerRead; ++i) {
                    struct can_frame raw;
                    const ssize_t got = ::recv(fd_, &raw, sizeof raw, MSG_DONTWAIT);
                    if (got != static_cast<ssize_t>(sizeof raw)) break;
                    KIV_CanFrame f;
                    if (FromSocketCan(raw, f) && frames_.size() < kMaxQueued) {
                        frames_.push_back(f);
                        arrived = true;
                    }
                }
            }
            if (arrived) FramesArrived();
        }
    }

    const int fd_;
    const std::string interface_;
    std::mutex m_;
    std::deque<KIV_CanFrame> frames_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace

std::unique_ptr<Bus> OpenSocketCanBus(const std::string& interface, std::string& error) {
    const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        error = std::string("no CAN socket: ") + std::strerror(errno) +
                (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT
                     ? " (this kernel has no CAN support: modprobe can_raw)"
                     : "");
        return nullptr;
    }
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    if (interface.size() >= sizeof ifr.ifr_name) {
        ::close(fd);
        error = "interface name too long: " + interface;
        return nullptr;
    }
    std::memcpy(ifr.ifr_name, interface.c_str(), interface.size());
    if (::ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        error = "no CAN interface " + interface + ": " + std::strerror(errno) +
                (errno == ENODEV ? " (ip link lists the interfaces)" : "");
        ::close(fd);
        return nullptr;
    }
    if (::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP) == 0) {
        error = "CAN interface " + interface + " is down (ip link set " + interface +
                " up type can bitrate 500000)";
        ::close(fd);
        return nullptr;
    }
    struct sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
        error = "cannot bind to " + interface + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SocketCanBus>(fd, interface);
}

}  // namespace orukiv::tool
