#include "driven_session.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Vevara_Rovo_dar.h"
#include "session/timeout_dispatch.h"

namespace velkor::fuzzing {
namespace {

constexpr int kStepMarker = -1;
// Longer than any command's period.
constexpr std::uint32_t kPastEveryPeriod = 100000;
// Real time after which a delivery or a time-out counts as hung.
constexpr auto kHangLimit = std::chrono::seconds(20);

struct Delivered {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Event> events;
    int markers = 0;
    int periods_ended = 0;
};

Delivered &delivered() {
    static Delivered instance;
    return instance;
}

void VELKOR_CALL record_event(int a, int b) {
    Delivered &d = delivered();
    {
        std::lock_guard guard(d.lock);
        d.events.emplace_back(a, b);
        if (a == kStepMarker) ++d.markers;
    }
    d.changed.notify_all();
}

void on_period_end(std::uint32_t serial) {
    dispatch_timeout(serial);
    Delivered &d = delivered();
    {
        std::lock_guard guard(d.lock);
        ++d.periods_ended;
    }
    d.changed.notify_all();
}

}  // namespace

void fail(const char *what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

DrivenSession::DrivenSession() : clock_(std::make_shared<ManualClock>()) {
    set_clock(clock_);
    start();
}

DrivenSession::~DrivenSession() {
    _Close();
    set_clock(nullptr);
}

void DrivenSession::start() {
    if (_Initialize(record_event, nullptr, 0) != 0) fail("_Initialize refused");
    // The time-out handling stays the library's; the target only learns
    // when it has run.
    session().workers()->timer.install(on_period_end);
    std::lock_guard guard(delivered().lock);
    delivered().events.clear();
    delivered().markers = 0;
    marked_ = 0;
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
    Delivered &d = delivered();
    std::unique_lock guard(d.lock);
    const int before = d.periods_ended;
    clock_->advance(kPastEveryPeriod);
    if (!d.changed.wait_for(guard, kHangLimit, [&] { return d.periods_ended != before; }))
        fail("a running period never ran out");
    return true;
}

void DrivenSession::end_step() {
    ++marked_;
    session().post(kStepMarker, marked_);
}

std::vector<StepEvents> DrivenSession::flush() {
    Delivered &d = delivered();
    std::unique_lock guard(d.lock);
    if (!d.changed.wait_for(guard, kHangLimit, [&] { return d.markers >= marked_; }))
        fail("events were not delivered");
    std::vector<StepEvents> steps;
    StepEvents step;
    for (const Event &event : d.events) {
        if (event.first == kStepMarker) {
            steps.push_back(std::move(step));
            step.clear();
        } else {
            step.push_back(event);
        }
    }
    d.events = std::move(step);
    d.markers = 0;
    marked_ = 0;
    return steps;
}

}  // namespace velkor::fuzzing
