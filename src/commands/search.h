// The device search: ask every present interface for its device report, and
// the repeated search that lists each round's count in a host string list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"

namespace velkor {

int find_drovas(Session &session, int connect_after_search, int unit_ms);
int start_network_scanning(Session &session, TStrings *list);
int stop_network_scanning(Session &session);
// Copies up to max entries of the last finished search's list; returns how
// many it holds (0 while a search runs: its entries are not complete yet).
int copy_found_devices(Session &session, TDROVAInfo *dst, int max);

void on_search_answer(Session &, Workers &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_search_period_end(Session &, Workers &, const Ticket &);

}  // namespace velkor
