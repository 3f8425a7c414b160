// A device on the socket transport served by threads of the test program: each
// host connection has a thread of its own that answers every host message with
// the blocks its responder returns, when the reply says, so a slow answer to
// one host never holds another.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_endpoint.h"

namespace velkor::testing {

using Message = std::vector<std::uint8_t>;

// Bytes 0, 1, 2, … of the given length, offset by `seed`.
Message pattern(std::size_t length, std::uint8_t seed);

struct Reply {
    std::vector<Message> blocks;          // sent as they are, in order, each one message
    std::chrono::milliseconds delay{0};  // before the first of them
    bool close = false;                   // hang up right after `blocks`
};

class TestDevice {
public:
    // Called on the connection's thread with the host's message and the
    // number of the connection (1 for the first host that came).
    using Responder = std::function<Reply(const Message &request, int connection)>;

    TestDevice(const std::string &location, const std::string &name, Responder responder);
    // A responder that does not care which connection asks.
    TestDevice(const std::string &location, const std::string &name, std::function<Reply(const Message &)> responder);
    ~TestDevice();

    std::vector<Message> requests() const;
    // Replies sent so far, each counted once all its blocks have gone out.
    std::size_t answers() const { return answers_.load(); }
    int connections() const { return connections_.load(); }
    // Connections open now.
    int open_connections() const;
    const std::string &path() const { return endpoint_.path(); }
    // Sends `block` unasked to every host connected now.
    void send_unasked(const Message &block);

private:
    struct Connection;
    void accept_hosts();
    void serve(Connection &connection);
    bool pause(std::chrono::milliseconds duration);  // false when stopping

    platform::DeviceEndpoint endpoint_;
    Responder responder_;
    mutable std::mutex lock_;
    std::condition_variable stopping_;
    bool stop_ = false;
    std::vector<Message> requests_;
    std::list<std::shared_ptr<Connection>> hosts_;
    std::atomic<int> connections_{0};
    std::atomic<std::size_t> answers_{0};
    std::thread acceptor_;
};

}  // namespace velkor::testing
