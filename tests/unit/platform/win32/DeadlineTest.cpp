// The COMMTIMEOUTS arithmetic of serial reads and writes, on a clock the test moves.
#include <gtest/gtest.h>

#include "internal/deadline.h"

namespace {

using win32::CommDeadline;
using win32::MonotonicClock;
using win32::MonotonicMs;

class ManualClock : public MonotonicClock {
public:
    explicit ManualClock(MonotonicMs start) : m_now(start) {}
    MonotonicMs Now() const override { return m_now; }
    void Advance(MonotonicMs ms) { m_now += ms; }

private:
    MonotonicMs m_now;
};

COMMTIMEOUTS Timeouts(DWORD interval, DWORD readMult, DWORD readConst, DWORD writeMult = 0,
                      DWORD writeConst = 0) {
    COMMTIMEOUTS t = {interval, readMult, readConst, writeMult, writeConst};
    return t;
}

TEST(CommDeadlineRead, TotalIsConstantPlusCountTimesMultiplierFromTheStart) {
    ManualClock clock(1000000);
    CommDeadline d = CommDeadline::ForRead(Timeouts(0, 10, 200), 5, clock.Now());
    EXPECT_EQ(250, d.PollTimeout(clock.Now()));
    clock.Advance(100);
    d.BytesTransferred(clock.Now());  // bytes do not move a total deadline
    EXPECT_EQ(150, d.PollTimeout(clock.Now()));
    clock.Advance(149);
    EXPECT_FALSE(d.Expired(clock.Now()));
    clock.Advance(1);
    EXPECT_TRUE(d.Expired(clock.Now()));
    clock.Advance(5000);
    EXPECT_EQ(0, d.PollTimeout(clock.Now()));
}

TEST(CommDeadlineRead, AllZeroWaitsForeverAndNeverReturnsEarly) {
    ManualClock clock(0);
    CommDeadline d = CommDeadline::ForRead(Timeouts(0, 0, 0), 12, clock.Now());
    EXPECT_EQ(CommDeadline::kWaitForever, d.PollTimeout(clock.Now()));
    d.BytesTransferred(clock.Now());
    clock.Advance(1000000);
    EXPECT_EQ(CommDeadline::kWaitForever, d.PollTimeout(clock.Now()));
    EXPECT_FALSE(d.ReturnsNow(11));
}

TEST(CommDeadlineRead, IntervalRunsOnlyAfterTheFirstByteAndRestartsWithEach) {
    ManualClock clock(500);
    CommDeadline d = CommDeadline::ForRead(Timeouts(50, 0, 0), 10, clock.Now());
    EXPECT_EQ(CommDeadline::kWaitForever, d.PollTimeout(clock.Now()));
    clock.Advance(10000);
    EXPECT_EQ(CommDeadline::kWaitForever, d.PollTimeout(clock.Now()));
    d.BytesTransferred(clock.Now());
    EXPECT_EQ(50, d.PollTimeout(clock.Now()));
    clock.Advance(40);
    d.BytesTransferred(clock.Now());
    EXPECT_EQ(50, d.PollTimeout(clock.Now()));
    clock.Advance(50);
    EXPECT_TRUE(d.Expired(clock.Now()));
}

TEST(CommDeadlineRead, TheEarlierOfIntervalAndTotalLimitsTheWait) {
    ManualClock clock(0);
    CommDeadline d = CommDeadline::ForRead(Timeouts(100, 0, 300), 10, clock.Now());
    EXPECT_EQ(300, d.PollTimeout(clock.Now()));
    clock.Advance(50);
    d.BytesTransferred(clock.Now());
    EXPECT_EQ(100, d.PollTimeout(clock.Now()));
    clock.Advance(180);
    d.BytesTransferred(clock.Now());
    EXPECT_EQ(70, d.PollTimeout(clock.Now()));
}

TEST(CommDeadlineRead, MaxIntervalWithoutTotalsReturnsAtOnce) {
    CommDeadline d = CommDeadline::ForRead(Timeouts(MAXDWORD, 0, 0), 10, 0);
    EXPECT_TRUE(d.ReturnsNow(0));
    EXPECT_EQ(0, d.PollTimeout(0));
}

TEST(CommDeadlineRead, MaxIntervalAndMultiplierReturnOnFirstBytesOrAfterTheConstant) {
    ManualClock clock(0);
    CommDeadline d = CommDeadline::ForRead(Timeouts(MAXDWORD, MAXDWORD, 400), 10, clock.Now());
    EXPECT_FALSE(d.ReturnsNow(0));
    EXPECT_EQ(400, d.PollTimeout(clock.Now()));
    EXPECT_TRUE(d.ReturnsNow(1));
    clock.Advance(400);
    EXPECT_TRUE(d.Expired(clock.Now()));
}

TEST(CommDeadlineRead, HugeValuesNeitherOverflowNorWrap) {
    // MAXDWORD x MAXDWORD + MAXDWORD milliseconds: far beyond what poll() takes at once.
    CommDeadline d = CommDeadline::ForRead(Timeouts(0, MAXDWORD, MAXDWORD), MAXDWORD, 1000);
    EXPECT_EQ(INT32_MAX, d.PollTimeout(1000));
    EXPECT_FALSE(d.Expired(1000 + 0xFFFFFFFFull * 1000));
}

TEST(CommDeadlineWrite, TotalUsesTheWriteFieldsOnly) {
    ManualClock clock(42);
    CommDeadline d = CommDeadline::ForWrite(Timeouts(7, 8, 9, 2, 100), 37, clock.Now());
    EXPECT_EQ(174, d.PollTimeout(clock.Now()));
    EXPECT_FALSE(d.ReturnsNow(0));
    CommDeadline none = CommDeadline::ForWrite(Timeouts(7, 8, 9, 0, 0), 37, clock.Now());
    EXPECT_EQ(CommDeadline::kWaitForever, none.PollTimeout(clock.Now()));
}

}  // namespace
