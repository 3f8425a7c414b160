// One session with the library as drova's commands use it: initialised with
// drova's callback, commands issued and their completion pairs awaited, the
// device searched for, chosen and connected, and on the way out disconnected
// and the session closed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "console.h"
#include "event_waiter.h"
#include "velkor_api.h"

namespace drova {

// Ends a command: the message for the user and the exit status.
class Failure : public std::runtime_error {
public:
    Failure(int exit_code, const std::string &message) : std::runtime_error(message), exit_code_(exit_code) {}
    int exit_code() const { return exit_code_; }

private:
    int exit_code_;
};

// Which device a command talks to.
struct Selection {
    std::optional<std::uint32_t> serial;
    std::optional<int> index;
    std::optional<std::string> path;  // the interface path, as drova list shows it
    int search_unit_ms = 100;         // the search ends twice this after it starts

    bool names_a_device() const { return serial || index || path; }
};

// Why nothing may have answered the search on an interface.
inline constexpr const char *kSilentInterface =
    "(silent or busy, or not a DROVA device; a device held by another host still answers)";

// One line for an event pair, with the library's text for error codes.
std::string describe_event(const VelkorApi &api, const Event &event);

// The text of a fixed-size character field, which need not end with a zero byte.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
    std::size_t length = 0;
    while (length < N && field[length] != '\0') ++length;
    return std::string(field, length);
}

class DeviceSession {
public:
    using Observer = std::function<void(const Event &)>;

    // Longest silence before drova gives up on a command: above the library's
    // own time-outs (2 s for most commands, 6 s for a connect, 30 s for erase
    // and program), after which it always reports.
    static constexpr std::chrono::milliseconds kCommandQuiet{10000};
    static constexpr std::chrono::milliseconds kLongCommandQuiet{40000};

    DeviceSession(const VelkorApi &api, Console &console);
    // Disconnects a connected device, then closes the session.
    ~DeviceSession();
    DeviceSession(const DeviceSession &) = delete;
    DeviceSession &operator=(const DeviceSession &) = delete;

    // Issues a command and waits for its completion pair (a = `completion`).
    // Once drova is interrupted no command but the disconnect is issued; one
    // under way is still waited for.
    // Throws Failure when the library refuses it (with the reason it posted),
    // when it fails (with the error posted before the failure pair) or when
    // nothing arrives for `quiet`. Every event is shown (when events are shown)
    // and handed to `observer`.
    void run(const std::string &what, int completion, const std::function<int()> &issue,
             std::chrono::milliseconds quiet = kCommandQuiet, const Observer &observer = {});
    // The same for an export that may run the whole command before it
    // returns (a download on a device that answers at once): it is called on
    // a thread of its own, so that the events show while it runs. `tick` is
    // called at least every 50 ms meanwhile.
    void run_alongside(const std::string &what, int completion, const std::function<int()> &issue,
                       std::chrono::milliseconds quiet, const Observer &observer,
                       const std::function<void()> &tick);
    // Waits for a completion pair of a command already under way.
    void await(const std::string &what, int completion, std::chrono::milliseconds quiet = kCommandQuiet,
               const Observer &observer = {});
    // The same, but a failure pair is returned rather than thrown.
    Event await_outcome(const std::string &what, int completion, std::chrono::milliseconds quiet = kCommandQuiet,
                        const Observer &observer = {});
    // Shows what arrives within `span` (events that follow a completion).
    void settle(std::chrono::milliseconds span);

    // Searches, and with `connect_after` lets the library claim the device it
    // found last. Throws Failure(kNoDevice) when none answers.
    void search(int unit_ms, bool connect_after = false);
    // The entries of the last finished search, in the order _Connect sees them.
    std::vector<TDROVAInfo> found_devices() const;
    // Searches and claims the selected device, and says which one it is
    // (only with -v when not `announce`, so that JSON output stays clean).
    void connect(const Selection &selection, bool announce = true);
    void disconnect();
    bool connected() const;
    // Refuses `change` when the device was not chosen (no --index or
    // --serial) and the search found several: the library claimed the one it
    // found last, which need not be the one meant.
    void require_chosen_device(const std::string &change) const;

    // The library's texts.
    std::string hint(int flags, const TDROVAInfo *info) const;
    // "KV47D00291", or "0x8D0123" for a number without a text form.
    std::string serial_text(std::uint32_t serial) const;
    // "KV47D00291 (0x8D0123)": the text form with the number it stands for.
    std::string serial_label(std::uint32_t serial) const;
    std::string device_line(const TDROVAInfo &info) const;

    // The error code of the last (15, code) event shown.
    std::optional<int> last_error() const { return last_error_; }
    // Every event the session takes from now on is also handed to `sink`
    // (none: no longer), whichever command awaits it.
    void set_event_sink(Observer sink) { sink_ = std::move(sink); }
    // Hands every event that arrives within `span` on; stops early on Ctrl-C.
    void watch(std::chrono::milliseconds span, const Observer &observer);

    const VelkorApi &api() const { return api_; }
    Console &console() { return console_; }

private:
    void show(const Event &event);
    // A refused command, with the reason the library posted for it.
    Failure refusal(const std::string &what, const Observer &observer);
    // A command that ended with its failure pair.
    Failure failure(const std::string &what, int completion) const;
    // Refuses a selection whose serial number more than one found entry
    // carries: the library would claim the first of them, whichever was meant.
    void refuse_shared_serial(const std::vector<TDROVAInfo> &found, std::uint32_t serial,
                              const std::string &selection) const;
    // A connect, whose refusal by a device held elsewhere shows the device's record.
    void run_connect(const std::string &what, const std::function<int()> &issue);

    const VelkorApi &api_;
    // The entries of the search that claimed a device nobody chose, when it found several.
    std::vector<TDROVAInfo> unchosen_among_;
    Console &console_;
    EventWaiter events_;
    std::optional<int> last_error_;  // of the command being awaited
    Observer sink_;
};

}  // namespace drova
