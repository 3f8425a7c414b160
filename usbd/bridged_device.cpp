#include "bridged_device.h"

#include <stdexcept>

namespace velkor::usbd {

namespace {

// Host blocks waiting for the OUT endpoint; past this the serve thread stops
// reading the hosts' messages until the device takes one.
constexpr std::size_t kMaxQueuedBlocks = 64;
// IN transfers that may fail in a row before the next one waits a little, so
// that a broken endpoint does not keep the event thread busy.
constexpr unsigned kInFailuresBeforePause = 8;
constexpr std::chrono::milliseconds kInPause{100};
// Cancelled transfers come back at once; this is for a libusb that never
// returns them, which would otherwise hang the daemon's exit.
constexpr std::chrono::seconds kReapLimit{10};

std::string host_text(sim::Endpoint::Host host) { return "host " + std::to_string(host); }

}  // namespace

BridgedDevice::BridgedDevice(std::string name, std::unique_ptr<UsbLink> link, std::unique_ptr<sim::Endpoint> endpoint,
                             ServeOptions options, std::function<void()> gone)
    : name_(std::move(name)),
      link_(std::move(link)),
      endpoint_(std::move(endpoint)),
      options_(std::move(options)),
      gone_(std::move(gone)),
      in_(libusb_alloc_transfer(0)),
      out_(libusb_alloc_transfer(0)) {
    if (!in_ || !out_) throw std::runtime_error("libusb cannot allocate a transfer");
    libusb_fill_bulk_transfer(in_.get(), link_->handle(), link_->in_endpoint(), in_buffer_.data(),
                              static_cast<int>(in_buffer_.size()), &BridgedDevice::in_completed, this, 0);
    courier_ = std::thread([this] { run_errands(); });
    {
        std::lock_guard guard(lock_);
        submit_in_locked();
    }
    serve_thread_ = std::thread([this] { serve(); });
}

BridgedDevice::~BridgedDevice() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        out_queue_.clear();
    }
    changed_.notify_all();
    endpoint_->stop();
    serve_thread_.join();
    bool reaped;
    {
        std::unique_lock guard(lock_);
        // A transfer the courier holds (a stall being cleared) is given back by it.
        if (in_busy_) libusb_cancel_transfer(in_.get());
        if (out_busy_) libusb_cancel_transfer(out_.get());
        reaped = changed_.wait_for(guard, kReapLimit, [this] { return !in_busy_ && !out_busy_ && forwarding_ == 0; });
        courier_stop_ = true;
    }
    changed_.notify_all();
    courier_.join();
    if (!reaped) {
        // Freeing them could let libusb write into freed memory: left behind.
        log_problem("transfers not given back by libusb; left behind");
        (void)in_.release();
        (void)out_.release();
        (void)link_.release();
    }
    // The endpoint goes before the device: no host waits on a closed device.
    endpoint_.reset();
}

void LIBUSB_CALL BridgedDevice::in_completed(libusb_transfer *transfer) {
    static_cast<BridgedDevice *>(transfer->user_data)->on_in(*transfer);
}

void LIBUSB_CALL BridgedDevice::out_completed(libusb_transfer *transfer) {
    static_cast<BridgedDevice *>(transfer->user_data)->on_out(*transfer);
}

void BridgedDevice::on_in(libusb_transfer &transfer) {
    std::unique_lock guard(lock_);
    switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED: {
        in_failures_ = 0;
        // A zero-length packet ends a transfer but carries no block.
        if (transfer.actual_length <= 0) {
            submit_in_locked();
            return;
        }
        const Host host = answered_host_;
        const sim::Bytes block(in_buffer_.begin(), in_buffer_.begin() + transfer.actual_length);
        // The next transfer is pending before this one's data goes on.
        submit_in_locked();
        ++forwarding_;
        guard.unlock();
        // The endpoint's send never blocks; callbacks run one at a time, so blocks keep their order.
        forward(host, block);
        guard.lock();
        --forwarding_;
        changed_.notify_all();
        return;
    }
    case LIBUSB_TRANSFER_CANCELLED: submit_in_locked(); return;  // only when stopping
    case LIBUSB_TRANSFER_NO_DEVICE:
        in_busy_ = false;
        found_gone_locked();
        return;
    case LIBUSB_TRANSFER_STALL:
        errands_.push_back({Errand::Kind::clear_in_stall});
        changed_.notify_all();
        return;
    case LIBUSB_TRANSFER_OVERFLOW:
        log_problem("bulk IN overflow: the device sent more than " + std::to_string(kInTransferSize) +
                    " bytes in one transfer; they are lost");
        break;
    default: log_problem(std::string("bulk IN ") + libusb_error_name(transfer.status)); break;
    }
    if (++in_failures_ < kInFailuresBeforePause) {
        submit_in_locked();
    } else {
        errands_.push_back({Errand::Kind::resubmit_in_later});
        changed_.notify_all();
    }
}

void BridgedDevice::on_out(libusb_transfer &transfer) {
    std::lock_guard guard(lock_);
    const std::string whose = "the block of " + host_text(out_host_);
    switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
        answered_host_ = out_host_;
        if (transfer.actual_length < transfer.length)
            log_problem("bulk OUT: the device took " + std::to_string(transfer.actual_length) + " of " +
                        std::to_string(transfer.length) + " bytes of " + whose);
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        out_busy_ = false;
        found_gone_locked();
        return;
    case LIBUSB_TRANSFER_STALL:
        log_problem("bulk OUT LIBUSB_ERROR_PIPE: " + whose + " is not delivered; clearing the stall");
        errands_.push_back({Errand::Kind::clear_out_stall});
        changed_.notify_all();
        return;
    case LIBUSB_TRANSFER_TIMED_OUT:
        log_problem("bulk OUT LIBUSB_ERROR_TIMEOUT: the device did not take " + whose + " within " +
                    std::to_string(options_.send_limit.count()) + " ms");
        break;
    case LIBUSB_TRANSFER_CANCELLED: break;
    default: log_problem(std::string("bulk OUT ") + libusb_error_name(transfer.status) + ": " + whose + " is not delivered"); break;
    }
    out_busy_ = false;
    submit_next_out_locked();
}

void BridgedDevice::submit_in_locked() {
    if (stopping_ || found_gone_) {
        in_busy_ = false;
        changed_.notify_all();
        return;
    }
    const int code = libusb_submit_transfer(in_.get());
    in_busy_ = true;
    if (code == 0) return;
    if (code == LIBUSB_ERROR_NO_DEVICE) {
        in_busy_ = false;
        found_gone_locked();
        return;
    }
    log_problem(std::string("bulk IN cannot be submitted: ") + libusb_error_name(code) + "; trying again shortly");
    errands_.push_back({Errand::Kind::resubmit_in_later});
    changed_.notify_all();
}

void BridgedDevice::submit_next_out_locked() {
    while (!out_busy_ && !stopping_ && !found_gone_ && !out_queue_.empty()) {
        HostBlock next = std::move(out_queue_.front());
        out_queue_.pop_front();
        out_buffer_ = std::move(next.bytes);
        out_host_ = next.host;
        libusb_fill_bulk_transfer(out_.get(), link_->handle(), link_->out_endpoint(), out_buffer_.data(),
                                  static_cast<int>(out_buffer_.size()), &BridgedDevice::out_completed, this,
                                  static_cast<unsigned>(std::max<long long>(options_.send_limit.count(), 1)));
        const int code = libusb_submit_transfer(out_.get());
        if (code == 0) {
            out_busy_ = true;
        } else if (code == LIBUSB_ERROR_NO_DEVICE) {
            found_gone_locked();
        } else {
            log_problem(std::string("bulk OUT ") + libusb_error_name(code) + ": the block of " + host_text(out_host_) +
                        " is not delivered");
        }
    }
    changed_.notify_all();  // room in the queue, or everything reaped
}

void BridgedDevice::found_gone_locked() {
    // Also when known already: a transfer that finds it gives itself back, and the destructor may wait for that.
    changed_.notify_all();
    if (found_gone_) return;
    found_gone_ = true;
    serving_ = false;
    out_queue_.clear();
    errands_.push_back({Errand::Kind::gone});
}

void BridgedDevice::serve() {
    for (;;) {
        sim::Endpoint::Event event = endpoint_->wait(-1);
        switch (event.kind) {
        case sim::Endpoint::Event::Kind::connected:
            hosts_.insert(event.host);
            log_detail(host_text(event.host) + " connected (process " +
                       std::to_string(endpoint_->peer_process(event.host)) + ")");
            break;
        case sim::Endpoint::Event::Kind::closed:
            hosts_.erase(event.host);
            log_detail(host_text(event.host) + " has gone");
            break;
        case sim::Endpoint::Event::Kind::message: {
            log_frame(sim::LogEntry::Kind::host_frame, event.host, event.message);
            // An empty message would be a zero-length packet: the device sees no block.
            if (event.message.empty()) {
                log_detail(host_text(event.host) + " sent an empty message; nothing goes to the device");
                break;
            }
            std::unique_lock guard(lock_);
            changed_.wait(guard, [this] { return stopping_ || found_gone_ || out_queue_.size() < kMaxQueuedBlocks; });
            if (stopping_ || found_gone_) break;
            out_queue_.push_back({event.host, std::move(event.message)});
            submit_next_out_locked();
            break;
        }
        case sim::Endpoint::Event::Kind::timeout: break;
        case sim::Endpoint::Event::Kind::stopped:
            if (!serving_)
                for (const Host host : hosts_) endpoint_->disconnect(host);
            return;
        }
    }
}

void BridgedDevice::run_errands() {
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return courier_stop_ || !errands_.empty(); });
        if (errands_.empty()) return;
        Errand next = std::move(errands_.front());
        errands_.pop_front();
        if (next.kind == Errand::Kind::resubmit_in_later) {
            changed_.wait_for(guard, kInPause, [this] { return stopping_; });
            submit_in_locked();
            continue;
        }
        guard.unlock();
        errand(std::move(next));
        guard.lock();
    }
}

void BridgedDevice::errand(Errand errand) {
    switch (errand.kind) {
    case Errand::Kind::clear_in_stall:
    case Errand::Kind::clear_out_stall: {
        const bool in = errand.kind == Errand::Kind::clear_in_stall;
        const int code = link_->clear_stall(in);
        if (code != 0 && code != LIBUSB_ERROR_NO_DEVICE)
            log_problem(std::string("the stall cannot be cleared: ") + libusb_error_name(code));
        else if (in)
            log_problem("bulk IN LIBUSB_ERROR_PIPE: the stall is cleared");
        std::lock_guard guard(lock_);
        if (code == LIBUSB_ERROR_NO_DEVICE) {
            (in ? in_busy_ : out_busy_) = false;
            found_gone_locked();
        } else if (in) {
            // A device that stalls every time gets its pause too.
            if (++in_failures_ < kInFailuresBeforePause) {
                submit_in_locked();
            } else {
                errands_.push_back({Errand::Kind::resubmit_in_later});
            }
        } else {
            out_busy_ = false;
            submit_next_out_locked();
        }
        changed_.notify_all();
        return;
    }
    case Errand::Kind::gone:
        log_problem("device gone");
        endpoint_->stop();
        if (gone_) gone_();
        return;
    case Errand::Kind::resubmit_in_later: return;  // run_errands' own
    }
}

void BridgedDevice::forward(Host host, const sim::Bytes &block) {
    log_frame(sim::LogEntry::Kind::device_frame, host, block);
    if (host == 0) {
        log_detail("a block before any host block went out: dropped");
        return;
    }
    if (!endpoint_->send(host, block)) log_detail(host_text(host) + " has gone: its block is dropped");
}

void BridgedDevice::log_frame(sim::LogEntry::Kind kind, Host host, std::span<const std::uint8_t> bytes) {
    if (options_.verbosity < 1 || !options_.log) return;
    const sim::LogEntry entry{kind, sim::Bytes(bytes.begin(), bytes.end()), {}};
    options_.log("[" + name_ + "] " + host_text(host) + " " + sim::describe(entry, options_.verbosity > 1));
}

void BridgedDevice::log_problem(const std::string &what) {
    if (options_.log) options_.log("[" + name_ + "] " + what);
}

void BridgedDevice::log_detail(const std::string &what) {
    if (options_.verbosity >= 1) log_problem(what);
}

}  // namespace velkor::usbd
