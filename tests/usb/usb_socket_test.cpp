// The socket device transport against devices served by threads of this
// program: SOCK_SEQPACKET sockets on POSIX, named pipes on Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/device_endpoint.h"
#include "usb/Usb.h"
#include "usb/Usblink.h"
#include "usb/in_process_device.h"
#include "usb/socket_backend.h"
#include "usb/test_device.h"

namespace velkor::usb {
namespace {

using testing::Message;
using testing::Reply;
using testing::TestDevice;
using testing::block_message;
using testing::pattern;
using namespace std::chrono_literals;

class SocketLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        detach_all_in_process_devices();
        select_in_process_backend(false);
        platform::set_device_location(location_.value().c_str());
        UsbSetInterface(kDeviceInterfaceClass, kInterfaceFilter);
        set_answer_bound(5s);
    }
    void TearDown() override {
        UsbClose();
        platform::set_device_location(nullptr);
        set_answer_bound(kDefaultAnswerBound);
    }

    std::unique_ptr<TestDevice> device(const std::string &name, TestDevice::Responder responder) {
        return std::make_unique<TestDevice>(location_.value(), name, std::move(responder));
    }
    static TestDevice::Responder always(Reply reply) {
        return [reply](const Message &) { return reply; };
    }

    // Polls one block; empty when Poll returned 0.
    static Message poll() {
        std::uint8_t buffer[kBlockSize];
        std::uint32_t length = 0;
        if (Poll(buffer, &length) != 1) return {};
        return Message(buffer, buffer + length);
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

TEST_F(SocketLinkTest, EveryAnswerBlockComesBackThroughPoll) {
    const Message first = pattern(kBlockSize, 1), second = pattern(21, 2), third = pattern(600, 3);
    auto dev = device("0", always({{block_message(first), block_message(second), block_message(third)}}));
    ASSERT_TRUE(LinkOpen(0));
    ASSERT_EQ(send(), 0);
    ASSERT_EQ(dev->requests().size(), 1u);
    EXPECT_EQ(dev->requests()[0], frame_);
    EXPECT_EQ(poll(), first);
    EXPECT_EQ(poll(), second);
    EXPECT_EQ(poll(), Message(third.begin(), third.begin() + kBlockSize)) << "cut to the read's 512 bytes";
    EXPECT_TRUE(poll().empty());
}

TEST_F(SocketLinkTest, ASilentDeviceCompletesTheWriteWithNothingToRead) {
    int exchange = 0;
    auto dev = device("0", [&](const Message &) {
        return ++exchange == 1 ? Reply{} : Reply{{block_message(pattern(40, 9))}};
    });
    ASSERT_TRUE(LinkOpen(0));
    EXPECT_EQ(send(), 0);
    EXPECT_TRUE(poll().empty());
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(poll(), pattern(40, 9));
}

TEST_F(SocketLinkTest, MessagesThatAreNotOfTheTransportAreDropped) {
    auto dev = device("0", always({{{0x07, 1, 2}, {}, {0x00, 0x00}, block_message(pattern(25, 4))}}));
    ASSERT_TRUE(LinkOpen(0));
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(poll(), pattern(25, 4));
    EXPECT_TRUE(poll().empty());
}

TEST_F(SocketLinkTest, ADeviceThatHangsUpMidExchangeFailsTheWriteAndReadsEndOfFile) {
    Reply hang_up{{block_message(pattern(30, 5))}};
    hang_up.close = true;
    auto dev = device("0", always(hang_up));
    ASSERT_TRUE(LinkOpen(0));
    EXPECT_EQ(send(), 1);
    EXPECT_EQ(poll(), pattern(30, 5)) << "what arrived before the hang-up stays readable";
    EXPECT_TRUE(poll().empty());
    EXPECT_TRUE(UsbIsOpen());
    EXPECT_EQ(send(), 1);
    EXPECT_TRUE(LinkClose());
}

TEST_F(SocketLinkTest, AWriteWaitsForTheEndMessageOnlyAsLongAsTheBound) {
    int exchange = 0;
    auto dev = device("0", [&](const Message &) {
        if (++exchange == 1) {
            Reply slow{{block_message(pattern(50, 1))}};
            slow.end_delay = 1500ms;
            return slow;
        }
        return Reply{{block_message(pattern(60, 2))}};
    });
    ASSERT_TRUE(LinkOpen(0));
    set_answer_bound(100ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1200ms);
    EXPECT_EQ(poll(), pattern(50, 1));

    // The late end message belongs to the first write, not to the next one.
    set_answer_bound(10s);
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(poll(), pattern(60, 2));
    EXPECT_TRUE(poll().empty());
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
