// A device on the socket transport served by a thread of the test program: it
// answers every host message with the messages its responder returns.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_endpoint.h"

namespace velkor::testing {

using Message = std::vector<std::uint8_t>;

Message block_message(const Message &block);  // 0x01 then the block
Message end_message();                         // 0x00

// Bytes 0, 1, 2, … of the given length, offset by `seed`.
Message pattern(std::size_t length, std::uint8_t seed);

struct Reply {
    std::vector<Message> messages;  // sent as they are, in order
    std::chrono::milliseconds end_delay{0};
    bool end = true;     // send the end message after the delay
    bool close = false;  // hang up right after `messages`
};

class TestDevice {
public:
    using Responder = std::function<Reply(const Message &request)>;

    TestDevice(const std::string &location, const std::string &name, Responder responder);
    ~TestDevice();

    std::vector<Message> requests() const;
    int connections() const { return connections_.load(); }
    const std::string &path() const { return endpoint_.path(); }

private:
    void serve();
    void answer(platform::MessageChannel &channel, const Message &request, bool &hang_up);
    bool pause(std::chrono::milliseconds duration);  // false when stopping

    platform::DeviceEndpoint endpoint_;
    Responder responder_;
    mutable std::mutex lock_;
    std::condition_variable stopping_;
    bool stop_ = false;
    std::vector<Message> requests_;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

}  // namespace velkor::testing
