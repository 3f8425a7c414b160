#include "usb/in_process_backend.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "usb/block_queue.h"
#include "usb/in_process_device.h"

namespace velkor::usb {

using platform::PathLookup;
using platform::Transfer;
using platform::TransferOutcome;

namespace {

// What a connection waits on, shared with the registry so that a device
// attached or pulled out wakes whoever waits for it.
struct Waiting {
    std::mutex lock;
    std::condition_variable changed;
};

struct Registry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<InProcessDevice>> devices;
    std::vector<std::weak_ptr<Waiting>> connections;
    bool selected = false;
    // Counts changes of `devices`, so a connection looks its device up again
    // only after one.
    std::atomic<std::uint64_t> generation{0};

    std::shared_ptr<InProcessDevice> find(const std::string &name) {
        std::lock_guard guard(lock);
        const auto found = devices.find(name);
        return found == devices.end() ? nullptr : found->second;
    }

    void add_connection(const std::shared_ptr<Waiting> &waiting) {
        std::lock_guard guard(lock);
        std::erase_if(connections, [](const std::weak_ptr<Waiting> &gone) { return gone.expired(); });
        connections.push_back(waiting);
    }

    // After a change of `devices`: every open connection looks again. Called
    // without the registry's lock, which a connection takes under its own.
    void wake_connections() {
        std::vector<std::shared_ptr<Waiting>> open;
        {
            std::lock_guard guard(lock);
            for (const auto &connection : connections)
                if (auto waiting = connection.lock()) open.push_back(std::move(waiting));
        }
        for (const auto &waiting : open) {
            { std::lock_guard guard(waiting->lock); }
            waiting->changed.notify_all();
        }
    }
};

// Never destroyed: a link's thread may still look a device up while the
// process exits.
Registry &registry() {
    static Registry *const instance = new Registry;
    return *instance;
}

class InProcessConnection final : public platform::UsbConnection {
public:
    InProcessConnection(std::string name, std::shared_ptr<InProcessDevice> device)
        : name_(std::move(name)), device_(std::move(device)) {
        registry().add_connection(waiting_);
        device_->on_open();
    }
    ~InProcessConnection() override { close(); }

    TransferOutcome read(std::uint8_t *buffer, std::uint32_t size, std::uint32_t wait_ms) override {
        // Nothing queued, nothing to wait for: the read before every write
        // (stale blocks) costs no lock.
        if (wait_ms == 0 && queued_.load(std::memory_order_acquire) == 0) return {Transfer::not_completed, 0, 0};
        std::unique_lock guard(waiting_->lock);
        for (;;) {
            if (arrived()) {
                const TransferOutcome taken = queue_.take(buffer, size);
                queued_.store(queue_.size(), std::memory_order_release);
                // More than one read takes: the link's reader picks up the rest.
                if (arrived()) waiting_->changed.notify_all();
                return taken;
            }
            if (!present()) return {Transfer::end_of_file, 0, 0};
            if (wait_ms == 0 || !wait_for_block(guard, wait_ms)) return {Transfer::not_completed, 0, 0};
        }
    }

    TransferOutcome write(const std::uint8_t *buffer, std::uint32_t size, std::uint32_t) override {
        std::lock_guard guard(waiting_->lock);
        if (!present()) return {};
        // What the device still had to send has gone out before this block
        // reaches it.
        if (!queue_.empty()) queue_.arrive_all(Clock::now());
        answers_.clear();
        if (!device_->on_host_block(buffer, size, answers_)) {
            gone_ = true;
            waiting_->changed.notify_all();
            return {};
        }
        // Answered at once: there for the read that follows the write, so no
        // reader is woken for them.
        for (const Block &answer : answers_) queue_.push(answer.data(), answer.size());
        later_.clear();
        device_->take_later_blocks(later_);
        if (!later_.empty()) {
            const Moment now = Clock::now();
            for (const LaterBlock &later : later_)
                queue_.push(later.block.data(), later.block.size(), now + std::chrono::milliseconds(later.delay_ms));
            waiting_->changed.notify_all();
        }
        queued_.store(queue_.size(), std::memory_order_release);
        return {Transfer::completed, size, 0};
    }

    platform::Readiness wait_readable(std::uint32_t wait_ms) override {
        std::unique_lock guard(waiting_->lock);
        for (;;) {
            if (arrived()) return platform::Readiness::block;
            if (!present()) return platform::Readiness::ended;
            if (wait_ms == 0 || !wait_for_block(guard, wait_ms)) return platform::Readiness::timed_out;
        }
    }

    bool close() override {
        std::lock_guard guard(waiting_->lock);
        if (!closed_) device_->on_close();
        closed_ = true;
        waiting_->changed.notify_all();
        return true;
    }

    std::intptr_t handle() const override { return reinterpret_cast<std::intptr_t>(this); }

private:
    using Clock = std::chrono::steady_clock;
    using Moment = BlockQueue::Moment;

    // Whether the oldest queued block has reached the host; answers given at
    // once have, without a look at the clock.
    bool arrived() const {
        return !queue_.empty() && (queue_.arrived(Moment::min()) || queue_.arrived(Clock::now()));
    }

    // Waits until the next queued block arrives, something changes, or
    // `wait_ms` passes; false when the wait ran out.
    bool wait_for_block(std::unique_lock<std::mutex> &guard, std::uint32_t wait_ms) {
        const Moment next = queue_.next_arrival();
        if (wait_ms == platform::kWaitForever) {
            if (next == Moment::max())
                waiting_->changed.wait(guard);
            else
                waiting_->changed.wait_until(guard, next);
            return true;
        }
        const Moment limit = Clock::now() + std::chrono::milliseconds(wait_ms);
        return waiting_->changed.wait_until(guard, std::min(next, limit)) == std::cv_status::no_timeout ||
               Clock::now() < limit;
    }

    // Still attached under its name, not unplugged, not closed.
    bool present() {
        if (gone_ || closed_) return false;
        Registry &devices = registry();
        const std::uint64_t generation = devices.generation.load();
        if (generation != checked_generation_) {
            gone_ = devices.find(name_) != device_;
            checked_generation_ = generation;
        }
        return !gone_;
    }

    const std::string name_;
    const std::shared_ptr<InProcessDevice> device_;
    const std::shared_ptr<Waiting> waiting_ = std::make_shared<Waiting>();
    BlockQueue queue_;
    std::atomic<std::size_t> queued_{0};  // queue_.size(), for a look without the lock
    std::vector<Block> answers_;     // kept between writes for its capacity
    std::vector<LaterBlock> later_;  // likewise
    std::uint64_t checked_generation_ = ~std::uint64_t{0};
    bool gone_ = false;
    bool closed_ = false;
};

class InProcessBackend final : public platform::UsbBackend {
public:
    PathLookup interface_path(const platform::InterfaceClassGuid &, std::uint32_t member,
                              std::string &path) override {
        Registry &devices = registry();
        std::lock_guard guard(devices.lock);
        if (member >= devices.devices.size()) return PathLookup::no_interface;
        path = std::next(devices.devices.begin(), member)->first;
        return PathLookup::found;
    }

    std::unique_ptr<platform::UsbConnection> open(const std::string &path) override {
        auto device = registry().find(path);
        if (!device) return nullptr;
        return std::make_unique<InProcessConnection>(path, std::move(device));
    }
};

}  // namespace

void attach_in_process_device(const std::string &name, std::shared_ptr<InProcessDevice> device) {
    if (!device) return;
    Registry &devices = registry();
    std::shared_ptr<InProcessDevice> replaced;  // released after the lock
    {
        std::lock_guard guard(devices.lock);
        replaced = std::exchange(devices.devices[name], std::move(device));
        ++devices.generation;
    }
    if (replaced) devices.wake_connections();
}

void detach_in_process_device(const std::string &name) {
    Registry &devices = registry();
    std::shared_ptr<InProcessDevice> detached;  // released after the lock
    {
        std::lock_guard guard(devices.lock);
        const auto found = devices.devices.find(name);
        if (found == devices.devices.end()) return;
        detached = std::move(found->second);
        devices.devices.erase(found);
        ++devices.generation;
    }
    devices.wake_connections();
}

void detach_all_in_process_devices() {
    Registry &devices = registry();
    std::map<std::string, std::shared_ptr<InProcessDevice>> detached;  // released after the lock
    {
        std::lock_guard guard(devices.lock);
        detached.swap(devices.devices);
        ++devices.generation;
    }
    devices.wake_connections();
}

void select_in_process_backend(bool selected) {
    Registry &devices = registry();
    std::lock_guard guard(devices.lock);
    devices.selected = selected;
}

bool in_process_backend_active() {
    Registry &devices = registry();
    std::lock_guard guard(devices.lock);
    return devices.selected || !devices.devices.empty();
}

std::shared_ptr<platform::UsbBackend> in_process_backend() {
    static const auto backend = std::make_shared<InProcessBackend>();
    return backend;
}

}  // namespace velkor::usb
