// Devices served on named pipes, reached as a host's driver reaches them:
// several hosts at once, each on a pipe instance of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <thread>

#include "device_server.h"
#include "endpoint.h"
#include "sim_host.h"

namespace velkor::sim::testing {
namespace {

constexpr int kWaitMs = 5000;
constexpr int kQuietMs = 30;

std::string unique_prefix() {
    static int served = 0;
    return "velkor-sim-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++served) + "-";
}

// One host's end of a pipe. What the device sends are plain blocks, each a
// message of its own; nothing marks the end of an answer.
class PipeHost {
public:
    explicit PipeHost(const std::string &name)
        : pipe_(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
        if (pipe_ != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr);
        }
    }
    PipeHost(const PipeHost &) = delete;
    PipeHost &operator=(const PipeHost &) = delete;
    ~PipeHost() {
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    }
    bool open() const { return pipe_ != INVALID_HANDLE_VALUE; }

    bool write(const Bytes &command_bytes) { return write_raw(make_command_frame(command_bytes)); }
    bool write_raw(const Bytes &message) {
        DWORD count = 0;
        return WriteFile(pipe_, message.data(), static_cast<DWORD>(message.size()), &count, nullptr) &&
               count == message.size();
    }

    enum class Next { block, closed, nothing };
    // The next message, waiting up to `wait_ms`, so that a silent device
    // fails the test instead of hanging it.
    Next next(Bytes &block, int wait_ms = kWaitMs) {
        DWORD available = 0;
        for (int waited = 0;; waited += 5) {
            if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) return Next::closed;
            if (available != 0) break;
            if (waited >= wait_ms) return Next::nothing;
            Sleep(5);
        }
        block.resize(65536);
        DWORD count = 0;
        if (!ReadFile(pipe_, block.data(), static_cast<DWORD>(block.size()), &count, nullptr)) return Next::closed;
        block.resize(count);
        return Next::block;
    }
    std::vector<Bytes> read(std::size_t count) {
        std::vector<Bytes> blocks;
        Bytes block;
        while (blocks.size() < count && next(block) == Next::block) blocks.push_back(block);
        return blocks;
    }
    bool quiet(int ms = kQuietMs) {
        Bytes block;
        return next(block, ms) == Next::nothing;
    }
    Bytes ask(const Bytes &command_bytes) {
        if (!write(command_bytes)) return {};
        const auto blocks = read(1);
        EXPECT_EQ(blocks.size(), 1u) << "no answer to opcode " << int(command_bytes[0]);
        if (blocks.empty()) return {};
        const auto body = answer_body(blocks[0]);
        return body ? Bytes(body->begin(), body->end()) : Bytes{};
    }

private:
    HANDLE pipe_;
};

// Opens a pipe the server may not have put back yet.
std::unique_ptr<PipeHost> open_host(const std::string &name) {
    auto host = std::make_unique<PipeHost>(name);
    for (int i = 0; i < kWaitMs / 20 && !host->open(); ++i) {
        Sleep(20);
        host = std::make_unique<PipeHost>(name);
    }
    return host;
}

TEST(PipeEndpointTest, TakesSeveralHostsAtOnceAndTellsWhoTheyAre) {
    const std::string prefix = unique_prefix();
    auto endpoint = open_endpoint(prefix, "drova00");
    EXPECT_EQ(endpoint->address(), "\\\\.\\pipe\\" + prefix + "drova00");
    EXPECT_THROW(open_endpoint(prefix, "drova00"), std::runtime_error);  // served already

    // The next instance is put out while the endpoint is waited on.
    std::unique_ptr<PipeHost> hosts[3];
    for (Endpoint::Host host = 1; host <= 3; ++host) {
        hosts[host - 1] = open_host(endpoint->address());
        ASSERT_TRUE(hosts[host - 1]->open());
        const Endpoint::Event event = endpoint->wait(kWaitMs);
        EXPECT_EQ(event.kind, Endpoint::Event::Kind::connected);
        EXPECT_EQ(event.host, host);
        EXPECT_EQ(endpoint->peer_process(host), GetCurrentProcessId());
    }
    auto &first = hosts[0];
    auto &second = hosts[1];
    auto &third = hosts[2];

    const Bytes frame = make_command_frame(command(kKeepAlive));
    ASSERT_TRUE(second->write_raw(frame));
    Endpoint::Event event = endpoint->wait(kWaitMs);
    EXPECT_EQ(event.kind, Endpoint::Event::Kind::message);
    EXPECT_EQ(event.host, 2u);
    EXPECT_EQ(event.message, frame);

    // Any block goes as it is, to its host alone, also one longer than a frame.
    const Bytes small{1, 2, 3}, long_block(600, 0x5A);
    EXPECT_TRUE(endpoint->send(3, small));
    EXPECT_TRUE(endpoint->send(1, long_block));
    EXPECT_EQ(third->read(1), std::vector<Bytes>{small});
    EXPECT_EQ(first->read(1), std::vector<Bytes>{long_block});
    EXPECT_TRUE(second->quiet());

    // A disconnected host still reads what was sent before, then the end.
    EXPECT_TRUE(endpoint->send(1, small));
    endpoint->disconnect(1);
    EXPECT_FALSE(endpoint->send(1, small));
    event = endpoint->wait(kWaitMs);
    EXPECT_EQ(event.kind, Endpoint::Event::Kind::closed);
    EXPECT_EQ(event.host, 1u);
    Bytes block;
    EXPECT_EQ(first->next(block), PipeHost::Next::block);
    EXPECT_EQ(block, small);
    EXPECT_EQ(first->next(block), PipeHost::Next::closed);

    third.reset();
    event = endpoint->wait(kWaitMs);
    EXPECT_EQ(event.kind, Endpoint::Event::Kind::closed);
    EXPECT_EQ(event.host, 3u);
    EXPECT_FALSE(endpoint->send(3, small));
    EXPECT_EQ(endpoint->wait(0).kind, Endpoint::Event::Kind::timeout);
    endpoint->stop();
    EXPECT_EQ(endpoint->wait(kWaitMs).kind, Endpoint::Event::Kind::stopped);
}

// A device served on its pipe by serve_device on a thread of its own.
class PipeServeTest : public ::testing::Test {
protected:
    void serve(const std::vector<FaultRule> &faults = {}) {
        endpoint = open_endpoint(unique_prefix(), "drova00");
        for (const auto &rule : faults) model.add_fault(rule);
        server = std::thread([this] { serve_device(*endpoint, model); });
    }
    void TearDown() override {
        if (!server.joinable()) return;
        endpoint->stop();
        server.join();
    }
    std::unique_ptr<PipeHost> host() { return open_host(endpoint->address()); }

    DeviceModel model;
    std::unique_ptr<Endpoint> endpoint;
    std::thread server;
};

TEST_F(PipeServeTest, EachHostGetsItsOwnAnswersAsPlainBlocks) {
    serve();
    auto first = host();
    auto second = host();
    ASSERT_TRUE(first->open() && second->open());
    ASSERT_TRUE(first->write(command(kKeepAlive)));
    ASSERT_TRUE(second->write(command(kQuery)));
    EXPECT_EQ(first->read(1), std::vector<Bytes>{make_answer_frame(Bytes{kKeepAlive})});
    const auto blocks = second->read(1);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(answer_body(blocks[0]).value().size(), 89u);
    // One process is one host: the holder's other connection sees the full block.
    EXPECT_EQ(first->ask(connect_command(kHostId)).at(0), kConnectAck);
    EXPECT_EQ(second->ask(command(kQuery)).size(), 349u);
    EXPECT_TRUE(first->quiet());
    EXPECT_TRUE(second->quiet());
}

TEST_F(PipeServeTest, UnplugCutsEveryHostAndTheDeviceComesBack) {
    FaultRule unplug;
    unplug.kind = FaultKind::unplug;
    unplug.opcode = kErase;
    unplug.amount = 1;
    serve({unplug});
    {
        auto holder = host();
        auto other = host();
        ASSERT_TRUE(holder->open() && other->open());
        EXPECT_EQ(holder->ask(connect_command(kHostId)).at(0), kConnectAck);
        ASSERT_TRUE(holder->write(command(kErase, {0})));
        EXPECT_EQ(holder->read(2).size(), 1u);
        Bytes block;
        EXPECT_EQ(holder->next(block), PipeHost::Next::closed);
        EXPECT_EQ(other->next(block), PipeHost::Next::closed);
    }
    auto again = host();
    ASSERT_TRUE(again->open());
    EXPECT_EQ(again->ask(command(kQuery)).size(), 89u);  // powered up again, not claimed
}

TEST_F(PipeServeTest, AHostThatDoesNotReadStopsNoOne) {
    serve();
    auto deaf = host();
    auto other = host();
    ASSERT_TRUE(deaf->open() && other->open());
    constexpr int kFrames = 300;
    for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(deaf->write(command(kKeepAlive)));
    EXPECT_EQ(other->ask(command(kKeepAlive)), Bytes{kKeepAlive});
    EXPECT_EQ(deaf->read(kFrames).size(), static_cast<std::size_t>(kFrames));
    EXPECT_TRUE(deaf->quiet());
}

}  // namespace
}  // namespace velkor::sim::testing
