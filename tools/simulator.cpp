#include "simulator.h"

#include <chrono>
#include <cstdlib>

namespace drova {
namespace {

// The daemon prints one such line per device once every endpoint is open.
constexpr std::string_view kServing = "drova-sim: serving ";
// Starting a Windows program under emulation can take a while.
constexpr auto kStartLimit = std::chrono::seconds(90);

}  // namespace

std::filesystem::path Simulator::default_program() {
    return executable_path().parent_path() / program_file_name("drova-sim");
}

Simulator::Simulator(Options options) : options_(std::move(options)) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(options_.program, error))
        throw ProcessError("the simulator " + options_.program.string() + " is not there (give it with --sim-program)");
    std::vector<std::string> arguments{"--dir", location_.value()};
    if (options_.config) arguments.insert(arguments.end(), {"--config", *options_.config});
    if (options_.verbosity >= 2) arguments.push_back("-v");
    child_.emplace(options_.program, arguments, true, true);
    reader_ = std::thread([this] { read_output(); });

    std::unique_lock lock(mutex_);
    const bool settled = changed_.wait_for(lock, kStartLimit, [this] { return ready_ || ended_; });
    if (ready_) {
        lock.unlock();
        if (const char *previous = std::getenv("VELKOR_USB_DIR")) previous_location_ = previous;
        set_environment("VELKOR_USB_DIR", location_.value().c_str());
        return;
    }
    lock.unlock();
    child_->stop();
    const int status = child_->wait();
    reader_.join();
    throw ProcessError(settled ? options_.program.filename().string() + " ended with status " + std::to_string(status) +
                                     " before serving a device"
                               : options_.program.filename().string() + " did not start serving within " +
                                     std::to_string(kStartLimit.count()) + " s");
}

Simulator::~Simulator() {
    set_environment("VELKOR_USB_DIR", previous_location_ ? previous_location_->c_str() : nullptr);
    child_->stop();
    child_->wait();
    reader_.join();
}

void Simulator::read_output() {
    std::string pending;
    char buffer[1024];
    for (;;) {
        const std::size_t got = child_->read_output(buffer, sizeof buffer);
        if (got == 0) break;
        pending.append(buffer, got);
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind(kServing, 0) == 0) {
                std::lock_guard lock(mutex_);
                serving_.push_back(line.substr(kServing.size()));
                ready_ = true;
                changed_.notify_all();
            } else if (options_.verbosity >= 1 && options_.log) {
                options_.log(line);
            }
        }
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

}  // namespace drova
