// The simulated interface application: key tests, fetches, follow-ups and the
// platform error query, as a key check run drives them.
#include "Terminal.h"

#include <gtest/gtest.h>

using namespace termsim;

namespace {

Bytes keyTest(char kind, std::uint8_t slot, const std::string& prompt = "Testing...") {
    Bytes d;
    d.reserve(23 + prompt.size());
    d.push_back(static_cast<std::uint8_t>(kind == 'a' ? ' ' : 'p'));
    d.push_back(slot);
    const char account[12] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0};
    d.insert(d.end(), account, account + 12);
    d.insert(d.end(), prompt.begin(), prompt.end());
    d.push_back(0xFF);
    for (int i = 0; i < 8; ++i)
        d.push_back('0');
    return d;
}

struct Exchange {
    Command command;
    Reply reply;
};

Exchange send(Terminal& t, std::uint8_t byte, const Bytes& data, const std::uint8_t* status = nullptr) {
    Exchange e;
    e.command = t.classify(byte, data);
    e.reply = t.answer(e.command, status);
    return e;
}

std::array<KeyState, 10> states(const char* text) {
    std::array<KeyState, 10> s{};
    EXPECT_TRUE(parseKeyStates(text, s));
    return s;
}

}  // namespace

TEST(TermsimTerminal, FetchReportsTheStateOfTheTestedSlot) {
    Terminal t(states("L8LLLLLLL1"), states("LLL1LLLLLL"));
    struct Step {
        char kind;
        std::uint8_t slot;
        std::uint8_t fetched;
    };
    for (Step s : {Step{'a', 0, 0x00}, Step{'a', 1, 0xF8}, Step{'a', 9, 0xF1}, Step{'b', 3, 0xF1},
                   Step{'b', 1, 0x00}}) {
        Exchange request = send(t, static_cast<std::uint8_t>(s.kind), keyTest(s.kind, s.slot));
        EXPECT_EQ(s.kind == 'a' ? CommandClass::KeyTestA : CommandClass::KeyTestB, request.command.cls);
        EXPECT_EQ(s.slot, request.command.slot);
        EXPECT_TRUE(request.command.problem.empty()) << request.command.problem;
        EXPECT_EQ(0x00, request.reply.status);
        EXPECT_EQ(static_cast<std::uint8_t>(s.kind), request.reply.type);

        Exchange fetch = send(t, 0x16, {});
        EXPECT_EQ(CommandClass::Fetch, fetch.command.cls);
        EXPECT_EQ(s.slot, fetch.command.slot);
        EXPECT_EQ(s.fetched, fetch.reply.status) << s.kind << int(s.slot);
        EXPECT_EQ(0x16, fetch.reply.type);
        EXPECT_TRUE(fetch.reply.data.empty());

        Exchange follow = send(t, static_cast<std::uint8_t>(s.kind),
                               {static_cast<std::uint8_t>(s.kind == 'a' ? 'Q' : 'r')});
        EXPECT_EQ(s.kind == 'a' ? CommandClass::FollowUpQ : CommandClass::FollowUpR, follow.command.cls);
        EXPECT_EQ(s.slot, follow.command.slot);
        EXPECT_EQ(0x00, follow.reply.status);
    }
    // The follow-up ended the test: nothing is left to fetch.
    EXPECT_EQ(kStatusNoTestPending, send(t, 0x16, {}).reply.status);
}

TEST(TermsimTerminal, PlatformErrorQueryDescribesTheLastErrorStatus) {
    Terminal t(states("L8LLLLLLLL"), states("LLLLLLLLLL"));
    Exchange none = send(t, 0x81, {});
    EXPECT_EQ(0x00, none.reply.status);
    EXPECT_EQ(0x81, none.reply.type);
    std::string noError = "No error";
    Bytes expectNone{0x00, 0x00};
    expectNone.insert(expectNone.end(), noError.begin(), noError.end());
    EXPECT_EQ(expectNone, none.reply.data);

    send(t, 'a', keyTest('a', 1));
    EXPECT_EQ(0xF8, send(t, 0x16, {}).reply.status);
    Exchange query = send(t, 0x81, {});
    EXPECT_EQ(CommandClass::ErrorQuery, query.command.cls);
    EXPECT_EQ(1, query.command.slot);
    std::string text = "Key slot 1 is empty";
    Bytes expect{0xF8, 0x00};
    expect.insert(expect.end(), text.begin(), text.end());
    EXPECT_EQ(expect, query.reply.data);
    // The query itself succeeds and changes nothing.
    EXPECT_EQ(expect, send(t, 0x81, {}).reply.data);
}

TEST(TermsimTerminal, FixedPlatformErrorAndStatusOverride) {
    Terminal t(states("LLLLLLLLLL"), states("LLLLLLLLLL"));
    t.setPlatformError(0xBEEF, "Tamper");
    std::uint8_t five = 0x05;
    Exchange refused = send(t, 'b', keyTest('b', 4), &five);
    EXPECT_EQ(0x05, refused.reply.status);
    // A refused test leaves nothing to fetch.
    EXPECT_EQ(kStatusNoTestPending, send(t, 0x16, {}).reply.status);
    Exchange query = send(t, 0x81, {});
    EXPECT_EQ(Bytes({0xEF, 0xBE, 'T', 'a', 'm', 'p', 'e', 'r'}), query.reply.data);

    Terminal u(states("LLLLLLLLLL"), states("LLLLLLLLLL"));
    send(u, 'a', keyTest('a', 2), &five);
    Bytes data = send(u, 0x81, {}).reply.data;
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ(0x05, data[0]);
    EXPECT_EQ(0x00, data[1]);
}

TEST(TermsimTerminal, ErrorTextOfAFaultIsWhatTheNextQueryReports) {
    Terminal t(states("L8LLLLLLLL"), states("LLLLLLLLLL"));
    t.setPlatformError(0x0102, "Fixed");
    auto query = [&] { return send(t, 0x81, {}).reply.data; };
    std::uint8_t five = 0x05;
    const std::string text = "Tamper: C:\\keys";
    Exchange refused;
    refused.command = t.classify('a', keyTest('a', 2));
    refused.reply = t.answer(refused.command, &five, &text);
    EXPECT_EQ(0x05, refused.reply.status);
    Bytes expect{0x02, 0x01};
    expect.insert(expect.end(), text.begin(), text.end());
    EXPECT_EQ(expect, query());

    const std::string none;
    send(t, 'a', keyTest('a', 1));
    Command fetch = t.classify(0x16, {});
    EXPECT_EQ(0xF8, t.answer(fetch, nullptr, &none).status);
    EXPECT_EQ(Bytes({0x02, 0x01}), query());
}

TEST(TermsimTerminal, MalformedRequestsAreRefusedAndExplained) {
    Terminal t(states("LLLLLLLLLL"), states("LLLLLLLLLL"));
    Bytes wrongSub = keyTest('a', 0);
    wrongSub[0] = 'p';
    Exchange e = send(t, 'a', wrongSub);
    EXPECT_NE(std::string::npos, e.command.problem.find("sub-code 70, expected 20"));
    EXPECT_EQ(kStatusMalformed, e.reply.status);

    Bytes noTerminator = keyTest('b', 0);
    noTerminator[noTerminator.size() - 9] = '!';
    EXPECT_FALSE(send(t, 'b', noTerminator).command.problem.empty());

    Exchange tooShort = send(t, 'a', Bytes{' ', 1, 2});
    EXPECT_NE(std::string::npos, tooShort.command.problem.find("3 data bytes"));
    EXPECT_EQ(1, tooShort.command.slot);

    Exchange badSlot = send(t, 'b', keyTest('b', 10));
    EXPECT_TRUE(badSlot.command.problem.empty());
    EXPECT_EQ(kStatusBadSlot, badSlot.reply.status);

    EXPECT_FALSE(send(t, 0x16, {0x00}).command.problem.empty());
    Exchange unknown = send(t, 0x42, {1, 2});
    EXPECT_EQ(CommandClass::Other, unknown.command.cls);
    EXPECT_EQ(kStatusUnknownCommand, unknown.reply.status);
    EXPECT_EQ(std::vector<std::string>({"0x42", "*"}), unknown.command.context.names);
}

TEST(TermsimTerminal, EmptyPromptAndTheTranscriptText) {
    Terminal t(states("LLLLLLLLLL"), states("LLLLLLLLLL"));
    Exchange e = send(t, 'a', keyTest('a', 7, ""));
    EXPECT_TRUE(e.command.problem.empty());
    EXPECT_EQ(0x00, e.reply.status);
    Exchange full = send(t, 'b', keyTest('b', 3));
    EXPECT_EQ("b slot=3 sub=70 account=\"0123456789\\x00\\x00\" prompt=\"Testing...\" trailer=\"00000000\"",
              full.command.text);
    Exchange fetch = send(t, 0x16, {});
    EXPECT_EQ("fetch slot=3 test=b", fetch.command.text);
    EXPECT_EQ(std::vector<std::string>({"fetch", "0x16", "*", "fetch-b"}), fetch.command.context.names);
}
