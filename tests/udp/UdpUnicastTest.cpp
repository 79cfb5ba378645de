// The unicast group-message path on loopback: the communication layer's
// socket task bound to 127.0.0.1, test peers at 127.0.0.2 and 127.0.0.3 (each
// with its unicast socket on the module's port, as a peer module has), the
// management task's UDP queue, and the send paths that target loopback only
// (answers to a peer, the local upgrade agent). Nothing here sends to a group.
#include "UdpTestSupport.h"

#include "QuorVelmarMsgParser.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarUdpMulSocketTask.h"
#include "QuorVelmarUdpSocketTask.h"

using namespace udp_test;

namespace {

const char kModuleIp[] = "127.0.0.1";
const char kPeer1Ip[] = "127.0.0.2";
const char kPeer2Ip[] = "127.0.0.3";
const int kQuietMs = 200;  // how long "nothing arrives" is watched

// A peer module: its unicast socket on the module port, and a socket on a
// port of the system's choosing from which it sends its requests.
struct Peer {
    const char* ip = nullptr;
    int unicast = -1;
    int sender = -1;
    uint16_t senderPort = 0;

    void Open(const char* address, uint16_t modulePort)
    {
        ip = address;
        unicast = BoundSocket(ip, modulePort);
        sender = BoundSocket(ip, 0, &senderPort);
    }
    void Close()
    {
        close(unicast);
        close(sender);
    }
    bool Ok() const { return unicast >= 0 && sender >= 0; }
};

class UdpUnicastTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        TestLog::Open("udp");
        sModulePort = FreePort();
        sAgent = BoundSocket(kModuleIp, 0, &sAgentPort);
        CQuorVelmarPref::ResetToDefaults();
        CQuorVelmarPref::s_u32Quor_Velmar_UdpInterAddr = htonl(HostAddr(kModuleIp));
        CQuorVelmarPref::s_u16Quor_Velmar_UdpInterPort = sModulePort;
        CQuorVelmarPref::s_u32Quor_VelmarNdk_UdpInterPort = sAgentPort;

        QuorEventContext<1>::InitializeEventThread();
        QuorTaskThreadPool<1>::AddThreads(2, 0);
        QuorEventContext<1>::StartEventThread();
        g_pVelmarManageTask = Keep(new CQuorVelmarManageTask);
        sGroupTask = Keep(new CQuorVelmarUdpMulSocketTask);  // never started: sends only
    }
    static void TearDownTestSuite()
    {
        close(sAgent);
        TestLog::Close();
    }
    void SetUp() override
    {
        ASSERT_EQ(0, CQuorVelmarCommLayer::Initialize());
        ASSERT_TRUE(WaitUntil([] { return ModuleSocket()->IsBound() && ModuleSocket()->IsWatching(); }));
        fPeer1.Open(kPeer1Ip, sModulePort);
        fPeer2.Open(kPeer2Ip, sModulePort);
        ASSERT_TRUE(fPeer1.Ok() && fPeer2.Ok());
        fPools = PoolsInUse();
    }
    void TearDown() override
    {
        DrainQueue();
        EXPECT_EQ(fPools, PoolsInUse());
        fPeer1.Close();
        fPeer2.Close();
    }

    static QuorUDPSocket<1>* ModuleSocket() { return CQuorVelmarCommLayer::s_pVelmarUdpSocketTask->GetSocket(); }

    // The peer sends bytes to the module from its sending socket.
    static void Ask(const Peer& peer, const Bytes& bytes)
    {
        ASSERT_TRUE(SendBytes(peer.sender, kModuleIp, sModulePort, bytes));
    }

    static uint16_t sModulePort;
    static int sAgent;
    static uint16_t sAgentPort;
    static CQuorVelmarUdpMulSocketTask* sGroupTask;

    Peer fPeer1, fPeer2;
    std::vector<uint32_t> fPools;
};

uint16_t UdpUnicastTest::sModulePort = 0;
int UdpUnicastTest::sAgent = -1;
uint16_t UdpUnicastTest::sAgentPort = 0;
CQuorVelmarUdpMulSocketTask* UdpUnicastTest::sGroupTask = nullptr;

} // namespace

TEST_F(UdpUnicastTest, InitializeCreatesParserAndSocketTaskOnce)
{
    CQuorVelmarMsgParser* parser = CQuorVelmarCommLayer::s_pVelmarMsgParser;
    CQuorVelmarUdpSocketTask* task = CQuorVelmarCommLayer::s_pVelmarUdpSocketTask;
    ASSERT_NE(nullptr, parser);
    ASSERT_NE(nullptr, task);
    EXPECT_EQ(parser, task->GetMsg());
    EXPECT_EQ(1, parser->ParseMsg("anything"));
    EXPECT_EQ(HostAddr(kModuleIp), ModuleSocket()->GetLocalAddr());
    EXPECT_EQ(sModulePort, ModuleSocket()->GetLocalPort());
    EXPECT_TRUE(fcntl(ModuleSocket()->GetSocketFD(), F_GETFD) & FD_CLOEXEC);

    LogSince log;
    EXPECT_EQ(0, CQuorVelmarCommLayer::Initialize());
    EXPECT_EQ(parser, CQuorVelmarCommLayer::s_pVelmarMsgParser);
    EXPECT_EQ(task, CQuorVelmarCommLayer::s_pVelmarUdpSocketTask);
    char expected[80];
    snprintf(expected, sizeof(expected), "Velmar Module listen on IPaddr<%d>,Port<%u>",
             (int)htonl(HostAddr(kModuleIp)), (unsigned)sModulePort);
    EXPECT_TRUE(log.Has(expected)) << log.Text();
}

// A peer's search query reaches the management task's queue with the peer's
// address; the answer, sent to that address, arrives at the peer's unicast
// port (the module's port), not at the port the query came from.
TEST_F(UdpUnicastTest, SearchQueryIsAnsweredAtTheAskersUnicastPort)
{
    Bytes query = SearchQuery(0x11111111);
    Ask(fPeer1, query);
    ASSERT_TRUE(WaitForQueued(1));
    Queued packet;
    ASSERT_TRUE(TakeQueued(&packet));
    EXPECT_EQ(query, packet.bytes);
    EXPECT_EQ(HostAddr(kPeer1Ip), packet.addr);
    EXPECT_EQ(fPeer1.senderPort, packet.port);

    Bytes answer = SearchAnswerTo(packet.bytes, "peer1");
    ASSERT_EQ(31u + 6u + 5u, answer.size());
    LogSince log;
    ASSERT_EQ(0, sGroupTask->SendRespondUdpMsg((const char*)answer.data(), (uint32_t)answer.size(), packet.addr));
    Bytes got;
    ASSERT_TRUE(RecvBytes(fPeer1.unicast, &got, 2000));
    EXPECT_EQ(answer, got);
    EXPECT_FALSE(RecvBytes(fPeer1.sender, &got, kQuietMs));
    EXPECT_FALSE(RecvBytes(fPeer2.unicast, &got, 0));
    std::string sent = "and MsgLen is <42> to IP<127.0.0.2>, Port<" + std::to_string(sModulePort) + ">.";
    EXPECT_TRUE(log.Has(sent)) << log.Text();
    EXPECT_TRUE(log.Has("===Memory<len=\"126\"> is <00 00 00 2A 00 00 26 01 11 11 11 11 00 00 00 01 ")) << log.Text();
}

// Two peers ask one after the other: each answer goes to the peer whose
// request it answers, not to the one heard last. The class-wide "last
// sender" is the later peer's sending socket.
TEST_F(UdpUnicastTest, AnswerGoesToTheAskerNotTheLastSender)
{
    Bytes query1 = SearchQuery(1), query2 = SearchQuery(2);
    Ask(fPeer1, query1);
    ASSERT_TRUE(WaitForQueued(1));
    Ask(fPeer2, query2);
    ASSERT_TRUE(WaitForQueued(2));
    Queued first, second;
    ASSERT_TRUE(TakeQueued(&first));
    ASSERT_TRUE(TakeQueued(&second));
    EXPECT_EQ(query1, first.bytes);
    EXPECT_EQ(query2, second.bytes);

    char text[16];
    EXPECT_EQ(HostAddr(kPeer2Ip), CQuorVelmarUdpSocketTask::GetUdpRemoteAddr(text));
    EXPECT_STREQ(kPeer2Ip, text);
    EXPECT_EQ(fPeer2.senderPort, CQuorVelmarUdpSocketTask::GetUdpRemotePort());

    Bytes answer1 = SearchAnswerTo(first.bytes, "for peer 1");
    ASSERT_EQ(0, sGroupTask->SendRespondUdpMsg((const char*)answer1.data(), (uint32_t)answer1.size(), first.addr));
    Bytes got;
    ASSERT_TRUE(RecvBytes(fPeer1.unicast, &got, 2000));
    EXPECT_EQ(answer1, got);
    EXPECT_FALSE(RecvBytes(fPeer2.unicast, &got, kQuietMs));

    Bytes answer2 = SearchAnswerTo(second.bytes, "for peer 2");
    ASSERT_EQ(0, sGroupTask->SendRespondUdpMsg((const char*)answer2.data(), (uint32_t)answer2.size(), second.addr));
    ASSERT_TRUE(RecvBytes(fPeer2.unicast, &got, 2000));
    EXPECT_EQ(answer2, got);
    EXPECT_FALSE(RecvBytes(fPeer1.unicast, &got, kQuietMs));
}

// The unicast socket's own send path: to a given peer, or to the last sender
// (its sending port, as heard), from the module's address and port.
TEST_F(UdpUnicastTest, SendUdpBufToRemoteUsesTheModuleSocket)
{
    Ask(fPeer1, SearchQuery(1));
    ASSERT_TRUE(WaitForQueued(1));
    Ask(fPeer2, SearchQuery(2));
    ASSERT_TRUE(WaitForQueued(2));
    Queued first;
    ASSERT_TRUE(TakeQueued(&first));

    Bytes reply = Framed(40, 40, QUOR_MSG_DEVICE_SEARCH_QUERY_RSP);
    LogSince log;
    ASSERT_EQ(0, CQuorVelmarCommLayer::SendUdpBufToRemote((uint32_t)reply.size(), (const char*)reply.data(),
                                                          first.addr, first.port));
    Bytes got;
    sockaddr_in from{};
    ASSERT_TRUE(RecvBytes(fPeer1.sender, &got, 2000, &from));
    EXPECT_EQ(reply, got);
    EXPECT_EQ(HostAddr(kModuleIp), ntohl(from.sin_addr.s_addr));
    EXPECT_EQ(sModulePort, ntohs(from.sin_port));
    char line[160];
    snprintf(line, sizeof(line), "SendUdpBufToRemote() RemoteAddr is <%d><127.0.0.2>,RemotePort is <%d> OK!",
             (int)htonl(HostAddr(kPeer1Ip)), (int)fPeer1.senderPort);
    EXPECT_TRUE(log.Has(line)) << log.Text();

    ASSERT_EQ(0, CQuorVelmarCommLayer::SendUdpBufToRemote((uint32_t)reply.size(), (const char*)reply.data()));
    ASSERT_TRUE(RecvBytes(fPeer2.sender, &got, 2000));
    EXPECT_EQ(reply, got);
    EXPECT_FALSE(RecvBytes(fPeer1.sender, &got, kQuietMs));

    EXPECT_EQ(-2, CQuorVelmarCommLayer::SendUdpBufToRemote(10, nullptr, first.addr, first.port));
    EXPECT_EQ(-2, CQuorVelmarCommLayer::SendUdpBufToRemote(0, (const char*)reply.data(), first.addr, first.port));
    std::vector<char> big(QUOR_INTER_MSG_BUF_LEN + 1, 'x');
    EXPECT_EQ(-2, CQuorVelmarCommLayer::SendUdpBufToRemote((uint32_t)big.size(), big.data(), first.addr, first.port));
    EXPECT_EQ(-4, CQuorVelmarCommLayer::SendUdpBufToRemote((uint32_t)reply.size(), (const char*)reply.data(),
                                                           first.addr, 0));
    EXPECT_FALSE(RecvBytes(fPeer1.sender, &got, kQuietMs));
}

// Every length from 0 to 3073 bytes, with length words that do not match the
// datagram (and 3073 bytes that match but exceed what the queue takes), is
// dropped without a trace in the queue or the pools; the socket keeps
// serving. A well-formed sentinel after every few datagrams proves that the
// ones before it were read (datagrams of one sender arrive in order; few at a
// time, so that none is lost to a full receive buffer).
TEST_F(UdpUnicastTest, MalformedDatagramsOfEveryLengthAreDropped)
{
    int fdBefore = ModuleSocket()->GetSocketFD();
    const Bytes sentinel = SearchQuery(0x5E5E5E5E);
    uint32_t sentinels = 0;
    auto sentinelArrives = [&] {
        Ask(fPeer1, sentinel);
        Queued packet;
        bool ok = WaitForQueued(1) && TakeQueued(&packet) && packet.bytes == sentinel && QueueLength() == 0;
        sentinels++;
        return ok;
    };
    uint32_t unsynced = 0;
    for (uint32_t size = 0; size <= 3073; ++size) {
        for (uint32_t word : {size + 1, size - 1, 0u, 0xFFFFFFFFu, size}) {
            if (word == size && size != 3073)
                continue;  // well formed
            Ask(fPeer1, Framed(size, word));
            if (++unsynced == 8) {
                ASSERT_TRUE(sentinelArrives()) << "after " << size << " bytes, sentinel " << sentinels;
                unsynced = 0;
            }
        }
    }
    ASSERT_TRUE(sentinelArrives());
    EXPECT_EQ(fdBefore, ModuleSocket()->GetSocketFD());
    EXPECT_TRUE(ModuleSocket()->IsWatching());
}

// The path to the local upgrade agent: 127.0.0.1 at "VelmarNdk_UdpPort",
// with a dump of the bytes in the log.
TEST_F(UdpUnicastTest, UpgradeRequestReachesTheLocalAgent)
{
    Drain(sAgent);
    Bytes request = Framed(60, 60, QUOR_MSG_VERSION_UPGRADE_REQ);
    LogSince log;
    ASSERT_EQ(0, sGroupTask->SendNDKUdpMsg((const char*)request.data(), (uint32_t)request.size()));
    Bytes got;
    ASSERT_TRUE(RecvBytes(sAgent, &got, 2000));
    EXPECT_EQ(request, got);
    EXPECT_TRUE(log.Has("SendNDKUdpMsg Msg <> and MsgLen is <60>.")) << log.Text();
    EXPECT_TRUE(log.Has("===Memory<len=\"180\"> is <00 00 00 3C 00 00 18 01 ")) << log.Text();
}

// Missing messages are refused before any socket is made; every send path
// closes its socket on success and on failure alike (a datagram larger than
// UDP allows fails in the send itself).
TEST_F(UdpUnicastTest, SendPathsRefuseMissingMessagesAndCloseTheirSockets)
{
    const char msg[] = "abc";
    LogSince log;
    EXPECT_EQ(-2, sGroupTask->SendBroadCastUdpMsg(msg, 0));
    EXPECT_EQ(-2, sGroupTask->SendBroadCastUdpMsg(nullptr, 30));
    EXPECT_TRUE(log.Has("######In SendBroadCastUdpMsg i_Msg is <>, i_u32MsgLen is <0> Error.")) << log.Text();
    EXPECT_TRUE(log.Has("######In SendBroadCastUdpMsg i_Msg is <(null)>, i_u32MsgLen is <30> Error."))
        << log.Text();
    EXPECT_EQ(-2, sGroupTask->SendRespondUdpMsg(nullptr, 30, HostAddr(kPeer1Ip)));
    EXPECT_EQ(-2, sGroupTask->SendRespondUdpMsg(msg, 0, HostAddr(kPeer1Ip)));
    EXPECT_EQ(-2, sGroupTask->SendRespondUdpMsg(msg, sizeof(msg), 0));
    EXPECT_EQ(-2, sGroupTask->SendNDKUdpMsg(nullptr, 30));
    EXPECT_EQ(-2, sGroupTask->SendNDKUdpMsg(msg, 0));

    std::vector<char> tooBig(70000, 'x');
    Bytes answer = SearchAnswerTo(SearchQuery(7), "x");
    int before = OpenFdCount();
    LightLogSetLevel(LLOG_LEVEL_ERROR);  // keep the log small
    int results[4] = {0, 0, 0, 0};
    for (int i = 0; i < 10000; ++i) {
        results[0] += sGroupTask->SendRespondUdpMsg((const char*)answer.data(), (uint32_t)answer.size(),
                                                    HostAddr(kPeer1Ip)) == 0;
        results[1] += sGroupTask->SendNDKUdpMsg((const char*)answer.data(), (uint32_t)answer.size()) == 0;
        if (i % 10 == 0) {
            results[2] += sGroupTask->SendRespondUdpMsg(tooBig.data(), (uint32_t)tooBig.size(),
                                                        HostAddr(kPeer1Ip)) == -1;
            results[3] += sGroupTask->SendNDKUdpMsg(tooBig.data(), (uint32_t)tooBig.size()) == -1;
        }
        if (i % 100 == 0) {
            Drain(fPeer1.unicast);
            Drain(sAgent);
        }
    }
    LightLogSetLevel(LLOG_LEVEL_DEBUG);
    EXPECT_EQ(before, OpenFdCount());
    EXPECT_EQ(10000, results[0]);
    EXPECT_EQ(10000, results[1]);
    EXPECT_EQ(1000, results[2]);
    EXPECT_EQ(1000, results[3]);
    EXPECT_TRUE(log.Has("######Send Msg length is <-1> Error.")) << log.Text();
    Drain(fPeer1.unicast);
    Drain(sAgent);
}

// While its bind is still being retried, the socket task sends nothing: a
// send would bind it to a port of the system's choosing and the module would
// never get its own port. Once the port is free it binds there.
TEST_F(UdpUnicastTest, UnboundSocketDoesNotSendAndStillGetsItsPort)
{
    uint16_t port = 0;
    int holder = BoundSocket(kModuleIp, 0, &port);  // without address reuse
    ASSERT_GE(holder, 0);
    auto* parser = Keep(new CQuorVelmarMsgParser);
    auto* task = Keep(new CQuorVelmarUdpSocketTask(parser, HostAddr(kModuleIp), port));
    task->StartReceiving();
    ASSERT_FALSE(task->GetSocket()->IsBound());
    const char msg[] = "0123456789";
    EXPECT_EQ(ENOTCONN, task->SendToPeer(HostAddr(kPeer1Ip), fPeer1.senderPort, msg, sizeof(msg)));
    Bytes got;
    EXPECT_FALSE(RecvBytes(fPeer1.sender, &got, kQuietMs));
    close(holder);
    ASSERT_TRUE(WaitUntil([task] { return task->GetSocket()->IsBound(); }, 6000));
    EXPECT_EQ(port, task->GetSocket()->GetLocalPort());
    EXPECT_EQ(0, task->SendToPeer(HostAddr(kPeer1Ip), fPeer1.senderPort, msg, sizeof(msg)));
    ASSERT_TRUE(RecvBytes(fPeer1.sender, &got, 2000));
    EXPECT_EQ(Bytes(msg, msg + sizeof(msg)), got);
}
