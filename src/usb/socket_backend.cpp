#include "usb/socket_backend.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "usb/block_queue.h"

namespace velkor::usb {

using platform::MessageChannel;
using platform::PathLookup;
using platform::Transfer;
using platform::TransferOutcome;

namespace {

constexpr std::uint8_t kEndMessage = 0x00;
constexpr std::uint8_t kBlockMessage = 0x01;

std::atomic<std::uint32_t> answer_bound_ms{static_cast<std::uint32_t>(kDefaultAnswerBound.count())};

using Deadline = std::chrono::steady_clock::time_point;

Deadline deadline_after(std::uint32_t ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

std::uint32_t ms_until(Deadline deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return static_cast<std::uint32_t>(std::max<long long>(left, 0));
}

class SocketConnection final : public platform::UsbConnection {
public:
    explicit SocketConnection(std::unique_ptr<MessageChannel> channel) : channel_(std::move(channel)) {}

    TransferOutcome read(std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) override {
        std::lock_guard guard(lock_);
        const Deadline deadline = deadline_after(wait_ms);
        for (;;) {
            if (!queue_.empty()) return queue_.take(buffer, size);
            if (closed_) return {Transfer::end_of_file, 0, 0};
            if (take_message(ms_until(deadline)) == MessageChannel::Receive::timed_out)
                return {Transfer::not_completed, 0, 0};
        }
    }

    TransferOutcome write(const std::uint8_t *buffer, std::uint32_t size, std::uint32_t) override {
        std::lock_guard guard(lock_);
        if (closed_) return {};
        const std::uint32_t bound = answer_bound_ms.load();
        if (!channel_->send(buffer, size, bound)) return {};
        ++unanswered_;
        // Waits for this write's end message and for any an earlier write
        // stopped waiting for, so a late one is never taken for this one.
        const Deadline deadline = deadline_after(bound);
        while (unanswered_ > 0) {
            if (closed_) return {};
            const std::uint32_t left = ms_until(deadline);
            if (left == 0 || take_message(left) == MessageChannel::Receive::timed_out) break;
        }
        return {Transfer::completed, size, 0};
    }

    bool close() override { return channel_->shut_down(); }

    std::intptr_t handle() const override { return channel_->handle(); }

private:
    MessageChannel::Receive take_message(std::uint32_t wait_ms) {
        const auto received = channel_->receive(message_, wait_ms);
        if (received == MessageChannel::Receive::closed) closed_ = true;
        if (received != MessageChannel::Receive::message) return received;
        if (message_.size() == 1 && message_[0] == kEndMessage) {
            if (unanswered_ > 0) --unanswered_;
        } else if (!message_.empty() && message_[0] == kBlockMessage) {
            queue_.push(message_.data() + 1, message_.size() - 1);
        }
        // Anything else is no message of the transport and is dropped.
        return received;
    }

    const std::unique_ptr<MessageChannel> channel_;
    std::mutex lock_;
    BlockQueue queue_;
    std::vector<std::uint8_t> message_;
    unsigned unanswered_ = 0;
    bool closed_ = false;
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

void set_answer_bound(std::chrono::milliseconds bound) {
    answer_bound_ms = static_cast<std::uint32_t>(std::clamp<long long>(bound.count(), 0, 0x7FFFFFFF));
}

std::shared_ptr<platform::UsbBackend> make_socket_backend(std::string location) {
    return std::make_shared<SocketBackend>(std::move(location));
}

}  // namespace velkor::usb
