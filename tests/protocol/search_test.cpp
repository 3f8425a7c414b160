#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <string>

#include "protocol/protocol_fixture.h"

namespace velkor::testing {
namespace {

class SearchTest : public ProtocolFixture {
protected:
    const TVarList<TDROVAInfo> &found() { return session().workers()->found_devices; }
};

TEST_F(SearchTest, NoInterfacePresent) {
    EXPECT_EQ(_FindDROVAs(-1, 0, 50), 1);
    ASSERT_TRUE(events.wait_for({12, 1}));
    EXPECT_TRUE(found().empty());
}

TEST_F(SearchTest, TwoDevicesInInterfaceOrderAndOnlyAtTheTimer) {
    attach("b", CooperativeDevice{0x000002});
    attach("a", CooperativeDevice{0xFF000001});  // the top byte is dropped
    ASSERT_EQ(_FindDROVAs(-1, 0, 500), 0);
    pass(200);
    EXPECT_TRUE(events.events().empty()) << "the search ends at the timer, not earlier";
    ASSERT_TRUE(events.wait_for({12, 0}));
    ASSERT_EQ(found().size(), 2u);
    EXPECT_EQ(found()[0].serialNumber, 1u);
    EXPECT_EQ(found()[1].serialNumber, 2u);
    EXPECT_EQ(found()[0].fosIfcVersion, 0x01010000u);
    EXPECT_STRNE(found()[0].devicePath, found()[1].devicePath);
    EXPECT_STREQ(found()[0].deviceName, "DROVA test");
}

TEST_F(SearchTest, FoundDeviceCopiesAreTheFinishedListAndStayInsideTheCallersArray) {
    attach("b", CooperativeDevice{0x000002});
    attach("a", CooperativeDevice{0x000001});
    ASSERT_EQ(_FindDROVAs(-1, 0, 500), 0);
    EXPECT_EQ(_GetFoundDevices(nullptr, 0), 0) << "a running search has no finished list";
    ASSERT_TRUE(events.wait_for({12, 0}));

    EXPECT_EQ(_GetFoundDevices(nullptr, 0), 2);
    TDROVAInfo copies[3];
    std::memset(copies, 0xAB, sizeof copies);
    EXPECT_EQ(_GetFoundDevices(copies, 1), 2);
    EXPECT_EQ(std::memcmp(&copies[0], &found()[0], sizeof(TDROVAInfo)), 0);
    EXPECT_EQ(copies[1].serialNumber, 0xABABABABu) << "written past max";
    EXPECT_EQ(_GetFoundDevices(copies, 3), 2);
    EXPECT_EQ(copies[1].serialNumber, 2u);
    EXPECT_EQ(copies[2].serialNumber, 0xABABABABu);

    _Close();
    EXPECT_EQ(_GetFoundDevices(copies, 3), 0);
}

// An answer of another length is no entry, and ends only its interface's
// turn: a device that another host holds answers with its whole block, and
// must not hide the devices behind it.
TEST_F(SearchTest, AnswersOfTheWrongLengthEndOnlyTheirInterfacesTurn) {
    for (std::size_t length : {88u, 90u, 349u}) {
        usb::detach_all_in_process_devices();
        attach("a", [length](const Block &) -> std::vector<Block> {
            std::vector<std::uint8_t> body(length, 0);
            body[0] = 0xE6;
            return {answer_frame(body)};
        });
        attach("b", CooperativeDevice{0x42});
        events.clear();
        EXPECT_TRUE(search()) << length;
        ASSERT_EQ(found().size(), 1u) << length;
        EXPECT_EQ(found()[0].serialNumber, 0x42u) << length;
    }
}

TEST_F(SearchTest, SerialNumberNoneReadsZeroAndIncompatibleFosIsMarked) {
    attach("a", CooperativeDevice{0xFFFFFFFF, 0x01020000, 7});
    ASSERT_TRUE(search());
    ASSERT_EQ(found().size(), 1u);
    EXPECT_EQ(found()[0].serialNumber, 0u);
    EXPECT_EQ(found()[0].status, 2u);
}

// Every interface is asked at once: one that never answers costs the others
// nothing.
TEST_F(SearchTest, ASilentInterfaceHidesNothingAndAnswersOnOtherChannelsCount) {
    attach("a", [](const Block &) -> std::vector<Block> {
        std::vector<std::uint8_t> body{0xE6};
        const auto report = device_report(0x42);
        body.insert(body.end(), report.begin(), report.end());
        return {answer_frame(body, 5)};  // channel 5: still a search answer
    });
    attach("b", [](const Block &) { return std::vector<Block>{}; });
    attach("c", CooperativeDevice{0x43});
    ASSERT_TRUE(search());
    ASSERT_EQ(found().size(), 2u) << "b did not answer, and c was asked all the same";
    EXPECT_EQ(found()[0].serialNumber, 0x42u);
    EXPECT_EQ(found()[1].serialNumber, 0x43u);
}

TEST_F(SearchTest, ConnectsAfterTheSearchWhenAsked) {
    auto device = attach("a", CooperativeDevice{0x0ABCDE});
    ASSERT_EQ(_FindDROVAs(5, 0, 100), 0);
    ASSERT_TRUE(events.wait_for({9, 0}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}, {9, 0}}));
    EXPECT_EQ(_GetConnectInfo()->serialNumber, 0x0ABCDEu);
}

TEST_F(SearchTest, RefusedConnectAfterTheSearchIsReported) {
    attach("a", CooperativeDevice{0x0ABCDE, 0x05000000});
    ASSERT_EQ(_FindDROVAs(0, 0, 100), 0);
    ASSERT_TRUE(events.wait_for({9, 1}));
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}, {15, 14}, {9, 1}}));
}

struct Lines {
    std::vector<std::string> lines;
    int clears = 0;
    std::mutex lock;
    static void VELKOR_CALL clear(void *self) {
        auto *list = static_cast<Lines *>(self);
        std::lock_guard guard(list->lock);
        ++list->clears;
        list->lines.clear();
    }
    static void VELKOR_CALL add(void *self, const char *line) {
        auto *list = static_cast<Lines *>(self);
        std::lock_guard guard(list->lock);
        list->lines.emplace_back(line);
    }
    std::size_t size() {
        std::lock_guard guard(lock);
        return lines.size();
    }
};

TEST_F(SearchTest, RepeatedSearchAddsALinePerRoundThatFoundDevices) {
    attach("a", CooperativeDevice{1});
    attach("b", CooperativeDevice{2});
    Lines lines;
    TStrings list{&lines, &Lines::clear, &Lines::add};
    EXPECT_EQ(_StartNetworkScanning(nullptr), 1);
    ASSERT_EQ(_StartNetworkScanning(&list), 0);
    for (int i = 0; i < 5000 && lines.size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(_StopNetworkScanning(), 0);
    ASSERT_TRUE(events.wait_for({12, 0}));
    std::lock_guard guard(lines.lock);
    EXPECT_EQ(lines.clears, 1);
    ASSERT_GE(lines.lines.size(), 3u);
    EXPECT_EQ(lines.lines[0], "2 HW Devices found on UDP port 0");
    EXPECT_EQ(lines.lines[2], "2 HW Devices found on UDP port 2");
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}})) << "only the last search reports";
}

TEST_F(SearchTest, OneDeviceLineIsSingular) {
    attach("a", CooperativeDevice{1});
    Lines lines;
    TStrings list{&lines, &Lines::clear, &Lines::add};
    ASSERT_EQ(_StartNetworkScanning(&list), 0);
    for (int i = 0; i < 5000 && lines.size() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    _StopNetworkScanning();
    ASSERT_TRUE(wait_idle());
    std::lock_guard guard(lines.lock);
    EXPECT_EQ(lines.lines.at(0), "1 HW Device found on UDP port 0");
}

}  // namespace
}  // namespace velkor::testing

namespace velkor::testing {
namespace {

// The host stops the series from inside its own line callback: the stop holds.
TEST_F(SearchTest, StopFromTheLineCallbackEndsTheSeries) {
    attach("a", CooperativeDevice{1});
    struct Stopper {
        static void VELKOR_CALL clear(void *) {}
        static void VELKOR_CALL add(void *self, const char *) {
            ++*static_cast<int *>(self);
            _StopNetworkScanning();
        }
    };
    int lines = 0;
    TStrings list{&lines, &Stopper::clear, &Stopper::add};
    ASSERT_EQ(_StartNetworkScanning(&list), 0);
    ASSERT_TRUE(events.wait_for({12, 0}));
    ASSERT_TRUE(wait_idle());
    pass(200);
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}}));
}

}  // namespace
}  // namespace velkor::testing

namespace velkor::testing {
namespace {

// However a series ends before its time (refused at its start, its session
// closed, its search forgotten) the next plain search is a single search: it
// reports, connects when asked, and adds no line to the host's list.
TEST_F(SearchTest, ASeriesNeverOutlivesItsStartOrItsSession) {
    attach("a", CooperativeDevice{1});
    Lines lines;
    TStrings list{&lines, &Lines::clear, &Lines::add};
    const auto first_line = [&] {
        for (int i = 0; i < 5000 && lines.size() < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_GE(lines.size(), 1u);
    };
    const auto restart_session = [] {
        _Close();
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    };
    struct Row {
        const char *ending;
        std::function<void()> end_series;
    };
    const Row rows[] = {
        {"refused before _Initialize",
         [&] {
             _Close();
             EXPECT_EQ(_StartNetworkScanning(&list), 1);
             restart_session();
         }},
        {"refused while a search runs",
         [&] {
             ASSERT_EQ(_FindDROVAs(-1, 0, 50), 0);
             EXPECT_EQ(_StartNetworkScanning(&list), 1);
             ASSERT_TRUE(events.wait_for({12, 0}));
         }},
        {"_Close during the series",
         [&] {
             ASSERT_EQ(_StartNetworkScanning(&list), 0);
             first_line();
             restart_session();
         }},
        {"_DeviceClose during the series",
         [&] {
             ASSERT_EQ(_StartNetworkScanning(&list), 0);
             first_line();
             _DeviceClose();
             ASSERT_TRUE(events.wait_for({10, 0}));
         }},
        // The line callback runs inside the exchange, which an export called
        // from the host callback waits for: that callback is not waited for.
        {"_Close from the line callback while the host callback waits for the exchange",
         [&] {
             struct Closer {
                 std::promise<void> adding, in_callback;
                 std::promise<int> closed;
                 std::shared_future<void> added = adding.get_future().share();
                 std::shared_future<void> called = in_callback.get_future().share();
                 std::atomic<bool> once{false};
                 static void VELKOR_CALL clear(void *) {}
                 static void VELKOR_CALL add(void *self, const char *) {
                     auto &me = *static_cast<Closer *>(self);
                     if (me.once.exchange(true)) return;
                     me.adding.set_value();
                     me.called.wait_for(std::chrono::seconds(10));
                     me.closed.set_value(_Close());
                 }
             } closer;
             std::promise<void> returned;
             events.on_event([&](int a, int) {
                 if (a != 99) return;
                 closer.in_callback.set_value();
                 closer.added.wait_for(std::chrono::seconds(10));
                 EXPECT_EQ(_GetFoundDevices(nullptr, 0), 0);
                 returned.set_value();
             });
             TStrings closing_list{&closer, &Closer::clear, &Closer::add};
             ASSERT_EQ(_StartNetworkScanning(&closing_list), 0);
             session().post(99, 0);
             auto closed = closer.closed.get_future();
             ASSERT_EQ(closed.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "deadlock";
             EXPECT_EQ(closed.get(), 0);
             // The callback's export goes on once the exchange is let go.
             EXPECT_EQ(returned.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
             events.on_event({});
             restart_session();
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ending);
        events.clear();
        row.end_series();
        ASSERT_TRUE(wait_idle());
        pass(200);
        events.clear();
        const std::size_t lines_before = lines.size();
        ASSERT_EQ(_FindDROVAs(0, 0, 50), 0);
        EXPECT_TRUE(events.wait_for({9, 0}, std::chrono::seconds(5)));
        ASSERT_TRUE(wait_idle(std::chrono::seconds(5)));
        EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}, {9, 0}}));
        EXPECT_EQ(lines.size(), lines_before);
        restart_session();
    }
}

// Between two searches of a series the command stays in flight: a host call
// from the line callback finds the session busy, and the series goes on.
TEST_F(SearchTest, NoHostCallSlipsInBetweenTwoSearchesOfASeries) {
    attach("a", CooperativeDevice{1});
    struct Intruder {
        std::mutex lock;
        std::vector<int> results;
        int lines = 0;
        static void VELKOR_CALL clear(void *) {}
        static void VELKOR_CALL add(void *self, const char *) {
            auto &me = *static_cast<Intruder *>(self);
            std::lock_guard guard(me.lock);
            if (++me.lines == 1) {
                me.results.push_back(_FindDROVAs(-1, 0, 50));
                me.results.push_back(_Connect(1, 0, 0));
            }
            if (me.lines == 3) _StopNetworkScanning();
        }
    } intruder;
    TStrings list{&intruder, &Intruder::clear, &Intruder::add};
    ASSERT_EQ(_StartNetworkScanning(&list), 0);
    ASSERT_TRUE(events.wait_for({12, 0}));
    ASSERT_TRUE(wait_idle());
    pass(200);
    std::lock_guard guard(intruder.lock);
    EXPECT_EQ(intruder.results, (std::vector<int>{1, 1}));
    EXPECT_EQ(intruder.lines, 3);
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 10}, {12, 0}}));
}

}  // namespace
}  // namespace velkor::testing
