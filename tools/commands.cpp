#include "commands.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "change_texts.h"
#include "confirmation.h"
#include "download_preflight.h"
#include "download_run.h"
#include "exit_codes.h"
#include "flash_reading.h"
#include "flash_table.h"
#include "interface_listing.h"
#include "interrupt.h"
#include "os_services.h"
#include "printable_text.h"
#include "record_verify.h"
#include "required_exports.h"
#include "sample_image.h"

namespace drova {
namespace {

using std::chrono::milliseconds;

constexpr int kFlashTable = VELKOR_HINT_FLASH_SECTORS | VELKOR_HINT_FIRMWARE_APPS | VELKOR_HINT_INDENT;

std::string indented(const std::string &text) {
    std::string result;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) result += "  " + line + "\n";
    return result;
}

// Beside drova (the build tree, and Windows installs), then where an install
// puts libraries, then wherever the OS finds it. Looked for here rather than
// through a run path, which a sanitizer's dlopen does not apply.
std::string library_path(const GlobalOptions &options) {
    if (options.library) return *options.library;
    const auto here = executable_path().parent_path();
    for (const auto &candidate : {here / SharedLibrary::default_name(),
                                  here / DROVA_LIBDIR_FROM_BINDIR / SharedLibrary::default_name()}) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate.string();
    }
    return SharedLibrary::default_name();
}

Failure load_failure(const LoadError &error) {
    return Failure(exit_code::kLibrary, std::string("cannot load the library: ") + error.what());
}

Simulator::Options simulator_options(const GlobalOptions &options, Console &console) {
    Simulator::Options sim;
    sim.program = options.sim_program ? std::filesystem::path(*options.sim_program) : Simulator::default_program();
    sim.config = options.sim_config;
    sim.verbosity = options.verbosity;
    sim.log = [&console](const std::string &line) { console.note("  sim| " + line); };
    return sim;
}


void heading(Console &console, const std::string &title) { console.line("\n== " + title); }

// A download on the command line: progress lines, stopped by Ctrl-C.
DownloadControl console_download(Console &console) {
    return {interrupted, [&console](const DownloadStatus &status, bool final) {
                console.progress(progress_line(status), final);
            }};
}

// A document as --json prints it. A file name is the bytes the system gave,
// which need not be UTF-8: such bytes become U+FFFD, so that the outcome of
// what was done is printed whatever the name.
std::string json_text(const nlohmann::ordered_json &document) {
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// The image as --json reports it.
nlohmann::ordered_json image_json(const Image &image, const std::string &file) {
    nlohmann::ordered_json document{{"file", file},
                                    {"format", image_format_name(image.format)},
                                    {"fileRecords", image.file_records},
                                    {"blocks", image.blocks.size()},
                                    {"bytes", image.data_bytes()},
                                    {"firstAddress", image.blocks.front().address},
                                    {"lastAddress", image.blocks.back().end() - 1},
                                    {"gaps", image.blocks.size() - 1}};
    if (!image.format_warning.empty()) document["formatWarning"] = image.format_warning;
    return document;
}


// Connects to the selected device and reads its flash table.
FlashTable connected_table(Runtime &runtime, DeviceSession &session, bool announce = true) {
    session.connect(runtime.selection(), announce);
    return current_table(session);
}

// Lines that the library adds to a host string list, from its own thread.
class LineQueue {
public:
    TStrings strings() { return TStrings{this, &clear, &add}; }

    std::optional<std::string> next(std::chrono::steady_clock::time_point until) {
        std::unique_lock lock(mutex_);
        while (lines_.empty()) {
            if (interrupted() || std::chrono::steady_clock::now() >= until) return std::nullopt;
            arrived_.wait_for(lock, milliseconds(50));
        }
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        return line;
    }

private:
    // The list is cleared once when the series starts, before any line.
    static void VELKOR_CALL clear(void *) {}
    static void VELKOR_CALL add(void *context, const char *line) {
        auto *queue = static_cast<LineQueue *>(context);
        {
            std::lock_guard lock(queue->mutex_);
            queue->lines_.emplace_back(line != nullptr ? line : "");
        }
        queue->arrived_.notify_one();
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> lines_;
};

// A change goes ahead only on a device that was chosen, once confirmed.
void approve_change(Runtime &runtime, const DeviceSession &session, const std::string &change) {
    session.require_chosen_device(change);
    confirm(runtime.console(), runtime.confirmation(), change);
}

}  // namespace

Runtime::Runtime(const GlobalOptions &options, Console &console, bool simulate)
    : options_(options), console_(console), confirmation_{options.yes, simulate} {
    if (simulate) {
        try {
            simulator_.emplace(simulator_options(options, console));
        } catch (const ProcessError &error) {
            throw Failure(exit_code::kSimulator, std::string("cannot start the simulated device: ") + error.what());
        }
        console.detail("simulated device at " + simulator_->location());
    }
    try {
        library_.emplace(library_path(options));
    } catch (const LoadError &error) {
        throw load_failure(error);
    }
    api_.emplace(*library_);
    library_location_ = library_->location();
    console.detail("library: " + library_location_);
}

std::string library_banner(const GlobalOptions &options) {
    try {
        const SharedLibrary library(library_path(options));
        const VelkorApi api(library);
        std::string banner = "library: " + library.location();
        if (api._GetCompatibleFOSVersions != nullptr)
            banner += " (PC-FOS interface " + version_text(api._GetCompatibleFOSVersions()) + ")";
        if (!api.missing().empty()) {
            banner += "\n  lacks:";
            for (const auto &name : api.missing()) banner += " " + name;
        }
        return banner;
    } catch (const LoadError &error) {
        return std::string("library: ") + load_failure(error).what();
    }
}

nlohmann::ordered_json device_json(const DeviceSession &session, const TDROVAInfo &device) {
    return {{"serial", device.serialNumber},
            {"serialText", session.serial_text(device.serialNumber)},
            {"name", printable_text(field_text(device.deviceName))},
            {"hardwareVersion", version_text(device.hwVersion)},
            {"fosInterfaceVersion", version_text(device.fosIfcVersion)},
            {"status", device.status},
            {"autostartApplication", device.autostartAppId},
            {"interface", printable_text(field_text(device.devicePath))}};
}

std::string status_text(std::uint32_t status) {
    switch (status) {
    case 2: return "FOS interface not compatible";
    case 3: return "held by this host";
    default: return "status " + std::to_string(status);
    }
}

// Every interface present, numbered as --index counts them: a device that
// does not answer keeps its place, so that no other moves up into it.
void list_devices(Runtime &runtime, bool json) {
    DeviceSession session(runtime.api(), runtime.console());
    Console &console = runtime.console();
    std::optional<Failure> none_answered;
    try {
        session.search(runtime.selection().search_unit_ms);
    } catch (const Failure &failure) {
        if (failure.exit_code() != exit_code::kNoDevice) throw;
        none_answered = failure;
    }
    const auto found = none_answered ? std::vector<TDROVAInfo>{} : session.found_devices();
    const auto listed = list_interfaces(found);
    if (json) {
        auto list = nlohmann::ordered_json::array();
        for (std::size_t index = 0; index < listed.size(); ++index) {
            nlohmann::ordered_json entry{{"index", index}, {"answered", listed[index].found_index.has_value()}};
            if (listed[index].found_index) entry.update(device_json(session, found[*listed[index].found_index]));
            else entry["interface"] = printable_text(listed[index].path);
            list.push_back(std::move(entry));
        }
        console.line(json_text(list));
        return;
    }
    for (std::size_t index = 0; index < listed.size(); ++index) {
        if (!listed[index].found_index) {
            console.line(std::to_string(index) + ": no answer to the search " + kSilentInterface);
        } else {
            const TDROVAInfo &entry = found[*listed[index].found_index];
            console.line(std::to_string(index) + ": " + session.serial_text(entry.serialNumber) + "  " +
                         printable_text(field_text(entry.deviceName)) + "  hardware " +
                         version_text(entry.hwVersion) + "  FOS interface " + version_text(entry.fosIfcVersion) +
                         "  " + status_text(entry.status));
        }
        console.line("   " + printable_text(listed[index].path));
    }
    if (none_answered) throw *none_answered;
}

void show_info(Runtime &runtime, bool json) {
    const VelkorApi &api = runtime.api();
    require(api, {"_ReadInfo", "_FlashInfo", "_GetHintAboutDROVA", "_GetFlashSectors"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection(), !json);
    session.run("read information", VELKOR_EV_READINFO, [&] { return api._ReadInfo(); });
    read_flash_table(session);
    if (json) {
        auto document = device_json(session, *api._GetConnectInfo());
        document["flashTable"] = nlohmann::ordered_json::parse(table_json(fetched_table(session)));
        runtime.console().line(json_text(document));
        return;
    }
    runtime.console().print(printable_text(session.hint(kAllHintLines | VELKOR_HINT_INDENT, api._GetConnectInfo()), true));
    runtime.console().line("");
}

void show_flash(Runtime &runtime, bool json) {
    const VelkorApi &api = runtime.api();
    require(api, {"_FlashInfo", "_GetFlashSectors", "_GetHintAboutDROVA"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection(), !json);
    read_flash_table(session);
    const FlashTable table = fetched_table(session);
    if (json) {
        runtime.console().print(table_json(table));
        return;
    }
    runtime.console().print(printable_text(session.hint(kFlashTable, api._GetConnectInfo()), true));
    runtime.console().print(table_text(table));
}

void check_flash(Runtime &runtime, bool json, std::optional<FlashTable> saved) {
    const VelkorApi &api = runtime.api();
    require(api, {"_ConsistencyCheck"});
    FlashTable table;
    if (saved) {
        table = std::move(*saved);
    } else {
        require(api, {"_FlashInfo", "_GetFlashSectors"});
        DeviceSession session(api, runtime.console());
        table = connected_table(runtime, session, !json);
    }
    const auto verdicts = check_table(table, api._ConsistencyCheck);
    runtime.console().print(json ? verdicts_json(table, verdicts) : verdicts_text(table, verdicts));
    const std::size_t marked = marked_count(verdicts);
    if (marked > 0)
        throw Failure(exit_code::kInconsistent, "check: the consistency check marked " + std::to_string(marked) +
                                                    " of " + std::to_string(verdicts.size()) + " entries");
}

void erase_sector(Runtime &runtime, unsigned sector) {
    const VelkorApi &api = runtime.api();
    require(api, {"_Erase", "_FlashInfo", "_GetFlashSectors"});
    DeviceSession session(api, runtime.console());
    const FlashTable table = connected_table(runtime, session);
    if (sector >= table.sectors.size())
        throw Failure(exit_code::kWontFit, "sector " + std::to_string(sector) + " does not exist: the device has " +
                                               (table.sectors.empty() ? std::string("no sectors")
                                                                      : "sectors 0 to " +
                                                                            std::to_string(table.sectors.size() - 1)) +
                                               "; nothing was erased");
    approve_change(runtime, session, erase_change(table, sector));
    session.run("erase sector " + std::to_string(sector), VELKOR_EV_ERASE,
                [&] { return api._Erase(static_cast<u8>(sector)); }, DeviceSession::kLongCommandQuiet);
    runtime.console().line("sector " + std::to_string(sector) + " erased");
}

void download_file(Runtime &runtime, Image image, const DownloadRequest &request, bool json) {
    const VelkorApi &api = runtime.api();
    require(api, {"_FlashInfo", "_GetFlashSectors", "_Erase", "_BinListCreate", "_BinListAdd", "_BinListFree",
                  "_Download", "_StopDownload"});
    Console &console = runtime.console();
    const unsigned target = request.target;
    DeviceSession session(api, console);
    const FlashTable table = connected_table(runtime, session, !json);
    // Everything below the table is checked before a frame of the download goes out.
    for (const auto &note : preflight_download(table, image, target, request.erase_first)) console.status(note);
    const std::string into = area_name(table, target);
    console.status(image_summary(image, into));
    approve_change(runtime, session, download_change(table, target, request.erase_first));
    if (request.erase_first)
        session.run("erase sector " + std::to_string(target), VELKOR_EV_ERASE,
                    [&] { return api._Erase(static_cast<u8>(target)); }, DeviceSession::kLongCommandQuiet);
    const DownloadSummary done =
        download_blocks(session, image.blocks, target, static_cast<unsigned>(table.sectors.size()), console_download(console));
    if (!json) {
        console.line(done.verdict);
        return;
    }
    nlohmann::ordered_json document = image_json(image, request.file);
    document["target"] = target;
    document["stagingArea"] = target == table.sectors.size();
    document["erased"] = request.erase_first;
    document["records"] = done.records;
    document["recordBytes"] = done.bytes;
    document["checksumsMatched"] = {{"staging", done.staging_checks}, {"target", done.target_checks}};
    document["seconds"] = done.seconds;
    console.line(json_text(document));
}

void verify_file(Runtime &runtime, const Image &image, const DownloadRequest &request, bool json) {
    const VelkorApi &api = runtime.api();
    require(api, {"_FlashInfo", "_GetFlashSectors", "_CheckSum"});
    Console &console = runtime.console();
    const unsigned target = request.target;
    DeviceSession session(api, console);
    const FlashTable table = connected_table(runtime, session, !json);
    require_area(table, target, "nothing was checked");
    const auto checks = check_records(session, image, target);
    auto results = nlohmann::ordered_json::array();
    std::size_t differing = 0;
    for (std::size_t k = 0; k < checks.size(); ++k) {
        const StreamRecord &record = checks[k].record;
        const bool matches = checks[k].matches;
        if (!matches) ++differing;
        if (json) {
            results.push_back({{"record", k + 1}, {"offset", record.offset}, {"length", record.length},
                               {"address", record.block ? nlohmann::ordered_json(record.block->address) : nullptr},
                               {"matches", matches}});
        } else if (!matches || console.verbosity() >= 1) {
            console.line(record_name(k, checks.size()) + " (" + record_extent(record) +
                         "): " + (matches ? "matches" : "differs in " + area_name(table, target)));
        }
    }
    if (json) {
        nlohmann::ordered_json document = image_json(image, request.file);
        document["target"] = target;
        document["records"] = results;
        document["differing"] = differing;
        console.line(json_text(document));
    } else if (differing == 0) {
        console.line("verify: all " + std::to_string(checks.size()) + " records match in " + area_name(table, target));
    }
    if (differing > 0)
        throw Failure(exit_code::kOperationFailed + VELKOR_EV_CHECKSUM,
                      "verify: " + std::to_string(differing) + " of " + std::to_string(checks.size()) +
                          " records differ in " + area_name(table, target));
}

void start_application(Runtime &runtime, std::uint32_t id) {
    const VelkorApi &api = runtime.api();
    require(api, {"_StartApp", "_IsSupportedFwFeature"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    session.run("start application " + std::to_string(id), VELKOR_EV_STARTAPP, [&] { return api._StartApp(id); });
    runtime.console().line("application " + std::to_string(id) + " started; firmware features: " + feature_list(api));
    // Application 10 ends the connection; show that before leaving.
    session.settle(milliseconds(300));
}

void set_autostart(Runtime &runtime, std::uint32_t id) {
    const VelkorApi &api = runtime.api();
    require(api, {"_AutoStart"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    const bool clears = id == kNoApplication;
    approve_change(runtime, session, autostart_change(session, id));
    session.run("automatic start", VELKOR_EV_AUTOSTART, [&] { return api._AutoStart(id); });
    runtime.console().line(clears ? "automatic start cleared: the device starts no application by itself"
                                  : "application " + std::to_string(id) + " starts automatically");
}

void reset_device(Runtime &runtime) {
    const VelkorApi &api = runtime.api();
    require(api, {"_Reset"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    session.run("reset", VELKOR_EV_DISCONNECT, [&] { return api._Reset(); });
    runtime.console().line("device reset; the connection has ended");
}

void write_serial(Runtime &runtime, std::uint32_t serial, bool force_duplicate) {
    const VelkorApi &api = runtime.api();
    require(api, {"_Wrsn", "_ReadInfo"});
    Console &console = runtime.console();
    DeviceSession session(api, console);
    session.connect(runtime.selection());
    for (const auto &warning : check_new_serial(session, serial, force_duplicate))
        console.note("drova: warning: " + warning);
    approve_change(runtime, session, write_serial_change(session, serial));
    session.run("write serial number", VELKOR_EV_WRSN, [&] { return api._Wrsn(serial); });
    session.run("read information", VELKOR_EV_READINFO, [&] { return api._ReadInfo(); });
    console.line("serial number written; the device now reports " +
                 session.serial_label(api._GetConnectInfo()->serialNumber & 0xFFFFFF));
}

void keep_alive(Runtime &runtime, unsigned every_ms, unsigned count) {
    const VelkorApi &api = runtime.api();
    require(api, {"_CommRefresh"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    unsigned refused = 0;
    for (unsigned n = 1; count == 0 || n <= count; ++n) {
        if (interrupted()) break;
        // A keep-alive that is answered posts nothing; the connection ending is what a failure looks like.
        const bool sent = api._CommRefresh() == 0;
        std::optional<int> reason;
        session.watch(milliseconds(every_ms), [&](const Event &event) {
            if (event.a == VELKOR_EV_ERROR) reason = event.b;
        });
        const std::string which = "keep-alive " + std::to_string(n);
        if (!session.connected())
            throw Failure(exit_code::kOperationFailed + VELKOR_EV_DISCONNECT,
                          which + ": connection lost: " + api.error_text(reason.value_or(VELKOR_ERR_LINK_LOST)));
        if (!sent) ++refused;
        runtime.console().line(which + (sent ? ": connected" : ": refused: " + api.error_text(reason.value_or(VELKOR_ERR_BUSY))));
    }
    if (refused > 0)
        throw Failure(exit_code::kRefused + VELKOR_ERR_BUSY,
                      "keepalive: " + std::to_string(refused) + " keep-alives were refused (see above)");
}

void scan(Runtime &runtime, unsigned count, bool json) {
    const VelkorApi &api = runtime.api();
    require(api, {"_StartNetworkScanning", "_StopNetworkScanning"});
    DeviceSession session(api, runtime.console());
    LineQueue lines;
    TStrings strings = lines.strings();
    // 1 may only mean that no interface is present; the series runs anyway.
    api._StartNetworkScanning(&strings);
    // Each search of the series lasts about 10 ms; give up when that many
    // searches found nothing.
    const auto until = std::chrono::steady_clock::now() + milliseconds(2000 + 100 * count);
    unsigned received = 0;
    auto searches = nlohmann::ordered_json::array();
    while (received < count) {
        const auto line = lines.next(until);
        if (!line) break;
        ++received;
        if (json) searches.push_back(printable_text(*line));
        else runtime.console().line(printable_text(*line));
    }
    // A stop that lands while the library moves on to the next search of the
    // series can be lost; asking again ends the series at the next search.
    for (int attempt = 1;; ++attempt) {
        api._StopNetworkScanning();
        try {
            session.await_outcome("scan", VELKOR_EV_SEARCH, milliseconds(500));
            break;
        } catch (const Failure &failure) {
            if (failure.exit_code() != exit_code::kSilent || attempt == 20) throw;
        }
    }
    if (json) runtime.console().line(json_text(searches));
    if (interrupted()) throw Failure(exit_code::kInterrupted, "scan: interrupted");
    if (received == 0) throw Failure(exit_code::kNoDevice, "scan: no search found a device");
}

void demo(Runtime &runtime) {
    const VelkorApi &api = runtime.api();
    require(api, {"_ReadInfo", "_FlashInfo", "_Erase", "_AppInfo", "_HasCompatibleFWVersion", "_StartApp",
                  "_IsSupportedFwFeature"});
    Console &console = runtime.console();
    console.set_show_events(true);
    const auto began = std::chrono::steady_clock::now();
    const SampleApplication application;
    const unsigned sector = 0;

    DeviceSession session(api, console);
    heading(console, "1. search and connect");
    session.connect(runtime.selection());

    heading(console, "2. describe the device");
    session.run("read information", VELKOR_EV_READINFO, [&] { return api._ReadInfo(); });
    console.print(indented(session.hint(VELKOR_HINT_NAME | VELKOR_HINT_SERIAL_NUMBER | VELKOR_HINT_HW_VERSION |
                                            VELKOR_HINT_FOS_IFC_VERSION | VELKOR_HINT_INDENT,
                                        api._GetConnectInfo())));

    heading(console, "3. flash sector table");
    read_flash_table(session);
    console.print(indented(printable_text(session.hint(kFlashTable, api._GetConnectInfo()), true)));
    const FlashTable table = fetched_table(session);
    const auto holding = static_cast<std::size_t>(
        std::count_if(table.sectors.begin(), table.sectors.end(), [](const InfoBlock &b) { return !is_empty_sector(b); }));
    if (holding > 0 && !runtime.confirmation().simulated && !runtime.confirmation().assume_yes)
        throw Failure(exit_code::kNotConfirmed,
                      "demo: " + table.device + " holds " + std::to_string(holding) +
                          " firmware entries and the demo erases sector " + std::to_string(sector) +
                          "; nothing was changed. Run the demo on the simulated device (without --real), or add "
                          "--yes to use this device");
    approve_change(runtime, session, "demo: erase sector 0 of " + table.device + " and download into it");

    heading(console, "4. erase sector " + std::to_string(sector));
    session.run("erase sector 0", VELKOR_EV_ERASE, [&] { return api._Erase(sector); }, DeviceSession::kLongCommandQuiet);

    heading(console, "5. download \"" + application.name + "\" (id " + std::to_string(application.id) + ", " +
                         std::to_string(VELKOR_INFO_BLOCK_SIZE + application.payload_bytes) + " bytes) into sector " +
                         std::to_string(sector));
    std::vector<Segment> blocks{{0, make_sample_application(application)}};
    download_blocks(session, blocks, sector, static_cast<unsigned>(table.sectors.size()), console_download(console));

    heading(console, "6. verify");
    read_flash_table(session);
    if (api._HasCompatibleFWVersion(application.fw_version, application.id) != 1)
        throw Failure(exit_code::kOperationFailed + VELKOR_EV_FLASHINFO,
                      "verify failed: the flash table does not list application " + std::to_string(application.id) +
                          " in version " + version_text(application.fw_version));
    console.line("the flash table lists application " + std::to_string(application.id) + " in version " +
                 version_text(application.fw_version));
    session.run("application information " + std::to_string(application.id), VELKOR_EV_APPINFO,
                [&] { return api._AppInfo(application.id); });

    heading(console, "7. list it");
    console.print(indented(session.hint(kFlashTable, api._GetConnectInfo())));

    heading(console, "8. start it");
    session.run("start application " + std::to_string(application.id), VELKOR_EV_STARTAPP,
                [&] { return api._StartApp(application.id); });
    console.line("application " + std::to_string(application.id) + " runs; firmware features: " + feature_list(api));

    heading(console, "9. disconnect");
    session.disconnect();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    char done[80];
    std::snprintf(done, sizeof done, "\ndemo finished in %.1f s", seconds);
    console.line(done);
}

int with_simulator(const GlobalOptions &options, Console &console, const std::string &program,
                   const std::vector<std::string> &arguments) {
    try {
        const Simulator simulator(simulator_options(options, console));
        console.detail("simulated device at " + simulator.location());
        ChildProcess child(program, arguments, false, false);
        return child.wait();
    } catch (const ProcessError &error) {
        throw Failure(exit_code::kSimulator, error.what());
    }
}

}  // namespace drova
