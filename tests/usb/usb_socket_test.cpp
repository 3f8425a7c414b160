// The socket device transport against devices served by threads of this
// program: SOCK_SEQPACKET sockets on POSIX, named pipes on Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/device_endpoint.h"
#include "usb/Usb.h"
#include "usb/Usblink.h"
#include "usb/in_process_device.h"
#include "usb/usb_backend.h"
#include "usb/test_device.h"

namespace velkor::usb {
namespace {

using testing::Message;
using testing::Reply;
using testing::TestDevice;
using testing::pattern;
using namespace std::chrono_literals;

class SocketLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        detach_all_in_process_devices();
        select_in_process_backend(false);
        platform::set_device_location(location_.value().c_str());
        UsbSetInterface(kDeviceInterfaceClass, kInterfaceFilter);
    }
    void TearDown() override {
        UsbClose();
        platform::set_device_location(nullptr);
    }

    std::unique_ptr<TestDevice> device(const std::string &name, std::function<Reply(const Message &)> responder) {
        return std::make_unique<TestDevice>(location_.value(), name, std::move(responder));
    }
    static std::function<Reply(const Message &)> always(Reply reply) {
        return [reply](const Message &) { return reply; };
    }

    // Polls one block at once; empty when Poll returned 0.
    static Message poll() {
        std::uint8_t buffer[kBlockSize];
        std::uint32_t length = 0;
        if (Poll(buffer, &length) != 1) return {};
        return Message(buffer, buffer + length);
    }
    // Waits for the next block as the link's loop does, then polls it.
    static Message next_block(std::uint32_t wait_ms = 5000) {
        const auto link = LinkConnection();
        if (!link || link->wait_readable(wait_ms) != platform::Readiness::block) return {};
        return poll();
    }

    int send() { return thread_.Send(frame_.data(), kBlockSize); }

    platform::ScratchDeviceLocation location_;
    TUSBThread thread_;
    const Message frame_ = pattern(kBlockSize, 3);
};

TEST_F(SocketLinkTest, InterfacesAreListedInNameOrder) {
    auto two = device("2", always({}));
    auto zero = device("0", always({}));
    auto one = device("1", always({}));
    EXPECT_EQ(UsbCountDevices(), 3);
    char path[kPathSize];
    const TestDevice *in_order[] = {zero.get(), one.get(), two.get()};
    for (int member = 0; member < 3; ++member) {
        ASSERT_EQ(UsbGetDevicePath(member, path, kPathSize, nullptr), kPathFound);
        EXPECT_EQ(path, in_order[member]->path());
    }
    EXPECT_EQ(UsbGetDevicePath(3, path, kPathSize, nullptr), kNoInterface);

    ASSERT_TRUE(LinkOpen(1));
    EXPECT_STREQ(UsbCurrentDevicePath(), one->path().c_str());
    EXPECT_EQ(send(), 0);
    EXPECT_TRUE(next_block(200).empty());
    EXPECT_EQ(one->requests().size(), 1u);
    EXPECT_TRUE(zero->requests().empty());
}

TEST_F(SocketLinkTest, TheDaemonsDeviceNamesAreFound) {
    auto second = device("drova01", always({}));
    auto first = device("drova00", always({}));
    ASSERT_EQ(UsbCountDevices(), 2);
    char path[kPathSize];
    ASSERT_EQ(UsbGetDevicePath(0, path, kPathSize, nullptr), kPathFound);
    EXPECT_EQ(path, first->path());
    ASSERT_EQ(UsbGetDevicePath(1, path, kPathSize, nullptr), kPathFound);
    EXPECT_EQ(path, second->path());
}

TEST_F(SocketLinkTest, ALocationWithoutDevicesListsNothing) {
    platform::set_device_location((location_.value() + "missing").c_str());
    EXPECT_EQ(UsbCountDevices(), 0);
    EXPECT_EQ(UsbGetDevicePath(0, nullptr, 0, nullptr), kNoInterface);
    EXPECT_FALSE(LinkOpen(0));
}

// Each message of the device is one block exactly as a read delivers it,
// cut to the read's 512 bytes; a message of no bytes is a read of nothing.
TEST_F(SocketLinkTest, EveryMessageOfTheDeviceIsOneBlock) {
    const Message first = pattern(kBlockSize, 1), second = pattern(21, 2), third = pattern(600, 3),
                  not_a_frame = {0x00, 0x01}, empty;
    auto dev = device("0", always({{first, second, third, not_a_frame, empty, pattern(7, 4)}}));
    ASSERT_TRUE(LinkOpen(0));
    ASSERT_EQ(send(), 0);
    EXPECT_EQ(next_block(), first);
    EXPECT_EQ(next_block(), second);
    EXPECT_EQ(next_block(), Message(third.begin(), third.begin() + kBlockSize)) << "cut to the read's 512 bytes";
    EXPECT_EQ(next_block(), not_a_frame);
    EXPECT_TRUE(next_block().empty()) << "a message of no bytes reads as nothing";
    EXPECT_EQ(next_block(), pattern(7, 4));
    ASSERT_EQ(dev->requests().size(), 1u);
    EXPECT_EQ(dev->requests()[0], frame_);
}

// The host never waits for its device: a write is done once it is handed
// over, whatever the device does then.
TEST_F(SocketLinkTest, AWriteNeverWaitsForTheDevice) {
    struct Row {
        const char *device;
        Reply reply;
        Message later;  // what the link reads afterwards
    };
    const Row rows[] = {
        {"answers after a pause", {{pattern(50, 1)}, 200ms}, pattern(50, 1)},
        {"never answers", {}, {}},
        {"answers, then hangs up", {{pattern(30, 5)}, 100ms, true}, pattern(30, 5)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.device);
        auto dev = device("0", always(row.reply));
        ASSERT_TRUE(LinkOpen(0));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(send(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        EXPECT_TRUE(poll().empty()) << "nothing there at once";
        EXPECT_EQ(next_block(row.later.empty() ? 150 : 5000), row.later);
        LinkClose();
    }
}

TEST_F(SocketLinkTest, ADeviceThatHangsUpReadsAsEndOfFileAfterWhatItSent) {
    auto dev = device("0", always({{pattern(30, 5)}, 0ms, true}));
    ASSERT_TRUE(LinkOpen(0));
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(next_block(), pattern(30, 5)) << "what arrived before the hang-up stays readable";
    // The end of file may first be there to read (a socket) or end the wait
    // at once (a pipe); either way nothing more is read and the link ends.
    const auto link = LinkConnection();
    auto readiness = link->wait_readable(2000);
    for (int reads = 0; reads < 3 && readiness == platform::Readiness::block; ++reads) {
        EXPECT_TRUE(poll().empty());
        readiness = link->wait_readable(2000);
    }
    EXPECT_EQ(readiness, platform::Readiness::ended);
    EXPECT_TRUE(UsbIsOpen());
    EXPECT_EQ(send(), 1) << "a closed connection fails writes";
    EXPECT_TRUE(LinkClose());
}

TEST_F(SocketLinkTest, AWaitOnTheLinkEndsWhenTheLinkIsClosed) {
    auto dev = device("0", always({}));
    ASSERT_TRUE(LinkOpen(0));
    const auto link = LinkConnection();
    std::thread closer([] {
        std::this_thread::sleep_for(50ms);
        LinkClose();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->wait_readable(platform::kWaitForever), platform::Readiness::ended);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    closer.join();
}

// An endpoint takes several hosts at once, each with its own answers.
TEST_F(SocketLinkTest, SeveralHostsOpenOneEndpointAtOnce) {
    TestDevice dev(location_.value(), "0", [](const Message &request, int connection) {
        Message answer = request;
        answer.resize(24);
        answer[0] = static_cast<std::uint8_t>(connection);
        return Reply{{answer}, connection == 1 ? 300ms : 0ms};
    });
    const auto backend = select_usb_backend();
    auto first = backend->open(dev.path());
    auto second = backend->open(dev.path());
    ASSERT_TRUE(first && second);
    const Message one = pattern(kBlockSize, 1), two = pattern(kBlockSize, 2);
    ASSERT_EQ(first->write(one.data(), kBlockSize, 0).result, platform::Transfer::completed);
    ASSERT_EQ(second->write(two.data(), kBlockSize, 0).result, platform::Transfer::completed);
    const auto read = [](platform::UsbConnection &connection) {
        Message block(kBlockSize);
        if (connection.wait_readable(5000) != platform::Readiness::block) return Message{};
        const auto outcome = connection.read(block.data(), kBlockSize, 0);
        block.resize(outcome.count);
        return block;
    };
    const Message second_answer = read(*second);
    ASSERT_EQ(second_answer.size(), 24u) << "the slow first host holds nothing of the second";
    EXPECT_EQ(second_answer[0], 2);
    Message scratch(kBlockSize);
    EXPECT_EQ(first->read(scratch.data(), kBlockSize, 0).result, platform::Transfer::not_completed)
        << "not yet answered";
    const Message first_answer = read(*first);
    ASSERT_EQ(first_answer.size(), 24u);
    EXPECT_EQ(first_answer[0], 1);
    EXPECT_EQ(dev.connections(), 2);
    first->close();
    second->close();
}

TEST_F(SocketLinkTest, FindDeviceIndexProbesEachInterface) {
    auto zero = device("0", always({}));
    auto one = device("1", always({}));
    char wanted[kPathSize] = {};
    std::strncpy(wanted, one->path().c_str(), kPathSize - 1);
    EXPECT_EQ(UsbFindDeviceIndex(wanted), 1);
    EXPECT_FALSE(UsbIsOpen());
    std::strncpy(wanted, (one->path() + "x").c_str(), kPathSize - 1);
    EXPECT_EQ(UsbFindDeviceIndex(wanted), -1);
    EXPECT_STREQ(UsbCurrentDevicePath(), one->path().c_str());
}

}  // namespace
}  // namespace velkor::usb
