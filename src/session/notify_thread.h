// TNotifyThread: queues event pairs from any thread and delivers them, in
// order, to the host callback and window on its own thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "session/clock.h"
#include "session/worker_thread.h"

namespace velkor {

using HostCallback = void (*)(int a, int b);

struct HostTarget {
    HostCallback callback = nullptr;
    void *window = nullptr;
    unsigned message = 0;
};

class TNotifyThread {
public:
    static constexpr int kSlots = 8;
    static constexpr int kMaxQueued = kSlots - 1;
    static constexpr std::uint32_t kIdleSleepMs = 100;
    static constexpr std::uint32_t kPaceMs = 10;

    TNotifyThread(HostTarget target, std::shared_ptr<Clock> clock);
    ~TNotifyThread();
    TNotifyThread(const TNotifyThread &) = delete;
    TNotifyThread &operator=(const TNotifyThread &) = delete;

    // Queues (a, b); blocks while 7 are queued, except on the delivery thread
    // itself, which must never wait for itself. (15,6) is never queued;
    // after terminate() every pair is discarded.
    void post(int a, int b);

    // Stops delivery at once; whatever is still queued is dropped and blocked
    // posters return. Joins the thread unless called on it.
    void terminate();

    std::size_t queued() const;

private:
    struct Pair {
        int a;
        int b;
    };
    struct Shared {
        HostTarget target;
        std::shared_ptr<Clock> clock;
        mutable std::mutex lock;
        std::condition_variable room;   // a slot was freed, or terminating
        std::condition_variable wake;   // terminating
        Pair ring[kSlots]{};
        int read = 0;
        int write = 0;
        int count = 0;
        std::deque<Pair> overflow;  // only ever used by posts from the callback
        bool terminating = false;
        bool parked = false;  // the thread waits for a post, not for time
        std::thread::id delivery_thread;
    };

    static void run(std::shared_ptr<Shared> shared);
    static bool stopping(Shared &shared);
    static bool sleep(Shared &shared, std::uint32_t ms);
    static bool wait_for_idle_tick(Shared &shared);

    std::shared_ptr<Shared> shared_;
    WorkerThread thread_;
};

}  // namespace velkor
