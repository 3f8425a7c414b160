#include "harness.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "allocation_counter.h"
#include "session/session.h"

extern char **environ;

namespace velkor::bench {
namespace {

constexpr std::size_t kChunkData = 480;

struct EventState {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::pair<int, int>> pairs;
    std::size_t seen = 0;  // pairs before this index are consumed
} event_state;

void require(bool ok, const std::string &what) {
    if (!ok) throw std::runtime_error(what);
}

}  // namespace

Seconds thread_cpu_time() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return Seconds(static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9);
}

namespace {
// Starts both clocks; elapsed() reads them.
class Stopwatch {
public:
    Timing elapsed() const { return {std::chrono::steady_clock::now() - wall_, thread_cpu_time() - cpu_}; }

private:
    std::chrono::steady_clock::time_point wall_ = std::chrono::steady_clock::now();
    Seconds cpu_ = thread_cpu_time();
};
}  // namespace

Events events;

void VELKOR_CALL Events::callback(int a, int b) {
    std::lock_guard guard(event_state.lock);
    event_state.pairs.emplace_back(a, b);
    event_state.arrived.notify_all();
}

void Events::clear() {
    std::lock_guard guard(event_state.lock);
    event_state.pairs.clear();
    event_state.pairs.reserve(1 << 16);  // the log does not allocate while a download runs
    event_state.seen = 0;
}

int Events::wait_for(int a, std::chrono::milliseconds limit) {
    std::unique_lock guard(event_state.lock);
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (; event_state.seen < event_state.pairs.size(); ++event_state.seen)
            if (event_state.pairs[event_state.seen].first == a) return event_state.pairs[event_state.seen++].second;
        if (event_state.arrived.wait_until(guard, until) == std::cv_status::timeout) return -1;
    }
}

std::size_t Events::count() {
    std::lock_guard guard(event_state.lock);
    return event_state.pairs.size();
}

bool wait_idle(std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (Session::instance().command.state() != kIdle) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::yield();
    }
    return true;
}

std::size_t Blocks::bytes() const {
    std::size_t total = 0;
    for (const auto &block : data) total += block.size();
    return total;
}

std::size_t Blocks::chunks() const {
    std::size_t total = 0;
    for (const auto &block : data) total += (block.size() + 8 + kChunkData - 1) / kChunkData;  // header + data
    return total;
}

Blocks make_blocks(std::size_t count, std::size_t size, std::size_t gap) {
    Blocks blocks;
    std::uint32_t address = 0;
    std::uint8_t value = 1;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<std::uint8_t> block(size);
        for (auto &byte : block) byte = value++;
        blocks.data.push_back(std::move(block));
        blocks.addresses.push_back(address);
        address += static_cast<std::uint32_t>(size + gap);
    }
    return blocks;
}

DownloadTimes download(int target, const Blocks &blocks) {
    TBinList *list = _BinListCreate();
    for (std::size_t i = 0; i < blocks.data.size(); ++i) {
        BinBlock block{blocks.addresses[i], static_cast<u32>(blocks.data[i].size()),
                       const_cast<u8 *>(blocks.data[i].data())};
        require(_BinListAdd(list, &block) == 0, "_BinListAdd failed");
    }
    events.clear();
    const Stopwatch stopwatch;
    const int accepted = _Download(target, list);
    require(accepted == 0, "_Download refused");
    require(wait_idle(), "download never ended");
    const Timing ended = stopwatch.elapsed();
    require(events.wait_for(VELKOR_EV_DOWNLOAD) == 0, "download failed");
    const Seconds delivered = stopwatch.elapsed().wall;
    _BinListFree(list);
    return {ended, delivered};
}

void start_session() {
    events.clear();
    require(_Initialize(&Events::callback, nullptr, 0) == 0, "_Initialize failed");
}

void close_session() {
    if (_IsConnected() != 0) {
        events.clear();
        _Disconnect();
        events.wait_for(VELKOR_EV_DISCONNECT, std::chrono::seconds(5));
        wait_idle();
    }
    _Close();
}

void connect_and_read_sectors() {
    events.clear();
    _FindDROVAs(-1, 0, 20);
    const int found = events.wait_for(VELKOR_EV_SEARCH, std::chrono::seconds(10));
    require(found == 0, "no device found: " + std::to_string(found));
    require(wait_idle(), "search never ended");
    require(_Connect(static_cast<int>(bench_device_config().serial_word), 0, 0) == 0, "_Connect refused");
    require(events.wait_for(VELKOR_EV_CONNECT) == 0, "connect failed");
    require(wait_idle(), "connect never ended");
    require(_FlashInfo() == 0, "_FlashInfo refused");
    require(events.wait_for(VELKOR_EV_FLASHINFO) == 0, "flash information failed");
    require(wait_idle(), "flash information never ended");
}

void RecordingDevice::on_open() { drova_.on_open(); }
void RecordingDevice::on_close() { drova_.on_close(); }

bool RecordingDevice::on_host_block(const std::uint8_t *data, std::size_t size, std::vector<usb::Block> &answers) {
    DeviceAllocations device_side;
    const std::size_t before = answers.size();
    const bool present = drova_.on_host_block(data, size, answers);
    if (recording) {
        frames.emplace_back(data, data + size);
        this->answers.push_back(answers.size() - before);
    }
    return present;
}

Timing RecordingDevice::replay(const std::vector<Frame> &frames_to_send) {
    std::vector<usb::Block> answers;
    answers.reserve(8);
    const Stopwatch stopwatch;
    for (const auto &frame : frames_to_send) {
        answers.clear();
        require(drova_.on_host_block(frame.data(), frame.size(), answers), "device gone");
    }
    return stopwatch.elapsed();
}

sim::DeviceConfig bench_device_config() {
    sim::DeviceConfig config;
    config.sectors = 1;
    config.sector_size = 0x10000;
    config.staging_size = 32 << 20;
    return config;
}

DrovaSimProcess::DrovaSimProcess(const std::string &dir) : dir_(dir) {
    const auto config = bench_device_config();
    const std::string sectors = std::to_string(config.sectors);
    const std::string staging = std::to_string(config.staging_size);
    std::vector<std::string> args{VELKOR_DROVA_SIM, "--dir", dir, "--sectors", sectors, "--staging-size", staging};
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    require(posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) == 0, "cannot start drova-sim");
    for (int i = 0; i < 500 && access(endpoint().c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    require(access(endpoint().c_str(), F_OK) == 0, "drova-sim did not open " + endpoint());
}

DrovaSimProcess::~DrovaSimProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

BareSocket::BareSocket(const std::string &path) {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    require(fd_ >= 0, "socket failed");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    require(connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0, "cannot connect to " + path);
}

BareSocket::~BareSocket() {
    if (fd_ >= 0) close(fd_);
}

Timing BareSocket::replay(const std::vector<Frame> &frames_to_send, const std::vector<std::size_t> &answers) {
    std::uint8_t message[4096];
    const Stopwatch stopwatch;
    for (std::size_t i = 0; i < frames_to_send.size(); ++i) {
        const Frame &frame = frames_to_send[i];
        require(send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size()), "send failed");
        for (std::size_t answer = 0; answer < answers[i]; ++answer)
            require(recv(fd_, message, sizeof(message), 0) > 0, "device closed the connection");
    }
    return stopwatch.elapsed();
}

}  // namespace velkor::bench
