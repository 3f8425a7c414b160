#include "event_hub.h"

namespace drova::gui {
namespace {

// Enough for a page that lost its stream for a moment mid-download.
constexpr std::size_t kKept = 2000;

}  // namespace

std::string EventHub::record(const nlohmann::json &message, std::uint64_t sequence) {
    // Device names are the device's bytes: never let them break the stream.
    return "id: " + std::to_string(sequence) + "\ndata: " +
           message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n\n";
}

void EventHub::publish(const std::string &type, nlohmann::json fields) {
    fields["type"] = type;
    {
        const std::lock_guard lock(mutex_);
        ++sequence_;
        recent_.emplace_back(sequence_, record(fields, sequence_));
        if (recent_.size() > kKept) recent_.pop_front();
    }
    arrived_.notify_all();
}

void EventHub::set_state(const std::string &part, nlohmann::json value) {
    {
        const std::lock_guard lock(mutex_);
        state_[part] = value;
    }
    publish(part, {{"value", std::move(value)}});
}

std::pair<std::string, std::uint64_t> EventHub::snapshot() const {
    const std::lock_guard lock(mutex_);
    nlohmann::json message{{"type", "state"}, {"value", state_}};
    return {record(message, sequence_), sequence_};
}

std::optional<std::pair<std::string, std::uint64_t>> EventHub::next(std::uint64_t after,
                                                                     std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return closed_ || sequence_ > after; };
    if (!arrived_.wait_for(lock, wait, ready) || closed_) return std::nullopt;
    for (const auto &[sequence, text] : recent_)
        if (sequence > after) return std::make_pair(text, sequence);
    return std::nullopt;
}

void EventHub::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
}

bool EventHub::closed() const {
    const std::lock_guard lock(mutex_);
    return closed_;
}

void EventHub::stream_opened(const std::string &tab) {
    const std::lock_guard lock(mutex_);
    streams_.insert(tab);
}

void EventHub::stream_closed(const std::string &tab) {
    const std::lock_guard lock(mutex_);
    if (const auto found = streams_.find(tab); found != streams_.end()) streams_.erase(found);
}

bool EventHub::has_stream(const std::string &tab) const {
    const std::lock_guard lock(mutex_);
    return streams_.count(tab) > 0;
}

}  // namespace drova::gui
