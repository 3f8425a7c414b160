// What the benchmarks share: the host callback's event log, a session driven
// through the exports, the simulated device behind a recording wrapper, the
// drova-sim daemon in a child process and a bare client of its socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "device_model.h"
#include "in_process_drova.h"

namespace velkor::bench {

using Frame = std::vector<std::uint8_t>;
using Seconds = std::chrono::duration<double>;

// CPU time the calling thread has used.
Seconds thread_cpu_time();

// One run: the time that passed, and the CPU time of the thread that ran it.
// An in-process download runs wholly on the caller's thread, so its CPU time
// is its cost without the time other processes took the core away.
struct Timing {
    Seconds wall;
    Seconds cpu;
};

// Event pairs as the host callback receives them, with their arrival time.
class Events {
public:
    static void VELKOR_CALL callback(int a, int b);
    void clear();
    // Waits for the next pair with this `a` after the last clear(); its `b`, or -1.
    int wait_for(int a, std::chrono::milliseconds limit = std::chrono::seconds(600));
    std::size_t count();
};
extern Events events;

// Waits until no command is in flight, spinning so the measured end is exact.
bool wait_idle(std::chrono::seconds limit = std::chrono::seconds(600));

// A data set for _Download: its blocks and the bytes they hold.
struct Blocks {
    std::vector<std::vector<std::uint8_t>> data;
    std::vector<std::uint32_t> addresses;
    std::size_t bytes() const;
    std::size_t chunks() const;  // 480-byte data frames the download sends
};
// `count` blocks of `size` bytes; `gap` bytes between them (0: contiguous).
Blocks make_blocks(std::size_t count, std::size_t size, std::size_t gap);

struct DownloadTimes {
    Timing ended;       // from the call to the end of the command
    Seconds delivered;  // from the call to the host receiving its outcome (3,0)
};
// Runs _Download(target, blocks) to its end. Throws when it does not succeed.
DownloadTimes download(int target, const Blocks &blocks);

// Searches, connects to the one device and reads its flash table.
void connect_and_read_sectors();
void start_session();
void close_session();

// The simulated device, attached in-process, recording the frames written to
// it while `recording` is set. Its allocations are not counted as the library's.
class RecordingDevice final : public usb::InProcessDevice {
public:
    explicit RecordingDevice(std::shared_ptr<sim::DeviceModel> model) : drova_(std::move(model)) {}
    void on_open() override;
    void on_close() override;
    bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<usb::Block> &answers) override;
    void take_later_blocks(std::vector<usb::LaterBlock> &later) override { drova_.take_later_blocks(later); }

    // Writes the frames straight to the device, as the library's link would; the time taken.
    Timing replay(const std::vector<Frame> &frames);

    bool recording = false;
    std::vector<Frame> frames;
    std::vector<std::size_t> answers;  // how many blocks the device answered each recorded frame with

private:
    sim::InProcessDrova drova_;
};

// The device configuration every benchmark uses: one sector, a staging area
// that holds a 16 MiB download with its record headers.
sim::DeviceConfig bench_device_config();
constexpr int kStagingArea = 1;

// drova-sim serving one device in a child process; stopped when destroyed.
class DrovaSimProcess {
public:
    explicit DrovaSimProcess(const std::string &dir);
    ~DrovaSimProcess();
    DrovaSimProcess(const DrovaSimProcess &) = delete;
    DrovaSimProcess &operator=(const DrovaSimProcess &) = delete;
    std::string endpoint() const { return dir_ + "/drova00"; }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// A bare SOCK_SEQPACKET client of one device endpoint.
class BareSocket {
public:
    explicit BareSocket(const std::string &path);
    ~BareSocket();
    BareSocket(const BareSocket &) = delete;
    BareSocket &operator=(const BareSocket &) = delete;
    // Sends each frame and reads as many messages as the device answered it
    // with when it was recorded.
    Timing replay(const std::vector<Frame> &frames, const std::vector<std::size_t> &answers);

private:
    int fd_ = -1;
};

}  // namespace velkor::bench
