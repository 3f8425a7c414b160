#include "workbench.h"

#include <chrono>
#include <map>
#include <set>

#include "change_texts.h"
#include "commands.h"
#include "download_preflight.h"
#include "download_run.h"
#include "exit_codes.h"
#include "flash_reading.h"
#include "flash_table.h"
#include "interface_listing.h"
#include "printable_text.h"
#include "record_verify.h"
#include "required_exports.h"

namespace drova::gui {
namespace {

using std::chrono::milliseconds;
using nlohmann::json;

// Longer than a connect (its search and the library's 6 s), shorter than a browser's patience.
constexpr std::chrono::seconds kReplyWait{30};
// A page that controls the device and has had no event stream for this long
// is gone (closed, crashed): the device is let go for the others.
constexpr std::chrono::seconds kAbandoned{5};
// The service log's last records the page shows.
constexpr std::size_t kShownRecords = 20;
// Between two searches of the device list.
constexpr milliseconds kListPause{300};

Reply refused(int status, const std::string &why) { return {status, {{"error", why}}}; }

Reply failed(const Failure &failure) {
    return {422, {{"error", failure.what()}, {"exitCode", failure.exit_code()}}};
}

// The confirmation a change needs: the page shows `change` and sends it back
// once the user accepts it; a text that no longer matches (the device or its
// table changed meanwhile) is asked again, with nothing done.
std::optional<Reply> unconfirmed(const std::string &change, const std::optional<std::string> &confirm) {
    if (confirm && *confirm == change) return std::nullopt;
    return Reply{409, {{"confirm", change},
                       {"error", confirm ? change + ": the device changed since it was confirmed; nothing was changed"
                                         : change + ": not confirmed, nothing was changed"}}};
}

json event_json(const VelkorApi &api, const Event &event) {
    return {{"a", event.a}, {"b", event.b}, {"text", describe_event(api, event)}};
}

}  // namespace

class Workbench::Job {
public:
    Job(std::string tab, Work work) : tab_(std::move(tab)), work_(std::move(work)) {}
    void reply(Reply reply) {
        if (replied_) return;
        replied_ = true;
        promise_.set_value(std::move(reply));
    }
    bool replied() const { return replied_; }
    std::future<Reply> future() { return promise_.get_future(); }
    const std::string &tab() const { return tab_; }
    void run() { work_(*this); }

private:
    std::string tab_;
    Work work_;
    std::promise<Reply> promise_;
    bool replied_ = false;
};

Workbench::Workbench(const VelkorApi &api, Console &console, EventHub &hub, const ServiceLog &log,
                     int search_unit_ms)
    : api_(api), console_(console), hub_(hub), log_(log), search_unit_ms_(search_unit_ms) {
    publish_service_log();
    hub_.set_state("devices", json::array());
    hub_.set_state("device", nullptr);
    hub_.set_state("flash", nullptr);
    hub_.set_state("busy", "");
    hub_.set_state("next", {{"waiting", false}, {"text", ""}});
    std::promise<void> started;
    auto ready = started.get_future();
    owner_ = std::thread([this, &started] {
        try {
            session_.emplace(api_, console_);
        } catch (const Failure &failure) {
            startup_failure_ = failure.what();
        }
        started.set_value();
        if (session_) serve();
    });
    ready.wait();
    if (startup_failure_) {
        owner_.join();
        throw Failure(exit_code::kLibrary, *startup_failure_);
    }
}

Workbench::~Workbench() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_download_ = true;
    queued_.notify_all();
    owner_.join();
}

Reply Workbench::call(const std::string &tab, bool controlling, Work work) {
    auto job = std::make_shared<Job>(tab, std::move(work));
    auto reply = job->future();
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) return refused(503, "drova gui is stopping");
        if (!busy_.empty()) return refused(409, "busy: " + busy_ + " is under way");
        if (controlling && controller_.empty()) return refused(409, "no device is connected: choose one first");
        if (controlling && controller_ != tab)
            return refused(409, "another page controls the device: use that page, or disconnect there");
        jobs_.push_back(job);
    }
    queued_.notify_all();
    if (reply.wait_for(kReplyWait) != std::future_status::ready)
        return refused(504, "no answer within " + std::to_string(kReplyWait.count()) + " s");
    return reply.get();
}

void Workbench::serve() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            queued_.wait_for(lock, kListPause, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) break;
            if (!jobs_.empty()) {
                job = jobs_.front();
                jobs_.pop_front();
            }
        }
        if (!job) {
            between_commands();
            continue;
        }
        session_->set_event_sink([this](const Event &event) { hub_.publish("event", event_json(api_, event)); });
        try {
            job->run();
        } catch (const Failure &failure) {
            job->reply(failed(failure));
        } catch (const std::exception &error) {
            job->reply(refused(500, error.what()));
        }
        job->reply({});
        session_->set_event_sink({});
        // A command may have ended the connection (reset, a start of application 10, a lost link).
        if (!session_->connected()) {
            bool had_device = false;
            {
                const std::lock_guard lock(mutex_);
                // A page whose next-device loop waits keeps control while no device is connected.
                had_device = !controller_.empty() && !next_;
                if (had_device) controller_.clear();
            }
            if (had_device) forget_device();
        }
    }
    // Jobs still queued get their answer; the session disconnects and closes as it ends.
    std::deque<std::shared_ptr<Job>> left;
    {
        const std::lock_guard lock(mutex_);
        left.swap(jobs_);
    }
    for (auto &job : left) job->reply(refused(503, "drova gui is stopping"));
    try {
        session_.reset();
    } catch (const std::exception &error) {
        console_.note(std::string("drova: ") + error.what());
    }
}

void Workbench::between_commands() {
    if (session_->connected()) watch_connection();
    else search_devices();
}

void Workbench::search_devices() {
    std::vector<TDROVAInfo> found;
    try {
        session_->search(search_unit_ms_);
        found = session_->found_devices();
    } catch (const Failure &failure) {
        if (failure.exit_code() != exit_code::kNoDevice) return;  // a refused search says nothing of the devices
    }
    std::map<std::uint32_t, int> sharing;
    for (const auto &entry : found) ++sharing[entry.serialNumber];
    // Every interface present, as drova list shows them: a silent one keeps its place.
    json list = json::array();
    for (const ListedInterface &listed : list_interfaces(found)) {
        if (!listed.found_index) {
            list.push_back({{"interface", printable_text(listed.path)}, {"answered", false},
                            {"path", listed.path}, {"note", std::string("no answer to the search ") + kSilentInterface}});
            continue;
        }
        const TDROVAInfo &device = found[*listed.found_index];
        json entry = device_json(*session_, device);
        entry["answered"] = true;
        entry["path"] = field_text(device.devicePath);
        entry["statusText"] = status_text(device.status);
        if (sharing[device.serialNumber] > 1)
            entry["duplicate"] = std::to_string(sharing[device.serialNumber]) +
                                 " found devices share this serial number, and the library connects by serial "
                                 "number: attach one of them alone and give it a serial number of its own (Write "
                                 "serial number)";
        list.push_back(std::move(entry));
    }
    if (list != found_) {
        found_ = list;
        hub_.set_state("devices", list);
    }
    std::set<std::string> present;
    for (const auto &entry : found) present.insert(field_text(entry.devicePath));
    bool waiting = false;
    {
        const std::lock_guard lock(mutex_);
        waiting = next_.has_value();
    }
    // A bench whose page has gone programs nothing more.
    if (waiting && controller_gone()) {
        unwatched_since_.reset();
        end_loop();
        const std::lock_guard lock(mutex_);
        controller_.clear();
        waiting = false;
    }
    if (waiting)
        for (const auto &path : present)
            if (!present_.count(path)) program_next_device(path);
    present_ = std::move(present);
}

bool Workbench::controller_gone() {
    std::string controller;
    {
        const std::lock_guard lock(mutex_);
        controller = controller_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (controller.empty() || hub_.has_stream(controller)) unwatched_since_.reset();
    else if (!unwatched_since_) unwatched_since_ = now;
    return unwatched_since_ && now - *unwatched_since_ > kAbandoned;
}

void Workbench::watch_connection() {
    session_->watch(milliseconds(200), [this](const Event &event) { hub_.publish("event", event_json(api_, event)); });
    const bool abandoned = controller_gone();
    if (abandoned) {
        try {
            session_->disconnect();
        } catch (const Failure &failure) {
            console_.note(std::string("drova: ") + failure.what());
        }
    }
    if (!session_->connected()) {
        unwatched_since_.reset();
        {
            const std::lock_guard lock(mutex_);
            controller_.clear();
        }
        forget_device();
        hub_.publish("result", {{"ok", false}, {"text", abandoned ? "the page that controlled the device went away: "
                                                                    "disconnected"
                                                                  : "the connection ended"}});
    }
}

void Workbench::publish_device() {
    require(api_, {"_ReadInfo", "_FlashInfo", "_GetFlashSectors", "_ConsistencyCheck", "_GetHintAboutDROVA"});
    session_->run("read information", VELKOR_EV_READINFO, [&] { return api_._ReadInfo(); });
    const TDROVAInfo &info = *api_._GetConnectInfo();
    json device = device_json(*session_, info);
    device["line"] = session_->device_line(info);
    device["hint"] = printable_text(session_->hint(kAllHintLines | VELKOR_HINT_INDENT, &info), true);
    hub_.set_state("device", device);
    const FlashTable table = current_table(*session_);
    const auto verdicts = check_table(table, api_._ConsistencyCheck);
    hub_.set_state("flash", {{"table", json::parse(table_json(table))},
                             {"check", json::parse(verdicts_json(table, verdicts))},
                             {"checkText", verdicts_text(table, verdicts)}});
}

void Workbench::forget_device() {
    hub_.set_state("device", nullptr);
    hub_.set_state("flash", nullptr);
}

bool Workbench::run_long(Job *job, const std::string &what, const std::function<void()> &work) {
    {
        const std::lock_guard lock(mutex_);
        busy_ = what;
    }
    hub_.set_state("busy", what);
    if (job != nullptr) job->reply({202, {{"started", what}}});
    bool succeeded = false;
    try {
        work();
        succeeded = true;
    } catch (const Failure &failure) {
        hub_.publish("result", {{"ok", false}, {"what", what}, {"text", failure.what()},
                                {"stopped", failure.exit_code() == exit_code::kInterrupted}});
    } catch (const std::exception &error) {
        hub_.publish("result", {{"ok", false}, {"what", what}, {"text", error.what()}});
    }
    {
        const std::lock_guard lock(mutex_);
        busy_.clear();
    }
    hub_.set_state("busy", "");
    return succeeded;
}

void Workbench::logged(ServiceRecord record, const TDROVAInfo &device,
                       const std::function<void(ServiceRecord &)> &change) {
    try {
        change(record);
    } catch (const Failure &failure) {
        record.outcome = failure.exit_code() == exit_code::kInterrupted ? "stopped" : "failed";
        record.text = failure.what();
        log_change(record, device);
        throw;
    }
    log_change(record, device);
}

void Workbench::log_change(ServiceRecord record, const TDROVAInfo &device) {
    record.device = session_->serial_text(device.serialNumber & 0xFFFFFF);
    record.device_line = session_->device_line(device);
    try {
        log_.append(record);
    } catch (const std::runtime_error &error) {
        hub_.publish("result", {{"ok", false}, {"text", error.what()}});
    }
    publish_service_log();
}

void Workbench::publish_service_log() {
    json lines = json::array();
    for (const auto &record : log_.read(kShownRecords)) lines.push_back(service_line(record));
    hub_.set_state("serviceLog", {{"file", log_.path().string()}, {"lines", lines}});
}

Reply Workbench::connect(const std::string &tab, const std::string &path) {
    {
        const std::lock_guard lock(mutex_);
        if (!controller_.empty() && controller_ != tab)
            return refused(409, "another page controls a device: use that page, or disconnect there");
    }
    return call(tab, false, [this, path](Job &job) {
        if (session_->connected()) {
            if (field_text(api_._GetConnectInfo()->devicePath) == path) {
                job.reply({200, {{"connected", session_->device_line(*api_._GetConnectInfo())}}});
                return;
            }
            session_->disconnect();
            forget_device();
        }
        Selection selection;
        selection.path = path;
        selection.search_unit_ms = search_unit_ms_;
        // Choosing a device by hand ends the page's next-device loop.
        end_loop();
        session_->connect(selection, false);
        {
            const std::lock_guard lock(mutex_);
            controller_ = job.tab();
        }
        publish_device();
        job.reply({200, {{"connected", session_->device_line(*api_._GetConnectInfo())}}});
    });
}

Reply Workbench::disconnect(const std::string &tab) {
    return call(tab, true, [this](Job &job) {
        if (session_->connected()) session_->disconnect();
        end_loop();
        {
            const std::lock_guard lock(mutex_);
            controller_.clear();
        }
        forget_device();
        job.reply({200, {{"disconnected", true}}});
    });
}

Reply Workbench::refresh(const std::string &tab) {
    return call(tab, true, [this](Job &) { publish_device(); });
}

Reply Workbench::set_image(const std::string &tab, std::shared_ptr<const LoadedImage> image) {
    const std::lock_guard lock(mutex_);
    if (!busy_.empty()) return refused(409, "busy: " + busy_ + " is under way");
    if (!controller_.empty() && controller_ != tab)
        return refused(409, "another page controls the device: use that page, or disconnect there");
    image_ = std::move(image);
    return {};
}

Reply Workbench::plan(const std::string &tab, unsigned target, bool erase) {
    return call(tab, true, [this, target, erase](Job &job) {
        std::shared_ptr<const LoadedImage> image;
        {
            const std::lock_guard lock(mutex_);
            image = image_;
        }
        if (!image) return job.reply(refused(409, "no image chosen"));
        const FlashTable table = current_table(*session_);
        const auto notes = preflight_download(table, image->image, target, erase);
        job.reply({200, {{"notes", notes},
                         {"summary", image_summary(image->image, area_name(table, target))},
                         {"confirm", download_change(table, target, erase)}}});
    });
}

Reply Workbench::program(const std::string &tab, const BenchPlan &plan, const std::optional<std::string> &confirm) {
    return call(tab, true, [this, plan, confirm](Job &job) {
        BenchPlan run = plan;
        {
            const std::lock_guard lock(mutex_);
            run.image = image_;
        }
        if (!run.image) return job.reply(refused(409, "no image chosen"));
        const FlashTable table = current_table(*session_);
        preflight_download(table, run.image->image, run.target, run.erase);
        std::string change = download_change(table, run.target, run.erase);
        if (run.next_device) change += "; then the same for every device that appears next, without asking again";
        if (auto ask = unconfirmed(change, confirm)) return job.reply(*ask);
        if (!program_connected(&job, run, table) || !run.next_device) return;
        // The bench's next unit: this one is let go, and the plan waits for a device that appears.
        session_->disconnect();
        forget_device();
        {
            const std::lock_guard lock(mutex_);
            next_ = run;
        }
        hub_.set_state("next", {{"waiting", true},
                                {"text", "waiting for the next device to appear: " + run.image->name + " into area " +
                                             std::to_string(run.target)}});
    });
}

bool Workbench::program_connected(Job *job, const BenchPlan &plan, const FlashTable &table) {
    const auto sectors = static_cast<unsigned>(table.sectors.size());
    const TDROVAInfo device = *api_._GetConnectInfo();
    ServiceRecord record{{}, {}, "program", plan.target, plan.image->name, plan.image->sha256, "ok", {}};
    return run_long(job, "program", [&] {
        logged(record, device, [&](ServiceRecord &done) {
            done.text = program_phases(plan.target, sectors, plan.erase, plan.start, plan.image);
        });
    });
}

void Workbench::program_next_device(const std::string &path) {
    const BenchPlan plan = *next_;
    Selection selection;
    selection.path = path;
    selection.search_unit_ms = search_unit_ms_;
    try {
        session_->connect(selection, false);
        publish_device();
        const FlashTable table = current_table(*session_);
        preflight_download(table, plan.image->image, plan.target, plan.erase);
        program_connected(nullptr, plan, table);
    } catch (const Failure &failure) {
        hub_.publish("result", {{"ok", false}, {"what", "program"}, {"text", failure.what()}});
    }
    if (session_->connected()) {
        try {
            session_->disconnect();
        } catch (const Failure &failure) {
            console_.note(std::string("drova: ") + failure.what());
        }
    }
    forget_device();
}

Reply Workbench::next_device(const std::string &tab, bool enabled) {
    if (enabled) return refused(400, "the next-device loop starts with a program run that asks for it");
    {
        const std::lock_guard lock(mutex_);
        if (!next_ || next_->tab != tab) return refused(409, "this page has no next-device loop waiting");
        controller_.clear();
    }
    end_loop();
    return {};
}

void Workbench::end_loop() {
    bool was_waiting = false;
    {
        const std::lock_guard lock(mutex_);
        was_waiting = next_.has_value();
        next_.reset();
    }
    if (was_waiting) hub_.set_state("next", {{"waiting", false}, {"text", ""}});
}

std::string Workbench::program_phases(unsigned target, unsigned sectors, bool erase, bool start,
                                      std::shared_ptr<const LoadedImage> image) {
    const auto phase = [this](const char *name, const char *state, const std::string &text = {}) {
        hub_.publish("phase", {{"phase", name}, {"state", state}, {"text", text}});
    };
    const char *current = "erase";
    try {
        if (erase) {
            phase("erase", "running");
            session_->run("erase sector " + std::to_string(target), VELKOR_EV_ERASE,
                          [&] { return api_._Erase(static_cast<u8>(target)); }, DeviceSession::kLongCommandQuiet);
            phase("erase", "done", "sector " + std::to_string(target) + " erased");
        } else {
            phase("erase", "skipped");
        }
        current = "write";
        phase("write", "running");
        stop_download_ = false;
        std::vector<Segment> blocks = image->image.blocks;
        const DownloadSummary done = download_blocks(
            *session_, blocks, target, sectors,
            {[this] { return stop_download_.load(); }, [this](const DownloadStatus &status, bool) {
                 hub_.publish("progress", {{"record", status.record}, {"records", status.records},
                                           {"sent", status.sent}, {"total", status.total},
                                           {"line", progress_line(status)}});
             }});
        phase("write", "done", done.verdict);
        current = "verify";
        phase("verify", "running");
        const auto checks = check_records(*session_, image->image, target);
        std::size_t differing = 0;
        for (const auto &check : checks) differing += check.matches ? 0 : 1;
        const FlashTable table = current_table(*session_);
        if (differing > 0)
            throw Failure(exit_code::kOperationFailed + VELKOR_EV_CHECKSUM,
                          "verify: " + std::to_string(differing) + " of " + std::to_string(checks.size()) +
                              " records differ in " + area_name(table, target));
        phase("verify", "done", "verify: all " + std::to_string(checks.size()) + " records match in " +
                                    area_name(table, target));
        current = "start";
        std::string started;
        if (!start) {
            phase("start", "skipped");
        } else if (target >= table.sectors.size() || kind_text(table.sectors[target]) != "application") {
            phase("start", "skipped", area_name(table, target) + " holds no application to start");
        } else {
            const std::uint32_t id = block_word(table.sectors[target], VELKOR_INFO_ID);
            phase("start", "running");
            session_->run("start application " + std::to_string(id), VELKOR_EV_STARTAPP,
                          [&] { return api_._StartApp(id); });
            started = "; application " + std::to_string(id) + " started";
            phase("start", "done", "application " + std::to_string(id) + " started; firmware features: " +
                                       feature_list(api_));
        }
        if (session_->connected()) publish_device();
        const std::string outcome = image->name + " programmed into " + area_name(table, target) + " of " +
                                    table.device + started;
        hub_.publish("result", {{"ok", true}, {"what", "program"}, {"text", outcome}});
        return outcome;
    } catch (const Failure &failure) {
        phase(current, "failed", failure.what());
        if (session_->connected()) {
            try {
                publish_device();
            } catch (const Failure &) {
                // The outcome below says what went wrong; the table stays as last read.
            }
        }
        throw;
    }
}

Reply Workbench::verify(const std::string &tab, unsigned target) {
    return call(tab, true, [this, target](Job &job) {
        std::shared_ptr<const LoadedImage> image;
        {
            const std::lock_guard lock(mutex_);
            image = image_;
        }
        if (!image) return job.reply(refused(409, "no image chosen"));
        const FlashTable table = current_table(*session_);
        require_area(table, target, "nothing was checked");
        run_long(&job, "verify", [&] {
            const auto checks = check_records(*session_, image->image, target);
            json records = json::array();
            std::size_t differing = 0;
            for (std::size_t k = 0; k < checks.size(); ++k) {
                if (!checks[k].matches) ++differing;
                records.push_back({{"record", record_name(k, checks.size())},
                                   {"extent", record_extent(checks[k].record)},
                                   {"matches", checks[k].matches}});
            }
            const std::string area = area_name(table, target);
            hub_.publish("result",
                         {{"ok", differing == 0}, {"what", "verify"}, {"records", records},
                          {"text", differing == 0 ? "verify: all " + std::to_string(checks.size()) +
                                                        " records match in " + area
                                                  : "verify: " + std::to_string(differing) + " of " +
                                                        std::to_string(checks.size()) + " records differ in " + area}});
        });
    });
}

Reply Workbench::start(const std::string &tab, std::uint32_t id) {
    return call(tab, true, [this, id](Job &job) {
        require(api_, {"_StartApp", "_IsSupportedFwFeature"});
        session_->run("start application " + std::to_string(id), VELKOR_EV_STARTAPP,
                      [&] { return api_._StartApp(id); });
        job.reply({200, {{"text", "application " + std::to_string(id) + " started; firmware features: " +
                                      feature_list(api_)}}});
        // Application 10 ends the connection; let that show before the next command.
        session_->settle(milliseconds(300));
    });
}

Reply Workbench::autostart(const std::string &tab, std::uint32_t id, const std::optional<std::string> &confirm) {
    return call(tab, true, [this, id, confirm](Job &job) {
        require(api_, {"_AutoStart"});
        if (auto ask = unconfirmed(autostart_change(*session_, id), confirm)) return job.reply(*ask);
        const TDROVAInfo device = *api_._GetConnectInfo();
        ServiceRecord record{{}, {}, "automatic start", std::nullopt, {}, {}, "ok", autostart_change(*session_, id)};
        logged(record, device, [&](ServiceRecord &) {
            session_->run("automatic start", VELKOR_EV_AUTOSTART, [&] { return api_._AutoStart(id); });
        });
        publish_device();
        job.reply({200, {{"text", id == kNoApplication
                                      ? "automatic start cleared: the device starts no application by itself"
                                      : "application " + std::to_string(id) + " starts automatically"}}});
    });
}

Reply Workbench::write_serial(const std::string &tab, std::uint32_t serial, bool force_duplicate,
                              const std::optional<std::string> &confirm) {
    return call(tab, true, [this, serial, force_duplicate, confirm](Job &job) {
        require(api_, {"_Wrsn", "_ReadInfo"});
        const auto warnings = check_new_serial(*session_, serial, force_duplicate);
        if (auto ask = unconfirmed(write_serial_change(*session_, serial), confirm)) {
            ask->body["warnings"] = warnings;
            return job.reply(*ask);
        }
        const TDROVAInfo device = *api_._GetConnectInfo();
        ServiceRecord record{{}, {}, "write serial number", std::nullopt, {}, {}, "ok",
                             write_serial_change(*session_, serial)};
        logged(record, device, [&](ServiceRecord &) {
            session_->run("write serial number", VELKOR_EV_WRSN, [&] { return api_._Wrsn(serial); });
        });
        publish_device();
        job.reply({200, {{"warnings", warnings},
                         {"text", "serial number written; the device now reports " +
                                      session_->serial_label(api_._GetConnectInfo()->serialNumber & 0xFFFFFF)}}});
    });
}

Reply Workbench::reset(const std::string &tab) {
    return call(tab, true, [this](Job &job) {
        require(api_, {"_Reset"});
        session_->run("reset", VELKOR_EV_DISCONNECT, [&] { return api_._Reset(); });
        job.reply({200, {{"text", "device reset; the connection has ended"}}});
    });
}

Reply Workbench::stop(const std::string &tab) {
    const std::lock_guard lock(mutex_);
    if (controller_ != tab) return refused(409, "another page controls the device");
    if (busy_ != "program") return refused(409, "no download is under way");
    stop_download_ = true;
    return {202, {{"stopping", true}}};
}

}  // namespace drova::gui
