// The device server's event loop against an endpoint the test drives: which
// host gets which answer block, and when, on a clock that only moves while
// the server waits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "device_server.h"
#include "sim_host.h"

namespace velkor::sim::testing {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = Endpoint::Event::Kind;

// What a host does at a time of the script (milliseconds from its start).
struct Step {
    int at_ms;
    Kind kind;
    Endpoint::Host host;
    Bytes message = {};          // a message's frame
    std::uint64_t process = 0;   // a connection's peer
};

Step connects(int at_ms, Endpoint::Host host, std::uint64_t process) { return {at_ms, Kind::connected, host, {}, process}; }
Step writes(int at_ms, Endpoint::Host host, const Bytes &command_bytes) {
    return {at_ms, Kind::message, host, make_command_frame(command_bytes)};
}
// A message that is no frame at all.
Step sends_raw(int at_ms, Endpoint::Host host, Bytes message) { return {at_ms, Kind::message, host, std::move(message)}; }
Step closes(int at_ms, Endpoint::Host host) { return {at_ms, Kind::closed, host}; }

// Plays its script to the server and writes down what the server does, as
// "<ms> #<host> <opcode> <body size>" for a block ("late" added for a late
// one is not visible on the wire, so not written) and "<ms> #<host> cut".
class ScriptedEndpoint final : public Endpoint {
public:
    explicit ScriptedEndpoint(std::vector<Step> script) : script_(std::move(script)) {}

    Event wait(int timeout_ms) override {
        ++waits_;
        if (next_ < script_.size()) {
            const Step &step = script_[next_];
            const auto due = start_ + std::chrono::milliseconds(step.at_ms);
            if (timeout_ms < 0 || due <= now_ + std::chrono::milliseconds(timeout_ms)) {
                now_ = std::max(now_, due);
                ++next_;
                if (step.kind == Kind::connected) processes_[step.host] = step.process;
                return {step.kind, step.host, step.message};
            }
        }
        // Nothing more will happen: a wait without end would never return.
        if (timeout_ms < 0) return {Kind::stopped, 0, {}};
        now_ += std::chrono::milliseconds(timeout_ms);
        return {Kind::timeout, 0, {}};
    }
    bool send(Host host, std::span<const std::uint8_t> message) override {
        const auto body = answer_body(message);
        char text[64];
        std::snprintf(text, sizeof text, "%d #%u %02X %zu", elapsed_ms(), static_cast<unsigned>(host),
                      body ? (*body)[0] : 0u, body ? body->size() : message.size());
        seen_.push_back(text);
        return true;
    }
    void disconnect(Host host) override {
        seen_.push_back(std::to_string(elapsed_ms()) + " #" + std::to_string(host) + " cut");
    }
    std::uint64_t peer_process(Host host) const override {
        const auto it = processes_.find(host);
        return it == processes_.end() ? 0 : it->second;
    }
    void stop() override {}
    const std::string &address() const override { return address_; }

    Clock::time_point now() const { return now_; }
    const std::vector<std::string> &seen() const { return seen_; }
    int waits() const { return waits_; }

private:
    int elapsed_ms() const {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start_).count());
    }

    std::vector<Step> script_;
    std::size_t next_ = 0;
    const Clock::time_point start_ = Clock::time_point{} + std::chrono::hours(1);
    Clock::time_point now_ = start_;
    std::map<Host, std::uint64_t> processes_;
    std::vector<std::string> seen_;
    int waits_ = 0;
    std::string address_ = "scripted";
};

FaultRule fault(FaultKind kind, std::uint8_t opcode, std::optional<std::int64_t> amount = {}) {
    FaultRule rule;
    rule.kind = kind;
    rule.opcode = opcode;
    rule.amount = amount;
    return rule;
}

struct Served {
    std::vector<std::string> seen;
    int exchanges = 0;
    std::vector<std::string> log;
};

Served serve(const std::vector<FaultRule> &faults, std::vector<Step> script) {
    DeviceModel model;
    for (const auto &rule : faults) model.add_fault(rule);
    ScriptedEndpoint endpoint(std::move(script));
    Served served;
    ServeHooks hooks;
    hooks.after_exchange = [&] { ++served.exchanges; };
    hooks.log = [&](Endpoint::Host host, const LogEntry &entry) {
        served.log.push_back("#" + std::to_string(host) + " " + describe(entry));
    };
    hooks.now = [&] { return endpoint.now(); };
    serve_device(endpoint, model, hooks);
    served.seen = endpoint.seen();
    return served;
}

const Bytes kConnectA = connect_command(kHostId);
const Bytes kConnectB = connect_command(kOtherHostId);

TEST(ServeDeviceTest, WhoGetsWhatAndWhen) {
    struct Row {
        const char *what;
        std::vector<FaultRule> faults;
        std::vector<Step> script;
        std::vector<std::string> seen;
    };
    const Row rows[] = {
        {"each host gets its own answers as plain blocks, nothing after them",
         {},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, command(kKeepAlive)), writes(5, 2, command(kQuery)),
          sends_raw(9, 1, Bytes(7, 0xAA)), sends_raw(9, 1, {})},
         {"0 #1 E5 1", "5 #2 E6 89"}},
        {"the holder's process gets the full block, another the search block and 228, a reopened link the full block",
         {},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, kConnectA), writes(10, 2, command(kQuery)),
          writes(20, 2, kConnectB), writes(30, 1, command(kQuery)), closes(40, 1), connects(50, 3, 100),
          writes(60, 3, command(kQuery)), writes(70, 2, command(kErase, {0}))},
         {"0 #1 E2 5", "10 #2 E6 89", "20 #2 E4 17", "30 #1 E6 349", "60 #3 E6 349", "70 #2 EB 3"}},
        {"hosts the transport cannot tell apart are one host",
         {},
         {connects(0, 1, 0), connects(0, 2, 0), writes(0, 1, kConnectA), writes(10, 2, command(kQuery))},
         {"0 #1 E2 5", "10 #2 E6 349"}},
        {"a delay holds its host's answers, in order, and no other host's",
         {fault(FaultKind::delay, kQuery, 1500)},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, command(kQuery)), writes(10, 1, command(kKeepAlive)),
          writes(20, 2, command(kKeepAlive))},
         {"20 #2 E5 1", "1500 #1 E6 89", "1500 #1 E5 1"}},
        {"a late answer goes before its host's next answers, not another host's",
         {fault(FaultKind::late_answer, kQuery)},
         {connects(0, 1, 100), connects(0, 2, 100), writes(0, 1, command(kQuery)), writes(10, 2, command(kKeepAlive)),
          writes(20, 1, command(kKeepAlive))},
         {"10 #2 E5 1", "20 #1 E6 89", "20 #1 E5 1"}},
        {"a late answer with an amount comes unsolicited after it",
         {fault(FaultKind::late_answer, kQuery, 250)},
         {connects(0, 1, 100), writes(0, 1, command(kQuery)), writes(1000, 1, command(kKeepAlive))},
         {"250 #1 E6 89", "1000 #1 E5 1"}},
        {"a late answer is timed from its delayed answers",
         {fault(FaultKind::late_answer, kQuery, 250), fault(FaultKind::delay, kQuery, 100)},
         {connects(0, 1, 100), writes(0, 1, command(kQuery)), writes(1000, 1, command(kKeepAlive))},
         {"350 #1 E6 89", "1000 #1 E5 1"}},
        {"a late answer dies with its connection, also for the same process",
         {fault(FaultKind::late_answer, kQuery, 250)},
         {connects(0, 1, 100), writes(0, 1, command(kQuery)), closes(10, 1), connects(20, 2, 100),
          writes(30, 2, command(kKeepAlive)), writes(1000, 2, command(kKeepAlive))},
         {"30 #2 E5 1", "1000 #2 E5 1"}},
        {"an unplug cuts every host after the frames it lets through; the device comes back powered up",
         {fault(FaultKind::unplug, kFlashInfo, 1)},
         {connects(0, 1, 100), connects(0, 2, 200), connects(0, 3, 300), writes(0, 1, kConnectA),
          writes(10, 1, command(kFlashInfo)), writes(10, 2, command(kKeepAlive)), connects(20, 4, 200),
          writes(30, 4, command(kQuery))},
         {"0 #1 E2 5", "10 #1 E7 338", "10 #1 cut", "10 #2 cut", "10 #3 cut", "30 #4 E6 89"}},
        {"a delayed unplug cuts when its answers are out; the device is gone for frames meanwhile",
         {fault(FaultKind::unplug, kFlashInfo, 1), fault(FaultKind::delay, kFlashInfo, 500)},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, kConnectA), writes(10, 1, command(kFlashInfo)),
          writes(100, 2, command(kKeepAlive)), closes(200, 1)},
         {"0 #1 E2 5", "510 #2 cut"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(serve(row.faults, row.script).seen, row.seen);
    }
}

TEST(ServeDeviceTest, EveryFrameAndHostIsLoggedAndEveryFrameTaken) {
    const Served served = serve({fault(FaultKind::late_answer, kKeepAlive)},
                                {connects(0, 1, 7), writes(0, 1, command(kKeepAlive)), writes(5, 1, command(kQuery)),
                                 closes(9, 1), connects(10, 2, 0), sends_raw(10, 2, Bytes(5, 1)), closes(11, 2)});
    EXPECT_EQ(served.exchanges, 3);
    EXPECT_EQ(served.log, (std::vector<std::string>{
                              "#1 note  connected, process 7",
                              "#1 host> E5 keep-alive n=1",
                              "#1 host> E6 query n=1",
                              "#1 dev<  E5 keep-alive body 1 (late)",
                              "#1 dev<  E6 query body 89",
                              "#1 note  gone",
                              "#2 note  connected",
                              "#2 host> malformed block of 5 bytes",
                              "#2 note  gone",
                          }));
}

TEST(ServeDeviceTest, AHostThatWritesFasterThanTheDeviceAnswersIsCut) {
    FaultRule slow = fault(FaultKind::delay, kKeepAlive, 60000);
    slow.times = 0;
    std::vector<Step> script{connects(0, 1, 100), connects(0, 2, 200)};
    for (int i = 0; i < 5000; ++i) script.push_back(writes(1, 1, command(kKeepAlive)));
    script.push_back(writes(2, 2, command(kQuery)));
    const Served served = serve({slow}, script);
    ASSERT_EQ(served.seen.size(), 2u);
    EXPECT_EQ(served.seen[0], "1 #1 cut");
    EXPECT_EQ(served.seen[1], "2 #2 E6 89");
}

}  // namespace
}  // namespace velkor::sim::testing
