#include "download_run.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "download_stream.h"
#include "exit_codes.h"
#include "required_exports.h"

namespace drova {
namespace {

using std::chrono::milliseconds;

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
    DownloadProgress(std::function<void(const DownloadStatus &, bool)> report, std::vector<std::size_t> records)
        : report_(std::move(report)), records_(std::move(records)) {
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
        if (!report_) return;
        report_({started_, records_.size(), sent_, total_,
                 std::chrono::duration<double>(last_report_ - start_).count()},
                final);
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
    std::function<void(const DownloadStatus &, bool)> report_;
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

// Stops the download once asked to. A signal handler may not call into the
// library, so a thread of its own watches for the request, and asks until the
// library has a download to stop (it may be between two steps).
class DownloadStopper {
public:
    DownloadStopper(const VelkorApi &api, const std::function<bool()> &stop_requested)
        : watcher_([&api, &stop_requested](const std::stop_token &done) {
              while (!done.stop_requested()) {
                  if (stop_requested && stop_requested() && api._StopDownload() == 0) return;
                  std::this_thread::sleep_for(milliseconds(20));
              }
          }) {}

private:
    std::jthread watcher_;
};

}  // namespace

// Downloads the blocks into area `target`. The flash sector table must have
// been read: its sector count numbers the staging area.
DownloadSummary download_blocks(DeviceSession &session, std::vector<Segment> &blocks, unsigned target,
                                unsigned sectors, const DownloadControl &control) {
    const VelkorApi &api = session.api();
    require(api, {"_BinListCreate", "_BinListAdd", "_BinListFree", "_Download", "_StopDownload"});
    std::vector<std::size_t> records;
    for (const auto &record : stream_records(blocks, target)) records.push_back(record.length);

    BlockList list(api, blocks);
    DownloadProgress progress(control.report, records);
    progress.set_staged_only(target == sectors);
    try {
        const DownloadStopper stopper(api, control.stop_requested);
        session.run_alongside("download", VELKOR_EV_DOWNLOAD,
                    [&] { return api._Download(static_cast<int>(target), list.get()); },
                    DeviceSession::kLongCommandQuiet, [&](const Event &event) { progress(event); },
                              [&] { progress.tick(); });
    } catch (const Failure &failure) {
        if (control.stop_requested && control.stop_requested()) throw progress.stopped("area " + std::to_string(target));
        if (failure.exit_code() == exit_code::kRefusedSilently)
            throw Failure(failure.exit_code(), "download refused by the library: no flash sector table, or no blocks");
        throw progress.failure(failure, target, api.error_text(VELKOR_ERR_INVALID_ANSWER));
    }
    progress.report(true);
    return progress.summary(target);
}

std::string progress_line(const DownloadStatus &status) {
    char line[160];
    std::snprintf(line, sizeof line, "download: record %zu of %zu, %zu / %zu bytes (%3.0f%%), %.1f KiB/s",
                  status.record, status.records, status.sent, status.total,
                  status.total > 0 ? 100.0 * static_cast<double>(status.sent) / static_cast<double>(status.total)
                                   : 100.0,
                  status.seconds > 0 ? static_cast<double>(status.sent) / 1024.0 / status.seconds : 0.0);
    return line;
}

}  // namespace drova
