#include "device_session.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "exit_codes.h"
#include "interface_listing.h"
#include "interrupt.h"
#include "os_services.h"
#include "printable_text.h"

namespace drova {
namespace {

// A refused command posts its reasons before the export returns; they reach
// the callback within the library's delivery period (at most 100 ms and 10 ms
// per event), which this leaves room for on a slow machine.
constexpr std::chrono::milliseconds kRefusalWindow{600};
constexpr std::chrono::milliseconds kSearchMargin{5000};

const char *operation_name(int a) {
    static const char *const names[] = {
        "address",       "automatic start",    "checksum",   "download",  "erase",
        "data block",    "program",            "serial number write",    "application information",
        "connect",       "disconnect",         "flash information",      "search",
        "read information", "start application"};
    return a >= 0 && a < VELKOR_EV_ERROR ? names[a] : "event";
}

std::string seconds(std::chrono::milliseconds span) { return std::to_string(span.count() / 1000) + " s"; }

std::string no_device_message() {
    return "no DROVA device answered the search; looked in " + device_search_place() +
           " (--sim gives a simulated device)";
}

}  // namespace

std::string describe_event(const VelkorApi &api, const Event &event) {
    const std::string pair = "(" + std::to_string(event.a) + "," + std::to_string(event.b) + ") ";
    switch (event.a) {
    case VELKOR_EV_ERROR: return pair + "error " + std::to_string(event.b) + ": " + api.error_text(event.b);
    case VELKOR_EV_CONNECT: return pair + (event.b == 0 ? "connected" : "not connected");
    case VELKOR_EV_DISCONNECT: return pair + (event.b == 0 ? "connection ended" : "disconnect refused: still connected");
    case VELKOR_EV_SEARCH: return pair + (event.b == 0 ? "search finished: devices found" : "search finished: no device");
    default:
        if (event.a < 0 || event.a > VELKOR_EV_ERROR) return pair + "unknown event";
        return pair + operation_name(event.a) + (event.b == 0 ? ": ok" : ": failed");
    }
}

DeviceSession::DeviceSession(const VelkorApi &api, Console &console) : api_(api), console_(console) {
    api_.require({"_Initialize", "_Close", "_GetErrorString", "_IsConnected", "_Disconnect"});
    route_events_to(&events_);
    if (api_._Initialize(library_event_callback, nullptr, 0) != 0) {
        route_events_to(nullptr);
        throw Failure(exit_code::kLibrary, "the library refused to start a session (is another one open?)");
    }
}

DeviceSession::~DeviceSession() {
    try {
        if (connected()) disconnect();
    } catch (const Failure &failure) {
        console_.note(std::string("drova: ") + failure.what());
    }
    api_._Close();
    // No callback comes once _Close has returned; show what was still queued.
    events_.collect(std::chrono::milliseconds(0), [this](const Event &event) { show(event); });
    route_events_to(nullptr);
}

void DeviceSession::show(const Event &event) {
    if (event.a == VELKOR_EV_ERROR) last_error_ = event.b;
    if (sink_) sink_(event);
    if (!console_.show_events()) return;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "  [%7.3f s] ", console_.elapsed());
    console_.line(stamp + describe_event(api_, event));
}

void DeviceSession::run(const std::string &what, int completion, const std::function<int()> &issue,
                        std::chrono::milliseconds quiet, const Observer &observer) {
    // Once drova is asked to stop, only the disconnect still goes out.
    if (interrupted() && completion != VELKOR_EV_DISCONNECT)
        throw Failure(exit_code::kInterrupted, what + ": not started, drova was interrupted");
    last_error_.reset();
    if (issue() != 0) throw refusal(what, observer);
    await(what, completion, quiet, observer);
}

void DeviceSession::run_alongside(const std::string &what, int completion, const std::function<int()> &issue,
                                  std::chrono::milliseconds quiet, const Observer &observer,
                                  const std::function<void()> &tick) {
    if (interrupted()) throw Failure(exit_code::kInterrupted, what + ": not started, drova was interrupted");
    last_error_.reset();
    constexpr int kRunning = -1;
    std::atomic<int> issued{kRunning};
    const std::jthread caller([&] { issued = issue(); });
    const auto done = events_.wait([completion](const Event &event) { return event.a == completion; }, quiet,
                                   [&](const Event &event) {
                                       show(event);
                                       if (observer) observer(event);
                                   },
                                   [&] {
                                       if (tick) tick();
                                       return issued != kRunning && issued != 0;
                                   });
    if (!done) {
        if (issued != kRunning && issued != 0) throw refusal(what, observer);
        throw Failure(exit_code::kSilent, what + ": the library reported nothing for " + seconds(quiet));
    }
    if (done->b != 0) throw failure(what, completion);
}

Failure DeviceSession::refusal(const std::string &what, const Observer &observer) {
    events_.collect(kRefusalWindow, [&](const Event &event) {
        show(event);
        if (observer) observer(event);
    });
    if (last_error_)
        return Failure(exit_code::kRefused + *last_error_, what + " refused: " + api_.error_text(*last_error_));
    return Failure(exit_code::kRefusedSilently, what + " refused by the library");
}

Failure DeviceSession::failure(const std::string &what, int completion) const {
    // A failure pair without an error before it stands for an invalid
    // answer: the library never delivers that error's own event.
    const int reason = last_error_.value_or(VELKOR_ERR_INVALID_ANSWER);
    if (reason == VELKOR_ERR_LINK_LOST)
        return Failure(exit_code::kDeviceLost, what + " failed: the device went away (pulled out, or its link broke): " +
                                                   api_.error_text(reason));
    return Failure(exit_code::kOperationFailed + completion, what + " failed: " + api_.error_text(reason));
}

void DeviceSession::await(const std::string &what, int completion, std::chrono::milliseconds quiet,
                          const Observer &observer) {
    if (await_outcome(what, completion, quiet, observer).b != 0) throw failure(what, completion);
}

Event DeviceSession::await_outcome(const std::string &what, int completion, std::chrono::milliseconds quiet,
                                   const Observer &observer) {
    last_error_.reset();
    // Not cut short by an interrupt: the step in flight ends within the
    // library's own time-out, and the device must not be left mid-command.
    const auto done = events_.wait([completion](const Event &event) { return event.a == completion; }, quiet,
                                   [&](const Event &event) {
                                       show(event);
                                       if (observer) observer(event);
                                   });
    if (!done) throw Failure(exit_code::kSilent, what + ": the library reported nothing for " + seconds(quiet));
    return *done;
}

void DeviceSession::settle(std::chrono::milliseconds span) { watch(span, {}); }

void DeviceSession::watch(std::chrono::milliseconds span, const Observer &observer) {
    events_.collect(span, [&](const Event &event) {
        show(event);
        if (observer) observer(event);
    }, interrupted);
}

void DeviceSession::search(int unit_ms, bool connect_after) {
    api_.require({"_FindDROVAs"});
    last_error_.reset();
    // A result of 1 may only mean that no interface is present: the search
    // still ends with (12,1) then. Only a refusal stays without its end.
    api_._FindDROVAs(connect_after ? 0 : -1, 0, unit_ms);
    // A search alone changes no device, so an interrupt need not wait for its
    // end; one that connects after it may claim the device meanwhile.
    std::function<bool()> stop;
    if (!connect_after) stop = interrupted;
    const auto ended = events_.wait([](const Event &event) { return event.a == VELKOR_EV_SEARCH; },
                                    std::chrono::milliseconds(2 * unit_ms) + kSearchMargin,
                                    [&](const Event &event) { show(event); }, stop);
    if (!ended) {
        if (stop && stop()) throw Failure(exit_code::kInterrupted, "search: interrupted");
        if (last_error_)
            throw Failure(exit_code::kRefused + *last_error_, "search refused: " + api_.error_text(*last_error_));
        throw Failure(exit_code::kRefusedSilently, "search refused by the library (busy?)");
    }
    if (ended->b != 0) throw Failure(exit_code::kNoDevice, no_device_message());
}

std::vector<TDROVAInfo> DeviceSession::found_devices() const {
    api_.require({"_GetFoundDevices"});
    std::vector<TDROVAInfo> found(static_cast<std::size_t>(api_._GetFoundDevices(nullptr, 0)));
    // The list cannot change between the two calls: no search is under way.
    found.resize(static_cast<std::size_t>(api_._GetFoundDevices(found.data(), static_cast<int>(found.size()))));
    return found;
}

void DeviceSession::connect(const Selection &selection, bool announce) {
    api_.require({"_Connect", "_FindDROVAs", "_GetConnectInfo", "_SnConvertUint2Agt"});
    if (selection.serial) {
        search(selection.search_unit_ms);
        const std::uint32_t serial = *selection.serial;
        refuse_shared_serial(found_devices(), serial, "--serial " + serial_label(serial));
        run_connect("connect to " + serial_label(serial), [&] { return api_._Connect(static_cast<int>(serial), 0, 0); });
    } else if (selection.index || selection.path) {
        search(selection.search_unit_ms);
        const auto found = found_devices();
        const auto listed = list_interfaces(found);
        const auto count = std::to_string(listed.size()) + " interface" + (listed.size() == 1 ? "" : "s") +
                           " present (drova list shows them)";
        std::size_t position = 0;
        std::string chosen;
        if (selection.index) {
            position = static_cast<std::size_t>(*selection.index);
            chosen = "--index " + std::to_string(position);
            if (position >= listed.size())
                throw Failure(exit_code::kNoDevice, "no device at index " + std::to_string(position) + ": " + count);
        } else {
            chosen = "--path " + printable_text(*selection.path);
            // As the system names it, or as drova list shows it (backslashes and the like escaped).
            const auto named = [&](const ListedInterface &entry) {
                return entry.path == *selection.path || printable_text(entry.path) == *selection.path;
            };
            while (position < listed.size() && !named(listed[position])) ++position;
            if (position == listed.size())
                throw Failure(exit_code::kNoDevice,
                              "no interface " + printable_text(*selection.path) + ": " + count);
        }
        if (!listed[position].found_index)
            throw Failure(exit_code::kNoDevice, chosen + ": the device at interface " +
                                                    printable_text(listed[position].path) +
                                                    " did not answer the search " + kSilentInterface);
        const std::size_t index = *listed[position].found_index;
        const std::uint32_t serial = found[index].serialNumber;
        refuse_shared_serial(found, serial, chosen);
        run_connect("connect to " + serial_label(serial),
                    [&] { return api_._Connect(static_cast<int>(serial), static_cast<int>(index), 0); });
    } else {
        // The search's own connect claims the device found last.
        search(selection.search_unit_ms, true);
        run_connect("connect", [] { return 0; });
        if (auto found = found_devices(); found.size() > 1) unchosen_among_ = std::move(found);
    }
    const std::string connected = "connected: " + device_line(*api_._GetConnectInfo());
    if (announce) console_.status(connected);
    else console_.detail(connected);
}

void DeviceSession::refuse_shared_serial(const std::vector<TDROVAInfo> &found, std::uint32_t serial,
                                         const std::string &selection) const {
    std::string entries;
    std::size_t sharing = 0;
    for (std::size_t index = 0; index < found.size(); ++index) {
        if (found[index].serialNumber != serial) continue;
        ++sharing;
        entries += "\n  entry " + std::to_string(index) + ": " + device_line(found[index]);
    }
    if (sharing < 2) return;
    throw Failure(exit_code::kAmbiguous,
                  selection + ": " + std::to_string(sharing) + " found devices share serial number " +
                      serial_label(serial) + ", and the library connects by serial number, so drova cannot "
                      "choose between them:" + entries +
                      "\n  They differ only by interface. Attach one of them alone and give it a serial number of "
                      "its own with drova write-serial.");
}

void DeviceSession::require_chosen_device(const std::string &change) const {
    if (unchosen_among_.empty()) return;
    std::string entries;
    for (std::size_t index = 0; index < unchosen_among_.size(); ++index)
        entries += "\n  entry " + std::to_string(index) + ": " + device_line(unchosen_among_[index]);
    throw Failure(exit_code::kAmbiguous,
                  change + ": " + std::to_string(unchosen_among_.size()) +
                      " devices were found and none was chosen; choose one with --index N or --serial SN:" + entries +
                      "\n  Nothing was changed.");
}

void DeviceSession::run_connect(const std::string &what, const std::function<int()> &issue) {
    try {
        run(what, VELKOR_EV_CONNECT, issue);
    } catch (const Failure &failure) {
        if (last_error_ != VELKOR_ERR_OTHER_HOST || api_._GetConnectErrorInfo == nullptr) throw;
        // The device's own record of why it refused; its words are the device's.
        const u32 *record = api_._GetConnectErrorInfo();
        char words[64];
        std::snprintf(words, sizeof words, "%08X %08X %08X %08X", record[0], record[1], record[2], record[3]);
        throw Failure(failure.exit_code(), std::string(failure.what()) +
                                               " The device is in use by another host (its refusal record: " + words +
                                               "). Disconnect that host. If none holds it any more (a host that "
                                               "ended while connected), re-plug or power-cycle the device; drova-sim's "
                                               "devices let such a claim go after 30 s without a frame from its "
                                               "holder.");
    }
}

void DeviceSession::disconnect() { run("disconnect", VELKOR_EV_DISCONNECT, [this] { return api_._Disconnect(); }); }

bool DeviceSession::connected() const { return api_._IsConnected() == 1; }

std::string DeviceSession::hint(int flags, const TDROVAInfo *info) const {
    api_.require({"_GetHintAboutDROVA"});
    // 255 sectors of a 63-character name each fit with room to spare.
    std::vector<char> text(64 * 1024);
    api_._GetHintAboutDROVA(flags, info, text.data(), static_cast<int>(text.size()));
    return text.data();
}

std::string DeviceSession::serial_text(std::uint32_t serial) const {
    char text[32] = {};
    if (api_._SnConvertUint2Agt(serial, text, sizeof text) == 0) return text;
    std::snprintf(text, sizeof text, "0x%06X", serial);
    return text;
}

std::string DeviceSession::serial_label(std::uint32_t serial) const {
    char number[16];
    std::snprintf(number, sizeof number, "0x%06X", serial);
    const std::string text = serial_text(serial);
    return text == number ? text : text + " (" + number + ")";
}

std::string DeviceSession::device_line(const TDROVAInfo &info) const {
    return printable_text(field_text(info.deviceName)) + ", serial " + serial_label(info.serialNumber) + ", interface " +
           printable_text(field_text(info.devicePath));
}

}  // namespace drova
