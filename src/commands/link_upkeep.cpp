#include "commands/link_upkeep.h"

#include <cstdlib>
#include <cstring>

#include "api/gates.h"
#include "commands/device_link.h"
#include "commands/flash_programming.h"
#include "commands/step_chain.h"
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
    {
        ExchangeGuard guard(session.exchange_lock);
        session.restart_timer();
        open_link_to_connected_device(session);
        auto &command = session.exchange.command;
        std::memcpy(command.data() + 1, &target, sizeof target);
        reverse_bytes(command.data() + 1, sizeof target);  // area first, then the address big-endian
        command[0] = protocol::kOpAddress;
        session.exchange.expect_command_echo(kAddressLength);
    }
    run_step(session, {ticket, protocol::kOpAddress, kAddressLength, kAddressPeriodMs});
}

int address(Session &session, TAddress target) {
    // Within a download the previous step left the state that lets the
    // address through without a test.
    auto ticket = sequence_step_gate(session, kAddress, {kDownloadStart, kCheckSum});
    if (!ticket) return 1;
    send_address(session, *ticket, target);
    return 0;
}

void on_address_answer(Session &session, const Ticket &ticket, const std::uint8_t *body, std::size_t length) {
    const bool valid = length == kAddressLength && protocol::echo_matches(session, body);
    if (valid && download_running(session)) {
        const auto next = session.command.hand_over(ticket, kPrgData);
        if (!next) return;
        session.restart_timer();
        session.post(VELKOR_EV_ADDRESS, 0);
        send_download_data(session, *next);
        return;
    }
    if (!session.command.end(ticket)) return;
    session.restart_timer();
    if (valid) {
        session.post(VELKOR_EV_ADDRESS, 0);
        return;
    }
    session.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
    session.post(VELKOR_EV_ADDRESS, 1);
    end_failed_download(session);
}

void on_address_timeout(Session &session, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    close_link(session);
    session.post(VELKOR_EV_ERROR, VELKOR_ERR_NOT_RESPONDING);
    session.post(VELKOR_EV_ADDRESS, 1);
    end_failed_download(session);
}

int comm_refresh(Session &session) {
    auto ticket = keepalive_gate(session, kKeepAlive);
    if (!ticket) return 1;
    ExchangeGuard guard(session.exchange_lock);
    session.restart_timer();
    open_link_to_connected_device(session);
    session.arm_timer(kKeepAlivePeriodMs, *ticket);
    protocol::send(session, protocol::kOpKeepAlive, 1);
    return 0;
}

void on_keepalive_answer(Session &session, const Ticket &ticket, const std::uint8_t *body, std::size_t length) {
    if (!session.command.end(ticket)) return;
    session.keepalive_failures = 3;
    session.restart_timer();
    if (length == 1 && body[0] == protocol::kOpKeepAlive) return;
    session.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
    count_keepalive_failure(session);
}

void on_keepalive_timeout(Session &session, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    count_keepalive_failure(session);
}

void device_close(Session &session) {
    if (!session.initialised()) return;
    session.command.reset();
    session.connection = kNotConnected;
    session.post(VELKOR_EV_DISCONNECT, 0);
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
