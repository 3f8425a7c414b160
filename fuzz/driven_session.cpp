#include "driven_session.h"

#include <cstdio>
#include <cstdlib>

#include "Vevara_Rovo_dar.h"
#include "session/worker_mode.h"

namespace velkor::fuzzing {
namespace {

// Longer than any command's period.
constexpr std::uint32_t kPastEveryPeriod = 100000;

// Everything runs on the target's thread: no lock.
struct Delivered {
    StepEvents current;
    std::vector<StepEvents> steps;
};

Delivered &delivered() {
    static Delivered instance;
    return instance;
}

void VELKOR_CALL record_event(int a, int b) { delivered().current.emplace_back(a, b); }

}  // namespace

void fail(const char *what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

DrivenSession::DrivenSession() : clock_(std::make_shared<ManualClock>()) {
    set_clock(clock_);
    set_worker_mode(WorkerMode::driven);
    start();
}

DrivenSession::~DrivenSession() {
    _Close();
    set_worker_mode(WorkerMode::threaded);
    set_clock(nullptr);
}

void DrivenSession::start() {
    if (_Initialize(record_event, nullptr, 0) != 0) fail("_Initialize refused");
    delivered() = {};
}

void DrivenSession::restart() {
    _Close();
    start();
}

bool DrivenSession::period_running() const {
    auto running = Session::instance().workers();
    return running && running->timer.armed();
}

bool DrivenSession::run_out_period() {
    if (!period_running()) return false;
    clock_->advance(kPastEveryPeriod);
    if (!drive_timer()) fail("a running period never ran out");
    return true;
}

bool DrivenSession::read_link() { return drive_link_read(); }

void DrivenSession::end_step() {
    drive_delivery();
    Delivered &d = delivered();
    d.steps.push_back(std::move(d.current));
    d.current.clear();
}

std::vector<StepEvents> DrivenSession::flush() {
    drive_delivery();
    return std::exchange(delivered().steps, {});
}

}  // namespace velkor::fuzzing
