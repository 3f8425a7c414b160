#include "commands/search.h"

#include <algorithm>
#include <span>
#include <string>

#include "session/gates.h"
#include "protocol/device_link.h"
#include "model/device_info.h"
#include "protocol/connect.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"
#include "usb/Usb.h"
#include "usb/Usblink.h"
#include "usb/usb_backend.h"

namespace velkor {
namespace {

constexpr std::size_t kSearchAnswerLength = 1 + kDeviceReportSize;  // 89
constexpr int kScanUnitMs = 5;
constexpr int kLastScan = 65535;
constexpr std::uint32_t kStatusConnectedHere = 3;

// Asks every present interface at once, each on a connection of its own: a
// device that is slow to answer, silent or held by another host costs no other
// device its turn. The answers are read when the search's period has run out.
void ask_every_interface(Session &session, Workers &running, SearchState &search) {
    protocol::ExchangeBuffers &buffers = session.exchange;
    buffers.command[0] = protocol::kOpDeviceQuery;
    protocol::build_frame(buffers.command.data(), 1, buffers.frame.data());
    const auto backend = usb::select_usb_backend();
    char path[usb::kPathSize];
    for (int member = 0; member < search.present_count && member < usb::kMemberIndexes; ++member) {
        if (usb::UsbGetDevicePath(backend.get(), member, path, usb::kPathSize, nullptr) != usb::kPathFound) continue;
        std::shared_ptr<platform::UsbConnection> connection = backend->open(path);
        if (!connection) continue;
        if (running.usb.Send(connection.get(), buffers.frame.data(), protocol::kFrameSize) != 0) {
            connection->close();
            continue;
        }
        search.probes.push_back({path, std::move(connection)});
    }
}

// Reads what each asked interface has answered, in member-index order; its
// first well-formed answer becomes its entry.
void read_answers(Session &session, Workers &running, SearchState &search) {
    for (const SearchProbe &probe : search.probes) {
        usb::record_probed_path(probe.path.c_str());
        search.probe_answered = false;
        for (std::uint32_t read = 0; read < platform::kMostQueuedBlocks && !search.probe_answered; ++read)
            if (!protocol::receive_from(session, running, probe.connection.get())) break;
    }
    search.close_probes();
}

// One search from its first query: `ticket` is already in the search state.
// 0 when an interface is present.
int run_search(Session &session, Workers &running, const Ticket &ticket, int connect_after_search,
               int unit_ms) {
    SearchState &search = running.search;
    search.present_count = usb::UsbCountDevices();
    running.restart_timer(ticket);
    running.found_devices.clear();
    search.close_probes();
    search.connect_after_search = connect_after_search;
    // A negative unit would wrap to a period of weeks.
    const auto unit = static_cast<std::uint32_t>(unit_ms < 0 ? 0 : unit_ms);
    running.timer.arm(2 * unit, ticket, session.command);
    ask_every_interface(session, running, search);
    return search.present_count > 0 ? 0 : 1;
}

// The gate, then the search; `start_series` runs once the gate has let it
// through and the session is known to run.
template <class StartSeries>
int begin_search(Session &session, int connect_after_search, int unit_ms, StartSeries &&start_series) {
    auto ticket = search_gate(session, kSearch);
    if (!ticket) return 1;
    ExchangeGuard guard(session.exchange_lock);
    const auto running = workers_of(session, *ticket);
    if (!running) return 1;
    start_series(running->search.series, *ticket);
    return run_search(session, *running, *ticket, connect_after_search, unit_ms);
}

void add_scan_line(const SearchSeries &series, std::size_t found, int scan) {
    TStrings *list = series.list;
    if (list == nullptr || list->add == nullptr) return;
    const std::string line = std::to_string(found) +
                             (found == 1 ? " HW Device found on UDP port " : " HW Devices found on UDP port ") +
                             std::to_string(scan);
    list->add(list->context, line.c_str());
}

// The series moves on to its next search with the command still in flight,
// so that no host call can take it in between. False when the series ends
// with this search (stopped, or its last).
bool continue_series(Session &session, Workers &running, const Ticket &ticket) {
    SearchSeries &series = running.search.series;
    if (!series.drives(ticket.serial)) return false;
    int scan = series.counter;
    if (!running.found_devices.empty()) add_scan_line(series, running.found_devices.size(), scan);
    // A stop that lands meanwhile (even from the host's line callback) must
    // not be overwritten: the series then ends with this search.
    if (scan >= kLastScan || !series.counter.compare_exchange_strong(scan, scan + 1)) {
        series.end();
        return false;
    }
    const auto next = session.command.hand_over(ticket, kSearch);
    if (!next) {
        series.end();
        return true;  // ended meanwhile (_DeviceClose): nothing more to report
    }
    series.search = next->serial;
    run_search(session, running, *next, -1, kScanUnitMs);
    return true;
}

}  // namespace

int find_drovas(Session &session, int connect_after_search, int unit_ms) {
    // A search of its own: any series before it is over.
    return begin_search(session, connect_after_search, unit_ms, [](SearchSeries &series, const Ticket &) { series.end(); });
}

int start_network_scanning(Session &session, TStrings *list) {
    if (list == nullptr) return 1;
    // Armed only once the first search has passed its gate: a refused start
    // leaves no series behind to take over a later search.
    return begin_search(session, -1, kScanUnitMs, [list](SearchSeries &series, const Ticket &first) {
        series.list = list;
        series.search = first.serial;
        series.counter = 0;
        if (list->clear != nullptr) list->clear(list->context);
    });
}

int stop_network_scanning(Session &session) {
    if (auto running = session.workers()) running->search.series.counter = -1;
    return 0;
}

int copy_found_devices(Session &session, TDROVAInfo *dst, int max) {
    ExchangeGuard guard(session.exchange_lock);
    auto running = session.workers();
    if (!running || session.command.state() == kSearch) return 0;
    const auto &found = running->found_devices;
    const std::size_t copied = (dst == nullptr || max < 1) ? 0 : std::min(found.size(), static_cast<std::size_t>(max));
    for (std::size_t i = 0; i < copied; ++i) dst[i] = found[i];
    return static_cast<int>(found.size());
}

void on_search_answer(Session &, Workers &running, const Ticket &, const std::uint8_t *body, std::size_t length) {
    SearchState &search = running.search;
    // An answer of another length is no entry; the interface may still give
    // a well-formed one behind it.
    if (length != kSearchAnswerLength || search.probe_answered) return;
    const char *path = usb::UsbCurrentDevicePath();
    running.found_devices.emplace(
        make_found_entry(std::span<const std::uint8_t, kDeviceReportSize>(body + 1, kDeviceReportSize), path));
    search.probe_answered = true;
}

void on_search_period_end(Session &session, Workers &running, const Ticket &ticket) {
    read_answers(session, running, running.search);
    close_link();
    if (continue_series(session, running, ticket)) return;
    if (!session.command.end(ticket)) return;
    auto &found = running.found_devices;
    if (found.empty()) {
        running.post(VELKOR_EV_SEARCH, 1);
        return;
    }
    for (TDROVAInfo &entry : found) {
        found_entry_to_host_order(entry);
        // The device reports that this host holds it: keep its link open.
        // Found by path, since a silent interface before it shifts positions.
        if (entry.status == kStatusConnectedHere && running.connection == kConnected)
            reopen_link(usb::UsbListedIndex(entry.devicePath));
    }
    running.post(VELKOR_EV_SEARCH, 0);
    if (running.connection == kNotConnected && running.search.connect_after_search != -1) {
        const auto serial = static_cast<int>(found[found.size() - 1].serialNumber);
        if (protocol::connect(session, serial, 0, 0) != 0) running.post(VELKOR_EV_CONNECT, 1);
    }
}

}  // namespace velkor
