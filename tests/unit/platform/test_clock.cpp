#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct MockTime : ::testing::Test {
    void SetUp() override { platform::setMockTime(1'700'000'000'000); }
    void TearDown() override { platform::setMockTime(0); }
};

TEST_F(MockTime, WallAndTickMoveOnlyWhenAdvanced)
{
    const int64_t tick = platform::tickMillis();
    EXPECT_EQ(platform::unixMillis(), 1'700'000'000'000);
    EXPECT_EQ(platform::unixSeconds(), 1'700'000'000);
    platform::advanceMockTime(90'500);
    EXPECT_EQ(platform::unixMillis(), 1'700'000'090'500);
    EXPECT_EQ(platform::unixSeconds(), 1'700'000'090);
    EXPECT_EQ(platform::tickMillis(), tick + 90'500);
    platform::advanceMockTime(-5);
    EXPECT_EQ(platform::tickMillis(), tick + 90'500);
}

TEST_F(MockTime, SleeperWakesWhenTheClockPassesItsTick)
{
    const int64_t due = platform::tickMillis() + 3000;
    std::atomic<int> answer {-1};
    std::thread sleeper([&] { answer = platform::sleepUntilTick(due) ? 1 : 0; });
    platform::advanceMockTime(2999);
    EXPECT_EQ(answer.load(), -1);
    platform::advanceMockTime(1);
    sleeper.join();
    EXPECT_EQ(answer.load(), 1);
}

TEST_F(MockTime, StopWakesASleeperWithFalse)
{
    std::atomic<int> answer {-1};
    std::jthread sleeper([&](std::stop_token stop) { answer = platform::sleepForMillis(60'000, stop) ? 1 : 0; });
    sleeper.request_stop();
    sleeper.join();
    EXPECT_EQ(answer.load(), 0);
}

TEST(Clock, TickNeverGoesBackAfterAMovedClock)
{
    platform::setMockTime(1'700'000'000'000);
    platform::advanceMockTime(3'600'000);
    const int64_t moved = platform::tickMillis();
    platform::setMockTime(0);
    EXPECT_FALSE(platform::mockTimeActive());
    EXPECT_GE(platform::tickMillis(), moved);
    EXPECT_TRUE(platform::sleepUntilTick(platform::tickMillis()));
}

TEST(Clock, RealSleeperFollowsASwitchToMockTime)
{
    std::atomic<int> answer {-1};
    const int64_t due = platform::tickMillis() + 600'000;
    std::thread sleeper([&] { answer = platform::sleepUntilTick(due) ? 1 : 0; });
    platform::setMockTime(1'700'000'000'000);
    platform::advanceMockTime(600'000);
    sleeper.join();
    platform::setMockTime(0);
    EXPECT_EQ(answer.load(), 1);
}

} // namespace
