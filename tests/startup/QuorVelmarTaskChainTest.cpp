// The start-up chain of tasks: the order of the links, a hard failure ends
// the chain, a soft one does not, the messages and their levels, and the
// usual start function of a link.
#include <chrono>
#include <cstdio>
#include <deque>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "BoardRootFixture.h"
#include "LightLog.h"
#include "QuorVelmarTaskChain.h"

namespace {

std::vector<std::string> g_Started;
std::vector<uint32_t> g_Paused;

template <int Result>
int FakeStart()
{
    g_Started.push_back("start" + std::to_string(g_Started.size()) + "=" + std::to_string(Result));
    return Result;
}

void FakePause(uint32_t seconds)
{
    g_Paused.push_back(seconds);
    g_Started.push_back("pause");
}

T_QuorTaskLink Link(T_QuorTaskLink::Kind kind, int (*start)(), const char* name)
{
    // Link texts stay where they are for the whole test binary.
    static std::deque<std::string>* texts = new std::deque<std::string>;
    texts->push_back(std::string("###### ") + name + " no memory");
    const char* noMemory = texts->back().c_str();
    texts->push_back(std::string("###### ") + name + " init failed");
    const char* initFail = texts->back().c_str();
    texts->push_back(std::string(name) + " ok");
    const char* success = texts->back().c_str();
    return T_QuorTaskLink{kind, start, noMemory, initFail, success, 0};
}

T_QuorTaskLink Pause(uint32_t seconds)
{
    return T_QuorTaskLink{T_QuorTaskLink::kPause, nullptr, nullptr, nullptr, nullptr, seconds};
}

class TaskChainTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fDir = board_test::MakeTempDir("chain");
        ASSERT_FALSE(fDir.empty());
        T_LightLogCallBack callbacks = LightLogStdioCallBack();
        ASSERT_EQ(LightLogSetCallBack(&callbacks), 0);
        ASSERT_EQ(LightLogSetup((fDir + "/chain").c_str(), 1000, 2, 10000), 0);
        g_Started.clear();
        g_Paused.clear();
    }
    void TearDown() override
    {
        LightLogExit();
        board_test::RemoveTree(fDir);
    }
    std::string Log() const { return board_test::ReadText(fDir + "/chain001.logTmp"); }

    std::string fDir;
};

TEST_F(TaskChainTest, SoftFailuresGoOnAndAHardFailureEndsTheChain)
{
    const T_QuorTaskLink links[] = {
        Link(T_QuorTaskLink::kHard, FakeStart<QUOR_LINK_OK>, "hard1"),
        Link(T_QuorTaskLink::kSoft, FakeStart<QUOR_LINK_NO_MEMORY>, "soft1"),
        Link(T_QuorTaskLink::kSoft, FakeStart<QUOR_LINK_INIT_FAILED>, "soft2"),
        Link(T_QuorTaskLink::kSoft, FakeStart<QUOR_LINK_OK>, "soft3"),
        Pause(3),
        Link(T_QuorTaskLink::kHard, FakeStart<QUOR_LINK_INIT_FAILED>, "hard2"),
        Link(T_QuorTaskLink::kSoft, FakeStart<QUOR_LINK_OK>, "after"),
        Link(T_QuorTaskLink::kLast, FakeStart<QUOR_LINK_OK>, "last"),
    };
    EXPECT_EQ(CQuorVelmarTaskChain::Run(links, 8, FakePause), 6u);
    EXPECT_EQ(g_Started, (std::vector<std::string>{"start0=0", "start1=1", "start2=2", "start3=0", "pause",
                                                   "start5=2"}));
    EXPECT_EQ(g_Paused, std::vector<uint32_t>{3});

    std::string log = Log();
    // Hard links log failures only; soft links log their success too.
    EXPECT_EQ(log.find("hard1"), std::string::npos) << log;
    size_t soft1 = log.find("[40000]: ###### soft1 no memory --");
    size_t soft2 = log.find("[40000]: ###### soft2 init failed --");
    size_t soft3 = log.find("[20000]: soft3 ok --");
    size_t hard2 = log.find("[40000]: ###### hard2 init failed --");
    EXPECT_TRUE(soft1 < soft2 && soft2 < soft3 && soft3 < hard2 && hard2 != std::string::npos) << log;
    EXPECT_EQ(log.find("after"), std::string::npos);
    EXPECT_EQ(log.find("last"), std::string::npos);
}

TEST_F(TaskChainTest, AFailingLastLinkIsLoggedAndAnAllGoodChainRunsThrough)
{
    const T_QuorTaskLink links[] = {
        Link(T_QuorTaskLink::kHard, FakeStart<QUOR_LINK_OK>, "hard"),
        Link(T_QuorTaskLink::kLast, FakeStart<QUOR_LINK_NO_MEMORY>, "last"),
    };
    EXPECT_EQ(CQuorVelmarTaskChain::Run(links, 2, FakePause), 2u);
    EXPECT_NE(Log().find("[40000]: ###### last no memory --"), std::string::npos);
    EXPECT_EQ(CQuorVelmarTaskChain::Run(links, 1, FakePause), 1u);
    EXPECT_EQ(CQuorVelmarTaskChain::Run(nullptr, 3, FakePause), 0u);
}

TEST_F(TaskChainTest, TheRealPauseWaitsItsSeconds)
{
    const T_QuorTaskLink links[] = {Pause(1)};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CQuorVelmarTaskChain::Run(links, 1), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
}

// ---- The usual start function --------------------------------------------------------

struct FakeTask {
    static int sInitResult;
    static int sCreated;
    FakeTask() { ++sCreated; }
    int Initialize() { return sInitResult; }
};
int FakeTask::sInitResult = 0;
int FakeTask::sCreated = 0;
FakeTask* g_pFakeTask = nullptr;

TEST(TaskLinkTest, StartStoresTheTaskAndMapsItsInitialisation)
{
    FakeTask::sInitResult = 0;
    EXPECT_EQ((QuorStartTaskLink<FakeTask, &g_pFakeTask>()), QUOR_LINK_OK);
    ASSERT_NE(g_pFakeTask, nullptr);
    FakeTask* first = g_pFakeTask;
    // A task that fails to initialise stays in its global.
    FakeTask::sInitResult = -2;
    EXPECT_EQ((QuorStartTaskLink<FakeTask, &g_pFakeTask>()), QUOR_LINK_INIT_FAILED);
    EXPECT_NE(g_pFakeTask, nullptr);
    EXPECT_NE(g_pFakeTask, first);
    EXPECT_EQ(FakeTask::sCreated, 2);
    delete first;
    delete g_pFakeTask;
    g_pFakeTask = nullptr;
}

} // namespace
