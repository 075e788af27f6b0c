// Serial lines on Windows: COM ports.
#include <windows.h>

#include "serial_port.h"

namespace orukiv::tool {

namespace {

class Win32SerialPort : public SerialPort {
public:
    explicit Win32SerialPort(HANDLE h) : h_(h) {}
    ~Win32SerialPort() override { CloseHandle(h_); }

    // Reads return at once with what is there (the timeouts below), so a
    // reading thread never holds up a write on the same handle; waiting is
    // done here in short sleeps.
    int Read(char* buffer, int size, int timeoutMs) override {
        const DWORD start = GetTickCount();
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(h_, buffer, static_cast<DWORD>(size), &got, nullptr)) return -1;
            if (got > 0) return static_cast<int>(got);
            if (static_cast<int>(GetTickCount() - start) >= timeoutMs) return 0;
            Sleep(1);
        }
    }

    bool Write(const char* data, std::size_t size) override {
        while (size > 0) {
            DWORD done = 0;
            if (!WriteFile(h_, data, static_cast<DWORD>(size), &done, nullptr)) return false;
            data += done;
            size -= done;
        }
        return true;
    }

private:
    const HANDLE h_;
};

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& device, std::string& error) {
    // "COM10" and above are reachable only through the device namespace.
    const std::string path = device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        // COM ports open exclusively: a second program is refused here.
        error = e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION
                    ? device + " is in use by another program"
                    : "cannot open " + device + " (Windows error " + std::to_string(e) + ")";
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // return at once with what is there
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!GetCommState(h, &dcb)) {
        CloseHandle(h);
        error = device + " is not a serial port";
        return nullptr;
    }
    dcb.BaudRate = CBR_115200;  // USB adapters ignore it
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &timeouts)) {
        CloseHandle(h);
        error = "cannot set up " + device;
        return nullptr;
    }
    return std::make_unique<Win32SerialPort>(h);
}

}  // namespace orukiv::tool
