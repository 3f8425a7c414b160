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
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim_host.h"

extern char **environ;

namespace velkor::sim::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 5000;

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

// A host's connection to one device socket.
class Connection {
public:
    explicit Connection(const fs::path &path) : fd_(::socket(AF_UNIX, SOCK_SEQPACKET, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    ~Connection() { ::close(fd_); }
    bool connected() const { return connected_; }

    enum class Next { block, end, closed, nothing };
    // The next message from the device, waiting up to `wait_ms`.
    Next next(Bytes &block, int wait_ms = kWaitMs) {
        pollfd fd{fd_, POLLIN, 0};
        if (::poll(&fd, 1, wait_ms) <= 0) return Next::nothing;
        Bytes message(4096);
        const ssize_t n = ::recv(fd_, message.data(), message.size(), 0);
        if (n <= 0) return Next::closed;
        message.resize(static_cast<std::size_t>(n));
        if (message == Bytes{0x00}) return Next::end;
        EXPECT_EQ(message[0], 0x01);
        block.assign(message.begin() + 1, message.end());
        return Next::block;
    }

    struct Result {
        std::vector<Bytes> blocks;
        bool ended = false;  // the end message came; otherwise the connection closed or went silent
    };
    Result exchange(const Bytes &command_bytes) {
        const Bytes frame = make_command_frame(command_bytes);
        Result result;
        if (::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return result;
        for (;;) {
            Bytes block;
            switch (next(block)) {
            case Next::block: result.blocks.push_back(block); continue;
            case Next::end: result.ended = true; return result;
            default: return result;
            }
        }
    }
    // The single answer body of an exchange that ended normally.
    Bytes ask(const Bytes &command_bytes) {
        const Result result = exchange(command_bytes);
        EXPECT_TRUE(result.ended);
        EXPECT_EQ(result.blocks.size(), 1u);
        if (result.blocks.empty()) return {};
        const auto body = answer_body(result.blocks[0]);
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

TEST_F(DaemonTest, AnswersFramesAndEndsEveryExchange) {
    Daemon daemon(dir.path(), args({"-v"}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    Connection host(socket("drova00"));
    ASSERT_TRUE(host.connected());

    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});
    EXPECT_EQ(host.ask(command(kQuery)).size(), 89u);
    EXPECT_EQ(host.ask(connect_command(kHostId))[0], kConnectAck);
    const auto ack = host.exchange(command(kConnectAck, {0, 0x11, 0x22, 0x33}));
    EXPECT_TRUE(ack.ended);
    EXPECT_TRUE(ack.blocks.empty());
    const auto flash = host.exchange(command(kFlashInfo));
    EXPECT_TRUE(flash.ended);
    EXPECT_EQ(flash.blocks.size(), 4u);
    // Whatever the host writes is answered, even a block that is no frame.
    const auto junk = host.exchange(Bytes(7, 0xAA));
    EXPECT_TRUE(junk.ended);

    EXPECT_EQ(daemon.stop(), 0);
    const std::string log = daemon.output();
    EXPECT_NE(log.find("[drova00] host> E5 keep-alive n=1"), std::string::npos) << log;
    EXPECT_NE(log.find("[drova00] dev<  E7 flash-info body 338"), std::string::npos) << log;
    EXPECT_EQ(log.find("body 506"), std::string::npos) << log;
}

TEST_F(DaemonTest, TwoDevicesServedAtOnce) {
    Daemon daemon(dir.path(), args({"--devices", "2", "--serial", "KV47D00001"}));
    ASSERT_TRUE(daemon.serving(socket("drova01"))) << daemon.output();
    Connection first(socket("drova00"));
    Connection second(socket("drova01"));
    ASSERT_TRUE(first.connected() && second.connected());

    EXPECT_EQ(first.ask(connect_command(kHostId))[0], kConnectAck);
    const Bytes other = second.ask(command(kQuery));
    ASSERT_EQ(other.size(), 89u);  // not claimed by the first device's claim
    EXPECT_EQ(get_be32(&other[1 + 72]), 0x8D0002u);
    EXPECT_EQ(get_be32(&first.ask(command(kQuery))[1 + 72]), 0x8D0001u);
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

TEST_F(DaemonTest, OneHostConnectionAtATimeWhileTheClaimOutlivesIt) {
    Daemon daemon(dir.path(), args({}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    {
        Connection host(socket("drova00"));
        EXPECT_EQ(host.ask(connect_command(kHostId))[0], kConnectAck);
        Connection intruder(socket("drova00"));
        Bytes block;
        EXPECT_EQ(intruder.next(block), Connection::Next::closed);
        EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});
    }
    Connection again(socket("drova00"));
    EXPECT_EQ(again.ask(command(kQuery)).size(), 349u);  // still claimed
    EXPECT_EQ(again.ask(command(kErase, {0})), (Bytes{kErase, 0x00}));
}

TEST_F(DaemonTest, UnplugCutsTheExchangeAndTheDeviceComesBack) {
    Daemon daemon(dir.path(), args({"--fault", "unplug@flash-info,amount=1"}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    {
        Connection host(socket("drova00"));
        host.ask(connect_command(kHostId));
        const auto cut = host.exchange(command(kFlashInfo));
        EXPECT_FALSE(cut.ended);
        EXPECT_EQ(cut.blocks.size(), 1u);
        Bytes block;
        EXPECT_EQ(host.next(block, 0), Connection::Next::closed);
    }
    Connection host(socket("drova00"));
    EXPECT_EQ(host.ask(command(kQuery)).size(), 89u);  // plugged in again, nobody holds it
}

TEST_F(DaemonTest, LateAnswerArrivesUnsolicitedAfterItsDelay) {
    Daemon daemon(dir.path(), args({"--fault", "late_answer@keep-alive,amount=100"}));
    ASSERT_TRUE(daemon.serving(socket("drova00"))) << daemon.output();
    Connection host(socket("drova00"));
    const auto first = host.exchange(command(kKeepAlive));
    EXPECT_TRUE(first.ended);
    EXPECT_TRUE(first.blocks.empty());
    Bytes block;
    ASSERT_EQ(host.next(block), Connection::Next::block);
    EXPECT_EQ(block, make_answer_frame(Bytes{kKeepAlive}));
    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});
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
    EXPECT_EQ(get_be32(&host.ask(command(kQuery))[1 + 72]), 0x800001u);
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

}  // namespace
}  // namespace velkor::sim::testing
