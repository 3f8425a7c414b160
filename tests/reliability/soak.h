// A seeded fault-injection soak: random commands of every kind against two
// simulated devices, attached in-process, whose interfaces come and go, with
// random device faults, and the checks that must hold after every step. A
// failure names the seed and the step, so
// `VELKOR_SOAK_SEED=S VELKOR_SOAK_COMMANDS=N` replays it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "device_model.h"
#include "in_process_drova.h"
#include "support/event_recorder.h"

namespace velkor::testing {

struct SoakSettings {
    std::uint64_t seed = 1;
    std::uint64_t commands = 5000;
    double speedup = 500;  // session milliseconds per real millisecond

    // VELKOR_SOAK_SEED, VELKOR_SOAK_COMMANDS and VELKOR_SOAK_SPEEDUP override the defaults.
    static SoakSettings from_environment(SoakSettings defaults);
};

struct SoakFigures {
    std::uint64_t steps = 0;
    std::uint64_t accepted = 0;
    std::uint64_t refused = 0;
    std::uint64_t intrusions = 0;     // a second command tried while one was in flight
    std::uint64_t link_losses = 0;    // commands ended by (15,9) instead of their own event
    std::uint64_t time_outs = 0;      // (15,7) events
    std::uint64_t power_cycles = 0;   // re-plugs and power cycles that resolved a stale claim
    std::uint64_t table_refusals = 0;   // downloads refused for want of the connected device's flash table
    std::uint64_t areas_checked = 0;    // download address frames whose staging area was checked
    std::map<std::string, std::uint64_t> commands;    // by export
    std::map<std::string, std::uint64_t> faults;      // planted, by kind
    std::map<std::string, std::uint64_t> outcomes;    // "success" / "failure" of accepted commands
    std::map<std::string, std::uint64_t> interfaces;  // interface changes between commands, by kind
    std::map<std::string, std::uint64_t> series;      // repeated searches, by how they ended
    std::map<std::string, std::uint64_t> scripts;     // command sequences the walk was steered into
};

// Sees every frame the library writes to one simulated device and checks
// that it belongs to the command in flight (two commands in flight at once
// would put a frame of one on the wire while the other holds the session),
// and that it goes to a device this host holds.
class WireMonitor final : public usb::InProcessDevice {
public:
    // Open: a session runs. Closing: _Close is under way, only a search
    // query may still go out. Closed: no session, no frame at all.
    enum class Phase { open, closing, closed };

    WireMonitor(std::shared_ptr<sim::DeviceModel> model, std::string path)
        : device_(std::move(model)), path_(std::move(path)) {}

    void on_open() override { device_.on_open(); }
    void on_close() override { device_.on_close(); }
    bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<usb::Block> &answers) override;
    void take_later_blocks(std::vector<usb::LaterBlock> &later) override { device_.take_later_blocks(later); }

    // The interface path the device is listed under now.
    void set_path(std::string path);
    void set_phase(Phase phase);

    // The first frame that broke a rule, if any.
    std::optional<std::string> violation() const;
    // The staging area of every download address frame since the last call.
    std::vector<unsigned> take_download_areas();

private:
    void check_frame(const std::uint8_t *data);
    void note(const std::string &what);  // with lock_ held

    sim::InProcessDrova device_;
    mutable std::mutex lock_;
    std::string path_;
    Phase phase_ = Phase::open;
    std::optional<std::string> violation_;
    std::vector<unsigned> download_areas_;
};

// The host's list of a repeated search: counts its lines, and the lines that
// still arrive once _Close has returned.
struct ScanList {
    ScanList();
    TStrings strings{};
    std::atomic<unsigned> lines{0};
    std::atomic<unsigned> after_close{0};
    std::atomic<bool> closed{false};
};

class Soak {
public:
    Soak(SoakSettings settings, EventRecorder &events);
    ~Soak();
    Soak(const Soak &) = delete;
    Soak &operator=(const Soak &) = delete;

    // Runs the commands; empty when every check held, otherwise what failed,
    // with the seed and step.
    std::string run();
    const SoakFigures &figures() const { return figures_; }
    std::string report() const;

private:
    enum class Pick : int;
    struct Issued;
    struct Command;

    struct Device {
        std::array<std::string, 2> names;  // its own port, and the other one it may be plugged into
        int name = 0;                      // the one it is listed under
        bool attached = false;
        std::shared_ptr<sim::DeviceModel> model;
        std::shared_ptr<WireMonitor> monitor;
        unsigned stale_steps = 0;  // steps in a row claimed without a connection of ours to it
        const std::string &path() const { return names[static_cast<std::size_t>(name)]; }
    };
    // The connected-device record as the host reads it.
    struct Record {
        std::string path;
        std::uint32_t serial = 0;
    };
    // What the host knows of the flash table: whose it is, whether its
    // reading completed, and whether a planted fault may have bent it.
    struct FlashTable {
        bool complete = false;
        bool trusted = false;
        Record device;
    };
    struct Target {
        std::uint32_t serial = 0;
        int index = 0;
        std::string path;
    };

    void step();
    void series_step(bool disturbed);
    void finish_step(const std::vector<Issued> &issued, bool disturbed, bool fault, bool forgot_connection = false);
    Command choose();
    Command make_command(Pick pick, bool prefer_other = false);
    Command recovery();
    bool churn();
    void attach(Device &device, int name);
    void clear_stale_claims();
    std::optional<sim::FaultRule> plant_fault(const Command &command);
    Issued issue(const Command &command, bool primary);
    void intrude(std::vector<Issued> &issued);
    void wait_for_completion(const std::vector<Issued> &issued);
    void check_events(const std::vector<Issued> &issued, bool clean);
    void check_downloads(const std::vector<Issued> &issued);
    void check_connection(bool disturbed, const std::vector<Issued> &issued);
    void update_table(const std::vector<Issued> &issued, bool fault);
    void plan_follow_ups(const std::vector<Issued> &issued);
    void fail(const std::string &what);

    bool connected() const;
    bool idle() const;
    bool claimed_by_us(const Device &device) const;
    Record connect_record() const;
    Device *device_at(const std::string &path);
    int present_interfaces() const;
    bool findable() const;
    bool any_unplugged() const;
    std::optional<Target> found_target(bool prefer_other);

    SoakSettings settings_;
    EventRecorder &events_;
    std::mt19937_64 random_;
    std::array<Device, 2> devices_;
    ScanList scan_list_;
    SoakFigures figures_;
    std::uint64_t step_ = 0;
    std::string failure_;
    std::vector<Event> step_events_;
    bool desync_ = false;            // library and device disagree, and a fault explains it
    unsigned desync_steps_ = 0;
    unsigned clean_steps_ = 0;       // steps in a row without a planted fault
    bool held_before_ = false;       // the library held a connection when the step began
    FlashTable table_;
    std::string last_connected_path_;
    std::deque<Pick> plan_;          // commands the walk was steered into, next first
    std::string last_step_;          // for the failure message
    std::string previous_step_;
    int markers_ = 0;
};

}  // namespace velkor::testing
