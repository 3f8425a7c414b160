// Sequences of commands as a host runs them, against two simulated devices
// reached over the socket transport (sockets on POSIX, named pipes on
// Windows): what one command leaves behind must never reach the next session,
// connection or device.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "device_model.h"
#include "platform/device_endpoint.h"
#include "platform/usb_driver.h"
#include "session/clock.h"
#include "support/event_recorder.h"
#include "usb/in_process_device.h"
#include "usb/test_device.h"
#include "wire.h"

namespace velkor::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kSerialA = 0x8D0001;
constexpr std::uint32_t kSerialB = 0x8D0002;
constexpr std::uint32_t kAppOfA = 0x51;
constexpr double kSpeedup = 20.0;  // a 2 s period lasts 100 ms

sim::DeviceConfig device_config(std::uint32_t serial, std::uint32_t app) {
    sim::DeviceConfig config;
    config.serial_word = serial;
    config.sectors = 4;
    config.sector_size = 0x2000;
    config.staging_size = 0x2000;
    config.applications.push_back({1, {.id = app, .name = "App " + std::to_string(app)}, 64});
    return config;
}

// A simulated device behind an endpoint of the socket transport; `drop`
// opcodes go unanswered. Connections are this program's host, unless marked
// as another host's.
class SocketDrova {
public:
    SocketDrova(const std::string &location, const std::string &name, std::uint32_t serial, std::uint32_t app)
        : model_(std::make_shared<sim::DeviceModel>(device_config(serial, app))),
          endpoint_(location, name, [this](const Message &frame, int connection) { return answer(frame, connection); }) {}

    // The connection numbered `connection` belongs to another host.
    void of_other_host(int connection) {
        std::lock_guard guard(lock_);
        other_host_connection_ = connection;
    }

    sim::DeviceModel &model() { return *model_; }
    const TestDevice &endpoint() const { return endpoint_; }
    std::size_t frames() const { return endpoint_.requests().size(); }
    void drop(std::uint8_t opcode) {
        std::lock_guard guard(lock_);
        dropped_ = opcode;
    }
    // Runs before the device answers each frame.
    void before_answer(std::function<void(const Message &)> hook) {
        std::lock_guard guard(lock_);
        hook_ = std::move(hook);
    }

    // How the device tells this program's connections from another host's.
    static constexpr std::uint64_t kThisHost = 1, kOtherHost = 2;

private:
    Reply answer(const Message &frame, int connection) {
        std::function<void(const Message &)> hook;
        std::uint64_t host = kThisHost;
        {
            std::lock_guard guard(lock_);
            if (dropped_ && frame.size() > 20 && frame[20] == *dropped_) return {};
            hook = hook_;
            if (connection == other_host_connection_) host = kOtherHost;
        }
        if (hook) hook(frame);
        sim::Exchange exchange = model_->host_block(frame, host);
        return Reply{std::move(exchange.answers), std::chrono::milliseconds(exchange.delay_ms), exchange.unplugged};
    }

    std::shared_ptr<sim::DeviceModel> model_;
    std::mutex lock_;
    std::optional<std::uint8_t> dropped_;
    std::function<void(const Message &)> hook_;
    int other_host_connection_ = 0;
    TestDevice endpoint_;  // last: it serves until it is gone
};

// Another host on the same machine, with its own connection to a device.
class OtherHost {
public:
    explicit OtherHost(const std::string &path) : channel_(platform::connect_device_endpoint(path)) {}

    // The body of the answer to one command, or nullopt when none came
    // within `wait_ms`.
    std::optional<sim::Bytes> ask(const sim::Bytes &command, std::uint32_t wait_ms = 1000) {
        if (!channel_) return std::nullopt;
        const sim::Bytes frame = sim::make_command_frame(command);
        if (!channel_->send(frame.data(), frame.size(), wait_ms)) return std::nullopt;
        std::vector<std::uint8_t> message;
        if (channel_->receive(message, wait_ms) != platform::MessageChannel::Receive::message) return std::nullopt;
        const auto body = sim::answer_body(message);
        if (!body) return std::nullopt;
        return sim::Bytes(body->begin(), body->end());
    }

private:
    std::unique_ptr<platform::MessageChannel> channel_;
};

sim::Bytes connect_request(const std::array<std::uint8_t, 4> &id) {
    sim::Bytes bytes(479);
    bytes[0] = 0xE0;
    std::copy(id.begin(), id.end(), bytes.begin() + 2);
    bytes[6] = 0xDF;
    bytes[7] = 0x01;
    for (std::size_t k = 10; k < bytes.size(); ++k) bytes[k] = static_cast<std::uint8_t>(k);
    return bytes;
}

class SocketSequences : public ::testing::Test {
protected:
    void SetUp() override {
        usb::detach_all_in_process_devices();
        usb::select_in_process_backend(false);
        platform::set_device_location(location_.value().c_str());
        set_clock(std::make_shared<ScaledClock>(kSpeedup, 1000));
        a_ = std::make_unique<SocketDrova>(location_.value(), "drova00", kSerialA, kAppOfA);
        b_ = std::make_unique<SocketDrova>(location_.value(), "drova01", kSerialB, kAppOfA + 1);
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    }
    void TearDown() override {
        _Close();
        a_.reset();
        b_.reset();
        platform::set_device_location(nullptr);
        set_clock(nullptr);
    }

    // Waits for `event`, then until nothing more arrives for a while.
    void settle_on(Event event) {
        ASSERT_TRUE(events.wait_for(event)) << event.first << "," << event.second;
        std::size_t seen = 0;
        do {
            seen = events.events().size();
            std::this_thread::sleep_for(200ms);
        } while (events.events().size() != seen);
    }
    void search() {
        events.clear();
        ASSERT_EQ(_FindDROVAs(-1, 0, 500), 0);
        settle_on({12, 0});
    }
    void connect(std::uint32_t serial) {
        events.clear();
        ASSERT_EQ(_Connect(static_cast<int>(serial), 0, 0), 0);
        settle_on({9, 0});
        events.clear();
    }

    // Calls `command` until it is no longer refused as busy.
    static bool once_idle(int (*command)()) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (command() == 0) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    platform::ScratchDeviceLocation location_;
    std::unique_ptr<SocketDrova> a_, b_;
    EventRecorder events;
};

TEST_F(SocketSequences, ASearchAfterASeriesClosedMidWayIsASingleSearch) {
    std::mutex lock;
    std::vector<std::string> lines;
    struct Lines {
        static void VELKOR_CALL clear(void *) {}
        static void VELKOR_CALL add(void *self, const char *line) {
            auto *owner = static_cast<std::pair<std::mutex *, std::vector<std::string> *> *>(self);
            std::lock_guard guard(*owner->first);
            owner->second->emplace_back(line);
        }
    };
    std::pair<std::mutex *, std::vector<std::string> *> owner{&lock, &lines};
    TStrings list{&owner, &Lines::clear, &Lines::add};
    const auto line_count = [&] {
        std::lock_guard guard(lock);
        return lines.size();
    };
    ASSERT_EQ(_StartNetworkScanning(&list), 0);
    for (int i = 0; i < 10000 && line_count() == 0; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_GE(line_count(), 1u);
    _Close();
    const std::size_t lines_at_close = line_count();
    // A search of the series lasts a few ms: a device may answer only in a later one.
    EXPECT_TRUE(std::regex_match(lines.front(), std::regex("(1 HW Device|2 HW Devices) found on UDP port [0-9]+")))
        << lines.front();

    ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    events.clear();
    ASSERT_EQ(_FindDROVAs(0, 0, 500), 0);
    settle_on({9, 0});
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 0}, {9, 0}}));
    EXPECT_EQ(_GetFoundDevices(nullptr, 0), 2);
    EXPECT_EQ(_GetConnectInfo()->serialNumber, kSerialB) << "the last device found";
    EXPECT_EQ(line_count(), lines_at_close);
}

TEST_F(SocketSequences, SilentConnectsThenARefusalLetTheDevicesGo) {
    search();
    a_->drop(0xE0);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        events.clear();
        ASSERT_EQ(_Connect(static_cast<int>(kSerialA), 0, 0), 0);
        settle_on({9, 1});
        EXPECT_EQ(events.events(), (std::vector<Event>{{15, 7}, {9, 1}})) << attempt;
    }
    a_->drop(0);

    // Another host holds the device: refused, and the link is let go.
    constexpr std::array<std::uint8_t, 4> kOther{0x55, 0x66, 0x77, 0x88};
    a_->model().host_block(sim::make_command_frame(connect_request(kOther)));
    events.clear();
    ASSERT_EQ(_Connect(static_cast<int>(kSerialA), 0, 0), 0);
    settle_on({9, 1});
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 2}, {9, 1}}));
    OtherHost other(a_->endpoint().path());
    const auto answer = other.ask(connect_request(kOther));
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, (sim::Bytes{0xE2, 0x55, 0x66, 0x77, 0x88}));
    for (int i = 0; i < 100 && a_->endpoint().open_connections() > 1; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(a_->endpoint().open_connections(), 1) << "only the other host's";

    connect(kSerialB);
    EXPECT_EQ(_IsConnected(), 1);
}

TEST_F(SocketSequences, ADeviceListedBeforeTheConnectedOneNeverGetsItsCommands) {
    a_.reset();  // only "drova01" at first
    search();
    connect(kSerialB);
    a_ = std::make_unique<SocketDrova>(location_.value(), "drova00", kSerialA, kAppOfA);
    ASSERT_EQ(_CommRefresh(), 0);
    // The keep-alive's answer ends it without an event.
    ASSERT_TRUE(once_idle(&_FlashInfo));
    settle_on({11, 0});
    ASSERT_EQ(_Disconnect(), 0);
    settle_on({10, 0});
    EXPECT_EQ(a_->frames(), 0u) << "a device this host never claimed";
    EXPECT_FALSE(b_->model().claim().claimed);
}

TEST_F(SocketSequences, ADownloadNeedsTheConnectedDevicesCompleteTable) {
    search();
    connect(kSerialA);
    sim::FaultRule cut;
    cut.kind = sim::FaultKind::flash_count;
    cut.opcode = 0xE7;
    cut.amount = 9;
    cut.frame = -1;
    a_->model().add_fault(cut);
    ASSERT_EQ(_FlashInfo(), 0);
    settle_on({11, 1});
    a_->model().clear_faults();

    TBinList *list = _BinListCreate();
    std::vector<u8> data(100, 0x3C);
    BinBlock block{0x100, static_cast<u32>(data.size()), data.data()};
    ASSERT_EQ(_BinListAdd(list, &block), 0);
    const auto download = [&] {
        events.clear();
        return _Download(0, list);
    };
    std::size_t before = a_->frames();
    EXPECT_EQ(download(), 1) << "a table that broke off";
    ASSERT_EQ(_FlashInfo(), 0);
    settle_on({11, 0});
    EXPECT_EQ(_HasCompatibleFWVersion(0, kAppOfA), 1);
    EXPECT_EQ(before + 1, a_->frames()) << "only the flash information command went out";

    // The second device after the first one's table.
    ASSERT_EQ(_Disconnect(), 0);
    settle_on({10, 0});
    connect(kSerialB);
    before = b_->frames();
    EXPECT_EQ(download(), 1) << "the first device's table";
    EXPECT_EQ(_HasCompatibleFWVersion(0, kAppOfA), 0);
    EXPECT_EQ(b_->frames(), before);
    ASSERT_EQ(_FlashInfo(), 0);
    settle_on({11, 0});
    ASSERT_EQ(download(), 0);
    settle_on({3, 0});
    const sim::Bytes written = b_->model().read_memory(0, 0x0, 8);
    EXPECT_EQ(written, (sim::Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x64}));

    // Stopped by the host's callback while the device works on the data: the
    // data step is the last, and the session serves at once.
    std::promise<int> stopped;
    auto stop_result = stopped.get_future().share();
    events.on_event([&](int a, int b) {
        if (a == VELKOR_EV_ADDRESS && b == 0) stopped.set_value(_StopDownload());
    });
    b_->before_answer([stop_result](const Message &frame) {
        if (frame.size() > 20 && frame[20] == 0xED) stop_result.wait_for(10s);
    });
    const std::size_t frames_before = b_->frames();
    ASSERT_EQ(download(), 0);
    settle_on({3, 1});
    EXPECT_EQ(events.events(), (std::vector<Event>{{0, 0}, {5, 0}, {3, 1}}));
    EXPECT_EQ(stop_result.get(), 0);
    EXPECT_EQ(b_->frames(), frames_before + 2) << "the address and the one data frame";
    events.on_event({});
    b_->before_answer({});
    EXPECT_EQ(_StopDownload(), 1);
    ASSERT_EQ(_CommRefresh(), 0);
    _BinListFree(list);
}

// A device answers when it has its answer: the command timer alone decides
// whether that is in time, and no export waits for it.
TEST_F(SocketSequences, ADeviceAnswersAtItsOwnPace) {
    // Slower than the other tests: a 2 s period lasts 500 ms here.
    _Close();
    set_clock(std::make_shared<ScaledClock>(4.0, 1000));
    ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    search();
    connect(kSerialA);
    const struct {
        const char *when;
        std::int64_t delay_ms;  // real time
        std::vector<Event> outcome;
    } rows[] = {
        {"after the poll, within the period", 150, {{13, 0}}},
        {"after the period", 1000, {{13, 1}}},  // its time-out posts no error event
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.when);
        a_->model().add_fault(sim::FaultRule{.kind = sim::FaultKind::delay, .opcode = 0xE6, .amount = row.delay_ms});
        events.clear();
        const std::size_t answered = a_->endpoint().answers();
        ASSERT_EQ(_ReadInfo(), 0);
        EXPECT_EQ(a_->endpoint().answers(), answered) << "the export waited for the device's answer";
        // Meanwhile other threads ask and are answered at once.
        std::thread other([] {
            std::vector<std::uint8_t> table(168 * 16);
            const auto asked = std::chrono::steady_clock::now();
            _GetFlashSectors(table.data(), 16);
            _IsConnected();
            EXPECT_LT(std::chrono::steady_clock::now() - asked, 100ms);
        });
        other.join();
        settle_on(row.outcome.back());
        EXPECT_EQ(events.events(), row.outcome);

        // A late answer is dropped, and the next command gets its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(row.delay_ms));
        events.clear();
        ASSERT_EQ(_ReadInfo(), 0);
        settle_on({13, 0});
        EXPECT_EQ(events.events(), (std::vector<Event>{{13, 0}}));
        EXPECT_EQ(_GetConnectInfo()->serialNumber, kSerialA);
    }
}

// An answer sent again and again is the answer to its own command only.
TEST_F(SocketSequences, RepeatedAnswersNeverAnswerALaterCommand) {
    search();
    connect(kSerialA);
    a_->model().add_fault(sim::FaultRule{.kind = sim::FaultKind::extra_frames, .opcode = 0xE6, .amount = 150});
    const std::size_t answered = a_->endpoint().answers();
    ASSERT_EQ(_ReadInfo(), 0);
    ASSERT_TRUE(events.wait_for({13, 0}));
    // Once every repeat has gone out, however many the link still holds, the
    // device takes a new number.
    for (int i = 0; i < 500 && a_->endpoint().answers() == answered; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(a_->endpoint().answers(), answered + 1);
    constexpr std::uint32_t kRenumbered = 0x8D0777;
    sim::Bytes write_serial{0xE9, sim::serial_word_checksum(kRenumbered)};
    write_serial.resize(5);
    sim::put_be32(write_serial.data() + 1, kRenumbered);
    write_serial[1] = sim::serial_word_checksum(kRenumbered);
    ASSERT_EQ(sim::answer_body(a_->model().host_block(sim::make_command_frame(write_serial), SocketDrova::kThisHost).answers.at(0))->size(), 5u);
    for (int again = 0; again < 2; ++again) {
        events.clear();
        ASSERT_TRUE(once_idle(&_ReadInfo));
        ASSERT_TRUE(events.wait_for_count(1));
        if (events.events().front() == Event{13, 0}) {
            EXPECT_EQ(_GetConnectInfo()->serialNumber, kRenumbered & 0xFFFFFFu) << "a stale answer taken for this one";
        }
        settle_on(events.events().back());
    }
}

// A device process that takes no host (stopped, hung) and a device that
// another host holds hide no other device from a search.
TEST_F(SocketSequences, SilentEndpointsHideNothing) {
    platform::DeviceEndpoint silent(location_.value(), "drova0");  // listed first, never served
    search();
    ASSERT_EQ(_GetFoundDevices(nullptr, 0), 2);
    TDROVAInfo found[2];
    _GetFoundDevices(found, 2);
    EXPECT_EQ(found[0].serialNumber, kSerialA);
    EXPECT_EQ(found[1].serialNumber, kSerialB);
}

// A device that another host holds still answers this host's search, and
// refuses its connect with the reason; the devices beside it serve as ever.
TEST_F(SocketSequences, AHeldDeviceIsListedAndRefusesTheConnect) {
    const int other_connection = a_->endpoint().connections() + 1;
    a_->of_other_host(other_connection);
    OtherHost other(a_->endpoint().path());
    constexpr std::array<std::uint8_t, 4> kOther{0x55, 0x66, 0x77, 0x88};
    const auto claimed = other.ask(connect_request(kOther));
    ASSERT_TRUE(claimed);
    ASSERT_EQ(a_->endpoint().connections(), other_connection);
    EXPECT_EQ(*claimed, (sim::Bytes{0xE2, 0x55, 0x66, 0x77, 0x88}));

    search();
    ASSERT_EQ(_GetFoundDevices(nullptr, 0), 2) << "the held device is listed";
    events.clear();
    ASSERT_EQ(_Connect(static_cast<int>(kSerialA), 0, 0), 0);
    settle_on({9, 1});
    EXPECT_EQ(events.events(), (std::vector<Event>{{15, 2}, {9, 1}}));
    EXPECT_STREQ(_GetErrorString(VELKOR_ERR_OTHER_HOST), "HW Device already connected to another host!");
    connect(kSerialB);
    EXPECT_EQ(_IsConnected(), 1);
}

// _Close while the device works on an erase lets the next session start at once.
TEST_F(SocketSequences, ClosingDuringASlowEraseHoldsNothingUp) {
    search();
    connect(kSerialA);
    a_->model().add_fault(sim::FaultRule{.kind = sim::FaultKind::delay, .opcode = 0xEB, .amount = 4000});
    ASSERT_EQ(_Erase(2), 0);
    const auto start = std::chrono::steady_clock::now();
    _Close();
    ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    events.clear();
    ASSERT_EQ(_FindDROVAs(-1, 0, 2000), 0);  // 200 ms
    ASSERT_TRUE(events.wait_for({12, 0}, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the old exchange held the new session";
}

}  // namespace
}  // namespace velkor::testing
