// The lookup, the link operations and TUSBThread on the in-process backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "session/session.h"
#include "usb/Usb.h"
#include "usb/Usblink.h"
#include "usb/block_queue.h"
#include "usb/in_process_device.h"
#include "usb/test_device.h"
#include "usb/usb_backend.h"

namespace velkor::usb {
namespace {

using testing::pattern;

// Answers every block with `answers`; unplugs itself when `alive` is false.
class FakeDevice final : public InProcessDevice {
public:
    explicit FakeDevice(std::vector<Block> answers = {}) : answers_(std::move(answers)) {}
    void on_open() override { ++opened; }
    void on_close() override { ++closed; }
    bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<Block> &answers) override {
        received.emplace_back(data, data + size);
        if (!alive) return false;
        answers = answers_;
        return true;
    }

    std::vector<Block> received;
    bool alive = true;
    int opened = 0;
    int closed = 0;

private:
    std::vector<Block> answers_;
};

class InProcessLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        UsbSetInterface(kDeviceInterfaceClass, kInterfaceFilter);
        detach_all_in_process_devices();
        select_in_process_backend(true);
    }
    void TearDown() override {
        UsbClose();
        detach_all_in_process_devices();
        select_in_process_backend(false);
        UsbSetInterface(kDeviceInterfaceClass, kInterfaceFilter);
    }

    std::shared_ptr<FakeDevice> attach(const std::string &name, std::vector<Block> answers = {}) {
        auto device = std::make_shared<FakeDevice>(std::move(answers));
        attach_in_process_device(name, device);
        return device;
    }

    static bool current_path_is(const std::string &expected) {
        char wanted[kPathSize] = {};
        std::memcpy(wanted, expected.data(), expected.size());
        return std::memcmp(UsbCurrentDevicePath(), wanted, kPathSize) == 0;
    }

    const Block frame_ = pattern(kBlockSize, 7);
};

TEST_F(InProcessLinkTest, NothingIsFoundWhenNoDeviceIsPresent) {
    EXPECT_EQ(UsbCountDevices(), 0);
    EXPECT_EQ(UsbGetDevicePath(0, nullptr, 0, nullptr), kNoInterface);
    EXPECT_FALSE(LinkOpen(0));
    EXPECT_EQ(UsbOpen(0), kNoDevice);
    char path[kPathSize] = "dev";
    EXPECT_EQ(UsbFindDeviceIndex(path), -1);
}

TEST_F(InProcessLinkTest, PathsFollowTheNameOrderAndMustFitTheBuffer) {
    attach("b-dev");
    attach("a-dev");
    EXPECT_EQ(UsbCountDevices(), 2);

    char buffer[kPathSize];
    std::uint32_t length = 99;
    EXPECT_EQ(UsbGetDevicePath(0, buffer, sizeof buffer, &length), kPathFound);
    EXPECT_STREQ(buffer, "a-dev");
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(UsbGetDevicePath(1, buffer, sizeof buffer, nullptr), kPathFound);
    EXPECT_STREQ(buffer, "b-dev");
    EXPECT_EQ(UsbGetDevicePath(2, buffer, sizeof buffer, &length), kNoInterface);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(UsbGetDevicePath(-1, buffer, sizeof buffer, nullptr), kNoInterface);

    // No room for the terminator: nothing is copied, the length is told.
    char tight[6] = "xxxxx";
    EXPECT_EQ(UsbGetDevicePath(0, tight, 5, &length), kPathTooLong);
    EXPECT_STREQ(tight, "xxxxx");
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(UsbGetDevicePath(0, tight, 6, nullptr), kPathFound);
    EXPECT_STREQ(tight, "a-dev");
    EXPECT_EQ(UsbGetDevicePath(1, nullptr, 0, &length), kPathFound);
    EXPECT_EQ(length, 5u);
}

TEST_F(InProcessLinkTest, WithoutAFilterTextTheLookupFindsNothing) {
    attach("dev");
    UsbSetInterface(kDeviceInterfaceClass, nullptr);
    EXPECT_EQ(UsbCountDevices(), 0);
    EXPECT_EQ(UsbGetDevicePath(0, nullptr, 0, nullptr), kRejected);
    EXPECT_EQ(UsbOpen(0), kNoDevice);
    EXPECT_FALSE(LinkOpen(0));
    char path[kPathSize] = "dev";
    EXPECT_EQ(UsbFindDeviceIndex(path), -1);
}

TEST_F(InProcessLinkTest, SendWritesTheBlockAndPollReadsTheAnswersInOrder) {
    auto device = attach("dev", {pattern(30, 1), pattern(600, 2)});
    ASSERT_TRUE(LinkOpen(0));
    EXPECT_TRUE(UsbIsOpen());
    EXPECT_TRUE(current_path_is("dev"));
    EXPECT_EQ(device->opened, 1);

    TUSBThread thread;
    ASSERT_EQ(thread.Init(kBlockSize), 0);
    ASSERT_EQ(thread.Send(frame_.data(), kBlockSize), 0);
    ASSERT_EQ(device->received.size(), 1u);
    EXPECT_EQ(device->received[0], frame_);

    std::uint8_t buffer[kBlockSize] = {};
    std::uint32_t length = 0;
    ASSERT_EQ(Poll(buffer, &length), 1);
    ASSERT_EQ(length, 30u);
    EXPECT_TRUE(std::equal(buffer, buffer + 30, pattern(30, 1).begin()));
    // A block longer than a read is cut to the read's 512 bytes.
    ASSERT_EQ(Poll(buffer, &length), 1);
    ASSERT_EQ(length, kBlockSize);
    EXPECT_TRUE(std::equal(buffer, buffer + kBlockSize, pattern(600, 2).begin()));
    length = 77;
    EXPECT_EQ(Poll(buffer, &length), 0);
    EXPECT_EQ(length, 77u);
}

TEST_F(InProcessLinkTest, AClosedLinkWritesNothingAndPollsNothing) {
    auto device = attach("dev", {pattern(30, 1)});
    EXPECT_EQ(UsbClose(), 1);
    std::uint8_t buffer[kBlockSize];
    std::uint32_t length = 0;
    EXPECT_EQ(Poll(buffer, &length), 1);
    EXPECT_EQ(length, 0u);
    TUSBThread thread;
    EXPECT_EQ(thread.Send(frame_.data(), kBlockSize), 1);

    ASSERT_TRUE(LinkOpen(0));
    EXPECT_EQ(thread.Send(frame_.data(), 0), 1);
    EXPECT_TRUE(device->received.empty());
    EXPECT_TRUE(LinkClose());
    EXPECT_FALSE(UsbIsOpen());
    EXPECT_EQ(device->closed, 1);
    EXPECT_EQ(thread.Send(frame_.data(), kBlockSize), 1);
    EXPECT_EQ(UsbRead(buffer, kBlockSize, &length, 0), 0);
}

TEST_F(InProcessLinkTest, AnUnpluggedDeviceFailsWritesAndReadsEndOfFile) {
    auto device = attach("dev", {pattern(30, 1)});
    ASSERT_TRUE(LinkOpen(0));
    device->alive = false;
    std::uint8_t buffer[kBlockSize];
    std::uint32_t length = 0;
    EXPECT_EQ(LinkWrite(frame_.data(), kBlockSize), 0);
    EXPECT_EQ(Poll(buffer, &length), 0);
    EXPECT_EQ(length, 0u);

    auto second = attach("dev", {pattern(30, 1)});
    EXPECT_EQ(LinkWrite(frame_.data(), kBlockSize), 0) << "the device the link opened was replaced";
    EXPECT_TRUE(second->received.empty());
    ASSERT_TRUE(LinkOpen(0));
    EXPECT_EQ(LinkWrite(frame_.data(), kBlockSize), 1);
    detach_in_process_device("dev");
    EXPECT_EQ(LinkWrite(frame_.data(), kBlockSize), 0);
    EXPECT_EQ(Poll(buffer, &length), 1) << "what the device answered before it went stays readable";
    EXPECT_EQ(Poll(buffer, &length), 0);
}

TEST_F(InProcessLinkTest, OpeningAMissingIndexLeavesThePathZeroAndReleasesTheEarlierLink) {
    auto device = attach("dev");
    ASSERT_NE(UsbOpen(0), kNoDevice);
    EXPECT_TRUE(current_path_is("dev"));
    EXPECT_EQ(UsbOpen(1), kNoDevice);
    EXPECT_TRUE(current_path_is(""));
    EXPECT_FALSE(UsbIsOpen());
    EXPECT_EQ(device->closed, 1);

    // Opening again without a close first lets go of the earlier connection.
    ASSERT_NE(UsbOpen(0), kNoDevice);
    ASSERT_NE(UsbOpen(0), kNoDevice);
    EXPECT_EQ(device->opened, 3);
    EXPECT_EQ(device->closed, 2);
}

TEST_F(InProcessLinkTest, FindDeviceIndexComparesPathsAsTexts) {
    auto longer = attach("a-device-with-a-long-name");
    auto shorter = attach("b");
    ASSERT_TRUE(LinkOpen(0));

    char wanted[kPathSize] = "b";
    EXPECT_EQ(UsbFindDeviceIndex(wanted), 1) << "a shorter path after a longer one is found";
    std::strcpy(wanted, "a-device-with-a-long-name");
    EXPECT_EQ(UsbFindDeviceIndex(wanted), 0);
    std::strcpy(wanted, "c");
    EXPECT_EQ(UsbFindDeviceIndex(wanted), -1);
    EXPECT_TRUE(current_path_is("b")) << "the last interface probed";

    // The probes had their own connections; the link stayed on the first device.
    EXPECT_EQ(shorter->opened, 2);
    EXPECT_EQ(shorter->closed, 2);
    EXPECT_TRUE(UsbIsOpen());
    EXPECT_EQ(LinkWrite(frame_.data(), kBlockSize), 1);
    EXPECT_EQ(longer->received.size(), 1u);
}

void receiver_a(int, const std::uint8_t *, std::uint32_t) {}
void receiver_b(int, const std::uint8_t *, std::uint32_t) {}

TEST(TUSBThreadTest, TheReceiverTableHoldsThreeRegistrations) {
    TUSBThread thread;
    ASSERT_EQ(thread.Init(kBlockSize), 0);
    EXPECT_EQ(thread.RegisterReceiver(3, receiver_a), nullptr);
    EXPECT_EQ(thread.RegisterReceiver(-1, receiver_a), nullptr);
    const Registration *first = thread.RegisterReceiver(0, receiver_a);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->index, 0);
    EXPECT_EQ(first->receiver, &receiver_a);
    const Registration *third = thread.RegisterReceiver(2, receiver_b);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->index, 2);
    EXPECT_NE(thread.RegisterReceiver(1, receiver_b), nullptr);
    EXPECT_EQ(thread.RegisterReceiver(1, receiver_a), nullptr) << "a fourth registration";
}

TEST_F(InProcessLinkTest, TheThreadSetsTheInterfaceClosesTheLinkAndEndsOnAnyThread) {
    auto device = attach("dev");
    UsbSetInterface(kDeviceInterfaceClass, nullptr);
    auto thread = std::make_unique<TUSBThread>();
    ASSERT_EQ(thread->Init(kBlockSize), 0);
    EXPECT_TRUE(UsbFilterSet());
    ASSERT_TRUE(LinkOpen(0));
    thread->CloseLink();
    EXPECT_FALSE(UsbIsOpen());
    EXPECT_EQ(device->closed, 1);

    ASSERT_TRUE(LinkOpen(0));
    std::thread([&] { thread.reset(); }).join();
    EXPECT_FALSE(UsbIsOpen());
    EXPECT_EQ(device->closed, 2);
}

TEST_F(InProcessLinkTest, TheSessionRunsTheLinkThreadUntilClose) {
    auto device = attach("dev");
    Session &session = Session::instance();
    ASSERT_EQ(session.initialize(nullptr, nullptr, 0), 0);
    ASSERT_TRUE(LinkOpen(0));
    EXPECT_EQ(session.workers()->usb.Send(frame_.data(), kBlockSize), 0);
    EXPECT_EQ(session.close(), 0);
    EXPECT_FALSE(UsbIsOpen());
    EXPECT_EQ(device->closed, 1);
}

// The queue reuses its slots: order and content must survive the ring's
// wrap and its restart from the first slot once emptied.
// Lists one path per entry, with the device instance the system records for it
// (none: its registry key cannot be read).
class RecordedInstances final : public platform::UsbBackend {
public:
    struct Entry {
        std::string path;
        std::optional<std::string> instance;
    };
    explicit RecordedInstances(std::vector<Entry> entries) : entries_(std::move(entries)) {}
    platform::PathLookup interface_path(const platform::InterfaceClassGuid &, std::uint32_t member,
                                        std::string &path) override {
        if (member >= entries_.size()) return platform::PathLookup::no_interface;
        path = entries_[member].path;
        return platform::PathLookup::found;
    }
    std::unique_ptr<platform::UsbConnection> open(const std::string &) override { return nullptr; }
    std::optional<std::string> device_instance(const platform::InterfaceClassGuid &interface_class,
                                               const std::string &path) override {
        asked_class = interface_class;
        for (const Entry &entry : entries_)
            if (entry.path == path) return entry.instance;
        return std::nullopt;
    }

    platform::InterfaceClassGuid asked_class{};

private:
    std::vector<Entry> entries_;
};

TEST(DeviceInstanceCheckTest, AdmitsWhatTheLowerCasedInstanceContainsAndIsOffUnlessSwitchedOn) {
    constexpr const char *kLowerFilter = "vid_ffff&pid_ffff";
    const struct {
        const char *what;
        const char *filter;
        bool check;
        std::optional<std::string> instance;
        int result;
    } rows[] = {
        {"the library's text against its own ids", kInterfaceFilter, true, "USB\\VID_FFFF&PID_FFFF\\5&1A2B&0&1", kRejected},
        {"the library's text against a lower-case name", kInterfaceFilter, true, "usb\\vid_ffff&pid_ffff\\1", kRejected},
        {"a lower-case text against the ids", kLowerFilter, true, "USB\\VID_FFFF&PID_FFFF\\5&1A2B&0&1", kPathFound},
        {"anywhere in the name", "pid_ffff", true, "ROOT\\VID_FFFF&PID_FFFF\\0000", kPathFound},
        {"another device", kLowerFilter, true, "USB\\VID_04D8&PID_000C\\1", kRejected},
        {"no registry entry", kLowerFilter, true, std::nullopt, kRejected},
        {"an empty instance", kLowerFilter, true, "", kRejected},
        {"an empty text", "", true, "ROOT\\X\\0", kPathFound},
        {"switched off, the library's text", kInterfaceFilter, false, "USB\\VID_FFFF&PID_FFFF\\1", kPathFound},
        {"switched off, no registry entry", kInterfaceFilter, false, std::nullopt, kPathFound},
    };
    const std::string path = "\\\\?\\usb#vid_ffff&pid_ffff#1#{8d96c3f0-627c-490d-baa2-3f7d1d789f3d}";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        RecordedInstances backend({{path, row.instance}});
        UsbSetInterface(kDeviceInterfaceClass, row.filter);
        UsbSetInstanceCheck(row.check);
        char buffer[kPathSize] = {};
        std::uint32_t length = 99;
        EXPECT_EQ(UsbGetDevicePath(&backend, 0, buffer, sizeof buffer, &length), row.result);
        EXPECT_EQ(length, row.result == kPathFound ? path.size() : 0u);
        if (row.result == kPathFound) {
            EXPECT_EQ(buffer, path);
        }
        EXPECT_EQ(UsbGetDevicePath(&backend, 1, buffer, sizeof buffer, &length), kNoInterface);
        if (row.check) {
            EXPECT_EQ(std::memcmp(&backend.asked_class, &kDeviceInterfaceClass, sizeof kDeviceInterfaceClass), 0);
        }
    }
    UsbSetInstanceCheck(false);
    UsbSetInterface(kDeviceInterfaceClass, kInterfaceFilter);
}

TEST(DeviceInstanceCheckTest, CountsAndFindsOnlyAdmittedInterfaces) {
    auto backend = std::make_shared<RecordedInstances>(std::vector<RecordedInstances::Entry>{
        {"a", "ROOT\\VID_FFFF&PID_FFFF\\0000"}, {"b", "ROOT\\OTHER\\0000"}, {"c", "ROOT\\VID_FFFF&PID_FFFF\\0001"}});
    install_usb_backend(backend);
    UsbSetInterface(kDeviceInterfaceClass, "vid_ffff&pid_ffff");
    UsbSetInstanceCheck(true);
    EXPECT_EQ(UsbCountDevices(), 2);
    EXPECT_EQ(UsbListedIndex("c"), 2);
    EXPECT_EQ(UsbListedIndex("b"), -1);
    UsbSetInterface(kDeviceInterfaceClass, kInterfaceFilter);
    EXPECT_EQ(UsbCountDevices(), 0) << "the library's own text admits nothing";
    UsbSetInstanceCheck(false);
    EXPECT_EQ(UsbCountDevices(), 3) << "the library's default";
    install_usb_backend(nullptr);
}

TEST(BlockQueueTest, KeepsOrderAcrossReuseCutsToTheReadSizeAndDropsBeyondItsBound) {
    BlockQueue queue;
    std::uint8_t read[600];
    const auto take = [&](std::uint32_t size) {
        const auto outcome = queue.take(read, size);
        EXPECT_EQ(outcome.result, platform::Transfer::completed);
        return Block(read, read + outcome.count);
    };
    const Block long_block = pattern(600, 1);
    queue.push(long_block.data(), long_block.size());
    queue.push(pattern(3, 2).data(), 3);
    EXPECT_EQ(take(512), Block(long_block.begin(), long_block.begin() + 512));
    queue.push(pattern(5, 3).data(), 5);  // into the slot after, while one is still queued
    EXPECT_EQ(take(512), pattern(3, 2));
    EXPECT_EQ(take(512), pattern(5, 3));
    EXPECT_TRUE(queue.empty());
    queue.push(pattern(2, 4).data(), 2);  // a shorter block in a slot that held 600 bytes
    EXPECT_EQ(take(512), pattern(2, 4));

    for (std::size_t i = 0; i < BlockQueue::kMaxBlocks + 10; ++i) {
        const auto marker = static_cast<std::uint8_t>(i);
        queue.push(&marker, 1);
    }
    for (std::size_t i = 0; i < BlockQueue::kMaxBlocks; ++i) ASSERT_EQ(take(512), Block{static_cast<std::uint8_t>(i)});
    EXPECT_TRUE(queue.empty()) << "blocks beyond the bound are dropped";
}

}  // namespace
}  // namespace velkor::usb
