// A device served on a named pipe, reached as a host's driver reaches it.
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

    struct Result {
        std::vector<Bytes> blocks;
        bool ended = false;
    };
    Result exchange(const Bytes &command_bytes) {
        const Bytes frame = make_command_frame(command_bytes);
        Result result;
        DWORD count = 0;
        if (!WriteFile(pipe_, frame.data(), static_cast<DWORD>(frame.size()), &count, nullptr)) return result;
        for (;;) {
            // Waits up to 5 s for a message, so that a silent device fails the test instead of hanging it.
            DWORD available = 0;
            for (int i = 0; i < 500 && PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) && available == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (available == 0) return result;
            Bytes message(4096);
            if (!ReadFile(pipe_, message.data(), static_cast<DWORD>(message.size()), &count, nullptr)) return result;
            message.resize(count);
            if (message == Bytes{0x00}) {
                result.ended = true;
                return result;
            }
            result.blocks.emplace_back(message.begin() + 1, message.end());
        }
    }

private:
    HANDLE pipe_;
};

TEST(PipeServeTest, ExchangesFramesOneHostAtATimeAndUnplugs) {
    const std::string prefix = "velkor-sim-test-" + std::to_string(GetCurrentProcessId()) + "-";
    install_stop_handlers();
    auto endpoint = open_endpoint(prefix, "drova00");
    EXPECT_EQ(endpoint->address(), "\\\\.\\pipe\\" + prefix + "drova00");
    EXPECT_THROW(open_endpoint(prefix, "drova00"), std::runtime_error);  // served already
    DeviceModel model;
    FaultRule unplug;
    unplug.kind = FaultKind::unplug;
    unplug.opcode = kErase;
    model.add_fault(unplug);
    std::thread server([&] { serve_device(*endpoint, model, [] {}); });

    {
        PipeHost host(endpoint->address());
        ASSERT_TRUE(host.open());
        auto result = host.exchange(command(kKeepAlive));
        EXPECT_TRUE(result.ended);
        ASSERT_EQ(result.blocks.size(), 1u);
        EXPECT_EQ(result.blocks[0], make_answer_frame(Bytes{kKeepAlive}));
        result = host.exchange(connect_command(kHostId));
        EXPECT_TRUE(result.ended);
        EXPECT_EQ(result.blocks.size(), 1u);

        PipeHost intruder(endpoint->address());
        EXPECT_FALSE(intruder.open());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

        result = host.exchange(command(kErase, {0}));  // the unplug
        EXPECT_FALSE(result.ended);
    }
    // The daemon needs a moment to take the pipe back after the cut.
    auto again = std::make_unique<PipeHost>(endpoint->address());
    for (int i = 0; i < 100 && !again->open(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        again = std::make_unique<PipeHost>(endpoint->address());
    }
    ASSERT_TRUE(again->open());
    const auto result = again->exchange(command(kQuery));
    EXPECT_TRUE(result.ended);
    ASSERT_EQ(result.blocks.size(), 1u);
    EXPECT_EQ(answer_body(result.blocks[0])->size(), 89u);  // powered up again, not claimed

    request_stop();
    server.join();
}

}  // namespace
}  // namespace velkor::sim::testing
