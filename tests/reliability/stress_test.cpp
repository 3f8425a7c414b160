// Several host threads call exports at random while time-outs fire, the host
// callback calls exports too, and now and then a host thread closes and
// restarts the session. Every accepted command must end exactly once, and
// nothing may hang: a watchdog ends the program with the call that is stuck.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"
#include "device_model.h"
#include "in_process_drova.h"
#include "protocol/frame.h"
#include "session/clock.h"
#include "support/event_recorder.h"
#include "usb/in_process_device.h"

namespace velkor::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStuckAfter = std::chrono::seconds(20);

std::chrono::milliseconds stress_duration() {
    const char *text = std::getenv("VELKOR_STRESS_MS");
    return std::chrono::milliseconds(text != nullptr ? std::strtoll(text, nullptr, 10) : 2000);
}

// Accepted commands and observed outcome events of one session, by event kind.
struct Tally {
    std::array<std::atomic<long>, VELKOR_EV_ERROR> accepted{};
    std::array<std::atomic<long>, VELKOR_EV_ERROR> observed{};
    std::atomic<long> link_lost{0};
};

// What each thread is doing, for the watchdog.
struct Activity {
    // Spelled out: Clang 14 does not build aggregates from parentheses.
    explicit Activity(std::string name) : thread(std::move(name)) {}

    std::string thread;
    std::atomic<const char *> call{nullptr};
    std::atomic<Clock::rep> since{0};
};

class CallMark {
public:
    CallMark(Activity &activity, const char *call) : activity_(activity) {
        activity_.since = Clock::now().time_since_epoch().count();
        activity_.call = call;
    }
    ~CallMark() { activity_.call = nullptr; }

private:
    Activity &activity_;
};

struct Call {
    const char *name;
    int terminal;  // -1: no completion event
    int (*run)();
};

constexpr std::uint32_t kSerial = 0x8D0123;

const std::array kCalls{
    Call{"_FindDROVAs", VELKOR_EV_SEARCH, [] { return _FindDROVAs(-1, 0, 20); }},
    Call{"_Connect", VELKOR_EV_CONNECT, [] { return _Connect(static_cast<int>(kSerial), 0, 0); }},
    Call{"_Disconnect", VELKOR_EV_DISCONNECT, _Disconnect},
    Call{"_CommRefresh", -1, _CommRefresh},
    Call{"_ReadInfo", VELKOR_EV_READINFO, _ReadInfo},
    Call{"_FlashInfo", VELKOR_EV_FLASHINFO, _FlashInfo},
    Call{"_AppInfo", VELKOR_EV_APPINFO, [] { return _AppInfo(5); }},
    Call{"_Erase", VELKOR_EV_ERASE, [] { return _Erase(2); }},
    Call{"_Address", VELKOR_EV_ADDRESS, [] { return _Address(TAddress{0x100, 8}); }},
    Call{"_CheckSum", VELKOR_EV_CHECKSUM, [] { return _CheckSum(0, 16, 0, 8); }},
    Call{"_StartApp", VELKOR_EV_STARTAPP, [] { return _StartApp(5); }},
    Call{"_AutoStart", VELKOR_EV_AUTOSTART, [] { return _AutoStart(0xFFFFFFFFu); }},
    Call{"_Wrsn", VELKOR_EV_WRSN, [] { return _Wrsn(kSerial); }},
    Call{"_Reset", VELKOR_EV_DISCONNECT, _Reset},
    Call{"_Download", VELKOR_EV_DOWNLOAD,
         [] {
             std::array<u8, 300> data{};
             BinBlock block{0, static_cast<u32>(data.size()), data.data()};
             TBinList *list = _BinListCreate();
             _BinListAdd(list, &block);
             const int result = _Download(8, list);
             _BinListFree(list);
             return result;
         }},
};

class Stress : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock(std::make_shared<ScaledClock>(500.0, 5000));
        usb::detach_all_in_process_devices();
        sim::DeviceConfig config;
        config.applications.push_back({1, {.id = 5, .name = "Stress"}, 256});
        model = std::make_shared<sim::DeviceModel>(config);
        model->set_log_limit(16);
        usb::attach_in_process_device("drova0", std::make_shared<sim::InProcessDrova>(model));
        epochs.push_back(std::make_unique<Tally>());
        current = epochs.back().get();
        events.on_event([this](int a, int b) { on_event(a, b); });
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    }
    void TearDown() override {
        _Close();
        usb::detach_all_in_process_devices();
        set_clock(nullptr);
    }

    // Runs on the notification thread: counts, and now and then calls an
    // export itself, as a host reacting to an event does.
    void on_event(int a, int b) {
        Tally &tally = *current.load();
        if (a >= 0 && a < VELKOR_EV_ERROR) ++tally.observed[static_cast<std::size_t>(a)];
        if (a == VELKOR_EV_ERROR && b == VELKOR_ERR_LINK_LOST) ++tally.link_lost;
        thread_local std::minstd_rand random(7);
        if (stop || random() % 3 != 0) return;
        CallMark mark(callback_activity, "an export from the callback");
        issue(tally, kCalls[random() % kCalls.size()]);
    }

    static void issue(Tally &tally, const Call &call) {
        if (call.run() == 0 && call.terminal >= 0) ++tally.accepted[static_cast<std::size_t>(call.terminal)];
    }

    // Each kind's outcomes may fall short of its accepted commands only where
    // a lost link ended a command with (15,9) and (10,0) instead; when the
    // session ended by _Close, events still queued were dropped.
    static std::string check(const Tally &tally, bool closed) {
        std::ostringstream problems;
        long deficit = 0;
        for (int kind = 0; kind < VELKOR_EV_ERROR; ++kind) {
            if (kind == VELKOR_EV_DISCONNECT || kind == VELKOR_EV_ADDRESS || kind == VELKOR_EV_CHECKSUM ||
                kind == VELKOR_EV_PRGDATA || kind == VELKOR_EV_PROGRAM)
                continue;  // (10,0) also ends a lost link; the others also come from downloads
            const long accepted = tally.accepted[static_cast<std::size_t>(kind)];
            const long observed = tally.observed[static_cast<std::size_t>(kind)];
            if (observed > accepted) problems << " kind " << kind << ": " << observed << " outcomes for " << accepted << " commands;";
            deficit += accepted > observed ? accepted - observed : 0;
        }
        const long disconnects = tally.accepted[VELKOR_EV_DISCONNECT];
        const long disconnect_events = tally.observed[VELKOR_EV_DISCONNECT];
        if (disconnect_events > disconnects + tally.link_lost)
            problems << " " << disconnect_events << " (10,x) for " << disconnects << " disconnects and resets and "
                     << tally.link_lost << " lost links;";
        if (!closed) {
            if (deficit > tally.link_lost)
                problems << " " << deficit << " accepted commands never ended (" << tally.link_lost << " lost links);";
            if (disconnect_events < disconnects) problems << " a disconnect or reset never ended;";
        }
        return problems.str();
    }

    void watchdog(std::vector<Activity *> activities) {
        while (!finished.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (Activity *activity : activities) {
                const char *call = activity->call.load();
                const auto since = Clock::time_point(Clock::duration(activity->since.load()));
                if (call != nullptr && Clock::now() - since > kStuckAfter) {
                    std::fprintf(stderr, "deadlock: %s has been inside %s for %lld s\n", activity->thread.c_str(), call,
                                 static_cast<long long>(kStuckAfter.count()));
                    std::fflush(stderr);
                    std::abort();
                }
            }
        }
    }

    EventRecorder events;
    std::shared_ptr<sim::DeviceModel> model;
    std::vector<std::unique_ptr<Tally>> epochs;
    std::atomic<Tally *> current{nullptr};
    std::shared_mutex lifecycle;  // commands counted by host threads never straddle a _Close
    std::atomic<bool> stop{false};
    std::atomic<bool> restarting{false};
    std::atomic<bool> finished{false};
    Activity callback_activity{"the host callback"};
};

TEST_F(Stress, EveryAcceptedCommandEndsOnceWhileThreadsCallersAndTimeOutsCollide) {
    constexpr int kHostThreads = 3;
    std::vector<std::unique_ptr<Activity>> activity;
    for (int i = 0; i < kHostThreads; ++i) activity.push_back(std::make_unique<Activity>("host thread " + std::to_string(i)));
    activity.push_back(std::make_unique<Activity>("the restarting thread"));
    activity.push_back(std::make_unique<Activity>("the test's main thread"));
    std::vector<Activity *> watched{&callback_activity};
    for (auto &a : activity) watched.push_back(a.get());
    std::thread dog([&] { watchdog(watched); });

    std::vector<std::thread> threads;
    std::atomic<long> calls{0};
    for (int i = 0; i < kHostThreads; ++i) {
        threads.emplace_back([&, i] {
            std::minstd_rand random(static_cast<unsigned>(i + 1));
            while (!stop) {
                const Call &call = kCalls[random() % kCalls.size()];
                // Readers would starve the restarting thread's exclusive lock.
                while (restarting && !stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::shared_lock guard(lifecycle);
                CallMark mark(*activity[static_cast<std::size_t>(i)], call.name);
                issue(*current.load(), call);
                ++calls;
            }
        });
    }
    // Closes and restarts the session now and then.
    std::atomic<int> restarts{0};
    threads.emplace_back([&] {
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            restarting = true;
            std::unique_lock guard(lifecycle);
            restarting = false;
            {
                CallMark mark(*activity[kHostThreads], "_Close");
                _Close();
            }
            epochs.push_back(std::make_unique<Tally>());
            current = epochs.back().get();
            CallMark mark(*activity[kHostThreads], "_Initialize");
            if (_Initialize(&EventRecorder::callback, nullptr, 0) != 0) ADD_FAILURE() << "the session did not restart";
            ++restarts;
        }
    });
    // A device that stops answering, loses answers and is pulled out and
    // plugged in again, so that time-outs fire all the time.
    threads.emplace_back([&] {
        std::minstd_rand random(99);
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            sim::FaultRule rule;
            switch (random() % 5) {
            case 0: model->clear_faults(); break;
            case 1:
                rule.kind = sim::FaultKind::no_answer;
                rule.times = 0;
                model->add_fault(rule);
                break;
            case 2:
                rule.kind = sim::FaultKind::lost_answer;
                rule.times = 3;
                model->add_fault(rule);
                break;
            case 3: model->unplug(); break;
            default: model->replug(); break;
            }
        }
    });

    std::this_thread::sleep_for(stress_duration());
    stop = true;
    for (auto &t : threads) t.join();
    model->clear_faults();
    model->replug();

    // Let the last session come to rest: every command ended, every event delivered.
    {
        CallMark mark(*activity[kHostThreads + 1], "waiting for the session to come to rest");
        Session &session = Session::instance();
        auto running = session.workers();
        ASSERT_TRUE(running);
        int quiet = 0;
        while (quiet < 20) {
            const bool rest = session.command.state() == kIdle && running->notifier.queued() == 0;
            quiet = rest ? quiet + 1 : 0;
            std::this_thread::sleep_for(running->clock->real_duration(50));
        }
    }
    events.on_event(nullptr);
    finished = true;
    dog.join();

    std::ostringstream problems;
    for (std::size_t e = 0; e < epochs.size(); ++e) {
        const std::string found = check(*epochs[e], e + 1 < epochs.size());
        if (!found.empty()) problems << "session " << e << ":" << found << "\n";
    }
    EXPECT_EQ(problems.str(), "");
    EXPECT_GT(restarts.load(), 0);
    std::printf("%ld host calls, %d restarts, %zu events\n", calls.load(), restarts.load(), events.events().size());
}

}  // namespace
}  // namespace velkor::testing
