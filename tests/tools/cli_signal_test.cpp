// drova stopped from outside, as its own process: Ctrl-C, SIGTERM and SIGHUP
// during a download stop it after the step in flight, release the device and
// end within a second; a reader that goes away (SIGPIPE) leaves the device
// free too. POSIX only: Wine delivers no console Ctrl-C to a program that a
// test starts without a console.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <regex>
#include <string>
#include <vector>

#include "cli_support.h"

namespace drova {
namespace {

using test::Result;
using test::SeparateDevices;
using test::write_file;

// A child process whose standard output and error come through pipes, and
// whose standard input is `input` when given (else drova's own).
class Child {
public:
    explicit Child(const std::vector<std::string> &arguments, int input = -1) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> words = arguments;
        std::vector<char *> argv;
        for (auto &word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (input >= 0) ::dup2(input, STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        ::close(out_);
        ::close(err_);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Reads standard output until `text` has appeared; false at its end.
    bool read_until(const std::string &text) {
        char buffer[4096];
        while (out_text_.find(text) == std::string::npos) {
            const auto got = ::read(out_, buffer, sizeof buffer);
            if (got <= 0) return false;
            out_text_.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }
    void signal(int number) const { ::kill(pid_, number); }
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string error_text() const {
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(err_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
        return text;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool waited_ = false;
    std::string out_text_;
};

std::size_t count_frames(const std::vector<std::string> &frames, const std::string &kind) {
    return static_cast<std::size_t>(
        std::count_if(frames.begin(), frames.end(), [&](const std::string &f) { return f.find(kind) == 0; }));
}

TEST(DrovaSignals, StopADownloadAfterTheStepInFlightAndReleaseTheDevice) {
    SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291"}]})", true);
    // 200 records of their own: some 10 s of download on drova-sim.
    const std::string image = write_file("signal.hex", test::gapped_intel_hex(200, 16, 16)).string();
    const struct {
        int signal;
        int status;
    } rows[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto &row : rows) {
        devices.clear_frames();
        Child child({DROVA_TEST_DROVA, "--library", DROVA_TEST_LIBRARY, "--yes", "download", image, "-t", "3",
                     "--erase"});
        // Off a terminal, each record gets a progress line of its own.
        ASSERT_TRUE(child.read_until("download: record 3 of 201")) << child.error_text();
        child.signal(row.signal);
        const auto signalled = std::chrono::steady_clock::now();
        const int status = child.wait();
        const auto took = std::chrono::steady_clock::now() - signalled;
        EXPECT_EQ(status, row.status) << row.signal;
        EXPECT_LT(took, std::chrono::seconds(1)) << row.signal;
        const std::string err = child.error_text();
        std::smatch written;
        ASSERT_TRUE(std::regex_search(err, written, std::regex("download stopped on request after (\\d+) of 201 records")))
            << err;
        const std::size_t done = std::stoul(written[1]);
        EXPECT_LT(done, 200u) << err;
        EXPECT_TRUE(err.find("area 3 holds an incomplete image") != std::string::npos) << err;

        // The device answers another host's connect: the first drova let go.
        const Result after = devices({"info"});
        EXPECT_EQ(after.status, 0) << after.err;
        // Up to the disconnect: the records written, the one in flight and nothing after it.
        auto frames = devices.frames();
        const auto disconnect = std::find_if(frames.begin(), frames.end(),
                                             [](const std::string &f) { return f.find("host> E1") == 0; });
        ASSERT_NE(disconnect, frames.end());
        frames.erase(disconnect, frames.end());
        const std::size_t addressed = count_frames(frames, "host> EC");
        EXPECT_TRUE(addressed == done || addressed == done + 1) << addressed << " records addressed, " << done
                                                                << " written";
    }
}

// The reader of drova's output goes away before drova is done with the device.
TEST(DrovaSignals, AClosedOutputPipeLeavesTheDeviceFree) {
    const SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291"}]})", true);
    const std::string command = std::string("( '") + DROVA_TEST_DROVA + "' --library '" + DROVA_TEST_LIBRARY +
                                "' info; echo \"drova status $?\" >&2 ) | head -1";
    Child shell({"/bin/sh", "-c", command});
    ASSERT_TRUE(shell.read_until("connected: DROVA simulated device, serial KV47D00291"));
    EXPECT_EQ(shell.wait(), 0);
    EXPECT_NE(shell.error_text().find("drova status 141"), std::string::npos);
    EXPECT_EQ(shell.error_text().find("could not be written"), std::string::npos) << "a closed pipe is no error";
    EXPECT_EQ(count_frames(devices.frames(), "host> E1"), 1u);
    const Result after = devices({"info"});
    EXPECT_EQ(after.status, 0) << after.err;
}

// The terminal side of a pseudo-terminal, which a child takes as its
// standard input: drova sees a terminal and asks.
class Terminal {
public:
    Terminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("pty");
        slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) throw std::runtime_error("pty slave");
    }
    ~Terminal() {
        ::close(slave_);
        ::close(master_);
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;
    int input() const { return slave_; }
    // Typed ahead: the line waits in the terminal until drova reads it.
    void type(const std::string &line) const {
        [[maybe_unused]] const auto written = ::write(master_, line.data(), line.size());
    }

private:
    int master_ = -1, slave_ = -1;
};

TEST(DrovaSignals, OnATerminalAChangeWaitsForAYes) {
    SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291", "sectors": 4}]})", true);
    const struct {
        const char *answer;
        int status;
        const char *said;  // on stdout when the status is 0, else on stderr
    } rows[] = {{"y\n", 0, "sector 3 erased"},
                {"yes\n", 0, "sector 3 erased"},
                {"n\n", 25, "not confirmed, nothing was changed"},
                {"\n", 25, "not confirmed, nothing was changed"},
                {"whatever\n", 25, "not confirmed, nothing was changed"}};
    for (const auto &row : rows) {
        devices.clear_frames();
        const Terminal terminal;
        terminal.type(row.answer);
        Child child({DROVA_TEST_DROVA, "--library", DROVA_TEST_LIBRARY, "erase", "3"}, terminal.input());
        const int status = child.wait();
        const std::string err = child.error_text();
        EXPECT_EQ(status, row.status) << row.answer << err;
        EXPECT_NE(err.find("erase sector 3 (empty) of DROVA simulated device, serial KV47D00291 (0x8D0123), interface "),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find(": go ahead? [y/N] "), std::string::npos) << err;
        EXPECT_EQ(count_frames(devices.frames(), "host> EB"), row.status == 0 ? 1u : 0u) << row.answer;
    }
}

// A device process that takes no host (stopped with Ctrl-Z, hung) listed first:
// the device behind it is found, and drova ends on a signal mid-search.
TEST(DrovaSignals, ASilentEndpointHidesNoDeviceAndHoldsNoSearch) {
    const SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291"}]})");
    const char *location = std::getenv("VELKOR_USB_DIR");
    ASSERT_NE(location, nullptr);
    // Listening, never accepting: a host's connect and write still go through.
    const int silent = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = std::string(location) + "/drova0";
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(silent, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 4), 0);

    const Result listed = devices({"list"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("KV47D00291"), std::string::npos) << listed.out;

    Child child({DROVA_TEST_DROVA, "--library", DROVA_TEST_LIBRARY, "--search-ms", "5000", "list"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    child.signal(SIGTERM);
    const auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(child.wait(), 143);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(1));
    ::close(silent);
    ::unlink(path.c_str());
}

// The device process ends mid-download (as a device is pulled out): drova
// learns it from the link at once and says so with a status of its own.
TEST(DrovaSignals, ADeviceGoneMidDownloadIsReportedAtOnce) {
    auto devices = std::make_unique<SeparateDevices>(R"({"devices": [{"serial": "KV47D00291"}]})");
    const std::string image = write_file("gone.hex", test::gapped_intel_hex(200, 16, 16)).string();
    Child child({DROVA_TEST_DROVA, "--library", DROVA_TEST_LIBRARY, "--yes", "download", image, "-t", "3", "--erase"});
    ASSERT_TRUE(child.read_until("download: record 3 of 201")) << child.error_text();
    devices.reset();
    const auto gone = std::chrono::steady_clock::now();
    EXPECT_EQ(child.wait(), 27);
    EXPECT_LT(std::chrono::steady_clock::now() - gone, std::chrono::seconds(1)) << "waited for a period";
    const std::string err = child.error_text();
    EXPECT_NE(err.find("the device went away"), std::string::npos) << err;
}

// A drova killed while connected leaves the device claimed: the next host is
// refused with the way out, and once the claim has lapsed the device serves it.
TEST(DrovaSignals, AClaimLeftByAKilledHostLapses) {
    const SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291", "claim_timeout_ms": 1500}]})");
    Child holder({DROVA_TEST_DROVA, "--library", DROVA_TEST_LIBRARY, "keepalive", "--every", "100"});
    ASSERT_TRUE(holder.read_until("keep-alive 1: connected")) << holder.error_text();
    holder.signal(SIGKILL);
    holder.wait();
    const Result refused = devices({"info"});
    EXPECT_EQ(refused.status, 19) << "connect failed\n" << refused.err;
    EXPECT_NE(refused.err.find("re-plug or power-cycle the device"), std::string::npos) << refused.err;
    // Other hosts' tries keep no claim alive; only the holder's frames would.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Result served;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        served = devices({"info"});
    } while (served.status != 0 && std::chrono::steady_clock::now() < limit);
    EXPECT_EQ(served.status, 0) << served.err;
}

// "-" is standard input: a pipe, which has no name to tell a format by.
TEST(DrovaSignals, ReadsTheImageFromStandardInput) {
    const SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291"}]})");
    const std::string image = write_file("stdin.hex", test::intel_hex(std::vector<std::uint8_t>(100, 0x5A), 0x800)).string();
    Child shell({"/bin/sh", "-c", std::string("cat '") + image + "' | '" + DROVA_TEST_DROVA + "' --library '" +
                                      DROVA_TEST_LIBRARY + "' --yes download - -t 2"});
    ASSERT_TRUE(shell.read_until("Intel HEX: 4 records in 1 blocks, 100 bytes, into area 2"));
    EXPECT_EQ(shell.wait(), 0) << shell.error_text();
    const Result verified = devices({"verify", image, "-t", "2"});
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
}

}  // namespace
}  // namespace drova
