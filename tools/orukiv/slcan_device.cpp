// The adapter's side of the serial-line CAN protocol, on a virtual bus.
#include "slcan_device.h"

#include "slcan_codec.h"

namespace orukiv::tool {

SlcanDevice::SlcanDevice(sim::VirtualBus& bus, std::unique_ptr<SerialPort> port)
    : bus_(bus), port_(std::move(port)) {
    ep_ = bus_.Attach("slcan adapter", [this](const KIV_CanFrame& f) {
        if (open_) Write(EncodeSlcanFrame(f));
    });
    reader_ = std::thread([this] { ReadLoop(); });
}

SlcanDevice::~SlcanDevice() {
    bus_.Detach(ep_);
    stop_ = true;
    reader_.join();
}

void SlcanDevice::Write(const std::string& text) {
    std::lock_guard<std::mutex> lock(writeM_);
    port_->Write(text.data(), text.size());
}

void SlcanDevice::ReadLoop() {
    SlcanReader reader;
    char buf[256];
    while (!stop_) {
        const int n = port_->Read(buf, sizeof buf, 20);
        if (n < 0) break;
        reader.Feed(buf, static_cast<std::size_t>(n));
        SlcanReader::Item item;
        while (reader.Next(item))
            if (item.kind == SlcanReader::Kind::kLine) Serve(item.line);
    }
}

// What the common adapters do: a bitrate only while closed, frames only
// while open, "z"/"Z" confirming a sent frame.
void SlcanDevice::Serve(const std::string& line) {
    bool ok = false;
    std::string answer;
    if (line.empty()) {
        return;  // the empty lines a host sends to clear the line
    } else if (line.size() == 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '8') {
        ok = !open_;
        if (ok) bitrateSet_ = true;
    } else if (line == "O") {
        ok = !open_ && bitrateSet_;
        if (ok) open_ = true;
    } else if (line == "C") {
        ok = open_;
        open_ = false;
    } else if (line == "V") {
        ok = true;
        answer = "V1013";
    } else if (line == "N") {
        ok = true;
        answer = "NSIM0";
    } else if (line == "F") {
        ok = open_;
        answer = "F00";
    } else {
        KIV_CanFrame f;
        if (open_ && DecodeSlcanFrame(line, f)) {
            ep_->Send(f);
            Write(line[0] == 'T' || line[0] == 'R' ? "Z\r" : "z\r");
            return;
        }
    }
    if (!ok) {
        ++refusals_;
        Write("\a");
        return;
    }
    Write(answer + "\r");
}

}  // namespace orukiv::tool
