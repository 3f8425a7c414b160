#include "device_server.h"

#include <chrono>
#include <algorithm>

namespace velkor::sim {

bool send_block(Endpoint &endpoint, std::span<const std::uint8_t> block) {
    Bytes message;
    message.reserve(block.size() + 1);
    message.push_back(kBlockMessage);
    message.insert(message.end(), block.begin(), block.end());
    return endpoint.send(message);
}

bool send_end(Endpoint &endpoint) { return endpoint.send(std::span(&kEndMessage, 1)); }

void serve_device(Endpoint &endpoint, DeviceModel &model, const std::function<void()> &after_exchange) {
    using Clock = std::chrono::steady_clock;
    while (endpoint.accept()) {
        model.link_opened();
        // Answers held back by a late_answer fault with a delay go out unsolicited at this time.
        Clock::time_point late_due = Clock::time_point::max();
        bool connected = true;
        bool unplugged = false;
        while (connected) {
            int timeout_ms = -1;
            if (late_due != Clock::time_point::max()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(late_due - Clock::now());
                timeout_ms = static_cast<int>(std::max<std::int64_t>(0, left.count()));
            }
            Bytes message;
            switch (endpoint.receive(message, timeout_ms)) {
            case Endpoint::Received::stopped:
                endpoint.disconnect();
                model.link_closed();
                return;
            case Endpoint::Received::closed:
                connected = false;
                continue;
            case Endpoint::Received::timeout:
                late_due = Clock::time_point::max();
                for (const Bytes &block : model.take_held_answers()) connected = connected && send_block(endpoint, block);
                continue;
            case Endpoint::Received::message:
                break;
            }
            Exchange exchange = model.host_block(message);
            late_due = Clock::time_point::max();
            if (exchange.delay_ms != 0 && !endpoint.pause(exchange.delay_ms)) {
                endpoint.disconnect();
                model.link_closed();
                return;
            }
            for (const Bytes &block : exchange.answers) connected = connected && send_block(endpoint, block);
            if (exchange.unplugged) {
                // The cut: no end message.
                unplugged = true;
                connected = false;
            } else {
                connected = connected && send_end(endpoint);
                if (exchange.late_after_ms != 0)
                    late_due = Clock::now() + std::chrono::milliseconds(exchange.late_after_ms);
            }
            after_exchange();
        }
        endpoint.disconnect();
        model.link_closed();
        // Plugged in again for the next connection.
        if (unplugged) model.replug();
    }
}

}  // namespace velkor::sim
