// Recordings read back into steps, and the replay engine's matching.
#include "Replay.h"

#include <gtest/gtest.h>

#include "HexBytes.h"

using namespace termsim;

namespace {

using testsupport::hex;

const char kRecording[] = "# termsim recording\n"
                          "100.000 EV start transport=tcp\n"
                          "100.500 EV connect 127.0.0.1:4000\n"
                          "100.750 TX 48 49\n"
                          "200.000 RX 05 04\n"
                          "200.100 RX 16 17\n"
                          "200.100 CMD fetch slot=-1\n"
                          "210.100 TX 05 05\n"
                          "310.100 TX 16 00 16\n"
                          "400.000 RX 05 04 81 80\n"
                          "401.000 TX 05 05 81 00 81\n"
                          "401.500 EV disconnect local (close-after fault)\n";

// An engine on the steps (stalling after 500 ms), connected, collecting what it sends and
// the mismatches it reports.
struct ConnectedEngine {
    explicit ConnectedEngine(const std::vector<ReplayStep>& steps) : engine(steps, 500) {
        engine.connected(out);
    }
    void feed(const Bytes& data, std::int64_t nowMicros) { engine.feed(data, nowMicros, out, errors); }
    void tick(std::int64_t nowMicros) { engine.tick(nowMicros, out, errors); }

    ReplayEngine engine;
    std::vector<ReplayEngine::Output> out;
    std::vector<std::string> errors;
};

}  // namespace

TEST(TermsimRecording, StepsGroupInputAndKeepThePauses) {
    std::vector<ReplayStep> steps;
    std::string error;
    ASSERT_TRUE(parseRecording(kRecording, steps, error)) << error;
    ASSERT_EQ(3u, steps.size());
    EXPECT_TRUE(steps[0].expect.empty());
    ASSERT_EQ(1u, steps[0].outs.size());
    EXPECT_EQ(250, steps[0].outs[0].delayMicros);  // 0.25 ms after the connect

    EXPECT_EQ(hex("05 04 16 17"), steps[1].expect);
    ASSERT_EQ(2u, steps[1].outs.size());
    EXPECT_EQ(10000, steps[1].outs[0].delayMicros);
    EXPECT_EQ(hex("05 05"), steps[1].outs[0].bytes);
    EXPECT_EQ(100000, steps[1].outs[1].delayMicros);
    EXPECT_FALSE(steps[1].closeAfter);

    EXPECT_EQ(hex("05 04 81 80"), steps[2].expect);
    EXPECT_EQ(1000, steps[2].outs[0].delayMicros);
    EXPECT_TRUE(steps[2].closeAfter);
}

TEST(TermsimRecording, RefusesWhatIsNotARecording) {
    std::vector<ReplayStep> steps;
    std::string error;
    EXPECT_FALSE(parseRecording("# nothing\n", steps, error));
    EXPECT_FALSE(parseRecording("abc RX 05\n", steps, error));
    EXPECT_NE(std::string::npos, error.find("line 1"));
    EXPECT_FALSE(parseRecording("1.0 RX 0\n", steps, error));
    EXPECT_FALSE(loadRecording("/nonexistent/recording", steps, error));
}

TEST(TermsimReplayEngine, MatchingInputPlaysTheRecordedOutput) {
    std::vector<ReplayStep> steps;
    std::string error;
    ASSERT_TRUE(parseRecording(kRecording, steps, error));
    ConnectedEngine r(steps);
    ASSERT_EQ(1u, r.out.size());
    EXPECT_EQ(hex("48 49"), r.out[0].bytes);

    r.out.clear();
    r.feed(hex("05 04 16"), 1000);  // not complete yet
    EXPECT_TRUE(r.out.empty());
    r.feed(hex("17 05 04"), 2000);  // completes step 2, starts step 3
    ASSERT_EQ(2u, r.out.size());
    EXPECT_EQ(hex("16 00 16"), r.out[1].bytes);
    EXPECT_FALSE(r.out[1].closeAfter);
    r.out.clear();
    r.feed(hex("81 80"), 3000);
    ASSERT_EQ(1u, r.out.size());
    EXPECT_TRUE(r.out[0].closeAfter);
    EXPECT_TRUE(r.errors.empty());
    r.engine.finish(r.errors);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_FALSE(r.engine.mismatched());
}

TEST(TermsimReplayEngine, DifferencesShortInputAndLeftoversAreMismatches) {
    std::vector<ReplayStep> steps;
    std::string error;
    ASSERT_TRUE(parseRecording(kRecording, steps, error));
    {
        ConnectedEngine r(steps);
        r.feed(hex("05 04 16 18"), 1000);
        ASSERT_EQ(1u, r.errors.size());
        EXPECT_NE(std::string::npos, r.errors[0].find("expected 05 04 16 17, got 05 04 16 18"));
        EXPECT_TRUE(r.engine.mismatched());
    }
    {
        ConnectedEngine r(steps);
        r.feed(hex("05 04"), 1000);
        EXPECT_EQ(501000, r.engine.deadline());
        r.tick(400000);
        EXPECT_TRUE(r.errors.empty());
        r.tick(501000);
        ASSERT_EQ(1u, r.errors.size());
        EXPECT_NE(std::string::npos, r.errors[0].find("got only 05 04"));
        r.engine.finish(r.errors);
        ASSERT_EQ(2u, r.errors.size());
        EXPECT_NE(std::string::npos, r.errors[1].find("1 recorded step(s) not played"));
    }
    {
        ConnectedEngine r(steps);
        r.feed(hex("05 04 16 17 05 04 81 80 07"), 1000);
        ASSERT_EQ(1u, r.errors.size());
        EXPECT_NE(std::string::npos, r.errors[0].find("after the end of the recording: 07"));
    }
}
