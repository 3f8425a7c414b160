// The one session of the process: its values, its workers, and the handlers
// that the command state selects.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Vevara_Rovo_dar.h"
#include "session/download_sequence.h"
#include "session/search_state.h"
#include "model/flash_sector_list.h"
#include "model/var_list.h"
#include "protocol/exchange.h"
#include "session/clock.h"
#include "session/command_state.h"
#include "session/notify_thread.h"
#include "session/static_timer.h"
#include "session/worker_mode.h"
#include "usb/Usblink.h"

namespace velkor {

class Session;

// Command states (the command in flight); kIdle (16) when none.
enum CommandId : int {
    kErase = 0,
    kProgram = 1,
    kCheckSum = 2,
    kPrgData = 3,
    kDownloadStart = 4,
    kAddress = 5,
    kWrsn = 6,
    kFlashInfo = 7,
    kAutoStart = 8,
    kAppInfo = 9,
    kStartApp = 10,
    kConnect = 11,
    kDisconnect = 12,
    kSearch = 13,
    kKeepAlive = 14,
    kReadInfo = 15,
};

enum ConnectionState : int { kNotConnected = 0, kConnecting = 1, kDisconnecting = 2, kConnected = 3 };

struct Workers;

// A response handler gets the answer body (code byte first) of the command
// `ticket`; a time-out handler runs when that command's period ran out. Each
// must end the command through the ticket, so only one of them does. Both act
// on the workers of the session the command belongs to, never on a later one.
using ResponseHandler = void (*)(Session &, Workers &, const Ticket &ticket, const std::uint8_t *body,
                                 std::size_t length);
using TimeoutHandler = void (*)(Session &, Workers &, const Ticket &ticket);

struct CommandHandlers {
    ResponseHandler response = nullptr;
    TimeoutHandler timeout = nullptr;
    int failure_event = -1;  // a: the command's own (a,1) when it fails; -1: it has none
};
using HandlerTable = std::array<CommandHandlers, kIdle>;

// Filled in by the command subsystems.
void install_command_handlers(HandlerTable &table);

// The session: everything that lives from _Initialize to _Close. Exports and
// handlers hold a reference while they run, so a concurrent _Close never pulls
// it away underneath, and whatever they still do lands in their own session.
struct Workers {
    Workers(std::uint64_t generation, HostTarget target, std::shared_ptr<Clock> clock, WorkerMode mode);

    // Queues an event pair for this session's host; once the session has
    // ended, it is dropped.
    void post(int a, int b);
    // Disarms the command timer on behalf of `ticket`'s command.
    void restart_timer(const Ticket &ticket) { timer.restart(ticket.serial); }

    const std::uint64_t generation;  // which _Initialize made it
    const WorkerMode mode;
    FlashSectorList flash_sectors;      // one device's, filled by _FlashInfo
    TVarList<TDROVAInfo> found_devices;  // filled by the device search
    usb::TUSBThread usb;                 // suspended; never runs while initialised
    TCInfoField application_info;        // filled by _AppInfo
    DownloadSequence download;           // the records of the last _Download
    SearchState search;
    std::atomic<std::uint32_t> started_application{0};  // the id of the last accepted _StartApp

    std::atomic<int> connection{kNotConnected};
    std::atomic<int> connected_member{-1};   // where the connected device was last found
    std::atomic<int> missed_responses{3};    // time-outs left before the link counts as lost
    std::atomic<int> keepalive_failures{3};  // of the connection held; each starts at 3

    std::shared_ptr<Clock> clock;
    TStaticTimer timer;
    TNotifyThread notifier;
};

class Session {
public:
    static Session &instance();

    int initialize(HostCallback callback, void *window, unsigned message);
    int close();

    bool initialised() const { return initialised_.load(); }
    std::shared_ptr<Workers> workers() const;

    // Queues an event pair for the host; dropped when no session runs.
    void post(int a, int b);
    // The connection state; not connected without a session.
    int connection_state() const;

    void restart_timer(const Ticket &ticket);
    void arm_timer(std::uint32_t period_ms, const Ticket &ticket);

    const HandlerTable &handlers() const { return handlers_; }

    // Held (through ExchangeGuard) by whatever uses the link and the frame
    // buffers: a command export after its gate, a time-out, a read.
    std::recursive_mutex exchange_lock;
    protocol::ExchangeBuffers exchange;

    CommandState command{0};  // 0 at load; idle from _Initialize on
    std::atomic<std::uint32_t> random_id{0};
    TDROVAInfo connected_device{};
    std::array<std::uint32_t, 4> connect_error{};

private:
    Session();

    std::mutex lifecycle_;  // serialises _Initialize and _Close, never held while waiting
    mutable std::mutex workers_lock_;
    std::shared_ptr<Workers> workers_;
    std::atomic<bool> initialised_{false};
    std::uint64_t generations_ = 0;
    HandlerTable handlers_{};
};

// Ends a download that runs with (3,1): one of its steps failed, or the link
// it ran on was lost.
void end_failed_download(Workers &running);

// The random identifier: minutes, hours, hundredths, seconds in memory order,
// of the time of day on the system's clock or on `clock`.
std::uint32_t random_id_from_time_of_day();
std::uint32_t random_id_from_time_of_day(Clock &clock);

}  // namespace velkor
