// The device search: ask every present interface for its device report, and
// the repeated search that lists each round's count in a host string list.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Vevara_Rovo_dar.h"
#include "api/session.h"

namespace velkor {

struct SearchState {
    std::atomic<int> present_count{0};
    std::atomic<int> next_interface{0};
    std::atomic<int> connect_after_search{-1};
    std::atomic<int> scan_counter{-1};  // -1: no repeated search
    std::atomic<TStrings *> scan_list{nullptr};
};

SearchState &search_state();

int find_drovas(Session &session, int connect_after_search, int unit_ms);
int start_network_scanning(Session &session, TStrings *list);
int stop_network_scanning();
// Copies up to max entries of the last finished search's list; returns how
// many it holds (0 while a search runs: its entries are not complete yet).
int copy_found_devices(Session &session, TDROVAInfo *dst, int max);

void on_search_answer(Session &, const Ticket &, const std::uint8_t *body, std::size_t length);
void on_search_period_end(Session &, const Ticket &);

}  // namespace velkor
