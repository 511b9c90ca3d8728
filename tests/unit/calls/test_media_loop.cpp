// How the media loop paces audio sends: the smoothed send time that sizes
// the speech chunks.
#include "calls/media_loop.h"

#include <gtest/gtest.h>

using namespace kestrel;

TEST(MediaLoop, SendPaceFollowsTheSendTimes)
{
    const struct {
        int64_t pace;
        int64_t elapsed;
        int64_t next;
    } cases[] = {
        {400, 3000, 3000},                     // a slow send replaces the pace
        {400, 600, 500},                       // a quick one averages with it
        {400, 1200, 800},                      // the last that averages
        {400, 1201, 1201},                     // the first that replaces
        {200, 1, 200},                         // never below 200
        {300, 0, 200},                         // elapsed clamped to 1
        {400, -50, 200},    {400, 9000, 4000}, // and to 4000
        {3000, 1000, 2000},
    };
    for (const auto& c : cases) EXPECT_EQ(nextPace(c.pace, c.elapsed), c.next) << c.pace << " " << c.elapsed;
}
