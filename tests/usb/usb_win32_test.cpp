// The Windows device backend's overlapped transfers, against named pipes that
// stand in for a device interface; the pipe channel of the socket transport;
// where the lookup finds VELKOR_USB_DIR.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
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
using namespace std::chrono_literals;

// Runs `call` on a thread of its own and waits up to `limit` for it. A call
// still blocked then is left to its thread, which keeps what it captured, so
// that a hang fails the test instead of stopping the program.
template <typename Call>
bool returns_within(std::chrono::milliseconds limit, Call call) {
    std::packaged_task<void()> task(std::move(call));
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(limit) != std::future_status::ready) {
        runner.detach();
        return false;
    }
    runner.join();
    return true;
}

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
    // Ends the connection and drops whatever the client has not read yet.
    void disconnect() { ASSERT_TRUE(DisconnectNamedPipe(handle_)); }

private:
    std::string path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::atomic<int> cancels{0};

BOOL WINAPI counting_cancel_io(HANDLE handle, LPOVERLAPPED overlapped) {
    ++cancels;
    return CancelIoEx(handle, overlapped);
}

BOOL WINAPI read_at_end_of_file(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
}

BOOL WINAPI read_refused(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// A driver that accepts a transfer and never ends it, not even when it is
// cancelled; the test ends it late by hand.
std::atomic<OVERLAPPED *> stuck_record{nullptr};
std::atomic<std::uint8_t *> stuck_buffer{nullptr};

BOOL WINAPI accept_never_ending(LPCVOID buffer, LPOVERLAPPED overlapped) {
    overlapped->Internal = STATUS_PENDING;
    stuck_record = overlapped;
    stuck_buffer = static_cast<std::uint8_t *>(const_cast<LPVOID>(buffer));
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}
BOOL WINAPI read_never_ending(HANDLE, LPVOID buffer, DWORD, LPDWORD, LPOVERLAPPED overlapped) {
    return accept_never_ending(buffer, overlapped);
}
BOOL WINAPI write_never_ending(HANDLE, LPCVOID buffer, DWORD, LPDWORD, LPOVERLAPPED overlapped) {
    return accept_never_ending(buffer, overlapped);
}
BOOL WINAPI cancel_ignored(HANDLE, LPOVERLAPPED) {
    ++cancels;
    return TRUE;
}

std::atomic<DWORD> read_issuer{0};

BOOL WINAPI read_noting_its_thread(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD count, LPOVERLAPPED overlapped) {
    read_issuer = GetCurrentThreadId();
    return ReadFile(handle, buffer, size, count, overlapped);
}

std::atomic<OVERLAPPED *> last_record{nullptr};

BOOL WINAPI read_watched(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD count, LPOVERLAPPED overlapped) {
    last_record = overlapped;
    return ReadFile(handle, buffer, size, count, overlapped);
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

// One read stays pending on the interface: the device's next block lands in
// it whenever it comes, and the link's loop is woken by it.
TEST_F(DeviceBackendTest, AReadNotFinishedAtOnceStaysPendingForTheNextBlock) {
    open_link();
    std::uint8_t buffer[kBlockSize];
    std::uint32_t length = 5;
    EXPECT_EQ(Poll(buffer, &length), 0);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(cancels, 0) << "a pending read is not cancelled";
    const auto link = LinkConnection();
    EXPECT_EQ(link->wait_readable(20), platform::Readiness::timed_out);
    std::thread device([&] {
        Sleep(50);
        server_.write(pattern(40, 2));
    });
    EXPECT_EQ(link->wait_readable(5000), platform::Readiness::block);
    device.join();
    EXPECT_EQ(poll(), pattern(40, 2));
    server_.write(pattern(41, 3));
    EXPECT_EQ(link->wait_readable(5000), platform::Readiness::block);
    EXPECT_EQ(poll(), pattern(41, 3)) << "the next read was pending again at once";

    std::thread closer([] {
        Sleep(50);
        LinkClose();
    });
    EXPECT_EQ(link->wait_readable(platform::kWaitForever), platform::Readiness::ended) << "a close ends the wait";
    closer.join();
    EXPECT_EQ(cancels, 1) << "the close cancelled the pending read";
}

// A connection that no loop waits on (the search asks each interface on one of
// its own and reads the answers when its period ends) takes what its pending
// read brought meanwhile with a read of no wait.
TEST_F(DeviceBackendTest, AReadOfNoWaitTakesWhatThePendingReadBroughtMeanwhile) {
    const std::shared_ptr<platform::UsbConnection> connection = platform::device_backend()->open(server_.path());
    ASSERT_TRUE(connection);
    ASSERT_EQ(connection->write(frame_.data(), kBlockSize, 0).result, platform::Transfer::completed);
    std::uint8_t buffer[kBlockSize];
    EXPECT_EQ(connection->read(buffer, kBlockSize, 0).result, platform::Transfer::not_completed);
    server_.write(pattern(89, 4));
    // The pipe hands the block to the pending read in a moment.
    platform::TransferOutcome outcome;
    for (int i = 0; i < 500; ++i) {
        outcome = connection->read(buffer, kBlockSize, 0);
        if (outcome.result != platform::Transfer::not_completed) break;
        Sleep(2);
    }
    ASSERT_EQ(outcome.result, platform::Transfer::completed);
    EXPECT_EQ(Block(buffer, buffer + outcome.count), pattern(89, 4));
    EXPECT_EQ(server_.read(), frame_);
    connection->close();
}

// A host may call from a thread that ends as soon as the export returns, and
// Windows cancels the I/O a thread issued when that thread ends (a driver
// handing over a block just then loses it): the connection issues its reads
// on a thread of its own.
TEST_F(DeviceBackendTest, ReadsAreIssuedByAThreadThatOutlivesItsCaller) {
    platform::overlapped_calls().read_file = read_noting_its_thread;
    read_issuer = 0;
    const std::shared_ptr<platform::UsbConnection> connection = platform::device_backend()->open(server_.path());
    ASSERT_TRUE(connection);
    DWORD caller = 0;
    std::thread([&] {
        caller = GetCurrentThreadId();
        EXPECT_EQ(connection->write(frame_.data(), kBlockSize, 0).result, platform::Transfer::completed);
    }).join();
    EXPECT_NE(read_issuer.load(), 0u) << "the write left no read pending";
    EXPECT_NE(read_issuer.load(), caller);
    server_.write(pattern(89, 7));
    std::uint8_t buffer[kBlockSize];
    const platform::TransferOutcome outcome = connection->read(buffer, kBlockSize, 5000);
    ASSERT_EQ(outcome.result, platform::Transfer::completed);
    EXPECT_EQ(Block(buffer, buffer + outcome.count), pattern(89, 7));
    connection->close();
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

TEST_F(DeviceBackendTest, ReadsThatEndWhenIssuedLeaveNothingToCancel) {
    open_link();
    platform::overlapped_calls().read_file = read_at_end_of_file;
    EXPECT_FALSE(poll());
    EXPECT_EQ(LinkConnection()->wait_readable(1000), platform::Readiness::ended);
    platform::overlapped_calls().read_file = read_refused;
    EXPECT_FALSE(poll());
    EXPECT_EQ(LinkConnection()->wait_readable(1000), platform::Readiness::ended);
    EXPECT_EQ(cancels, 0);
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

// A write not finished within its wait, and the read still pending when the
// connection closes, are cancelled; a driver that never ends them keeps their
// record and buffer, never the caller's.
TEST_F(DeviceBackendTest, ATransferWhoseCancelNeverEndsIsGivenUpToTheDriverAfterTheBound) {
    for (const bool reading : {true, false}) {
        SCOPED_TRACE(reading ? "read" : "write");
        PipeServer server;
        ASSERT_TRUE(server.valid());
        const std::shared_ptr<platform::UsbConnection> connection = platform::device_backend()->open(server.path());
        ASSERT_TRUE(connection);
        platform::OverlappedCalls &calls = platform::overlapped_calls();
        // A write first makes sure a read waits for the answer: a real one here.
        calls.read_file = reading ? read_never_ending : read_watched;
        calls.write_file = write_never_ending;
        calls.cancel_io = cancel_ignored;
        calls.cancel_bound_ms = 50;
        cancels = 0;
        stuck_record = nullptr;
        const auto caller_buffer = std::make_shared<Block>(pattern(kBlockSize, 5));
        const auto outcome = std::make_shared<platform::TransferOutcome>();
        if (reading) {
            *outcome = connection->read(caller_buffer->data(), kBlockSize, 10);
            EXPECT_EQ(cancels, 0) << "the read stays pending while the connection is open";
            ASSERT_TRUE(returns_within(5s, [=] { connection->close(); }))
                << "the close waited for the cancel without a bound";
        } else {
            ASSERT_TRUE(returns_within(5s, [=] {
                *outcome = connection->write(caller_buffer->data(), kBlockSize, 10);
            })) << "the write waited for the cancel without a bound";
        }
        EXPECT_EQ(outcome->result, platform::Transfer::not_completed);
        EXPECT_EQ(cancels, 1);

        // The driver ends the transfer late, into the record and buffer it was
        // given: they are still there and are not the caller's.
        OVERLAPPED *const late = stuck_record;
        ASSERT_NE(late, nullptr);
        if (reading) std::memset(stuck_buffer, 0xEE, kBlockSize);
        late->InternalHigh = kBlockSize;
        late->Internal = 0;
        EXPECT_TRUE(SetEvent(late->hEvent)) << "the record's event was closed";
        EXPECT_EQ(*caller_buffer, pattern(kBlockSize, 5));
        if (reading) continue;

        // The connection goes on with a record of its own.
        calls = platform::OverlappedCalls{};
        calls.read_file = read_watched;
        OVERLAPPED *const pending_read = last_record;
        server.write(pattern(40, 6));
        Block received(kBlockSize);
        const platform::TransferOutcome next = connection->read(received.data(), kBlockSize, 1000);
        ASSERT_EQ(next.result, platform::Transfer::completed);
        received.resize(next.count);
        EXPECT_EQ(received, pattern(40, 6));
        EXPECT_EQ(connection->write(frame_.data(), kBlockSize, 1000).result, platform::Transfer::completed);
        EXPECT_NE(pending_read, late);
        EXPECT_EQ(server.read(), frame_);
    }
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

// Bytes of the current message not read yet at the channel's end.
DWORD left_of_message(const platform::MessageChannel &channel) {
    DWORD left = 0;
    return PeekNamedPipe(reinterpret_cast<HANDLE>(channel.handle()), nullptr, 0, nullptr, nullptr, &left) ? left : 0;
}

// The host's end of the socket transport on Windows, against a pipe the test
// serves synchronously.
TEST(PipeChannelTest, AMessageLongerThanTheBufferIsCutAndItsRestReadAway) {
    constexpr std::size_t kLong = platform::MessageChannel::kMaxMessage + 904;
    const struct {
        const char *name;
        bool read_already_pending;  // the message arrives while a read waits
        bool rest_dropped;          // the device disconnects before the rest is read
    } rows[] = {
        {"waiting when the read starts", false, false},
        {"arriving while the read is pending", true, false},
        {"rest dropped by a disconnect", true, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        PipeServer server(64 * 1024);
        ASSERT_TRUE(server.valid());
        const std::shared_ptr<platform::MessageChannel> channel = platform::connect_device_endpoint(server.path());
        ASSERT_TRUE(channel);
        auto received = std::make_shared<std::vector<std::uint8_t>>();
        if (row.read_already_pending) {
            ASSERT_EQ(channel->receive(*received, 0), platform::MessageChannel::Receive::timed_out);
        }
        server.write(pattern(kLong, 7));
        if (row.rest_dropped) {
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (left_of_message(*channel) != kLong - platform::MessageChannel::kMaxMessage &&
                   std::chrono::steady_clock::now() < deadline)
                Sleep(1);
            ASSERT_EQ(left_of_message(*channel), kLong - platform::MessageChannel::kMaxMessage)
                << "the pending read did not take the first part";
            server.disconnect();
        }
        auto result = std::make_shared<platform::MessageChannel::Receive>();
        ASSERT_TRUE(returns_within(5s, [=] { *result = channel->receive(*received, 1000); }))
            << "the channel waited for a read that had failed at once";
        EXPECT_EQ(*result, platform::MessageChannel::Receive::message);
        EXPECT_EQ(*received, pattern(platform::MessageChannel::kMaxMessage, 7));
        if (row.rest_dropped) {
            EXPECT_EQ(channel->receive(*received, 1000), platform::MessageChannel::Receive::closed);
        } else {
            server.write(pattern(10, 8));
            EXPECT_EQ(channel->receive(*received, 1000), platform::MessageChannel::Receive::message);
            EXPECT_EQ(*received, pattern(10, 8)) << "the rest of the long message was not read away";
        }
    }
}

// The host may set VELKOR_USB_DIR through the OS or another C runtime.
TEST(DeviceLocationTest, TheVariableIsReadFromTheProcessEnvironment) {
    const std::string long_prefix = "velkor-" + std::string(1000, 'p') + "-";
    const struct {
        const char *set;  // null: removed
        std::optional<std::string> seen;
    } rows[] = {
        {"velkor-env-", "velkor-env-"},
        {long_prefix.c_str(), long_prefix},
        {"", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.set != nullptr ? std::string(row.set).substr(0, 20) : "removed");
        ASSERT_TRUE(SetEnvironmentVariableA("VELKOR_USB_DIR", row.set));
        EXPECT_EQ(platform::socket_device_location(), row.seen);
    }

    platform::set_device_location("velkor-set-");
    char value[32] = {};
    EXPECT_EQ(GetEnvironmentVariableA("VELKOR_USB_DIR", value, sizeof value), 11u);
    EXPECT_STREQ(value, "velkor-set-");
    platform::set_device_location(nullptr);
    EXPECT_EQ(GetEnvironmentVariableA("VELKOR_USB_DIR", value, sizeof value), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

}  // namespace
}  // namespace velkor::usb
