// POSIX side of the USB driver seam: there is no device backend; devices are
// AF_UNIX SOCK_SEQPACKET sockets in a directory.
#include "platform/usb_driver.h"
#include "platform/usb_driver_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace velkor::platform {

namespace {

// Milliseconds left until `deadline`, as poll() takes them.
int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    if (deadline == std::chrono::steady_clock::time_point::max()) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 0x7FFFFFFF));
}

std::chrono::steady_clock::time_point deadline_after(std::uint32_t wait_ms) {
    if (wait_ms == kWaitForever) return std::chrono::steady_clock::time_point::max();
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
}

class SeqpacketChannel final : public MessageChannel {
public:
    explicit SeqpacketChannel(int fd) : fd_(fd) {}
    ~SeqpacketChannel() override { ::close(fd_); }

    // Tries the read first: a poll that finds a message there, or the zero
    // wait of a poll, costs one call.
    Receive receive(std::vector<std::uint8_t> &message, std::uint32_t wait_ms) override {
        const auto deadline = deadline_after(wait_ms);
        for (;;) {
            if (shut_down_) return Receive::closed;
            message.resize(kMaxMessage);
            const ssize_t got = ::recv(fd_, message.data(), message.size(), MSG_DONTWAIT);
            if (got > 0) {
                message.resize(static_cast<std::size_t>(got));
                return Receive::message;
            }
            if (got == 0) {
                // An empty message or the peer's end; only the hang-up tells
                // them apart.
                message.clear();
                pollfd watch{fd_, POLLRDHUP, 0};
                return ::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLRDHUP)) != 0 ? Receive::closed
                                                                                               : Receive::message;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return Receive::closed;
            const int left = remaining_ms(deadline);
            if (left == 0) return Receive::timed_out;
            pollfd watch{fd_, POLLIN | POLLRDHUP, 0};
            const int ready = ::poll(&watch, 1, left);
            if (ready < 0 && errno != EINTR) return Receive::closed;
            if (ready == 0) return Receive::timed_out;
        }
    }

    Receive wait_readable(std::uint32_t wait_ms) override {
        const auto deadline = deadline_after(wait_ms);
        for (;;) {
            if (shut_down_) return Receive::closed;
            pollfd watch{fd_, POLLIN | POLLRDHUP, 0};
            const int ready = ::poll(&watch, 1, remaining_ms(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || shut_down_) return Receive::closed;
            if (ready == 0) return Receive::timed_out;
            // Messages queued before a hang-up are still read first.
            if ((watch.revents & POLLIN) != 0) return Receive::message;
            return Receive::closed;
        }
    }

    bool send(const std::uint8_t *data, std::size_t size, std::uint32_t wait_ms) override {
        const auto deadline = deadline_after(wait_ms);
        for (;;) {
            if (shut_down_) return false;
            const ssize_t sent = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0) return static_cast<std::size_t>(sent) == size;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            pollfd watch{fd_, POLLOUT, 0};
            const int ready = ::poll(&watch, 1, remaining_ms(deadline));
            if (ready == 0) return false;
            if (ready < 0 && errno != EINTR) return false;
        }
    }

    bool shut_down() override {
        shut_down_ = true;
        // A peer that already left makes shutdown() report ENOTCONN; the
        // channel is ended all the same.
        return ::shutdown(fd_, SHUT_RDWR) == 0 || errno == ENOTCONN;
    }

    std::intptr_t handle() const override { return fd_; }

private:
    const int fd_;
    std::atomic<bool> shut_down_{false};
};

}  // namespace

UsbBackend *device_backend() { return nullptr; }

std::unique_ptr<MessageChannel> connect_device_endpoint(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return nullptr;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking: a device whose backlog is full refuses at once instead of
    // holding the caller.
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return nullptr;
    }
    return adopt_seqpacket_socket(fd);
}

std::unique_ptr<MessageChannel> adopt_seqpacket_socket(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::make_unique<SeqpacketChannel>(fd);
}

}  // namespace velkor::platform
