#include "commands/application_control.h"

#include <array>
#include <span>

#include "session/error_text.h"
#include "session/gates.h"
#include "commands/command_outcome.h"
#include "commands/flash_programming.h"
#include "protocol/device_link.h"
#include "protocol/step_chain.h"
#include "model/byte_order.h"
#include "model/fos_functions.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"

namespace velkor {
namespace {

constexpr std::size_t kStartAnswerLength = 9;  // code, result, feature set
constexpr std::uint32_t kResultStarted = 8;
constexpr std::uint32_t kLastRefusal = 7;
// Starting this application hands the device over: the connection ends.
constexpr std::uint32_t kApplicationEndingConnection = 10;
constexpr std::size_t kAutoStartLength = 5;

}  // namespace

int start_app(Session &session, std::uint32_t id) {
    auto ticket = standard_gate(session, kStartApp);
    if (!ticket) return 1;
    {
        ExchangeGuard guard(session.exchange_lock);
        const auto running = workers_of(session, *ticket);
        if (!running) return 1;
        running->restart_timer(*ticket);
        firmware_features().clear();
        store_be32(session.exchange.command.data() + 1, id);
        running->started_application = id;
        reopen_link_to_connected_device(session, *running);
    }
    run_step(session, {*ticket, protocol::kOpStartApp, 5, kApplicationPeriodMs});
    return 0;
}

void on_start_app_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                         std::size_t length) {
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    close_link();
    if (length != kStartAnswerLength) {
        running.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
        running.post(VELKOR_EV_STARTAPP, 1);
        return;
    }
    const std::uint32_t result = load_be32(body + 1);
    if (result == kResultStarted) {
        firmware_features().assign(std::span<const std::uint8_t, 4>(body + 5, 4));
        running.post(VELKOR_EV_STARTAPP, 0);
        if (running.started_application == kApplicationEndingConnection) {
            running.connection = kNotConnected;
            running.post(VELKOR_EV_DISCONNECT, 0);
        }
        return;
    }
    if (result <= kLastRefusal) {
        // In place before the host can see the event that sends it looking.
        set_application_start_error(static_cast<int>(result));
        running.post(VELKOR_EV_ERROR, VELKOR_ERR_APPLICATION);
    } else {
        running.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
    }
    running.post(VELKOR_EV_STARTAPP, 1);
}

void on_start_app_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    close_link();
    post_timeout(running, VELKOR_EV_STARTAPP);
}

int auto_start(Session &session, std::uint32_t id) {
    auto ticket = standard_gate(session, kAutoStart);
    if (!ticket) return 1;
    start_step(session, *ticket, protocol::kOpAutoStart, kApplicationPeriodMs, [&](protocol::ExchangeBuffers &buffers) {
        buffers.command[0] = protocol::kOpAutoStart;
        store_be32(buffers.command.data() + 1, id);
        buffers.expect_command_echo(kAutoStartLength);
        return kAutoStartLength;
    });
    return 0;
}

void on_auto_start_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                          std::size_t length) {
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    post_echo_outcome(session, running, body, length, VELKOR_EV_AUTOSTART);
}

void on_auto_start_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    post_timeout(running, VELKOR_EV_AUTOSTART);
}

int reset_device(Session &session) {
    // Without a session there is no one to tell; the call is refused.
    const auto running = session.workers();
    if (!running) return 1;
    {
        // The timer is left alone: restarting it would disarm the period of
        // a command still in flight, which would then never end.
        ExchangeGuard guard(session.exchange_lock);
        // Only a device this host holds is reset: after its release the
        // device may belong to another host.
        const int state = running->connection;
        if (state == kConnected || state == kDisconnecting) {
            open_link_to_connected_device(session, *running);
            // A frame of its own: the command buffer may hold a step of a
            // download that another thread has prepared and not yet sent.
            // No answer is awaited; one that comes is dropped before the next
            // command's frame goes out.
            const std::uint8_t command[] = {protocol::kOpReset, protocol::kOpReset};
            std::array<std::uint8_t, protocol::kFrameSize> frame{};
            protocol::build_frame(command, sizeof command, frame.data());
            running->usb.Send(frame.data(), protocol::kFrameSize);
        }
        running->connection = kNotConnected;
        running->post(VELKOR_EV_DISCONNECT, 0);
        // A download goes no further on a device that is resetting, and may
        // not be taken up again on the next connection.
        end_download_without_connection(session, *running);
    }
    return 0;
}

}  // namespace velkor
