// drova-usbd: serves DROVA devices on this machine's USB ports to hosts as
// endpoints of the socket transport. See usbd/README.md.
#include <CLI/CLI.hpp>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include "bridge.h"
#include "daemon_arguments.h"
#include "endpoint.h"
#include "option_docs.h"
#include "start_checks.h"

namespace {

using namespace velkor::usbd;

using velkor::sim::kExitBadArguments;
constexpr int kExitFailure = 1;
constexpr char kDefaultConfig[] = "/etc/velkor/usbd.json";
constexpr char kUsbDevices[] = "/dev/bus/usb";  // where libusb opens the devices' nodes
constexpr char kExitCodes[] =
    "Exit status:\n"
    "  0 stopped by SIGTERM or SIGINT (every endpoint removed)\n"
    "  1 libusb cannot start or watch for devices\n"
    "  2 bad arguments or configuration, or no device configured\n";

struct Options {
    std::vector<std::string> devices;
    std::string config_file;
    std::string dir;
    std::optional<unsigned> gap_ms;
    int verbosity = 0;
};

// The configuration file named, or the default one when it exists.
UsbdConfig load_config(const Options &options, bool config_named) {
    UsbdConfig config;
    const std::string file = config_named ? options.config_file : kDefaultConfig;
    if (config_named || std::filesystem::exists(file)) {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw ConfigError("cannot read " + file);
        std::stringstream text;
        text << in.rdbuf();
        try {
            config = parse_usbd_config(text.str());
        } catch (const ConfigError &e) {
            throw ConfigError(file + ": " + e.what());
        }
    }
    for (const auto &device : options.devices) config.devices.push_back(parse_device_argument(device));
    if (!options.dir.empty()) config.dir = options.dir;
    if (options.gap_ms) config.gap_ms = options.gap_ms;
    return config;
}

std::string device_dir(const UsbdConfig &config) {
    if (config.dir) return *config.dir;
    const char *from_environment = std::getenv("VELKOR_USB_DIR");
    return from_environment != nullptr && *from_environment != '\0' ? from_environment
                                                                   : velkor::sim::default_endpoint_dir();
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    CLI::App app{"drova-usbd: serve DROVA devices on USB ports to hosts as endpoints of the socket transport.",
                 "drova-usbd"};
    app.footer(kExitCodes);
    app.set_version_flag("--version", "drova-usbd " DROVA_USBD_VERSION, "print the version, then exit");
    app.add_option("--device", options.devices,
                   "a device to serve, VID:PID[:INTERFACE] (hexadecimal ids, interface number); repeatable");
    auto *config = app.add_option("-c,--config", options.config_file,
                                  std::string("JSON file listing the devices (default ") + kDefaultConfig +
                                      " when it exists; see usbd/README.md)");
    app.add_option("-d,--dir", options.dir,
                   "device directory, where each device gets the socket usb-<bus>-<port path> (hosts find it with "
                   "VELKOR_USB_DIR set to it; default $VELKOR_USB_DIR, else /run/velkor/usb)");
    app.add_option("--gap-ms", options.gap_ms,
                   "ignored: answers go to the host as the device sends them (kept for existing command lines)")
        ->check(CLI::Range(0u, 60000u));
    app.add_flag("-v,--verbose", options.verbosity, "log every frame (twice: with bytes)");
    // Hidden: the build writes the man page with it.
    std::optional<std::string> generate;
    app.add_option("--generate", generate)->group("")->check(CLI::IsMember({"man"}));
    if (const auto status = velkor::sim::parse_daemon_arguments(app, argc, argv)) return *status;
    if (generate) {
        drova::write_option_docs(app, *generate, DROVA_USBD_VERSION, std::cout);
        return 0;
    }

    UsbdConfig usbd_config;
    try {
        usbd_config = load_config(options, config->count() > 0);
    } catch (const ConfigError &e) {
        std::cerr << "drova-usbd: " << e.what() << "\n";
        return kExitBadArguments;
    }
    // Older configurations and unit files still name the gap: they keep working.
    if (usbd_config.gap_ms)
        std::cerr << "drova-usbd: warning: gap_ms / --gap-ms ignored: the bridge no longer waits for gaps, each answer "
                     "goes to the host as the device sends it\n";
    if (usbd_config.devices.empty()) {
        std::cerr << "drova-usbd: no device configured: give --device VID:PID or list the devices in " << kDefaultConfig
                  << "\n";
        return kExitBadArguments;
    }

    // Every thread leaves SIGINT and SIGTERM to the wait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::mutex output_mutex;
    BridgeSettings settings;
    settings.dir = device_dir(usbd_config);
    settings.devices = usbd_config.devices;
    settings.serve.verbosity = options.verbosity;
    const LogLine log = [&output_mutex](const std::string &line) {
        std::lock_guard lock(output_mutex);
        std::cout << "drova-usbd: " << line << std::endl;
    };
    settings.serve.log = log;
    log(watch_line(settings.devices, settings.dir));
    for (const auto &warning : start_warnings(kUsbDevices, settings.dir)) {
        std::lock_guard lock(output_mutex);
        std::cerr << "drova-usbd: warning: " << warning << std::endl;
    }
    try {
        Bridge bridge(std::move(settings));
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
    } catch (const std::exception &e) {
        std::cerr << "drova-usbd: " << e.what() << "\n";
        return kExitFailure;
    }
    std::cout << "drova-usbd: stopped" << std::endl;
    return 0;
}
