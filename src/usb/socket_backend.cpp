#include "usb/socket_backend.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace velkor::usb {

using platform::MessageChannel;
using platform::PathLookup;
using platform::Readiness;
using platform::Transfer;
using platform::TransferOutcome;

namespace {

class SocketConnection final : public platform::UsbConnection {
public:
    explicit SocketConnection(std::unique_ptr<MessageChannel> channel) : channel_(std::move(channel)) {}

    TransferOutcome read(std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) override {
        std::lock_guard guard(lock_);
        if (closed_) return {Transfer::end_of_file, 0, 0};
        switch (channel_->receive(message_, wait_ms)) {
        case MessageChannel::Receive::timed_out: return {Transfer::not_completed, 0, 0};
        case MessageChannel::Receive::closed: closed_ = true; return {Transfer::end_of_file, 0, 0};
        case MessageChannel::Receive::message: break;
        }
        // Cut to the size asked for, as a driver read delivers a longer block.
        const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(message_.size(), size));
        std::copy_n(message_.begin(), count, buffer);
        return {Transfer::completed, count, 0};
    }

    // Handed over at once or not at all: a device that does not take its
    // blocks never holds the host.
    TransferOutcome write(const std::uint8_t *buffer, std::uint32_t size, std::uint32_t) override {
        if (!channel_->send(buffer, size, 0)) return {};
        return {Transfer::completed, size, 0};
    }

    Readiness wait_readable(std::uint32_t wait_ms) override {
        if (closed_) return Readiness::ended;
        switch (channel_->wait_readable(wait_ms)) {
        case MessageChannel::Receive::message: return Readiness::block;
        case MessageChannel::Receive::timed_out: return Readiness::timed_out;
        case MessageChannel::Receive::closed: break;
        }
        return Readiness::ended;
    }

    bool close() override { return channel_->shut_down(); }

    std::intptr_t handle() const override { return channel_->handle(); }

private:
    const std::unique_ptr<MessageChannel> channel_;
    std::mutex lock_;  // one reader at a time on message_
    std::vector<std::uint8_t> message_;
    std::atomic<bool> closed_{false};  // the device's end of file has been read
};

class SocketBackend final : public platform::UsbBackend {
public:
    explicit SocketBackend(std::string location) : location_(std::move(location)) {}

    // Every endpoint at the location is an interface of the device class.
    PathLookup interface_path(const platform::InterfaceClassGuid &, std::uint32_t member,
                              std::string &path) override {
        const auto endpoints = platform::list_device_endpoints(location_);
        if (!endpoints) return PathLookup::list_failed;
        if (member >= endpoints->size()) return PathLookup::no_interface;
        path = (*endpoints)[member];
        return PathLookup::found;
    }

    std::unique_ptr<platform::UsbConnection> open(const std::string &path) override {
        auto channel = platform::connect_device_endpoint(path);
        if (!channel) return nullptr;
        return std::make_unique<SocketConnection>(std::move(channel));
    }

private:
    const std::string location_;
};

}  // namespace

std::shared_ptr<platform::UsbBackend> make_socket_backend(std::string location) {
    return std::make_shared<SocketBackend>(std::move(location));
}

}  // namespace velkor::usb
