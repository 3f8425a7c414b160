// Endpoints on POSIX: AF_UNIX SOCK_SEQPACKET sockets in a directory.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

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

// Each host's socket is non-blocking: a host that does not read gets its
// messages queued here, up to a limit, and is cut beyond it, so that it never
// stalls the device for the others.
class SocketEndpoint final : public Endpoint {
public:
    SocketEndpoint(const std::string &dir, const std::string &name) : path_(dir + "/" + name) {
        if (name.empty() || name.find('/') != std::string::npos)
            throw std::runtime_error("\"" + name + "\" is not a socket file name");
        make_directories(dir);
        const sockaddr_un address = socket_address(path_);
        clear_stale_socket(address);
        listener_ = Fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!listener_.valid()) throw std::runtime_error("cannot create a socket: " + errno_text());
        // Bound in a directory of its own and linked into place once it
        // listens: a host (or a second daemon's probe) never finds the name
        // refusing connections.
        std::string staging = dir + "/.drova-sim-XXXXXX";
        if (staging.size() + 2 >= sizeof address.sun_path) {
            listen_at(address);  // no room for the detour
        } else {
            if (!::mkdtemp(staging.data()))
                throw std::runtime_error("cannot create a directory in " + dir + ": " + errno_text());
            const std::string staged = staging + "/s";
            try {
                listen_at(socket_address(staged));
                if (::link(staged.c_str(), path_.c_str()) != 0)
                    throw std::runtime_error(errno == EEXIST ? path_ + " is served by another process"
                                                             : "cannot link " + path_ + ": " + errno_text());
            } catch (...) {
                ::unlink(staged.c_str());
                ::rmdir(staging.c_str());
                throw;
            }
            ::unlink(staged.c_str());
            ::rmdir(staging.c_str());
        }
        bound_ = true;
        make_pipe(stop_read_, stop_write_);
        make_pipe(wake_read_, wake_write_);
    }

    ~SocketEndpoint() override {
        if (bound_) ::unlink(path_.c_str());
    }

    Event wait(int timeout_ms) override {
        const auto deadline = timeout_ms < 0 ? Clock::time_point::max()
                                             : Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::vector<pollfd> fds;
        std::vector<Host> polled;
        for (;;) {
            if (stopping()) return {Event::Kind::stopped, 0, {}};
            {
                std::lock_guard lock(mutex_);
                reap_ended();
                if (!ready_.empty()) return next_ready();
                fds.assign({{stop_pipe[0], POLLIN, 0}, {stop_read_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}});
                // A listener that cannot accept (out of descriptors) would wake the poll at once, again and again.
                fds.push_back({Clock::now() < listener_pause_ ? -1 : listener_.get(), POLLIN, 0});
                polled.clear();
                for (const auto &[host, connection] : hosts_) {
                    fds.push_back({connection.fd.get(),
                                   static_cast<short>(POLLIN | (connection.outbox.empty() ? 0 : POLLOUT)), 0});
                    polled.push_back(host);
                }
            }
            int wait = -1;
            if (deadline != Clock::time_point::max()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                wait = static_cast<int>(std::clamp<std::int64_t>(left, 0, 1 << 30));
            }
            if (Clock::now() < listener_pause_) wait = wait < 0 ? kListenerPauseMs : std::min(wait, kListenerPauseMs);
            const int ready = ::poll(fds.data(), fds.size(), wait);
            if (ready < 0 && errno != EINTR && errno != EAGAIN && errno != ENOMEM) return {Event::Kind::stopped, 0, {}};
            if (ready > 0) {
                if (fds[0].revents || fds[1].revents) return {Event::Kind::stopped, 0, {}};
                std::lock_guard lock(mutex_);
                if (fds[2].revents) drain(wake_read_.get());
                if (fds[3].revents) accept_hosts();
                for (std::size_t i = 0; i < polled.size(); ++i)
                    if (fds[4 + i].revents) serve_socket(polled[i], fds[4 + i].revents);
                reap_ended();
                if (!ready_.empty()) return next_ready();
            }
            if (Clock::now() >= deadline) return {Event::Kind::timeout, 0, {}};
        }
    }

    bool send(Host host, std::span<const std::uint8_t> message) override {
        std::lock_guard lock(mutex_);
        const auto it = hosts_.find(host);
        if (it == hosts_.end() || it->second.ended || !it->second.writable) return false;
        Connection &connection = it->second;
        if (connection.outbox.empty()) {
            switch (send_now(connection, message)) {
            case Sent::done: return true;
            case Sent::failed: return false;
            case Sent::later: break;
            }
        }
        if (connection.outbox_bytes + message.size() > kMaxOutbox) {
            end(connection);  // it does not read
            return false;
        }
        connection.outbox.emplace_back(message.begin(), message.end());
        connection.outbox_bytes += message.size();
        wake();
        return true;
    }

    void disconnect(Host host) override {
        std::lock_guard lock(mutex_);
        const auto it = hosts_.find(host);
        if (it != hosts_.end()) end(it->second);
    }

    std::uint64_t peer_process(Host host) const override {
        std::lock_guard lock(mutex_);
        const auto it = hosts_.find(host);
        return it == hosts_.end() ? 0 : it->second.process;
    }

    void stop() override {
        const char byte = 1;
        [[maybe_unused]] auto written = ::write(stop_write_.get(), &byte, 1);
    }

    const std::string &address() const override { return path_; }

private:
    using Clock = std::chrono::steady_clock;
    // Far more than a 512-byte frame: a longer host message is cut to this.
    static constexpr std::size_t kMaxMessage = 65536;
    static constexpr std::size_t kMaxOutbox = 1 << 20;
    static constexpr std::size_t kMaxHosts = 64;
    static constexpr int kListenerPauseMs = 100;

    struct Connection {
        Fd fd;
        std::uint64_t process = 0;
        std::deque<Bytes> outbox;  // what the socket could not take yet
        std::size_t outbox_bytes = 0;
        bool writable = true;  // false once the host is found gone on a send
        bool ended = false;    // disconnected here: its closed event is due
    };
    enum class Sent { done, later, failed };

    void listen_at(const sockaddr_un &address) {
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path_ + ": " + errno_text());
        if (::listen(listener_.get(), SOMAXCONN) != 0)
            throw std::runtime_error("cannot listen on " + path_ + ": " + errno_text());
    }

    static void make_pipe(Fd &read_end, Fd &write_end) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create a pipe: " + errno_text());
        read_end = Fd(ends[0]);
        write_end = Fd(ends[1]);
    }

    static void drain(int fd) {
        char bytes[64];
        while (::read(fd, bytes, sizeof bytes) > 0) {
        }
    }

    // The daemon's stop and this endpoint's own stay raised once raised.
    bool stopping() const {
        pollfd fds[2] = {{stop_pipe[0], POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
        return ::poll(fds, 2, 0) > 0 && (fds[0].revents || fds[1].revents);
    }

    void wake() {
        const char byte = 1;
        [[maybe_unused]] auto written = ::write(wake_write_.get(), &byte, 1);
    }

    Event next_ready() {
        Event event = std::move(ready_.front());
        ready_.pop_front();
        return event;
    }

    void accept_hosts() {
        for (;;) {
            Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd.valid()) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    listener_pause_ = Clock::now() + std::chrono::milliseconds(kListenerPauseMs);
                return;
            }
            if (hosts_.size() >= kMaxHosts) continue;  // turned away: it reads end of file
            const Host host = next_host_++;
            Connection &connection = hosts_[host];
            connection.fd = std::move(fd);
            connection.process = peer_pid(connection.fd.get());
            ready_.push_back({Event::Kind::connected, host, {}});
        }
    }

    static std::uint64_t peer_pid(int fd) {
#if defined(SO_PEERCRED)
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.pid > 0)
            return static_cast<std::uint64_t>(credentials.pid);
#endif
        (void)fd;
        return 0;
    }

    // One message in per round, so that a host that writes a lot does not
    // starve the others; whatever waits to go out goes as far as it can.
    void serve_socket(Host host, short revents) {
        const auto it = hosts_.find(host);
        if (it == hosts_.end() || it->second.ended) return;
        Connection &connection = it->second;
        if (revents & POLLOUT) flush(connection);
        if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
        receive_buffer_.resize(kMaxMessage);
        const ssize_t n = ::recv(connection.fd.get(), receive_buffer_.data(), receive_buffer_.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        // An empty message and the end of the stream both read as 0 bytes;
        // only the end comes with a hang-up.
        if (n < 0 || (n == 0 && (revents & (POLLHUP | POLLERR)))) {
            hosts_.erase(it);
            ready_.push_back({Event::Kind::closed, host, {}});
            return;
        }
        receive_buffer_.resize(static_cast<std::size_t>(n));
        ready_.push_back({Event::Kind::message, host, receive_buffer_});
    }

    Sent send_now(Connection &connection, std::span<const std::uint8_t> message) {
        const ssize_t n = ::send(connection.fd.get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(message.size())) return Sent::done;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Sent::later;
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            // Gone; what it wrote before it went is still read, up to the end.
            connection.writable = false;
            connection.outbox.clear();
            connection.outbox_bytes = 0;
        } else {
            end(connection);
        }
        return Sent::failed;
    }

    void flush(Connection &connection) {
        while (!connection.outbox.empty() && connection.writable) {
            if (send_now(connection, connection.outbox.front()) != Sent::done) return;
            connection.outbox_bytes -= connection.outbox.front().size();
            connection.outbox.pop_front();
        }
    }

    // The host reads what the socket takes of its outbox at once, then end
    // of file; the descriptor is closed by the waiting thread, which may be
    // polling it right now.
    void end(Connection &connection) {
        if (connection.ended) return;
        connection.ended = true;  // first: a send that fails in the flush ends it too
        flush(connection);
        ::shutdown(connection.fd.get(), SHUT_RDWR);
        connection.writable = false;
        connection.outbox.clear();
        connection.outbox_bytes = 0;
        wake();
    }

    void reap_ended() {
        for (auto it = hosts_.begin(); it != hosts_.end();) {
            if (!it->second.ended) {
                ++it;
                continue;
            }
            const Host host = it->first;
            std::erase_if(ready_, [host](const Event &event) { return event.host == host; });
            ready_.push_back({Event::Kind::closed, host, {}});
            it = hosts_.erase(it);
        }
    }

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
    Fd stop_read_, stop_write_;  // this endpoint's own stop, beside the daemon's
    Fd wake_read_, wake_write_;  // a send or disconnect from another thread has work for the wait
    bool bound_ = false;
    Clock::time_point listener_pause_{};
    Bytes receive_buffer_;  // the waiting thread's

    mutable std::mutex mutex_;  // everything below
    std::map<Host, Connection> hosts_;
    std::deque<Event> ready_;
    Host next_host_ = 1;
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
