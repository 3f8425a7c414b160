// Where the device search stands, and the repeated search it may belong to.
// Both belong to the session; the series lasts from the _StartNetworkScanning
// that started it to its last search.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "platform/usb_driver.h"

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

// One interface the search has asked, on a connection of its own, so that
// every interface is asked at once and none waits for another's answer.
struct SearchProbe {
    std::string path;
    std::shared_ptr<platform::UsbConnection> connection;
};

// Touched by the search in flight only, under the exchange guard.
struct SearchState {
    int present_count = 0;            // interfaces present when the search started
    std::vector<SearchProbe> probes;  // the interfaces asked, in member-index order
    bool probe_answered = false;      // the probe being read has given its entry
    int connect_after_search = -1;
    SearchSeries series;

    void close_probes() {
        for (SearchProbe &probe : probes) probe.connection->close();
        probes.clear();
    }
};

}  // namespace velkor
