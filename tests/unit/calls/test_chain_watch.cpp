#include "calls/chain_watch.h"

#include <gtest/gtest.h>

#include <limits>

using namespace kestrel;

TEST(ChainWatch, FormatAmount)
{
    const struct {
        int64_t sats;
        bool bsv;
        const char* text;
    } cases[] = {
        {1234, false, "1234 sats"},
        {0, false, "0 sats"},
        {-5, false, "-5 sats"},
        {0, true, "0 bsv"},
        {100'000'000, true, "1 bsv"},
        {150'000'000, true, "1.5 bsv"},
        {1234, true, "0.00001234 bsv"},
        {-250'000'001, true, "-2.50000001 bsv"},
        {std::numeric_limits<int64_t>::min(), true, "-92233720368.54775808 bsv"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatAmount(c.sats, c.bsv), c.text) << c.sats;
}
