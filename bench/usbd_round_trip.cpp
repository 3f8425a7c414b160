// The bridge's cost, against a bare libusb client doing the same transfers on
// the same USB device emulated by umockdev (see docs/performance.md):
// - round trip: a keep-alive frame out, its one answer back; from a bare
//   socket client through drova-usbd's core, and as one bulk OUT and one bulk
//   IN transfer of a bare libusb client (one that keeps an IN transfer
//   pending as the bridge does, and a synchronous one);
// - download: `drova download` of a 256 KiB image in a process of its own
//   through drova-usbd's core, and a bare libusb replay of the frames it wrote,
//   each followed by as many IN transfers as the device answered it with.
// Bridge and bare runs alternate; the verdict is the median of the rounds'
// ratios. Runs under umockdev-wrapper.
#include <libusb.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "emulated_usb.h"
#include "harness.h"
#include "wire.h"

namespace {

using namespace velkor;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using bench::Frame;
using bench::Seconds;

constexpr int kRounds = 5;
constexpr int kDownloadRounds = 3;
constexpr int kRoundTrips = 500;
constexpr std::size_t kImageSize = 256 * 1024;
constexpr unsigned kPort = 1;
constexpr unsigned kTransferLimitMs = 5000;

void require(bool ok, const std::string &what) {
    if (!ok) throw std::runtime_error(what);
}

std::string scratch_dir(const char *name) {
    std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
    require(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
    return pattern;
}

// drova-usbd's core serving the emulated bus for as long as it lives.
class RunningBridge {
public:
    explicit RunningBridge(const std::string &dir) {
        usbd::BridgeSettings settings;
        settings.dir = dir;
        usbd::DeviceSelector emulated;
        emulated.vendor = usbd::EmulatedUsb::kVendor;
        emulated.product = usbd::EmulatedUsb::kProduct;
        settings.devices = {emulated};
        bridge_ = std::make_unique<usbd::Bridge>(std::move(settings));
        const auto until = Clock::now() + 10s;
        while (bridge_->endpoints().empty()) {
            require(Clock::now() < until, "the bridge serves no endpoint");
            std::this_thread::sleep_for(1ms);
        }
        endpoint_ = dir + "/" + bridge_->endpoints().front();
    }
    const std::string &endpoint() const { return endpoint_; }

private:
    std::unique_ptr<usbd::Bridge> bridge_;
    std::string endpoint_;
};

// A bare SOCK_SEQPACKET host: a block out, the device's blocks back.
class SocketHost {
public:
    explicit SocketHost(const std::string &path) : fd_(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
        require(fd_ >= 0, "socket failed");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        require(connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0, "cannot connect to " + path);
    }
    ~SocketHost() { close(fd_); }
    SocketHost(const SocketHost &) = delete;
    SocketHost &operator=(const SocketHost &) = delete;

    void round_trip(const Frame &frame) {
        require(send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size()), "send failed");
        std::uint8_t message[4096];
        require(recv(fd_, message, sizeof message, 0) > 0, "the bridge closed the connection");
    }

private:
    int fd_;
};

// A bare libusb client of the emulated device: what the bridge does per
// block, done by hand. `in_pending` keeps one bulk IN transfer submitted as
// the bridge does; otherwise each exchange is a synchronous OUT transfer and
// then synchronous IN transfers, as a simple client would do it.
class LibusbHost {
public:
    explicit LibusbHost(bool in_pending) {
        require(libusb_init(&context_) == 0, "libusb_init failed");
        handle_ = libusb_open_device_with_vid_pid(context_, usbd::EmulatedUsb::kVendor, usbd::EmulatedUsb::kProduct);
        require(handle_ != nullptr, "cannot open the emulated device");
        require(libusb_claim_interface(handle_, 0) == 0, "cannot claim interface 0");
        if (!in_pending) return;
        in_ = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(in_, handle_, 0x81, in_buffer_, sizeof in_buffer_, &LibusbHost::in_done, this, 0);
        require(libusb_submit_transfer(in_) == 0, "cannot submit the IN transfer");
        in_flight_ = true;
    }
    ~LibusbHost() {
        if (in_ != nullptr) {
            stopping_ = true;
            if (in_flight_) libusb_cancel_transfer(in_);
            while (in_flight_) libusb_handle_events(context_);
            libusb_free_transfer(in_);
        }
        libusb_release_interface(handle_, 0);
        libusb_close(handle_);
        libusb_exit(context_);
    }
    LibusbHost(const LibusbHost &) = delete;
    LibusbHost &operator=(const LibusbHost &) = delete;

    // One bulk OUT transfer, and the `answers` bulk IN transfers that follow.
    void exchange(const Frame &frame, std::size_t answers) {
        int done = 0;
        const std::size_t target = blocks_ + answers;
        require(libusb_bulk_transfer(handle_, 0x01, const_cast<std::uint8_t *>(frame.data()), static_cast<int>(frame.size()),
                                     &done, kTransferLimitMs) == 0,
                "bulk OUT failed");
        if (in_ == nullptr) {
            std::uint8_t block[512];
            for (std::size_t i = 0; i < answers; ++i)
                require(libusb_bulk_transfer(handle_, 0x81, block, sizeof block, &done, kTransferLimitMs) == 0 && done > 0,
                        "bulk IN brought no answer");
            return;
        }
        while (blocks_ < target) {
            timeval limit{kTransferLimitMs / 1000, 0};
            const std::size_t before = blocks_;
            libusb_handle_events_timeout_completed(context_, &limit, nullptr);
            require(blocks_ > before || in_flight_, "bulk IN brought no answer");
        }
    }

private:
    static void LIBUSB_CALL in_done(libusb_transfer *transfer) {
        auto &host = *static_cast<LibusbHost *>(transfer->user_data);
        if (transfer->status == LIBUSB_TRANSFER_COMPLETED && transfer->actual_length > 0) ++host.blocks_;
        host.in_flight_ = !host.stopping_ && transfer->status == LIBUSB_TRANSFER_COMPLETED &&
                          libusb_submit_transfer(transfer) == 0;
    }

    libusb_context *context_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
    libusb_transfer *in_ = nullptr;
    std::uint8_t in_buffer_[512];
    std::size_t blocks_ = 0;
    bool in_flight_ = false;
    bool stopping_ = false;
};

struct Comparison {
    Seconds bridge;  // medians
    Seconds bare;
    double ratio;    // median of the rounds' ratios
    double lowest;
    double highest;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// An untimed round for each side, then `rounds` alternating ones.
Comparison compare(int rounds, const std::function<Seconds()> &bridge, const std::function<Seconds()> &bare) {
    bridge();
    bare();
    std::vector<double> bridge_runs, bare_runs, ratios;
    for (int i = 0; i < rounds; ++i) {
        bridge_runs.push_back(bridge().count());
        bare_runs.push_back(bare().count());
        ratios.push_back(bridge_runs.back() / bare_runs.back());
    }
    const auto [lowest, highest] = std::minmax_element(ratios.begin(), ratios.end());
    return {Seconds(median(bridge_runs)), Seconds(median(bare_runs)), median(ratios), *lowest, *highest};
}

Seconds timed(const std::function<void()> &run) {
    const auto start = Clock::now();
    run();
    return Clock::now() - start;
}

Comparison compare_round_trips(const std::string &dir, bool in_pending) {
    const Frame keep_alive = sim::make_command_frame(sim::Bytes{sim::kKeepAlive});
    return compare(
        kRounds,
        [&] {
            const RunningBridge bridge(dir);
            SocketHost host(bridge.endpoint());
            for (int i = 0; i < 20; ++i) host.round_trip(keep_alive);
            return timed([&] {
                for (int i = 0; i < kRoundTrips; ++i) host.round_trip(keep_alive);
            });
        },
        [&] {
            LibusbHost host(in_pending);
            for (int i = 0; i < 20; ++i) host.exchange(keep_alive, 1);
            return timed([&] {
                for (int i = 0; i < kRoundTrips; ++i) host.exchange(keep_alive, 1);
            });
        });
}

// Each host block the device took, with the IN transfers its answer took.
struct Recorded {
    std::mutex lock;
    bool on = false;
    std::vector<std::pair<Frame, std::size_t>> exchanges;
};

int run_drova(const std::string &dir, const std::string &arguments) {
    const std::string command = "VELKOR_USB_DIR='" + dir + "' '" VELKOR_DROVA "' --library '" VELKOR_DODUZEREZ
                                "' --search-ms 20 " + arguments + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Comparison compare_downloads(const std::string &dir, sim::DeviceModel &model) {
    sim::AppInfoFields app;
    app.id = 12;
    app.name = "Bench";
    const sim::Bytes image = sim::make_application_image(app, kImageSize - sim::kInfoBlockSize);
    const std::string file = dir + "-image.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));

    auto recorded = std::make_shared<Recorded>();
    model.set_log_sink([recorded](const sim::LogEntry &entry) {
        if (!recorded->on) return;
        if (entry.kind == sim::LogEntry::Kind::host_frame) recorded->exchanges.push_back({entry.bytes, 0});
        if (entry.kind == sim::LogEntry::Kind::device_frame && !recorded->exchanges.empty())
            recorded->exchanges.back().second += (entry.bytes.size() + 511) / 512;
    });
    const auto bridged = [&] {
        const RunningBridge bridge(dir);
        int status = 0;
        const Seconds took = timed([&] {
            status = run_drova(dir, "--yes download '" + file + "' -t " + std::to_string(bench::kStagingArea));
        });
        require(status == 0, "drova download failed with status " + std::to_string(status));
        return took;
    };
    // The frames of one bridged run, replayed from then on.
    recorded->on = true;
    bridged();
    recorded->on = false;
    model.set_log_sink(nullptr);
    require(!recorded->exchanges.empty(), "no frames recorded");
    const auto comparison = compare(kDownloadRounds, bridged, [&] {
        LibusbHost host(true);
        return timed([&] {
            for (const auto &[frame, answers] : recorded->exchanges) host.exchange(frame, answers);
        });
    });
    std::filesystem::remove(file);
    std::printf("  %zu frames replayed, the bare client keeping an IN transfer pending\n", recorded->exchanges.size());
    // What every drova run costs besides the download: start, search, connect, look, exit.
    std::vector<double> info;
    {
        const RunningBridge bridge(dir);
        for (int i = 0; i < kDownloadRounds; ++i)
            info.push_back(timed([&] { require(run_drova(dir, "info") == 0, "drova info failed"); }).count());
    }
    std::printf("  drova info through the bridge (median of %d): %.3f s\n", kDownloadRounds, median(info));
    return comparison;
}

void report(const char *what, const Comparison &c, double target, const char *unit, double scale) {
    std::printf("  %-44s bridge %9.3f %s, bare %9.3f %s, ratio %.2f (median of interleaved rounds, %.2f to %.2f), "
                "target <= %.1f: %s\n",
                what, c.bridge.count() * scale, unit, c.bare.count() * scale, unit, c.ratio, c.lowest, c.highest, target,
                c.ratio <= target ? "MET" : "MISSED");
}

}  // namespace

int main(int argc, char **argv) {
    if (!usbd::EmulatedUsb::available()) {
        std::fprintf(stderr, "usbd_bench: run it under umockdev-wrapper\n");
        return 2;
    }
    const std::string only = argc > 1 ? argv[1] : "";
    try {
        const std::string dir = scratch_dir("usbd-bench");
        usbd::EmulatedUsb bus;
        auto model = std::make_shared<sim::DeviceModel>(bench::bench_device_config());
        bus.plug(kPort, model);
        if (only.empty() || only == "--round-trip") {
            std::printf("round trip, 512-byte frame out, one answer back (%d per run), us:\n", kRoundTrips);
            for (const bool in_pending : {true, false}) {
                const Comparison c = compare_round_trips(dir, in_pending);
                report(in_pending ? "bare client keeps an IN transfer pending" : "bare client: synchronous OUT, then IN",
                       {c.bridge / kRoundTrips, c.bare / kRoundTrips, c.ratio, c.lowest, c.highest}, 1.2, "us", 1e6);
            }
        }
        if (only.empty() || only == "--download") {
            std::printf("drova download, %zu KiB image:\n", kImageSize / 1024);
            report("drova download vs bare libusb replay", compare_downloads(dir, *model), 1.5, "s", 1.0);
        }
        std::filesystem::remove_all(dir);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "usbd_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
