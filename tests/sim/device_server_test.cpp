// The device server's event loop against an endpoint the test drives: which
// host gets which answer block, and when, on a clock that only moves while
// the server waits.
#include <gtest/gtest.h>

#include <map>

#include "device_server.h"
#include "sim_host.h"

namespace velkor::sim::testing {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = Endpoint::Event::Kind;

struct Step {
    int at_ms;
    Kind kind;
    Endpoint::Host host;
    Bytes message = {};
    std::uint64_t process = 0;  // of a connecting host
};
Step connects(int at, Endpoint::Host host, std::uint64_t process) { return {at, Kind::connected, host, {}, process}; }
Step writes(int at, Endpoint::Host host, const Bytes &command) {
    return {at, Kind::message, host, make_command_frame(command)};
}
Step writes_raw(int at, Endpoint::Host host, Bytes message) { return {at, Kind::message, host, std::move(message)}; }
Step closes(int at, Endpoint::Host host) { return {at, Kind::closed, host}; }

// Plays its script and writes down what the server does to each host:
// "<ms> #<host> <code> <body size>" for a block, "<ms> #<host> cut".
class ScriptedEndpoint final : public Endpoint {
public:
    explicit ScriptedEndpoint(std::vector<Step> script) : script_(std::move(script)) {}

    Event wait(int timeout_ms) override {
        if (next_ < script_.size()) {
            const Step &step = script_[next_];
            const auto due = kStart + std::chrono::milliseconds(step.at_ms);
            if (timeout_ms < 0 || due <= now + std::chrono::milliseconds(timeout_ms)) {
                now = std::max(now, due);
                ++next_;
                if (step.kind == Kind::connected) processes_[step.host] = step.process;
                return {step.kind, step.host, step.message};
            }
        }
        if (timeout_ms < 0) return {Kind::stopped, 0, {}};  // nothing more can happen
        now += std::chrono::milliseconds(timeout_ms);
        return {Kind::timeout, 0, {}};
    }
    bool send(Host host, std::span<const std::uint8_t> message) override {
        const auto body = answer_body(message);
        char code[4];
        std::snprintf(code, sizeof code, "%02X", body ? (*body)[0] : 0);
        write_down(host, std::string(code) + " " + std::to_string(body ? body->size() : message.size()));
        return true;
    }
    void disconnect(Host host) override { write_down(host, "cut"); }
    std::uint64_t peer_process(Host host) const override { return processes_.at(host); }
    void stop() override {}
    const std::string &address() const override { return script_name_; }

    static constexpr Clock::time_point kStart = Clock::time_point{} + std::chrono::hours(1);
    Clock::time_point now = kStart;
    std::vector<std::string> seen;

private:
    void write_down(Host host, const std::string &what) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - kStart).count();
        seen.push_back(std::to_string(ms) + " #" + std::to_string(host) + " " + what);
    }

    std::vector<Step> script_;
    std::size_t next_ = 0;
    std::map<Host, std::uint64_t> processes_;
    const std::string script_name_ = "scripted";
};

FaultRule fault(FaultKind kind, std::uint8_t opcode, std::optional<std::int64_t> amount = {}, std::uint32_t times = 1) {
    return {kind, opcode, 0, times, amount};
}

// What the server does to each host, and how many frames it took.
std::pair<std::vector<std::string>, int> serve(const std::vector<FaultRule> &faults, std::vector<Step> script) {
    DeviceModel model;
    for (const auto &rule : faults) model.add_fault(rule);
    ScriptedEndpoint endpoint(std::move(script));
    int taken = 0;
    ServeHooks hooks;
    hooks.after_exchange = [&] { ++taken; };
    hooks.now = [&] { return endpoint.now; };
    serve_device(endpoint, model, hooks);
    return {endpoint.seen, taken};
}

TEST(ServeDeviceTest, WhoGetsWhatAndWhen) {
    const Bytes query = command(kQuery), keep_alive = command(kKeepAlive), flash_info = command(kFlashInfo);
    const Bytes connect_a = connect_command(kHostId);
    struct Row {
        const char *what;
        std::vector<FaultRule> faults;
        std::vector<Step> script;
        std::vector<std::string> seen;
    } const rows[] = {
        {"each host gets its own answers, and nothing after them",
         {},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, keep_alive), writes(5, 2, query),
          writes_raw(9, 1, Bytes(7, 0xAA)), writes_raw(9, 1, {})},
         {"0 #1 E5 1", "5 #2 E6 89"}},
        {"the holder's process sees the full block, another the search block and 228, even a reopened link",
         {},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, connect_a), writes(10, 2, query),
          writes(20, 2, connect_command(kOtherHostId)), writes(30, 1, query), closes(40, 1), connects(50, 3, 100),
          writes(60, 3, query), writes(70, 2, command(kErase, {0}))},
         {"0 #1 E2 5", "10 #2 E6 89", "20 #2 E4 17", "30 #1 E6 349", "60 #3 E6 349", "70 #2 EB 3"}},
        {"hosts the system cannot tell apart are one host",
         {},
         {connects(0, 1, 0), connects(0, 2, 0), writes(0, 1, connect_a), writes(10, 2, query)},
         {"0 #1 E2 5", "10 #2 E6 349"}},
        {"a delay holds its host's answers, in order, and no other host's",
         {fault(FaultKind::delay, kQuery, 1500)},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, query), writes(10, 1, keep_alive),
          writes(20, 2, keep_alive)},
         {"20 #2 E5 1", "1500 #1 E6 89", "1500 #1 E5 1"}},
        {"a late answer goes before its own connection's next answers",
         {fault(FaultKind::late_answer, kQuery)},
         {connects(0, 1, 100), connects(0, 2, 100), writes(0, 1, query), writes(10, 2, keep_alive),
          writes(20, 1, keep_alive)},
         {"10 #2 E5 1", "20 #1 E6 89", "20 #1 E5 1"}},
        {"a late answer with an amount comes unsolicited, timed from its delay",
         {fault(FaultKind::late_answer, kQuery, 250), fault(FaultKind::delay, kQuery, 100)},
         {connects(0, 1, 100), writes(0, 1, query), writes(1000, 1, keep_alive)},
         {"350 #1 E6 89", "1000 #1 E5 1"}},
        {"a late answer dies with its connection",
         {fault(FaultKind::late_answer, kQuery, 250)},
         {connects(0, 1, 100), writes(0, 1, query), closes(10, 1), connects(20, 2, 100), writes(30, 2, keep_alive)},
         {"30 #2 E5 1"}},
        {"an unplug cuts every host after the frames it lets through; the device comes back powered up",
         {fault(FaultKind::unplug, kFlashInfo, 1)},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, connect_a), writes(5, 2, keep_alive),
          writes(10, 1, flash_info), connects(20, 3, 200), writes(30, 3, query)},
         {"0 #1 E2 5", "5 #2 E5 1", "10 #1 E7 338", "10 #1 cut", "10 #2 cut", "30 #3 E6 89"}},
        {"a delayed unplug cuts when its answers would be out, also after its host left",
         {fault(FaultKind::unplug, kFlashInfo, 1), fault(FaultKind::delay, kFlashInfo, 500)},
         {connects(0, 1, 100), connects(0, 2, 200), writes(0, 1, connect_a), writes(10, 1, flash_info),
          writes(100, 2, keep_alive), closes(200, 1)},
         {"0 #1 E2 5", "510 #2 cut"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const auto [seen, taken] = serve(row.faults, row.script);
        EXPECT_EQ(seen, row.seen);
        EXPECT_EQ(taken, std::count_if(row.script.begin(), row.script.end(),
                                       [](const Step &step) { return step.kind == Kind::message; }));
    }
}

TEST(ServeDeviceTest, AHostThatWritesFasterThanTheDeviceAnswersIsCut) {
    std::vector<Step> script{connects(0, 1, 100), connects(0, 2, 200)};
    script.insert(script.end(), 5000, writes(1, 1, command(kKeepAlive)));
    script.push_back(writes(2, 2, command(kQuery)));
    EXPECT_EQ(serve({fault(FaultKind::delay, kKeepAlive, 60000, 0)}, script).first,
              (std::vector<std::string>{"1 #1 cut", "2 #2 E6 89"}));
}

}  // namespace
}  // namespace velkor::sim::testing
