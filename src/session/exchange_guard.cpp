#include "session/exchange_guard.h"

#include <atomic>
#include <vector>

namespace velkor {
namespace {

// Trivially destructible: a thread-local container of objects with
// destructors is not torn down reliably by every runtime at thread exit.
struct Deferred {
    ExchangeGuard::Post post;
    std::uint64_t context;
    int a;
    int b;
};

thread_local int depth = 0;
thread_local std::recursive_mutex *held = nullptr;  // the lock of this thread's outermost guard
thread_local std::vector<Deferred> deferred;
std::atomic<int> in_hand{0};  // deferred by any thread and not yet posted

}  // namespace

ExchangeGuard::ExchangeGuard(std::recursive_mutex &lock) : lock_(lock), nested_(held == &lock) {
    // A guard inside one on the same lock needs no second lock: the thread
    // holds it until the outer guard lets go. Each exchange nests several.
    if (nested_) {
        ++depth;
        return;
    }
    lock_.lock();
    if (depth++ == 0) {
        held = &lock_;
        if (deferred.capacity() == 0) deferred.reserve(16);
    }
}

ExchangeGuard::~ExchangeGuard() {
    const bool outermost = --depth == 0;
    if (nested_) return;
    if (outermost) held = nullptr;
    lock_.unlock();
    if (!outermost) return;
    // Posting may block for room in the ring: only now that no lock is held.
    std::vector<Deferred> pending;
    pending.swap(deferred);
    for (const Deferred &event : pending) {
        event.post(event.context, event.a, event.b);
        in_hand.fetch_sub(1, std::memory_order_release);
    }
    pending.clear();
    if (deferred.empty()) deferred.swap(pending);  // keep the capacity
}

bool ExchangeGuard::held_by_this_thread() { return depth > 0; }

void ExchangeGuard::defer(Post post, std::uint64_t context, int a, int b) {
    in_hand.fetch_add(1, std::memory_order_relaxed);
    deferred.push_back({post, context, a, b});
}

int ExchangeGuard::posts_in_hand() { return in_hand.load(std::memory_order_acquire); }

}  // namespace velkor
