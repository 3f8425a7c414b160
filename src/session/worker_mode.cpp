#include "session/worker_mode.h"

#include <atomic>

#include "session/session.h"

namespace velkor {
namespace {

std::atomic<WorkerMode> mode_for_new_sessions{WorkerMode::threaded};

// The running session, when its workers are the caller's to drive.
std::shared_ptr<Workers> driven_workers() {
    auto running = Session::instance().workers();
    if (!running || running->mode != WorkerMode::driven) return nullptr;
    return running;
}

}  // namespace

void set_worker_mode(WorkerMode mode) { mode_for_new_sessions = mode; }

WorkerMode current_worker_mode() { return mode_for_new_sessions; }

bool drive_timer() {
    const auto running = driven_workers();
    return running && running->timer.poll();
}

std::size_t drive_delivery() {
    const auto running = driven_workers();
    return running ? running->notifier.deliver_queued() : 0;
}

bool drive_link_read() {
    const auto running = driven_workers();
    return running && running->usb.ReadArrived();
}

}  // namespace velkor
