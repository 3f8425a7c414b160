// drova-usbd's core between hosts and USB devices emulated by umockdev, whose
// transfers reach the simulated device model: what a host does with a real
// device on a Linux machine, what a host reads when the device takes its time,
// speaks unasked, stalls, stays silent or is pulled out, and several hosts on
// one device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"
#include "bridge.h"
#include "platform/device_endpoint.h"
#include "platform/usb_driver.h"
#include "session/clock.h"
#include "support/event_recorder.h"
#include "usb/in_process_device.h"
#include "emulated_usb.h"
#include "wire.h"

extern char **environ;

namespace velkor::testing {
namespace {

using namespace std::chrono_literals;

// The library's periods run 20 times faster: a 2 s period lasts 100 ms.
constexpr unsigned kSpeedup = 20;
constexpr std::chrono::seconds kPatience{10};  // real time for what takes milliseconds

sim::DeviceConfig device_config(std::uint32_t serial) {
    sim::DeviceConfig config;
    config.serial_word = serial;
    config.sectors = 5;  // a flash table of three answer frames
    config.sector_size = 0x4000;
    config.staging_size = 0x4000;
    return config;
}

// The device ignores `times` frames with `opcode` (none: any; 0 times: all).
sim::FaultRule silence(std::optional<std::uint8_t> opcode, unsigned times) {
    sim::FaultRule rule;
    rule.kind = sim::FaultKind::no_answer;
    rule.opcode = opcode;
    rule.times = times;
    return rule;
}

class UsbBridge : public ::testing::Test {
protected:
    void SetUp() override {
        if (!usbd::EmulatedUsb::available()) GTEST_SKIP() << "runs under umockdev-wrapper only";
        usb::detach_all_in_process_devices();
        usb::select_in_process_backend(false);
        platform::set_device_location(location_.value().c_str());
        set_clock(std::make_shared<ScaledClock>(kSpeedup, 1000));
        bus_ = std::make_unique<usbd::EmulatedUsb>();
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    }
    void TearDown() override {
        if (!bus_) return;
        _Close();
        bridge_.reset();
        if (HasFailure()) {
            std::lock_guard guard(log_lock_);
            for (const auto &line : log_) std::fprintf(stderr, "bridge: %s\n", line.c_str());
        }
        bus_.reset();
        platform::set_device_location(nullptr);
        set_clock(nullptr);
    }

    std::shared_ptr<sim::DeviceModel> plug(unsigned port, std::uint32_t serial) {
        auto model = std::make_shared<sim::DeviceModel>(device_config(serial));
        bus_->plug(port, model);
        return model;
    }

    void start_bridge() {
        usbd::BridgeSettings settings;
        settings.dir = location_.value();
        usbd::DeviceSelector emulated;
        emulated.vendor = usbd::EmulatedUsb::kVendor;
        emulated.product = usbd::EmulatedUsb::kProduct;
        settings.devices = {emulated};
        settings.serve.verbosity = 1;  // dropped blocks are logged
        settings.serve.log = [this](const std::string &line) {
            std::lock_guard guard(log_lock_);
            log_.push_back(std::to_string((std::chrono::steady_clock::now() - started_) / 1ms) + " ms " + line);
        };
        bridge_ = std::make_unique<usbd::Bridge>(std::move(settings));
    }

    // The socket files a host finds in the device directory.
    std::vector<std::string> endpoint_files() const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(location_.value()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    bool endpoints_become(const std::vector<std::string> &names,
                          std::chrono::milliseconds within = kPatience) const {
        const auto until = std::chrono::steady_clock::now() + within;
        while (endpoint_files() != names || bridge_->endpoints() != names) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    bool logged(const std::string &text) {
        std::lock_guard guard(log_lock_);
        return std::any_of(log_.begin(), log_.end(), [&](const std::string &line) { return line.find(text) != std::string::npos; });
    }
    void log_line(const std::string &line) {
        std::lock_guard guard(log_lock_);
        log_.push_back(std::to_string((std::chrono::steady_clock::now() - started_) / 1ms) + " ms test: " + line);
    }
    bool logged_soon(const std::string &text) {
        return eventually([&] { return logged(text); });
    }
    static bool eventually(const std::function<bool()> &holds) {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (!holds()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    // A host of its own on the endpoint at `port`, without the library.
    std::unique_ptr<platform::MessageChannel> bare_host(unsigned port) {
        return platform::connect_device_endpoint(location_.value() + "/usb-1-" + std::to_string(port));
    }

    bool wait_idle() {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (Session::instance().command.state() != kIdle) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    // Runs a command and expects `outcome` as its event.
    void expect(int accepted, Event outcome) {
        ASSERT_EQ(accepted, 0);
        EXPECT_TRUE(events.wait_for(outcome, kPatience)) << "no (" << outcome.first << "," << outcome.second << ")";
        ASSERT_TRUE(wait_idle());
        events.clear();
    }
    int found_devices() {
        events.clear();
        EXPECT_EQ(_FindDROVAs(-1, 0, 500), 0);
        EXPECT_TRUE(events.wait_for({VELKOR_EV_SEARCH, 0}, kPatience));
        EXPECT_TRUE(wait_idle());
        events.clear();
        TDROVAInfo found[10];
        return _GetFoundDevices(found, 10);
    }
    void connect(std::uint32_t serial) { expect(_Connect(static_cast<int>(serial), 0, 0), {VELKOR_EV_CONNECT, 0}); }
    // The one device, plugged in at `port` of bus 1, served, found and connected to.
    std::shared_ptr<sim::DeviceModel> connect_at(unsigned port, std::uint32_t serial) {
        auto model = plug(port, serial);
        start_bridge();
        EXPECT_TRUE(endpoints_become({"usb-1-" + std::to_string(port)}));
        EXPECT_EQ(found_devices(), 1);
        connect(serial);
        return model;
    }

    platform::ScratchDeviceLocation location_;
    std::unique_ptr<usbd::EmulatedUsb> bus_;
    std::unique_ptr<usbd::Bridge> bridge_;
    EventRecorder events;
    std::mutex log_lock_;
    std::vector<std::string> log_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

// How a device paces its answers: the host's work through the bridge is the
// same however long each answer takes within the command's period.
struct PaceRow {
    const char *name;
    usbd::EmulatedUsb::Timing (*timing)();
};

void PrintTo(const PaceRow &row, std::ostream *out) { *out << row.name; }

bool is_data_frame(std::span<const std::uint8_t> block) {
    return block.size() > sim::kHeaderSize && block[sim::kHeaderSize] == sim::kData;
}

class ApplicationThroughTheBridge : public UsbBridge, public ::testing::WithParamInterface<PaceRow> {};

TEST_P(ApplicationThroughTheBridge, IsDownloadedVerifiedAndStarted) {
    auto model = plug(3, 0x8D0001);
    bus_->set_timing(3, GetParam().timing());
    start_bridge();
    ASSERT_TRUE(endpoints_become({"usb-1-3"}));
    ASSERT_EQ(found_devices(), 1);
    connect(0x8D0001);
    expect(_FlashInfo(), {VELKOR_EV_FLASHINFO, 0});
    EXPECT_EQ(_IsFlashTableComplete(), 1);
    std::uint8_t sectors[5 * 168];
    EXPECT_EQ(_GetFlashSectors(sectors, 5), 5);

    expect(_Erase(0), {VELKOR_EV_ERASE, 0});
    sim::AppInfoFields app;
    app.id = 77;
    app.name = "Bridged";
    app.features = {0x01, 0x00, 0x00, 0x00};
    const sim::Bytes image = sim::make_application_image(app, 3000);
    const sim::Bytes tail(700, 0x5A);
    TBinList *list = _BinListCreate();
    BinBlock first{0, static_cast<u32>(image.size()), const_cast<u8 *>(image.data())};
    BinBlock second{0x2000, static_cast<u32>(tail.size()), const_cast<u8 *>(tail.data())};
    ASSERT_EQ(_BinListAdd(list, &first), 0);
    ASSERT_EQ(_BinListAdd(list, &second), 0);
    expect(_Download(0, list), {VELKOR_EV_DOWNLOAD, 0});
    _BinListFree(list);
    EXPECT_EQ(model->read_memory(0, 8, static_cast<std::uint32_t>(image.size())), image);
    const sim::Bytes sector = model->read_memory(0, 0, 0x4000);
    EXPECT_NE(std::search(sector.begin(), sector.end(), tail.begin(), tail.end()), sector.end());

    expect(_FlashInfo(), {VELKOR_EV_FLASHINFO, 0});
    expect(_StartApp(77), {VELKOR_EV_STARTAPP, 0});
    EXPECT_EQ(model->running_application(), 77u);
    EXPECT_EQ(_IsSupportedFwFeature(0), 1);
    expect(_Disconnect(), {VELKOR_EV_DISCONNECT, 0});
    EXPECT_EQ(_IsConnected(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ApplicationThroughTheBridge,
    ::testing::Values(PaceRow{"AnswersAtOnce", [] { return usbd::EmulatedUsb::Timing{}; }},
                      PaceRow{"FlashTableFramesApart",
                              [] {
                                  usbd::EmulatedUsb::Timing timing;
                                  timing.between_frames = 15ms;
                                  return timing;
                              }},
                      PaceRow{"DataFramesAnsweredAfter0To3ms",
                              [] {
                                  usbd::EmulatedUsb::Timing timing;
                                  auto random = std::make_shared<std::mt19937>(20240611);
                                  timing.answer_after = [random](std::span<const std::uint8_t> block) {
                                      if (!is_data_frame(block)) return std::chrono::microseconds{0};
                                      return std::chrono::microseconds{
                                          std::uniform_int_distribution<int>(0, 3000)(*random)};
                                  };
                                  return timing;
                              }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbBridge, TwoDevicesAreServedSideBySide) {
    plug(1, 0x8D0001);
    auto second = plug(2, 0x8D0002);
    start_bridge();
    ASSERT_TRUE(endpoints_become({"usb-1-1", "usb-1-2"}));
    ASSERT_EQ(found_devices(), 2);
    connect(0x8D0002);
    expect(_FlashInfo(), {VELKOR_EV_FLASHINFO, 0});
    EXPECT_TRUE(second->claim().claimed);
    expect(_Disconnect(), {VELKOR_EV_DISCONNECT, 0});
    // As drova-usbd stops on SIGTERM: no endpoint stays behind.
    bridge_.reset();
    EXPECT_EQ(endpoint_files(), std::vector<std::string>{});
}

// drova, unchanged, in a process of its own: it finds the bridge's endpoint
// in the device directory like any other device.
struct DrovaRun {
    int status = -1;
    std::string output;  // standard output and error
};

DrovaRun run_drova(const std::string &device_dir, const std::string &arguments) {
    const std::string command = "VELKOR_USB_DIR='" + device_dir + "' '" DROVA_TEST_DROVA "' --library '" +
                                DROVA_TEST_LIBRARY + "' --search-ms 50 " + arguments + " 2>&1";
    DrovaRun run;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
    const int status = pclose(pipe);
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

TEST_F(UsbBridge, DrovaServicesABridgedDeviceAsAnyOther) {
    plug(3, 0x8D0123);
    start_bridge();
    ASSERT_TRUE(endpoints_become({"usb-1-3"}));
    sim::AppInfoFields app;
    app.id = 77;
    app.name = "Bridged";
    const sim::Bytes image = sim::make_application_image(app, 1500);
    const std::string file = location_.value() + "-image.bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(image.data()),
                                                 static_cast<std::streamsize>(image.size()));
    const struct {
        std::string arguments;
        int status;
        std::vector<std::string> said;
    } rows[] = {
        {"list", 0, {"0: KV47D00291", "usb-1-3"}},
        {"info", 0, {"KV47D00291"}},
        {"flash --json", 0, {"\"sectorCount\": 5"}},
        {"--yes download " + file + " -t 1", 0, {"download finished: 1 records", "1 in area 1"}},
        {"verify " + file + " -t 1", 0, {"verify: all 1 records match in area 1"}},
        // A lone application offers what no kind-2 entry holds: the check marks it.
        {"check", 8, {"sector 1  application  id 77  'Bridged'", "offered by no kind-2 entry"}},
        {"start 77", 0, {"77"}},
    };
    for (const auto &row : rows) {
        const DrovaRun run = run_drova(location_.value(), row.arguments);
        EXPECT_EQ(run.status, row.status) << row.arguments << "\n" << run.output;
        for (const auto &part : row.said)
            EXPECT_NE(run.output.find(part), std::string::npos) << row.arguments << ": " << part << "\n" << run.output;
    }
    std::filesystem::remove(file);
}

// A program in a process of its own whose output is read line by line as it
// comes (standard output and error together).
class Process {
public:
    explicit Process(std::vector<std::string> arguments) {
        int ends[2];
        if (pipe(ends) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        std::vector<char *> argv;
        for (auto &argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        output_ = ends[0];
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0) close(output_);
    }

    bool started() const { return pid_ > 0; }
    // Reads until the output holds every one of `texts`; false at the end of
    // the output or after `within`.
    bool said(const std::vector<std::string> &texts, std::chrono::milliseconds within = kPatience) {
        const auto until = std::chrono::steady_clock::now() + within;
        const auto all_said = [&] {
            return std::all_of(texts.begin(), texts.end(),
                               [&](const std::string &text) { return text_.find(text) != std::string::npos; });
        };
        while (!all_said()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            pollfd ready{output_, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[1024];
            const ssize_t n = read(output_, buffer, sizeof buffer);
            if (n <= 0) return all_said();
            text_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    // Sends `signal_number` and waits for the exit status (-1: killed by a signal).
    int stop(int signal_number) {
        kill(pid_, signal_number);
        said({"\x01never"}, kPatience);  // the rest of the output, up to its end
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string &text() const { return text_; }

private:
    pid_t pid_ = 0;
    int output_ = -1;
    std::string text_;
};

// drova-usbd itself, the daemon as installed, against two devices on a bus
// that emulated-drova-bus emulates (as usbd/README.md runs it): it says what
// it watches, serves both to drova, and removes its endpoints when stopped.
TEST(DrovaUsbdDaemon, ServesEmulatedDevicesAsTheReadmeRunsIt) {
    if (!usbd::EmulatedUsb::available()) GTEST_SKIP() << "runs under umockdev-wrapper only";
    platform::ScratchDeviceLocation location;
    const std::string dir = location.value() + "/usb";  // made by the daemon
    Process daemon({DROVA_TEST_EMULATED_BUS, "--devices", "2", "--", DROVA_TEST_USBD, "--device", "1d50:61f0", "-d", dir});
    ASSERT_TRUE(daemon.started());
    ASSERT_TRUE(daemon.said({"drova-usbd: watching for 1d50:61f0 (interface 0); endpoints in " + dir + "\n",
                             "served on " + dir + "/usb-1-1", "served on " + dir + "/usb-1-2"}))
        << daemon.text();
    EXPECT_EQ(daemon.text().find("warning"), std::string::npos) << daemon.text();
    const struct {
        std::string arguments;
        std::vector<std::string> said;
    } rows[] = {
        {"list", {"0: KV47D00291", dir + "/usb-1-1", "1: KV47D00292", dir + "/usb-1-2"}},
        {"--index 1 info", {"KV47D00292"}},
    };
    for (const auto &row : rows) {
        const DrovaRun run = run_drova(dir, row.arguments);
        EXPECT_EQ(run.status, 0) << row.arguments << "\n" << run.output;
        for (const auto &part : row.said)
            EXPECT_NE(run.output.find(part), std::string::npos) << row.arguments << ": " << part << "\n" << run.output;
    }
    EXPECT_EQ(daemon.stop(SIGTERM), 0) << daemon.text();
    EXPECT_NE(daemon.text().find("drova-usbd: stopped"), std::string::npos) << daemon.text();
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

// A device pulled out in the middle of a download: the host loses the link,
// the bridge keeps serving, and the device plugged in again at the same port
// comes back under the same name.
TEST_F(UsbBridge, ADevicePulledOutAndPluggedInAgainKeepsItsName) {
    auto model = connect_at(4, 0x8D0001);
    std::mutex lock;
    std::condition_variable data_seen;
    int data_frames = 0;
    model->set_log_sink([&](const sim::LogEntry &entry) {
        if (entry.kind != sim::LogEntry::Kind::host_frame || entry.bytes.size() <= sim::kHeaderSize ||
            entry.bytes[sim::kHeaderSize] != sim::kData)
            return;
        std::lock_guard guard(lock);
        ++data_frames;
        data_seen.notify_all();
    });
    expect(_FlashInfo(), {VELKOR_EV_FLASHINFO, 0});  // a download goes by the flash table

    sim::AppInfoFields app;
    app.id = 9;
    app.name = "Long";
    const sim::Bytes image = sim::make_application_image(app, 0x3000);
    TBinList *list = _BinListCreate();
    BinBlock block{0, static_cast<u32>(image.size()), const_cast<u8 *>(image.data())};
    ASSERT_EQ(_BinListAdd(list, &block), 0);
    // The download may run on the calling thread: the plug is pulled from another.
    bool pulled = false;
    std::thread puller([&] {
        std::unique_lock guard(lock);
        pulled = data_seen.wait_for(guard, kPatience, [&] { return data_frames >= 3; });
        guard.unlock();
        bus_->unplug(4);
    });
    _Download(0, list);
    puller.join();
    ASSERT_TRUE(pulled);
    EXPECT_TRUE(events.wait_for({VELKOR_EV_DOWNLOAD, 1}, kPatience));
    EXPECT_TRUE(wait_idle());
    _BinListFree(list);
    EXPECT_TRUE(endpoints_become({}, 3s));
    // The host keeps the link alive as it always does, and finds it lost.
    for (int refresh = 0; refresh < 3 && _IsConnected() != 0; ++refresh) {
        ASSERT_EQ(_CommRefresh(), 0);
        ASSERT_TRUE(wait_idle());
    }
    EXPECT_TRUE(events.wait_for({VELKOR_EV_ERROR, VELKOR_ERR_LINK_LOST}, kPatience));
    EXPECT_EQ(_IsConnected(), 0);
    EXPECT_TRUE(logged("[usb-1-4] device gone"));

    model->set_log_sink(nullptr);
    model->replug();
    bus_->plug(4, model);
    ASSERT_TRUE(endpoints_become({"usb-1-4"}));
    ASSERT_EQ(found_devices(), 1);
    connect(0x8D0001);
    expect(_FlashInfo(), {VELKOR_EV_FLASHINFO, 0});
}

// What a device does wrong ends the exchange and, through the library's own
// time-out, the command; the next command goes through.
struct Misbehaviour {
    const char *name;
    void (*arrange)(usbd::EmulatedUsb &bus, sim::DeviceModel &model);
    const char *logged;  // what the bridge reports, or empty
};

void PrintTo(const Misbehaviour &row, std::ostream *out) { *out << row.name; }

class DeviceMisbehaves : public UsbBridge, public ::testing::WithParamInterface<Misbehaviour> {};

TEST_P(DeviceMisbehaves, TheCommandTimesOutAndTheNextOneWorks) {
    auto model = connect_at(3, 0x8D0001);
    GetParam().arrange(*bus_, *model);
    expect(_FlashInfo(), {VELKOR_EV_ERROR, VELKOR_ERR_NOT_RESPONDING});
    if (*GetParam().logged != '\0') {
        EXPECT_TRUE(logged(GetParam().logged));
    }
    expect(_FlashInfo(), {VELKOR_EV_FLASHINFO, 0});
    EXPECT_EQ(bridge_->endpoints(), std::vector<std::string>{"usb-1-3"});
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceMisbehaves,
    ::testing::Values(
        // The library's own keep-alives may go first: the flash information's block stalls.
        Misbehaviour{"StallOnOut", [](usbd::EmulatedUsb &bus, sim::DeviceModel &) { bus.stall_out(3, 1, sim::kFlashInfo); },
                     "bulk OUT LIBUSB_ERROR_PIPE"},
        Misbehaviour{"NeverAnswers",
                     [](usbd::EmulatedUsb &, sim::DeviceModel &model) {
                         model.add_fault(silence(sim::kFlashInfo, 1));
                     },
                     ""}),
    [](const auto &info) { return std::string(info.param.name); });

// What a host on a connection of its own reads for its blocks: exactly the
// device's frames, each as one message when the device sends it, and nothing
// else (no end message, nothing made up); the bridge keeps one IN transfer
// pending throughout and gives it back when it stops.
struct ReadRow {
    const char *name;
    void (*arrange)(usbd::EmulatedUsb &bus, sim::DeviceModel &model);
    std::vector<sim::Bytes> commands;  // each sent once the answers to the one before are read
    unsigned lost = 0;                 // leading blocks the device never takes
    bool unasked = false;              // then the device sends a frame of its own
    std::chrono::milliseconds at_least{0};  // from the last block to its last answer frame
    const char *logged = "";
};

void PrintTo(const ReadRow &row, std::ostream *out) { *out << row.name; }

constexpr std::uint32_t kSerial = 0x8D0001;
constexpr unsigned kPort = 3;

sim::Bytes frame_of(sim::Bytes command) { return sim::make_command_frame(command); }

// A connect well formed, from host identifier 1.2.3.4.
sim::Bytes connect_frame() {
    sim::Bytes command(479, 0);
    command[0] = sim::kConnect;
    command[2] = 1, command[3] = 2, command[4] = 3, command[5] = 4;
    command[6] = 479 & 0xFF, command[7] = 479 >> 8;
    return frame_of(command);
}

// The IN transfers a device's frames take: at most 512 bytes each.
std::vector<sim::Bytes> in_transfers(const std::vector<sim::Bytes> &frames) {
    std::vector<sim::Bytes> blocks;
    for (const auto &frame : frames)
        for (std::size_t at = 0; at < frame.size(); at += usbd::BridgedDevice::kInTransferSize)
            blocks.emplace_back(frame.begin() + static_cast<long>(at),
                                frame.begin() + static_cast<long>(std::min(frame.size(), at + usbd::BridgedDevice::kInTransferSize)));
    return blocks;
}

usbd::EmulatedUsb::Timing answers_after(std::chrono::microseconds pause) {
    usbd::EmulatedUsb::Timing timing;
    timing.answer_after = [pause](std::span<const std::uint8_t>) { return pause; };
    return timing;
}

class WhatAHostReads : public UsbBridge, public ::testing::WithParamInterface<ReadRow> {};

TEST_P(WhatAHostReads, IsWhatTheDeviceSentWhenItSentIt) {
    const ReadRow &row = GetParam();
    auto model = plug(kPort, kSerial);
    row.arrange(*bus_, *model);
    start_bridge();
    ASSERT_TRUE(endpoints_become({"usb-1-3"}));
    auto host = bare_host(kPort);
    ASSERT_TRUE(host);
    // The same device without the bus says what the frames must be.
    sim::DeviceModel twin(device_config(kSerial));
    std::vector<std::uint8_t> message;
    for (std::size_t i = 0; i < row.commands.size(); ++i) {
        const sim::Bytes &block = row.commands[i];
        const auto sent_at = std::chrono::steady_clock::now();
        ASSERT_TRUE(host->send(block.data(), block.size(), 1000));
        if (i < row.lost) continue;
        for (const auto &expected : in_transfers(twin.host_block(block).answers)) {
            ASSERT_EQ(host->receive(message, 10000), platform::MessageChannel::Receive::message) << "block " << i;
            EXPECT_EQ(message, expected) << "block " << i;
        }
        if (i + 1 == row.commands.size()) {
            EXPECT_GE(std::chrono::steady_clock::now() - sent_at, row.at_least);
        }
    }
    if (row.unasked) {
        const sim::Bytes own = sim::make_answer_frame(sim::Bytes{sim::kKeepAlive, 0x55}, 0);
        bus_->send_unasked(kPort, own);
        ASSERT_EQ(host->receive(message, 10000), platform::MessageChannel::Receive::message);
        EXPECT_EQ(message, own);
    }
    EXPECT_EQ(host->receive(message, 50), platform::MessageChannel::Receive::timed_out) << message.size() << " bytes";
    if (*row.logged != '\0') {
        EXPECT_TRUE(logged_soon(row.logged)) << row.logged;
    }
    EXPECT_TRUE(eventually([&] { return bus_->pending_in_transfers(kPort) == 1; }));
    bridge_.reset();
    EXPECT_EQ(bus_->pending_in_transfers(kPort), 0u);
}

void nothing(usbd::EmulatedUsb &, sim::DeviceModel &) {}

INSTANTIATE_TEST_SUITE_P(
    Rows, WhatAHostReads,
    ::testing::Values(
        ReadRow{"AnswerAtOnce", nothing, {connect_frame()}},
        ReadRow{"FlashTableFramesApart",
                [](usbd::EmulatedUsb &bus, sim::DeviceModel &) {
                    usbd::EmulatedUsb::Timing timing;
                    timing.between_frames = 25ms;
                    bus.set_timing(kPort, timing);
                },
                {connect_frame(), frame_of({sim::kFlashInfo})},
                0, false, 50ms},
        ReadRow{"LateAnswer", [](usbd::EmulatedUsb &bus, sim::DeviceModel &) { bus.set_timing(kPort, answers_after(80ms)); },
                {frame_of({sim::kQuery})}, 0, false, 80ms},
        ReadRow{"DelayedByTheDevice",
                [](usbd::EmulatedUsb &, sim::DeviceModel &model) {
                    model.add_fault(sim::FaultRule{.kind = sim::FaultKind::delay, .opcode = sim::kKeepAlive, .amount = 60});
                },
                {frame_of({sim::kKeepAlive})}, 0, false, 60ms},
        ReadRow{"HeldBackThenSentUnasked",
                [](usbd::EmulatedUsb &, sim::DeviceModel &model) {
                    model.add_fault(sim::FaultRule{.kind = sim::FaultKind::late_answer, .opcode = sim::kQuery, .amount = 60});
                },
                {frame_of({sim::kQuery})}, 0, false, 60ms},
        ReadRow{"UnaskedFrame", nothing, {frame_of({sim::kKeepAlive})}, 0, true},
        ReadRow{"OddBlocks", nothing,
                {sim::Bytes{1, 2, 3}, sim::Bytes(600, 0xA5), sim::Bytes(512, 0), frame_of({sim::kKeepAlive})}},
        ReadRow{"StallOnOut", [](usbd::EmulatedUsb &bus, sim::DeviceModel &) { bus.stall_out(kPort, 1); },
                {frame_of({sim::kKeepAlive}), frame_of({sim::kKeepAlive})}, 1, false, 0ms,
                "bulk OUT LIBUSB_ERROR_PIPE"},
        ReadRow{"StallOnIn", [](usbd::EmulatedUsb &bus, sim::DeviceModel &) { bus.stall_in(kPort, 2); },
                {connect_frame(), frame_of({sim::kFlashInfo})}, 0, false, 0ms, "bulk IN LIBUSB_ERROR_PIPE"}),
    [](const auto &info) { return std::string(info.param.name); });

// Several hosts on one endpoint, as several programs open one USB interface:
// each reads the answers to its own blocks; an answer whose host has gone,
// or a frame before any host wrote, reaches nobody.
TEST_F(UsbBridge, HostsOnOneDeviceReadTheAnswersToTheirOwnBlocks) {
    plug(kPort, kSerial);
    start_bridge();
    ASSERT_TRUE(endpoints_become({"usb-1-3"}));
    std::unique_ptr<platform::MessageChannel> hosts[] = {bare_host(kPort), bare_host(kPort)};
    ASSERT_TRUE(hosts[0] && hosts[1]);
    sim::DeviceModel twin(device_config(kSerial));
    const struct {
        int host;
        sim::Bytes block;
    } turns[] = {{0, frame_of({sim::kQuery})}, {1, frame_of({sim::kKeepAlive})}, {1, connect_frame()},
                 {0, frame_of({sim::kQuery})}, {0, frame_of({sim::kFlashInfo})}};
    std::vector<std::uint8_t> message;
    for (const auto &turn : turns) {
        ASSERT_TRUE(hosts[turn.host]->send(turn.block.data(), turn.block.size(), 1000));
        for (const auto &expected : in_transfers(twin.host_block(turn.block).answers)) {
            ASSERT_EQ(hosts[turn.host]->receive(message, 10000), platform::MessageChannel::Receive::message);
            EXPECT_EQ(message, expected);
        }
    }
    for (auto &host : hosts) EXPECT_EQ(host->receive(message, 30), platform::MessageChannel::Receive::timed_out);
}

TEST_F(UsbBridge, AnAnswerWhoseHostHasGoneReachesNobody) {
    plug(kPort, kSerial);
    bus_->set_timing(kPort, answers_after(60ms));
    start_bridge();
    ASSERT_TRUE(endpoints_become({"usb-1-3"}));
    auto first = bare_host(kPort);
    auto second = bare_host(kPort);
    ASSERT_TRUE(first && second);
    // Before any host block: the device speaks to nobody.
    bus_->send_unasked(kPort, sim::make_answer_frame(sim::Bytes{sim::kKeepAlive}, 0));
    EXPECT_TRUE(logged_soon("a block before any host block went out: dropped"));
    const sim::Bytes keep_alive = frame_of({sim::kKeepAlive});
    ASSERT_TRUE(first->send(keep_alive.data(), keep_alive.size(), 1000));
    // Gone before its answer comes.
    ASSERT_TRUE(logged_soon("[usb-1-3] host 1 host>"));
    first.reset();
    EXPECT_TRUE(logged_soon("host 1 has gone: its block is dropped"));
    std::vector<std::uint8_t> message;
    EXPECT_EQ(second->receive(message, 0), platform::MessageChannel::Receive::timed_out);
    // The second host's own block gets its own answer, and only that.
    sim::DeviceModel twin(device_config(kSerial));
    ASSERT_TRUE(second->send(keep_alive.data(), keep_alive.size(), 1000));
    ASSERT_EQ(second->receive(message, 10000), platform::MessageChannel::Receive::message);
    EXPECT_EQ(message, twin.host_block(keep_alive).answers.at(0));
    EXPECT_EQ(second->receive(message, 30), platform::MessageChannel::Receive::timed_out);
}

// Pulled out while its answer is on the way: the host reads end of file and
// the endpoint goes.
TEST_F(UsbBridge, ADevicePulledOutMidCommandEndsItsHostsConnections) {
    plug(kPort, kSerial);
    bus_->set_timing(kPort, answers_after(5s));
    start_bridge();
    ASSERT_TRUE(endpoints_become({"usb-1-3"}));
    auto host = bare_host(kPort);
    auto idle = bare_host(kPort);
    ASSERT_TRUE(host && idle);
    const sim::Bytes connect = connect_frame();
    ASSERT_TRUE(host->send(connect.data(), connect.size(), 1000));
    ASSERT_TRUE(logged_soon("[usb-1-3] host 1 host>"));
    bus_->unplug(kPort);
    log_line("unplugged");
    std::vector<std::uint8_t> message;
    EXPECT_EQ(host->receive(message, 10000), platform::MessageChannel::Receive::closed);
    EXPECT_EQ(idle->receive(message, 10000), platform::MessageChannel::Receive::closed);
    log_line("hosts closed");
    // Well before the bridge would give up waiting for its transfers (10 s).
    EXPECT_TRUE(endpoints_become({}, 3s)) << endpoint_files().size() << " files, " << bridge_->endpoints().size()
                                          << " served";
    EXPECT_TRUE(logged("[usb-1-3] device gone"));
}

}  // namespace
}  // namespace velkor::testing
