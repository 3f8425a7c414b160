#include "commands/serial_number.h"

#include "session/gates.h"
#include "commands/command_outcome.h"
#include "protocol/device_link.h"
#include "protocol/step_chain.h"
#include "model/wire_values.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"

namespace velkor {
namespace {

constexpr std::uint32_t kSerialLimit = 0x1000000;
constexpr std::size_t kWrsnLength = 5;

}  // namespace

std::uint32_t serial_number_word(std::uint32_t serial) {
    std::uint8_t bytes[4];
    store_be32(bytes, serial & 0xFFFFFFu);
    return std::uint32_t{ones_complement_checksum(bytes)} << 24 | (serial & 0xFFFFFFu);
}

int write_serial_number(Session &session, std::uint32_t serial) {
    auto ticket = standard_gate(session, kWrsn);
    if (!ticket) return 1;
    if (serial >= kSerialLimit) {
        session.command.end(*ticket);
        session.post(VELKOR_EV_ERROR, VELKOR_ERR_SERIAL_FORMAT);
        return 1;
    }
    start_step(session, *ticket, protocol::kOpWriteSerial, kWrsnPeriodMs, [&](protocol::ExchangeBuffers &buffers) {
        buffers.command[0] = protocol::kOpWriteSerial;
        store_be32(buffers.command.data() + 1, serial_number_word(serial));
        buffers.expect_command_echo(kWrsnLength);
        return kWrsnLength;
    });
    return 0;
}

void on_write_serial_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                            std::size_t length) {
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    post_echo_outcome(session, running, body, length, VELKOR_EV_WRSN);
}

void on_write_serial_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    post_timeout(running, VELKOR_EV_WRSN);
}

}  // namespace velkor
