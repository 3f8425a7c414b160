#include "commands.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "exit_codes.h"
#include "flash_table.h"
#include "interrupt.h"
#include "os_services.h"
#include "sample_image.h"

namespace drova {
namespace {

using std::chrono::milliseconds;

constexpr int kAllHintLines = VELKOR_HINT_NAME | VELKOR_HINT_SERIAL_NUMBER | VELKOR_HINT_HW_VERSION |
                              VELKOR_HINT_FOS_IFC_VERSION | VELKOR_HINT_AUTOSTART | VELKOR_HINT_ETHERNET |
                              VELKOR_HINT_UDP_IP | VELKOR_HINT_CONFIGURED_BY | VELKOR_HINT_FIRMWARE_APPS |
                              VELKOR_HINT_FLASH_SECTORS;
constexpr int kFlashTable = VELKOR_HINT_FLASH_SECTORS | VELKOR_HINT_FIRMWARE_APPS | VELKOR_HINT_INDENT;
// Firmware features are numbered 0 to 18.
constexpr int kFeatureCount = 19;

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

void require(const VelkorApi &api, std::initializer_list<const char *> names) {
    try {
        api.require(names);
    } catch (const LoadError &error) {
        throw Failure(exit_code::kLibrary, error.what());
    }
}

void heading(Console &console, const std::string &title) { console.line("\n== " + title); }

// A host block list built through the library's helpers, freed on every path.
class BlockList {
public:
    BlockList(const VelkorApi &api, std::vector<Segment> &blocks) : api_(api), list_(api._BinListCreate()) {
        if (list_ == nullptr) throw Failure(exit_code::kInternal, "the library could not create a block list");
        for (auto &block : blocks) {
            const BinBlock item{block.address, static_cast<u32>(block.data.size()), block.data.data()};
            if (api_._BinListAdd(list_, &item) != 0)
                throw Failure(exit_code::kInternal, "the library could not take a block of " +
                                                        std::to_string(block.data.size()) + " bytes");
        }
    }
    ~BlockList() { api_._BinListFree(list_); }
    BlockList(const BlockList &) = delete;
    BlockList &operator=(const BlockList &) = delete;
    TBinList *get() const { return list_; }

private:
    const VelkorApi &api_;
    TBinList *list_;
};

// Follows a download's events: which record is under way, how many bytes the
// device holds, which checksums matched, and which step failed.
class DownloadProgress {
public:
    DownloadProgress(Console &console, std::vector<std::size_t> records)
        : console_(console), records_(std::move(records)) {
        for (const auto size : records_) total_ += size;
    }

    void operator()(const Event &event) {
        switch (event.a) {
        case VELKOR_EV_ADDRESS:
            if (event.b == 0) ++started_;
            break;
        case VELKOR_EV_PRGDATA:
            if (event.b == 0 && started_ > 0 && started_ <= records_.size()) {
                sent_ += records_[started_ - 1];
                report(false);
            }
            break;
        case VELKOR_EV_PROGRAM:
            programmed_ = event.b == 0;
            break;
        case VELKOR_EV_CHECKSUM:
            if (event.b == 0) ++(programmed_ ? target_checks_ : staging_checks_);
            if (programmed_ && event.b == 0) programmed_ = false;
            break;
        default: break;
        }
        if (event.b != 0 && event.a != VELKOR_EV_ERROR && event.a != VELKOR_EV_DOWNLOAD && !failed_step_) {
            failed_step_ = event.a;
            failed_in_target_ = programmed_ || event.a == VELKOR_EV_PROGRAM;
        }
    }

    void report(bool final) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        char line[160];
        std::snprintf(line, sizeof line, "download: %zu / %zu bytes (%3.0f%%), %.1f KiB/s", sent_, total_,
                      total_ > 0 ? 100.0 * static_cast<double>(sent_) / static_cast<double>(total_) : 100.0,
                      seconds > 0 ? static_cast<double>(sent_) / 1024.0 / seconds : 0.0);
        console_.progress(line, final);
    }

    std::string verdict(unsigned target) const {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        char line[300];
        std::snprintf(line, sizeof line,
                      "download finished: %zu records, %zu bytes in %.2f s; checksums matched: %zu in the staging "
                      "area, %zu in area %u",
                      records_.size(), total_, seconds, staging_checks_, target_checks_, target);
        return line;
    }

    // Rephrases the library's failure with the record and step it stopped at.
    Failure failure(const Failure &failure, unsigned target) const {
        if (!failed_step_) return failure;
        static const char *const steps[] = {"address", "", "checksum", "", "", "data", "program"};
        const int step = *failed_step_;
        std::string where = (step >= 0 && step <= 6 && *steps[step]) ? steps[step] : "step";
        if (step == VELKOR_EV_CHECKSUM) where += failed_in_target_ ? " in area " + std::to_string(target) : " in the staging area";
        const std::size_t record = started_ == 0 ? 1 : started_ + (step == VELKOR_EV_ADDRESS ? 1 : 0);
        std::string reason = failure.what();
        reason = reason.substr(reason.find(':') + 1);
        return Failure(exit_code::kOperationFailed + step, "download failed at record " + std::to_string(record) +
                                                               " of " + std::to_string(records_.size()) + " (" +
                                                               where + "):" + reason);
    }

private:
    Console &console_;
    std::vector<std::size_t> records_;
    std::size_t total_ = 0;
    std::size_t started_ = 0;  // records whose address step succeeded
    std::size_t sent_ = 0;
    std::size_t staging_checks_ = 0;
    std::size_t target_checks_ = 0;
    bool programmed_ = false;  // the next checksum is the one in the target area
    std::optional<int> failed_step_;
    bool failed_in_target_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Downloads the blocks into area `target`. The flash sector table must have
// been read: its sector count numbers the staging area.
void download_blocks(DeviceSession &session, std::vector<Segment> &blocks, unsigned target) {
    const VelkorApi &api = session.api();
    require(api, {"_BinListCreate", "_BinListAdd", "_BinListFree", "_Download"});
    // One record per block (8 header bytes before the data), and an end
    // record except for area 1.
    constexpr std::size_t kRecordHeader = 8;
    std::vector<std::size_t> records;
    for (const auto &block : blocks) records.push_back(block.data.size() + kRecordHeader);
    if (target != 1) records.push_back(kRecordHeader);

    BlockList list(api, blocks);
    DownloadProgress progress(session.console(), records);
    try {
        session.run("download", VELKOR_EV_DOWNLOAD,
                    [&] { return api._Download(static_cast<int>(target), list.get()); },
                    DeviceSession::kLongCommandQuiet, [&](const Event &event) { progress(event); });
    } catch (const Failure &failure) {
        if (failure.exit_code() == exit_code::kRefusedSilently)
            throw Failure(failure.exit_code(), "download refused by the library: no flash sector table, or no blocks");
        throw progress.failure(failure, target);
    }
    progress.report(true);
    session.console().line(progress.verdict(target));
}

void read_flash_table(DeviceSession &session) {
    require(session.api(), {"_FlashInfo"});
    session.run("flash information", VELKOR_EV_FLASHINFO, [&] { return session.api()._FlashInfo(); });
}

// The table that _FlashInfo read, block for block as the device sent it.
FlashTable fetched_table(DeviceSession &session) {
    const VelkorApi &api = session.api();
    require(api, {"_GetFlashSectors"});
    FlashTable table;
    table.device = session.device_line(*api._GetConnectInfo());
    const int count = api._GetFlashSectors(nullptr, 0);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max(count, 0)) * VELKOR_INFO_BLOCK_SIZE);
    // No command runs between the two calls, so the count holds; never read past what was copied.
    const int copied = std::min(count, api._GetFlashSectors(bytes.data(), count));
    for (int k = 0; k < copied; ++k) {
        InfoBlock &block = table.sectors.emplace_back();
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(k) * VELKOR_INFO_BLOCK_SIZE;
        std::copy_n(from, block.size(), block.begin());
    }
    return table;
}

std::string feature_list(const VelkorApi &api) {
    std::string list;
    for (int feature = 0; feature < kFeatureCount; ++feature)
        if (api._IsSupportedFwFeature(feature) == 1) list += (list.empty() ? "" : " ") + std::to_string(feature);
    return list.empty() ? "none" : list;
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

}  // namespace

Runtime::Runtime(const GlobalOptions &options, Console &console, bool simulate) : options_(options), console_(console) {
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

std::string status_text(std::uint32_t status) {
    switch (status) {
    case 2: return "FOS interface not compatible";
    case 3: return "held by this host";
    default: return "status " + std::to_string(status);
    }
}

void list_devices(Runtime &runtime, bool json) {
    DeviceSession session(runtime.api(), runtime.console());
    Console &console = runtime.console();
    try {
        session.search(runtime.selection().search_unit_ms);
    } catch (const Failure &failure) {
        if (failure.exit_code() != exit_code::kNoDevice || !json) throw;
        console.line("[]");
        return;
    }
    const auto found = session.found_devices();
    if (json) {
        auto list = nlohmann::ordered_json::array();
        for (std::size_t index = 0; index < found.size(); ++index) {
            const TDROVAInfo &entry = found[index];
            list.push_back({{"index", index},
                            {"serial", entry.serialNumber},
                            {"serialText", session.serial_text(entry.serialNumber)},
                            {"name", field_text(entry.deviceName)},
                            {"hardwareVersion", version_text(entry.hwVersion)},
                            {"fosInterfaceVersion", version_text(entry.fosIfcVersion)},
                            {"status", entry.status},
                            {"autostartApplication", entry.autostartAppId},
                            {"interface", field_text(entry.devicePath)}});
        }
        // Names and paths come from the device: never let a stray byte stop the listing.
        console.line(list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
        return;
    }
    for (std::size_t index = 0; index < found.size(); ++index) {
        const TDROVAInfo &entry = found[index];
        console.line(std::to_string(index) + ": " + session.serial_text(entry.serialNumber) + "  " +
                     field_text(entry.deviceName) + "  hardware " + version_text(entry.hwVersion) +
                     "  FOS interface " + version_text(entry.fosIfcVersion) + "  " + status_text(entry.status));
        console.line("   " + field_text(entry.devicePath));
    }
}

void show_info(Runtime &runtime) {
    const VelkorApi &api = runtime.api();
    require(api, {"_ReadInfo", "_FlashInfo", "_GetHintAboutDROVA"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    session.run("read information", VELKOR_EV_READINFO, [&] { return api._ReadInfo(); });
    read_flash_table(session);
    runtime.console().print(session.hint(kAllHintLines | VELKOR_HINT_INDENT, api._GetConnectInfo()));
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
    runtime.console().print(session.hint(kFlashTable, api._GetConnectInfo()));
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
        session.connect(runtime.selection(), !json);
        read_flash_table(session);
        table = fetched_table(session);
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
    require(api, {"_Erase"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    session.run("erase sector " + std::to_string(sector), VELKOR_EV_ERASE,
                [&] { return api._Erase(static_cast<u8>(sector)); }, DeviceSession::kLongCommandQuiet);
    runtime.console().line("sector " + std::to_string(sector) + " erased");
}

void download_file(Runtime &runtime, Image image, unsigned target, bool erase_first) {
    const VelkorApi &api = runtime.api();
    require(api, {"_FlashInfo", "_Erase", "_BinListCreate", "_BinListAdd", "_BinListFree", "_Download"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    read_flash_table(session);
    if (erase_first)
        session.run("erase sector " + std::to_string(target), VELKOR_EV_ERASE,
                    [&] { return api._Erase(static_cast<u8>(target)); }, DeviceSession::kLongCommandQuiet);
    runtime.console().line(std::string(image_format_name(image.format)) + ": " + std::to_string(image.file_records) +
                           " records in " + std::to_string(image.blocks.size()) + " blocks, " +
                           std::to_string(image.data_bytes()) + " bytes, into area " + std::to_string(target));
    download_blocks(session, image.blocks, target);
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
    session.run("automatic start", VELKOR_EV_AUTOSTART, [&] { return api._AutoStart(id); });
    runtime.console().line("application " + std::to_string(id) + " starts automatically");
}

void reset_device(Runtime &runtime) {
    const VelkorApi &api = runtime.api();
    require(api, {"_Reset"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    session.run("reset", VELKOR_EV_DISCONNECT, [&] { return api._Reset(); });
    runtime.console().line("device reset; the connection has ended");
}

void write_serial(Runtime &runtime, std::uint32_t serial) {
    const VelkorApi &api = runtime.api();
    require(api, {"_Wrsn", "_ReadInfo"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
    session.run("write serial number", VELKOR_EV_WRSN, [&] { return api._Wrsn(serial); });
    session.run("read information", VELKOR_EV_READINFO, [&] { return api._ReadInfo(); });
    runtime.console().line("serial number written; the device now reports " +
                           session.serial_text(api._GetConnectInfo()->serialNumber & 0xFFFFFF));
}

void keep_alive(Runtime &runtime, unsigned every_ms, unsigned count) {
    const VelkorApi &api = runtime.api();
    require(api, {"_CommRefresh"});
    DeviceSession session(api, runtime.console());
    session.connect(runtime.selection());
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
        runtime.console().line(which + (sent ? ": connected" : ": refused: " + api.error_text(reason.value_or(VELKOR_ERR_BUSY))));
    }
}

void scan(Runtime &runtime, unsigned count) {
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
    while (received < count) {
        const auto line = lines.next(until);
        if (!line) break;
        ++received;
        runtime.console().line(*line);
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
    console.print(indented(session.hint(kFlashTable, api._GetConnectInfo())));

    heading(console, "4. erase sector " + std::to_string(sector));
    session.run("erase sector 0", VELKOR_EV_ERASE, [&] { return api._Erase(sector); }, DeviceSession::kLongCommandQuiet);

    heading(console, "5. download \"" + application.name + "\" (id " + std::to_string(application.id) + ", " +
                         std::to_string(VELKOR_INFO_BLOCK_SIZE + application.payload_bytes) + " bytes) into sector " +
                         std::to_string(sector));
    std::vector<Segment> blocks{{0, make_sample_application(application)}};
    download_blocks(session, blocks, sector);

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
