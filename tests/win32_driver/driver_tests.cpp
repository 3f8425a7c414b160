// The library's Windows device path end to end: interfaces of the DROVA class
// published by the test driver's devices, found through SetupDi, opened with
// CreateFileA and served, behind the driver, by drova-sim. Where a behaviour
// is the device's, the same steps run over the named-pipe transport to the
// same kind of device give the reference.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "driver_fixture.h"
#include "os_services.h"
#include "session/clock.h"
#include "simulator.h"
#include "support/event_recorder.h"
#include "usb/Usb.h"
#include "usb/in_process_device.h"
#include "wire.h"

namespace velkor::driver_test {
namespace {

using namespace std::chrono_literals;
using testing::Event;
using testing::EventRecorder;

constexpr int kDevices = 3;
constexpr std::uint32_t kFirstSerial = 0x8D1000;
constexpr std::uint32_t kApp = 81;
constexpr double kSpeedup = 10.0;       // a 2 s period lasts 200 ms
constexpr int kSearchUnitMs = 1000;      // a search lasts 200 ms
constexpr int kLateMs = 150;             // how late the late device answers
constexpr auto kQuiet = 100ms;           // no more events for this long: settled

std::uint32_t serial_of(int device) { return kFirstSerial + static_cast<std::uint32_t>(device); }

// One device of drova-sim's configuration.
std::string device_json(const std::string &endpoint, std::uint32_t serial, const std::string &faults = "[]") {
    return R"({"endpoint": ")" + endpoint + R"(", "serial": )" + std::to_string(serial) + R"(, "name": "Bench )" +
           endpoint + R"(", "sectors": 4, "sector_size": 8192, "staging_size": 8192, "flash_blocks_per_frame": 2,
              "applications": [{"sector": 0, "id": )" + std::to_string(kApp) +
           R"(, "name": "App", "payload_size": 64}], "faults": )" + faults + "}";
}

// A fault the device process plants, and what the host does meanwhile.
enum class Step { read_info, flash_info, download, connect_only };

struct FaultRow {
    const char *kind;
    const char *rule;  // the JSON fault rule
    std::vector<Step> steps;
    Event outcome;     // the first step's own outcome
};

const std::vector<FaultRow> &fault_rows() {
    static const std::vector<FaultRow> rows = {
        {"no_answer", R"({"kind": "no_answer", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 1}},
        {"lost_answer", R"({"kind": "lost_answer", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 1}},
        {"refuse", R"({"kind": "refuse", "opcode": 224, "times": 1})", {Step::connect_only}, {9, 1}},
        {"answer_230", R"({"kind": "answer_230", "opcode": 224, "times": 1})", {Step::connect_only}, {9, 1}},
        {"wrong_length", R"({"kind": "wrong_length", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 1}},
        // The host identifier the connect's answer echoes.
        {"corrupt_byte", R"({"kind": "corrupt_byte", "opcode": 224, "times": 1, "amount": 1})", {Step::connect_only}, {9, 1}},
        {"wrong_checksum", R"({"kind": "wrong_checksum", "opcode": 239})", {Step::flash_info, Step::download}, {11, 0}},
        {"flash_count", R"({"kind": "flash_count", "opcode": 231, "amount": 9, "frame": -1, "times": 1})", {Step::flash_info, Step::flash_info}, {11, 1}},
        {"channel", R"({"kind": "channel", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 1}},
        {"length_zero", R"({"kind": "length_zero", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 1}},
        {"short_frame", R"({"kind": "short_frame", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 1}},
        // The header's claim is cut to what arrived.
        {"length_beyond", R"({"kind": "length_beyond", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 0}},
        // 600 bytes: two reads through the driver, cut to 512 over the pipe.
        {"oversize", R"({"kind": "oversize", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 0}},
        {"extra_frames", R"({"kind": "extra_frames", "opcode": 230, "skip": 1, "times": 1, "amount": 2})", {Step::read_info, Step::read_info}, {13, 0}},
        {"late_answer", R"({"kind": "late_answer", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 1}},
        {"delay", R"({"kind": "delay", "opcode": 230, "skip": 1, "times": 1, "amount": 30})", {Step::read_info, Step::read_info}, {13, 0}},
        {"unplug", R"({"kind": "unplug", "opcode": 230, "skip": 1, "times": 1})", {Step::read_info, Step::read_info}, {13, 1}},
    };
    return rows;
}

// Endpoint names. The pipe transport under Wine finds endpoints only under
// the names drova-sim gives by default, so each reference device sits behind
// a location of its own.
std::string bench_endpoint(int device) { return "bench" + std::to_string(device); }
std::string fault_endpoint(std::size_t row, char transport) {
    return "f" + std::to_string(row) + transport + "drova00";
}
std::string fault_location(std::size_t row, char transport) {
    const std::string endpoint = fault_endpoint(row, transport);
    return endpoint.substr(0, endpoint.size() - 7);
}
constexpr char kByPipe = 'p', kByDriver = 'd';

struct BenchDevice {
    std::string endpoint;
    std::uint32_t serial;
    std::string faults;
};

// Every device drova-sim serves for the tests, each with a serial number of its own.
const std::vector<BenchDevice> &bench_devices() {
    static const std::vector<BenchDevice> devices = [] {
        std::vector<BenchDevice> all;
        for (int device = 0; device < kDevices; ++device) all.push_back({bench_endpoint(device), serial_of(device), "[]"});
        std::uint32_t serial = kFirstSerial + 0x100;
        const auto add = [&](std::string endpoint, std::string faults) {
            all.push_back({std::move(endpoint), serial++, std::move(faults)});
        };
        // The search's query passes; the ones after it meet the fault.
        add("late", R"([{"kind": "delay", "opcode": 230, "skip": 1, "amount": )" + std::to_string(kLateMs) + "}]");
        add("silent", R"([{"kind": "no_answer", "opcode": 230, "skip": 1, "times": 1}])");
        add("twice", R"([{"kind": "extra_frames", "opcode": 230, "skip": 1, "amount": 1}])");
        add("pulled_download", R"([{"kind": "delay", "opcode": 237, "amount": 25}])");
        // Answers a search after it has been pulled out.
        add("pulled_search", R"([{"kind": "delay", "opcode": 230, "amount": 300}])");
        add("sessionpdrova00", "[]");
        add("drova_exe", "[]");
        for (std::size_t row = 0; row < fault_rows().size(); ++row)
            for (char transport : {kByPipe, kByDriver})
                add(fault_endpoint(row, transport), std::string("[") + fault_rows()[row].rule + "]");
        return all;
    }();
    return devices;
}

std::uint32_t serial_at(const std::string &endpoint) {
    for (const BenchDevice &device : bench_devices())
        if (device.endpoint == endpoint) return device.serial;
    return 0;
}

std::string bench_config() {
    std::string devices;
    for (const BenchDevice &device : bench_devices())
        devices += (devices.empty() ? "" : ",\n") + device_json(device.endpoint, device.serial, device.faults);
    return "{\"devices\": [\n" + devices + "]}";
}

// Whether the device behind the interface `path` answers a query on a handle
// of this program's own within `limit`.
bool answers_query(const std::string &path, DWORD limit_ms) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const sim::Bytes frame = sim::make_command_frame(sim::Bytes{sim::kQuery});
    OVERLAPPED write{}, read{};
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::uint8_t answer[512];
    DWORD count = 0;
    bool answered = false;
    if ((WriteFile(handle, frame.data(), static_cast<DWORD>(frame.size()), nullptr, &write) ||
         GetLastError() == ERROR_IO_PENDING) &&
        GetOverlappedResult(handle, &write, &count, TRUE) &&
        (ReadFile(handle, answer, sizeof answer, nullptr, &read) || GetLastError() == ERROR_IO_PENDING)) {
        if (WaitForSingleObject(read.hEvent, limit_ms) != WAIT_OBJECT_0) CancelIoEx(handle, &read);
        answered = GetOverlappedResult(handle, &read, &count, TRUE) && count > 0;
    }
    CloseHandle(handle);
    CloseHandle(write.hEvent);
    CloseHandle(read.hEvent);
    return answered;
}

// The bench: drova-sim with every device the tests use, and the test devices
// of the driver, installed for the whole run and removed at its end whatever
// happened.
class Bench final : public ::testing::Environment {
public:
    void SetUp() override {
        // One run at a time in this prefix: another run's devices would be
        // listed as well.
        run_lock_ = CreateMutexA(nullptr, FALSE, "velkor-driver-tests");
        ASSERT_NE(run_lock_, nullptr);
        WaitForSingleObject(run_lock_, INFINITE);
        const auto config = std::filesystem::temp_directory_path() / "velkor-driver-bench.json";
        std::ofstream(config) << bench_config();
        drova::Simulator::Options options;
        options.program = DROVA_TEST_SIM;
        options.config = config.string();
        try {
            sim_.emplace(options);
        } catch (const std::exception &problem) {
            FAIL() << "drova-sim: " << problem.what();
        }
        // The library finds the driver's devices, not drova-sim's pipes.
        drova::set_environment("VELKOR_USB_DIR", nullptr);
        devices_.emplace(DROVA_TEST_DRIVER_DIR);
        if (const int left = devices_->remove_leftovers(); left > 0)
            std::printf("removed %d test devices an earlier run left\n", left);
        for (int device = 0; device < kDevices; ++device) {
            const auto problem = devices_->install(device, pipe(bench_endpoint(device)));
            ASSERT_FALSE(problem) << *problem;
            ASSERT_TRUE(answers_query(devices_->interface_path(device), 5000)) << "device " << device << " is not served";
        }
    }

    void TearDown() override {
        devices_.reset();
        sim_.reset();
        if (run_lock_ != nullptr) {
            ReleaseMutex(run_lock_);
            CloseHandle(run_lock_);
        }
    }

    // The pipe name of an endpoint of drova-sim, as a device's link names it.
    std::string pipe(const std::string &endpoint) const { return sim_->location() + endpoint; }
    TestDevices &devices() { return *devices_; }

    // Exactly devices 0 to count - 1 present, each on its own endpoint.
    void ensure(int count) {
        for (int device = 0; device < kDevices; ++device) {
            const bool present = !devices_->interface_path(device).empty();
            if (device >= count && present) {
                ASSERT_TRUE(devices_->remove(device));
            } else if (device < count && !present) {
                const auto problem = devices_->install(device, pipe(bench_endpoint(device)));
                ASSERT_FALSE(problem) << *problem;
            } else if (present) {
                ASSERT_TRUE(devices_->point_at(device, pipe(bench_endpoint(device))));
            }
        }
    }

private:
    HANDLE run_lock_ = nullptr;
    std::optional<drova::Simulator> sim_;
    std::optional<TestDevices> devices_;
};

Bench *bench = nullptr;

// A host session with the library in this process, as a host program runs it.
class DriverPath : public ::testing::Test {
protected:
    void SetUp() override {
        usb::select_in_process_backend(false);
        set_clock(std::make_shared<ScaledClock>(kSpeedup, 1000));
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    }
    void TearDown() override {
        _Close();
        set_clock(nullptr);
        SetEnvironmentVariableA("VELKOR_USB_DIR", nullptr);
        usb::UsbSetInstanceCheck(false);
    }

    // Waits for `event`, then until nothing more arrives for a while.
    void settle_on(Event event) {
        ASSERT_TRUE(events.wait_for(event, 10s)) << event.first << "," << event.second << " never came";
        std::size_t seen = 0;
        do {
            seen = events.events().size();
            std::this_thread::sleep_for(kQuiet);
        } while (events.events().size() != seen);
    }
    // Waits for the first event of kind `a` and until things are quiet; its outcome.
    std::optional<Event> outcome_of(int a) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const Event &event : events.events())
                if (event.first == a) {
                    settle_on(event);
                    return event;
                }
            std::this_thread::sleep_for(5ms);
        }
        return std::nullopt;
    }
    // A search's entries; `started` is what _FindDROVAs returned.
    std::vector<TDROVAInfo> search(int *started = nullptr) {
        events.clear();
        const int result = _FindDROVAs(-1, 0, kSearchUnitMs);
        if (started != nullptr) *started = result;
        outcome_of(VELKOR_EV_SEARCH);
        std::vector<TDROVAInfo> found(10);
        found.resize(static_cast<std::size_t>(std::max(0, _GetFoundDevices(found.data(), 10))));
        return found;
    }
    static std::string path_of(const TDROVAInfo &entry) {
        return std::string(entry.devicePath, strnlen(entry.devicePath, sizeof entry.devicePath));
    }
    // The found entry of a serial number, by the device path it was found at.
    static std::string found_path(const std::vector<TDROVAInfo> &found, std::uint32_t serial) {
        for (const TDROVAInfo &entry : found)
            if (entry.serialNumber == serial) return path_of(entry);
        return {};
    }

    // Runs the steps of a session and returns every event it posted: search,
    // connect, the steps, disconnect.
    std::vector<Event> session(std::uint32_t serial, const std::vector<Step> &steps) {
        search();
        events.clear();
        if (_Connect(static_cast<int>(serial), 0, 0) != 0) return {{-1, -1}};
        outcome_of(VELKOR_EV_CONNECT);
        for (Step step : steps) {
            switch (step) {
            case Step::connect_only: break;
            case Step::read_info: run(VELKOR_EV_READINFO, [] { return _ReadInfo(); }); break;
            case Step::flash_info: run(VELKOR_EV_FLASHINFO, [] { return _FlashInfo(); }); break;
            case Step::download: download(1); break;
            }
        }
        if (_IsConnected() == 1) run(VELKOR_EV_DISCONNECT, [] { return _Disconnect(); });
        return events.events();
    }
    // A command and its own outcome, awaited.
    void run(int kind, const std::function<int()> &command) {
        const std::size_t before = count_of(kind);
        for (int attempt = 0; attempt < 100 && command() != 0; ++attempt) std::this_thread::sleep_for(10ms);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (count_of(kind) == before && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        const Event last = events.events().empty() ? Event{-1, -1} : events.events().back();
        settle_on(last);
    }
    std::size_t count_of(int kind) const {
        const auto all = events.events();
        return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [kind](const Event &e) { return e.first == kind; }));
    }
    // Three records with their checksums into `target`.
    void download(int target) {
        TBinList *list = _BinListCreate();
        std::vector<std::vector<u8>> data;
        const struct {
            u32 address;
            std::size_t size;
        } records[] = {{0x0000, 200}, {0x0400, 700}, {0x1000, 100}};
        for (const auto &record : records) {
            data.emplace_back(record.size);
            for (std::size_t k = 0; k < record.size; ++k) data.back()[k] = static_cast<u8>(k * 7 + record.address);
            BinBlock block{record.address, static_cast<u32>(record.size), data.back().data()};
            EXPECT_EQ(_BinListAdd(list, &block), 0);
        }
        run(VELKOR_EV_DOWNLOAD, [&] { return _Download(target, list); });
        _BinListFree(list);
    }

    EventRecorder events;
};

// ---- Lookup ---------------------------------------------------------------------------

TEST_F(DriverPath, TheLookupListsTheInterfacesAsSetupDiDoesInMemberOrder) {
    for (int count = 1; count <= kDevices; ++count) {
        SCOPED_TRACE(std::to_string(count) + " devices");
        bench->ensure(count);
        const std::vector<std::string> listed = TestDevices::listed_paths();
        ASSERT_EQ(listed.size(), static_cast<std::size_t>(count));
        EXPECT_EQ(usb::UsbCountDevices(), count);
        for (int member = 0; member < count; ++member) {
            char path[usb::kPathSize] = {};
            std::uint32_t length = 0;
            ASSERT_EQ(usb::UsbGetDevicePath(member, path, sizeof path, &length), usb::kPathFound);
            EXPECT_EQ(path, listed[static_cast<std::size_t>(member)]);
            EXPECT_EQ(length, listed[static_cast<std::size_t>(member)].size());
            EXPECT_EQ(usb::UsbFindDeviceIndex(path), member);
        }
        EXPECT_EQ(usb::UsbGetDevicePath(count, nullptr, 0, nullptr), usb::kNoInterface);

        // The search asks every interface and records where it found each device.
        const std::vector<TDROVAInfo> found = search();
        ASSERT_EQ(found.size(), static_cast<std::size_t>(count));
        for (int device = 0; device < count; ++device)
            EXPECT_EQ(found_path(found, serial_of(device)), bench->devices().interface_path(device)) << device;
    }
}

TEST_F(DriverPath, ADeviceRemovedBetweenTwoSearchesIsNoLongerFound) {
    bench->ensure(kDevices);
    ASSERT_EQ(search().size(), static_cast<std::size_t>(kDevices));
    const std::string removed_path = bench->devices().interface_path(1);
    ASSERT_TRUE(bench->devices().remove(1));
    const std::vector<TDROVAInfo> found = search();
    ASSERT_EQ(found.size(), static_cast<std::size_t>(kDevices - 1));
    const std::vector<std::string> listed = TestDevices::listed_paths();
    for (const TDROVAInfo &entry : found) {
        EXPECT_NE(path_of(entry), removed_path);
        EXPECT_NE(std::find(listed.begin(), listed.end(), path_of(entry)), listed.end()) << path_of(entry);
    }
    EXPECT_EQ(found_path(found, serial_of(1)), "");
    char path[usb::kPathSize] = {};
    std::memcpy(path, removed_path.c_str(), std::min<std::size_t>(removed_path.size(), sizeof path - 1));
    EXPECT_EQ(usb::UsbFindDeviceIndex(path), -1);
    bench->ensure(kDevices);
}

// An interface opened and closed more often than drova-sim takes hosts at
// once: every close lets the device process's connection go.
TEST_F(DriverPath, EveryClosedHandleLetsItsConnectionGo) {
    bench->ensure(kDevices);
    const std::string path = bench->devices().interface_path(0);
    for (int open = 0; open < 70; ++open) {
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << open << ": error " << GetLastError();
        CloseHandle(handle);
    }
    EXPECT_TRUE(answers_query(path, 5000));
}

// The registry check of the lookup, off by default: with the library's own
// filter text it admits nothing, since it lower-cases the instance name.
TEST_F(DriverPath, TheDeviceInstanceCheckAdmitsWhatItsFilterTextFinds) {
    bench->ensure(kDevices);
    static const std::string only_one = [] {
        std::string id = TestDevices::instance_id(1);
        std::transform(id.begin(), id.end(), id.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        return id;
    }();
    const struct {
        const char *what;
        const char *filter;
        bool check;
        std::vector<int> admitted;
    } rows[] = {
        {"the library's default: no check", usb::kInterfaceFilter, false, {0, 1, 2}},
        {"the library's text", usb::kInterfaceFilter, true, {}},
        {"the same text in lower case", "vid_ffff&pid_ffff", true, {0, 1, 2}},
        {"one device's instance", only_one.c_str(), true, {1}},
        {"another vendor", "vid_04d8&pid_000c", true, {}},
    };
    const std::vector<std::string> listed = TestDevices::listed_paths();
    ASSERT_EQ(listed.size(), static_cast<std::size_t>(kDevices));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        usb::UsbSetInterface(usb::kDeviceInterfaceClass, row.filter);
        usb::UsbSetInstanceCheck(row.check);
        EXPECT_EQ(usb::UsbCountDevices(), static_cast<int>(row.admitted.size()));
        for (int device = 0; device < kDevices; ++device) {
            const std::string path = bench->devices().interface_path(device);
            const auto member = std::find(listed.begin(), listed.end(), path) - listed.begin();
            const bool admitted = std::find(row.admitted.begin(), row.admitted.end(), device) != row.admitted.end();
            EXPECT_EQ(usb::UsbGetDevicePath(static_cast<int>(member), nullptr, 0, nullptr),
                      admitted ? usb::kPathFound : usb::kRejected)
                << device;
            EXPECT_EQ(usb::UsbListedIndex(path.c_str()), admitted ? member : -1) << device;
        }
    }
    // A session sets the library's text: with the check on, its search finds nothing.
    usb::UsbSetInterface(usb::kDeviceInterfaceClass, usb::kInterfaceFilter);
    usb::UsbSetInstanceCheck(true);
    int started = 0;
    EXPECT_TRUE(search(&started).empty());
    EXPECT_EQ(started, 1) << "no interface present";
    EXPECT_EQ(events.events(), (std::vector<Event>{{12, 1}}));
    usb::UsbSetInstanceCheck(false);
    EXPECT_EQ(search().size(), static_cast<std::size_t>(kDevices));
}

// ---- A service session --------------------------------------------------------------

// Search, connect, information, the flash table over several frames, an
// erase, a download of three records with their checksums, a start, the
// disconnect: every event of it, through the driver as over the pipe.
TEST_F(DriverPath, AWholeServiceSessionGoesThroughTheDriverAsOverThePipe) {
    bench->ensure(kDevices);
    const auto service = [this](std::uint32_t serial, const char *name) {
        const std::vector<TDROVAInfo> found = search();
        EXPECT_FALSE(found_path(found, serial).empty()) << name;
        events.clear();
        EXPECT_EQ(_Connect(static_cast<int>(serial), 0, 0), 0);
        EXPECT_EQ(outcome_of(VELKOR_EV_CONNECT), Event(9, 0));
        run(VELKOR_EV_READINFO, [] { return _ReadInfo(); });
        EXPECT_EQ(_GetConnectInfo()->serialNumber, serial);
        EXPECT_STREQ(_GetConnectInfo()->deviceName, name);
        run(VELKOR_EV_FLASHINFO, [] { return _FlashInfo(); });
        EXPECT_EQ(_IsFlashTableComplete(), 1);
        std::vector<std::uint8_t> table(168 * 8);
        EXPECT_EQ(_GetFlashSectors(table.data(), 8), 4) << "four sectors, two to a frame";
        run(VELKOR_EV_ERASE, [] { return _Erase(1); });
        download(1);
        run(VELKOR_EV_STARTAPP, [] { return _StartApp(kApp); });
        run(VELKOR_EV_DISCONNECT, [] { return _Disconnect(); });
        return events.events();
    };
    const std::vector<Event> driven = service(serial_of(1), "Bench bench1");
    const auto count = [&driven](Event event) { return std::count(driven.begin(), driven.end(), event); };
    for (const Event &once : {Event{9, 0}, Event{13, 0}, Event{11, 0}, Event{4, 0}, Event{3, 0}, Event{14, 0}})
        EXPECT_EQ(count(once), 1) << once.first;
    // Each record is summed in the staging area, programmed, and summed again.
    EXPECT_EQ(count({6, 0}), 3);
    EXPECT_EQ(count({2, 0}), 6);
    ASSERT_FALSE(driven.empty());
    EXPECT_EQ(driven.back(), Event(10, 0));
    for (const Event &event : driven) EXPECT_EQ(event.second, 0) << event.first;

    _Close();
    SetEnvironmentVariableA("VELKOR_USB_DIR", bench->pipe("sessionp").c_str());
    ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    EXPECT_EQ(service(serial_at("sessionpdrova00"), "Bench sessionpdrova00"), driven);
}

struct ProgramRun {
    int status;
    std::string out;
};

// drova.exe in a process of its own, with the library beside it and no
// VELKOR_USB_DIR: it finds the driver's devices.
ProgramRun run_drova(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--library", DROVA_TEST_LIBRARY, "--search-ms", "200"});
    drova::ChildProcess child(DROVA_TEST_DROVA, arguments, true, true);
    std::string out;
    char buffer[1024];
    for (std::size_t got; (got = child.read_output(buffer, sizeof buffer)) > 0;) out.append(buffer, got);
    return {child.wait(), out};
}

TEST_F(DriverPath, DrovaServesADeviceThroughTheDriver) {
    bench->ensure(kDevices);
    ASSERT_TRUE(bench->devices().point_at(2, bench->pipe("drova_exe")));
    char serial[16];
    std::snprintf(serial, sizeof serial, "0x%06X", static_cast<unsigned>(serial_at("drova_exe")));
    const std::string image = (std::filesystem::temp_directory_path() / "velkor-driver-image.bin").string();
    {
        std::ofstream file(image, std::ios::binary);
        for (int k = 0; k < 1500; ++k) file.put(static_cast<char>(k * 13));
    }
    const struct {
        std::vector<std::string> arguments;
        std::vector<const char *> said;
    } rows[] = {
        {{"list"}, {"Bench bench0", "Bench bench1", "Bench drova_exe", "root#vid_ffff&pid_ffff#000"}},
        {{"--serial", serial, "info"}, {"Bench drova_exe"}},
        {{"--serial", serial, "flash"}, {"App"}},
        {{"--yes", "--serial", serial, "erase", "2"}, {"sector 2 erased"}},
        {{"--yes", "--serial", serial, "download", image, "-t", "2"}, {}},
        {{"--serial", serial, "verify", image, "-t", "2"}, {"match"}},
        {{"--serial", serial, "start", std::to_string(kApp)}, {"application 81 started"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments.back());
        const ProgramRun result = run_drova(row.arguments);
        EXPECT_EQ(result.status, 0) << result.out;
        for (const char *part : row.said) EXPECT_NE(result.out.find(part), std::string::npos) << part << "\n" << result.out;
    }
    bench->ensure(kDevices);
}

// ---- Timing and cancel -----------------------------------------------------------

TEST_F(DriverPath, AnswersAreTakenWhenTheyComeAndTheLinkOutlivesSilence) {
    bench->ensure(kDevices);
    // A 2 s period lasts 400 ms: the late answer (150 ms) comes well within it,
    // and well after an export that looks its device up anew (20 to 50 ms).
    _Close();
    set_clock(std::make_shared<ScaledClock>(5.0, 1000));
    ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    constexpr auto kLate = std::chrono::milliseconds(kLateMs);
    const struct {
        const char *endpoint;
        std::vector<Event> first;   // the first read's events
        std::vector<Event> second;  // the next one's
        bool returned_before_answer;
    } rows[] = {
        // Misses the exchange's poll; the link's reading thread dispatches it.
        {"late", {{13, 0}}, {{13, 0}}, true},
        // Nothing comes: the period ends it, and the link serves the next command.
        {"silent", {{13, 1}}, {{13, 0}}, true},
        // Answered twice: the repeat answers no later command.
        {"twice", {{13, 0}}, {{13, 0}}, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.endpoint);
        ASSERT_TRUE(bench->devices().point_at(0, bench->pipe(row.endpoint)));
        search();
        events.clear();
        ASSERT_EQ(_Connect(static_cast<int>(serial_at(row.endpoint)), 0, 0), 0);
        ASSERT_EQ(outcome_of(VELKOR_EV_CONNECT), Event(9, 0));
        events.clear();
        const auto asked = std::chrono::steady_clock::now();
        ASSERT_EQ(_ReadInfo(), 0);
        const auto returned = std::chrono::steady_clock::now() - asked;
        const bool answered_at_return = !events.events().empty();
        outcome_of(VELKOR_EV_READINFO);
        EXPECT_EQ(events.events(), row.first);
        if (row.returned_before_answer) {
            EXPECT_FALSE(answered_at_return);
            EXPECT_LT(returned, kLate) << "the export waited for the device";
        }
        events.clear();
        run(VELKOR_EV_READINFO, [] { return _ReadInfo(); });
        EXPECT_EQ(events.events(), row.second);
        // The close cancels the read the link keeps pending; nothing hangs.
        const auto closing = std::chrono::steady_clock::now();
        run(VELKOR_EV_DISCONNECT, [] { return _Disconnect(); });
        EXPECT_LT(std::chrono::steady_clock::now() - closing, 2s);
        EXPECT_EQ(_IsConnected(), 0);
    }
    bench->ensure(kDevices);
}

// A host may ask from a thread that ends as soon as the export returns (drova
// does): the answer, which comes at about that moment, still reaches it. Into
// the staging area, which needs no erase.
TEST_F(DriverPath, AnAnswerOutlivesTheThreadThatAskedForIt) {
    bench->ensure(kDevices);
    search();
    events.clear();
    ASSERT_EQ(_Connect(static_cast<int>(serial_of(0)), 0, 0), 0);
    ASSERT_EQ(outcome_of(VELKOR_EV_CONNECT), Event(9, 0));
    run(VELKOR_EV_FLASHINFO, [] { return _FlashInfo(); });
    TBinList *list = _BinListCreate();
    std::vector<u8> data(100, 0x3C);
    BinBlock block{0x100, static_cast<u32>(data.size()), data.data()};
    ASSERT_EQ(_BinListAdd(list, &block), 0);
    // Lost in about one download of four before the reads had a thread of their own.
    constexpr int kDownloads = 20;
    int lost = 0;
    for (int download = 0; download < kDownloads; ++download) {
        events.clear();
        std::thread([list] { EXPECT_EQ(_Download(4, list), 0); }).join();
        if (outcome_of(VELKOR_EV_DOWNLOAD) != Event(3, 0)) ++lost;
    }
    _BinListFree(list);
    EXPECT_EQ(lost, 0) << "downloads whose answer was lost, of " << kDownloads;
    run(VELKOR_EV_DISCONNECT, [] { return _Disconnect(); });
}

// ---- Removal under an open handle ------------------------------------------------

// What a session shows when its connected device is pulled out: the command in
// flight fails, the link is declared lost, and the device is not found again.
TEST_F(DriverPath, ADevicePulledOutMidDownloadEndsWithALostLink) {
    bench->ensure(kDevices);
    ASSERT_TRUE(bench->devices().point_at(2, bench->pipe("pulled_download")));
    const std::string pulled_path = bench->devices().interface_path(2);
    std::vector<TDROVAInfo> found = search();
    const std::uint32_t serial = serial_at("pulled_download");
    ASSERT_EQ(found_path(found, serial), pulled_path);
    events.clear();
    ASSERT_EQ(_Connect(static_cast<int>(serial), 0, 0), 0);
    ASSERT_EQ(outcome_of(VELKOR_EV_CONNECT), Event(9, 0));
    run(VELKOR_EV_FLASHINFO, [] { return _FlashInfo(); });
    events.clear();

    // Pulled out once the second of six records is through.
    const auto data_blocks = std::make_shared<std::atomic<int>>(0);
    events.on_event([data_blocks](int a, int b) {
        if (a == VELKOR_EV_PRGDATA && b == 0) ++*data_blocks;
    });
    TBinList *list = _BinListCreate();
    std::vector<u8> data(1000, 0x5A);
    for (u32 record = 0; record < 6; ++record) {
        BinBlock block{record * 0x400, static_cast<u32>(data.size()), data.data()};
        ASSERT_EQ(_BinListAdd(list, &block), 0);
    }
    ASSERT_EQ(_Download(1, list), 0);
    for (int i = 0; i < 1000 && *data_blocks < 2; ++i) std::this_thread::sleep_for(2ms);
    ASSERT_GE(data_blocks->load(), 2);
    const auto pulled = std::chrono::steady_clock::now();
    ASSERT_TRUE(bench->devices().remove(2));
    // The driver ends the pending read: the link is lost at once, and the
    // step in flight and the download fail after it.
    ASSERT_TRUE(events.wait_for({VELKOR_EV_DOWNLOAD, 1}, 10s));
    events.on_event({});
    EXPECT_LT(std::chrono::steady_clock::now() - pulled, 1500ms) << "the loss waited for a period";
    EXPECT_EQ(count_of(VELKOR_EV_DOWNLOAD), 1u) << "no success after the failure";
    const std::vector<Event> all = events.events();
    ASSERT_GE(all.size(), 4u);
    const std::vector<Event> ending(all.end() - 4, all.end());
    EXPECT_EQ(ending[0], Event(VELKOR_EV_ERROR, VELKOR_ERR_LINK_LOST));
    EXPECT_EQ(ending[1], Event(VELKOR_EV_DISCONNECT, 0));
    EXPECT_EQ(ending[2].second, 1) << "the step in flight fails after the loss";
    EXPECT_EQ(ending[3], Event(VELKOR_EV_DOWNLOAD, 1));
    EXPECT_EQ(_IsConnected(), 0);
    _BinListFree(list);

    found = search();
    EXPECT_EQ(found.size(), static_cast<std::size_t>(kDevices - 1));
    for (const TDROVAInfo &entry : found) EXPECT_NE(path_of(entry), pulled_path);
    bench->ensure(kDevices);
}

TEST_F(DriverPath, ADevicePulledOutMidSearchIsNotListedAndHoldsNothingUp) {
    bench->ensure(kDevices);
    ASSERT_TRUE(bench->devices().point_at(2, bench->pipe("pulled_search")));
    const std::string pulled_path = bench->devices().interface_path(2);
    events.clear();
    // A search of 400 ms; the device would answer after 300 ms.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(_FindDROVAs(-1, 0, 2000), 0);
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(bench->devices().remove(2));
    ASSERT_EQ(outcome_of(VELKOR_EV_SEARCH), Event(12, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    std::vector<TDROVAInfo> found(10);
    found.resize(static_cast<std::size_t>(_GetFoundDevices(found.data(), 10)));
    EXPECT_EQ(found.size(), static_cast<std::size_t>(kDevices - 1));
    for (const TDROVAInfo &entry : found) EXPECT_NE(path_of(entry), pulled_path);
    found = search();
    EXPECT_EQ(found.size(), static_cast<std::size_t>(kDevices - 1));
    bench->ensure(kDevices);
}

// ---- drova-sim's faults -------------------------------------------------------------

// Each fault reaches the library through the driver exactly as over the pipe.
TEST_F(DriverPath, EveryFaultOfTheDeviceEndsAsOverThePipeTransport) {
    bench->ensure(kDevices);
    // A 2 s period lasts 100 ms: each row waits out a few.
    set_clock(std::make_shared<ScaledClock>(20.0, 1000));
    for (std::size_t index = 0; index < fault_rows().size(); ++index) {
        const FaultRow &row = fault_rows()[index];
        SCOPED_TRACE(row.kind);

        _Close();
        SetEnvironmentVariableA("VELKOR_USB_DIR", bench->pipe(fault_location(index, kByPipe)).c_str());
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
        const std::vector<Event> by_pipe = session(serial_at(fault_endpoint(index, kByPipe)), row.steps);
        _Close();
        SetEnvironmentVariableA("VELKOR_USB_DIR", nullptr);
        ASSERT_TRUE(bench->devices().point_at(0, bench->pipe(fault_endpoint(index, kByDriver))));
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
        const std::vector<Event> by_driver = session(serial_at(fault_endpoint(index, kByDriver)), row.steps);

        EXPECT_EQ(by_driver, by_pipe);
        const auto first_outcome = std::find_if(by_pipe.begin(), by_pipe.end(), [&row](const Event &event) {
            return event.first == row.outcome.first;
        });
        ASSERT_NE(first_outcome, by_pipe.end());
        EXPECT_EQ(*first_outcome, row.outcome);
    }
    bench->ensure(kDevices);
}

}  // namespace
}  // namespace velkor::driver_test

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    velkor::driver_test::bench = new velkor::driver_test::Bench;
    ::testing::AddGlobalTestEnvironment(velkor::driver_test::bench);
    return RUN_ALL_TESTS();
}
