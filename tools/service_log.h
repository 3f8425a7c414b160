// The service log: one JSON line per change drova gui made to a device
// (when, which device, which area, which image with its SHA-256, and how it
// ended), appended to a file that outlives drova, and read back by drova log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace drova {

struct ServiceRecord {
    std::string device;       // serial number, text form
    std::string device_line;  // name, serial, interface
    std::string change;       // "program", "write serial number", "automatic start"
    std::optional<unsigned> area;
    std::string image;        // file name
    std::string sha256;       // of the file as chosen
    std::string outcome;      // "ok", "failed", "stopped"
    std::string text;         // the outcome in words
};

// Where the log is kept unless --service-log says otherwise. One
// implementation per OS (service_log_place_posix.cpp, ..._win32.cpp).
std::filesystem::path default_service_log();

// "2026-12-09T22:10:03Z".
std::string utc_time_text();

class ServiceLog {
public:
    explicit ServiceLog(std::filesystem::path path) : path_(std::move(path)) {}
    const std::filesystem::path &path() const { return path_; }
    // Appends the record with the time; returns the line written. Throws
    // std::runtime_error when the file cannot be written.
    nlohmann::json append(const ServiceRecord &record) const;
    // The last `most` records, oldest first; lines that are not JSON are
    // skipped and counted in `unreadable`.
    std::vector<nlohmann::json> read(std::size_t most, std::size_t *unreadable = nullptr) const;

private:
    std::filesystem::path path_;
};

// One record in a line, as drova log prints it.
std::string service_line(const nlohmann::json &record);

}  // namespace drova
