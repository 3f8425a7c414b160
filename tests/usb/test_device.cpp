#include "usb/test_device.h"

#include <algorithm>

namespace velkor::testing {

struct TestDevice::Connection {
    std::unique_ptr<platform::MessageChannel> channel;
    int number = 0;
    std::mutex send_lock;  // guards `channel` against its end while another thread sends
    std::atomic<bool> open{true};
    std::thread thread;
};

Message pattern(std::size_t length, std::uint8_t seed) {
    Message bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i + seed);
    return bytes;
}

TestDevice::TestDevice(const std::string &location, const std::string &name, Responder responder)
    : endpoint_(location, name), responder_(std::move(responder)), acceptor_([this] { accept_hosts(); }) {}

TestDevice::TestDevice(const std::string &location, const std::string &name,
                       std::function<Reply(const Message &)> responder)
    : TestDevice(location, name, [answer = std::move(responder)](const Message &request, int) { return answer(request); }) {}

TestDevice::~TestDevice() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    stopping_.notify_all();
    acceptor_.join();
    for (const auto &host : hosts_) {
        {
            std::lock_guard sending(host->send_lock);
            if (host->channel) host->channel->shut_down();
        }
        host->thread.join();
    }
}

std::vector<Message> TestDevice::requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

int TestDevice::open_connections() const {
    std::lock_guard guard(lock_);
    return static_cast<int>(std::count_if(hosts_.begin(), hosts_.end(), [](const auto &host) { return host->open.load(); }));
}

void TestDevice::send_unasked(const Message &block) {
    std::lock_guard guard(lock_);
    for (const auto &host : hosts_) {
        std::lock_guard sending(host->send_lock);
        if (host->channel) host->channel->send(block.data(), block.size(), 1000);
    }
}

bool TestDevice::pause(std::chrono::milliseconds duration) {
    std::unique_lock guard(lock_);
    return !stopping_.wait_for(guard, duration, [this] { return stop_; });
}

void TestDevice::accept_hosts() {
    while (pause(std::chrono::milliseconds(0))) {
        auto channel = endpoint_.accept(20);
        if (!channel) continue;
        auto host = std::make_shared<Connection>();
        host->channel = std::move(channel);
        host->number = ++connections_;
        std::list<std::shared_ptr<Connection>> ended;
        std::lock_guard guard(lock_);
        // A host reopens its link for every command: threads of connections
        // that have ended are joined as new ones come.
        for (auto it = hosts_.begin(); it != hosts_.end();) {
            const auto next = std::next(it);
            if (!(*it)->open) ended.splice(ended.end(), hosts_, it);
            it = next;
        }
        for (const auto &gone : ended) gone->thread.join();
        hosts_.push_back(host);
        host->thread = std::thread([this, &connection = *host] { serve(connection); });
    }
}

void TestDevice::serve(Connection &connection) {
    Message request;
    while (pause(std::chrono::milliseconds(0))) {
        const auto received = connection.channel->receive(request, 20);
        if (received == platform::MessageChannel::Receive::closed) break;
        if (received != platform::MessageChannel::Receive::message) continue;
        {
            std::lock_guard guard(lock_);
            requests_.push_back(request);
        }
        const Reply reply = responder_(request, connection.number);
        if (!pause(reply.delay)) break;
        {
            std::lock_guard sending(connection.send_lock);
            for (const Message &block : reply.blocks) connection.channel->send(block.data(), block.size(), 1000);
        }
        ++answers_;
        if (reply.close) break;
    }
    // Gone with the channel: the host reads end of file.
    std::lock_guard sending(connection.send_lock);
    connection.open = false;
    connection.channel.reset();
}

}  // namespace velkor::testing
