// Inter-module messaging: the message header, the UDP receive path with its
// length checks, the bind retry and the dispatcher. Pool 1, as in the daemons.
#include <gtest/gtest.h>

#include <memory>

#include "EventTestSupport.h"
#include "QuorInterComInterface.h"

namespace {

const int kPool = 1;

class TestMsg : public QuorInterMsgInterface {
public:
    int ParseMsg(const char*) override { return 1; }
};

struct Delivery {
    uint32_t commandId;
    uint32_t length;
    uint32_t addr;
    uint16_t port;
    std::string bytes;
    int pass;
};

// Records every message handed to ProcessMsg and the read pass it came in.
class RecordingUdpTask : public QuorInterComUDPSocket<kPool> {
public:
    RecordingUdpTask(QuorInterMsgInterface* msg, uint32_t addr, uint16_t port)
        : QuorInterComUDPSocket<kPool>(msg, nullptr, addr, port) {}

    int ProcessReadEvent() override
    {
        fPass++;
        return QuorInterComUDPSocket<kPool>::ProcessReadEvent();
    }
    int ProcessMsg(uint32_t addr, uint16_t port) override
    {
        T_PDU_MSG* pdu = GetMsg()->GetPduMsg();
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fDeliveries.push_back(
                {pdu->u32CommandID, GetRecvLen(), addr, port, std::string(pdu->pMsgBuf, GetRecvLen()), fPass.load()});
        }
        Gate* gate = fGate.exchange(nullptr);
        if (gate != nullptr)
            gate->Wait();
        return 1;
    }
    std::vector<Delivery> Deliveries()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fDeliveries;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fDeliveries.size();
    }

    std::atomic<Gate*> fGate{nullptr};

private:
    std::atomic<int> fPass{0};
    std::mutex fMutex;
    std::vector<Delivery> fDeliveries;
};

// Header words big-endian, then filler bytes up to total.
std::string Message(uint32_t lengthWord, uint32_t commandId, size_t total)
{
    std::string msg(total, '\0');
    const uint32_t words[6] = {lengthWord, commandId, 0, 1, 0, 0};
    for (size_t i = 0; i < 6 && 4 * i + 4 <= total; i++)
        QuorPutBE32(reinterpret_cast<unsigned char*>(&msg[4 * i]), words[i]);
    for (size_t i = 24; i < total; i++)
        msg[i] = (char)('a' + i % 26);
    return msg;
}

class InterComTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartEventPool<kPool>(2); }
    void SetUp() override
    {
        fSender = BoundUdp(&fSenderPort);
        ASSERT_GE(fSender, 0);
    }
    void TearDown() override { close(fSender); }

    RecordingUdpTask* NewTask(uint16_t port = 0)
    {
        auto* msg = Keep(new TestMsg);
        auto* task = Keep(new RecordingUdpTask(msg, kLoopback, port));
        task->StartReceiving();
        return task;
    }
    void Send(RecordingUdpTask* task, const std::string& bytes)
    {
        ASSERT_TRUE(SendUdp(fSender, task->GetSocket()->GetLocalPort(), bytes.data(), bytes.size()));
    }

    // The deliveries once the one of lastId has come: datagrams of one
    // sender are read in order, so whatever came before was handled by then.
    static std::vector<Delivery> DeliveredThrough(RecordingUdpTask* task, uint32_t lastId)
    {
        EXPECT_TRUE(WaitUntil([&] {
            std::vector<Delivery> got = task->Deliveries();
            return !got.empty() && got.back().commandId == lastId;
        })) << "0x" << std::hex << lastId << " never came";
        return task->Deliveries();
    }

    int fSender = -1;
    uint16_t fSenderPort = 0;
};

}  // namespace

TEST(QuorInterMsgInterface, HeaderIsBigEndianAndRoundTrips)
{
    TestMsg msg;
    T_PDU_MSG* pdu = msg.GetPduMsg();
    pdu->u32Length = 30;
    pdu->u32CommandID = 0x1601;
    pdu->u32HeadWord2 = 0x01020304;
    pdu->u32HeadWord3 = 1;
    pdu->u32HeadWord4 = 0xA0B0C0D0;
    pdu->u32HeadWord5 = 0xFFFFFFFE;
    ASSERT_EQ(1, msg.PackMsgHeader());
    const unsigned char expected[24] = {0x00, 0x00, 0x00, 0x1E, 0x00, 0x00, 0x16, 0x01, 0x01, 0x02, 0x03, 0x04,
                                        0x00, 0x00, 0x00, 0x01, 0xA0, 0xB0, 0xC0, 0xD0, 0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(0, memcmp(expected, msg.GetMsgBuf(), sizeof(expected)));

    memset(pdu, 0, offsetof(T_PDU_MSG, pMsgBuf));
    ASSERT_EQ(1, msg.ParseMsgHeader());
    EXPECT_EQ(30u, pdu->u32Length);
    EXPECT_EQ(0x1601u, pdu->u32CommandID);
    EXPECT_EQ(0x01020304u, pdu->u32HeadWord2);
    EXPECT_EQ(1u, pdu->u32HeadWord3);
    EXPECT_EQ(0xA0B0C0D0u, pdu->u32HeadWord4);
    EXPECT_EQ(0xFFFFFFFEu, pdu->u32HeadWord5);
}

TEST(QuorInterMsgInterface, InitializeCopiesUpToTheBufferSize)
{
    TestMsg msg;
    std::vector<char> data(QUOR_INTER_MSG_BUF_LEN + 1, 'z');
    data[QUOR_INTER_MSG_BUF_LEN - 1] = 'L';
    EXPECT_EQ(1, msg.Initialize(data.data(), QUOR_INTER_MSG_BUF_LEN));
    EXPECT_EQ('z', msg.GetMsgBuf()[0]);
    EXPECT_EQ('L', msg.GetMsgBuf()[QUOR_INTER_MSG_BUF_LEN - 1]);

    TestMsg fresh;
    data[0] = 'q';
    EXPECT_EQ(0, fresh.Initialize(data.data(), QUOR_INTER_MSG_BUF_LEN + 1));
    EXPECT_EQ('\0', fresh.GetMsgBuf()[0]) << "nothing copied";
    EXPECT_EQ(0, fresh.Initialize(nullptr, 4));
    EXPECT_EQ(1, fresh.Initialize(data.data(), 0));
}

TEST_F(InterComTest, ReadEventsAreAskedForOnlyOnceTheObjectIsComplete)
{
    // A datagram waiting before the subclass is built must not be read.
    auto* msg = Keep(new TestMsg);
    auto* task = Keep(new RecordingUdpTask(msg, kLoopback, 0));
    ASSERT_TRUE(task->GetSocket()->IsBound());
    EXPECT_FALSE(task->GetSocket()->IsWatching());
    Send(task, Message(24, 0x2801, 24));
    task->StartReceiving();
    EXPECT_TRUE(task->GetSocket()->IsWatching());
    EXPECT_TRUE(WaitUntil([&] { return task->Count() == 1; }));
}

TEST_F(InterComTest, LengthWordMustEqualTheBytesReceived)
{
    RecordingUdpTask* task = NewTask();
    ASSERT_TRUE(task->GetSocket()->IsBound());
    Send(task, Message(24, 0x1601, 24));  // header only: delivered
    Send(task, Message(25, 0x1602, 24));  // claims more than it has
    Send(task, Message(24, 0x1603, 30));  // claims less
    Send(task, Message(30, 0x1604, 30));
    auto got = DeliveredThrough(task, 0x1604);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x1601u, got[0].commandId);
    EXPECT_EQ(24u, got[0].length);
    EXPECT_EQ(kLoopback, got[0].addr);
    EXPECT_EQ(fSenderPort, got[0].port);
    EXPECT_EQ(Message(24, 0x1601, 24), got[0].bytes);
    EXPECT_EQ(0x1604u, got[1].commandId);
    EXPECT_EQ(Message(30, 0x1604, 30), got[1].bytes);
}

TEST_F(InterComTest, DatagramShorterThanTheHeaderIsDropped)
{
    RecordingUdpTask* task = NewTask();
    Send(task, Message(24, 0x1601, 24));
    ASSERT_TRUE(WaitUntil([&] { return task->Count() == 1; }));
    // 23 bytes whose length word says 23: bytes 4 to 23 would be left over
    // from the datagram before.
    Send(task, Message(23, 0x1605, 23));
    Send(task, std::string());  // empty datagram
    Send(task, Message(24, 0x1606, 24));
    auto got = DeliveredThrough(task, 0x1606);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x1606u, got[1].commandId);
}

TEST_F(InterComTest, DatagramsWaitingTogetherComeInOneReadInOrder)
{
    RecordingUdpTask* task = NewTask();
    Gate gate;
    task->fGate = &gate;
    Send(task, Message(24, 0x100, 24));
    ASSERT_TRUE(gate.WaitForWaiter());
    // While the first is being handled three more arrive.
    Send(task, Message(24, 0x101, 24));
    Send(task, Message(28, 0x102, 28));
    Send(task, Message(24, 0x103, 24));
    OSThread::Sleep(100);
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return task->Count() == 4; }));
    auto got = task->Deliveries();
    for (uint32_t i = 0; i < 4; i++) {
        EXPECT_EQ(0x100 + i, got[i].commandId);
        EXPECT_EQ(got[0].pass, got[i].pass) << "all in the read event of the first";
    }
    // The task asks for read events again afterwards.
    Send(task, Message(24, 0x104, 24));
    ASSERT_TRUE(WaitUntil([&] { return task->Count() == 5; }));
}

TEST_F(InterComTest, BindIsRetriedEveryTwoSecondsUntilThePortIsFree)
{
    uint16_t port = 0;
    int blocker = BoundUdp(&port);  // no address reuse: the bind must fail
    ASSERT_GE(blocker, 0);
    LogCapture& log = LogCapture::Get();
    RecordingUdpTask* task = NewTask(port);
    EXPECT_FALSE(task->GetSocket()->IsBound());
    ASSERT_NE(nullptr, task->GetBindRetryTimer());
    EXPECT_EQ(1u, task->GetBindAttempts());
    EXPECT_TRUE(log.Has("######QuorInterComUDPSocket bind IP<127.0.0.1> port<" + std::to_string(port) + ">"));

    OSThread::Sleep(2500);
    EXPECT_FALSE(task->GetSocket()->IsBound());
    EXPECT_GE(task->GetBindAttempts(), 2u) << "retried after 2 s";

    close(blocker);
    int64_t freed = OS::Milliseconds();
    // The retry binds, then disarms its timer: wait for both.
    ASSERT_TRUE(WaitUntil([&] { return task->GetSocket()->IsBound() && task->GetBindRetryTimer()->GetFireTime() == 0; },
                          4000));
    EXPECT_LE(OS::Milliseconds() - freed, 3000);
    EXPECT_EQ(port, task->GetSocket()->GetLocalPort());
    EXPECT_EQ(0, task->GetBindRetryTimer()->GetFireTime());
    EXPECT_EQ(0, task->GetBindRetryTimer()->GetIntervalMs());

    int sender = BoundUdp(nullptr);
    std::string msg = Message(24, 0x2801, 24);
    ASSERT_TRUE(SendUdp(sender, port, msg.data(), msg.size()));
    close(sender);
    ASSERT_TRUE(WaitUntil([&] { return task->Count() == 1; }));

    uint32_t attempts = task->GetBindAttempts();
    OSThread::Sleep(2500);
    EXPECT_EQ(attempts, task->GetBindAttempts()) << "no rebind once bound";
}

TEST_F(InterComTest, KillBitEndsTheTaskAndClosesItsSocket)
{
    uint16_t port = 0;
    int blocker = BoundUdp(&port);
    auto* msg = Keep(new TestMsg);
    auto* bound = new RecordingUdpTask(msg, kLoopback, 0);
    auto* retrying = new RecordingUdpTask(msg, kLoopback, port);  // has a retry timer
    bound->StartReceiving();
    retrying->StartReceiving();
    int boundFd = bound->GetSocket()->GetSocketFD();
    int retryFd = retrying->GetSocket()->GetSocketFD();
    bound->Signal(QUOR_EVT_KILL);
    retrying->Signal(QUOR_EVT_KILL);
    EXPECT_TRUE(WaitUntil([&] { return !IsOpenFd(boundFd) && !IsOpenFd(retryFd); }, 2000));
    OSThread::Sleep(2500);  // the retry timer went with its task
    close(blocker);
}

TEST_F(InterComTest, NullMessageObjectLeavesTheTaskInert)
{
    unsigned long asserts = MyAssertCount();
    auto* task = Keep(new QuorInterComUDPSocket<kPool>(nullptr, nullptr, kLoopback, 0));
    EXPECT_GT(MyAssertCount(), asserts);
    EXPECT_EQ(-1, task->GetSocket()->GetSocketFD());
    task->Signal(TASK_EVT_READ | TASK_EVT_TIMEOUT);
    OSThread::Sleep(100);
}

TEST_F(InterComTest, DefaultProcessMsgWithoutDispatcherFailsACheck)
{
    auto* msg = Keep(new TestMsg);
    auto* task = Keep(new QuorInterComUDPSocket<kPool>(msg, nullptr, kLoopback, 0));
    unsigned long asserts = MyAssertCount();
    EXPECT_EQ(0, task->ProcessMsg(kLoopback, 1));
    EXPECT_EQ(asserts + 1, MyAssertCount());
}

namespace {

// Keeps the command identifiers it accepts and handles them on its own run.
class TestDispatcher : public QuorInterDispInterface {
public:
    bool AcceptNetMsg(QuorInterMsgInterface* msg, uint32_t addr, uint16_t port) override
    {
        if (!fAccept.load())
            return false;
        std::lock_guard<std::mutex> lock(fMutex);
        fNet.push_back({msg->GetPduMsg()->u32CommandID, addr, port});
        return true;
    }
    bool AcceptLocalMsg(QuorInterMsgInterface* msg) override
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fLocal.push_back(msg->GetPduMsg()->u32CommandID);
        return true;
    }
    void ProcessNetMsgEvent() override { fNetEvents++; }
    void ProcessLocalMsgEvent() override { fLocalEvents++; }

    struct Net {
        uint32_t commandId;
        uint32_t addr;
        uint16_t port;
    };
    std::atomic<bool> fAccept{true};
    std::atomic<int> fNetEvents{0};
    std::atomic<int> fLocalEvents{0};
    std::mutex fMutex;
    std::vector<Net> fNet;
    std::vector<uint32_t> fLocal;
};

}  // namespace

TEST_F(InterComTest, DefaultProcessMsgPassesToTheDispatcher)
{
    auto* disp = Keep(new TestDispatcher);
    auto* msg = Keep(new TestMsg);
    auto* task = Keep(new QuorInterComUDPSocket<kPool>(msg, disp, kLoopback, 0));
    task->StartReceiving();
    std::string bytes = Message(24, 0x1603, 24);
    ASSERT_TRUE(SendUdp(fSender, task->GetSocket()->GetLocalPort(), bytes.data(), bytes.size()));
    ASSERT_TRUE(WaitUntil([&] { return disp->fNetEvents.load() == 1; }));
    std::lock_guard<std::mutex> lock(disp->fMutex);
    ASSERT_EQ(1u, disp->fNet.size());
    EXPECT_EQ(0x1603u, disp->fNet[0].commandId);
    EXPECT_EQ(kLoopback, disp->fNet[0].addr);
    EXPECT_EQ(fSenderPort, disp->fNet[0].port);
}

TEST_F(InterComTest, DispatcherSortsLocalAndNetMessages)
{
    auto* disp = Keep(new TestDispatcher);
    TestMsg msg;
    std::string bytes = Message(24, 0x42, 24);
    msg.Initialize(bytes.data(), (uint32_t)bytes.size());
    EXPECT_EQ(1, disp->ReceiveMsg(&msg, 1, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return disp->fLocalEvents.load() == 1; }));
    EXPECT_EQ(0, disp->fNetEvents.load());
    {
        std::lock_guard<std::mutex> lock(disp->fMutex);
        ASSERT_EQ(1u, disp->fLocal.size());
        EXPECT_EQ(0x42u, disp->fLocal[0]) << "the header is parsed before the offer";
    }
    disp->fAccept = false;
    EXPECT_EQ(0, disp->ReceiveMsg(&msg, 0, kLoopback, 5));
    OSThread::Sleep(100);
    EXPECT_EQ(0, disp->fNetEvents.load());
    unsigned long asserts = MyAssertCount();
    EXPECT_EQ(0, disp->ReceiveMsg(nullptr, 0, 0, 0));
    EXPECT_EQ(asserts + 1, MyAssertCount());
}
