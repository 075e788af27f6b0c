// A serial line in raw mode: Linux tty devices (serial_posix.cpp), Windows
// COM ports (serial_win32.cpp). One thread may read while another writes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace orukiv::tool {

class SerialPort {
public:
    virtual ~SerialPort() = default;
    // What arrives within about `timeoutMs` (0 bytes when nothing did);
    // -1 once the line is gone.
    virtual int Read(char* buffer, int size, int timeoutMs) = 0;
    // Writes all of `data`; false on failure.
    virtual bool Write(const char* data, std::size_t size) = 0;
};

// Opens a device ("/dev/ttyACM0", "COM3"); null with `error` set on failure.
std::unique_ptr<SerialPort> OpenSerialPort(const std::string& device, std::string& error);

#ifndef _WIN32
// Wraps an open descriptor (set raw), which the port then owns.
std::unique_ptr<SerialPort> SerialPortFromFd(int fd);

// A pseudo-terminal pair: the master side as a port, the slave's path for
// the other party to open.
struct PseudoTerminal {
    std::unique_ptr<SerialPort> master;
    std::string slavePath;
    int slaveFd = -1;  // kept open so the master never sees a hang-up
};
bool OpenPseudoTerminal(PseudoTerminal& out, std::string& error);
#endif

}  // namespace orukiv::tool
