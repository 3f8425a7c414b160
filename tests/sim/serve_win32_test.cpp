// Devices served on named pipes, reached as a host's driver reaches them:
// several hosts at once, each on a pipe instance of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <thread>

#include "device_server.h"
#include "endpoint.h"
#include "sim_host.h"

namespace velkor::sim::testing {
namespace {

constexpr int kWaitMs = 5000;

std::string unique_prefix() {
    static int made = 0;
    return "velkor-sim-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made) + "-";
}

// One host's end of a pipe, opened again while the server has not put the
// next instance out yet. The device's messages are plain blocks.
class PipeHost {
public:
    explicit PipeHost(const std::string &name) {
        for (int i = 0; i < kWaitMs / 20 && pipe_ == INVALID_HANDLE_VALUE; ++i) {
            pipe_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (pipe_ == INVALID_HANDLE_VALUE) Sleep(20);
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr);
    }
    PipeHost(const PipeHost &) = delete;
    ~PipeHost() { CloseHandle(pipe_); }
    bool open() const { return pipe_ != INVALID_HANDLE_VALUE; }

    bool write(const Bytes &command_bytes) {
        const Bytes frame = make_command_frame(command_bytes);
        DWORD count = 0;
        return WriteFile(pipe_, frame.data(), static_cast<DWORD>(frame.size()), &count, nullptr);
    }
    // The next `count` messages, each waited for up to 5 s; fewer when the
    // device falls silent or the pipe breaks. `ended` tells which.
    std::vector<Bytes> read(std::size_t count, int wait_ms = kWaitMs, bool *ended = nullptr) {
        std::vector<Bytes> blocks;
        for (DWORD available = 0, waited = 0; blocks.size() < count;) {
            if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) {
                if (ended) *ended = true;
                break;
            }
            if (available == 0 && static_cast<int>(waited += 5) > wait_ms) break;
            if (available == 0) {
                Sleep(5);
                continue;
            }
            Bytes block(65536);
            DWORD got = 0;
            if (!ReadFile(pipe_, block.data(), static_cast<DWORD>(block.size()), &got, nullptr)) continue;
            block.resize(got);
            blocks.push_back(block);
            waited = 0;
        }
        return blocks;
    }
    std::size_t body_size_of_answer(const Bytes &command_bytes) {
        const auto blocks = write(command_bytes) ? read(1) : std::vector<Bytes>{};
        const auto body = blocks.empty() ? std::nullopt : answer_body(blocks[0]);
        return body ? body->size() : 0;
    }

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

TEST(PipeEndpointTest, TakesSeveralHostsAtOnceAndTellsWhoTheyAre) {
    const std::string prefix = unique_prefix();
    auto endpoint = open_endpoint(prefix, "drova00");
    EXPECT_EQ(endpoint->address(), "\\\\.\\pipe\\" + prefix + "drova00");
    EXPECT_THROW(open_endpoint(prefix, "drova00"), std::runtime_error);  // served already
    std::unique_ptr<PipeHost> hosts[3];
    for (Endpoint::Host host = 1; host <= 3; ++host) {
        hosts[host - 1] = std::make_unique<PipeHost>(endpoint->address());
        const Endpoint::Event event = endpoint->wait(kWaitMs);  // puts the next instance out
        EXPECT_EQ(event.kind, Endpoint::Event::Kind::connected);
        EXPECT_EQ(event.host, host);
        EXPECT_EQ(endpoint->peer_process(host), GetCurrentProcessId());
    }
    ASSERT_TRUE(hosts[1]->write(command(kKeepAlive)));
    Endpoint::Event event = endpoint->wait(kWaitMs);
    EXPECT_EQ(event.host, 2u);
    EXPECT_EQ(event.message, make_command_frame(command(kKeepAlive)));

    // Any block goes as it is to its host alone; a disconnected host reads
    // what was sent before, then the end.
    const Bytes small{1, 2, 3}, long_block(600, 0x5A);
    EXPECT_TRUE(endpoint->send(1, long_block) && endpoint->send(3, small) && endpoint->send(1, small));
    endpoint->disconnect(1);
    EXPECT_FALSE(endpoint->send(1, small));
    event = endpoint->wait(kWaitMs);
    EXPECT_EQ(event.kind, Endpoint::Event::Kind::closed);
    EXPECT_EQ(event.host, 1u);
    bool ended = false;
    EXPECT_EQ(hosts[0]->read(3, kWaitMs, &ended), (std::vector<Bytes>{long_block, small}));
    EXPECT_TRUE(ended);
    EXPECT_EQ(hosts[2]->read(1), std::vector<Bytes>{small});
    EXPECT_TRUE(hosts[1]->read(1, 30).empty());
    hosts[2].reset();
    EXPECT_EQ(endpoint->wait(kWaitMs).host, 3u);
    endpoint->stop();
    EXPECT_EQ(endpoint->wait(kWaitMs).kind, Endpoint::Event::Kind::stopped);
}

TEST(PipeServeTest, SeveralHostsEachWithItsOwnAnswersUntilAnUnplugCutsThemAll) {
    const std::string prefix = unique_prefix();
    auto endpoint = open_endpoint(prefix, "drova00");
    DeviceModel model;
    model.add_fault({.kind = FaultKind::unplug, .opcode = kErase, .amount = 1});
    std::thread server([&] { serve_device(*endpoint, model); });
    {
        PipeHost holder(endpoint->address()), deaf(endpoint->address()), other(endpoint->address());
        ASSERT_TRUE(holder.open() && deaf.open() && other.open());
        for (int i = 0; i < 300; ++i) ASSERT_TRUE(deaf.write(command(kKeepAlive)));
        ASSERT_TRUE(holder.write(command(kKeepAlive)) && other.write(command(kQuery)));
        EXPECT_EQ(holder.read(2, 30), std::vector<Bytes>{make_answer_frame(Bytes{kKeepAlive})});
        EXPECT_EQ(other.read(2, 30).at(0).size(), 20 + 89u);
        EXPECT_EQ(deaf.read(300).size(), 300u);  // nothing lost, no one held up
        // One process is one host: the holder's other connection sees the full block.
        EXPECT_EQ(holder.body_size_of_answer(connect_command(kHostId)), 5u);
        EXPECT_EQ(other.body_size_of_answer(command(kQuery)), 349u);
        ASSERT_TRUE(holder.write(command(kErase, {0})));
        bool holder_ended = false, other_ended = false;
        EXPECT_EQ(holder.read(2, kWaitMs, &holder_ended).size(), 1u);
        EXPECT_TRUE(other.read(1, kWaitMs, &other_ended).empty());
        EXPECT_TRUE(holder_ended && other_ended);
    }
    PipeHost again(endpoint->address());
    EXPECT_EQ(again.body_size_of_answer(command(kQuery)), 89u);  // powered up again, not claimed
    endpoint->stop();
    server.join();
}

}  // namespace
}  // namespace velkor::sim::testing
