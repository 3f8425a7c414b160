#include "session/session.h"

#include <new>
#include <system_error>

#include "model/export_table.h"
#include "protocol/exchange.h"
#include "platform/platform.h"
#include "session/exchange_guard.h"
#include "session/timeout_dispatch.h"

namespace velkor {

Workers::Workers(std::uint64_t made_by, HostTarget target, std::shared_ptr<Clock> session_clock,
                 WorkerMode worker_mode)
    : generation(made_by),
      mode(worker_mode),
      clock(std::move(session_clock)),
      timer(clock, worker_mode),
      notifier(target, clock, worker_mode) {}

Session &Session::instance() {
    static Session session;
    return session;
}

Session::Session() { install_command_handlers(handlers_); }

std::uint32_t random_id_from_time_of_day(Clock &clock) {
    const platform::TimeOfDay now = clock.time_of_day();
    return std::uint32_t{now.minutes} | std::uint32_t{now.hours} << 8 | std::uint32_t{now.hundredths} << 16 |
           std::uint32_t{now.seconds} << 24;
}

std::uint32_t random_id_from_time_of_day() {
    SystemClock system;
    return random_id_from_time_of_day(system);
}

namespace {
// Receiver 0 of the link: blocks the link reads go to the response dispatcher.
void dispatch_link_block(int channel, const std::uint8_t *frame, std::uint32_t count) {
    protocol::dispatch_response(Session::instance(), static_cast<std::uint32_t>(channel), frame, count);
}
}  // namespace

int Session::initialize(HostCallback callback, void *window, unsigned message) {
    std::lock_guard life(lifecycle_);
    if (initialised_) return 1;  // one set of workers per session

    command.reset();
    const std::shared_ptr<Clock> clock = current_clock();
    random_id = random_id_from_time_of_day(*clock);

    std::shared_ptr<Workers> created;
    try {
        created = std::make_shared<Workers>(++generations_, HostTarget{callback, window, message}, clock,
                                            current_worker_mode());
    } catch (const std::bad_alloc &) {
    } catch (const std::system_error &) {
    }
    if (!created) {
        platform::show_startup_message("Not enough memory to initialize Velkor Control API!");
        return 1;
    }
    if (created->usb.Init(usb::kBlockSize) != 0) {
        platform::show_startup_message("An error occured while initializing UDP layer.");
        return 1;
    }
    if (created->usb.RegisterReceiver(0, dispatch_link_block) == nullptr) {
        platform::show_startup_message("Cannot register UDP port.");
        return 1;
    }
    try {
        created->usb.Start(protocol::read_link_block, created->generation, created->mode);
    } catch (const std::system_error &) {
        platform::show_startup_message("An error occured while initializing UDP layer.");
        return 1;
    }

    created->timer.install(dispatch_timeout);
    record_session_lists(created->flash_sectors.list_for_hosts(), &created->found_devices);
    {
        std::lock_guard guard(workers_lock_);
        workers_ = std::move(created);
    }
    initialised_ = true;
    return 0;
}

int Session::close() {
    std::shared_ptr<Workers> closing;
    {
        std::lock_guard life(lifecycle_);
        if (!initialised_) return 0;
        initialised_ = false;
        std::lock_guard guard(workers_lock_);
        closing = std::move(workers_);
        // The lists go with the workers: the export table must not keep them.
        record_session_lists(nullptr, nullptr);
        command.reset();
    }
    // A running callback is waited for, so that none runs once we return.
    // Not when we hold the exchange (called from a host's list callback
    // during a repeated search): the timer's thread, the link's loop and a
    // callback inside an export may all be waiting for us; each then ends on
    // its own once we let go, and no callback starts after this.
    const bool join = !ExchangeGuard::held_by_this_thread();
    // Delivery stops first, so that nothing still posting (a time-out handler
    // on the timer thread, a read on the link's thread) can wait for room in
    // the ring while we wait for it.
    closing->notifier.terminate(join);
    closing->timer.terminate(join);
    closing->usb.Stop(join);
    return 0;
}

std::shared_ptr<Workers> Session::workers() const {
    std::lock_guard guard(workers_lock_);
    return workers_;
}

namespace {
// A deferred pair reaches its own session only: dropped when that session
// has ended meanwhile, even if a newer one runs.
void post_to_session(std::uint64_t generation, int a, int b) {
    const auto running = Session::instance().workers();
    if (running && running->generation == generation) running->notifier.post(a, b);
}
}  // namespace

void Workers::post(int a, int b) {
    if (a == VELKOR_EV_ERROR && b == VELKOR_ERR_INVALID_ANSWER) return;
    if (ExchangeGuard::held_by_this_thread())
        ExchangeGuard::defer(post_to_session, generation, a, b);
    else
        notifier.post(a, b);
}

void Session::post(int a, int b) {
    if (auto running = workers()) running->post(a, b);
}

int Session::connection_state() const {
    const auto running = workers();
    return running ? running->connection.load() : kNotConnected;
}

void Session::restart_timer(const Ticket &ticket) {
    if (auto running = workers()) running->restart_timer(ticket);
}

void Session::arm_timer(std::uint32_t period_ms, const Ticket &ticket) {
    if (auto running = workers()) running->timer.arm(period_ms, ticket, command);
}

void end_failed_download(Workers &running) {
    if (!running.download.running()) return;
    running.post(VELKOR_EV_DOWNLOAD, 1);
    running.download.end();
}

}  // namespace velkor
