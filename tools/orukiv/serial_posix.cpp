// Serial lines on POSIX systems: tty devices and pseudo-terminals.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "serial_port.h"

namespace orukiv::tool {

namespace {

bool MakeRaw(int fd) {
    struct termios tio;
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);  // USB adapters ignore it; real UARTs need one
    ::cfsetospeed(&tio, B115200);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

class PosixSerialPort : public SerialPort {
public:
    explicit PosixSerialPort(int fd) : fd_(fd) {}
    ~PosixSerialPort() override { ::close(fd_); }

    int Read(char* buffer, int size, int timeoutMs) override {
        struct pollfd p = {fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0) return errno == EINTR ? 0 : -1;
        if (ready == 0) return 0;
        if ((p.revents & POLLIN) == 0) return (p.revents & (POLLHUP | POLLERR)) ? -1 : 0;
        const ssize_t n = ::read(fd_, buffer, static_cast<std::size_t>(size));
        if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
        if (n == 0) return -1;  // readable yet nothing: end of file, the line hung up
        return static_cast<int>(n);
    }

    // Gives up when the line takes nothing for a second (nobody reads the
    // other end): the caller must never be held for good.
    bool Write(const char* data, std::size_t size) override {
        int stalledMs = 0;
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN || stalledMs >= 1000) return false;
                struct pollfd p = {fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
                stalledMs += 100;
                continue;
            }
            stalledMs = 0;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    const int fd_;
};

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& device, std::string& error) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + device + ": " + std::strerror(errno);
        return nullptr;
    }
    // Exclusive: a second program on the line is refused before it writes
    // (the lock holds between programs that take it, the tool's own runs
    // among them; TIOCEXCL also refuses others that open the device later).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = device + " is in use by another program (" + std::strerror(errno) + ")";
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    if (!MakeRaw(fd)) {
        error = device + " is not a serial line: " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    ::tcflush(fd, TCIOFLUSH);  // nothing left over from an earlier user
    return std::make_unique<PosixSerialPort>(fd);
}

std::unique_ptr<SerialPort> SerialPortFromFd(int fd) {
    MakeRaw(fd);
    return std::make_unique<PosixSerialPort>(fd);
}

bool OpenPseudoTerminal(PseudoTerminal& out, std::string& error) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        error = std::string("no pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0) ::close(master);
        return false;
    }
    const char* name = ::ptsname(master);
    const int slave = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0) {
        error = std::string("cannot open the pseudo-terminal's slave: ") + std::strerror(errno);
        ::close(master);
        return false;
    }
    MakeRaw(slave);  // no echo, no line editing, before anyone writes
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    out.master = SerialPortFromFd(master);
    out.slavePath = name;
    out.slaveFd = slave;
    return true;
}

}  // namespace orukiv::tool
