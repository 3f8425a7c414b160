#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <memory>

#include "commands/maintenance_fixture.h"
#include "usb/in_process_device.h"
#include "model/wire_values.h"
#include "protocol/exchange.h"

namespace velkor::testing {
namespace {

struct ListDeleter {
    void operator()(TBinList *list) const { _BinListFree(list); }
};
using HostList = std::unique_ptr<TBinList, ListDeleter>;

HostList host_list(const std::vector<std::pair<std::uint32_t, Bytes>> &blocks) {
    HostList list(_BinListCreate());
    for (const auto &[address, data] : blocks) {
        BinBlock block{address, static_cast<u32>(data.size()), const_cast<u8 *>(data.data())};
        EXPECT_EQ(_BinListAdd(list.get(), &block), 0);
    }
    return list;
}

Bytes pattern(std::size_t size, unsigned seed = 1) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
    return data;
}

Bytes record(std::uint32_t address, const Bytes &data) {
    Bytes bytes{static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
                static_cast<std::uint8_t>(address >> 8),  static_cast<std::uint8_t>(address),
                static_cast<std::uint8_t>(data.size() >> 24), static_cast<std::uint8_t>(data.size() >> 16),
                static_cast<std::uint8_t>(data.size() >> 8), static_cast<std::uint8_t>(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes place(std::uint8_t opcode, std::uint8_t area, std::uint32_t address) {
    return {opcode, area, static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
}

Bytes checksum_command(std::uint8_t area, std::uint32_t address, std::uint32_t length) {
    return cat({place(0xEF, area, address), {static_cast<std::uint8_t>(length >> 24),
                                             static_cast<std::uint8_t>(length >> 16),
                                             static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)}});
}

Bytes data_command(const Bytes &bytes, std::size_t from, std::size_t count) {
    Bytes command{0xED};
    command.insert(command.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
                   bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
    return command;
}

// Runs `body` on a thread with a stack of `size` bytes and waits for it.
void run_on_stack(std::size_t size, std::function<void()> body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, size);
    pthread_t thread;
    auto run = [](void *argument) -> void * {
        (*static_cast<std::function<void()> *>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, &body), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

class FlashProgramming : public MaintenanceFixture {
protected:
    // Connected to a device with three sectors, whose table has been read.
    void SetUp() override {
        MaintenanceFixture::SetUp();
        connect_device(sector_blocks(3));
        read_flash_table();
        start = frames_written();
    }

    void expect_events(const std::vector<Event> &expected) {
        ASSERT_TRUE(events.wait_for(expected.back()));
        ASSERT_TRUE(wait_idle());
        EXPECT_EQ(events.events(), expected);
    }

    std::size_t start = 0;
};

TEST(OnesComplementChecksum, Examples) {
    EXPECT_EQ(ones_complement_checksum({}), 0xFF);
    EXPECT_EQ(ones_complement_checksum(Bytes{0x61, 0x62, 0x63}), 0xD8);
    EXPECT_EQ(ones_complement_checksum(Bytes{0xFF, 0xFF}), 0x00);
    EXPECT_EQ(ones_complement_checksum(Bytes{0x80, 0x80}), 0xFE);
    const Bytes long_run = pattern(100000);
    EXPECT_EQ(ones_complement_checksum(long_run), device_checksum(long_run));
}

// One byte at a time with end-around carry, as the device adds.
std::uint8_t bytewise_checksum(const Bytes &bytes) {
    unsigned sum = 0;
    for (const std::uint8_t byte : bytes) {
        const unsigned s = sum + byte;
        sum = (s + (s >> 8)) & 0xFFu;
    }
    return static_cast<std::uint8_t>(~sum);
}

// The sum runs over whole words: every length and alignment around a word,
// runs that carry out of every word, and sums that are a multiple of 255.
TEST(OnesComplementChecksum, AgreesWithTheBytewiseSumAtEveryLengthAndAlignment) {
    const Bytes data = pattern(64, 5);
    for (std::size_t start = 0; start < 8; ++start)
        for (std::size_t length = 0; start + length <= data.size(); ++length) {
            const Bytes part(data.begin() + static_cast<std::ptrdiff_t>(start),
                             data.begin() + static_cast<std::ptrdiff_t>(start + length));
            ASSERT_EQ(ones_complement_checksum(part), bytewise_checksum(part)) << start << "+" << length;
        }
    for (const std::size_t length : {std::size_t{1}, std::size_t{8}, std::size_t{9}, std::size_t{4097}}) {
        EXPECT_EQ(ones_complement_checksum(Bytes(length, 0x00)), 0xFF) << length;
        EXPECT_EQ(ones_complement_checksum(Bytes(length, 0xFF)), 0x00) << length;
        const Bytes high = pattern(length, 0xF0);
        EXPECT_EQ(ones_complement_checksum(high), bytewise_checksum(high)) << length;
    }
    EXPECT_EQ(ones_complement_checksum(Bytes{0x01, 0xFE}), 0x00);
    EXPECT_EQ(ones_complement_checksum(Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x01}), 0xFE);
}

TEST_F(FlashProgramming, DownloadIntoTheStagingAreaItself) {
    const Bytes data = pattern(1000);
    auto list = host_list({{0x10000, data}});
    ASSERT_EQ(_Download(3, list.get()), 0);
    expect_events({{0, 0}, {5, 0}, {2, 0}, {0, 0}, {5, 0}, {2, 0}, {3, 0}});

    const Bytes first = record(0x10000, data);
    ASSERT_EQ(Bytes(first.begin(), first.begin() + 8), (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0xE8}));
    const Bytes end_record(8, 0);
    EXPECT_EQ(commands(start), (std::vector<Bytes>{
                                   place(0xEC, 3, 0),
                                   data_command(first, 0, 480),
                                   data_command(first, 480, 480),
                                   data_command(first, 960, 48),
                                   checksum_command(3, 0, 1008),
                                   place(0xEC, 3, 1008),
                                   data_command(end_record, 0, 8),
                                   checksum_command(3, 1008, 8),
                               }));
    EXPECT_EQ(device->memory(3), cat({first, end_record}));
    EXPECT_FALSE(usb::UsbIsOpen());
}

TEST_F(FlashProgramming, DownloadIntoAnotherAreaProgramsAndChecksEachRecordAgain) {
    const Bytes a = pattern(20, 1), b = pattern(5, 2);
    auto list = host_list({{0x100, a}, {0x200, b}});
    ASSERT_EQ(_Download(0, list.get()), 0);
    const std::vector<Event> per_record{{0, 0}, {5, 0}, {2, 0}, {6, 0}, {2, 0}};
    std::vector<Event> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), per_record.begin(), per_record.end());
    expected.push_back({3, 0});
    expect_events(expected);

    const Bytes stream = cat({record(0x100, a), record(0x200, b), Bytes(8, 0)});
    EXPECT_EQ(device->memory(0), stream);
    const auto sent = commands(start);
    ASSERT_EQ(sent.size(), 15u);
    EXPECT_EQ(sent[3], place(0xEE, 0, 0));
    EXPECT_EQ(sent[4], checksum_command(0, 0, 28));
    EXPECT_EQ(sent[5], place(0xEC, 3, 28));
    EXPECT_EQ(sent[8], place(0xEE, 0, 28));
}

TEST_F(FlashProgramming, DownloadIntoAreaOneHasNoEndRecord) {
    const Bytes data = pattern(472);  // a record of exactly one chunk
    auto list = host_list({{0, data}});
    ASSERT_EQ(_Download(1, list.get()), 0);
    expect_events({{0, 0}, {5, 0}, {2, 0}, {6, 0}, {2, 0}, {3, 0}});
    const Bytes only = record(0, data);
    EXPECT_EQ(commands(start), (std::vector<Bytes>{place(0xEC, 3, 0), data_command(only, 0, 480),
                                                   checksum_command(3, 0, 480), place(0xEE, 1, 0),
                                                   checksum_command(1, 0, 480)}));
    EXPECT_EQ(device->memory(1), only);
}

// After a failed download, a host call of a step from idle is a command of
// its own and does not carry on with the broken sequence.
TEST_F(FlashProgramming, ChecksumMismatchEndsTheDownload) {
    device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] != 0xEF) return std::nullopt;
        return std::vector<Block>{answer_frame({0xEF, 0x42})};
    });
    auto list = host_list({{0, pattern(30)}, {64, pattern(30)}});
    ASSERT_EQ(_Download(3, list.get()), 0);
    expect_events({{0, 0}, {5, 0}, {2, 1}, {3, 1}});

    events.clear();
    const std::size_t before = frames_written();
    ASSERT_EQ(_Address(TAddress{0, 3}), 0);
    expect_events({{0, 0}});
    EXPECT_EQ(frames_written(), before + 1);
}

TEST_F(FlashProgramming, TimeOutMidWayEndsTheDownload) {
    int chunks = 0;
    device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] == 0xED && ++chunks > 1) return std::vector<Block>{};
        return std::nullopt;
    });
    auto list = host_list({{0, pattern(2000)}});
    ASSERT_EQ(_Download(3, list.get()), 0);
    expect_events({{0, 0}, {15, 7}, {5, 1}, {3, 1}});
    EXPECT_EQ(chunks, 2);

    events.clear();
    device->set_override({});
    ASSERT_EQ(_Address(TAddress{0, 3}), 0);
    expect_events({{0, 0}});

    // The third silent period in a row loses the link; the download still
    // ends with its outcome, so a host waiting for (3,x) is told.
    events.clear();
    device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] == 0xEA || frame[20] == 0xEC) return std::vector<Block>{};
        return std::nullopt;
    });
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(_AutoStart(1), 0);
        ASSERT_TRUE(wait_idle());
    }
    ASSERT_EQ(_Download(3, list.get()), 0);
    expect_events({{15, 7}, {1, 1}, {15, 7}, {1, 1}, {15, 9}, {10, 0}, {0, 1}, {3, 1}});
    EXPECT_EQ(_IsConnected(), 0);
}

// A device that goes mid-download ends it at once, with the outcome of a lost
// link, not after the period of the step in flight (30 s for a program step):
// pulled out of its port while it works, or gone when the next frame is written.
TEST_F(FlashProgramming, ADeviceGoneMidDownloadEndsItAtOnce) {
    const struct {
        const char *how;
        std::uint8_t at;  // the frame the device goes at
        bool pulled_out;  // while it works on that frame; else unplugged once it has answered it
        std::uint32_t slow_path_ms;  // when the outcome would come if only the command timer told it
        std::vector<Event> expected;
    } rows[] = {
        {"pulled out during the program step", 0xEE, true, 30000,
         {{0, 0}, {5, 0}, {2, 0}, {15, 9}, {10, 0}, {6, 1}, {3, 1}}},
        {"unplugged after the data step: the checksum's write fails", 0xED, false, 3 * 2000,
         {{0, 0}, {5, 0}, {15, 9}, {10, 0}, {2, 1}, {3, 1}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.how);
        if (_IsConnected() == 0) {
            device = std::make_unique<FlashDevice>(sector_blocks(3));
            scripted = attach("drova0", device->responder());
            connect_to(FlashDevice::kSerial);
            read_flash_table();
        }
        std::promise<void> reached;
        std::atomic<bool> gone{false};
        device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
            if (frame[20] != row.at || gone.exchange(true)) return std::nullopt;
            if (!row.pulled_out) {
                scripted->unplug();
                return std::nullopt;
            }
            reached.set_value();
            return std::vector<Block>{};
        });
        const std::uint32_t started = session().workers()->clock->now_ms();
        auto list = host_list({{0x40, pattern(100)}});
        events.clear();
        ASSERT_EQ(_Download(1, list.get()), 0);
        if (row.pulled_out) {
            ASSERT_EQ(reached.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
            usb::detach_in_process_device("drova0");
        }
        ASSERT_TRUE(events.wait_for({VELKOR_EV_DOWNLOAD, 1}));
        EXPECT_LT(session().workers()->clock->now_ms() - started, row.slow_path_ms) << "the outcome waited for the timer";
        ASSERT_TRUE(wait_idle());
        EXPECT_EQ(events.events(), row.expected);
        EXPECT_EQ(_IsConnected(), 0);
        device->set_override({});
        usb::detach_in_process_device("drova0");
    }
}

// A stopped download: the step in flight ends as usual and is the last frame
// to go out, (3,1) ends the download once, and the session serves at once.
TEST_F(FlashProgramming, StopEndsTheDownloadAfterTheStepInFlight) {
    struct Row {
        const char *during;
        std::uint8_t opcode;
        int occurrence;  // of that opcode
        std::vector<Event> expected;
    };
    const Row rows[] = {
        {"the address step", 0xEC, 1, {{0, 0}, {3, 1}}},
        {"a chunk before the last", 0xED, 1, {{0, 0}, {5, 1}, {3, 1}}},
        {"the last chunk", 0xED, 3, {{0, 0}, {5, 0}, {3, 1}}},
        {"the staging checksum", 0xEF, 1, {{0, 0}, {5, 0}, {2, 0}, {3, 1}}},
        {"the program step", 0xEE, 1, {{0, 0}, {5, 0}, {2, 0}, {6, 0}, {3, 1}}},
        {"the second record's address", 0xEC, 2, {{0, 0}, {5, 0}, {2, 0}, {6, 0}, {2, 0}, {0, 0}, {3, 1}}},
    };
    auto list = host_list({{0x100, pattern(1000)}});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.during);
        int seen = 0;
        std::size_t stop_frame = 0;
        device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
            if (frame[20] == row.opcode && ++seen == row.occurrence) {
                EXPECT_EQ(_StopDownload(), 0);
                stop_frame = frames_written();
            }
            return std::nullopt;
        });
        events.clear();
        ASSERT_EQ(_Download(0, list.get()), 0);
        expect_events(row.expected);
        EXPECT_EQ(frames_written(), stop_frame) << "a frame went out after the stopped step";
        EXPECT_FALSE(usb::UsbIsOpen());
        EXPECT_EQ(_StopDownload(), 1) << "no download runs";
        device->set_override({});
        events.clear();
        ASSERT_EQ(_Address(TAddress{0, 3}), 0);
        expect_events({{0, 0}});
    }
}

// A download belongs to its connection. A reset while one of its steps waits
// for the device ends it there: the step's failure pair and (3,1), and no
// frame after the reset, even when the device's answer then arrives.
// _DeviceClose ends it without an outcome. Either way nothing of it is left
// to stop, nor to be reported as lost on the next connection.
TEST_F(FlashProgramming, ADownloadEndsWithItsConnection) {
    struct Row {
        const char *ended_by;
        std::uint8_t held;  // the step whose answer the device holds back
        bool reset;         // else _DeviceClose
        std::vector<Event> expected;
    };
    const Row rows[] = {
        {"a reset during the address step", 0xEC, true, {{10, 0}, {0, 1}, {3, 1}}},
        {"a reset during a chunk", 0xED, true, {{0, 0}, {10, 0}, {5, 1}, {3, 1}}},
        {"a reset during the program step", 0xEE, true, {{0, 0}, {5, 0}, {2, 0}, {10, 0}, {6, 1}, {3, 1}}},
        {"_DeviceClose during a chunk", 0xED, false, {{0, 0}, {10, 0}}},
    };
    auto list = host_list({{0x100, pattern(1000)}});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ended_by);
        if (!_IsConnected()) connect_to(FlashDevice::kSerial);
        Block held;
        device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
            if (frame[20] != row.held || !held.empty()) return std::nullopt;
            const std::uint32_t length = load_be32(frame.data() + 4);
            Bytes answer;
            if (row.held == 0xEC) answer.assign(frame.begin() + 20, frame.begin() + 26);
            if (row.held == 0xED) answer = {0xED, 0, 0, static_cast<std::uint8_t>((length - 1) >> 8),
                                            static_cast<std::uint8_t>(length - 1)};
            if (row.held == 0xEE) answer = {0xEE, 0x00};
            held = answer_frame(answer);
            return std::vector<Block>{};
        });
        events.clear();
        ASSERT_EQ(_Download(0, list.get()), 0);
        ASSERT_FALSE(held.empty());
        if (row.reset)
            ASSERT_EQ(_Reset(), 0);
        else
            _DeviceClose();
        const std::size_t mark = frames_written();
        // What the link's reader hands on when the answer comes after all.
        protocol::dispatch_response(session(), 0, held.data(), static_cast<std::uint32_t>(held.size()));
        expect_events(row.expected);
        pass(100);
        EXPECT_EQ(events.events(), row.expected);
        EXPECT_EQ(frames_written(), mark) << "a frame went out after the connection ended";
        EXPECT_EQ(_StopDownload(), 1) << "no download runs";

        // The next connection loses its link: only that loss is reported.
        device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
            if (frame[20] == 0xE5) return std::vector<Block>{};
            return std::nullopt;
        });
        connect_to(FlashDevice::kSerial);
        events.clear();
        for (int i = 0; i < 3 && _IsConnected(); ++i) {
            ASSERT_EQ(_CommRefresh(), 0);
            ASSERT_TRUE(wait_idle());
        }
        ASSERT_TRUE(events.wait_for({10, 0}));
        pass(100);
        EXPECT_EQ(events.events(), (std::vector<Event>{{15, 9}, {10, 0}}));
        device->set_override({});
    }
}

// The host callback may stop a download that runs on another thread, while
// that thread waits for the device's answer.
TEST_F(FlashProgramming, StopFromTheCallbackAndWithoutADownload) {
    events.clear();
    EXPECT_EQ(_StopDownload(), 1);
    pass(100);
    EXPECT_TRUE(events.events().empty()) << "nothing to stop, nothing posted";

    std::promise<int> stopped;
    auto stop_result = stopped.get_future().share();
    events.on_event([&](int a, int b) {
        if (a == 0 && b == 0) stopped.set_value(_StopDownload());
    });
    int chunks = 0;
    device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
        // The first chunk waits until the callback has asked for the stop.
        if (frame[20] == 0xED && ++chunks == 1) stop_result.wait_for(std::chrono::seconds(10));
        return std::nullopt;
    });
    auto list = host_list({{0, pattern(2000)}});
    ASSERT_EQ(_Download(3, list.get()), 0);
    expect_events({{0, 0}, {5, 1}, {3, 1}});
    EXPECT_EQ(stop_result.get(), 0);
    EXPECT_EQ(chunks, 1);
    events.on_event({});
}

// Erase and program get 30 s to answer, every other step 2 s.
TEST_F(FlashProgramming, EraseAndProgramWaitThirtySecondsTheOtherStepsTwo) {
    const auto clock = session().workers()->clock;
    std::atomic<std::uint32_t> failed_at{0};
    events.on_event([&](int, int b) {
        if (b == 1) failed_at = clock->now_ms();
    });
    Bytes data = pattern(4);
    BinBlock block{0, 4, data.data()};
    struct Row {
        std::uint8_t opcode;
        std::function<int()> call;
        int event;
        bool flash;
    };
    const Row rows[] = {
        {0xEB, [] { return _Erase(2); }, 4, true},
        {0xEE, [] { return _Program(0, 0); }, 6, true},
        {0xEF, [] { return _CheckSum(0, 4, 0, 3); }, 2, false},
        {0xED, [&] { return _PrgData(&block); }, 5, false},
        {0xEC, [] { return _Address(TAddress{0, 3}); }, 0, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(int{row.opcode});
        device->set_override([&](const Block &frame) -> std::optional<std::vector<Block>> {
            if (frame[20] == row.opcode) return std::vector<Block>{};
            return std::nullopt;
        });
        events.clear();
        failed_at = 0;
        const std::uint32_t sent_at = clock->now_ms();
        ASSERT_EQ(row.call(), 0);
        expect_events({{15, 7}, {row.event, 1}});
        while (failed_at == 0) std::this_thread::yield();  // the hook runs after the recording
        const std::uint32_t waited = failed_at - sent_at;
        if (row.flash) {
            EXPECT_GE(waited, 30000u);
        } else {
            EXPECT_GE(waited, 2000u);
            EXPECT_LT(waited, 20000u);
        }
        // An answered command between the silent ones keeps the link alive.
        device->set_override({});
        ASSERT_EQ(_AutoStart(1), 0);
        ASSERT_TRUE(events.wait_for({1, 0}));
        ASSERT_TRUE(wait_idle());
    }
    events.on_event({});
}

TEST_F(FlashProgramming, FailedAddressOrProgramStepEndsTheDownload) {
    auto list = host_list({{0, pattern(10)}});
    device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] != 0xEC) return std::nullopt;
        return std::vector<Block>{answer_frame({0xEC, 0x03, 0x00, 0x00, 0x00, 0x01})};
    });
    ASSERT_EQ(_Download(3, list.get()), 0);
    expect_events({{0, 1}, {3, 1}});

    events.clear();
    device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] != 0xEE) return std::nullopt;
        return std::vector<Block>{answer_frame({0xEE, 0x01})};
    });
    ASSERT_EQ(_Download(0, list.get()), 0);
    expect_events({{0, 0}, {5, 0}, {2, 0}, {6, 1}, {3, 1}});
}

TEST_F(FlashProgramming, DownloadsThatCannotStartAreRefusedWithoutAnEvent) {
    auto empty = host_list({});
    auto one = host_list({{0, pattern(4)}});
    struct Row {
        const char *refused;
        int target;
        TBinList *blocks;
    };
    const Row rows[] = {
        {"an empty list", 3, empty.get()},
        {"no list", 3, nullptr},
        // An area is a byte on the wire: these would land in sector 0 and area 255.
        {"a target beyond a byte", 256, one.get()},
        {"a negative target", -1, one.get()},
        {"the lowest int", std::numeric_limits<int>::min(), one.get()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.refused);
        EXPECT_EQ(_Download(row.target, row.blocks), 1);
        EXPECT_EQ(session().command.state(), kIdle);
        EXPECT_EQ(frames_written(), start);
    }
    pass(100);
    EXPECT_TRUE(events.events().empty());

    // A list of blocks copies them: the host's block may go away at once.
    Bytes data = pattern(16);
    HostList list(_BinListCreate());
    BinBlock block{0x40, 16, data.data()};
    ASSERT_EQ(_BinListAdd(list.get(), &block), 0);
    std::fill(data.begin(), data.end(), 0);
    EXPECT_EQ(_BinListAdd(list.get(), nullptr), 1);
    EXPECT_EQ(_BinListAdd(nullptr, &block), 1);
    BinBlock without_data{0, 4, nullptr};
    EXPECT_EQ(_BinListAdd(list.get(), &without_data), 1);
    ASSERT_EQ(_Download(3, list.get()), 0);
    list.reset();
    ASSERT_TRUE(events.wait_for({3, 0}));
    const Bytes staging = device->memory(3);
    ASSERT_GE(staging.size(), 24u);
    EXPECT_EQ(Bytes(staging.begin() + 8, staging.begin() + 24), pattern(16));
    pass(100);
    EXPECT_EQ(events.events().size(), 7u);
}

class FlashProgrammingWithoutTable : public MaintenanceFixture {};

TEST_F(FlashProgrammingWithoutTable, DownloadNeedsTheFlashTable) {
    connect_device(sector_blocks(2));
    auto list = host_list({{0, pattern(4)}});
    EXPECT_EQ(_Download(2, list.get()), 1);
    pass(200);
    EXPECT_TRUE(events.events().empty());
    EXPECT_EQ(session().command.state(), kIdle);
}

// With 256 sectors the staging area would be area 0 on the wire, a sector;
// the count byte reads 0, so the table is never complete either.
TEST_F(FlashProgrammingWithoutTable, StagingAreaMustFitItsByte) {
    connect_device(sector_blocks(256));
    ASSERT_EQ(_FlashInfo(), 0);
    ASSERT_TRUE(events.wait_for({11, 1}));
    ASSERT_EQ(session().workers()->flash_sectors.size(), 256u);
    events.clear();
    const std::size_t before = frames_written();
    auto list = host_list({{0, pattern(4)}});
    EXPECT_EQ(_Download(0, list.get()), 1);
    EXPECT_EQ(frames_written(), before);
    EXPECT_EQ(session().command.state(), kIdle);
}

// The flash table is one device's and names that device's staging area only.
// Connecting another device (another serial number, or another path) drops
// it; a reconnect to the same device keeps it.
TEST_F(FlashProgrammingWithoutTable, TheFlashTableBelongsToOneDevice) {
    struct Row {
        const char *next;
        std::uint32_t serial;
        const char *path;
        bool kept;
    };
    const Row rows[] = {
        {"the same device again", FlashDevice::kSerial, "drova0", true},
        {"another serial number", 0x654321, "drova1", false},
        {"another path", FlashDevice::kSerial, "drova1", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.next);
        _Close();
        usb::detach_all_in_process_devices();
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
        connect_device(sector_blocks(3));
        read_flash_table();
        ASSERT_EQ(_HasCompatibleFWVersion(0, 100), 1);
        ASSERT_EQ(_Disconnect(), 0);
        ASSERT_TRUE(events.wait_for({10, 0}));

        std::unique_ptr<FlashDevice> other;
        std::shared_ptr<ScriptedDevice> reached = scripted;
        if (std::string(row.path) != "drova0") {
            usb::detach_in_process_device("drova0");
            other = std::make_unique<FlashDevice>(sector_blocks(4), row.serial);
            reached = attach(row.path, other->responder());
        }
        connect_to(row.serial);
        auto list = host_list({{0, pattern(8)}});
        const std::size_t before = reached->writes().size();
        EXPECT_EQ(_Download(0, list.get()), row.kept ? 0 : 1);
        EXPECT_EQ(_HasCompatibleFWVersion(0, 100), row.kept ? 1 : 0);
        char hint[512];
        _GetHintAboutDROVA(VELKOR_HINT_FLASH_SECTORS, _GetConnectInfo(), hint, sizeof hint);
        EXPECT_EQ(std::string(hint).find("app 0") != std::string::npos, row.kept) << hint;
        if (row.kept) {
            ASSERT_TRUE(events.wait_for({3, 0}));
            continue;
        }
        pass(100);
        EXPECT_TRUE(events.events().empty());
        EXPECT_EQ(reached->writes().size(), before);
        // Its own table names its own staging area.
        ASSERT_EQ(_FlashInfo(), 0);
        ASSERT_TRUE(events.wait_for({11, 0}));
        ASSERT_TRUE(wait_idle());
        const std::size_t mark = reached->writes().size();
        ASSERT_EQ(_Download(0, list.get()), 0);
        ASSERT_TRUE(events.wait_for({3, 0}));
        EXPECT_EQ(reached->writes()[mark][21], 4) << "the address step names area 4";
    }
}

// A host block of no bytes may come without a data pointer: one data
// command without data goes out, and nothing is read through the pointer.
TEST_F(FlashProgramming, EmptyBlockWithoutData) {
    BinBlock empty{0, 0, nullptr};
    ASSERT_EQ(_PrgData(&empty), 0);
    expect_events({{5, 0}});
    EXPECT_EQ(commands(start), (std::vector<Bytes>{data_command({}, 0, 0)}));
}

TEST_F(FlashProgramming, StepsCalledOneAtATime) {
    Bytes data = pattern(10);
    BinBlock block{0, 10, data.data()};
    ASSERT_EQ(_PrgData(&block), 0);
    expect_events({{5, 0}});
    EXPECT_EQ(commands(start), (std::vector<Bytes>{data_command(data, 0, 10)}));

    // Null blocks, or a block that claims data it does not have: refused.
    events.clear();
    BinBlock hollow{0, 10, nullptr};
    EXPECT_EQ(_PrgData(nullptr), 1);
    EXPECT_EQ(_PrgData(&hollow), 1);

    // The area argument is OR-ed into the area of the address.
    device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] != 0xEE) return std::nullopt;
        return std::vector<Block>{answer_frame({0xEE, 0x00})};
    });
    std::size_t mark = frames_written();
    ASSERT_EQ(_Program(0x0000000500001234ull, 2), 0);
    expect_events({{6, 0}});
    EXPECT_EQ(commands(mark), (std::vector<Bytes>{place(0xEE, 7, 0x1234)}));

    // Four erased bytes (FF) sum to the checksum 00.
    events.clear();
    mark = frames_written();
    ASSERT_EQ(_CheckSum(0x0000000100000010ull, 4, 0x00, 2), 0);
    expect_events({{2, 0}});
    EXPECT_EQ(commands(mark), (std::vector<Bytes>{checksum_command(3, 0x10, 4)}));
    events.clear();
    ASSERT_EQ(_CheckSum(0x0000000100000010ull, 4, 0x01, 2), 0);
    expect_events({{2, 1}});
}

// A step called by the host while another step waits for its answer is
// refused like any command: it never takes over the command in flight, whose
// outcome still arrives.
TEST_F(FlashProgramming, HostStepsNeverTakeOverAStepInFlight) {
    device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] != 0xEF) return std::nullopt;
        return std::vector<Block>{};
    });
    ASSERT_EQ(_CheckSum(0x10, 4, 0x00, 3), 0);
    EXPECT_EQ(_Address(TAddress{0, 3}), 1);
    EXPECT_EQ(_Program(0, 0), 1);
    expect_events({{15, 10}, {15, 10}, {15, 7}, {2, 1}});

    events.clear();
    auto list = host_list({{0, pattern(30)}});
    ASSERT_EQ(_Download(3, list.get()), 0);
    EXPECT_EQ(_Address(TAddress{0, 3}), 1);
    Bytes data = pattern(4);
    BinBlock block{0, 4, data.data()};
    EXPECT_EQ(_PrgData(&block), 1);
    expect_events({{0, 0}, {5, 0}, {15, 10}, {15, 10}, {15, 7}, {2, 1}, {3, 1}});
}

TEST_F(FlashProgramming, Erase) {
    const std::size_t mark = frames_written();
    ASSERT_EQ(_Erase(2), 0);
    expect_events({{4, 0}});
    EXPECT_EQ(commands(mark), (std::vector<Bytes>{{0xEB, 0x02}}));
    EXPECT_FALSE(usb::UsbIsOpen());

    events.clear();
    device->set_override([](const Block &frame) -> std::optional<std::vector<Block>> {
        if (frame[20] != 0xEB) return std::nullopt;
        return std::vector<Block>{};
    });
    ASSERT_EQ(_Erase(2), 0);
    expect_events({{15, 7}, {4, 1}});
    EXPECT_FALSE(usb::UsbIsOpen());
}

// However many chunks and records, the download runs at one depth: the
// device is always reached through the same few frames of the stack.
class LargeDownloads : public FlashProgramming {
protected:
    static constexpr std::size_t kSmallStack = 256 * 1024;

    std::size_t stack_spread_of(const TBinList *list) {
        std::uintptr_t lowest = UINTPTR_MAX, highest = 0;
        device->set_override([&](const Block &) -> std::optional<std::vector<Block>> {
            volatile char marker = 0;
            const auto here = reinterpret_cast<std::uintptr_t>(&marker);
            lowest = std::min(lowest, here);
            highest = std::max(highest, here);
            return std::nullopt;
        });
        int result = -1;
        run_on_stack(kSmallStack, [&] { result = _Download(3, const_cast<TBinList *>(list)); });
        EXPECT_EQ(result, 0);
        device->set_override({});
        return highest - lowest;
    }
};

TEST_F(LargeDownloads, EightMebibytesInOneBlock) {
    const Bytes data = pattern(8 * 1024 * 1024);
    auto list = host_list({{0, data}});
    const std::size_t spread = stack_spread_of(list.get());
    ASSERT_TRUE(events.wait_for({3, 0}, std::chrono::seconds(120)));
    EXPECT_EQ(events.events(), (std::vector<Event>{{0, 0}, {5, 0}, {2, 0}, {0, 0}, {5, 0}, {2, 0}, {3, 0}}));
    EXPECT_LT(spread, 4096u);
    EXPECT_EQ(device->memory(3), cat({record(0, data), Bytes(8, 0)}));
}

TEST_F(LargeDownloads, FiveThousandSmallBlocks) {
    std::vector<std::pair<std::uint32_t, Bytes>> blocks;
    for (std::uint32_t i = 0; i < 5000; ++i) blocks.emplace_back(i * 16, pattern(16, i));
    auto list = host_list(blocks);
    const std::size_t spread = stack_spread_of(list.get());
    ASSERT_TRUE(events.wait_for({3, 0}, std::chrono::seconds(300)));
    const auto all = events.events();
    EXPECT_EQ(all.size(), 5001u * 3 + 1);
    EXPECT_EQ(std::count(all.begin(), all.end(), Event{2, 0}), 5001);
    EXPECT_LT(spread, 4096u);
    const Bytes staging = device->memory(3);
    ASSERT_EQ(staging.size(), 5000u * 24 + 8);
    EXPECT_EQ(Bytes(staging.begin() + 4999 * 24, staging.begin() + 5000 * 24), record(4999 * 16, pattern(16, 4999)));
}

}  // namespace
}  // namespace velkor::testing
