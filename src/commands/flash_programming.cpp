#include "commands/flash_programming.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <utility>

#include "session/gates.h"
#include "commands/command_outcome.h"
#include "protocol/device_link.h"
#include "commands/link_upkeep.h"
#include "protocol/step_chain.h"
#include "model/wire_values.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"

namespace velkor {
namespace {

constexpr std::size_t kRecordHeader = 8;  // address and length, big-endian
constexpr int kAreaWithoutEndRecord = 1;
constexpr std::size_t kMaxAreaNumber = 255;

void expect_echo(protocol::ExchangeBuffers &buffers, std::initializer_list<std::uint8_t> echo) {
    std::ranges::copy(echo, buffers.expected_echo.begin());
    buffers.echo_length = echo.size();
}

// The download stream cut into its records: per host block its address and
// length, then its data; then the end record (address 0, length 0) when
// asked for. Each record's address becomes its offset in the stream. Empty
// when the stream would not fit 32-bit offsets.
std::optional<std::deque<OwnedBlock>> download_records(const TBinList &blocks, bool end_record) {
    std::deque<OwnedBlock> records;
    std::uint64_t offset = 0;
    const auto add = [&](std::uint32_t address, std::span<const std::uint8_t> data) {
        const std::uint64_t length = kRecordHeader + data.size();
        if (offset + length > 0xFFFFFFFFu) return false;
        OwnedBlock &record = records.emplace_back();
        record.address = static_cast<std::uint32_t>(offset);
        std::uint8_t header[kRecordHeader];
        store_be32(header, address);
        store_be32(header + 4, static_cast<std::uint32_t>(data.size()));
        record.data.reserve(static_cast<std::size_t>(length));
        record.data.assign(header, header + kRecordHeader);
        record.data.insert(record.data.end(), data.data(), data.data() + data.size());
        offset += length;
        return true;
    };
    for (const OwnedBlock &block : blocks.blocks)
        if (!add(block.address, block.data)) return std::nullopt;
    if (end_record && !add(0, {})) return std::nullopt;
    return records;
}

// Puts the next chunk of the current block into the command bytes, adding it
// to the record's checksum on the way.
std::size_t load_next_chunk(Session &session, DownloadSequence &download) {
    const std::uint32_t length = download.current.length();
    const std::size_t chunk = std::min<std::size_t>(length - download.sent, kMaxChunk);
    auto &buffers = session.exchange;
    download.sent_sum.copy_and_add(buffers.command.data() + 1, {download.current.data.data() + download.sent, chunk});
    download.sent += static_cast<std::uint32_t>(chunk);
    buffers.expected_echo[0] = protocol::kOpProgramData;
    store_be32(buffers.expected_echo.data() + 1, static_cast<std::uint32_t>(chunk));
    buffers.echo_length = 5;
    return chunk;
}

void send_block_data(Session &session, const Ticket &ticket, DownloadSequence &download) {
    start_step(session, ticket, protocol::kOpProgramData, kStepPeriodMs, [&](protocol::ExchangeBuffers &) {
        download.sent = 0;
        download.sent_sum = {};
        return load_next_chunk(session, download) + 1;
    });
}

void send_checksum(Session &session, const Ticket &ticket, std::uint64_t place, std::uint32_t length,
                   std::uint8_t checksum) {
    start_step(session, ticket, protocol::kOpCheckSum, kStepPeriodMs, [&](protocol::ExchangeBuffers &buffers) {
        store_area_address(buffers.command.data() + 1, place);
        store_be32(buffers.command.data() + 6, length);
        expect_echo(buffers, {protocol::kOpCheckSum, checksum});
        return std::size_t{10};
    });
}

// The checksum of the current record in `area`: every byte of it has gone out
// in the data step's frames.
void send_record_checksum(Session &session, const Ticket &ticket, const DownloadSequence &download, int area) {
    send_checksum(session, ticket, area_address(download.current.address, area), download.current.length(),
                  download.sent_sum.checksum());
}

void send_program(Session &session, const Ticket &ticket, std::uint64_t place) {
    start_step(session, ticket, protocol::kOpProgram, kFlashPeriodMs, [&](protocol::ExchangeBuffers &buffers) {
        store_area_address(buffers.command.data() + 1, place);
        expect_echo(buffers, {protocol::kOpProgram, 0x00});
        return std::size_t{6};
    });
}

// An invalid answer ends the step and, so that no later call resumes a
// broken sequence, the download with it.
void fail_step(Session &session, Workers &running, const Ticket &ticket, int event) {
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    running.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
    running.post(event, 1);
    end_failed_download(running);
}

void time_out_step(Session &session, Workers &running, const Ticket &ticket, int event) {
    if (!session.command.end(ticket)) return;
    post_timeout(running, event);
    end_failed_download(running);
}

// A step's own success when no download runs: the command ends with it.
void finish_alone(Session &session, Workers &running, const Ticket &ticket, int event) {
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    running.post(event, 0);
}

}  // namespace

std::optional<Ticket> step_gate(Session &session, int command) {
    auto ticket = standard_gate(session, command);
    if (ticket) {
        ExchangeGuard guard(session.exchange_lock);
        if (auto running = session.workers()) running->download.end();
    }
    return ticket;
}

namespace {

// When the host has asked the download to stop, the step that has just ended
// is its last: the command ends with that step's (event, result), the
// download with (3,1). False when no stop was asked for.
bool end_stopped_download(Session &session, Workers &running, const Ticket &ticket, int event, int result) {
    if (!running.download.stopping) return false;
    if (!session.command.end(ticket)) return true;
    running.restart_timer(ticket);
    close_link();
    running.post(event, result);
    end_failed_download(running);
    return true;
}

}  // namespace

std::optional<Ticket> pass_on(Session &session, Workers &running, const Ticket &ticket, int next_state, int event) {
    if (end_stopped_download(session, running, ticket, event, 0)) return std::nullopt;
    auto next = session.command.hand_over(ticket, next_state);
    if (!next) return std::nullopt;
    running.restart_timer(*next);
    running.post(event, 0);
    return next;
}

void send_download_data(Session &session, Workers &running, const Ticket &ticket) {
    send_block_data(session, ticket, running.download);
}

// No lock: the host callback may ask while a step holds the exchange for as
// long as the device takes to answer.
int stop_download(Session &session) {
    const auto running = session.workers();
    if (!running || !running->download.running()) return 1;
    running->download.stopping = true;
    return 0;
}

void end_download_without_connection(Session &session, Workers &running) {
    if (!running.download.running()) return;
    const Ticket ticket = session.command.current();
    // Only one of its steps: while the download is still starting, _Download
    // itself finds its command gone and refuses.
    switch (ticket.state) {
    case kAddress:
    case kPrgData:
    case kCheckSum:
    case kProgram:
        break;
    default:
        return;
    }
    if (!session.command.end(ticket)) return;
    running.restart_timer(ticket);
    running.post(session.handlers()[static_cast<std::size_t>(ticket.state)].failure_event, 1);
    end_failed_download(running);
}

int erase(Session &session, std::uint8_t sector) {
    auto ticket = standard_gate(session, kErase);
    if (!ticket) return 1;
    start_step(session, *ticket, protocol::kOpErase, kFlashPeriodMs, [&](protocol::ExchangeBuffers &buffers) {
        expect_echo(buffers, {protocol::kOpErase, 0x00});
        buffers.command[1] = sector;
        return std::size_t{2};
    });
    return 0;
}

void on_erase_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                     std::size_t length) {
    if (!session.command.end(ticket)) return;
    close_link();
    running.restart_timer(ticket);
    post_echo_outcome(session, running, body, length, VELKOR_EV_ERASE);
}

void on_erase_timeout(Session &session, Workers &running, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    close_link();
    post_timeout(running, VELKOR_EV_ERASE);
}

int download(Session &session, int target, const TBinList *blocks) {
    // An area is one byte on the wire: a target beyond it would be cut to
    // its low byte and program an area the host never named.
    if (blocks == nullptr || target < 0 || target > static_cast<int>(kMaxAreaNumber)) return 1;
    auto ticket = standard_gate(session, kDownloadStart);
    if (!ticket) return 1;
    auto running = session.workers();
    const auto refuse = [&] {
        session.command.end(*ticket);
        return 1;
    };
    if (!running) return refuse();
    DownloadSequence &sequence = running->download;
    TAddress first{};
    {
        ExchangeGuard guard(session.exchange_lock);
        // The staging area is the sector count of the connected device's
        // flash as a complete reading gave it: a table that broke off, or one
        // of another device, would put the download into a sector of its own.
        const std::size_t staging = running->flash_sectors.complete_count_for(session.connected_device);
        if (staging == 0 || staging > kMaxAreaNumber || blocks->blocks.empty()) return refuse();
        std::optional<std::deque<OwnedBlock>> records;
        try {
            records = download_records(*blocks, target != kAreaWithoutEndRecord);
        } catch (const std::bad_alloc &) {
        }
        if (!records) return refuse();

        running->restart_timer(*ticket);
        open_link_to_connected_device(session, *running);
        sequence.end();
        sequence.target = target;
        sequence.staging = static_cast<int>(staging);
        sequence.remaining = static_cast<int>(records->size());
        sequence.current = std::move(records->front());
        records->pop_front();
        sequence.waiting = std::move(*records);
        first = {sequence.current.address, static_cast<std::uint8_t>(staging)};
    }
    const auto address_step = chained_gate(session, *ticket, kAddress);
    if (!address_step) {  // forgotten meanwhile (_DeviceClose)
        ExchangeGuard guard(session.exchange_lock);
        sequence.end();
        return 1;
    }
    send_address(session, *address_step, first);
    return 0;
}

int prg_data(Session &session, const BinBlock *block) {
    if (!readable(block)) return 1;
    auto ticket = step_gate(session, kPrgData);
    if (!ticket) return 1;
    auto running = session.workers();
    bool copied = false;
    if (running) {
        ExchangeGuard guard(session.exchange_lock);
        try {
            running->download.current = copy_block(*block);
            copied = true;
        } catch (const std::bad_alloc &) {
        }
    }
    if (!copied) {
        session.command.end(*ticket);
        return 1;
    }
    send_block_data(session, *ticket, running->download);
    return 0;
}

void on_program_data_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                            std::size_t length) {
    DownloadSequence &sequence = running.download;
    if (!answer_echoes(session, body, length)) return fail_step(session, running, ticket, VELKOR_EV_PRGDATA);
    if (sequence.sent < sequence.current.length()) {
        // Stopped between two chunks: the data step did not finish.
        if (sequence.running() && end_stopped_download(session, running, ticket, VELKOR_EV_PRGDATA, 1)) return;
        // The next chunk's send arms the timer for it.
        const auto next = session.command.hand_over(ticket, kPrgData);
        if (!next) return;
        const std::size_t chunk = load_next_chunk(session, sequence);
        run_step(session, {*next, protocol::kOpProgramData, chunk + 1, kStepPeriodMs});
        return;
    }
    if (!sequence.running()) return finish_alone(session, running, ticket, VELKOR_EV_PRGDATA);
    const auto next = pass_on(session, running, ticket, kCheckSum, VELKOR_EV_PRGDATA);
    if (!next) return;
    sequence.programmed = false;
    send_record_checksum(session, *next, sequence, sequence.staging);
}

void on_program_data_timeout(Session &session, Workers &running, const Ticket &ticket) {
    time_out_step(session, running, ticket, VELKOR_EV_PRGDATA);
}

int check_sum(Session &session, std::uint64_t address, std::uint32_t length, std::uint8_t checksum, int area) {
    auto ticket = step_gate(session, kCheckSum);
    if (!ticket) return 1;
    send_checksum(session, *ticket, address | area_address(0, area), length, checksum);
    return 0;
}

void on_checksum_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                        std::size_t length) {
    DownloadSequence &sequence = running.download;
    if (!answer_echoes(session, body, length)) return fail_step(session, running, ticket, VELKOR_EV_CHECKSUM);
    if (!sequence.running()) return finish_alone(session, running, ticket, VELKOR_EV_CHECKSUM);

    if (!sequence.programmed && sequence.target != sequence.staging) {
        const auto next = pass_on(session, running, ticket, kProgram, VELKOR_EV_CHECKSUM);
        if (!next) return;
        sequence.programmed = true;
        send_program(session, *next, area_address(sequence.current.address, sequence.target));
        return;
    }
    if (sequence.remaining == 1) {
        if (end_stopped_download(session, running, ticket, VELKOR_EV_CHECKSUM, 0)) return;
        if (!session.command.end(ticket)) return;
        running.restart_timer(ticket);
        running.post(VELKOR_EV_CHECKSUM, 0);
        close_link();
        running.post(VELKOR_EV_DOWNLOAD, 0);
        sequence.end();
        return;
    }
    const auto next = pass_on(session, running, ticket, kAddress, VELKOR_EV_CHECKSUM);
    if (!next) return;
    --sequence.remaining;
    sequence.current = std::move(sequence.waiting.front());
    sequence.waiting.pop_front();
    send_address(session, *next, {sequence.current.address, static_cast<std::uint8_t>(sequence.staging)});
}

void on_checksum_timeout(Session &session, Workers &running, const Ticket &ticket) {
    time_out_step(session, running, ticket, VELKOR_EV_CHECKSUM);
}

int program(Session &session, std::uint64_t address, int area) {
    auto ticket = step_gate(session, kProgram);
    if (!ticket) return 1;
    send_program(session, *ticket, address | area_address(0, area));
    return 0;
}

void on_program_answer(Session &session, Workers &running, const Ticket &ticket, const std::uint8_t *body,
                       std::size_t length) {
    DownloadSequence &sequence = running.download;
    if (!answer_echoes(session, body, length)) return fail_step(session, running, ticket, VELKOR_EV_PROGRAM);
    if (!sequence.running()) return finish_alone(session, running, ticket, VELKOR_EV_PROGRAM);
    const auto next = pass_on(session, running, ticket, kCheckSum, VELKOR_EV_PROGRAM);
    if (!next) return;
    send_record_checksum(session, *next, sequence, sequence.target);
}

void on_program_timeout(Session &session, Workers &running, const Ticket &ticket) {
    time_out_step(session, running, ticket, VELKOR_EV_PROGRAM);
}

}  // namespace velkor
