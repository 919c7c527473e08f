// Fault rules: what the command line accepts, what it refuses, and which command a
// rule hits.
#include "FaultPlan.h"

#include <gtest/gtest.h>

using namespace termsim;

namespace {

FaultPlan planOf(std::initializer_list<const char*> rules) {
    FaultPlan plan;
    for (const char* r : rules) {
        std::string error;
        EXPECT_TRUE(plan.addRule(r, error)) << r << ": " << error;
    }
    return plan;
}

CommandContext ctx(std::vector<std::string> names, int slot) {
    CommandContext c;
    c.names = std::move(names);
    c.slot = slot;
    return c;
}

}  // namespace

TEST(TermsimFaultRules, MalformedRulesAreRefusedWithAReason) {
    const char* bad[] = {
        "a3=no-reply",       // no colon
        "a:3",               // no action
        "a:3=",              // empty action
        "z:3=no-reply",      // unknown command
        "a:x=no-reply",      // bad slot
        "a:5-2=no-reply",    // reversed range
        "a:#0=no-reply",     // occurrences count from 1
        "a:3=status",        // missing byte
        "a:3=status:0x100",  // byte out of range
        "a:3=split:1",       // one part is no split
        "a:3=split:2:fast",  // bad duration
        "a:3=split-at:0",    // offset 0 splits nothing
        "a:3=garbage:0",     // odd hex
        "a:3=reply:",        // nothing to send
        "a:3=no-reply:1",    // takes no argument
        "a:3=explode",       // unknown action
        "a:3=no-reply+",     // empty second action
        "a:3=error-text",    // no text, not even an empty one
    };
    for (const char* rule : bad) {
        FaultPlan plan;
        std::string error;
        EXPECT_FALSE(plan.addRule(rule, error)) << rule;
        EXPECT_FALSE(error.empty()) << rule;
        EXPECT_TRUE(plan.rules().empty()) << rule;
    }
}

TEST(TermsimFaultRules, CommandNamesAreNormalised) {
    EXPECT_EQ("0x81", FaultPlan::normaliseCommand("error"));
    EXPECT_EQ("0x81", FaultPlan::normaliseCommand("0X81"));
    EXPECT_EQ("0x1a", FaultPlan::normaliseCommand("0x1A"));
    EXPECT_EQ("Q", FaultPlan::normaliseCommand("aQ"));
    EXPECT_EQ("r", FaultPlan::normaliseCommand("br"));
    EXPECT_EQ("", FaultPlan::normaliseCommand("0x123"));
    EXPECT_EQ("", FaultPlan::normaliseCommand("A"));
}

TEST(TermsimFaultRules, SlotsRangesAndOccurrencesSelect) {
    FaultPlan plan =
        planOf({"a:3=no-reply", "b:2-4,7=bad-checksum", "fetch:#2=long-form", "fetch-b:*=delay:5"});
    EXPECT_TRUE(plan.match(ctx({"a", "0x61", "*"}, 3), {1, 1, 1}).noReply);
    EXPECT_FALSE(plan.match(ctx({"a", "0x61", "*"}, 4), {2, 2, 2}).any());
    // 'b' slot 3 does not hit the 'a' rule, whatever its slot.
    FaultSet b3 = plan.match(ctx({"b", "0x62", "*"}, 3), {1, 1, 1});
    EXPECT_FALSE(b3.noReply);
    EXPECT_TRUE(b3.badChecksum);
    EXPECT_TRUE(plan.match(ctx({"b", "0x62", "*"}, 7), {2, 2, 2}).badChecksum);
    EXPECT_FALSE(plan.match(ctx({"b", "0x62", "*"}, 5), {3, 3, 3}).any());
    // Occurrence counts of the class the rule names.
    EXPECT_FALSE(plan.match(ctx({"fetch", "0x16", "*", "fetch-a"}, 0), {1, 1, 1, 1}).longForm);
    EXPECT_TRUE(plan.match(ctx({"fetch", "0x16", "*", "fetch-a"}, 1), {2, 2, 2, 2}).longForm);
    FaultSet fb = plan.match(ctx({"fetch", "0x16", "*", "fetch-b"}, 0), {3, 3, 3, 1});
    EXPECT_FALSE(fb.longForm);
    EXPECT_EQ(5u, fb.delayMs);
    // A command without a slot is hit only by * and occurrences.
    EXPECT_FALSE(planOf({"0x81:0-9=no-reply"}).match(ctx({"0x81", "*"}, -1), {1, 1}).any());
    EXPECT_TRUE(planOf({"0x81:#1=no-reply"}).match(ctx({"0x81", "*"}, -1), {1, 1}).noReply);
}

TEST(TermsimFaultRules, ActionsCombineAndLaterRulesWin) {
    FaultPlan plan =
        planOf({"*:*=status:0x05+split:3:40ms", "a:*=status:0xF8+garbage", "a:1=slow:2ms+trailing:AA"});
    FaultSet s = plan.match(ctx({"a", "0x61", "*"}, 1), {1, 1, 1});
    ASSERT_TRUE(s.status.has_value());
    EXPECT_EQ(0xF8, *s.status);
    EXPECT_EQ(FaultSet::Split::Slow, s.split);
    EXPECT_EQ(2u, s.pauseMs);
    EXPECT_EQ(Bytes({0x55, 0xAA, 0xFF}), s.garbage);
    EXPECT_EQ(Bytes({0xAA}), s.trailing);
    EXPECT_EQ(3u, s.applied.size());

    FaultSet other = plan.match(ctx({"0x16", "fetch", "*"}, 1), {1, 1, 1});
    EXPECT_EQ(0x05, *other.status);
    EXPECT_EQ(FaultSet::Split::Parts, other.split);
    EXPECT_EQ(3u, other.parts);
    EXPECT_EQ(40u, other.pauseMs);
}

TEST(TermsimFaultRules, ActionArgumentsAndDefaults) {
    FaultPlan plan = planOf({"a:0=length-over", "a:1=length-over:9", "a:2=header-split",
                             "a:3=split-at:2,5:1s", "a:4=data:+pad:3", "a:5=reply:05 04 16 17",
                             "a:6=close-after+close", "a:7=slow", "a:8=split:2"});
    auto at = [&](int slot) { return plan.match(ctx({"a"}, slot), {1}); };
    FaultPlan texts = planOf({"a:0=status:5+error-text:Slot 0: C:\\keys = gone", "a:1=error-text:"});
    EXPECT_EQ("Slot 0: C:\\keys = gone", texts.match(ctx({"a"}, 0), {1}).errorText.value_or("?"));
    EXPECT_EQ("", texts.match(ctx({"a"}, 1), {1}).errorText.value_or("?"));
    EXPECT_FALSE(texts.match(ctx({"a"}, 2), {1}).errorText.has_value());
    std::string error;
    EXPECT_TRUE(FaultPlan().addRule("a:0=error-text:" + std::string(248, 'x'), error)) << error;
    EXPECT_FALSE(FaultPlan().addRule("a:0=error-text:" + std::string(249, 'x'), error));
    EXPECT_EQ(2u, at(0).lengthOver);
    EXPECT_EQ(9u, at(1).lengthOver);
    EXPECT_EQ(FaultSet::Split::Header, at(2).split);
    EXPECT_EQ(100u, at(2).pauseMs);
    EXPECT_EQ(std::vector<std::size_t>({2, 5}), at(3).splitAt);
    EXPECT_EQ(1000u, at(3).pauseMs);
    ASSERT_TRUE(at(4).data.has_value());
    EXPECT_TRUE(at(4).data->empty());
    EXPECT_EQ(3u, at(4).pad);
    EXPECT_EQ(Bytes({5, 4, 0x16, 0x17}), *at(5).replaceWire);
    EXPECT_TRUE(at(6).closeAfter);
    EXPECT_TRUE(at(6).closeInstead);
    EXPECT_EQ(20u, at(7).pauseMs);
    EXPECT_EQ(100u, at(8).pauseMs);
}

TEST(TermsimFaultRules, Durations) {
    unsigned ms = 0;
    EXPECT_TRUE(parseDurationMs("250", ms));
    EXPECT_EQ(250u, ms);
    EXPECT_TRUE(parseDurationMs("250ms", ms));
    EXPECT_EQ(250u, ms);
    EXPECT_TRUE(parseDurationMs("2s", ms));
    EXPECT_EQ(2000u, ms);
    EXPECT_FALSE(parseDurationMs("ms", ms));
    EXPECT_FALSE(parseDurationMs("-5", ms));
    EXPECT_FALSE(parseDurationMs("1.5s", ms));
    EXPECT_FALSE(parseDurationMs("0x10", ms));
    EXPECT_FALSE(parseDurationMs("3601s", ms));
}
