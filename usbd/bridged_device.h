// One USB device served on its endpoint of the socket transport, by a thread
// of its own: each host message goes out as one bulk OUT transfer, each bulk
// IN transfer that answers it goes back as a block message, and the end
// message follows once the device has said all (see answer_wait.h). The
// endpoint is removed, and a connected host reads end of file, when the
// object goes or the device is gone.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "answer_wait.h"
#include "device_model.h"
#include "endpoint.h"
#include "usb_link.h"

namespace velkor::usbd {

using LogLine = std::function<void(const std::string &)>;

struct ServeOptions {
    AnswerPeriods periods;
    int verbosity = 0;  // 1: every frame, 2: with its bytes
    LogLine log;        // problems always; frames by verbosity
};

class BridgedDevice {
public:
    BridgedDevice(std::string name, std::unique_ptr<UsbLink> link, std::unique_ptr<sim::Endpoint> endpoint,
                  ServeOptions options);
    ~BridgedDevice();
    BridgedDevice(const BridgedDevice &) = delete;
    BridgedDevice &operator=(const BridgedDevice &) = delete;

    const std::string &name() const { return name_; }
    // False once a transfer found the device gone; the endpoint is closed then.
    bool serving() const { return serving_; }

private:
    void serve();
    // False when the device is gone.
    bool exchange(const sim::Bytes &block);
    void log_frame(sim::LogEntry::Kind kind, std::span<const std::uint8_t> bytes);
    void log_problem(const std::string &what);
    // Logs it; false, as exchange() gives for a device that is gone.
    bool device_gone();

    const std::string name_;
    std::unique_ptr<UsbLink> link_;
    std::unique_ptr<sim::Endpoint> endpoint_;
    const ServeOptions options_;
    std::atomic<bool> serving_{true};
    std::thread thread_;  // last: it uses everything above
};

}  // namespace velkor::usbd
