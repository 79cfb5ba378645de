// The communication layer's entries and the management task's inbound queues:
// length checks of received datagrams, the sender's address with each packet,
// order of lines and messages, and pooled elements going back to their pools.
// Pool 2 has no threads in this binary, so the task is never run by the
// runtime: the tests drain its queues themselves.
#include "ProtocolTestUtil.h"

#include <thread>

#include "QuorVelmarManageTask.h"
#include "StringLineFixture.h"

namespace {

Bytes Message(uint32_t length, uint32_t word2 = 0, uint32_t word3 = 1)
{
    WireBuilder w;
    w.Header(0x1601, word2, word3).U16(1).U32(0);
    Bytes b = w.Done();
    b.resize(length, 0xAB);
    // Word 0: the length.
    for (int i = 0; i < 4; ++i)
        b[i] = (uint8_t)(length >> (24 - 8 * i));
    return b;
}

uint32_t Word(const char* bytes, int index)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes) + 4 * index;
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

T_QuorStringMsg Line(uint8_t scope, int32_t session, const std::string& text)
{
    return StringLine(scope, session, text);
}

// Sends bytes of exactly their size, as a receive path would.
int Receive(const Bytes& bytes, uint32_t received, uint32_t addr = 0x0A000007, uint16_t port = 40000)
{
    std::unique_ptr<char[]> exact(new char[bytes.size()]);
    memcpy(exact.get(), bytes.data(), bytes.size());
    return CQuorVelmarCommLayer::Msg_UdpRecved(exact.get(), received, addr, port);
}

class CommLayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fBefore = PoolsInUse();
        fTask = new CQuorVelmarManageTask;
        g_pVelmarManageTask = fTask;
    }
    void TearDown() override
    {
        g_pVelmarManageTask = nullptr;
        delete fTask;
        EXPECT_EQ(fBefore, PoolsInUse());
    }
    void DrainUdp()
    {
        while (T_QuorUdpPacket* p = fTask->TakeUdpPacket())
            CQuorVelmarManageTask::FreeUdpPacket(p);
    }

    CQuorVelmarManageTask* fTask = nullptr;
    std::vector<uint32_t> fBefore;
};

TEST(CommLayerNoTask, EntriesWithoutManagementTask)
{
    LogCapture log;
    ASSERT_EQ(nullptr, g_pVelmarManageTask);
    EXPECT_EQ(-3, Receive(Message(30), 30));
    EXPECT_TRUE(log.Has("###### Find WiredNetworkModule haven't been initialized while do "
                        "ProcessPack!g_pVelmarManageTask is NULL."));
    EXPECT_EQ(-3, CQuorVelmarCommLayer::Msg_StringRecved(Line(10, 0, "VER 1.0")));
    EXPECT_TRUE(log.Has("###### Find CQuorVelmarMain haven't been initialized while do "
                        "ProcessStringPack!g_pVelmarManageTask is NULL."));
}

TEST_F(CommLayerTest, DatagramLengthRules)
{
    struct Case {
        uint32_t size;        // bytes of the datagram
        uint32_t lengthWord;  // its word 0
        uint32_t received;    // count reported by the receive path
        int result;
        uint32_t queued;      // bytes queued when accepted
    } cases[] = {
        {24, 24, 24, 0, 24},       // exactly the header
        {24, 25, 24, -2, 0},       // claims one byte more
        {30, 30, 23, -2, 0},       // fewer bytes received than the header
        {30, 23, 30, -2, 0},       // length word below the header
        {100, 3000, 100, -2, 0},   // claims more than received
        {40, 30, 40, 0, 30},       // shorter message in a longer datagram: its own length
        {3072, 3072, 3072, 0, 3072},
        {3073, 3073, 3073, -2, 0}, // above what the queue takes
        {30, 30, 0, -2, 0},
    };
    for (const Case& c : cases) {
        Bytes b = Message(c.size);
        for (int i = 0; i < 4; ++i)
            b[i] = (uint8_t)(c.lengthWord >> (24 - 8 * i));
        EXPECT_EQ(c.result, Receive(b, c.received)) << c.size << "/" << c.lengthWord << "/" << c.received;
        T_QuorUdpPacket* p = fTask->TakeUdpPacket();
        if (c.result != 0) {
            EXPECT_EQ(nullptr, p);
            CQuorVelmarManageTask::FreeUdpPacket(p);
            continue;
        }
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(c.queued, p->u32MsgLen);
        EXPECT_EQ(0, memcmp(p->pAllMsg, b.data(), c.queued));
        CQuorVelmarManageTask::FreeUdpPacket(p);
    }
    EXPECT_EQ(-2, CQuorVelmarCommLayer::Msg_UdpRecved(nullptr, 30, 1, 2));
    EXPECT_EQ(0u, fTask->GetUdpQueueLength());
}

TEST_F(CommLayerTest, BadWrappers)
{
    EXPECT_EQ(-2, CQuorVelmarCommLayer::ProcessUdpPack(nullptr));
    T_MODULE_MSG m = {0, 30, nullptr, 0, 0, 0, 0};
    EXPECT_EQ(-2, CQuorVelmarCommLayer::ProcessUdpPack(&m));
    Bytes b = Message(30);
    m.pMsg = reinterpret_cast<const char*>(b.data());
    m.u32MsgLen = 0;
    EXPECT_EQ(-2, CQuorVelmarCommLayer::ProcessUdpPack(&m));
    EXPECT_EQ(-2, fTask->AddUdpPacketCopyQueue(nullptr));
    EXPECT_EQ(0u, fTask->GetUdpQueueLength());
}

TEST_F(CommLayerTest, EachPacketCarriesItsOwnSender)
{
    fTask->GetEvents();
    ASSERT_EQ(0, Receive(Message(30, 1), 30, 0x0A000007, 40000));
    ASSERT_EQ(0, Receive(Message(30, 2), 30, 0x0A000008, 3334));
    EXPECT_EQ((uint32_t)TASK_EVT_READ, fTask->GetEvents());

    T_QuorUdpPacket* first = fTask->TakeUdpPacket();
    T_QuorUdpPacket* second = fTask->TakeUdpPacket();
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(1u, Word(first->pAllMsg, 2));
    EXPECT_EQ(0x0A000007u, first->u32RemoteAddr);
    EXPECT_EQ(40000u, first->u16RemotePort);
    EXPECT_EQ(2u, Word(second->pAllMsg, 2));
    EXPECT_EQ(0x0A000008u, second->u32RemoteAddr);
    EXPECT_EQ(3334u, second->u16RemotePort);
    CQuorVelmarManageTask::FreeUdpPacket(first);
    CQuorVelmarManageTask::FreeUdpPacket(second);
}

TEST_F(CommLayerTest, StringLinesKeepTheirFieldsAndStayTerminated)
{
    fTask->GetEvents();
    ASSERT_EQ(0, CQuorVelmarCommLayer::Msg_StringRecved(Line(11, 77, "SET UARTBAUDRATE 9600\r\n")));
    EXPECT_EQ((uint32_t)TASK_EVT_READ, fTask->GetEvents());

    T_QuorStringMsg full;
    memset(&full, 'A', sizeof(full));
    full.u8Scope = 10;
    full.s32SessionId = 0;
    full.u16Length = 3000;
    ASSERT_EQ(0, CQuorVelmarCommLayer::Msg_StringRecved(full));
    EXPECT_EQ(2u, fTask->GetStringListLength());

    T_QuorStringMsg m;
    ASSERT_TRUE(fTask->TakeStringMsg(&m));
    EXPECT_EQ(11u, m.u8Scope);
    EXPECT_EQ(77, m.s32SessionId);
    EXPECT_EQ(23u, m.u16Length);
    EXPECT_STREQ("SET UARTBAUDRATE 9600\r\n", m.cMsg);
    ASSERT_TRUE(fTask->TakeStringMsg(&m));
    EXPECT_EQ(2047u, m.u16Length);
    EXPECT_EQ(2047u, strlen(m.cMsg));
    EXPECT_FALSE(fTask->TakeStringMsg(&m));
}

TEST_F(CommLayerTest, ConcurrentProducersKeepTheirOrder)
{
    const int kThreads = 4, kUdp = 10, kLines = 50;
    std::vector<std::thread> producers;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([t, &failures] {
            for (int i = 0; i < kLines; ++i) {
                char text[32];
                snprintf(text, sizeof(text), "%d %d\r\n", t, i);
                if (CQuorVelmarCommLayer::Msg_StringRecved(Line(11, t + 1, text)) != 0)
                    ++failures;
                if (i < kUdp && Receive(Message(100, (uint32_t)t, (uint32_t)i), 100, (uint32_t)t, 1) != 0)
                    ++failures;
            }
        });
    }
    for (auto& p : producers)
        p.join();
    EXPECT_EQ(0, failures.load());

    std::vector<int> nextUdp(kThreads, 0), nextLine(kThreads, 0);
    while (T_QuorUdpPacket* p = fTask->TakeUdpPacket()) {
        uint32_t t = Word(p->pAllMsg, 2);
        ASSERT_LT(t, (uint32_t)kThreads);
        EXPECT_EQ((uint32_t)nextUdp[t]++, Word(p->pAllMsg, 3));
        EXPECT_EQ(t, p->u32RemoteAddr);
        CQuorVelmarManageTask::FreeUdpPacket(p);
    }
    T_QuorStringMsg m;
    while (fTask->TakeStringMsg(&m)) {
        int t = -1, i = -1;
        ASSERT_EQ(2, sscanf(m.cMsg, "%d %d", &t, &i));
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(t + 1, m.s32SessionId);
        EXPECT_EQ(nextLine[t]++, i);
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(kUdp, nextUdp[t]);
        EXPECT_EQ(kLines, nextLine[t]);
    }
}

TEST_F(CommLayerTest, ExhaustedPoolsDropMessagesAndEverythingComesBack)
{
    LogCapture log;
    int queued = 0, result = 0;
    for (int i = 0; i < 500 && (result = Receive(Message(100, 0, (uint32_t)i), 100)) == 0; ++i)
        ++queued;
    EXPECT_EQ(-1, result);
    EXPECT_GE(queued, 50);
    EXPECT_TRUE(log.Has("###### Fail to GetNew pMsg memory! When AddUdpPacketCopyQueue()."));
    // The oldest messages are kept, in order.
    for (int i = 0; i < queued; ++i) {
        T_QuorUdpPacket* p = fTask->TakeUdpPacket();
        ASSERT_NE(nullptr, p);
        EXPECT_EQ((uint32_t)i, Word(p->pAllMsg, 3));
        CQuorVelmarManageTask::FreeUdpPacket(p);
    }
    EXPECT_EQ(nullptr, fTask->TakeUdpPacket());
    // Everything is back (checked in TearDown), so new messages are taken again.
    EXPECT_EQ(0, Receive(Message(100), 100));
    DrainUdp();
}

TEST_F(CommLayerTest, DrainTranslatesAndReportsInvalidPackets)
{
    LogCapture log;
    ASSERT_EQ(0, Receive(Message(30), 30));
    Bytes receivers = Message(30);
    receivers[25] = 2;  // searching receivers: not answered
    ASSERT_EQ(0, Receive(receivers, 30));
    Bytes unknown = Message(30);
    unknown[6] = 0x77;
    ASSERT_EQ(0, Receive(unknown, 30));
    fTask->ProcessPrivateUdpMsg();
    EXPECT_EQ(0u, fTask->GetUdpQueueLength());
    std::string text = log.Text();
    EXPECT_NE(std::string::npos, text.find("@@@@@@ Receive One Packet.Length: <30>; CommandID: <0x1601>."));
    EXPECT_NE(std::string::npos, text.find("###### Receive One InValid Packet.Length:<30>; CommandID:<0x1601>."));
    EXPECT_NE(std::string::npos, text.find("###### Receive One InValid Packet.Length:<30>; CommandID:<0x7701>."));
}

TEST_F(CommLayerTest, DrainDispatchesLinesByScope)
{
    LogCapture log;
    ASSERT_EQ(0, CQuorVelmarCommLayer::Msg_StringRecved(Line(10, 0, "VER 2.1")));
    ASSERT_EQ(0, CQuorVelmarCommLayer::Msg_StringRecved(Line(11, 5, "GET VER\r\n")));
    ASSERT_EQ(0, CQuorVelmarCommLayer::Msg_StringRecved(Line(12, 0, "%s%s%n")));
    fTask->ProcessStringMsg();
    EXPECT_EQ(0u, fTask->GetStringListLength());
    std::string text = log.Text();
    size_t a = text.find("Do Uart Msg Command, Msg is <VER 2.1>.");
    size_t b = text.find("Do Tcp Msg Command, Msg is <GET VER\\x0D\\x0A>, TaskSession is <5>.");
    size_t c = text.find("######DoStringMsgCommand i_tMsg scop is <12> Error.");
    ASSERT_NE(std::string::npos, a);
    ASSERT_NE(std::string::npos, b);
    ASSERT_NE(std::string::npos, c);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
}

TEST_F(CommLayerTest, RunDrainsOnReadEventOnly)
{
    ASSERT_EQ(0, Receive(Message(30), 30));
    ASSERT_EQ(0, CQuorVelmarCommLayer::Msg_StringRecved(Line(10, 0, "x")));
    fTask->GetEvents();
    EXPECT_EQ(0, fTask->Run());
    EXPECT_EQ(1u, fTask->GetUdpQueueLength());
    fTask->Signal(TASK_EVT_READ);
    EXPECT_EQ(0, fTask->Run());
    EXPECT_EQ(0u, fTask->GetUdpQueueLength());
    EXPECT_EQ(0u, fTask->GetStringListLength());
}

TEST(CommLayerTask, DestroyingTheTaskGivesQueuedPacketsBack)
{
    std::vector<uint32_t> before = PoolsInUse();
    CQuorVelmarManageTask* task = new CQuorVelmarManageTask;
    g_pVelmarManageTask = task;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(0, Receive(Message(200), 200));
        ASSERT_EQ(0, CQuorVelmarCommLayer::Msg_StringRecved(Line(10, 0, "line")));
    }
    g_pVelmarManageTask = nullptr;
    delete task;
    EXPECT_EQ(before, PoolsInUse());
}

}  // namespace
