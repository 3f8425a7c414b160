// One USB device served on its endpoint of the socket transport at the pace of
// its wire: each host block goes out as one bulk OUT transfer, in the order
// the blocks came from all hosts; one bulk IN transfer is always pending, and
// the data of each one that completes goes at once, as one block, to the host
// whose block went out last. Nothing is waited for and nothing is added: the
// device is seen by its hosts as a driver read would show it. The endpoint
// stops, and every host reads end of file, when the object goes or the device
// is gone.
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device_model.h"
#include "endpoint.h"
#include "usb_link.h"

namespace velkor::usbd {

using LogLine = std::function<void(const std::string &)>;

struct ServeOptions {
    // A host block the device has not taken by then is given up.
    std::chrono::milliseconds send_limit{2000};
    int verbosity = 0;  // 1: every frame, and blocks dropped; 2: frames with their bytes
    LogLine log;        // problems always; the rest by verbosity
};

class BridgedDevice {
public:
    // The most one bulk IN transfer brings; a longer answer comes as several blocks.
    static constexpr std::size_t kInTransferSize = 512;

    // Needs libusb's events handled on another thread for as long as it
    // lives. `gone` runs once, on a thread of the object's, when a transfer
    // finds the device gone.
    BridgedDevice(std::string name, std::unique_ptr<UsbLink> link, std::unique_ptr<sim::Endpoint> endpoint,
                  ServeOptions options, std::function<void()> gone = {});
    ~BridgedDevice();
    BridgedDevice(const BridgedDevice &) = delete;
    BridgedDevice &operator=(const BridgedDevice &) = delete;

    const std::string &name() const { return name_; }
    // False once a transfer found the device gone; no host is served then.
    bool serving() const { return serving_; }

private:
    using Host = sim::Endpoint::Host;
    struct HostBlock {
        Host host;
        sim::Bytes bytes;
    };
    // What the courier thread does, in order: the work that must not hold up
    // libusb's event thread.
    struct Errand {
        enum class Kind { clear_in_stall, clear_out_stall, resubmit_in_later, gone };
        Kind kind;
    };
    struct TransferFree {
        void operator()(libusb_transfer *transfer) const { libusb_free_transfer(transfer); }
    };
    using Transfer = std::unique_ptr<libusb_transfer, TransferFree>;

    static void LIBUSB_CALL in_completed(libusb_transfer *transfer);
    static void LIBUSB_CALL out_completed(libusb_transfer *transfer);
    void on_in(libusb_transfer &transfer);
    void on_out(libusb_transfer &transfer);

    void serve();
    void run_errands();
    void errand(Errand errand);

    // With lock_ held.
    void submit_in_locked();
    void submit_next_out_locked();
    void found_gone_locked();

    // To the host whose block went out last; dropped (logged at -v) when none has or it has gone.
    void forward(Host host, const sim::Bytes &block);
    void log_frame(sim::LogEntry::Kind kind, Host host, std::span<const std::uint8_t> bytes);
    void log_problem(const std::string &what);
    void log_detail(const std::string &what);

    const std::string name_;
    std::unique_ptr<UsbLink> link_;
    std::unique_ptr<sim::Endpoint> endpoint_;
    const ServeOptions options_;
    const std::function<void()> gone_;

    Transfer in_;
    Transfer out_;
    std::array<std::uint8_t, kInTransferSize> in_buffer_{};
    sim::Bytes out_buffer_;  // the block of the OUT transfer in flight

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool found_gone_ = false;
    bool in_busy_ = false;   // submitted, or being cleared / waited for by the courier
    bool out_busy_ = false;  // likewise
    unsigned in_failures_ = 0;  // IN transfers failed in a row
    unsigned forwarding_ = 0;   // IN data on its way to a host, outside the lock
    Host out_host_ = 0;         // whose block the OUT transfer carries
    Host answered_host_ = 0;    // whose block went out last: IN data is theirs
    std::deque<HostBlock> out_queue_;
    std::deque<Errand> errands_;
    bool courier_stop_ = false;

    std::atomic<bool> serving_{true};
    std::set<Host> hosts_;  // the serve thread's own
    std::thread courier_;
    std::thread serve_thread_;  // last: it uses everything above
};

}  // namespace velkor::usbd
