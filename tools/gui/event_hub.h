// What drova gui tells its pages: messages in order, each with a sequence
// number, kept for a while so that a page that (re)connects its event stream
// first gets the state, then everything after it. Any thread publishes; each
// event stream waits on its own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace drova::gui {

class EventHub {
public:
    // A message of `type` with its fields.
    void publish(const std::string &type, nlohmann::json fields = nlohmann::json::object());
    // Replaces one part of the state a new page starts from ("devices",
    // "device", "flash", ...) and tells the pages.
    void set_state(const std::string &part, nlohmann::json value);
    // The state as one "state" message, and the sequence number it is current to.
    std::pair<std::string, std::uint64_t> snapshot() const;

    // The next message after `after`, as an event-stream record; nullopt when
    // `wait` passes first or the hub is closed.
    std::optional<std::pair<std::string, std::uint64_t>> next(std::uint64_t after, std::chrono::milliseconds wait);
    // Ends every wait: the server is stopping.
    void close();
    bool closed() const;

    // Event streams open right now, and since when none has been.
    void stream_opened(const std::string &tab);
    void stream_closed(const std::string &tab);
    bool has_stream(const std::string &tab) const;

private:
    static std::string record(const nlohmann::json &message, std::uint64_t sequence);

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::pair<std::uint64_t, std::string>> recent_;
    std::uint64_t sequence_ = 0;
    nlohmann::json state_ = nlohmann::json::object();
    std::multiset<std::string> streams_;
    bool closed_ = false;
};

}  // namespace drova::gui
