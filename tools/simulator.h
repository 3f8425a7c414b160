// The simulated device that `--sim` attaches: the drova-sim daemon, started
// as a child process serving at a location of its own, with VELKOR_USB_DIR
// pointing the loaded library there. The library then reaches the device
// through the same socket (POSIX) or named-pipe (Windows) transport as any
// device in another process, and ships without simulator code.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os_services.h"

namespace drova {

class Simulator {
public:
    struct Options {
        std::filesystem::path program;        // the drova-sim executable
        std::optional<std::string> config;    // its JSON device description
        int verbosity = 0;                    // 1: its own lines, 2: every frame
        std::function<void(const std::string &)> log;  // where its lines go
    };

    // Starts the daemon and waits until it serves. Throws ProcessError with
    // the reason when it cannot start or ends before it serves.
    explicit Simulator(Options options);
    // Stops the daemon, removes its endpoints and restores VELKOR_USB_DIR.
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // The value VELKOR_USB_DIR has while the simulator runs.
    const std::string &location() const { return location_.value(); }
    // What it reported serving, one line per device.
    const std::vector<std::string> &serving() const { return serving_; }

    // drova-sim beside the running program.
    static std::filesystem::path default_program();

private:
    void read_output();

    Options options_;
    ScratchLocation location_;
    std::optional<std::string> previous_location_;  // VELKOR_USB_DIR before
    std::optional<ChildProcess> child_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> serving_;
    bool ready_ = false;
    bool ended_ = false;
};

}  // namespace drova
