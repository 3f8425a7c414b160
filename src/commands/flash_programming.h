// Erasing flash sectors and downloading blocks of data into a memory area:
// each record of the download stream is addressed, sent in chunks and
// checksummed in the staging area N (the flash sector count), then, when the
// target is another area, programmed there and checksummed again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"

namespace velkor {

inline constexpr std::uint32_t kStepPeriodMs = 2000;
inline constexpr std::uint32_t kFlashPeriodMs = 30000;  // erase and program
inline constexpr std::size_t kMaxChunk = 480;           // header, opcode and chunk fill one frame

int erase(Session &session, std::uint8_t sector);
// Copies the host's blocks; the host may free its list once this returns.
int download(Session &session, int target, const TBinList *blocks);
int prg_data(Session &session, const BinBlock *block);
int program(Session &session, std::uint64_t address, int area);
int check_sum(Session &session, std::uint64_t address, std::uint32_t length, std::uint8_t checksum, int area);

// The gate of a download step that a host calls itself: the standard gate,
// also while a download runs (its own steps hand the command on without a
// gate, so a host call then would take over the command in flight). Passed,
// the step is a command of its own and whatever download came before is over.
std::optional<Ticket> step_gate(Session &session, int command);

// A step of a download succeeded: hands its command over to the next step
// and posts (event, 0). Nullopt when the step had already ended, or when the
// host asked the download to stop: then this step was its last.
std::optional<Ticket> pass_on(Session &session, Workers &running, const Ticket &ticket, int next_state, int event);

// For the address step: the download's continuation with the current
// record's data.
void send_download_data(Session &session, Workers &running, const Ticket &ticket);
// Asks the download that runs to stop once the step in flight has ended: 0,
// or 1 when no download runs.
int stop_download(Session &session);
// The connection a download runs on has ended under it (a reset): the step
// in flight ends with its failure pair, the download with (3,1), and nothing
// more is sent. Called holding the exchange.
void end_download_without_connection(Session &session, Workers &running);


void on_erase_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_erase_timeout(Session &, Workers &, const Ticket &);
void on_program_data_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_program_data_timeout(Session &, Workers &, const Ticket &);
void on_checksum_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_checksum_timeout(Session &, Workers &, const Ticket &);
void on_program_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_program_timeout(Session &, Workers &, const Ticket &);

}  // namespace velkor
