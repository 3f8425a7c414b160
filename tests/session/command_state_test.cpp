#include "session/command_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "session/exchange_guard.h"

namespace velkor {
namespace {

TEST(CommandState, BeginsOnlyFromIdleAndEndsOnce) {
    CommandState command(kIdle);
    auto first = command.begin(7);
    ASSERT_TRUE(first);
    EXPECT_EQ(command.state(), 7);
    EXPECT_FALSE(command.begin(9)) << "a second command while one is in flight";
    EXPECT_TRUE(command.end(*first));
    EXPECT_FALSE(command.end(*first)) << "the same command ended twice";
    EXPECT_EQ(command.state(), kIdle);
}

TEST(CommandState, StaleTicketCannotTouchItsSuccessor) {
    CommandState command(kIdle);
    auto old = command.begin(14);
    ASSERT_TRUE(old);
    ASSERT_TRUE(command.end(*old));
    auto successor = command.begin(14);
    ASSERT_TRUE(successor);
    EXPECT_FALSE(command.end(*old)) << "a late time-out of the first keep-alive";
    EXPECT_EQ(command.state(), 14);
    EXPECT_FALSE(command.hand_over(*old, 5));
    auto next = command.hand_over(*successor, 5);
    ASSERT_TRUE(next);
    EXPECT_FALSE(command.end(*successor)) << "handed over, the earlier step is gone";
    command.reset();
    EXPECT_FALSE(command.end(*next));
    EXPECT_EQ(command.state(), kIdle);
}

TEST(CommandState, NotIdleAtLoad) {
    CommandState command(0);
    EXPECT_FALSE(command.begin(14));
}

// A response handler and a time-out handler race for every command; exactly
// one of them may end it.
TEST(CommandState, ConcurrentEndersExactlyOneWins) {
    CommandState command(kIdle);
    constexpr int kRounds = 1000;
    std::atomic<int> wins{0};
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> published{0};
    auto ender = [&] {
        std::uint64_t seen = 0;
        while (!done) {
            const std::uint64_t word = published.load();
            if (word == seen) {
                std::this_thread::yield();
                continue;
            }
            seen = word;
            if (command.end(Ticket{static_cast<std::uint32_t>(word), static_cast<int>(word >> 32)})) ++wins;
        }
    };
    std::thread a(ender), b(ender);
    for (int round = 0; round < kRounds; ++round) {
        auto ticket = command.begin(round % 16);
        ASSERT_TRUE(ticket);
        published = (std::uint64_t(ticket->state) << 32) | ticket->serial;
        while (command.state() != kIdle) std::this_thread::yield();
    }
    done = true;
    a.join();
    b.join();
    EXPECT_EQ(wins.load(), kRounds);
}

std::vector<std::pair<int, int>> posted;
void record_post(std::uint64_t, int a, int b) { posted.emplace_back(a, b); }

// Guards nest on one lock: the lock stays held, and posts stay deferred,
// until the outermost guard of the thread lets go.
TEST(ExchangeGuard, NestedGuardsHoldTheLockAndDeferPostsUntilTheOutermostEnds) {
    std::recursive_mutex lock;
    posted.clear();
    const auto taken_elsewhere = [&] {
        bool taken = false;
        std::thread([&] {
            taken = lock.try_lock();
            if (taken) lock.unlock();
        }).join();
        return taken;
    };
    {
        ExchangeGuard outer(lock);
        {
            ExchangeGuard inner(lock);
            EXPECT_TRUE(ExchangeGuard::held_by_this_thread());
            ExchangeGuard::defer(record_post, 0, 1, 0);
            { ExchangeGuard innermost(lock); }
        }
        EXPECT_TRUE(ExchangeGuard::held_by_this_thread());
        EXPECT_FALSE(taken_elsewhere()) << "released by an inner guard";
        EXPECT_TRUE(posted.empty()) << "posted by an inner guard";
        ExchangeGuard::defer(record_post, 0, 2, 0);
    }
    EXPECT_FALSE(ExchangeGuard::held_by_this_thread());
    EXPECT_TRUE(taken_elsewhere());
    EXPECT_EQ(posted, (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}}));

    // A guard on another lock inside takes that lock and lets it go itself.
    std::recursive_mutex other;
    {
        ExchangeGuard outer(lock);
        { ExchangeGuard inside(other); }
        bool other_free = false;
        std::thread([&] {
            other_free = other.try_lock();
            if (other_free) other.unlock();
        }).join();
        EXPECT_TRUE(other_free);
        EXPECT_FALSE(taken_elsewhere());
    }
}

}  // namespace
}  // namespace velkor
