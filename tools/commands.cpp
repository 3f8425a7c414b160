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

#include "confirmation.h"
#include "download_preflight.h"
#include "download_stream.h"
#include "exit_codes.h"
#include "flash_table.h"
#include "interface_listing.h"
#include "interrupt.h"
#include "os_services.h"
#include "printable_text.h"
#include "sample_image.h"

namespace drova {
namespace {

using std::chrono::milliseconds;

constexpr int kAllHintLines = VELKOR_HINT_NAME | VELKOR_HINT_SERIAL_NUMBER | VELKOR_HINT_HW_VERSION |
                              VELKOR_HINT_FOS_IFC_VERSION | VELKOR_HINT_AUTOSTART | VELKOR_HINT_ETHERNET |
                              VELKOR_HINT_UDP_IP | VELKOR_HINT_CONFIGURED_BY | VELKOR_HINT_FIRMWARE_APPS |
                              VELKOR_HINT_FLASH_SECTORS;
constexpr int kFlashTable = VELKOR_HINT_FLASH_SECTORS | VELKOR_HINT_FIRMWARE_APPS | VELKOR_HINT_INDENT;
// The autostart id of a device that starts no application by itself.
constexpr std::uint32_t kNoApplication = 0xFFFFFFFF;
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

struct DownloadSummary {
    std::size_t records = 0;
    std::size_t bytes = 0;
    double seconds = 0;
    std::size_t staging_checks = 0;
    std::size_t target_checks = 0;
    std::string verdict;
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

    // A record's data step sends no event until it ends: a log still gets a
    // line every few seconds.
    void tick() {
        if (std::chrono::steady_clock::now() - last_report_ >= kQuietReport) report(false);
    }

    void report(bool final) {
        last_report_ = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(last_report_ - start_).count();
        char line[160];
        std::snprintf(line, sizeof line, "download: record %zu of %zu, %zu / %zu bytes (%3.0f%%), %.1f KiB/s",
                      started_, records_.size(), sent_, total_,
                      total_ > 0 ? 100.0 * static_cast<double>(sent_) / static_cast<double>(total_) : 100.0,
                      seconds > 0 ? static_cast<double>(sent_) / 1024.0 / seconds : 0.0);
        console_.progress(line, final);
    }

    // After a download stopped on request: how far it got, in the user's terms.
    Failure stopped(const std::string &area) const {
        const std::size_t done = in_place();
        return Failure(exit_code::kInterrupted,
                       "download stopped on request after " + std::to_string(done) + " of " +
                           std::to_string(records_.size()) + " records were written and checked (" +
                           std::to_string(sent_) + " of " + std::to_string(total_) + " bytes sent); " + area +
                           (done == records_.size() ? " holds the whole image"
                                                    : " holds an incomplete image: download it again before use"));
    }

    // Records whose last checksum matched: in the target area, or in the
    // staging area when that is the target.
    std::size_t in_place() const { return staged_only_ ? staging_checks_ : target_checks_; }
    void set_staged_only(bool staged_only) { staged_only_ = staged_only; }

    DownloadSummary summary(unsigned target) const {
        DownloadSummary summary;
        summary.records = records_.size();
        summary.bytes = total_;
        summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        summary.staging_checks = staging_checks_;
        summary.target_checks = target_checks_;
        char line[300];
        std::snprintf(line, sizeof line,
                      "download finished: %zu records, %zu bytes in %.2f s; checksums matched: %zu in the staging "
                      "area, %zu in area %u",
                      records_.size(), total_, summary.seconds, staging_checks_, target_checks_, target);
        summary.verdict = line;
        return summary;
    }

    // Rephrases the library's failure with the record and step it stopped at.
    // An answer the library found invalid (`invalid_answer` is its text) is
    // put into the step's own words first.
    Failure failure(const Failure &failure, unsigned target, const std::string &invalid_answer) const {
        if (!failed_step_) return failure;
        static const char *const steps[] = {"address", "", "checksum", "", "", "data", "program"};
        static const char *const meanings[] = {
            "the device did not take the record's place", "",
            "the device's checksum of the record differs from the one sent", "", "",
            "the device did not acknowledge the data", "the device could not program the record"};
        const int step = *failed_step_;
        const bool known = step >= 0 && step <= 6 && *steps[step];
        std::string where = known ? steps[step] : "step";
        if (step == VELKOR_EV_CHECKSUM) where += failed_in_target_ ? " in area " + std::to_string(target) : " in the staging area";
        const std::size_t record = started_ == 0 ? 1 : started_ + (step == VELKOR_EV_ADDRESS ? 1 : 0);
        std::string reason = failure.what();
        reason = reason.substr(reason.find(':') + 1);
        if (known && reason == " " + invalid_answer) reason = " " + std::string(meanings[step]) + " (" + invalid_answer + ")";
        const int status =
            failure.exit_code() == exit_code::kDeviceLost ? exit_code::kDeviceLost : exit_code::kOperationFailed + step;
        return Failure(status, "download failed at record " + std::to_string(record) +
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
    bool staged_only_ = false; // the target is the staging area: no program step
    std::optional<int> failed_step_;
    bool failed_in_target_ = false;
    static constexpr std::chrono::seconds kQuietReport{5};
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_report_ = start_;
};

// Stops the download once drova is interrupted. A signal handler may not call
// into the library, so a thread of its own watches for the request, and asks
// until the library has a download to stop (it may be between two steps).
class DownloadStopper {
public:
    explicit DownloadStopper(const VelkorApi &api)
        : watcher_([&api](const std::stop_token &done) {
              while (!done.stop_requested()) {
                  if (interrupted() && api._StopDownload() == 0) return;
                  std::this_thread::sleep_for(milliseconds(20));
              }
          }) {}

private:
    std::jthread watcher_;
};

// Downloads the blocks into area `target`. The flash sector table must have
// been read: its sector count numbers the staging area.
DownloadSummary download_blocks(DeviceSession &session, std::vector<Segment> &blocks, unsigned target,
                                unsigned sectors) {
    const VelkorApi &api = session.api();
    require(api, {"_BinListCreate", "_BinListAdd", "_BinListFree", "_Download", "_StopDownload"});
    std::vector<std::size_t> records;
    for (const auto &record : stream_records(blocks, target)) records.push_back(record.length);

    BlockList list(api, blocks);
    DownloadProgress progress(session.console(), records);
    progress.set_staged_only(target == sectors);
    try {
        const DownloadStopper stopper(api);
        session.run_alongside("download", VELKOR_EV_DOWNLOAD,
                    [&] { return api._Download(static_cast<int>(target), list.get()); },
                    DeviceSession::kLongCommandQuiet, [&](const Event &event) { progress(event); },
                              [&] { progress.tick(); });
    } catch (const Failure &failure) {
        if (interrupted()) throw progress.stopped("area " + std::to_string(target));
        if (failure.exit_code() == exit_code::kRefusedSilently)
            throw Failure(failure.exit_code(), "download refused by the library: no flash sector table, or no blocks");
        throw progress.failure(failure, target, api.error_text(VELKOR_ERR_INVALID_ANSWER));
    }
    progress.report(true);
    return progress.summary(target);
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

// Connects to the selected device and reads its flash table.
FlashTable connected_table(Runtime &runtime, DeviceSession &session, bool announce = true) {
    session.connect(runtime.selection(), announce);
    read_flash_table(session);
    return fetched_table(session);
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

// One device as --json describes it; device text with its bytes escaped.
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
    approve_change(runtime, session,
            "erase sector " + std::to_string(sector) + " (" + contents_text(table.sectors[sector]) + ") of " +
                table.device);
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
    approve_change(runtime, session,
            std::string(request.erase_first ? "erase and " : "") + "download into " + into + " of " + table.device);
    if (request.erase_first)
        session.run("erase sector " + std::to_string(target), VELKOR_EV_ERASE,
                    [&] { return api._Erase(static_cast<u8>(target)); }, DeviceSession::kLongCommandQuiet);
    const DownloadSummary done = download_blocks(session, image.blocks, target, static_cast<unsigned>(table.sectors.size()));
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
    const auto records = stream_records(image.blocks, target);
    auto results = nlohmann::ordered_json::array();
    std::size_t differing = 0;
    for (std::size_t k = 0; k < records.size(); ++k) {
        const StreamRecord &record = records[k];
        const std::string which = "record " + std::to_string(k + 1) + " of " + std::to_string(records.size());
        const std::string what = record.block == nullptr
                                     ? std::string("end record")
                                     : address_range(record.block->address, record.block->end()) + ", " +
                                           std::to_string(record.block->data.size()) + " bytes";
        bool matches = true;
        try {
            session.run("checksum of " + which, VELKOR_EV_CHECKSUM, [&] {
                return api._CheckSum((std::uint64_t{target} << 32) | record.offset, record.length, record.checksum,
                                     static_cast<int>(target));
            });
        } catch (const Failure &failure) {
            // The device's checksum differs: the library finds its answer invalid.
            if (failure.exit_code() != exit_code::kOperationFailed + VELKOR_EV_CHECKSUM) throw;
            matches = false;
            ++differing;
        }
        if (json) {
            results.push_back({{"record", k + 1}, {"offset", record.offset}, {"length", record.length},
                               {"address", record.block ? nlohmann::ordered_json(record.block->address) : nullptr},
                               {"matches", matches}});
        } else if (!matches || console.verbosity() >= 1) {
            console.line(which + " (" + what + "): " + (matches ? "matches" : "differs in " + area_name(table, target)));
        }
    }
    if (json) {
        nlohmann::ordered_json document = image_json(image, request.file);
        document["target"] = target;
        document["records"] = results;
        document["differing"] = differing;
        console.line(json_text(document));
    } else if (differing == 0) {
        console.line("verify: all " + std::to_string(records.size()) + " records match in " + area_name(table, target));
    }
    if (differing > 0)
        throw Failure(exit_code::kOperationFailed + VELKOR_EV_CHECKSUM,
                      "verify: " + std::to_string(differing) + " of " + std::to_string(records.size()) +
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
    // The empty-sector id names no application: the device then starts none by itself.
    const bool clears = id == kNoApplication;
    approve_change(runtime, session,
            (clears ? std::string("clear the automatic start") : "make application " + std::to_string(id) +
                                                                    " start automatically") +
                " on " + session.device_line(*api._GetConnectInfo()));
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
    const TDROVAInfo &device = *api._GetConnectInfo();
    const std::string path = field_text(device.devicePath);
    // Two devices with one number cannot be told apart by --serial, and every
    // later selection of either would be refused as ambiguous.
    for (const auto &other : session.found_devices()) {
        if (other.serialNumber != serial || field_text(other.devicePath) == path) continue;
        const std::string duplicate = session.serial_label(serial) + " is already the serial number of " +
                                      session.device_line(other);
        if (!force_duplicate)
            throw Failure(exit_code::kAmbiguous, "write-serial: " + duplicate +
                                                     "; nothing was written (--force-duplicate writes it all the same)");
        console.note("drova: warning: " + duplicate + "; two devices with one number cannot be told apart by "
                     "--serial or --index");
    }
    char text[32] = {};
    if (api._SnConvertUint2Agt(serial, text, sizeof text) != 0)
        console.note("drova: warning: " + session.serial_label(serial) + " has no text form (KV...)");
    approve_change(runtime, session,
            "write serial number " + session.serial_label(serial) + " into " + session.device_line(device));
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
    download_blocks(session, blocks, sector, static_cast<unsigned>(table.sectors.size()));

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
