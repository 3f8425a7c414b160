// drova's subcommands, each a function of the runtime (library, simulator,
// console) and its own arguments, already checked. Each returns normally on
// success and throws Failure otherwise.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "confirmation.h"
#include "console.h"
#include "device_session.h"
#include "flash_table.h"
#include "image_file.h"
#include "library_loader.h"
#include "simulator.h"
#include "velkor_api.h"

namespace drova {

struct GlobalOptions {
    int verbosity = 0;
    std::optional<std::string> library;      // path of the library to load
    bool sim = false;                        // attach the simulated device
    std::optional<std::string> sim_config;   // its JSON description
    std::optional<std::string> sim_program;  // the drova-sim executable
    bool yes = false;                        // change devices without asking
    Selection selection;
};

// What a command runs against: the simulated device when asked for (it must
// start before the library looks for devices), then the loaded library.
class Runtime {
public:
    Runtime(const GlobalOptions &options, Console &console, bool simulate);
    const VelkorApi &api() const { return *api_; }
    Console &console() { return console_; }
    const Selection &selection() const { return options_.selection; }
    const std::string &library_location() const { return library_location_; }
    // Asked before a command changes the device; a simulated one never is.
    const ConfirmationPolicy &confirmation() const { return confirmation_; }

private:
    const GlobalOptions &options_;
    Console &console_;
    ConfirmationPolicy confirmation_;
    std::optional<Simulator> simulator_;
    std::optional<SharedLibrary> library_;
    std::optional<VelkorApi> api_;
    std::string library_location_;
};

// Every line the library's hint text has, as drova info shows them.
inline constexpr int kAllHintLines = VELKOR_HINT_NAME | VELKOR_HINT_SERIAL_NUMBER | VELKOR_HINT_HW_VERSION |
                                     VELKOR_HINT_FOS_IFC_VERSION | VELKOR_HINT_AUTOSTART | VELKOR_HINT_ETHERNET |
                                     VELKOR_HINT_UDP_IP | VELKOR_HINT_CONFIGURED_BY | VELKOR_HINT_FIRMWARE_APPS |
                                     VELKOR_HINT_FLASH_SECTORS;
// One device as --json describes it; device text with its bytes escaped.
nlohmann::ordered_json device_json(const DeviceSession &session, const TDROVAInfo &device);
// What a search block's status says: "held by this host", ...
std::string status_text(std::uint32_t status);

// Loads the library as Runtime does; for the version banner.
std::string library_banner(const GlobalOptions &options);

void list_devices(Runtime &runtime, bool json);
void show_info(Runtime &runtime, bool json);
void show_flash(Runtime &runtime, bool json);
// Checks `saved` (a table read from a file), or without it the connected device's table.
void check_flash(Runtime &runtime, bool json, std::optional<FlashTable> saved);
void erase_sector(Runtime &runtime, unsigned sector);
struct DownloadRequest {
    std::string file;  // as given, for messages
    unsigned target = 0;
    bool erase_first = false;
};
// Downloads after checking the image against the device's flash table.
void download_file(Runtime &runtime, Image image, const DownloadRequest &request, bool json);
// Checksums each record of the image where a download into the target put it.
void verify_file(Runtime &runtime, const Image &image, const DownloadRequest &request, bool json);
void start_application(Runtime &runtime, std::uint32_t id);
void set_autostart(Runtime &runtime, std::uint32_t id);
void reset_device(Runtime &runtime);
void write_serial(Runtime &runtime, std::uint32_t serial, bool force_duplicate);
void keep_alive(Runtime &runtime, unsigned every_ms, unsigned count);
void scan(Runtime &runtime, unsigned count, bool json);
void demo(Runtime &runtime);
// Runs a program with VELKOR_USB_DIR pointing at a simulated device; its exit status.
int with_simulator(const GlobalOptions &options, Console &console, const std::string &program,
                   const std::vector<std::string> &arguments);

}  // namespace drova
