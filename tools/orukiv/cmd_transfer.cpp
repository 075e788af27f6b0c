// upload and download: an object to or from a file, by SDO block transfer
// (or segmented with --segmented), with a progress display on stderr.
//   orukiv upload NODE INDEX SUB FILE [--segmented] [--max-size BYTES]
//   orukiv download NODE INDEX SUB FILE [--segmented]
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define ORUKIV_ISATTY _isatty
#define ORUKIV_FILENO _fileno
#else
#include <unistd.h>
#define ORUKIV_ISATTY isatty
#define ORUKIV_FILENO fileno
#endif

#include "commands.h"

namespace orukiv::tool {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string Amount(double bytes) {
    char buf[32];
    if (bytes < 1024)
        std::snprintf(buf, sizeof buf, "%.0f B", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024);
    else
        std::snprintf(buf, sizeof buf, "%.2f MiB", bytes / (1024 * 1024));
    return buf;
}

// The progress of one transfer on stderr: on a terminal a bar redrawn at
// most every 100 ms, otherwise a line per 10 %. Fed on the worker thread.
class ProgressView {
public:
    ProgressView(std::string what, bool terminal)
        : what_(std::move(what)), terminal_(terminal), start_(Clock::now()) {}

    static void Callback(void* user, uint8_t, uint16_t, uint8_t, uint32_t done, uint32_t total) {
        static_cast<ProgressView*>(user)->Update(done, total, false);
    }

    void Update(uint32_t done, uint32_t total, bool final) {
        std::lock_guard<std::mutex> lock(m_);
        const Clock::time_point now = Clock::now();
        const double elapsed = Seconds(now - start_);
        const double rate = elapsed > 0 ? done / elapsed : 0.0;
        const int tenth = total > 0 ? static_cast<int>(10.0 * done / total) : 0;
        if (terminal_) {
            if (!final && now - lastDraw_ < std::chrono::milliseconds(100)) return;
            lastDraw_ = now;
            std::string line = "\r" + what_ + " ";
            if (total > 0) {
                constexpr int kWidth = 24;
                const int filled = static_cast<int>(static_cast<double>(kWidth) * done / total);
                line += "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
            }
            line += Amount(done) + (total > 0 ? " of " + Amount(total) : "") + "  " + Amount(rate) +
                    "/s";
            if (total > 0 && rate > 0 && done < total) {
                char left[32];
                std::snprintf(left, sizeof left, "  %.1f s left", (total - done) / rate);
                line += left;
            }
            std::fprintf(stderr, "%-100s%s", line.c_str(), final ? "\n" : "");
        } else if (total > 0 && tenth > lastTenth_) {
            lastTenth_ = tenth;
            std::fprintf(stderr, "%s: %d %% (%u of %u bytes, %s/s", what_.c_str(), tenth * 10, done,
                         total, Amount(rate).c_str());
            if (rate > 0 && done < total)
                std::fprintf(stderr, ", %.1f s left", (total - done) / rate);
            std::fprintf(stderr, ")\n");
        }
        std::fflush(stderr);
    }

    double Elapsed() const { return Seconds(Clock::now() - start_); }
    // Ends a bar left on the terminal's line before another message.
    const char* LineEnd() const { return terminal_ ? "\n" : ""; }

private:
    std::mutex m_;
    const std::string what_;
    const bool terminal_;
    const Clock::time_point start_;
    Clock::time_point lastDraw_{};
    int lastTenth_ = 0;
};

struct TransferArgs {
    std::string node, index, sub, file;
    bool segmented = false;
};

uint32_t Num(const std::string& text) {
    return static_cast<uint32_t>(*ParseUnsigned(text, 0xFFFFFFFFu));  // validated already
}

CLI::Validator Number(uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            const auto v = ParseUnsigned(text, max);
            if (v && *v >= min) return {};
            return "'" + text + "' is not a number from " + std::to_string(min) + " to " +
                   std::to_string(max) + " (decimal or 0x hex)";
        },
        "NUMBER");
}

// Progress reports go to `view` for the time of one transfer.
class ProgressScope {
public:
    ProgressScope(Session& s, ProgressView& view) : h_(s.h()) {
        KIV_SetTransferProgress(h_, &ProgressView::Callback, &view);
    }
    ~ProgressScope() { KIV_SetTransferProgress(h_, nullptr, nullptr); }

private:
    KIV_Handle h_;
};

// A transfer keeps the bus busy only in low-latency mode (segments go out
// as the host takes them): on for the transfer unless the user chose it.
void FastWorker(Session& s) {
    if (s.options().lowLatencyUs == 0)
        KIV_SetWorkerTiming(s.h(), 1000, KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE);
}

std::string Method(bool segmented) {
    return segmented ? "segmented" : "block";
}

int Upload(Session& s, const TransferArgs& a) {
    const auto node = static_cast<uint8_t>(Num(a.node));
    const auto index = static_cast<uint16_t>(Num(a.index));
    const auto sub = static_cast<uint8_t>(Num(a.sub));
    const uint32_t maxSize = s.options().maxSize;
    const std::string name = ObjectName(node, index, sub);
    // One byte beyond the limit tells an object that is too long; the buffer
    // is only touched as far as the data goes.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[std::size_t{maxSize} + 1]);
    if (!buffer) {
        std::fprintf(stderr, "orukiv: no memory for %u bytes (--max-size)\n", maxSize);
        return 1;
    }
    FastWorker(s);
    ProgressView view("upload " + name, ORUKIV_ISATTY(ORUKIV_FILENO(stderr)) != 0);
    uint32_t received = 0, abortCode = 0;
    int32_t r;
    {
        ProgressScope progress(s, view);
        r = a.segmented ? KIV_ReadObjectEx(s.h(), node, index, sub, buffer.get(), maxSize + 1,
                                           &received, &abortCode)
                        : KIV_ReadObjectBlock(s.h(), node, index, sub, buffer.get(), maxSize + 1,
                                              &received, &abortCode);
    }
    if (r != KIV_OK) {
        std::fprintf(stderr, "%sorukiv: upload %s failed: %s\n", view.LineEnd(), name.c_str(),
                     ResultText(r, abortCode).c_str());
        return 1;
    }
    view.Update(received, received, true);
    if (received > maxSize) {
        std::fprintf(stderr,
                     "orukiv: upload %s: the object is longer than --max-size (%u bytes); "
                     "nothing written\n",
                     name.c_str(), maxSize);
        return 1;
    }
    std::FILE* f = std::fopen(a.file.c_str(), "wb");
    const bool written = f && std::fwrite(buffer.get(), 1, received, f) == received;
    if (f && std::fclose(f) != 0) f = nullptr;
    if (!written || !f) {
        std::fprintf(stderr, "orukiv: cannot write %s\n", a.file.c_str());
        return 1;
    }
    const double t = view.Elapsed();
    std::printf("upload %s -> %s: %u bytes in %.2f s (%s/s, %s)\n", name.c_str(), a.file.c_str(),
                received, t, Amount(t > 0 ? received / t : 0).c_str(), Method(a.segmented).c_str());
    return 0;
}

int Download(Session& s, const TransferArgs& a) {
    const auto node = static_cast<uint8_t>(Num(a.node));
    const auto index = static_cast<uint16_t>(Num(a.index));
    const auto sub = static_cast<uint8_t>(Num(a.sub));
    const std::string name = ObjectName(node, index, sub);
    std::vector<uint8_t> data;
    std::FILE* f = std::fopen(a.file.c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "orukiv: cannot read %s\n", a.file.c_str());
        return 1;
    }
    uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && data.size() <= 0xFFFFFFFFu)
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    if (data.empty() || data.size() > 0xFFFFFFFFu) {
        std::fprintf(stderr, "orukiv: %s: %s\n", a.file.c_str(),
                     data.empty() ? "empty file: an SDO write needs 1 byte or more"
                                  : "longer than an SDO transfer can carry (4 GiB - 1)");
        return 1;
    }
    const auto size = static_cast<uint32_t>(data.size());
    FastWorker(s);
    ProgressView view("download " + name, ORUKIV_ISATTY(ORUKIV_FILENO(stderr)) != 0);
    uint32_t abortCode = 0;
    int32_t r;
    {
        ProgressScope progress(s, view);
        r = a.segmented
                ? KIV_WriteObjectEx(s.h(), node, index, sub, data.data(), size, &abortCode)
                : KIV_WriteObjectBlock(s.h(), node, index, sub, data.data(), size, &abortCode);
    }
    if (r != KIV_OK) {
        std::fprintf(stderr, "%sorukiv: download %s failed: %s\n", view.LineEnd(), name.c_str(),
                     ResultText(r, abortCode).c_str());
        return 1;
    }
    view.Update(size, size, true);
    const double t = view.Elapsed();
    std::printf("download %s <- %s: %u bytes in %.2f s (%s/s, %s)\n", name.c_str(), a.file.c_str(),
                size, t, Amount(t > 0 ? size / t : 0).c_str(), Method(a.segmented).c_str());
    return 0;
}

}  // namespace

TransferCommand AddTransferCommands(CLI::App& app, Options& options) {
    auto args = std::make_shared<TransferArgs>();
    app.add_option("--max-size", options.maxSize,
                   "largest object a read or upload takes, in bytes (default 16 MiB)")
        ->check(CLI::Range(1u, 0xFFFFFFFEu));
    CLI::App* commands[2] = {
        app.add_subcommand("upload", "read an object into a file: NODE INDEX SUB FILE"),
        app.add_subcommand("download", "write a file to an object: NODE INDEX SUB FILE")};
    for (CLI::App* c : commands) {
        c->add_option("NODE", args->node)->required()->check(Number(1, 127));
        c->add_option("INDEX", args->index)->required()->check(Number(0, 0xFFFF));
        c->add_option("SUB", args->sub)->required()->check(Number(0, 0xFF));
        c->add_option("FILE", args->file)->required();
        c->add_flag("--segmented", args->segmented, "segmented transfer instead of block transfer");
    }
    return [args, commands](Session& s) -> std::optional<int> {
        if (*commands[0]) return Upload(s, *args);
        if (*commands[1]) return Download(s, *args);
        return std::nullopt;
    };
}

}  // namespace orukiv::tool
