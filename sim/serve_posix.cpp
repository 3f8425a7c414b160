// Endpoints on POSIX: AF_UNIX SOCK_SEQPACKET sockets in a directory.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "endpoint.h"

namespace velkor::sim {

namespace {

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int) {
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(stop_pipe[1], &byte, 1);
}

std::string errno_text() { return std::generic_category().message(errno); }

// Closes a descriptor it owns.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

void make_directories(const std::string &dir) {
    std::string path;
    std::size_t start = 0;
    while (start <= dir.size()) {
        std::size_t slash = dir.find('/', start);
        if (slash == std::string::npos) slash = dir.size();
        path = dir.substr(0, slash);
        if (!path.empty() && ::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create directory " + path + ": " + errno_text());
        start = slash + 1;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw std::runtime_error(dir + " is not a directory");
}

sockaddr_un socket_address(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path " + path + " is longer than " +
                                 std::to_string(sizeof address.sun_path - 1) + " characters");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

class SocketEndpoint final : public Endpoint {
public:
    SocketEndpoint(const std::string &dir, const std::string &name) : path_(dir + "/" + name) {
        if (name.empty() || name.find('/') != std::string::npos)
            throw std::runtime_error("\"" + name + "\" is not a socket file name");
        make_directories(dir);
        const sockaddr_un address = socket_address(path_);
        clear_stale_socket(address);
        listener_ = Fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (!listener_.valid()) throw std::runtime_error("cannot create a socket: " + errno_text());
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path_ + ": " + errno_text());
        bound_ = true;
        if (::listen(listener_.get(), 4) != 0) throw std::runtime_error("cannot listen on " + path_ + ": " + errno_text());
        int wake[2];
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create a pipe: " + errno_text());
        stop_read_ = Fd(wake[0]);
        stop_write_ = Fd(wake[1]);
    }

    ~SocketEndpoint() override {
        if (bound_) ::unlink(path_.c_str());
    }

    bool accept() override {
        for (;;) {
            pollfd fds[3] = {{listener_.get(), POLLIN, 0}, {stop_pipe[0], POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[1].revents || fds[2].revents) return false;
            if (fds[0].revents & POLLIN) {
                host_ = Fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (host_.valid()) return true;
            }
        }
    }

    Received receive(Bytes &message, int timeout_ms) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
        for (;;) {
            int wait = -1;
            if (timeout_ms >= 0)
                wait = static_cast<int>(std::max<std::int64_t>(
                    0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
            pollfd fds[4] = {{host_.get(), POLLIN, 0},
                             {stop_pipe[0], POLLIN, 0},
                             {listener_.get(), POLLIN, 0},
                             {stop_read_.get(), POLLIN, 0}};
            const int ready = ::poll(fds, 4, wait);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return Received::closed;
            }
            if (fds[1].revents || fds[3].revents) return Received::stopped;
            if (fds[0].revents) {
                message.resize(kMaxMessage);
                const ssize_t n = ::recv(host_.get(), message.data(), message.size(), 0);
                if (n <= 0) return Received::closed;
                message.resize(static_cast<std::size_t>(n));
                return Received::message;
            }
            if (fds[2].revents & POLLIN) {
                // Busy with one host: a second one is turned away at once.
                Fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                continue;
            }
            if (ready == 0) return Received::timeout;
        }
    }

    bool send(std::span<const std::uint8_t> message) override {
        return ::send(host_.get(), message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
    }

    void disconnect() override { host_.reset(); }

    bool pause(std::uint32_t ms) override {
        pollfd fds[2] = {{stop_pipe[0], POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            const int ready = ::poll(fds, 2, static_cast<int>(std::max<std::int64_t>(0, left.count())));
            if (ready > 0) return false;
            if (ready == 0) return true;
            if (errno != EINTR) return true;
        }
    }

    void stop() override {
        const char byte = 1;
        [[maybe_unused]] auto written = ::write(stop_write_.get(), &byte, 1);
    }

    const std::string &address() const override { return path_; }

private:
    static constexpr std::size_t kMaxMessage = 4096;

    // A socket file left by a daemon that did not stop cleanly is replaced;
    // one that a live daemon still serves is not.
    void clear_stale_socket(const sockaddr_un &address) {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) != 0) return;
        if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path_ + " exists and is not a socket");
        Fd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (probe.valid() && ::connect(probe.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
            throw std::runtime_error(path_ + " is served by another process");
        ::unlink(path_.c_str());
    }

    std::string path_;
    Fd listener_;
    Fd host_;
    Fd stop_read_, stop_write_;  // this endpoint's own stop, beside the daemon's
    bool bound_ = false;
};

}  // namespace

std::string default_endpoint_dir() { return "/run/velkor/usb"; }

std::unique_ptr<Endpoint> open_endpoint(const std::string &dir, const std::string &name) {
    return std::make_unique<SocketEndpoint>(dir, name);
}

void install_stop_handlers() {
    if (stop_pipe[0] < 0 && ::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot create a pipe: " + errno_text());
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void request_stop() { on_stop_signal(0); }

bool stop_requested() {
    pollfd fd{stop_pipe[0], POLLIN, 0};
    return stop_pipe[0] >= 0 && ::poll(&fd, 1, 0) > 0;
}

}  // namespace velkor::sim
