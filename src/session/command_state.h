// Which command is in flight. Every start and end of a command is one atomic
// step on a single word that also carries a serial number, so a response
// handler and a time-out handler can never both end the same command, and a
// late answer or expiry of an ended command cannot touch its successor.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace velkor {

inline constexpr int kIdle = 16;

struct Ticket {
    std::uint32_t serial;
    int state;
};

class CommandState {
public:
    explicit CommandState(int initial_state) : word_(pack({0, initial_state})) {}

    Ticket current() const { return unpack(word_.load()); }
    int state() const { return current().state; }

    // Idle → `state`, as one step; nullopt when a command is in flight.
    std::optional<Ticket> begin(int state) {
        auto word = word_.load();
        for (;;) {
            const Ticket now = unpack(word);
            if (now.state != kIdle) return std::nullopt;
            const Ticket next{now.serial + 1, state};
            if (word_.compare_exchange_weak(word, pack(next))) return next;
        }
    }

    // Ends the ticket's command; false when it already ended (or never was).
    bool end(const Ticket &ticket) { return replace(ticket, {ticket.serial, kIdle}); }

    // Ends the ticket's command and starts `next_state` in its place, for the
    // steps of a chained sequence; nullopt when the command already ended.
    std::optional<Ticket> hand_over(const Ticket &ticket, int next_state) {
        const Ticket next{ticket.serial + 1, next_state};
        if (!replace(ticket, next)) return std::nullopt;
        return next;
    }

    // Forces idle whatever is in flight; outstanding tickets become void.
    void reset() {
        auto word = word_.load();
        while (!word_.compare_exchange_weak(word, pack({unpack(word).serial + 1, kIdle}))) {
        }
    }

private:
    static std::uint64_t pack(Ticket t) {
        return (std::uint64_t{t.serial} << 32) | static_cast<std::uint32_t>(t.state);
    }
    static Ticket unpack(std::uint64_t w) {
        return {static_cast<std::uint32_t>(w >> 32), static_cast<int>(static_cast<std::uint32_t>(w))};
    }
    bool replace(const Ticket &expected, const Ticket &next) {
        auto word = pack(expected);
        return word_.compare_exchange_strong(word, pack(next));
    }

    std::atomic<std::uint64_t> word_;
};

}  // namespace velkor
