// A library thread that is joined when its owner goes away, or detached when
// the owner goes away on that very thread (the host callback may call _Close).
#pragma once

#include <thread>
#include <utility>

namespace velkor {

class WorkerThread {
public:
    WorkerThread() = default;
    template <class Body>
    explicit WorkerThread(Body &&body) : thread_(std::forward<Body>(body)) {}
    WorkerThread(WorkerThread &&) = default;
    WorkerThread &operator=(WorkerThread &&other) {
        finish();
        thread_ = std::move(other.thread_);
        return *this;
    }
    ~WorkerThread() { finish(); }

    bool is_current() const { return thread_.get_id() == std::this_thread::get_id(); }
    std::thread::id id() const { return thread_.get_id(); }

    // Lets the thread end on its own; its body must need nothing of the owner.
    void let_go() {
        if (thread_.joinable()) thread_.detach();
    }

    // The body must already have been told to stop.
    void finish() {
        if (!thread_.joinable()) return;
        if (is_current())
            thread_.detach();
        else
            thread_.join();
    }

private:
    std::thread thread_;
};

}  // namespace velkor
