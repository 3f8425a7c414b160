// Reading the connected device's information block, its flash sector table
// and the information block of one application.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/session.h"

namespace velkor {

inline constexpr std::uint32_t kQueryPeriodMs = 2000;

int read_info(Session &session);
int flash_info(Session &session);
int app_info(Session &session, std::uint32_t id);
// Copies up to max 168-byte blocks of the flash sector table as received;
// returns how many it holds (0 without a session and while _FlashInfo runs).
int copy_flash_sectors(Session &session, void *dst, int max);
// 1 when the last _FlashInfo for the connected device received every sector
// it announced.
int flash_table_complete(Session &session);

void on_read_info_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_read_info_timeout(Session &, Workers &, const Ticket &);
void on_flash_info_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_flash_info_timeout(Session &, Workers &, const Ticket &);
void on_app_info_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_app_info_timeout(Session &, Workers &, const Ticket &);

}  // namespace velkor
