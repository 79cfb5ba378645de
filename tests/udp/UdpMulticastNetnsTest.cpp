// The group path between two network namespaces of the test's own, joined by
// a veth pair and by nothing else: the whole binary moves into the "board"
// namespace (its "eth0" carries the module's address and its default route
// leads to the peer side), and the peers' sockets are made in the "lan"
// namespace (two addresses on "lan0"). Group messages, their answers and
// every failure path stay inside these namespaces; the machine's own network
// is never used. A third namespace with loopback only and no route stands for
// a board whose network is not up yet.
//
// Needs root; exits 77 (skipped) with a message when the namespaces or the
// veth pair cannot be made.
#include "UdpNetnsPair.h"

#include <thread>

#include "QuorVelmarPref.h"
#include "QuorVelmarUdpMulSocketTask.h"
#include "QuorVelmarUdpSocketTask.h"

using namespace udp_test;

namespace {

const int kQuietMs = 300;  // how long "nothing arrives" is watched

CQuorVelmarUdpMulSocketTask* Group()
{
    return g_VelmarUdpMulCast;
}

class GroupPathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WaitUntil([] { return Group()->IsReceiving(); })) << TestLog::Text();
        DrainQueue();
        fPools = PoolsInUse();
    }
    void TearDown() override
    {
        DrainQueue();
        EXPECT_EQ(fPools, PoolsInUse());
    }

    std::vector<uint32_t> fPools;
};

} // namespace

// The module joins the group of the preferences (its default, 230.1.0.0) on
// the interface of its route, and its receive loop runs.
TEST_F(GroupPathTest, JoinsTheDefaultGroupOnEth0)
{
    EXPECT_STREQ(kGroupIp, CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr);
    std::string groups = Eth0Groups();
    EXPECT_NE(std::string::npos, groups.find(GroupWord(kGroupIp)))
        << board_test::ReadText("/proc/thread-self/net/igmp");
    std::string log = TestLog::Text();
    EXPECT_NE(std::string::npos, log.find("CQuorVelmarUdpMulSocketTask::Initialize OK!"));
    EXPECT_EQ(std::string::npos, log.find("######setsockopt():IP_ADD_MEMBERSHIP")) << log;
    EXPECT_EQ(std::string::npos, log.find("invalid socket...")) << log;
}

// A group message reaches a peer; the module does not hear it itself, and
// still hears the peers.
TEST_F(GroupPathTest, GroupMessageReachesThePeerButNotTheSender)
{
    int listener = LanGroupListener();
    ASSERT_GE(listener, 0);
    Bytes query = SearchQuery(0x42);
    LogSince log;
    ASSERT_EQ(0, Group()->SendBroadCastUdpMsg((const char*)query.data(), (uint32_t)query.size()));
    Bytes got;
    sockaddr_in from{};
    ASSERT_TRUE(RecvBytes(listener, &got, 2000, &from));
    EXPECT_EQ(query, got);
    EXPECT_EQ(kModuleIp, Dotted(ntohl(from.sin_addr.s_addr)));

    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
    EXPECT_EQ(0u, QueueLength());
    EXPECT_FALSE(log.Has("@@@@@@Recv BroadCast message")) << log.Text();

    Peer peer(kPeer1Ip, 40000);
    ASSERT_TRUE(peer.Ok());
    ASSERT_TRUE(peer.SendToGroup(query));
    ASSERT_TRUE(WaitForQueued(1));
    Queued packet;
    ASSERT_TRUE(TakeQueued(&packet));
    EXPECT_EQ(query, packet.bytes);
    EXPECT_EQ(HostAddr(kPeer1Ip), packet.addr);
    EXPECT_TRUE(log.Has("Msg Len is <30>")) << log.Text();
    close(listener);
}

// Two peers ask the group from ports 40000 and 40001; the second request
// arrives before the first is answered. Each answer goes to its asker's
// address at "QuorVelmar_UdpPort", never to the port the request came from
// and never to the other peer.
TEST_F(GroupPathTest, GroupRequestsAreAnsweredAtEachAskersUnicastPort)
{
    Peer peer1(kPeer1Ip, 40000), peer2(kPeer2Ip, 40001);
    ASSERT_TRUE(peer1.Ok() && peer2.Ok());
    Bytes query1 = SearchQuery(1), query2 = SearchQuery(2);
    ASSERT_TRUE(peer1.SendToGroup(query1));
    ASSERT_TRUE(WaitForQueued(1));
    ASSERT_TRUE(peer2.SendToGroup(query2));
    ASSERT_TRUE(WaitForQueued(2));
    Queued first, second;
    ASSERT_TRUE(TakeQueued(&first));
    ASSERT_TRUE(TakeQueued(&second));
    EXPECT_EQ(query1, first.bytes);
    EXPECT_EQ(HostAddr(kPeer1Ip), first.addr);
    EXPECT_EQ(40000, first.port);
    EXPECT_EQ(query2, second.bytes);
    EXPECT_EQ(HostAddr(kPeer2Ip), second.addr);
    EXPECT_EQ(40001, second.port);
    uint32_t lastAddr = 0;
    uint16_t lastPort = 0;
    Group()->GetLastSender(&lastAddr, &lastPort);
    EXPECT_EQ(HostAddr(kPeer2Ip), lastAddr);
    EXPECT_EQ(40001, lastPort);

    LogSince log;
    Bytes answer1 = SearchAnswerTo(first.bytes, "answer one");
    ASSERT_EQ(0, Group()->SendRespondUdpMsg((const char*)answer1.data(), (uint32_t)answer1.size(), first.addr));
    Bytes got;
    ASSERT_TRUE(RecvBytes(peer1.unicast, &got, 2000));
    EXPECT_EQ(answer1, got);
    EXPECT_FALSE(RecvBytes(peer2.unicast, &got, kQuietMs));
    EXPECT_FALSE(RecvBytes(peer1.sender, &got, 0));
    EXPECT_TRUE(log.Has("to IP<198.18.250.2>, Port<3334>.")) << log.Text();

    Bytes answer2 = SearchAnswerTo(second.bytes, "answer two");
    ASSERT_EQ(0, Group()->SendRespondUdpMsg((const char*)answer2.data(), (uint32_t)answer2.size(), second.addr));
    ASSERT_TRUE(RecvBytes(peer2.unicast, &got, 2000));
    EXPECT_EQ(answer2, got);
    EXPECT_FALSE(RecvBytes(peer1.unicast, &got, kQuietMs));
    EXPECT_FALSE(RecvBytes(peer2.sender, &got, 0));
}

// At most 2048 bytes of a group datagram are taken; the length word decides
// what is passed on: below 24 or above the bytes taken drops the datagram, a
// smaller one passes that many bytes. A sentinel after each case shows that
// the case was read.
TEST_F(GroupPathTest, LengthRulesOfGroupDatagrams)
{
    Peer peer(kPeer1Ip, 40002);
    ASSERT_TRUE(peer.Ok());
    struct Case {
        uint32_t size, lengthWord, queued;  // queued 0: dropped
    } cases[] = {
        {2100, 2100, 0}, {30, 30, 30},     {100, 3000, 0},    {40, 30, 30}, {2048, 2048, 2048},
        {2049, 2048, 2048}, {3000, 1000, 1000}, {23, 23, 0}, {0, 0, 0},    {24, 24, 24},
        {24, 23, 0},     {1000, 0xFFFFFFFF, 0},
    };
    const Bytes sentinel = SearchQuery(0x5E5E5E5E);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.size << " bytes, length word " << c.lengthWord);
        LogSince log;
        Bytes datagram = Framed(c.size, c.lengthWord);
        ASSERT_TRUE(peer.SendToGroup(datagram));
        ASSERT_TRUE(peer.SendToGroup(sentinel));
        uint32_t expected = c.queued != 0 ? 2 : 1;
        ASSERT_TRUE(WaitForQueued(expected));
        EXPECT_EQ(expected, QueueLength());
        Queued packet;
        if (c.queued != 0) {
            ASSERT_TRUE(TakeQueued(&packet));
            EXPECT_EQ(Bytes(datagram.begin(), datagram.begin() + c.queued), packet.bytes);
        }
        ASSERT_TRUE(TakeQueued(&packet));
        EXPECT_EQ(sentinel, packet.bytes);
        uint32_t taken = c.size < 2048 ? c.size : 2048;
        EXPECT_TRUE(log.Has("Msg Len is <" + std::to_string(taken) + ">")) << log.Text();
    }
}

// Every send path closes its socket, also when the send fails; a failure
// sends nothing anywhere (a broadcast address without permission fails in
// the send itself, inside these namespaces).
TEST_F(GroupPathTest, SendPathsCloseTheirSocketsAndFailSafely)
{
    Bytes query = SearchQuery(9);
    const char* msg = (const char*)query.data();
    const uint32_t len = (uint32_t)query.size();
    int before = OpenFdCount();
    LightLogSetLevel(LLOG_LEVEL_ERROR);  // keep the log small
    int sent = 0;
    for (int i = 0; i < 10000; ++i)
        sent += Group()->SendBroadCastUdpMsg(msg, len) == 0;
    EXPECT_EQ(10000, sent);
    LogSince log;
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(-1, Group()->SendRespondUdpMsg(msg, len, 0xFFFFFFFFu));
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr, "255.255.255.255");
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(-1, Group()->SendBroadCastUdpMsg(msg, len));
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr, "230.1.0");
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(-2, Group()->SendBroadCastUdpMsg(msg, len));
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr, kGroupIp);
    LightLogSetLevel(LLOG_LEVEL_DEBUG);
    EXPECT_EQ(before, OpenFdCount());
    EXPECT_TRUE(log.Has("######Send Msg length is <-1> Error.")) << log.Text();
    EXPECT_TRUE(log.Has("######sendto Len nRet is <-1>.")) << log.Text();
    EXPECT_TRUE(log.Has("######QuorVelmar_MulUdpRecvIp<230.1.0> is not a correct fomat")) << log.Text();
    EXPECT_EQ(0u, QueueLength());
}

// Where the group cannot be joined (no route yet), the membership failure is
// logged, the socket is closed and the receive loop does not start.
TEST_F(GroupPathTest, MembershipFailureIsLoggedAndTheLoopDoesNotStart)
{
    CQuorVelmarUdpMulSocketTask* other = Keep(new CQuorVelmarUdpMulSocketTask);
    int before = OpenFdCount();
    LogSince log;
    int result = InNetns(g_ns.bare, [other] {
        sockaddr_in addr{};
        ip_mreq mreq{};
        return other->CreateBroadCastSocket(&addr, &mreq);
    });
    EXPECT_EQ(-4, result);
    EXPECT_TRUE(log.Has("######setsockopt():IP_ADD_MEMBERSHIP")) << log.Text();
    InNetns(g_ns.bare, [other] {
        other->ReadMulUdpData();
        return 0;
    });
    EXPECT_TRUE(log.Has("invalid socket...")) << log.Text();
    EXPECT_FALSE(other->IsReceiving());
    EXPECT_EQ(before, OpenFdCount());
}

// Stopping ends the loop within a few waits, closes its socket and so leaves
// the group. (Last: the loop does not start again.)
TEST_F(GroupPathTest, StopEndsTheLoopAndLeavesTheGroup)
{
    int before = OpenFdCount();
    Group()->StopReceiving();
    ASSERT_TRUE(WaitUntil([] { return !Group()->IsReceiving(); }, 2000));
    EXPECT_EQ(std::string::npos, Eth0Groups().find(GroupWord(kGroupIp)));
    EXPECT_EQ(before - 1, OpenFdCount());
    Group()->Signal(TASK_EVT_START);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(Group()->IsReceiving());
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    MakeNamespaces();
    TestLog::Open("udp");
    CQuorVelmarPref::ResetToDefaults();
    CQuorVelmarPref::s_u32Quor_Velmar_UdpInterAddr = htonl(HostAddr(kModuleIp));
    CQuorVelmarPref::s_u16Quor_Velmar_UdpInterPort = kModulePort;

    QuorEventContext<1>::InitializeEventThread();
    QuorTaskThreadPool<1>::AddThreads(2, 0);
    QuorEventContext<1>::StartEventThread();
    QuorTaskThreadPool<8>::AddThreads(1, 0);
    g_pVelmarManageTask = Keep(new CQuorVelmarManageTask);
    if (CQuorVelmarCommLayer::Initialize() != 0) {
        fprintf(stderr, "the communication layer does not start\n");
        return 1;
    }
    g_VelmarUdpMulCast = Keep(new CQuorVelmarUdpMulSocketTask);
    if (g_VelmarUdpMulCast->Initialize() != 0) {
        fprintf(stderr, "the group task does not start\n");
        return 1;
    }
    int result = RUN_ALL_TESTS();
    g_VelmarUdpMulCast->StopReceiving();
    WaitUntil([] { return !g_VelmarUdpMulCast->IsReceiving(); }, 2000);
    TestLog::Close();
    return result;
}
