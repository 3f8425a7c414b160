#include "bridged_device.h"

#include <array>

#include "device_server.h"

namespace velkor::usbd {

namespace {

// The most one bulk IN transfer brings; a longer answer comes as several blocks.
constexpr std::size_t kInTransferSize = 512;

}  // namespace

BridgedDevice::BridgedDevice(std::string name, std::unique_ptr<UsbLink> link, std::unique_ptr<sim::Endpoint> endpoint,
                             ServeOptions options)
    : name_(std::move(name)),
      link_(std::move(link)),
      endpoint_(std::move(endpoint)),
      options_(std::move(options)),
      thread_([this] { serve(); }) {}

BridgedDevice::~BridgedDevice() {
    endpoint_->stop();
    thread_.join();
    // The endpoint goes before the device: no host waits on a closed device.
    endpoint_.reset();
}

void BridgedDevice::serve() {
    while (endpoint_->accept()) {
        bool connected = true;
        while (connected) {
            sim::Bytes message;
            switch (endpoint_->receive(message, -1)) {
            case sim::Endpoint::Received::message:
                if (!exchange(message)) {
                    serving_ = false;
                    endpoint_->disconnect();
                    return;
                }
                break;
            case sim::Endpoint::Received::closed: connected = false; break;
            case sim::Endpoint::Received::timeout: break;
            case sim::Endpoint::Received::stopped: endpoint_->disconnect(); return;
            }
        }
        endpoint_->disconnect();
    }
}

bool BridgedDevice::exchange(const sim::Bytes &block) {
    log_frame(sim::LogEntry::Kind::host_frame, block);
    const auto sent = link_->send(block, options_.periods.send);
    if (sent.outcome == UsbLink::Outcome::gone) return device_gone();
    if (sent.outcome != UsbLink::Outcome::done) {
        log_problem("bulk OUT " + sent.error + ": the host block is not delivered");
        if (sent.outcome == UsbLink::Outcome::stalled) link_->clear_stall(false);
        sim::send_end(*endpoint_);
        return true;
    }
    auto wait = first_answer_wait(block, options_.periods);
    std::array<std::uint8_t, kInTransferSize> buffer;
    while (wait.count() > 0) {
        const auto received = link_->receive(buffer, wait);
        if (received.outcome == UsbLink::Outcome::done) {
            // A zero-length packet ends a transfer but carries no block.
            if (received.length == 0) continue;
            const std::span<const std::uint8_t> answer(buffer.data(), received.length);
            log_frame(sim::LogEntry::Kind::device_frame, answer);
            if (!sim::send_block(*endpoint_, answer)) return true;
            wait = options_.periods.gap;
            continue;
        }
        if (received.outcome == UsbLink::Outcome::gone) return device_gone();
        if (received.outcome != UsbLink::Outcome::timed_out) {
            log_problem("bulk IN " + received.error + ": the exchange ends here");
            if (received.outcome == UsbLink::Outcome::stalled) link_->clear_stall(true);
        }
        break;
    }
    sim::send_end(*endpoint_);
    return true;
}

void BridgedDevice::log_frame(sim::LogEntry::Kind kind, std::span<const std::uint8_t> bytes) {
    if (options_.verbosity < 1 || !options_.log) return;
    const sim::LogEntry entry{kind, sim::Bytes(bytes.begin(), bytes.end()), {}};
    options_.log("[" + name_ + "] " + sim::describe(entry, options_.verbosity > 1));
}

bool BridgedDevice::device_gone() {
    log_problem("device gone");
    return false;
}

void BridgedDevice::log_problem(const std::string &what) {
    if (options_.log) options_.log("[" + name_ + "] " + what);
}

}  // namespace velkor::usbd
