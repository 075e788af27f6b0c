// A raw CAN socket as a bus (Linux). Not tried on a real interface on the
// machines this was written on: they have no CAN sockets.
#include <fcntl.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bus.h"
#include "socketcan_frame.h"

namespace orukiv::tool {

namespace {

class SocketCanBus : public Bus {
public:
    SocketCanBus(int fd, std::string interface) : fd_(fd), interface_(std::move(interface)) {}
    ~SocketCanBus() override { ::close(fd_); }

    std::string Interface() const override { return interface_; }

    int Receive(KIV_CanFrame* frames, int max) override {
        int n = 0;
        while (n < max) {
            struct can_frame raw;
            const ssize_t got = ::recv(fd_, &raw, sizeof raw, MSG_DONTWAIT);
            if (got != static_cast<ssize_t>(sizeof raw)) break;
            if (FromSocketCan(raw, frames[n])) ++n;
        }
        return n;
    }

    int Send(const KIV_CanFrame& frame) override {
        const struct can_frame raw = ToSocketCan(frame);
        const ssize_t sent = ::send(fd_, &raw, sizeof raw, MSG_DONTWAIT);
        return sent == static_cast<ssize_t>(sizeof raw) ? 0 : (errno ? errno : -1);
    }

private:
    const int fd_;
    const std::string interface_;
};

}  // namespace

std::unique_ptr<Bus> OpenSocketCanBus(const std::string& interface, std::string& error) {
    const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        error = std::string("no CAN socket: ") + std::strerror(errno);
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
        error = "no CAN interface " + interface + ": " + std::strerror(errno);
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
