// The management task run by pool 2's threads: lines and group messages
// handed over by concurrent producers are all handled, lines in order, and
// every pooled element goes back.
#include "ProtocolTestUtil.h"

#include <thread>

#include "QuorVelmarManageTask.h"
#include "TaskTestSupport.h"

namespace {

T_QuorStringMsg Line(int32_t session, const std::string& text)
{
    T_QuorStringMsg m;
    memset(&m, 0, sizeof(m));
    m.u8Scope = 11;
    m.s32SessionId = session;
    m.u16Length = (uint16_t)text.size();
    memcpy(m.cMsg, text.data(), text.size());
    return m;
}

TEST(ManageTaskRun, ProducersOnManyThreadsAreServedInOrder)
{
    LogCapture log;
    std::vector<uint32_t> before = PoolsInUse();
    QuorTaskThreadPool<2>::AddThreads(2, 0);
    CQuorVelmarManageTask* task = Keep(new CQuorVelmarManageTask);
    g_pVelmarManageTask = task;

    const int kThreads = 3, kLines = 100, kUdp = 30;
    std::vector<std::thread> producers;
    std::atomic<int> accepted{0};
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([t, &accepted] {
            Bytes msg = WireBuilder().Header(0x1605).U16(1).U16(0x1001).Done();
            for (int i = 0; i < kLines; ++i) {
                char text[32];
                snprintf(text, sizeof(text), "P%d L%03d\r\n", t, i);
                CQuorVelmarCommLayer::Msg_StringRecved(Line(t + 1, text));
                // The UDP queue is bounded by its pools: a drop is allowed,
                // a crash or a lost block is not.
                if (i < kUdp &&
                    CQuorVelmarCommLayer::Msg_UdpRecved(reinterpret_cast<const char*>(msg.data()),
                                                        (uint32_t)msg.size(), 0x7F000001, 3334) == 0)
                    ++accepted;
            }
        });
    }
    for (auto& p : producers)
        p.join();

    EXPECT_TRUE(WaitUntil([&] {
        return task->GetStringListLength() == 0 && task->GetUdpQueueLength() == 0 && PoolsInUse() == before;
    }));
    EXPECT_GT(accepted.load(), 0);
    // An element leaves its list before its handler logs it: wait for the logs too.
    auto countHandled = [](const std::string& logText) {
        size_t handled = 0;
        for (size_t at = 0; (at = logText.find("@@@@@@ Receive One Packet.Length: <28>; CommandID: <0x1605>.", at)) !=
                            std::string::npos;
             ++at)
            ++handled;
        return handled;
    };
    EXPECT_TRUE(WaitUntil([&] {
        std::string logText = log.Text();
        for (int t = 0; t < kThreads; ++t) {
            char lastLine[64];
            snprintf(lastLine, sizeof(lastLine), "Msg is <P%d L%03d\\x0D\\x0A>", t, kLines - 1);
            if (logText.find(lastLine) == std::string::npos)
                return false;
        }
        return countHandled(logText) >= (size_t)accepted.load();
    }));

    // Each producer's lines were handled in the order they were handed over.
    std::string text = log.Text();
    for (int t = 0; t < kThreads; ++t) {
        size_t last = 0;
        for (int i = 0; i < kLines; ++i) {
            char expected[64];
            snprintf(expected, sizeof(expected), "Msg is <P%d L%03d\\x0D\\x0A>, TaskSession is <%d>.", t, i, t + 1);
            size_t at = text.find(expected);
            ASSERT_NE(std::string::npos, at) << expected;
            EXPECT_GT(at + 1, last) << expected;
            last = at + 1;
        }
    }
    EXPECT_EQ((size_t)accepted.load(), countHandled(text));
    g_pVelmarManageTask = nullptr;
}

}  // namespace
