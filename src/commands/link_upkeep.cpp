#include "commands/link_upkeep.h"

#include <cstdlib>
#include <cstring>

#include "session/gates.h"
#include "commands/command_outcome.h"
#include "protocol/device_link.h"
#include "commands/flash_programming.h"
#include "protocol/step_chain.h"
#include "model/byte_order.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"
#include "session/timeout_dispatch.h"
#include "usb/Usblink.h"

namespace velkor {
namespace {

constexpr std::size_t kAddressLength = 6;
constexpr std::size_t kDevicePathSize = 260;

}  // namespace

void send_address(Session &session, const Ticket &ticket, TAddress target) {
    start_step(session, ticket, protocol::kOpAddress, kAddressPeriodMs, [&](protocol::ExchangeBuffers &buffers) {
        auto &command = buffers.command;
        std::memcpy(command.data() + 1, &target, sizeof target);
        reverse_bytes(command.data() + 1, sizeof target);  // area first, then the address big-endian
        command[0] = protocol::kOpAddress;
        buffers.expect_command_echo(kAddressLength);
        return kAddressLength;
    });
}

int address(Session &session, TAddress target) {
    auto ticket = step_gate(session, kAddress);
    if (!ticket) return 1;
    send_address(session, *ticket, target);
    return 0;
}

void on_address_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                       std::size_t length) {
    const bool valid = answer_echoes(session, body, length);
    if (valid && running.download.running()) {
        if (const auto next = pass_on(session, running, ticket, kPrgData, VELKOR_EV_ADDRESS))
            send_download_data(session, running, *next);
        return;
    }
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    post_echo_outcome(session, running, body, length, VELKOR_EV_ADDRESS);
    if (!valid) end_failed_download(running);
}

void on_address_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    close_link();
    post_timeout(running, VELKOR_EV_ADDRESS);
    end_failed_download(running);
}

int comm_refresh(Session &session) {
    auto ticket = keepalive_gate(session, kKeepAlive);
    if (!ticket) return 1;
    ExchangeGuard guard(session.exchange_lock);
    const auto running = workers_of(session, *ticket);
    if (!running) return 1;
    running->restart_timer(*ticket);
    open_link_to_connected_device(session, *running);
    session.arm_timer(kKeepAlivePeriodMs, *ticket);
    protocol::send(session, *running, protocol::kOpKeepAlive, 1);
    return 0;
}

void on_keepalive_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                         std::size_t length) {
    if (!session.command.end(ticket)) return;
    running.keepalive_failures = 3;
    running.restart_timer(ticket);
    if (length == 1 && body[0] == protocol::kOpKeepAlive) return;
    running.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
    count_keepalive_failure(running);
}

void on_keepalive_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    count_keepalive_failure(running);
}

void device_close(Session &session) {
    const auto running = session.workers();
    if (!running) return;
    session.command.reset();
    running->connection = kNotConnected;
    // The search it ended was the last of its series.
    running->search.series.counter = -1;
    {
        ExchangeGuard guard(session.exchange_lock);
        running->search.close_probes();
        // The download belongs to the connection: nothing of it may be
        // stopped, taken up or reported as lost on a later one.
        running->download.end();
    }
    running->post(VELKOR_EV_DISCONNECT, 0);
}

char *device_name() {
    // malloc, so that a C host can hand it to free().
    auto *name = static_cast<char *>(std::malloc(kDevicePathSize));
    if (name == nullptr) return nullptr;
    std::memcpy(name, usb::UsbCurrentDevicePath(), kDevicePathSize);
    name[kDevicePathSize - 1] = '\0';
    return name;
}

}  // namespace velkor
