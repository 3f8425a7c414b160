// The configuration of a drova-sim run: which devices it serves, where, and
// how each one is set up, read from JSON (see sim/README.md) or built from
// command-line flags.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device_model.h"
#include "faults.h"

namespace velkor::sim {

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ServedDevice {
    std::string endpoint;  // socket file name / pipe name suffix
    DeviceConfig device;
    std::vector<FaultRule> faults;
};

struct SimConfig {
    std::string dir;                       // empty: the platform's default
    std::optional<std::string> state_dir;  // keep each device's flash here
    std::vector<ServedDevice> devices;
};

// The endpoint name and serial number a device gets when none is given.
std::string default_endpoint(std::size_t index);
std::uint32_t default_serial(std::size_t index);

// Throw ConfigError with the offending key in the message.
SimConfig parse_config(const std::string &json_text);
// "KIND[@OPCODE][,skip=N][,times=N][,amount=N][,frame=N]", e.g. "no_answer@query,times=2".
FaultRule parse_fault_text(const std::string &text);
// A number (decimal or 0x...) or the KV text form.
std::uint32_t parse_serial(const std::string &text);

}  // namespace velkor::sim
