// Lines from TCP clients: cut at CR LF and handed to the communication layer
// at once, in order, with the session's identifier; limits of a line; the
// "SET EDID_W" read; the frame buffer of a pooled session.
#include <gtest/gtest.h>

#include <thread>

#include "MemoryPool.h"
#include "TaskTestSupport.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarTCPSessionTask.h"
#include "TcpTestSupport.h"

using namespace tcp_test;

namespace {

void Pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The text of the next line that reaches the management task; "(none)"
// when none does in time.
std::string NextText()
{
    Line line;
    return NextLine(&line) ? line.text : std::string("(none)");
}

// No further line reaches the management task within ms.
bool NoMoreLines(int ms = 150)
{
    Line line;
    return !NextLine(&line, ms);
}

}  // namespace

TEST_F(TcpServerTest, PipelinedLinesOfOneSegmentAreAllHandedOnInOrder)
{
    TcpClient client;
    ASSERT_TRUE(client.Connect(kClientA));
    ASSERT_TRUE(client.Send("GET A\r\n\r\nGET B\r\n"));
    Line a, b;
    ASSERT_TRUE(NextLine(&a));
    ASSERT_TRUE(NextLine(&b));
    EXPECT_EQ(QUOR_STRING_SCOPE_TCP, a.scope);
    EXPECT_EQ("GET A\r\n", a.text);
    EXPECT_EQ(7u, a.length);
    EXPECT_GT(a.session, 0);
    EXPECT_EQ(QUOR_STRING_SCOPE_TCP, b.scope);
    EXPECT_EQ("GET B\r\n", b.text);
    EXPECT_EQ(a.session, b.session);
    EXPECT_TRUE(NoMoreLines());  // the empty line is dropped
}

TEST_F(TcpServerTest, SessionStopsReadingWhileItsLinesWaitAndLosesNone)
{
    TcpClient client;
    ASSERT_TRUE(client.Connect(kClientA));
    std::string many;
    for (int i = 0; i < 100; ++i)
        many += "A\r\n";
    ASSERT_TRUE(client.Send(many));
    const uint32_t mark = CQuorVelmarTCPSessionTask::kOwnLinesHighMark;
    ASSERT_TRUE(WaitUntil([&] { return g_pVelmarManageTask->GetStringListLength() > mark; }));
    // Above the session's mark: what the client sends now stays unread.
    ASSERT_TRUE(client.Send("B\r\n"));
    Pause(300);
    uint32_t waiting = g_pVelmarManageTask->GetStringListLength();
    EXPECT_LE(waiting, 100u);
    // Once the list has drained below the low mark the session reads again:
    // all the A lines, then B.
    Line line;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(NextLine(&line));
        EXPECT_EQ("A\r\n", line.text) << i << " of " << waiting << " waiting";
    }
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("B\r\n", line.text);
}

TEST_F(TcpServerTest, LinesSplitAcrossReadsAreJoined)
{
    TcpClient client;
    int32_t id = ConnectSession(&client, kClientA, "split");
    ASSERT_GT(id, 0);
    // Pauses make separate reads; the CR LF itself is split too.
    for (const char* part : {"GET ", "PA", "RT\r\nGET C", "\r", "\nGET D\r\n"}) {
        ASSERT_TRUE(client.Send(part));
        Pause(30);
    }
    Line line;
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("GET PART\r\n", line.text);
    EXPECT_EQ(id, line.session);
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("GET C\r\n", line.text);
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("GET D\r\n", line.text);
    EXPECT_TRUE(NoMoreLines());
}

TEST_F(TcpServerTest, LineLongerThanTheMessageTextIsDroppedAndTheSessionGoesOn)
{
    TcpClient client;
    int32_t id = ConnectSession(&client, kClientA, "long");
    ASSERT_GT(id, 0);
    LogMark mark;
    ASSERT_TRUE(client.Send(std::string(2100, 'X') + "\r\nGET OK\r\n"));
    EXPECT_EQ("GET OK\r\n", NextText());
    EXPECT_TRUE(mark.Has("######TCPSession<" + std::to_string(id) +
                         ">: TcpMsg line of <2102> bytes is longer than <2047>, dropped."));
    EXPECT_TRUE(NoMoreLines());
}

TEST_F(TcpServerTest, SetEdidReadIsHandedOnWholeWithItsBinaryBytes)
{
    std::string data = "set edid_w 1 ";
    for (int i = 0; i < 200; i++)
        data.push_back((char)(i * 37 + 5));
    data[20] = '\0';
    data[60] = '\r';
    data[61] = '\n';
    data[100] = '\0';
    TcpClient client;
    ASSERT_TRUE(client.Connect(kClientA));
    ASSERT_TRUE(client.Send(data));  // the first and only read of the session
    Line line;
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ(QUOR_STRING_SCOPE_TCP, line.scope);
    EXPECT_GT(line.session, 0);
    EXPECT_EQ(data.size(), line.length);
    EXPECT_EQ(data, line.text);
    EXPECT_TRUE(NoMoreLines());
}

TEST_F(TcpServerTest, ClientGoneMidLineHandsNothingOn)
{
    TcpClient client;
    ASSERT_GT(ConnectSession(&client, kClientA, "mid"), 0);
    ASSERT_TRUE(client.Send("GET HALF"));
    Pause(30);
    client.Close();
    ASSERT_TRUE(WaitForSessionCount(0));
    EXPECT_TRUE(NoMoreLines());
}

// ---- The framing on its own -----------------------------------------------------------
//
// A session object of the pool that serves no connection: nothing runs it,
// so the test thread may use its framing (its lines carry session 0).

class TcpFramingTest : public TcpServerTest {
protected:
    void SetUp() override
    {
        TcpServerTest::SetUp();
        fSession = GetObjOfVelmarTCPSession();
        ASSERT_NE(nullptr, fSession);
        ASSERT_EQ(0, fSession->GetSrcNo2());
    }
    void TearDown() override
    {
        if (fSession != nullptr)
            FreeObjOfVelmarTCPSession(fSession);  // the next Initialize clears it
        TcpServerTest::TearDown();
    }
    void Feed(const std::string& bytes)
    {
        fSession->DoRecognition0D0AForOneFramMsg(bytes.data(), (uint32_t)bytes.size());
    }
    // Feeds in reads of at most 2047 bytes, as the session reads.
    void FeedInReads(const std::string& bytes)
    {
        for (size_t pos = 0; pos < bytes.size(); pos += CQuorVelmarTCPSessionTask::kReadChunk)
            Feed(bytes.substr(pos, CQuorVelmarTCPSessionTask::kReadChunk));
    }

    CQuorVelmarTCPSessionTask* fSession = nullptr;
};

TEST_F(TcpFramingTest, LinesUpTo2047BytesWithTheirCrLfPassAndLongerOnesAreDropped)
{
    LogMark mark;
    std::string fits = std::string(2045, 'A') + "\r\n";
    std::string over = std::string(2046, 'B') + "\r\n";
    FeedInReads(fits + over + "GET OK\r\n");
    Line line;
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ(2047u, line.length);
    EXPECT_EQ(fits, line.text);
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("GET OK\r\n", line.text);
    EXPECT_TRUE(NoMoreLines());
    EXPECT_EQ(1u, mark.Count("TcpMsg line of <2048> bytes is longer than <2047>, dropped."));
    EXPECT_EQ(0u, fSession->GetFrameLength());
}

TEST_F(TcpFramingTest, FullFrameBufferWithoutCrLfIsClearedAndTheRestOfItsLineSkipped)
{
    LogMark mark;
    FeedInReads(std::string(4096, 'Z'));
    EXPECT_EQ(1u, mark.Count("######TcpMsg Len is arrive <4096>, to long and it's not have \\r\\n."));
    EXPECT_EQ(0u, fSession->GetFrameLength());
    Feed("TAIL OF THE LONG LINE\r\nGET D\r\n");
    EXPECT_EQ("GET D\r\n", NextText());
    EXPECT_TRUE(NoMoreLines());
}

TEST_F(TcpFramingTest, OverflowEndingInCrIsEndedByTheNextLf)
{
    FeedInReads(std::string(4095, 'Z') + "\r");
    EXPECT_EQ(0u, fSession->GetFrameLength());
    Feed("\nGET E\r\n");
    EXPECT_EQ("GET E\r\n", NextText());
    EXPECT_TRUE(NoMoreLines());
}

TEST_F(TcpFramingTest, LongLineBelowTheFrameBufferIsDroppedWhenItsCrLfArrives)
{
    LogMark mark;
    FeedInReads(std::string(3000, 'Q'));
    EXPECT_EQ(3000u, fSession->GetFrameLength());
    Feed("Q\r\nGET F\r\n");
    EXPECT_EQ("GET F\r\n", NextText());
    EXPECT_TRUE(mark.Has("TcpMsg line of <3003> bytes is longer than <2047>, dropped."));
    EXPECT_FALSE(mark.Has("to long and it's not have"));
}

TEST_F(TcpFramingTest, StartingClearsWhatTheObjectHeld)
{
    Feed("PARTIAL");
    fSession->AddOneTcpMsgToSendList("QUEUED\r\n", QUOR_STRING_MODE_ONE_CLIENT);
    EXPECT_EQ(7u, fSession->GetFrameLength());
    EXPECT_EQ(1u, fSession->GetSendListLength());
    uint32_t live = CQuorVelmarTCPSessionTask::GetLiveSessionIdCount();

    ASSERT_TRUE(fSession->Initialize(nullptr));
    EXPECT_GT(fSession->GetSrcNo2(), 0);
    EXPECT_EQ(live + 1, CQuorVelmarTCPSessionTask::GetLiveSessionIdCount());
    EXPECT_EQ(0u, fSession->GetFrameLength());
    EXPECT_EQ(0u, fSession->GetSendListLength());
    EXPECT_EQ(0u, fSession->GetQueuedBytes());
    Feed("GET G\r\n");
    Line line;
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("GET G\r\n", line.text);
    EXPECT_EQ(fSession->GetSrcNo2(), line.session);
    // It now waits for a connection and may run at any time: only its own
    // thread may close it, so it stays out of the pool.
    Keep(fSession);
    fSession = nullptr;
}

TEST_F(TcpServerTest, ReusedSessionObjectsStartWithoutTheLastClientsBytes)
{
    // Every closed session goes back to the pool; going round all of them
    // reuses each object at least once.
    uint32_t rounds = 2 * g_MemPool_VelmarTCPSession.GetCreatedCount() + 2;
    for (uint32_t i = 0; i < rounds; i++) {
        TcpClient dirty;
        ASSERT_GT(ConnectSession(&dirty, kClientA, "dirty" + std::to_string(i)), 0);
        ASSERT_TRUE(dirty.Send("JUNK WITHOUT END"));
        Pause(5);
        dirty.Abort();
        ASSERT_TRUE(WaitForSessionCount(0));
        TcpClient clean;
        ASSERT_TRUE(clean.Connect(kClientA));
        ASSERT_TRUE(clean.Send("GET CLEAN\r\n"));
        Line line;
        ASSERT_TRUE(NextLine(&line));
        ASSERT_EQ("GET CLEAN\r\n", line.text) << "round " << i;
        clean.Close();
        ASSERT_TRUE(WaitForSessionCount(0));
    }
}
