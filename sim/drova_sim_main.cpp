// drova-sim: serves simulated DROVA devices to hosts in other processes, each
// device on its own socket (POSIX) or named pipe (Windows). See sim/README.md.
#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "daemon_arguments.h"
#include "device_server.h"
#include "endpoint.h"
#include "model/serial_number_text.h"
#include "sim_config.h"

namespace {

using namespace velkor::sim;

// A configuration that cannot be served exits as bad arguments do.
constexpr int kExitFailure = 1;

std::mutex output_mutex;

struct Options {
    std::string config_file;
    std::string dir;
    std::string state_dir;
    unsigned devices = 1;
    unsigned sectors = 8;
    std::uint32_t sector_size = 0x10000;
    std::uint32_t staging_size = 0x10000;
    std::string serial;
    std::string name;
    std::uint32_t claim_timeout_ms = kDefaultClaimTimeoutMs;
    std::vector<std::string> faults;
    int verbosity = 0;
};

SimConfig config_from_flags(const Options &options) {
    SimConfig config;
    std::vector<FaultRule> faults;
    for (const auto &fault : options.faults) faults.push_back(parse_fault_text(fault));
    const std::uint32_t first_serial = options.serial.empty() ? default_serial(0) : parse_serial(options.serial);
    for (unsigned i = 0; i < options.devices; ++i) {
        ServedDevice served;
        served.endpoint = default_endpoint(i);
        DeviceConfig &d = served.device;
        if (!options.name.empty()) d.name = options.name;
        d.serial_word = first_serial + i;
        d.sectors = options.sectors;
        d.sector_size = options.sector_size;
        d.staging_size = options.staging_size;
        d.claim_timeout_ms = options.claim_timeout_ms;
        if (auto problem = check_config(d); !problem.empty()) throw ConfigError(problem);
        served.faults = faults;
        config.devices.push_back(std::move(served));
    }
    return config;
}

SimConfig load_config(const Options &options) {
    SimConfig config;
    if (!options.config_file.empty()) {
        std::ifstream in(options.config_file, std::ios::binary);
        if (!in) throw ConfigError("cannot read " + options.config_file);
        std::stringstream text;
        text << in.rdbuf();
        try {
            config = parse_config(text.str());
        } catch (const ConfigError &e) {
            throw ConfigError(options.config_file + ": " + e.what());
        }
    } else {
        config = config_from_flags(options);
    }
    if (!options.dir.empty()) config.dir = options.dir;
    if (config.dir.empty()) config.dir = default_endpoint_dir();
    if (!options.state_dir.empty()) config.state_dir = options.state_dir;
    return config;
}

// One served device: its model, endpoint and state file.
struct Station {
    ServedDevice served;
    std::unique_ptr<DeviceModel> model;
    std::unique_ptr<Endpoint> endpoint;
    std::filesystem::path state_file;
    std::uint64_t saved_generation = 0;
    ServeHooks hooks;

    void save_if_changed() {
        if (state_file.empty() || model->persistent_generation() == saved_generation) return;
        saved_generation = model->persistent_generation();
        const auto temporary = std::filesystem::path(state_file).concat(".tmp");
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            model->save_state(out);
            if (!out.flush()) {
                std::lock_guard lock(output_mutex);
                std::cerr << "drova-sim: cannot write " << temporary.string() << "\n";
                return;
            }
        }
        std::error_code error;
        std::filesystem::rename(temporary, state_file, error);
        if (error) {
            std::lock_guard lock(output_mutex);
            std::cerr << "drova-sim: cannot replace " << state_file.string() << ": " << error.message() << "\n";
        }
    }
};

Station make_station(ServedDevice served, const SimConfig &config, int verbosity) {
    Station station;
    station.model = std::make_unique<DeviceModel>(served.device);
    for (const auto &rule : served.faults) station.model->add_fault(rule);
    if (config.state_dir) {
        std::error_code error;
        std::filesystem::create_directories(*config.state_dir, error);
        if (error) throw ConfigError("cannot create state directory " + *config.state_dir + ": " + error.message());
        station.state_file = std::filesystem::path(*config.state_dir) / (served.endpoint + ".state");
        if (std::filesystem::exists(station.state_file)) {
            std::ifstream in(station.state_file, std::ios::binary);
            try {
                station.model->load_state(in);
            } catch (const std::runtime_error &e) {
                throw ConfigError(station.state_file.string() + ": " + e.what());
            }
        }
        station.saved_generation = station.model->persistent_generation();
    }
    station.model->set_log_limit(0);
    if (verbosity > 0) {
        // Frames are logged by the server as they pass the endpoint, with their host.
        station.model->set_log_sink([name = served.endpoint](const LogEntry &entry) {
            if (entry.kind != LogEntry::Kind::note) return;
            std::lock_guard lock(output_mutex);
            std::cout << "[" << name << "] " << describe(entry) << std::endl;
        });
        station.hooks.log = [name = served.endpoint, hex = verbosity > 1](Endpoint::Host host, const LogEntry &entry) {
            std::lock_guard lock(output_mutex);
            std::cout << "[" << name << " #" << host << "] " << describe(entry, hex) << std::endl;
        };
    }
    station.served = std::move(served);
    return station;
}

// As drova shows a serial number: its text form with the number in brackets,
// or the number alone when it has no text form. The device reports a word of
// which the low 24 bits are the serial number.
std::string serial_shown(std::uint32_t serial_word) {
    const std::uint32_t serial = serial_word & 0xFFFFFF;
    char number[16];
    std::snprintf(number, sizeof number, "0x%06X", static_cast<unsigned>(serial));
    const auto text = velkor::serial_number_text(serial);
    return text ? *text + " (" + number + ")" : number;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    CLI::App app{"drova-sim: simulated DROVA devices for hosts in other processes.\n"
                 "Each device listens on its own endpoint: a SOCK_SEQPACKET socket in --dir (POSIX)\n"
                 "or the named pipe \\\\.\\pipe\\<--dir><name> (Windows). Point the host library at it\n"
                 "with VELKOR_USB_DIR set to the same value.",
                 "drova-sim"};
    app.add_option("-c,--config", options.config_file, "JSON file describing the devices (see sim/README.md)")
        ->check(CLI::ExistingFile);
    app.add_option("-d,--dir", options.dir,
                   "socket directory (POSIX) or pipe name prefix (Windows); default " + default_endpoint_dir());
    app.add_option("--state", options.state_dir, "keep each device's flash in <dir>/<name>.state across restarts");
    auto *devices = app.add_option("-n,--devices", options.devices, "number of devices (drova00, drova01, ...)")
                        ->check(CLI::Range(1u, 99u));
    auto *sectors = app.add_option("--sectors", options.sectors, "flash sectors per device")->check(CLI::Range(0u, 255u));
    auto *sector_size = app.add_option("--sector-size", options.sector_size, "bytes per flash sector");
    auto *staging_size = app.add_option("--staging-size", options.staging_size, "bytes of the staging area");
    auto *serial = app.add_option("--serial", options.serial,
                                  "serial number of the first device, a number or its text (KV47D00291); "
                                  "the next devices count up from it");
    auto *name = app.add_option("--name", options.name, "device name reported by every device");
    auto *claim = app.add_option("--claim-timeout", options.claim_timeout_ms,
                                 "ms without a frame from the host that holds a device after which its claim lapses (0: never; "
                                 "default 30000)");
    auto *faults = app.add_option("--fault", options.faults,
                                  "fault for every device, KIND[@OPCODE][,skip=N][,times=N][,amount=N][,frame=N]; "
                                  "repeatable (e.g. no_answer@query,times=2)");
    for (auto *flag : {devices, sectors, sector_size, staging_size, serial, name, claim, faults})
        flag->excludes(app.get_option("--config"));
    app.add_flag("-v,--verbose", options.verbosity, "log every frame (twice: with bytes)");
    app.set_version_flag("--version", "drova-sim " DROVA_SIM_VERSION, "print the version, then exit");

    if (const auto status = parse_daemon_arguments(app, argc, argv)) return *status;

    std::vector<Station> stations;
    SimConfig config;
    try {
        config = load_config(options);
        for (auto &served : config.devices) stations.push_back(make_station(std::move(served), config, options.verbosity));
    } catch (const std::exception &e) {
        std::cerr << "drova-sim: " << e.what() << "\n";
        return kExitBadArguments;
    }

    try {
        install_stop_handlers();
        for (auto &station : stations) station.endpoint = open_endpoint(config.dir, station.served.endpoint);
    } catch (const std::exception &e) {
        std::cerr << "drova-sim: " << e.what() << "\n";
        return kExitFailure;
    }

    {
        // Composed before the output lock: a device's log sink takes that lock
        // while holding the device's own, so the two are never taken the other way.
        std::ostringstream serving;
        for (const auto &station : stations) {
            const DeviceConfig &d = station.served.device;
            serving << "drova-sim: serving " << station.endpoint->address() << " (serial "
                    << serial_shown(station.model->serial_word()) << ", " << d.sectors << " sectors of "
                    << d.sector_size << " bytes)\n";
        }
        std::lock_guard lock(output_mutex);
        std::cout << serving.str() << std::flush;
    }

    std::atomic<bool> failed = false;
    std::vector<std::thread> threads;
    for (auto &station : stations)
        threads.emplace_back([&station, &failed] {
            station.hooks.after_exchange = [&station] { station.save_if_changed(); };
            serve_device(*station.endpoint, *station.model, station.hooks);
            if (!stop_requested()) {
                std::lock_guard lock(output_mutex);
                std::cerr << "drova-sim: " << station.endpoint->address() << " stopped serving\n";
                failed = true;
                request_stop();
            }
        });
    for (auto &thread : threads) thread.join();
    for (auto &station : stations) {
        station.save_if_changed();
        station.endpoint.reset();
    }
    std::cout << "drova-sim: stopped" << std::endl;
    return failed ? kExitFailure : 0;
}
