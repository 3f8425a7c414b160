// Where the device search stands, and the repeated search it may belong to.
// Both belong to the session; the series lasts from the _StartNetworkScanning
// that started it to its last search.
#pragma once

#include <atomic>
#include <cstdint>

#include "Vevara_Rovo_dar.h"

namespace velkor {

struct SearchSeries {
    std::atomic<int> counter{-1};  // the number of the current search; -1: no series
    TStrings *list = nullptr;      // the host's list, valid while the series runs
    std::uint32_t search = 0;      // serial of the search the series is at

    bool drives(std::uint32_t serial) const { return counter.load() != -1 && search == serial; }
    void end() {
        counter = -1;
        list = nullptr;
    }
};

// Touched by the search in flight only, under the exchange guard.
struct SearchState {
    int present_count = 0;   // interfaces present when the search started
    int next_interface = 0;  // member index to ask next
    int connect_after_search = -1;
    SearchSeries series;
};

}  // namespace velkor
