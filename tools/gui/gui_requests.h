// The bodies of drova gui's commands, checked before anything reaches the
// device: a body that is not a JSON object of exactly the expected fields
// and types is refused whole (400).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace drova::gui {

class BadRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ConnectRequest {
    std::string path;  // the interface path, as the device list gives it
};
struct ProgramRequest {
    unsigned target = 0;
    bool erase = false;
    bool start = false;
    bool next_device = false;
    std::optional<std::string> confirm;  // the confirmation text the user accepted
};
struct VerifyRequest {
    unsigned target = 0;
};
struct IdRequest {
    std::uint32_t id = 0;
    std::optional<std::string> confirm;
};
struct SerialRequest {
    std::uint32_t serial = 0;
    bool force_duplicate = false;
    std::optional<std::string> confirm;
};
struct NextDeviceRequest {
    bool enabled = false;
};

ConnectRequest parse_connect(const std::string &body);
ProgramRequest parse_program(const std::string &body);
VerifyRequest parse_verify(const std::string &body);
IdRequest parse_id(const std::string &body);
SerialRequest parse_serial(const std::string &body);
NextDeviceRequest parse_next_device(const std::string &body);
// A body that must be an empty object.
void parse_empty(const std::string &body);

}  // namespace drova::gui
