#include "diag/LogRateLimit.h"

#include <gtest/gtest.h>
#include <ostream>
#include <vector>

namespace
{
struct Arrival
{
    ULONGLONG At;          // milliseconds
    bool Admitted;         // the line is written
    DWORD ReportedLeftOut; // what the written line reports first
};

struct RateCase
{
    const char* Name;
    std::vector<Arrival> Arrivals;
};

void PrintTo(const RateCase& test, std::ostream* out) { *out << test.Name; }

class LogRateLimitTest : public ::testing::TestWithParam<RateCase>
{
};

TEST_P(LogRateLimitTest, WritesTheFirstLinesOfEachIntervalAndCountsTheRest)
{
    CLogRateLimit limit(2, 1000);
    for (const Arrival& arrival : GetParam().Arrivals)
    {
        DWORD leftOut = 12345;
        EXPECT_EQ(limit.Admit(arrival.At, leftOut), arrival.Admitted) << "at " << arrival.At;
        EXPECT_EQ(leftOut, arrival.ReportedLeftOut) << "at " << arrival.At;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogRateLimitTest,
    ::testing::Values(
        RateCase{"RareLinesAllWritten", {{0, true, 0}, {1500, true, 0}, {3000, true, 0}, {3001, true, 0}}},
        RateCase{"FloodCountedAndReportedByTheNextInterval",
                 {{0, true, 0}, {1, true, 0}, {2, false, 0}, {999, false, 0}, {1000, true, 2}, {1001, true, 0}}},
        // The count waits, however long, for the next line written.
        RateCase{"CountKeptUntilTheNextLine", {{10, true, 0}, {10, true, 0}, {10, false, 0}, {900000, true, 1}}},
        // A clock reading as at the start does not restart the interval.
        RateCase{"SameInstant", {{5, true, 0}, {5, true, 0}, {5, false, 0}, {5, false, 0}}}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.Name); });

TEST(LogRateLimitTakeTest, HandsOverTheCountOnce)
{
    CLogRateLimit limit(1, 1000);
    DWORD leftOut = 0;
    ASSERT_TRUE(limit.Admit(0, leftOut));
    EXPECT_FALSE(limit.Admit(1, leftOut));
    EXPECT_FALSE(limit.Admit(2, leftOut));
    EXPECT_EQ(limit.TakeLeftOut(), 2u);
    EXPECT_EQ(limit.TakeLeftOut(), 0u);
    ASSERT_TRUE(limit.Admit(1000, leftOut));
    EXPECT_EQ(leftOut, 0u);
}
} // namespace
