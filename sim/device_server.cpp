#include "device_server.h"

#include <algorithm>
#include <climits>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velkor::sim {

namespace {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;
using Host = Endpoint::Host;
constexpr Time kNever = Time::max();

// A host that keeps writing while its answers wait (a long delay, times=0)
// is cut before the daemon's memory is.
constexpr std::size_t kMaxQueuedPerHost = 4096;

struct Outgoing {
    Time due;
    Bytes block;
    bool late = false;
};

// One host connection as the device sees it.
struct Link {
    std::uint64_t identity = 0;
    std::deque<Outgoing> queue;  // by due time, which is also the order the frames came in
    std::vector<Bytes> held;     // late answers of the last frame
    Time held_due = kNever;      // when `held` goes out unsolicited
    bool cut = false;            // disconnected here; what it still wrote is not taken
};

class Server {
public:
    Server(Endpoint &endpoint, DeviceModel &model, const ServeHooks &hooks)
        : endpoint_(endpoint), model_(model), hooks_(hooks) {}

    void run() {
        for (;;) {
            const Time next = deliver_due();
            Endpoint::Event event = endpoint_.wait(timeout_until(next));
            switch (event.kind) {
            case Endpoint::Event::Kind::stopped: return;
            case Endpoint::Event::Kind::timeout: break;
            case Endpoint::Event::Kind::connected: on_connected(event.host); break;
            case Endpoint::Event::Kind::closed: on_closed(event.host); break;
            case Endpoint::Event::Kind::message: on_message(event.host, event.message); break;
            }
        }
    }

private:
    Time now() const { return hooks_.now ? hooks_.now() : Clock::now(); }

    int timeout_until(Time due) const {
        if (due == kNever) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now()).count();
        return static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX));
    }

    void log(Host host, LogEntry::Kind kind, Bytes bytes, std::string note = {}) const {
        if (hooks_.log) hooks_.log(host, {kind, std::move(bytes), std::move(note)});
    }
    void note(Host host, std::string text) const { log(host, LogEntry::Kind::note, {}, std::move(text)); }

    void on_connected(Host host) {
        if (replug_on_connect_) {
            model_.replug();
            replug_on_connect_ = false;
        }
        // The model's link_opened/link_closed are for transports that leave
        // late answers with the model; here each connection keeps its own.
        const std::uint64_t identity = endpoint_.peer_process(host);
        links_[host].identity = identity;
        note(host, identity != 0 ? "connected, process " + std::to_string(identity) : "connected");
    }

    void on_closed(Host host) {
        const auto it = links_.find(host);
        if (it == links_.end()) return;  // cut already
        if (!it->second.held.empty()) note(host, "held answers dropped with the connection");
        links_.erase(it);
        note(host, "gone");
    }

    void on_message(Host host, const Bytes &message) {
        const auto it = links_.find(host);
        if (it == links_.end() || it->second.cut) return;  // from a host that was cut
        Link &link = it->second;
        log(host, LogEntry::Kind::host_frame, message);
        Exchange exchange = model_.host_block(message, link.identity);
        // The model keeps late answers per identity, which several connections
        // of one process share; they belong to this connection alone.
        std::vector<Bytes> held = model_.take_held_answers(link.identity);

        const Time at = now();
        Time due = at + std::chrono::milliseconds(exchange.delay_ms);
        if (!link.queue.empty()) due = std::max(due, link.queue.back().due);
        for (Bytes &late : link.held) link.queue.push_back({due, std::move(late), true});
        link.held.clear();
        link.held_due = kNever;
        for (Bytes &answer : exchange.answers) link.queue.push_back({due, std::move(answer)});
        if (!held.empty()) {
            link.held = std::move(held);
            if (exchange.late_after_ms != 0) link.held_due = due + std::chrono::milliseconds(exchange.late_after_ms);
        }
        // Whatever was due by then still goes out; the host that pulled the
        // plug need not be there any more for the cut to happen.
        if (exchange.unplugged && cut_at_ == kNever) cut_at_ = due;
        if (link.queue.size() > kMaxQueuedPerHost) {
            note(host, "writes faster than the device answers: cut");
            link.queue.clear();
            link.held.clear();
            link.held_due = kNever;
            link.cut = true;
            endpoint_.disconnect(host);
        }
        if (hooks_.after_exchange) hooks_.after_exchange();
    }

    // Sends everything due; returns when the next thing is due.
    Time deliver_due() {
        const Time at = now();
        Time next = kNever;
        for (auto &[host, link] : links_) {
            if (link.held_due <= at) {
                const Time due = link.queue.empty() ? link.held_due : std::max(link.held_due, link.queue.back().due);
                for (Bytes &late : link.held) link.queue.push_back({due, std::move(late), true});
                link.held.clear();
                link.held_due = kNever;
            }
            while (!link.queue.empty() && link.queue.front().due <= at) {
                Outgoing out = std::move(link.queue.front());
                link.queue.pop_front();
                log(host, LogEntry::Kind::device_frame, out.block, out.late ? "late" : "");
                if (!endpoint_.send(host, out.block)) {
                    // Gone: its closed event follows.
                    link.queue.clear();
                    link.held.clear();
                    link.held_due = kNever;
                }
            }
            if (!link.queue.empty()) next = std::min(next, link.queue.front().due);
            next = std::min(next, link.held_due);
        }
        if (cut_at_ <= at) {
            cut();
            return kNever;
        }
        return std::min(next, cut_at_);
    }

    // The device is pulled out: every host reads end of file.
    void cut() {
        for (const auto &[host, link] : links_) {
            note(host, "cut: the device is unplugged");
            endpoint_.disconnect(host);
        }
        links_.clear();
        cut_at_ = kNever;
        replug_on_connect_ = true;
    }

    Endpoint &endpoint_;
    DeviceModel &model_;
    const ServeHooks &hooks_;
    std::map<Host, Link> links_;
    Time cut_at_ = kNever;
    bool replug_on_connect_ = false;
};

}  // namespace

void serve_device(Endpoint &endpoint, DeviceModel &model, const ServeHooks &hooks) {
    Server(endpoint, model, hooks).run();
}

}  // namespace velkor::sim
