// Output to the TCP clients through the management task's SendTcpBuf: a
// reply reaches its own client only, a broadcast every client exactly once;
// lines go out in batches 10 ms apart; a client that never reads delays
// nobody and loses only its own oldest lines, whole (logged once per spell); a closed session's identifier
// reaches nobody; a closed session is cleared in the pool.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "MemoryPool.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarTCPServerSocket.h"
#include "QuorVelmarTCPSessionTask.h"
#include "TaskTestSupport.h"
#include "TcpTestSupport.h"

using namespace tcp_test;

namespace {

int SendTcp(const std::string& text, uint8_t mode, int32_t session)
{
    return g_pVelmarManageTask->SendTcpBuf(text.c_str(), mode, session);
}

// The next bytes of client are exactly text.
void ExpectNext(TcpClient* client, const std::string& text)
{
    std::string got;
    EXPECT_TRUE(client->ReadExactly(text.size(), &got)) << "waiting for " << text;
    EXPECT_EQ(text, got);
}

// Makes the server side of a session keep little unsent data in the kernel.
void ShrinkServerSendBuffer(int32_t session)
{
    CQuorVelmarTCPSessionTask* task = Listener()->GetTCPSessionBySrcNo2(session);
    ASSERT_NE(nullptr, task);
    int size = 4096;
    ASSERT_EQ(0, setsockopt(task->GetSocket()->GetSocketFD(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)));
}

std::string BigLine(int number)
{
    char head[16];
    snprintf(head, sizeof(head), "L%04d ", number);
    return head + std::string(1990, 'x') + "\r\n";
}

}  // namespace

TEST_F(TcpServerTest, ReplyReachesItsClientOnlyAndBroadcastEveryClientOnce)
{
    TcpClient a, b, c;
    int32_t idA = ConnectSession(&a, kClientA, "a");
    int32_t idB = ConnectSession(&b, kClientA, "b");
    int32_t idC = ConnectSession(&c, kClientB, "c");
    ASSERT_GT(idA, 0);
    ASSERT_GT(idB, 0);
    ASSERT_GT(idC, 0);

    EXPECT_EQ(0, SendTcp("REPLY A\r\n", QUOR_STRING_MODE_ONE_CLIENT, idA));
    ExpectNext(&a, "REPLY A\r\n");
    EXPECT_EQ(0, SendTcp("ALL 1\r\n", QUOR_STRING_MODE_ALL_CLIENTS, 0));
    for (TcpClient* client : {&a, &b, &c})
        ExpectNext(client, "ALL 1\r\n");  // for b and c the first bytes: no stray reply

    // Any other mode sends nothing.
    EXPECT_EQ(0, SendTcp("NOBODY\r\n", 7, idA));
    EXPECT_EQ(0, SendTcp("ALL 2\r\n", QUOR_STRING_MODE_ALL_CLIENTS, 0));
    for (TcpClient* client : {&a, &b, &c})
        ExpectNext(client, "ALL 2\r\n");
    for (TcpClient* client : {&a, &b, &c})
        EXPECT_EQ("", client->ReadFor(150));
}

TEST_F(TcpServerTest, ModeZeroRecordOfOneSessionReachesEveryClientOnce)
{
    TcpClient a, b, c;
    int32_t idA = ConnectSession(&a, kClientA, "a");
    int32_t idB = ConnectSession(&b, kClientA, "b");
    ASSERT_GT(ConnectSession(&c, kClientB, "c"), 0);
    ASSERT_GT(idA, 0);
    LogMark mark;
    // Queued in b's own list, as the first session's list gets it.
    CQuorVelmarTCPSessionTask* session = Listener()->GetTCPSessionBySrcNo2(idB);
    ASSERT_NE(nullptr, session);
    session->AddOneTcpMsgToSendList("DIRECT\r\n", QUOR_STRING_MODE_ALL_CLIENTS);
    for (TcpClient* client : {&a, &b, &c})
        ExpectNext(client, "DIRECT\r\n");
    for (TcpClient* client : {&a, &b, &c})
        EXPECT_EQ("", client->ReadFor(150));
    EXPECT_EQ(1u, mark.Count("Send to All Client TcpMsg is <DIRECT"));
}

TEST_F(TcpServerTest, NonBroadcastModeWithoutSessionGoesToTheFirstClient)
{
    TcpClient first, second;
    ASSERT_GT(ConnectSession(&first, kClientA, "first"), 0);
    ASSERT_GT(ConnectSession(&second, kClientB, "second"), 0);
    EXPECT_EQ(0, SendTcp("FIRST ONLY\r\n", QUOR_STRING_MODE_ONE_CLIENT, 0));
    EXPECT_EQ(0, SendTcp("ALL\r\n", QUOR_STRING_MODE_ALL_CLIENTS, 0));
    ExpectNext(&first, "FIRST ONLY\r\nALL\r\n");
    ExpectNext(&second, "ALL\r\n");
}

TEST_F(TcpServerTest, PromptClientGetsEveryLineFasterThanOneAPause)
{
    // A thousand lines a second, ten per 10 ms pause: a session that sent
    // one line per pause would fall behind and drop; batches keep up.
    TcpClient client;
    int32_t id = ConnectSession(&client, kClientA, "batched");
    ASSERT_GT(id, 0);
    LogMark mark;
    const int kLines = 2000;
    std::string all;
    for (int i = 0; i < kLines; i++)
        all += "R" + std::to_string(i) + "\r\n";
    std::string got;
    bool complete = false;
    std::thread reader([&] { complete = client.ReadExactly(all.size(), &got, 30000); });
    for (int i = 0; i < kLines; i++) {
        EXPECT_EQ(0, SendTcp("R" + std::to_string(i) + "\r\n", QUOR_STRING_MODE_ONE_CLIENT, id));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    ASSERT_TRUE(complete);
    EXPECT_TRUE(got == all);
    EXPECT_FALSE(mark.Has("client does not read"));
}

TEST_F(TcpServerTest, TextLongerThan2047BytesIsCutWithALogLine)
{
    TcpClient client;
    int32_t id = ConnectSession(&client, kClientA, "cut");
    ASSERT_GT(id, 0);
    LogMark mark;
    EXPECT_EQ(0, SendTcp(std::string(3000, 'L'), QUOR_STRING_MODE_ONE_CLIENT, id));
    ExpectNext(&client, std::string(2047, 'L'));
    EXPECT_EQ("", client.ReadFor(100));
    EXPECT_TRUE(mark.Has("TCPSession<" + std::to_string(id) + ">: TcpMsg to send is longer than <2047>, cut."));
}

TEST_F(TcpServerTest, UnknownOrClosedSessionGetsNoReply)
{
    LogMark mark;
    EXPECT_EQ(-2, SendTcp("X\r\n", QUOR_STRING_MODE_ONE_CLIENT, 999999));
    EXPECT_TRUE(mark.Has("######No TaskSession<999999> Client Connect Server."));

    TcpClient gone;
    int32_t goneId = ConnectSession(&gone, kClientA, "gone");
    ASSERT_GT(goneId, 0);
    gone.Close();
    ASSERT_TRUE(WaitForSessionCount(0));
    TcpClient next;
    int32_t nextId = ConnectSession(&next, kClientA, "next");
    ASSERT_GT(nextId, 0);
    EXPECT_NE(goneId, nextId);
    EXPECT_EQ(-2, SendTcp("LATE REPLY\r\n", QUOR_STRING_MODE_ONE_CLIENT, goneId));
    EXPECT_EQ(0, SendTcp("MARK\r\n", QUOR_STRING_MODE_ALL_CLIENTS, 0));
    ExpectNext(&next, "MARK\r\n");
}

// A reply queued while the session reads the client's next line still
// goes out without the client sending more.
TEST_F(TcpServerTest, RepliesToPipelinedCommandsArriveWithoutFurtherInput)
{
    TcpClient client;
    int32_t id = ConnectSession(&client, kClientA, "race");
    ASSERT_GT(id, 0);
    for (int round = 0; round < 20; round++) {
        std::thread answerer([&] {
            Line line;
            for (int answered = 0; answered < 2 && NextLine(&line); answered++)
                SendTcp("ANS " + line.text, QUOR_STRING_MODE_ONE_CLIENT, line.session);
        });
        ASSERT_TRUE(client.Send("GET X\r\n"));
        ASSERT_TRUE(client.Send("GET Y\r\n"));
        std::string got;
        bool complete = client.ReadExactly(22, &got);
        answerer.join();
        ASSERT_TRUE(complete) << "round " << round << " got <" << got << ">";
        ASSERT_EQ("ANS GET X\r\nANS GET Y\r\n", got);
    }
}

// A line from the client and a new reply both arrive while the session
// waits between two records: the pass after the wait handles both.
TEST_F(TcpServerTest, ReadAndWriteEventsOfOnePassAreBothHandled)
{
    TcpClient client;
    int32_t id = ConnectSession(&client, kClientA, "both");
    ASSERT_GT(id, 0);
    EXPECT_EQ(0, SendTcp("R1\r\n", QUOR_STRING_MODE_ONE_CLIENT, id));
    EXPECT_EQ(0, SendTcp("R2\r\n", QUOR_STRING_MODE_ONE_CLIENT, id));
    ExpectNext(&client, "R1\r\n");  // R2 in the same batch or the next
    ASSERT_TRUE(client.Send("GET Z\r\n"));
    EXPECT_EQ(0, SendTcp("R3\r\n", QUOR_STRING_MODE_ONE_CLIENT, id));
    ExpectNext(&client, "R2\r\nR3\r\n");
    Line line;
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("GET Z\r\n", line.text);
}

TEST_F(TcpServerTest, ClientThatNeverReadsDelaysNobodyAndLosesOnlyItsOldestWholeLines)
{
    TcpClient slow, fast;
    int32_t slowId = ConnectSession(&slow, kClientA, "slow", 2048);
    int32_t fastId = ConnectSession(&fast, kClientB, "fast");
    ASSERT_GT(slowId, 0);
    ASSERT_GT(fastId, 0);
    ShrinkServerSendBuffer(slowId);
    LogMark mark;

    const int kLines = 120;
    std::string all;
    for (int i = 0; i < kLines; i++)
        all += BigLine(i);
    std::string fastGot;
    bool fastComplete = false;
    std::thread reader([&] { fastComplete = fast.ReadExactly(all.size(), &fastGot, 20000); });
    for (int i = 0; i < kLines; i++) {
        EXPECT_EQ(0, SendTcp(BigLine(i), QUOR_STRING_MODE_ALL_CLIENTS, 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(12));
    }
    reader.join();
    // The fast client has everything, in order, while the slow one has not
    // read a byte.
    ASSERT_TRUE(fastComplete);
    EXPECT_TRUE(fastGot == all);
    CQuorVelmarTCPSessionTask* slowTask = Listener()->GetTCPSessionBySrcNo2(slowId);
    ASSERT_NE(nullptr, slowTask);
    EXPECT_LE(slowTask->GetQueuedBytes(), (uint32_t)CQuorVelmarTCPSessionTask::kMaxQueuedBytes);
    EXPECT_TRUE(mark.Has("######TCPSession<" + std::to_string(slowId) + ">: client does not read"));
    EXPECT_FALSE(mark.Has("######TCPSession<" + std::to_string(fastId) + ">: client does not read"));
    EXPECT_EQ(1u, mark.Count("client does not read")) << "one line for the whole spell of drops";

    // The slow client now reads: whole lines in order, the oldest queued
    // ones missing, the newest there.
    std::string slowGot;
    ASSERT_TRUE(slow.ReadUntil(BigLine(kLines - 1), &slowGot, 10000));
    EXPECT_EQ("", slow.ReadFor(100));
    int last = -1;
    size_t lines = 0;
    for (size_t pos = 0; pos < slowGot.size(); pos += BigLine(0).size(), lines++) {
        int number = -1;
        ASSERT_EQ(1, sscanf(slowGot.c_str() + pos, "L%4d ", &number)) << "at byte " << pos;
        ASSERT_EQ(BigLine(number), slowGot.substr(pos, BigLine(0).size())) << "at byte " << pos;
        EXPECT_GT(number, last);
        last = number;
    }
    EXPECT_EQ(kLines - 1, last);
    EXPECT_LT(lines, (size_t)kLines);
    // Sends that did not take a whole line kept the rest for later; the
    // drops were counted once the list had drained.
    EXPECT_TRUE(mark.Has("TCPSession<" + std::to_string(slowId) + ">: sent <"));
    const std::string counted = "######TCPSession<" + std::to_string(slowId) + ">: <" +
                                std::to_string(kLines - lines) + "> lines dropped while the client did not read.";
    EXPECT_TRUE(WaitUntil([&] { return mark.Has(counted); })) << counted;
}

TEST_F(TcpServerTest, ClosedSessionIsClearedInThePool)
{
    uint32_t inUse = g_MemPool_VelmarTCPSession.GetInUseCount();
    TcpClient client;
    int32_t id = ConnectSession(&client, kClientA, "stuck", 2048);
    ASSERT_GT(id, 0);
    ShrinkServerSendBuffer(id);
    CQuorVelmarTCPSessionTask* session = Listener()->GetTCPSessionBySrcNo2(id);
    ASSERT_NE(nullptr, session);
    for (int i = 0; i < 40; i++)
        EXPECT_EQ(0, SendTcp(BigLine(i), QUOR_STRING_MODE_ONE_CLIENT, id));
    EXPECT_TRUE(WaitUntil([&] { return session->GetSendListLength() > 1; }));
    LogMark mark;
    ASSERT_TRUE(client.Send("JUNK"));
    ASSERT_TRUE(mark.WaitFor("Reade TCP Msg is <JUNK>"));
    client.Abort();
    // Back in the pool (its lock orders what the closing thread did before).
    ASSERT_TRUE(WaitUntil([&] { return g_MemPool_VelmarTCPSession.GetInUseCount() == inUse; }));
    char freed[96];
    snprintf(freed, sizeof(freed), "free memory[%x] from g_MemPool_VelmarTCPSession<", (unsigned)(uintptr_t)session);
    EXPECT_TRUE(mark.WaitFor(freed)) << freed;
    EXPECT_EQ(0, session->GetSrcNo2());
    EXPECT_EQ(0u, session->GetFrameLength());
    EXPECT_EQ(0u, session->GetSendListLength());
    EXPECT_EQ(0u, session->GetQueuedBytes());
    EXPECT_EQ(nullptr, session->GetSocket());
}
