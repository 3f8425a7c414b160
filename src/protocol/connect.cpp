#include "protocol/connect.h"

#include <cstring>

#include "session/gates.h"
#include "protocol/device_link.h"
#include "protocol/step_chain.h"
#include "model/byte_order.h"
#include "model/fos_functions.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"
#include "usb/Usb.h"
#include "usb/Usblink.h"

namespace velkor::protocol {
namespace {

constexpr std::uint32_t kNoSerialNumber = 0xFFFFFF;
constexpr std::size_t kRefusalLength = 17;

void forget_connected_device(Session &session, Workers &running) {
    std::memset(&session.connected_device, 0, sizeof session.connected_device);
    running.connected_member = -1;
}

// The device accepted: a connection of its own begins, and the flash table of
// any other device is no picture of this one.
void begin_connection(Session &session, Workers &running) {
    running.keepalive_failures = 3;
    running.connection = kConnected;
    running.flash_sectors.keep_only_for(session.connected_device);
}

void store_connect_error(Session &session, const std::uint8_t *record) {
    for (std::size_t word = 0; word < 3; ++word) session.connect_error[word] = load_be32(record + 4 * word);
    std::memcpy(&session.connect_error[3], record + 12, 4);
}

}  // namespace

void build_connect_request(std::uint8_t *command, std::uint8_t mode, std::uint32_t random_id) {
    command[1] = mode;
    std::memcpy(command + 2, &random_id, 4);  // memory order: minutes, hours, hundredths, seconds
    const std::uint32_t length = kConnectRequestLength;
    command[6] = static_cast<std::uint8_t>(length);
    command[7] = static_cast<std::uint8_t>(length >> 8);
    command[8] = 0;
    command[9] = 0;
    for (std::size_t k = 10; k < kConnectRequestLength; ++k) command[k] = static_cast<std::uint8_t>(k);
}

int connect(Session &session, int serial_number, int list_index, std::uint8_t mode) {
    auto ticket = connect_gate(session, kConnect);
    if (!ticket) return 1;
    ExchangeGuard guard(session.exchange_lock);
    auto running = session.workers();
    // A refusal after the gate leaves the session as it found it.
    auto refuse = [&](int error) {
        session.post(VELKOR_EV_ERROR, error);
        session.command.end(*ticket);
        return 1;
    };
    if (!running) return refuse(VELKOR_ERR_NOT_INITIALISED);

    const auto &found = running->found_devices;
    const bool index_in_list = list_index >= 0 && static_cast<std::size_t>(list_index) < found.size();
    bool matched = false;
    for (const TDROVAInfo &entry : found) {
        if (entry.serialNumber == kNoSerialNumber) continue;
        if (entry.serialNumber == static_cast<std::uint32_t>(serial_number)) {
            session.connected_device = entry;
            matched = true;
            break;
        }
        if (index_in_list) session.connected_device = found[static_cast<std::size_t>(list_index)];
    }
    if (!matched) return refuse(VELKOR_ERR_NO_SUCH_DEVICE);
    if (!_IsInSubnet(&session.connected_device)) return refuse(VELKOR_ERR_OTHER_SUBNET);
    if (!is_compatible_fos_ifc_version(session.connected_device.fosIfcVersion)) return refuse(VELKOR_ERR_FOS_VERSION);

    session.restart_timer(*ticket);
    running->connection = kConnecting;
    session.random_id = random_id_from_time_of_day(*running->clock);

    ExchangeBuffers &buffers = session.exchange;
    build_connect_request(buffers.command.data(), mode, session.random_id);
    close_link();
    const int member = usb::UsbFindDeviceIndex(session.connected_device.devicePath);
    usb::LinkOpen(member);
    send(session, *running, kOpConnect, kConnectRequestLength);
    running->connected_member = member;
    session.arm_timer(kConnectPeriodMs, *ticket);
    return 0;
}

void on_connect_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                       std::size_t length) {
    // The device is busy: the connect stays in flight, so that its real
    // answer or its time-out ends it. That answer may already stand queued
    // right behind this one, and is read at once; left there, the next frame
    // would drop it as stale.
    if (length > 0 && body[0] == kOpDeviceQuery) {
        run_step(session, {ticket, kReadNextFrame});
        return;
    }
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    const std::uint8_t code = length > 0 ? body[0] : 0;

    const std::uint32_t id = session.random_id;
    if (code == kOpConnectAck && length >= 5 && std::memcmp(body + 1, &id, 4) == 0) {
        begin_connection(session, running);
        send(session, running, kOpConnectAck, 5);
        if (session.connected_device.serialNumber != 0) close_link();
        running.post(VELKOR_EV_CONNECT, 0);
        return;
    }
    // Refused or malformed: the link is let go, so that the device is free
    // for whichever host it does accept.
    running.connection = kNotConnected;
    close_link();
    if (length == kRefusalLength && code == kAnswerRefused) {
        store_connect_error(session, body + 1);
        forget_connected_device(session, running);
        running.post(VELKOR_EV_ERROR, VELKOR_ERR_OTHER_HOST);
        running.post(VELKOR_EV_CONNECT, 1);
        return;
    }
    forget_connected_device(session, running);
    running.post(VELKOR_EV_CONNECT, 1);
}

void on_connect_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    running.connection = kNotConnected;
    std::memset(&session.connected_device, 0, sizeof session.connected_device);
    running.post(VELKOR_EV_ERROR, VELKOR_ERR_NOT_RESPONDING);
    running.post(VELKOR_EV_CONNECT, 1);
    close_link();
    running.connected_member = -1;
}

int disconnect(Session &session) {
    auto ticket = standard_gate(session, kDisconnect);
    if (!ticket) return 1;
    ExchangeGuard guard(session.exchange_lock);
    const auto running = workers_of(session, *ticket);
    if (!running) return 1;
    session.restart_timer(*ticket);
    running->connection = kDisconnecting;
    reopen_link_to_connected_device(session, *running);
    session.arm_timer(kDisconnectPeriodMs, *ticket);
    send(session, *running, kOpDisconnect, 1);
    return 0;
}

void on_disconnect_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                          std::size_t length) {
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    const std::uint8_t code = length > 0 ? body[0] : 0;
    if (length == kRefusalLength && code == kAnswerRefused) {
        store_connect_error(session, body + 1);
        running.connection = kConnected;
        running.post(VELKOR_EV_ERROR, VELKOR_ERR_CANT_DISCONNECT);
        running.post(VELKOR_EV_DISCONNECT, 1);
        close_link();
    } else if (length == 1 && code == kOpDisconnectAck) {
        running.connection = kNotConnected;
        send(session, running, kOpDisconnectAck, 1);
        close_link();
        running.post(VELKOR_EV_DISCONNECT, 0);
    } else {
        running.connection = kConnected;
        if (length != 1) running.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
        running.post(VELKOR_EV_DISCONNECT, 1);
        close_link();
    }
}

void on_disconnect_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    // A reset or a forgotten connection ended it meanwhile: the device is not
    // connected, whatever it failed to answer, and the disconnect is done.
    if (running.connection == kNotConnected) {
        running.post(VELKOR_EV_DISCONNECT, 0);
        return;
    }
    running.connection = kConnected;
    running.post(VELKOR_EV_DISCONNECT, 1);
    close_link();
}

}  // namespace velkor::protocol
