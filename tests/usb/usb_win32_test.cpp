// The Windows device backend's overlapped transfers, against named pipes that
// stand in for a device interface.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_endpoint.h"
#include "platform/usb_driver_win32.h"
#include "usb/Usb.h"
#include "usb/Usblink.h"
#include "usb/in_process_device.h"
#include "usb/test_device.h"
#include "usb/usb_backend.h"

namespace velkor::usb {
namespace {

using testing::pattern;

// Lists fixed paths as the interfaces of the class and opens them with the
// device backend.
class ListedPaths final : public platform::UsbBackend {
public:
    explicit ListedPaths(std::vector<std::string> paths) : paths_(std::move(paths)) {}
    platform::PathLookup interface_path(const platform::InterfaceClassGuid &, std::uint32_t member,
                                        std::string &path) override {
        if (member >= paths_.size()) return platform::PathLookup::no_interface;
        path = paths_[member];
        return platform::PathLookup::found;
    }
    std::unique_ptr<platform::UsbConnection> open(const std::string &path) override {
        return platform::device_backend()->open(path);
    }

private:
    std::vector<std::string> paths_;
};

// The device's end of a message-mode pipe, used synchronously by the test.
class PipeServer {
public:
    explicit PipeServer(DWORD buffer_size = 4096) {
        static std::atomic<int> serial{0};
        path_ = "\\\\.\\pipe\\velkor-usb-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++serial);
        handle_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   1, buffer_size, buffer_size, 0, nullptr);
    }
    ~PipeServer() { hang_up(); }

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    const std::string &path() const { return path_; }

    void write(const Block &block) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(handle_, block.data(), static_cast<DWORD>(block.size()), &written, nullptr));
    }
    // One message when there is one.
    std::optional<Block> read() {
        DWORD available = 0;
        if (!PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr) || available == 0) return std::nullopt;
        Block message(4096);
        DWORD count = 0;
        if (!ReadFile(handle_, message.data(), static_cast<DWORD>(message.size()), &count, nullptr))
            return std::nullopt;
        message.resize(count);
        return message;
    }
    void hang_up() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    std::string path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::atomic<int> cancels{0};

BOOL WINAPI counting_cancel_io(HANDLE handle) {
    ++cancels;
    return CancelIo(handle);
}

BOOL WINAPI read_at_end_of_file(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
}

BOOL WINAPI read_refused(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

class DeviceBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        detach_all_in_process_devices();
        select_in_process_backend(false);
        platform::set_device_location(nullptr);
        UsbSetInterface(kDeviceInterfaceClass, kInterfaceFilter);
        platform::overlapped_calls().cancel_io = counting_cancel_io;
        cancels = 0;
        ASSERT_TRUE(server_.valid());
    }
    void TearDown() override {
        UsbClose();
        install_usb_backend(nullptr);
        platform::overlapped_calls() = platform::OverlappedCalls{};
    }

    void open_link() {
        install_usb_backend(std::make_shared<ListedPaths>(std::vector<std::string>{server_.path()}));
        ASSERT_TRUE(LinkOpen(0));
        cancels = 0;
    }
    static std::optional<Block> poll() {
        std::uint8_t buffer[kBlockSize];
        std::uint32_t length = 0;
        if (Poll(buffer, &length) != 1) return std::nullopt;
        return Block(buffer, buffer + length);
    }
    int send() { return thread_.Send(frame_.data(), kBlockSize); }

    PipeServer server_;
    TUSBThread thread_;
    const Block frame_ = pattern(kBlockSize, 11);
};

TEST_F(DeviceBackendTest, WithoutADeviceDirectoryTheInterfaceClassIsLookedUp) {
    // No interface of the class exists on the test machine.
    EXPECT_EQ(UsbGetDevicePath(0, nullptr, 0, nullptr), kNoInterface);
    EXPECT_EQ(UsbCountDevices(), 0);
}

TEST_F(DeviceBackendTest, TransfersThatTheDriverFinishesAtOnceComplete) {
    open_link();
    EXPECT_STREQ(UsbCurrentDevicePath(), server_.path().c_str());
    server_.write(pattern(100, 1));
    EXPECT_EQ(poll(), pattern(100, 1));
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(server_.read(), frame_);
}

TEST_F(DeviceBackendTest, AReadNotFinishedWithinTheWaitIsCancelled) {
    open_link();
    std::uint8_t buffer[kBlockSize];
    std::uint32_t length = 5;
    EXPECT_EQ(Poll(buffer, &length), 0);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(cancels, 2) << "once when the wait ran out, once on the way out";
    // The cancelled read took nothing: the next block goes to the next read.
    server_.write(pattern(40, 2));
    EXPECT_EQ(poll(), pattern(40, 2));
}

TEST_F(DeviceBackendTest, AWriteNotFinishedWithinTheWaitIsCancelledAndNotSent) {
    PipeServer narrow(512);
    ASSERT_TRUE(narrow.valid());
    install_usb_backend(std::make_shared<ListedPaths>(std::vector<std::string>{narrow.path()}));
    ASSERT_TRUE(LinkOpen(0));
    int sent = 0;
    while (sent < 256 && send() == 0) ++sent;
    ASSERT_LT(sent, 256) << "the pipe never filled up";
    int arrived = 0;
    while (const auto message = narrow.read()) {
        EXPECT_EQ(*message, frame_);
        ++arrived;
    }
    EXPECT_EQ(arrived, sent);
}

TEST_F(DeviceBackendTest, EndOfFileIsNotCancelledOtherRefusalsAre) {
    open_link();
    platform::overlapped_calls().read_file = read_at_end_of_file;
    EXPECT_FALSE(poll());
    EXPECT_EQ(cancels, 0);
    platform::overlapped_calls().read_file = read_refused;
    EXPECT_FALSE(poll());
    EXPECT_EQ(cancels, 1);
}

TEST_F(DeviceBackendTest, AReadThatFailsAfterItWasAcceptedPrintsTheError) {
    open_link();
    std::thread hang_up([&] {
        Sleep(200);
        server_.hang_up();
    });
    std::uint8_t buffer[kBlockSize];
    std::uint32_t count = 9;
    ::testing::internal::CaptureStdout();
    const int result = UsbRead(buffer, kBlockSize, &count, 20000);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    hang_up.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(std::regex_match(printed, std::regex("Error: [1-9][0-9]*\n"))) << printed;
}

TEST_F(DeviceBackendTest, AClosedLinkAndAGoneDevice) {
    open_link();
    server_.hang_up();
    EXPECT_EQ(send(), 1);
    EXPECT_FALSE(poll());
    EXPECT_TRUE(LinkClose());
    std::uint8_t buffer[kBlockSize];
    std::uint32_t length = 0;
    EXPECT_EQ(Poll(buffer, &length), 1);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(send(), 1);
    EXPECT_EQ(UsbClose(), 1);
}

TEST_F(DeviceBackendTest, AnInterfaceThatCannotBeOpenedLeavesTheLinkClosed) {
    install_usb_backend(std::make_shared<ListedPaths>(std::vector<std::string>{server_.path() + "-absent"}));
    EXPECT_EQ(UsbOpen(0), kNoDevice);
    EXPECT_FALSE(UsbIsOpen());
    const char zero[kPathSize] = {};
    EXPECT_EQ(std::memcmp(UsbCurrentDevicePath(), zero, kPathSize), 0);
}

}  // namespace
}  // namespace velkor::usb
