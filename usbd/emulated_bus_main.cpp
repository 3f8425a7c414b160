// emulated-drova-bus: simulated DROVA devices on a USB bus emulated by
// umockdev, for running drova-usbd itself (or any libusb program) without
// hardware. It plugs the devices in, runs the program given after "--" with
// the bus, and ends with the program's status. Run it under umockdev-wrapper,
// which also preloads the emulation into the program it starts:
//
//   umockdev-wrapper emulated-drova-bus --devices 2 -- drova-usbd --device 1d50:61f0 -d /tmp/velkor-usb
#include <CLI/CLI.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_arguments.h"
#include "emulated_usb.h"
#include "sim_config.h"

extern char **environ;

namespace {

using namespace velkor;

std::vector<sim::ServedDevice> devices(unsigned count, const std::string &config_file) {
    if (config_file.empty()) {
        std::vector<sim::ServedDevice> served(count);
        for (std::size_t k = 0; k < served.size(); ++k) served[k].device.serial_word = sim::default_serial(k);
        return served;
    }
    std::ifstream in(config_file, std::ios::binary);
    if (!in) throw sim::ConfigError("cannot read " + config_file);
    std::stringstream text;
    text << in.rdbuf();
    return sim::parse_config(text.str()).devices;
}

}  // namespace

int main(int argc, char **argv) {
    int split = 1;
    while (split < argc && std::string(argv[split]) != "--") ++split;
    unsigned count = 1;
    std::string config_file;
    CLI::App app{"emulated-drova-bus: simulated DROVA devices (USB 1d50:61f0) on a USB bus emulated by umockdev,\n"
                 "for running drova-usbd without hardware; runs PROGRAM with the bus and ends with its status.\n"
                 "Usage: umockdev-wrapper emulated-drova-bus [OPTIONS] -- PROGRAM [ARGS...]",
                 "emulated-drova-bus"};
    app.add_option("-n,--devices", count, "how many devices to plug in (default 1)")->check(CLI::Range(1u, 9u));
    app.add_option("-c,--config", config_file, "a drova-sim JSON file describing the devices instead");
    if (const auto status = sim::parse_daemon_arguments(app, split, argv)) return *status;
    if (split + 1 >= argc) {
        std::cerr << "emulated-drova-bus: give the program to run after --\n";
        return sim::kExitBadArguments;
    }
    if (!usbd::EmulatedUsb::available()) {
        std::cerr << "emulated-drova-bus: run it under umockdev-wrapper (apt-get install umockdev)\n";
        return sim::kExitBadArguments;
    }
    std::vector<sim::ServedDevice> served;
    try {
        served = devices(count, config_file);
    } catch (const sim::ConfigError &e) {
        std::cerr << "emulated-drova-bus: " << e.what() << "\n";
        return sim::kExitBadArguments;
    }

    // The program's end and the stop signals are waited for below, by every thread.
    sigset_t waited;
    sigemptyset(&waited);
    for (const int signal_number : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&waited, signal_number);
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);

    usbd::EmulatedUsb bus;
    char id[16];
    std::snprintf(id, sizeof id, "%04x:%04x", usbd::EmulatedUsb::kVendor, usbd::EmulatedUsb::kProduct);
    for (std::size_t k = 0; k < served.size(); ++k) {
        auto model = std::make_shared<sim::DeviceModel>(served[k].device);
        for (const auto &rule : served[k].faults) model->add_fault(rule);
        bus.plug(static_cast<unsigned>(k + 1), model);
        std::cout << "emulated-drova-bus: " << id << " in port " << k + 1 << " of bus 1" << std::endl;
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[split + 1], nullptr, &attributes, argv + split + 1, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        std::cerr << "emulated-drova-bus: cannot run " << argv[split + 1] << ": " << std::strerror(spawned) << "\n";
        return 1;
    }
    for (;;) {
        int signal_number = 0;
        sigwait(&waited, &signal_number);
        if (signal_number != SIGCHLD) {
            kill(child, signal_number);
            continue;
        }
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}
