// The web log-in's tables and the log view's line handling, in the test
// process with a clock the test sets: session life and expiry, the bound on
// sessions, ending the others, the slowing of wrong passwords, and the level
// of a log line.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QuorVelmarWebLog.h"
#include "QuorVelmarWebSession.h"

namespace {

typedef CQuorVelmarWebSessions Sessions;
const uint64_t kMinute = 60 * 1000;

std::string NewSession(Sessions& sessions, uint64_t now, uint64_t life = 5 * kMinute)
{
    char token[Sessions::kTokenSize];
    EXPECT_TRUE(sessions.Create(now, life, token));
    return token;
}

TEST(WebSessions, TokensAreRandomHexOfFixedLength)
{
    Sessions sessions;
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        std::string token = NewSession(sessions, 1000);
        EXPECT_EQ(32u, token.size());
        EXPECT_EQ(std::string::npos, token.find_first_not_of("0123456789abcdef")) << token;
        seen.insert(token);
    }
    EXPECT_EQ(64u, seen.size());
}

TEST(WebSessions, LiveUntilTheLogoutTimeWithoutARequest)
{
    Sessions sessions;
    const std::string token = NewSession(sessions, 0);
    // Each request starts the time anew; a gap longer than it ends the session.
    EXPECT_TRUE(sessions.Touch(token.c_str(), 5 * kMinute - 1, 5 * kMinute));
    EXPECT_TRUE(sessions.Touch(token.c_str(), 10 * kMinute - 2, 5 * kMinute));
    EXPECT_FALSE(sessions.Touch(token.c_str(), 15 * kMinute - 2, 5 * kMinute));
    EXPECT_FALSE(sessions.Touch(token.c_str(), 15 * kMinute - 3, 5 * kMinute)) << "an ended session stays ended";
    EXPECT_EQ(0u, sessions.Count(0));
}

TEST(WebSessions, UnknownAndMalformedTokensAreRefused)
{
    Sessions sessions;
    const std::string token = NewSession(sessions, 0);
    std::string other = token;
    other[31] = other[31] == 'a' ? 'b' : 'a';
    for (const std::string& bad : {other, token.substr(0, 31), token + "0", std::string(), std::string(32, '\0'),
                                   std::string(32, 'G')})
        EXPECT_FALSE(sessions.Touch(bad.c_str(), 1, kMinute)) << bad;
    EXPECT_FALSE(sessions.Touch(nullptr, 1, kMinute));
    EXPECT_TRUE(sessions.Touch(token.c_str(), 1, kMinute));
}

TEST(WebSessions, SeventeenthSessionReplacesTheOneUsedLongestAgo)
{
    Sessions sessions;
    std::vector<std::string> tokens;
    for (uint64_t i = 0; i < Sessions::kMaxSessions; ++i)
        tokens.push_back(NewSession(sessions, i));
    EXPECT_TRUE(sessions.Touch(tokens[0].c_str(), 100, 5 * kMinute));   // now the first is fresh
    const std::string newest = NewSession(sessions, 200);
    EXPECT_EQ(Sessions::kMaxSessions, sessions.Count(200));
    EXPECT_FALSE(sessions.Touch(tokens[1].c_str(), 201, 5 * kMinute)) << "the least recently used one goes";
    EXPECT_TRUE(sessions.Touch(tokens[0].c_str(), 201, 5 * kMinute));
    EXPECT_TRUE(sessions.Touch(newest.c_str(), 201, 5 * kMinute));
    // An expired place is taken before any live one.
    Sessions small;
    const std::string shortLived = NewSession(small, 0, 10);
    const std::string kept = NewSession(small, 0);
    NewSession(small, 20);
    EXPECT_TRUE(small.Touch(kept.c_str(), 21, kMinute));
    EXPECT_FALSE(small.Touch(shortLived.c_str(), 21, kMinute));
}

TEST(WebSessions, EndingOneOrAllButOne)
{
    Sessions sessions;
    const std::string a = NewSession(sessions, 0), b = NewSession(sessions, 0), c = NewSession(sessions, 0);
    sessions.End(b.c_str());
    EXPECT_FALSE(sessions.Touch(b.c_str(), 1, kMinute));
    sessions.EndAllBut(a.c_str());
    EXPECT_TRUE(sessions.Touch(a.c_str(), 1, kMinute));
    EXPECT_FALSE(sessions.Touch(c.c_str(), 1, kMinute));
    sessions.EndAllBut(nullptr);
    EXPECT_EQ(0u, sessions.Count(1));
}

TEST(WebSessions, ManyThreadsAtOnce)
{
    Sessions sessions;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&sessions, t] {
            for (int i = 0; i < 500; ++i) {
                std::string token = NewSession(sessions, static_cast<uint64_t>(i));
                sessions.Touch(token.c_str(), static_cast<uint64_t>(i), kMinute);
                if ((i + t) % 7 == 0)
                    sessions.EndAllBut(token.c_str());
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_LE(sessions.Count(500), static_cast<size_t>(Sessions::kMaxSessions));
}

TEST(LoginThrottle, WrongPasswordsInARowSlowTheAddress)
{
    CQuorVelmarLoginThrottle throttle;
    const char* addr = "10.0.0.7";
    struct Step {
        uint64_t now;
        bool failed;
        uint64_t wait;   // asked after the step
    } const steps[] = {
        {0, true, 0}, {10, true, 0}, {20, true, 2000},   // three free tries, then 2 s
        {2020, true, 4000},                               // doubling
        {6020, true, 8000}, {14020, true, 16000}, {30020, true, 32000}, {62020, true, 60000},
        {122020, true, 60000},                            // at most 60 s
    };
    for (const Step& step : steps) {
        EXPECT_EQ(0u, throttle.WaitMs(addr, step.now)) << step.now;
        throttle.Failed(addr, step.now);
        EXPECT_EQ(step.wait, throttle.WaitMs(addr, step.now)) << step.now;
    }
    EXPECT_EQ(0u, throttle.WaitMs("10.0.0.8", 122020)) << "other addresses are not slowed";
    throttle.Succeeded(addr);
    EXPECT_EQ(0u, throttle.WaitMs(addr, 122021));
    // Failures long ago are forgotten.
    for (uint64_t i = 0; i < 3; ++i)
        throttle.Failed(addr, 100000 + i);
    throttle.Failed(addr, 100002 + CQuorVelmarLoginThrottle::kForgetMs + 1);
    EXPECT_EQ(0u, throttle.WaitMs(addr, 100002 + CQuorVelmarLoginThrottle::kForgetMs + 1));
}

TEST(LoginThrottle, BoundedTableKeepsTheRecentAddresses)
{
    CQuorVelmarLoginThrottle throttle;
    for (uint64_t i = 0; i < 40; ++i) {
        std::string addr = "10.0.1." + std::to_string(i);
        for (int k = 0; k < 3; ++k)
            throttle.Failed(addr.c_str(), 1000 + i);
    }
    EXPECT_GT(throttle.WaitMs("10.0.1.39", 1040), 0u);
    EXPECT_EQ(0u, throttle.WaitMs("10.0.1.0", 1040)) << "the oldest address made room";
}

TEST(WebLog, LevelsOfLinesAndNames)
{
    struct Case {
        std::string line;
        uint32_t level;
    } const cases[] = {
        {"2026-12-09 03:16:46.123456 [20000]: started --12:src/x ", 20000},
        {"2026-12-09 03:16:46.123456 [40000]: ######bad [30000]: x --1:src/y ", 40000},
        {"2026-12-09 03:16:46.123456 [2000]: short", 0},
        {"2026-12-09 03:16:46.123456 [2000x]: x", 0},
        {"==== begin ====", 0},
        {"[20000]: no time", 0},
        {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.level, CQuorVelmarWebLog::LineLevel(c.line.data(), c.line.size())) << c.line;
    for (const auto& name : std::vector<std::pair<std::string, uint32_t>>{
             {"debug", 10000}, {"INFO", 20000}, {"warning", 30000}, {"error", 40000}, {"fatal", 50000},
             {"10000", 10000}, {"50000", 50000}, {"25000", 0}, {"", 0}, {"info ", 0}})
        EXPECT_EQ(name.second, CQuorVelmarWebLog::ParseLevel(name.first.c_str())) << name.first;
    EXPECT_TRUE(CQuorVelmarWebLog::IsLogUri("/log"));
    EXPECT_FALSE(CQuorVelmarWebLog::IsLogUri("/log/x"));
    EXPECT_FALSE(CQuorVelmarWebLog::IsLogUri("/logo.png"));
}

} // namespace
