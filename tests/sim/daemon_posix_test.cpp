// drova-sim end to end: the built daemon in its own process, reached through
// its SOCK_SEQPACKET sockets as a host's driver reaches it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "endpoint.h"
#include "sim_host.h"

extern char **environ;

namespace velkor::sim::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 5000;
// How long a device that has nothing more to say is listened to.
constexpr int kQuietMs = 30;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/drova-sim-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// The serial number word of a query's answer body; 0 when it is no such body.
std::uint32_t serial_in(const Bytes &query_body) {
    return query_body.size() >= 1 + kSearchBlockSize ? get_be32(&query_body[1 + 72]) : 0;
}

// The size of an answer block's body; 0 when it has none.
std::size_t body_size(const Bytes &block) {
    const auto body = answer_body(block);
    return body ? body->size() : 0;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The daemon, started with the given arguments and its output in a file.
class Daemon {
public:
    Daemon(const fs::path &dir, std::vector<std::string> args) : output_(dir / "daemon.out") {
        args.insert(args.begin(), DROVA_SIM_BINARY);
        std::vector<char *> argv;
        for (auto &arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, DROVA_SIM_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Daemon() {
        if (pid_ > 0) stop();
    }

    // Waits until the daemon serves `path`, or has exited.
    bool serving(const fs::path &path) {
        for (int i = 0; i < kWaitMs / 10; ++i) {
            if (fs::exists(path)) return true;
            if (exited()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Its exit code after SIGTERM (or after it ended by itself).
    int stop() {
        if (pid_ <= 0) return status_;
        if (!exited()) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        pid_ = -1;
        return status_;
    }

    // Exit code of a daemon that ends by itself (a refused configuration).
    int wait() {
        for (int i = 0; i < kWaitMs / 10 && !exited(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return stop();
    }

    std::string output() const { return read_file(output_); }
    pid_t pid() const { return pid_; }

private:
    bool exited() {
        if (pid_ <= 0) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return true;
    }

    fs::path output_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A host's connection to one device socket, made by a child process (which
// then ends) when `other_process` is set: the daemon knows it by that
// process, as another host's. The device's messages are plain blocks;
// nothing marks the end of an answer.
class Connection {
public:
    explicit Connection(const fs::path &path, bool other_process = false)
        : fd_(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const auto join = [&] { return ::connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0; };
        if (!other_process) {
            connected_ = join();
            return;
        }
        const pid_t child = ::fork();
        if (child == 0) ::_exit(join() ? 0 : 1);
        int status = 1;
        connected_ = child > 0 && ::waitpid(child, &status, 0) == child && status == 0;
    }
    Connection(const Connection &) = delete;
    ~Connection() { ::close(fd_); }
    bool connected() const { return connected_; }

    bool write(const Bytes &command_bytes) { return write_raw(make_command_frame(command_bytes)); }
    bool write_raw(const Bytes &message) {
        return ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
    }

    enum class Next { block, closed, nothing };
    // The next message from the device, waiting up to `wait_ms`.
    Next next(Bytes &block, int wait_ms = kWaitMs) {
        pollfd fd{fd_, POLLIN, 0};
        if (::poll(&fd, 1, wait_ms) <= 0) return Next::nothing;
        block.resize(4096);
        const ssize_t n = ::recv(fd_, block.data(), block.size(), 0);
        block.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        return n <= 0 ? Next::closed : Next::block;
    }
    // The next `count` blocks; fewer when the device falls silent or goes.
    std::vector<Bytes> read(std::size_t count) {
        std::vector<Bytes> blocks;
        Bytes block;
        while (blocks.size() < count && next(block) == Next::block) blocks.push_back(block);
        return blocks;
    }
    bool quiet(int ms = kQuietMs) {
        Bytes block;
        return next(block, ms) == Next::nothing;
    }
    // The body of the one answer block a command gets.
    Bytes ask(const Bytes &command_bytes) {
        const auto blocks = write(command_bytes) ? read(1) : std::vector<Bytes>{};
        EXPECT_EQ(blocks.size(), 1u) << "no answer to opcode " << int(command_bytes[0]);
        const auto body = blocks.empty() ? std::nullopt : answer_body(blocks[0]);
        return body ? Bytes(body->begin(), body->end()) : Bytes{};
    }

private:
    int fd_;
    bool connected_ = false;
};

class DaemonTest : public ::testing::Test {
protected:
    fs::path socket(const char *name) const { return dir.path() / "usb" / name; }
    std::vector<std::string> args(std::vector<std::string> extra) const {
        extra.insert(extra.begin(), {"--dir", (dir.path() / "usb").string()});
        return extra;
    }

    TempDir dir;
};

TEST_F(DaemonTest, AnswersArePlainBlocksWithNothingAfterThem) {
    Daemon daemon(dir.path(), args({"-v"}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    Connection host(socket("drova00"));
    ASSERT_TRUE(host.connected());

    ASSERT_TRUE(host.write(command(kKeepAlive)));
    EXPECT_EQ(host.read(1), std::vector<Bytes>{make_answer_frame(Bytes{kKeepAlive})});
    EXPECT_TRUE(host.quiet());
    EXPECT_EQ(host.ask(command(kQuery)).size(), 89u);
    EXPECT_EQ(host.ask(connect_command(kHostId)).at(0), kConnectAck);
    ASSERT_TRUE(host.write(command(kConnectAck, {0, 0x11, 0x22, 0x33})));
    EXPECT_TRUE(host.quiet());
    ASSERT_TRUE(host.write(command(kFlashInfo)));
    EXPECT_EQ(host.read(4).size(), 4u);
    EXPECT_TRUE(host.quiet());
    // Whatever the host writes is taken, even what is no frame: unanswered.
    for (const Bytes &junk : {Bytes(7, 0xAA), Bytes{}, Bytes(70000, 0x55)}) {
        ASSERT_TRUE(host.write_raw(junk));
        EXPECT_TRUE(host.quiet());
    }
    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});

    EXPECT_EQ(daemon.stop(), 0);
    const std::string log = daemon.output();
    EXPECT_NE(log.find("[drova00 #1] note  connected, process " + std::to_string(::getpid())), std::string::npos) << log;
    EXPECT_NE(log.find("[drova00 #1] host> E5 keep-alive n=1"), std::string::npos) << log;
    EXPECT_NE(log.find("[drova00 #1] dev<  E7 flash-info body 338"), std::string::npos) << log;
    EXPECT_EQ(log.find("body 506"), std::string::npos) << log;
}

TEST_F(DaemonTest, TwoDevicesServedAtOnce) {
    Daemon daemon(dir.path(), args({"--devices", "2", "--serial", "KV47D00001"}));
    ASSERT_TRUE(daemon.serving(socket("drova01"))) << daemon.output();
    Connection first(socket("drova00"));
    Connection second(socket("drova01"));
    ASSERT_TRUE(first.connected() && second.connected());

    EXPECT_EQ(first.ask(connect_command(kHostId)).at(0), kConnectAck);
    const Bytes other = second.ask(command(kQuery));
    ASSERT_EQ(other.size(), 89u);  // not claimed by the first device's claim
    EXPECT_EQ(get_be32(&other[1 + 72]), 0x8D0002u);
    EXPECT_EQ(serial_in(first.ask(command(kQuery))), 0x8D0001u);
    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_FALSE(fs::exists(socket("drova00")));
    EXPECT_FALSE(fs::exists(socket("drova01")));
}

TEST_F(DaemonTest, ServingLinesShowSerialNumbersAsDrovaDoes) {
    struct Row {
        const char *serial;
        const char *first, *second;
    };
    // Only the low 24 bits of the reported word are the serial number; a
    // number without a text form is shown as the number alone.
    for (const Row &row : {Row{"KV47D00291", "(serial KV47D00291 (0x8D0123), ", "(serial KV47D00292 (0x8D0124), "},
                           Row{"0x7E800001", "(serial KV47000001 (0x800001), ", "(serial KV47000002 (0x800002), "},
                           Row{"0x00FFFF", "(serial 0x00FFFF, ", "(serial 0x010000, "}}) {
        Daemon daemon(dir.path(), args({"--devices", "2", "--serial", row.serial}));
        ASSERT_TRUE(daemon.serving(socket("drova01"))) << daemon.output();
        EXPECT_EQ(daemon.stop(), 0);
        const std::string log = daemon.output();
        EXPECT_NE(log.find(std::string("drova00 ") + row.first), std::string::npos) << log;
        EXPECT_NE(log.find(std::string("drova01 ") + row.second), std::string::npos) << log;
    }
}

TEST_F(DaemonTest, SeveralHostsAtOnceAndTheClaimBelongsToTheHoldingProcess) {
    Daemon daemon(dir.path(), args({}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    {
        Connection holder(socket("drova00"));
        Connection other(socket("drova00"), true);
        ASSERT_TRUE(holder.connected() && other.connected());
        ASSERT_TRUE(holder.write(connect_command(kHostId)));
        ASSERT_TRUE(other.write(command(kQuery)));
        EXPECT_EQ(body_size(holder.read(1).at(0)), 5u);
        EXPECT_EQ(body_size(other.read(1).at(0)), 89u);  // a held device still shows in the search
        const Bytes refused = other.ask(connect_command(kOtherHostId));
        ASSERT_EQ(refused.size(), 17u);
        EXPECT_EQ(get_be32(&refused[1]), static_cast<std::uint32_t>(Refusal::held_by_another_host));
        EXPECT_EQ(holder.ask(command(kQuery)).size(), 349u);
        EXPECT_TRUE(holder.quiet() && other.quiet());
    }
    // The claim outlives the link: the holder's process opens it again.
    Connection again(socket("drova00"));
    EXPECT_EQ(again.ask(command(kQuery)).size(), 349u);
    EXPECT_EQ(again.ask(command(kErase, {0})), (Bytes{kErase, 0x00}));
}

TEST_F(DaemonTest, UnplugCutsEveryHostAndTheDeviceComesBack) {
    Daemon daemon(dir.path(), args({"--fault", "unplug@flash-info,amount=1"}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    {
        Connection host(socket("drova00"));
        Connection other(socket("drova00"), true);
        host.ask(connect_command(kHostId));
        ASSERT_TRUE(host.write(command(kFlashInfo)));
        EXPECT_EQ(host.read(1).size(), 1u);
        for (Connection *cut : {&host, &other}) {
            Bytes block;
            EXPECT_EQ(cut->next(block), Connection::Next::closed);
        }
    }
    Connection host(socket("drova00"));
    EXPECT_EQ(host.ask(command(kQuery)).size(), 89u);  // plugged in again, nobody holds it
}

TEST_F(DaemonTest, LateAnswerArrivesUnsolicitedAfterItsDelay) {
    Daemon daemon(dir.path(), args({"--fault", "late_answer@keep-alive,amount=40"}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    Connection host(socket("drova00"));
    ASSERT_TRUE(host.write(command(kKeepAlive)));
    EXPECT_TRUE(host.quiet(10));
    EXPECT_EQ(host.read(1), std::vector<Bytes>{make_answer_frame(Bytes{kKeepAlive})});
    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});
}

TEST_F(DaemonTest, HostsThatDoNotReadStopNoOne) {
    Daemon daemon(dir.path(), args({}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    Connection deaf(socket("drova00")), flooding(socket("drova00")), other(socket("drova00"));
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(deaf.write(command(kKeepAlive)));
    EXPECT_EQ(other.ask(command(kKeepAlive)), Bytes{kKeepAlive});
    EXPECT_EQ(deaf.read(3000).size(), 3000u);  // nothing lost when it reads at last
    // One that keeps writing is cut before the daemon's memory runs out.
    int written = 0;
    while (written < 100000 && flooding.write(command(kQuery))) ++written;
    EXPECT_LT(written, 100000);
    EXPECT_EQ(other.ask(command(kKeepAlive)), Bytes{kKeepAlive});
}

TEST_F(DaemonTest, ManyHostsComeAndGoLeavingNothingBehind) {
    Daemon daemon(dir.path(), args({}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    const fs::path descriptors = "/proc/" + std::to_string(daemon.pid()) + "/fd";
    const auto open_now = [&] { return std::distance(fs::directory_iterator(descriptors), fs::directory_iterator{}); };
    std::ptrdiff_t before = 0;
    {
        Connection first(socket("drova00"));
        EXPECT_EQ(first.ask(command(kKeepAlive)), Bytes{kKeepAlive});
        before = open_now() - 1;  // one per host
    }
    for (int round = 0; round < 10; ++round) {
        std::deque<Connection> hosts;
        for (int i = 0; i < 20; ++i) {
            hosts.emplace_back(socket("drova00"));
            // Some ask, some leave without reading, some without a word.
            if (i % 3 == 0) {
                EXPECT_EQ(hosts.back().ask(command(kKeepAlive)), Bytes{kKeepAlive});
            } else if (i % 3 == 1) {
                EXPECT_TRUE(hosts.back().write(command(kQuery)));
            }
        }
    }
    for (int i = 0; i < kWaitMs / 10 && open_now() != before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(open_now(), before);
}

TEST_F(DaemonTest, FlashSurvivesARestartWithAStateDirectory) {
    const std::string state = (dir.path() / "state").string();
    const Bytes written{0x12, 0x34, 0x56};
    {
        Daemon daemon(dir.path(), args({"--state", state, "--sectors", "2"}));
        ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
        Connection host(socket("drova00"));
        host.ask(connect_command(kHostId));
        host.ask(at_area(kAddress, 1, 0x20));
        EXPECT_EQ(host.ask(Bytes{kData, 0x12, 0x34, 0x56}), (Bytes{kData, 0, 0, 0, 3}));
        EXPECT_EQ(host.ask(Bytes{kWriteSerial, 0x7E, 0x80, 0x00, 0x01}).size(), 5u);
        EXPECT_EQ(daemon.stop(), 0);
    }
    EXPECT_TRUE(fs::exists(fs::path(state) / "drova00.state"));
    Daemon daemon(dir.path(), args({"--state", state, "--sectors", "2"}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    Connection host(socket("drova00"));
    EXPECT_EQ(serial_in(host.ask(command(kQuery))), 0x800001u);
    host.ask(connect_command(kHostId));
    EXPECT_EQ(host.ask(checksum_command(1, 0x20, 3)), (Bytes{kChecksum, ones_complement_checksum(written)}));
    EXPECT_EQ(daemon.stop(), 0);

    // A state directory written for another geometry is not silently dropped.
    Daemon mismatch(dir.path(), args({"--state", state, "--sectors", "3"}));
    EXPECT_EQ(mismatch.wait(), 2);
    EXPECT_NE(mismatch.output().find("drova00.state: state file holds 2 sectors"), std::string::npos)
        << mismatch.output();
}

TEST_F(DaemonTest, BadConfigurationsEndWithAMessage) {
    Daemon small(dir.path(), args({"--sector-size", "10"}));
    EXPECT_EQ(small.wait(), 2);
    EXPECT_NE(small.output().find("sector size 10 outside"), std::string::npos) << small.output();

    const fs::path config = dir.path() / "bad.json";
    std::ofstream(config) << R"({"devices": [{"sectors": "many"}]})";
    Daemon json(dir.path(), args({"--config", config.string()}));
    EXPECT_EQ(json.wait(), 2);
    EXPECT_NE(json.output().find("bad.json: devices[0].sectors: expected a number"), std::string::npos)
        << json.output();

    std::ofstream(dir.path() / "file") << "x";
    Daemon not_a_dir(dir.path(), {"--dir", (dir.path() / "file" / "usb").string()});
    EXPECT_EQ(not_a_dir.wait(), 1);
    EXPECT_NE(not_a_dir.output().find("cannot create directory"), std::string::npos) << not_a_dir.output();
}

TEST_F(DaemonTest, ASocketServedByAnotherDaemonIsNotTaken) {
    Daemon first(dir.path(), args({}));
    ASSERT_TRUE(first.serving(socket("drova00"))) << first.output();
    TempDir other_output;
    Daemon second(other_output.path(), args({}));
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.output().find("is served by another process"), std::string::npos) << second.output();
    Connection host(socket("drova00"));
    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});
}

// The endpoint alone, as a bridge uses it: one thread waits while another sends.
TEST(SocketEndpointTest, SendsFromAnotherThreadWhileOneWaits) {
    TempDir dir;
    auto endpoint = open_endpoint(dir.path().string(), "drova00");
    Connection host(dir.path() / "drova00");
    Endpoint::Event event = endpoint->wait(kWaitMs);
    ASSERT_EQ(event.kind, Endpoint::Event::Kind::connected);
    EXPECT_EQ(endpoint->peer_process(event.host), static_cast<std::uint64_t>(::getpid()));
    std::thread waiter([&] { event = endpoint->wait(kWaitMs); });
    for (std::uint8_t i = 0; i < 50; ++i) EXPECT_TRUE(endpoint->send(1, Bytes(i + 1u, i)));
    endpoint->disconnect(1);
    waiter.join();
    EXPECT_EQ(event.kind, Endpoint::Event::Kind::closed);
    EXPECT_FALSE(endpoint->send(1, Bytes{1}));
    const auto blocks = host.read(51);
    ASSERT_EQ(blocks.size(), 50u);  // what was sent before the end, then the end
    EXPECT_EQ(blocks[49], Bytes(50, 49));
}

}  // namespace
}  // namespace velkor::sim::testing
