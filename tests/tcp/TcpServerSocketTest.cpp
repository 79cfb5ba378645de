// The server side of the TCP command port: the per-address limit with the
// listener still accepting afterwards, session identifiers, disconnects,
// the listening address and the bind retried until the port is free.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <set>

#include "QuorVelmarManageTask.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarTCPServerSocket.h"
#include "QuorVelmarTCPSessionTask.h"
#include "QuorVelmarTCPSrvCreate.h"
#include "TaskTestSupport.h"
#include "TcpTestSupport.h"

using namespace tcp_test;

namespace {

const char kRefused[] = "######IP client existing(in list) number is much more than <";

// A connection the server closes at once (it is accepted once data arrived).
bool RefusedAtOnce(TcpClient* client, const char* srcIp)
{
    return client->Connect(srcIp) && client->Send("HELLO REFUSED\r\n") && client->ClosedByPeer();
}

}  // namespace

TEST_F(TcpServerTest, PerAddressLimitRefusesAtAcceptAndTheListenerGoesOn)
{
    SetClientLinkMaxNum(2);
    TcpClient first, second, third, other, again;
    ASSERT_GT(ConnectSession(&first, kClientA, "1"), 0);
    ASSERT_GT(ConnectSession(&second, kClientA, "2"), 0);
    EXPECT_EQ(2u, Listener()->GetClientNum(kClientA));
    LogMark mark;
    EXPECT_TRUE(RefusedAtOnce(&third, kClientA));
    EXPECT_TRUE(mark.Has(std::string(kRefused) + "2> at IP<" + kClientA + ">, close socket<"));
    EXPECT_EQ(2u, Listener()->GetClientNum(kClientA));
    EXPECT_EQ(2u, Listener()->GetSessionCount());
    // Another address, and the same one once a connection ended.
    EXPECT_GT(ConnectSession(&other, kClientB, "other"), 0);
    first.Close();
    ASSERT_TRUE(WaitUntil([] { return Listener()->GetClientNum(kClientA) == 1; }));
    EXPECT_GT(ConnectSession(&again, kClientA, "again"), 0);
    EXPECT_EQ(2u, Listener()->GetClientNum(kClientA));
}

TEST_F(TcpServerTest, LimitZeroStillAllowsOneConnectionPerAddress)
{
    SetClientLinkMaxNum(0);
    TcpClient first, second, other;
    ASSERT_GT(ConnectSession(&first, kClientA, "only"), 0);
    LogMark mark;
    EXPECT_TRUE(RefusedAtOnce(&second, kClientA));
    EXPECT_TRUE(mark.Has(std::string(kRefused) + "0> at IP<" + kClientA + ">"));
    EXPECT_GT(ConnectSession(&other, kClientB, "other"), 0);
}

TEST_F(TcpServerTest, AddressCountsAreLoggedAndGoBackToZero)
{
    LogMark mark;
    {
        TcpClient a, b, c;
        ASSERT_GT(ConnectSession(&a, kClientA, "a"), 0);
        ASSERT_GT(ConnectSession(&b, kClientA, "b"), 0);
        ASSERT_GT(ConnectSession(&c, kClientB, "c"), 0);
    }
    ASSERT_TRUE(WaitForSessionCount(0));
    std::string log = mark.Since();
    EXPECT_NE(std::string::npos, log.find("Add the first IP client<127.0.0.1> and IP client number is <1>."));
    EXPECT_NE(std::string::npos, log.find("Add the existing(in list) IP client<127.0.0.1> number to <2>."));
    EXPECT_NE(std::string::npos,
              log.find("Add different IP client<127.0.0.2> to list and current client number is <2>."));
    EXPECT_NE(std::string::npos, log.find("Reduce client number to <1> at IP<127.0.0.1>."));
    EXPECT_NE(std::string::npos, log.find("Delete client node<127.0.0.1> and client number is <0> at IP<127.0.0.1>."));
    EXPECT_NE(std::string::npos, log.find("Delete client node<127.0.0.2> and client number is <0> at IP<127.0.0.2>."));
}

TEST_F(TcpServerTest, SessionIdentifiersArePositiveAndUniqueAmongLiveSessions)
{
    std::deque<std::pair<TcpClient*, int32_t>> live;
    std::set<int32_t> liveIds;
    for (int cycle = 0; cycle < 1000; cycle++) {
        TcpClient* client = new TcpClient;
        int32_t id = ConnectSession(client, cycle % 2 ? kClientA : kClientB, std::to_string(cycle));
        ASSERT_GT(id, 0) << "cycle " << cycle;
        ASSERT_TRUE(liveIds.insert(id).second) << "id " << id << " is live already";
        live.emplace_back(client, id);
        if (live.size() > 3) {
            liveIds.erase(live.front().second);
            delete live.front().first;  // closes
            live.pop_front();
        }
    }
    for (auto& entry : live)
        delete entry.first;
}

TEST_F(TcpServerTest, IdentifierCounterWrapsToOneAndSkipsLiveIdentifiers)
{
    TcpClient top, one, two, three;
    CQuorVelmarTCPSessionTask::SetLastSessionId(INT32_MAX - 1);
    EXPECT_EQ(INT32_MAX, ConnectSession(&top, kClientA, "top"));
    EXPECT_EQ(1, ConnectSession(&one, kClientA, "one"));
    CQuorVelmarTCPSessionTask::SetLastSessionId(0);
    EXPECT_EQ(2, ConnectSession(&two, kClientA, "two"));  // 1 is live
    CQuorVelmarTCPSessionTask::SetLastSessionId(INT32_MAX);
    EXPECT_EQ(3, ConnectSession(&three, kClientA, "three"));  // 1 and 2 are live
    CQuorVelmarTCPSessionTask::SetLastSessionId(1000000);
}

TEST_F(TcpServerTest, AbruptDisconnectsEndTheirSessionsOnly)
{
    TcpClient stays, resets;
    int32_t staysId = ConnectSession(&stays, kClientA, "stays");
    int32_t resetsId = ConnectSession(&resets, kClientA, "resets");
    ASSERT_GT(resetsId, 0);
    LogMark mark;
    resets.Abort();
    ASSERT_TRUE(WaitForSessionCount(1));
    EXPECT_TRUE(mark.Has("TCPSession<" + std::to_string(resetsId) + ">: Socket receive data error!"));
    EXPECT_TRUE(mark.Has("TCPSession<" + std::to_string(resetsId) + ">: At present,ProcessReadEvent error!"));
    EXPECT_EQ(nullptr, Listener()->GetTCPSessionBySrcNo2(resetsId));
    EXPECT_EQ(1u, Listener()->GetClientNum(kClientA));
    // The other client is still served both ways.
    ASSERT_TRUE(stays.Send("GET STILL\r\n"));
    Line line;
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("GET STILL\r\n", line.text);
    EXPECT_EQ(staysId, line.session);
    EXPECT_EQ(0, g_pVelmarManageTask->SendTcpBuf("STILL\r\n", QUOR_STRING_MODE_ONE_CLIENT, staysId));
    std::string got;
    EXPECT_TRUE(stays.ReadExactly(7, &got));
    EXPECT_EQ("STILL\r\n", got);
}

TEST(TcpServerAddress, LoopbackMeansEveryAddress)
{
    EXPECT_EQ(0u, CQuorVelmarTcpSrvCreate::ListenAddrFor(htonl(0x7F000001u)));
    EXPECT_EQ(0x0A090001u, CQuorVelmarTcpSrvCreate::ListenAddrFor(htonl(0x0A090001u)));
    EXPECT_EQ(0x7F000003u, CQuorVelmarTcpSrvCreate::ListenAddrFor(htonl(0x7F000003u)));
}

// ---- The bind, retried while the port is taken ----------------------------------

namespace {

int s_busyFd = -1;
std::atomic<int> s_pauses{0};
std::atomic<uint32_t> s_pauseMs{0};

// Instead of waiting 5 s: frees the port.
void FreeThePort(uint32_t ms)
{
    s_pauseMs = ms;
    if (++s_pauses >= 2 && s_busyFd >= 0) {  // two failed attempts, then the port is free
        close(s_busyFd);
        s_busyFd = -1;
    }
}

}  // namespace

TEST_F(TcpServerTest, BindIsRetriedEveryFiveSecondsUntilThePortIsFree)
{
    const char kIp[] = "127.0.0.6";
    s_pauses = 0;
    s_busyFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, kIp, &addr.sin_addr);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(0, bind(s_busyFd, (sockaddr*)&addr, sizeof(addr)));
    ASSERT_EQ(0, listen(s_busyFd, 1));
    ASSERT_EQ(0, getsockname(s_busyFd, (sockaddr*)&addr, &len));
    uint16_t port = ntohs(addr.sin_port);

    uint32_t savedAddr = CQuorVelmarPref::s_u32Quor_Velmar_TelnetInterAddr;
    uint16_t savedPort = CQuorVelmarPref::s_u16Quor_Velmar_TelnetInterPort;
    CQuorVelmarPref::s_u32Quor_Velmar_TelnetInterAddr = addr.sin_addr.s_addr;
    CQuorVelmarPref::s_u16Quor_Velmar_TelnetInterPort = port;
    CQuorVelmarTcpSrvCreate::SetPauseFn(FreeThePort);
    LogMark mark;
    CQuorVelmarTcpSrvCreate* second = Keep(new CQuorVelmarTcpSrvCreate);
    int result = second->CreateAndStartListener();
    CQuorVelmarTcpSrvCreate::SetPauseFn(nullptr);
    CQuorVelmarPref::s_u32Quor_Velmar_TelnetInterAddr = savedAddr;
    CQuorVelmarPref::s_u16Quor_Velmar_TelnetInterPort = savedPort;

    EXPECT_EQ(0, result);
    EXPECT_EQ(2, s_pauses.load());
    EXPECT_EQ(5000u, s_pauseMs.load());
    std::string failed = std::string("QuorTCPServerSocket <") + kIp + "> bind port <" + std::to_string(port) +
                         "> err<98>,wait for 5s until success.";
    EXPECT_EQ(2u, mark.Count(failed));
    EXPECT_TRUE(mark.Has(std::string("QuorTCPServerSocket ip <") + kIp + "> bind port <" + std::to_string(port) +
                         "> success."));
    // The running server is still the first one; the new listener accepts.
    EXPECT_NE(second->GetListener(), CQuorVelmarTcpSrvCreate::GetRunningListener());
    TcpClient client;
    ASSERT_TRUE(client.Connect(kClientA, port, kIp));
    ASSERT_TRUE(client.Send("GET SECOND\r\n"));
    Line line;
    ASSERT_TRUE(NextLine(&line));
    EXPECT_EQ("GET SECOND\r\n", line.text);
    client.Close();
    EXPECT_TRUE(WaitUntil([&] { return second->GetListener()->GetSessionCount() == 0; }));
}

// Connections are reported once data arrived; one that stays silent is
// still served after the deferral (about a second).
TEST_F(TcpServerTest, SilentClientIsAcceptedAfterTheDeferral)
{
    TcpClient silent;
    ASSERT_TRUE(silent.Connect(kClientA));
    EXPECT_TRUE(WaitForSessionCount(1, 10000));
    EXPECT_EQ(0, g_pVelmarManageTask->SendTcpBuf("TO ALL\r\n", QUOR_STRING_MODE_ALL_CLIENTS, 0));
    std::string got;
    EXPECT_TRUE(silent.ReadExactly(8, &got));
    EXPECT_EQ("TO ALL\r\n", got);
}
