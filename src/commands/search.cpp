#include "commands/search.h"

#include <algorithm>
#include <span>
#include <string>

#include "api/gates.h"
#include "commands/device_link.h"
#include "model/device_info.h"
#include "protocol/connect.h"
#include "protocol/exchange.h"
#include "session/exchange_guard.h"
#include "usb/Usb.h"
#include "usb/Usblink.h"

namespace velkor {
namespace {

constexpr std::size_t kSearchAnswerLength = 1 + kDeviceReportSize;  // 89
constexpr int kScanUnitMs = 5;
constexpr int kLastScan = 65535;
constexpr std::uint32_t kStatusConnectedHere = 3;

// Asks interfaces in turn until one opens; its answer (read at once) moves the
// search on from the handler.
void ask_next_interface(Session &session) {
    SearchState &search = search_state();
    while (search.present_count > 0 && search.next_interface < search.present_count) {
        if (usb::LinkOpen(search.next_interface)) {
            protocol::send(session, protocol::kOpDeviceQuery, 1);
            return;
        }
        ++search.next_interface;
    }
}

void add_scan_line(std::size_t found, int scan) {
    TStrings *list = search_state().scan_list.load();
    if (list == nullptr || list->add == nullptr) return;
    const std::string line = std::to_string(found) +
                             (found == 1 ? " HW Device found on UDP port " : " HW Devices found on UDP port ") +
                             std::to_string(scan);
    list->add(list->context, line.c_str());
}

}  // namespace

SearchState &search_state() {
    static SearchState state;
    return state;
}

int find_drovas(Session &session, int connect_after_search, int unit_ms) {
    auto ticket = search_gate(session, kSearch);
    if (!ticket) return 1;
    ExchangeGuard guard(session.exchange_lock);
    auto running = session.workers();
    if (!running) {
        session.command.end(*ticket);
        return 1;
    }
    SearchState &search = search_state();
    search.present_count = usb::UsbCountDevices();
    search.next_interface = 0;
    session.restart_timer();
    running->found_devices.clear();
    search.connect_after_search = connect_after_search;
    // A negative unit would wrap to a period of weeks.
    const auto unit = static_cast<std::uint32_t>(unit_ms < 0 ? 0 : unit_ms);
    session.arm_timer(2 * unit, *ticket);
    ask_next_interface(session);
    return search.present_count > 0 ? 0 : 1;
}

int start_network_scanning(Session &session, TStrings *list) {
    if (list == nullptr) return 1;
    SearchState &search = search_state();
    search.scan_counter = 0;
    search.scan_list = list;
    if (list->clear != nullptr) list->clear(list->context);
    return find_drovas(session, -1, kScanUnitMs);
}

int stop_network_scanning() {
    search_state().scan_counter = -1;
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

void on_search_answer(Session &session, const Ticket &, const std::uint8_t *body, std::size_t length) {
    if (length != kSearchAnswerLength) return;
    auto running = session.workers();
    if (!running) return;
    const char *path = usb::UsbCurrentDevicePath();
    running->found_devices.emplace(
        make_found_entry(std::span<const std::uint8_t, kDeviceReportSize>(body + 1, kDeviceReportSize), path));
    ++search_state().next_interface;
    close_link(session);
    ask_next_interface(session);
}

void on_search_period_end(Session &session, const Ticket &ticket) {
    if (!session.command.end(ticket)) return;
    close_link(session);
    auto running = session.workers();
    if (!running) return;
    SearchState &search = search_state();
    auto &found = running->found_devices;

    int scan = search.scan_counter;
    if (scan != -1) {
        if (!found.empty()) add_scan_line(found.size(), scan);
        // A stop that lands meanwhile (even from the host's line callback)
        // must not be overwritten: the series then ends with this search.
        if (scan < kLastScan) {
            if (search.scan_counter.compare_exchange_strong(scan, scan + 1)) {
                find_drovas(session, -1, kScanUnitMs);
                return;
            }
        } else {
            search.scan_counter.compare_exchange_strong(scan, -1);
        }
    }
    if (found.empty()) {
        session.post(VELKOR_EV_SEARCH, 1);
        return;
    }
    for (TDROVAInfo &entry : found) {
        found_entry_to_host_order(entry);
        // The device reports that this host holds it: keep its link open.
        // Found by path, since a silent interface before it shifts positions.
        if (entry.status == kStatusConnectedHere && session.connection == kConnected)
            reopen_link(session, usb::UsbFindDeviceIndex(entry.devicePath));
    }
    session.post(VELKOR_EV_SEARCH, 0);
    if (session.connection == kNotConnected && search.connect_after_search != -1) {
        const auto serial = static_cast<int>(found[found.size() - 1].serialNumber);
        if (protocol::connect(session, serial, 0, 0) != 0) session.post(VELKOR_EV_CONNECT, 1);
    }
}

}  // namespace velkor
