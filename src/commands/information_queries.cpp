#include "commands/information_queries.h"

#include <cstring>
#include <span>
#include <string_view>

#include "session/gates.h"
#include "commands/command_outcome.h"
#include "protocol/device_link.h"
#include "protocol/step_chain.h"
#include "model/byte_order.h"
#include "model/device_info.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"

namespace velkor {
namespace {

constexpr std::size_t kReadInfoAnswerLength = 1 + sizeof(TDROVAInfo);
constexpr std::size_t kFlashFrameHeader = 2;  // answer code, sector count
constexpr std::size_t kAppInfoAnswerLength = 1 + kInfoBlockSize;

// A query without payload.
void send_query(Session &session, const Ticket &ticket, std::uint8_t opcode) {
    start_step(session, ticket, opcode, kQueryPeriodMs, [](protocol::ExchangeBuffers &) { return std::size_t{1}; });
}

}  // namespace

int read_info(Session &session) {
    auto ticket = standard_gate(session, kReadInfo);
    if (!ticket) return 1;
    send_query(session, *ticket, protocol::kOpDeviceQuery);
    return 0;
}

void on_read_info_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                         std::size_t length) {
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    if (length != kReadInfoAnswerLength) {
        running.post(VELKOR_EV_READINFO, 1);
        return;
    }
    // Readers take this record in host order, like a found-list entry, and
    // the path is the one of the interface this library reaches it through.
    TDROVAInfo &record = session.connected_device;
    const std::string_view path(record.devicePath, strnlen(record.devicePath, sizeof record.devicePath));
    TDROVAInfo updated =
        make_found_entry(std::span<const std::uint8_t, kDeviceReportSize>(body + 1, kDeviceReportSize), path);
    found_entry_to_host_order(updated);
    record = updated;
    running.post(VELKOR_EV_READINFO, 0);
}

int copy_flash_sectors(Session &session, void *dst, int max) {
    ExchangeGuard guard(session.exchange_lock);
    const auto running = session.workers();
    if (!running || session.command.state() == kFlashInfo) return 0;
    const std::size_t room = max > 0 ? static_cast<std::size_t>(max) : 0;
    return static_cast<int>(running->flash_sectors.copy_blocks(static_cast<std::uint8_t *>(dst), room));
}

int flash_table_complete(Session &session) {
    const auto running = session.workers();
    return running && running->flash_sectors.complete_count_for(session.connected_device) > 0 ? 1 : 0;
}

void on_read_info_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    running.post(VELKOR_EV_READINFO, 1);
}

int flash_info(Session &session) {
    auto ticket = standard_gate(session, kFlashInfo);
    if (!ticket) return 1;
    {
        ExchangeGuard guard(session.exchange_lock);
        if (auto running = session.workers()) running->flash_sectors.begin_reading(session.connected_device);
    }
    send_query(session, *ticket, protocol::kOpFlashInfo);
    return 0;
}

void on_flash_info_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                          std::size_t length) {
    if (length < kFlashFrameHeader + kInfoBlockSize || (length - kFlashFrameHeader) % kInfoBlockSize != 0) {
        if (!session.command.end(ticket)) return;
        running.restart_timer(ticket);
        running.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
        running.post(VELKOR_EV_FLASHINFO, 1);
        close_link();
        return;
    }
    FlashSectorList &sectors = running.flash_sectors;
    const std::size_t announced = body[1];
    const std::span<const std::uint8_t> blocks(body + kFlashFrameHeader, length - kFlashFrameHeader);
    if (sectors.size() + blocks.size() / kInfoBlockSize == announced) {
        if (!session.command.end(ticket)) return;
        sectors.add_frame(announced, blocks);
        running.restart_timer(ticket);
        close_link();
        running.post(VELKOR_EV_FLASHINFO, 0);
        return;
    }
    const auto next = session.command.hand_over(ticket, kFlashInfo);
    if (!next) return;
    // The next frame answers the query this step reads on after.
    session.exchange.awaiting_serial = next->serial;
    sectors.add_frame(announced, blocks);
    // Each frame gets its own period; the next one is read once this
    // handler has returned.
    running.timer.arm(kQueryPeriodMs, *next, session.command);
    run_step(session, {*next, kReadNextFrame});
}

void on_flash_info_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    close_link();
    post_timeout(running, VELKOR_EV_FLASHINFO);
}

int app_info(Session &session, std::uint32_t id) {
    auto ticket = standard_gate(session, kAppInfo);
    if (!ticket) return 1;
    start_step(session, *ticket, protocol::kOpAppInfo, kQueryPeriodMs, [&](protocol::ExchangeBuffers &buffers) {
        store_be32(buffers.command.data() + 1, id);
        return std::size_t{5};
    });
    return 0;
}

void on_app_info_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                        std::size_t length) {
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    if (length == kAppInfoAnswerLength) {
        running.application_info.assign(std::span<const std::uint8_t, kInfoBlockSize>(body + 1, kInfoBlockSize));
        running.post(VELKOR_EV_APPINFO, 0);
        return;
    }
    // A single byte is the device declining; any other answer is malformed.
    if (length != 1 || body[0] != protocol::kOpAppInfo) running.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
    running.post(VELKOR_EV_APPINFO, 1);
}

void on_app_info_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    post_timeout(running, VELKOR_EV_APPINFO);
}

}  // namespace velkor
