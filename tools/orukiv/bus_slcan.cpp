// A serial-line CAN adapter as a bus: a reader thread turns the adapter's
// lines into frames and replies, and reports each read that brought frames;
// frames are written as they are sent.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "bus.h"
#include "serial_port.h"
#include "slcan_codec.h"

namespace orukiv::tool {

namespace {

constexpr std::size_t kMaxQueued = 4096;  // frames kept when the host falls behind
constexpr auto kReplyWait = std::chrono::milliseconds(1000);

class SlcanBus : public Bus {
public:
    SlcanBus(std::unique_ptr<SerialPort> port, std::string device)
        : port_(std::move(port)), device_(std::move(device)) {
        reader_ = std::thread([this] { ReadLoop(); });
    }

    ~SlcanBus() override {
        if (open_) Write("C\r");
        stop_ = true;
        reader_.join();
    }

    // Closes whatever channel was open, sets the bitrate and opens it.
    bool Setup(uint32_t bitrate, std::string& error) {
        Write("\r\r\r");  // ends any half-written command
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Command("C");  // refused when already closed: fine
        const auto command = SlcanBitrateCommand(bitrate);
        if (!command) {
            error = "no slcan bitrate command for " + std::to_string(bitrate) + " bit/s";
            return false;
        }
        const std::string rate = *command;
        if (Command(rate) != Reply::kOk) {
            error = "the adapter refused or did not answer '" + rate + "'";
            return false;
        }
        if (Command("O") != Reply::kOk) {
            error = "the adapter refused or did not answer 'O' (open)";
            return false;
        }
        open_ = true;
        return true;
    }

    std::string Interface() const override { return "slcan"; }

    int Receive(KIV_CanFrame* frames, int max) override {
        std::lock_guard<std::mutex> lock(m_);
        return TakeQueuedFrames(frames_, frames, max);
    }

    int Send(const KIV_CanFrame& frame) override {
        if (Write(EncodeSlcanFrame(frame))) return 0;
        SetLost("writing to " + device_ +
                " failed or stalled for a second (the adapter is gone or nobody reads the line)");
        return 1;
    }

private:
    enum class Reply { kOk, kRefused, kNone };

    bool Write(const std::string& text) {
        std::lock_guard<std::mutex> lock(writeM_);
        return port_->Write(text.data(), text.size());
    }

    Reply Command(const std::string& command) {
        std::unique_lock<std::mutex> lock(m_);
        const uint64_t ok = oks_, refused = refusals_;
        lock.unlock();
        if (!Write(command + "\r")) return Reply::kNone;
        lock.lock();
        cv_.wait_for(lock, kReplyWait, [&] { return oks_ != ok || refusals_ != refused; });
        if (refusals_ != refused) return Reply::kRefused;
        return oks_ != ok ? Reply::kOk : Reply::kNone;
    }

    void ReadLoop() {
        SlcanReader reader;
        char buf[256];
        while (!stop_) {
            const int n = port_->Read(buf, sizeof buf, 20);
            if (n < 0) {
                SetLost("the serial line " + device_ +
                        " is gone (adapter unplugged, or the other side closed it)");
                cv_.notify_all();
                break;
            }
            reader.Feed(buf, static_cast<std::size_t>(n));
            SlcanReader::Item item;
            bool arrived = false;
            {
                std::lock_guard<std::mutex> lock(m_);
                while (reader.Next(item)) {
                    KIV_CanFrame f;
                    if (item.kind == SlcanReader::Kind::kRefused) {
                        ++refusals_;
                    } else if (item.line.empty() || item.line == "z" || item.line == "Z") {
                        ++oks_;
                    } else if (DecodeSlcanFrame(item.line, f) && frames_.size() < kMaxQueued) {
                        frames_.push_back(f);
                        arrived = true;
                    }
                    // Anything else (version, status answers) is not asked for.
                }
            }
            cv_.notify_all();
            if (arrived) FramesArrived();
        }
    }

    std::unique_ptr<SerialPort> port_;
    const std::string device_;
    std::mutex writeM_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<KIV_CanFrame> frames_;
    uint64_t oks_ = 0;
    uint64_t refusals_ = 0;
    std::atomic<bool> stop_{false};
    bool open_ = false;
    std::thread reader_;
};

}  // namespace

std::unique_ptr<Bus> OpenSlcanBus(const std::string& device, uint32_t bitrate, std::string& error) {
    auto port = OpenSerialPort(device, error);
    if (!port) return nullptr;
    auto bus = std::make_unique<SlcanBus>(std::move(port), device);
    if (!bus->Setup(bitrate, error)) {
        error = device + ": " + error;
        return nullptr;
    }
    return bus;
}

}  // namespace orukiv::tool
