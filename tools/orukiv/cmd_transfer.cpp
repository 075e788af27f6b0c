// upload and download: an object to or from a file, by SDO block transfer
// (or segmented with --segmented), with a progress display on stderr.
//   orukiv upload NODE INDEX SUB FILE [--segmented] [--max-size BYTES]
//   orukiv download NODE INDEX SUB FILE [--segmented]
#include <CLI/CLI.hpp>
#include <atomic>
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

#include "command.h"
#include "interrupt.h"
#include "procedures.h"
#include "report.h"

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

    static void Callback(uint8_t, uint16_t, uint8_t, uint32_t done, uint32_t total, void* user) {
        static_cast<ProgressView*>(user)->Update(done, total, false);
    }

    // Bytes moved so far.
    uint32_t Moved() const { return moved_.load(); }

    void Update(uint32_t done, uint32_t total, bool final) {
        moved_.store(done);
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
    std::atomic<uint32_t> moved_{0};
};

std::string Method(bool segmented) {
    return segmented ? "segmented" : "block";
}

struct TransferArgs {
    int64_t node = 0, index = 0, sub = 0;
    std::string file;
    bool segmented = false;
};

Json Fields(const TransferArgs& a) {
    return Json()
        .Uint("node", static_cast<uint64_t>(a.node))
        .Uint("index", static_cast<uint64_t>(a.index))
        .Uint("subIndex", static_cast<uint64_t>(a.sub))
        .Str("file", a.file);
}

std::string Done(const char* what, const std::string& name, const char* arrow,
                 const TransferArgs& a, uint32_t bytes, double t) {
    char buf[96];
    std::snprintf(buf, sizeof buf, ": %u bytes in %.2f s (%s/s, %s)", bytes, t,
                  Amount(t > 0 ? bytes / t : 0).c_str(), Method(a.segmented).c_str());
    return std::string(what) + " " + name + " " + arrow + " " + a.file + buf;
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

int Upload(Session& s, const TransferArgs& a) {
    const auto node = static_cast<uint8_t>(a.node);
    const auto index = static_cast<uint16_t>(a.index);
    const auto sub = static_cast<uint8_t>(a.sub);
    const uint32_t maxSize = s.options().maxSize;
    const std::string name = ObjectName(node, index, sub);
    // One byte beyond the limit tells an object that is too long; the buffer
    // is only touched as far as the data goes.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[std::size_t{maxSize} + 1]);
    if (!buffer)
        return PrintError(s, "no memory for " + std::to_string(maxSize) + " bytes (--max-size)",
                          Fields(a));
    FastWorker(s);
    ProgressView view("upload " + name, ORUKIV_ISATTY(ORUKIV_FILENO(stderr)) != 0);
    uint32_t received = 0, abortCode = 0;
    int32_t r;
    {
        CancelOnInterrupt cancel(s);  // Ctrl-C: the transfer is aborted at once
        ProgressScope progress(s, view);
        r = a.segmented ? KIV_ReadObjectEx(s.h(), node, index, sub, buffer.get(), maxSize + 1,
                                           &received, &abortCode)
                        : KIV_ReadObjectBlock(s.h(), node, index, sub, buffer.get(), maxSize + 1,
                                              &received, &abortCode);
    }
    if (r != KIV_OK) {
        std::fprintf(stderr, "%s", view.LineEnd());
        if (r == KIV_ERR_CANCELLED)
            return PrintFailure(s,
                                "interrupted: upload " + name + " after " +
                                    std::to_string(view.Moved()) +
                                    " bytes (aborted; nothing written to " + a.file + ")",
                                r, abortCode, Fields(a).Uint("moved", view.Moved()));
        return PrintFailure(s, "upload " + name, r, abortCode, Fields(a));
    }
    view.Update(received, received, true);
    if (received > maxSize)
        return PrintError(s,
                          "upload " + name + ": the object is longer than --max-size (" +
                              std::to_string(maxSize) + " bytes); nothing written",
                          Fields(a));
    std::FILE* f = std::fopen(a.file.c_str(), "wb");
    const bool written = f && std::fwrite(buffer.get(), 1, received, f) == received;
    if (f && std::fclose(f) != 0) f = nullptr;
    if (!written || !f) return PrintError(s, "cannot write " + a.file, Fields(a));
    const double t = view.Elapsed();
    PrintDone(s, Done("upload", name, "->", a, received, t),
              Fields(a).Uint("size", received).Str("method", Method(a.segmented)));
    return kExitOk;
}

int Download(Session& s, const TransferArgs& a) {
    const auto node = static_cast<uint8_t>(a.node);
    const auto index = static_cast<uint16_t>(a.index);
    const auto sub = static_cast<uint8_t>(a.sub);
    const std::string name = ObjectName(node, index, sub);
    std::vector<uint8_t> data;
    std::FILE* f = std::fopen(a.file.c_str(), "rb");
    if (!f) return PrintError(s, "cannot read " + a.file, Fields(a));
    uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && data.size() <= 0xFFFFFFFFu)
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    if (data.empty() || data.size() > 0xFFFFFFFFu)
        return PrintError(s,
                          a.file + ": " +
                              (data.empty() ? "empty file: an SDO write needs 1 byte or more"
                                            : "longer than an SDO transfer can carry (4 GiB - 1)"),
                          Fields(a));
    // Interrupted before the transfer: nothing is sent. Once it runs, an
    // interrupt aborts it (KIV_Cancel: the abort frame goes out).
    if (Interrupted()) return PrintError(s, "interrupted; nothing was sent", Fields(a));
    const auto size = static_cast<uint32_t>(data.size());
    FastWorker(s);
    ProgressView view("download " + name, ORUKIV_ISATTY(ORUKIV_FILENO(stderr)) != 0);
    uint32_t abortCode = 0;
    int32_t r;
    {
        CancelOnInterrupt cancel(s);  // Ctrl-C: the transfer is aborted at once
        ProgressScope progress(s, view);
        r = a.segmented
                ? KIV_WriteObjectEx(s.h(), node, index, sub, data.data(), size, &abortCode)
                : KIV_WriteObjectBlock(s.h(), node, index, sub, data.data(), size, &abortCode);
    }
    if (r != KIV_OK) {
        std::fprintf(stderr, "%s", view.LineEnd());
        if (r == KIV_ERR_CANCELLED)
            return PrintFailure(s,
                                "interrupted: download " + name + " after " +
                                    std::to_string(view.Moved()) + " of " + std::to_string(size) +
                                    " bytes (aborted: the object is not written whole)",
                                r, abortCode, Fields(a).Uint("moved", view.Moved()));
        return PrintFailure(s, "download " + name, r, abortCode, Fields(a));
    }
    view.Update(size, size, true);
    const double t = view.Elapsed();
    PrintDone(s, Done("download", name, "<-", a, size, t),
              Fields(a).Uint("size", size).Str("method", Method(a.segmented)));
    return kExitOk;
}

Command TransferCommand(const char* name, const char* help,
                        int (*run)(Session&, const TransferArgs&)) {
    return {name, help, [run](CLI::App& app) -> Handler {
                auto a = std::make_shared<TransferArgs>();
                AddNode(app, a->node);
                AddNumber(app, "INDEX", a->index, 0, 0xFFFF)->required();
                AddNumber(app, "SUB", a->sub, 0, 0xFF)->required();
                app.add_option("FILE", a->file)->required();
                app.add_flag("--segmented", a->segmented,
                             "segmented transfer instead of block transfer");
                return [a, run](Session& s) { return run(s, *a); };
            }};
}

}  // namespace

Command UploadCommand() {
    return TransferCommand("upload", "read an object into a file: NODE INDEX SUB FILE", Upload);
}

Command DownloadCommand() {
    return TransferCommand("download", "write a file to an object: NODE INDEX SUB FILE", Download);
}

}  // namespace orukiv::tool
