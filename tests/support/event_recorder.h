// Collects the event pairs the library delivers to the host callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace velkor::testing {

using Event = std::pair<int, int>;

class EventRecorder {
public:
    // The host callback; records into the current recorder.
    static void callback(int a, int b);

    EventRecorder();
    ~EventRecorder();

    // Runs on the notification thread for every event, after it is recorded.
    void on_event(std::function<void(int, int)> hook);

    std::vector<Event> events() const;
    // Waits until `count` events arrived; false on time-out (real time).
    bool wait_for_count(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    // Waits until `event` arrived.
    bool wait_for(Event event, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    void clear();

private:
    void record(int a, int b);

    mutable std::mutex lock_;
    mutable std::condition_variable arrived_;
    std::vector<Event> events_;
    std::function<void(int, int)> hook_;
};

}  // namespace velkor::testing
