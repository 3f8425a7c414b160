// Serialises everything that uses the link and the frame buffers: the sends
// and reads of a command, its handlers, its time-out. Events posted while a
// thread holds the guard are queued on that thread and handed to the host's
// event ring only once it lets go, so no thread ever waits for room in the
// ring while another waits for the guard (the host callback may start a
// command at any time).
#pragma once

#include <cstdint>
#include <mutex>

namespace velkor {

class ExchangeGuard {
public:
    explicit ExchangeGuard(std::recursive_mutex &lock);
    ~ExchangeGuard();
    ExchangeGuard(const ExchangeGuard &) = delete;
    ExchangeGuard &operator=(const ExchangeGuard &) = delete;

    // True while the calling thread holds a guard; its posts are deferred.
    static bool held_by_this_thread();
    // Queues post(context, a, b) for when the outermost guard of this thread
    // is released.
    using Post = void (*)(std::uint64_t context, int a, int b);
    static void defer(Post post, std::uint64_t context, int a, int b);
    // Events deferred by any thread that have not reached the ring yet: a
    // thread may have let go of the exchange and still be handing them over.
    static int posts_in_hand();

private:
    std::recursive_mutex &lock_;
    bool nested_;  // inside a guard of this thread on the same lock
};

}  // namespace velkor
