// A seeded fault-injection soak: random commands of every kind against the
// simulated device, attached in-process, with random device faults, and the
// checks that must hold after every step. A failure names the seed and the
// step, so `VELKOR_SOAK_SEED=S VELKOR_SOAK_COMMANDS=N` replays it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

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
    std::map<std::string, std::uint64_t> commands;  // by export
    std::map<std::string, std::uint64_t> faults;    // planted, by kind
    std::map<std::string, std::uint64_t> outcomes;  // "success" / "failure" of accepted commands
};

// Sees every frame the library writes to the simulated device and checks that
// it belongs to the command in flight: two commands in flight at once would
// put a frame of one on the wire while the other holds the session.
class WireMonitor final : public usb::InProcessDevice {
public:
    explicit WireMonitor(std::shared_ptr<sim::DeviceModel> model) : device_(std::move(model)) {}

    void on_open() override { device_.on_open(); }
    void on_close() override { device_.on_close(); }
    bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<usb::Block> &answers) override;

    // The first frame that went out for a command not in flight, if any.
    std::optional<std::string> violation() const;

private:
    sim::InProcessDrova device_;
    mutable std::mutex lock_;
    std::optional<std::string> violation_;
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
    struct Issued;
    struct Command;

    void step();
    Command choose();
    Command choose_any();
    Command recovery();
    std::optional<sim::FaultRule> plant_fault(const Command &command);
    Issued issue(const Command &command);
    bool expect_accepted(const Command &command) const;
    void intrude(std::vector<Issued> &issued);
    void wait_for_completion(const std::vector<Issued> &issued);
    void check_events(const std::vector<Issued> &issued, bool clean);
    void check_connection(bool fault_planted, const std::vector<Issued> &issued);
    void fail(const std::string &what);

    bool connected() const;
    bool idle() const;
    bool claimed_by_us() const;
    std::optional<std::uint32_t> found_serial() const;
    unsigned known_sectors() const;

    SoakSettings settings_;
    EventRecorder &events_;
    std::mt19937_64 random_;
    std::shared_ptr<sim::DeviceModel> model_;
    std::shared_ptr<WireMonitor> monitor_;
    SoakFigures figures_;
    std::uint64_t step_ = 0;
    std::string failure_;
    std::vector<Event> step_events_;
    bool desync_ = false;            // library and device disagree, and a fault explains it
    unsigned desync_steps_ = 0;
    unsigned clean_steps_ = 0;       // steps in a row without a planted fault
    std::string last_step_;          // for the failure message
    std::string previous_step_;
    int markers_ = 0;
};

}  // namespace velkor::testing
