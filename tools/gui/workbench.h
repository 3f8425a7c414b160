// The one owner of the library session in drova gui: a thread of its own
// holds drova's DeviceSession and runs every command the pages ask for, one
// at a time, with the command line's own logic (selection and its refusals,
// preflight, confirmation texts, the download and its stop, verify, the
// check's words). Between commands it searches, without claiming anything,
// so that the device list follows devices that come and go; while connected
// it passes on what the library reports.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "console.h"
#include "device_session.h"
#include "event_hub.h"
#include "flash_table.h"
#include "image_file.h"
#include "service_log.h"
#include "velkor_api.h"

namespace drova::gui {

// An HTTP status and the JSON body that goes with it.
struct Reply {
    int status = 200;
    nlohmann::json body = nlohmann::json::object();
};

// The image the page chose, parsed as drova parses a file.
struct LoadedImage {
    std::string name;
    Image image;
    std::string sha256;  // of the file as chosen
};

// What a program run does, and does again for each next device that appears.
struct BenchPlan {
    std::string tab;
    unsigned target = 0;
    bool erase = false;
    bool start = false;
    bool next_device = false;  // after a success, wait for the next device that appears
    std::shared_ptr<const LoadedImage> image;
};

class Workbench {
public:
    Workbench(const VelkorApi &api, Console &console, EventHub &hub, const ServiceLog &log, int search_unit_ms);
    // Disconnects and closes the session on the owner thread.
    ~Workbench();
    Workbench(const Workbench &) = delete;
    Workbench &operator=(const Workbench &) = delete;

    // Commands of the page `tab`. Each answers once it knows whether it
    // goes ahead; a long one (a download) then goes on, and tells the pages
    // how it ends through the hub.
    Reply connect(const std::string &tab, const std::string &path);
    Reply disconnect(const std::string &tab);
    Reply refresh(const std::string &tab);
    Reply plan(const std::string &tab, unsigned target, bool erase);
    Reply program(const std::string &tab, const BenchPlan &plan, const std::optional<std::string> &confirm);
    // Ends the next-device loop of page `tab`.
    Reply next_device(const std::string &tab, bool enabled);
    Reply verify(const std::string &tab, unsigned target);
    Reply start(const std::string &tab, std::uint32_t id);
    Reply autostart(const std::string &tab, std::uint32_t id, const std::optional<std::string> &confirm);
    Reply write_serial(const std::string &tab, std::uint32_t serial, bool force_duplicate,
                       const std::optional<std::string> &confirm);
    Reply reset(const std::string &tab);
    // The Stop button: the download under way is stopped through the library.
    Reply stop(const std::string &tab);
    // The image the next plan, download or verify uses.
    Reply set_image(const std::string &tab, std::shared_ptr<const LoadedImage> image);

private:
    class Job;
    using Work = std::function<void(Job &)>;
    // Runs `work` on the owner thread and waits for its reply. Refused while a
    // long command runs, and (with `controlling`) for a tab other than the
    // one that connected.
    Reply call(const std::string &tab, bool controlling, Work work);
    void serve();
    void between_commands();
    void search_devices();
    void watch_connection();
    // Whether the controlling page has had no event stream for a while.
    bool controller_gone();
    void publish_device();
    void forget_device();
    // Marks the pages busy while `work` runs, after answering `job` (if any); whether it succeeded.
    bool run_long(Job *job, const std::string &what, const std::function<void()> &work);
    bool program_connected(Job *job, const BenchPlan &plan, const FlashTable &table);
    void program_next_device(const std::string &path);
    void end_loop();
    // A line in the service log for a change to the connected device, shown to the pages.
    void log_change(ServiceRecord record, const TDROVAInfo &device);
    void publish_service_log();
    // Runs `change` (which may put its outcome into the record's words) and logs how it ended.
    void logged(ServiceRecord record, const TDROVAInfo &device, const std::function<void(ServiceRecord &)> &change);
    // Erase, write, verify, start; the outcome in words.
    std::string program_phases(unsigned target, unsigned sectors, bool erase, bool start,
                               std::shared_ptr<const LoadedImage> image);

    const VelkorApi &api_;
    Console &console_;
    EventHub &hub_;
    const ServiceLog &log_;
    int search_unit_ms_;
    std::optional<DeviceSession> session_;  // owner thread only
    nlohmann::json found_ = nlohmann::json::array();  // owner thread only
    // Since when the controlling page has had no event stream; owner thread only.
    std::optional<std::chrono::steady_clock::time_point> unwatched_since_;
    std::set<std::string> present_;  // interfaces that answered the last search; owner thread only

    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::shared_ptr<Job>> jobs_;
    std::string controller_;   // the tab that connected
    std::string busy_;         // what long command runs, if any
    std::shared_ptr<const LoadedImage> image_;
    std::optional<BenchPlan> next_;  // the next-device loop, while it waits
    bool stopping_ = false;
    std::atomic<bool> stop_download_{false};
    std::optional<std::string> startup_failure_;
    std::thread owner_;
};

}  // namespace drova::gui
