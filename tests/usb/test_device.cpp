#include "usb/test_device.h"

#include <algorithm>

namespace velkor::testing {

Message block_message(const Message &block) {
    Message message(block.size() + 1, 0x01);
    std::copy(block.begin(), block.end(), message.begin() + 1);
    return message;
}

Message end_message() { return {0x00}; }

Message pattern(std::size_t length, std::uint8_t seed) {
    Message bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i + seed);
    return bytes;
}

TestDevice::TestDevice(const std::string &location, const std::string &name, Responder responder)
    : endpoint_(location, name), responder_(std::move(responder)), thread_([this] { serve(); }) {}

TestDevice::~TestDevice() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    stopping_.notify_all();
    thread_.join();
}

std::vector<Message> TestDevice::requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

bool TestDevice::pause(std::chrono::milliseconds duration) {
    std::unique_lock guard(lock_);
    return !stopping_.wait_for(guard, duration, [this] { return stop_; });
}

void TestDevice::serve() {
    while (pause(std::chrono::milliseconds(0))) {
        auto channel = endpoint_.accept(20);
        if (!channel) continue;
        ++connections_;
        Message request;
        bool hang_up = false;
        while (!hang_up && pause(std::chrono::milliseconds(0))) {
            const auto received = channel->receive(request, 20);
            if (received == platform::MessageChannel::Receive::closed) break;
            if (received == platform::MessageChannel::Receive::message) answer(*channel, request, hang_up);
        }
    }
}

void TestDevice::answer(platform::MessageChannel &channel, const Message &request, bool &hang_up) {
    {
        std::lock_guard guard(lock_);
        requests_.push_back(request);
    }
    const Reply reply = responder_(request);
    for (const Message &message : reply.messages) channel.send(message.data(), message.size(), 1000);
    if (reply.close) {
        hang_up = true;
        return;
    }
    if (!pause(reply.end_delay)) return;
    if (reply.end) {
        const Message end = end_message();
        channel.send(end.data(), end.size(), 1000);
    }
}

}  // namespace velkor::testing
