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
#include "session/worker_mode.h"
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

    // A driven notifier has no thread: its owner calls deliver_queued().
    TNotifyThread(HostTarget target, std::shared_ptr<Clock> clock, WorkerMode mode = WorkerMode::threaded);
    ~TNotifyThread();
    TNotifyThread(const TNotifyThread &) = delete;
    TNotifyThread &operator=(const TNotifyThread &) = delete;

    // Queues (a, b); blocks while 7 are queued, except on the delivery thread
    // itself, which must never wait for itself, and when driven, where no
    // one else makes room. (15,6) is never queued; after terminate() every
    // pair is discarded.
    void post(int a, int b);

    // Delivers everything queued on the calling thread, in order and without
    // pacing, as the thread's rounds do; how many pairs it delivered.
    std::size_t deliver_queued();

    // Stops delivery at once; whatever is still queued is dropped and blocked
    // posters return. Joins the thread unless called on it or unless `join`
    // is false: a callback still running then returns on its own, and no
    // other starts.
    void terminate(bool join = true);

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
        std::deque<Pair> overflow;  // posts from the callback, or to a driven notifier, behind a full ring
        bool terminating = false;
        bool parked = false;  // the thread waits for a post, not for time
        bool driven = false;
        std::thread::id delivery_thread;
    };

    static void run(std::shared_ptr<Shared> shared);
    // Takes the next pair to deliver; false when none is queued or delivery
    // has stopped.
    static bool take(Shared &shared, Pair &pair);
    static void deliver(Shared &shared, const Pair &pair);
    static bool stopping(Shared &shared);
    static bool sleep(Shared &shared, std::uint32_t ms);
    static bool wait_for_idle_tick(Shared &shared);

    std::shared_ptr<Shared> shared_;
    WorkerThread thread_;
};

}  // namespace velkor
