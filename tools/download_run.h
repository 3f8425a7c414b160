// A download as drova runs it, for the command line and the GUI alike: the
// block list built through the library's helpers, the download on a thread of
// its own with its events followed record by record, a stop request handed
// to _StopDownload, and the outcome put into the user's terms.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "device_session.h"
#include "image_file.h"

namespace drova {

// How far a download has got.
struct DownloadStatus {
    std::size_t record = 0;   // records whose address step succeeded
    std::size_t records = 0;
    std::size_t sent = 0;     // bytes of finished records
    std::size_t total = 0;
    double seconds = 0;
};
// "download: record 2 of 5, 1024 / 4096 bytes ( 25%), 3.1 KiB/s".
std::string progress_line(const DownloadStatus &status);

struct DownloadSummary {
    std::size_t records = 0;
    std::size_t bytes = 0;
    double seconds = 0;
    std::size_t staging_checks = 0;
    std::size_t target_checks = 0;
    std::string verdict;
};

struct DownloadControl {
    // Asked every 20 ms: once true, the download is stopped through the
    // library and ends with Failure(kInterrupted) saying how far it got.
    std::function<bool()> stop_requested;
    // After each record, every few seconds while one is under way, and once
    // at the end (`final`).
    std::function<void(const DownloadStatus &, bool final)> report;
};

// Downloads the blocks into area `target`. The flash sector table must have
// been read: its sector count (`sectors`) numbers the staging area. Throws
// Failure naming the record and step a failure stopped at.
DownloadSummary download_blocks(DeviceSession &session, std::vector<Segment> &blocks, unsigned target,
                                unsigned sectors, const DownloadControl &control);

}  // namespace drova
