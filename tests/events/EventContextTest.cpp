// The select-driven event thread and its contexts, over real loopback sockets.
// Every test of this file uses pool 21 (one event thread, two task threads);
// the serial context uses pool 3.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "EventTestSupport.h"
#include "QuorUDPSocket.h"
#include "QuorUart.h"

namespace {

const int kPool = 21;
using UdpSocket = QuorUDPSocket<kPool>;
using Recorder = EventRecorder<kPool>;

// A socket whose ProcessEvent holds the event thread at a gate.
class GatedSocket : public UdpSocket {
public:
    using UdpSocket::UdpSocket;
    void ProcessEvent(int kind) override
    {
        Gate* gate = fGate.load();
        if (gate != nullptr)
            gate->Wait();
        UdpSocket::ProcessEvent(kind);
    }
    std::atomic<Gate*> fGate{nullptr};
};

class EventContextTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartEventPool<kPool>(2); }

    void SetUp() override
    {
        fTask = Keep(new Recorder);
        fSender = BoundUdp(nullptr);
        ASSERT_GE(fSender, 0);
    }
    void TearDown() override { close(fSender); }

    // A bound, non-blocking UDP socket of the pool owned by task.
    std::unique_ptr<UdpSocket> NewSocket(QuorTask<kPool>* task)
    {
        auto sock = std::make_unique<UdpSocket>(task, QUOR_SOCKET_NONBLOCKING);
        EXPECT_EQ(0, sock->Open());
        EXPECT_EQ(0, sock->Bind(kLoopback, 0));
        return sock;
    }
    // A socket of fTask whose read event holds the event thread until gate
    // opens; returns once the thread waits there.
    std::unique_ptr<GatedSocket> HoldEventThread(Gate* gate)
    {
        auto holder = std::make_unique<GatedSocket>(fTask, QUOR_SOCKET_NONBLOCKING);
        EXPECT_EQ(0, holder->Open());
        EXPECT_EQ(0, holder->Bind(kLoopback, 0));
        holder->fGate = gate;
        MakeReadable(holder.get());
        EXPECT_EQ(0, holder->RequestEvent(QUOR_EV_READ));
        EXPECT_TRUE(gate->WaitForWaiter());
        return holder;
    }
    void MakeReadable(UdpSocket* sock)
    {
        ASSERT_TRUE(SendUdp(fSender, sock->GetLocalPort(), "x", 1));
        pollfd p{sock->GetSocketFD(), POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, 2000));
    }

    Recorder* fTask = nullptr;
    int fSender = -1;
};

}  // namespace

TEST_F(EventContextTest, ReadInterestIsOneShot)
{
    auto sock = NewSocket(fTask);
    MakeReadable(sock.get());
    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_READ));
    ASSERT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 1; }, 2000));
    // The datagram stays unread, yet without a new request nothing follows.
    OSThread::Sleep(1000);
    EXPECT_EQ(1, fTask->ReadEvents());

    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_READ));
    ASSERT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 2; }, 2000));
    OSThread::Sleep(300);
    EXPECT_EQ(2, fTask->ReadEvents());
}

TEST_F(EventContextTest, RequestWhileSelectSleepsTakesEffectAtOnce)
{
    auto sock = NewSocket(fTask);
    MakeReadable(sock.get());
    OSThread::Sleep(300);  // the event thread now waits in its 15 s select
    int64_t asked = OS::Milliseconds();
    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_READ));
    ASSERT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 1; }, 5000));
    EXPECT_LT(OS::Milliseconds() - asked, 10000) << "woken by the request, not by the 15 s select timeout";
}

TEST_F(EventContextTest, InterestChangedWhileSelectSleepsTakesEffectAtOnce)
{
    auto sock = NewSocket(fTask);
    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_READ));  // nothing to read
    OSThread::Sleep(300);
    EXPECT_EQ(0, fTask->ReadEvents());
    // A datagram socket is always writable: write interest fires at once and
    // is reported to the task as a read event.
    int64_t asked = OS::Milliseconds();
    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_WRITE));
    ASSERT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 1; }, 5000));
    EXPECT_LT(OS::Milliseconds() - asked, 10000) << "not the 15 s select timeout";
    OSThread::Sleep(300);
    EXPECT_EQ(1, fTask->ReadEvents()) << "write interest is one-shot too";
}

TEST_F(EventContextTest, HighestDescriptorIsReported)
{
    // The last descriptor the sets can hold is also the highest one watched:
    // select must be given that descriptor plus one.
    auto sock = NewSocket(fTask);
    int high = fcntl(sock->GetSocketFD(), F_DUPFD_CLOEXEC, QUOR_MAX_SELECT_FD - 1);
    if (high != QUOR_MAX_SELECT_FD - 1)
        GTEST_SKIP() << "descriptor " << QUOR_MAX_SELECT_FD - 1 << " is not available";
    close(sock->GetSocketFD());
    ASSERT_EQ(0, sock->InitNonBlocking(high));
    MakeReadable(sock.get());
    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_READ));
    EXPECT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 1; }, 2000));
}

TEST_F(EventContextTest, DescriptorBeyondTheSetsIsRefusedAndLogged)
{
    if (!RaiseFdLimit(QUOR_MAX_SELECT_FD + 64))
        GTEST_SKIP() << "the descriptor limit cannot be raised above " << QUOR_MAX_SELECT_FD;
    LogCapture& log = LogCapture::Get();
    auto sock = NewSocket(fTask);
    int high = fcntl(sock->GetSocketFD(), F_DUPFD_CLOEXEC, QUOR_MAX_SELECT_FD);
    ASSERT_GE(high, QUOR_MAX_SELECT_FD);
    close(sock->GetSocketFD());
    ASSERT_EQ(0, sock->InitNonBlocking(high));
    MakeReadable(sock.get());
    EXPECT_EQ(EMFILE, sock->RequestEvent(QUOR_EV_READ));
    EXPECT_FALSE(sock->IsWatching());
    EXPECT_TRUE(log.Has("is outside the select sets"));

    QuorEventReq req;
    req.er_handle = QUOR_MAX_SELECT_FD;
    req.er_data = 77;
    EXPECT_EQ(EMFILE, QuorSelect<kPool>::select_modwatch(&req, QUOR_EV_READ));
    req.er_handle = -1;
    EXPECT_EQ(EBADF, QuorSelect<kPool>::select_modwatch(&req, QUOR_EV_READ));

    // The thread still serves the others.
    auto other = NewSocket(fTask);
    MakeReadable(other.get());
    ASSERT_EQ(0, other->RequestEvent(QUOR_EV_READ));
    EXPECT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 1; }, 2000));
    sock->Cleanup();  // never watched: closed at once
    EXPECT_FALSE(IsOpenFd(high));
}

TEST_F(EventContextTest, ZeroCookieIsRefused)
{
    auto sock = NewSocket(fTask);
    unsigned long asserts = MyAssertCount();
    QuorEventReq req;
    req.er_handle = sock->GetSocketFD();
    req.er_data = 0;
    EXPECT_EQ(EINVAL, QuorSelect<kPool>::select_modwatch(&req, QUOR_EV_READ));
    EXPECT_EQ(asserts + 1, MyAssertCount());
}

TEST_F(EventContextTest, CleanupOfWatchedSocketClosesThroughEventThread)
{
    auto sock = NewSocket(fTask);
    uint16_t port = sock->GetLocalPort();
    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_READ));
    int fd = sock->GetSocketFD();
    sock->Cleanup();
    EXPECT_EQ(-1, sock->GetSocketFD());
    EXPECT_FALSE(sock->IsWatching());
    EXPECT_TRUE(WaitUntil([&] { return !IsOpenFd(fd); }, 1000)) << "closed by the event thread at its next wake";
    SendUdp(fSender, port, "x", 1);
    OSThread::Sleep(300);
    EXPECT_EQ(0, fTask->ReadEvents());
}

TEST_F(EventContextTest, CleanupAfterFiringStillDefersTheClose)
{
    auto sock = NewSocket(fTask);
    MakeReadable(sock.get());
    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_READ));
    ASSERT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 1; }, 2000));
    int fd = sock->GetSocketFD();
    sock->Cleanup();
    EXPECT_TRUE(WaitUntil([&] { return !IsOpenFd(fd); }, 1000));
}

TEST_F(EventContextTest, CleanupOfUnwatchedSocketClosesAtOnce)
{
    auto sock = NewSocket(fTask);
    int fd = sock->GetSocketFD();
    sock->Cleanup();
    EXPECT_FALSE(IsOpenFd(fd));
    sock->Cleanup();  // twice is harmless
}

// Two descriptors come back from one select; the first holds the event
// thread while the second is cleaned up: the second's task sees nothing.
TEST_F(EventContextTest, CleanupBetweenSelectAndDispatchDropsTheEvent)
{
    auto* task1 = Keep(new Recorder);
    auto* task2 = Keep(new Recorder);
    auto a = std::make_unique<GatedSocket>(task1, QUOR_SOCKET_NONBLOCKING);
    auto b = std::make_unique<GatedSocket>(task2, QUOR_SOCKET_NONBLOCKING);
    for (auto* s : {a.get(), b.get()}) {
        ASSERT_EQ(0, s->Open());
        ASSERT_EQ(0, s->Bind(kLoopback, 0));
    }
    // The lower descriptor is dispatched first: it holds the thread.
    GatedSocket* first = a->GetSocketFD() < b->GetSocketFD() ? a.get() : b.get();
    GatedSocket* second = first == a.get() ? b.get() : a.get();
    Recorder* secondTask = second == a.get() ? task1 : task2;

    Gate holdGate;
    auto holder = HoldEventThread(&holdGate);

    Gate firstGate;
    first->fGate = &firstGate;
    MakeReadable(first);
    MakeReadable(second);
    ASSERT_EQ(0, first->RequestEvent(QUOR_EV_READ));
    ASSERT_EQ(0, second->RequestEvent(QUOR_EV_READ));
    holdGate.Open();  // the next select returns both
    ASSERT_TRUE(firstGate.WaitForWaiter());

    int fd = second->GetSocketFD();
    second->Cleanup();
    firstGate.Open();
    EXPECT_TRUE(WaitUntil([&] { return !IsOpenFd(fd); }, 1000));
    OSThread::Sleep(200);
    EXPECT_EQ(0, secondTask->ReadEvents());
}

TEST_F(EventContextTest, WakePipeFullDoesNotBlockRequests)
{
    // Hold the event thread, then ask for interest more often than the wake
    // pipe has room for: the requests must not wait for the thread.
    Gate gate;
    auto holder = HoldEventThread(&gate);

    auto* task = Keep(new Recorder);
    auto sock = NewSocket(task);
    std::atomic<bool> done{false};
    std::thread asker([&] {
        for (int i = 0; i < 70000; i++)
            sock->RequestEvent(QUOR_EV_READ);
        done = true;
    });
    bool finished = WaitUntil([&] { return done.load(); }, 20000);
    gate.Open();
    asker.join();
    EXPECT_TRUE(finished);

    MakeReadable(sock.get());
    EXPECT_TRUE(WaitUntil([&] { return task->ReadEvents() == 1; }, 2000));
}

TEST_F(EventContextTest, DescriptorClosedBehindTheThreadIsDropped)
{
    // An owner that closes a watched descriptor itself makes select fail
    // with EBADF; the thread drops that descriptor and serves the rest.
    auto* lostTask = Keep(new Recorder);
    auto* lost = Keep(new UdpSocket(lostTask, QUOR_SOCKET_NONBLOCKING));  // its descriptor is gone
    ASSERT_EQ(0, lost->Open());
    ASSERT_EQ(0, lost->Bind(kLoopback, 0));
    auto sock = NewSocket(fTask);

    // Closed while the thread is away from select, so the next select
    // starts with a descriptor that is no longer open.
    Gate gate;
    auto holder = HoldEventThread(&gate);
    ASSERT_EQ(0, lost->RequestEvent(QUOR_EV_READ));
    unsigned long asserts = MyAssertCount();
    close(lost->GetSocketFD());
    gate.Open();

    ASSERT_TRUE(WaitUntil([&] { return MyAssertCount() > asserts; }, 2000));
    // Signals of one task that meet before it runs make one run: the
    // holder's run comes first, so that this socket's event is a run of its own.
    ASSERT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 1; }, 5000)) << "the holder's";
    MakeReadable(sock.get());
    ASSERT_EQ(0, sock->RequestEvent(QUOR_EV_READ));
    EXPECT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 2; }, 5000)) << "the holder's and this one";
    EXPECT_EQ(0, lostTask->ReadEvents());
}

TEST_F(EventContextTest, CookiesSkipValuesStillRegistered)
{
    auto* otherTask = Keep(new Recorder);
    auto longLived = NewSocket(otherTask);
    ASSERT_EQ(0, longLived->RequestEvent(QUOR_EV_READ));
    uint32_t taken = longLived->GetCookie();
    ASSERT_NE(0u, taken);

    // The counter comes round to a cookie that is still in use.
    QuorEventContext<kPool>::sUniqueID = taken - 1;
    auto fresh = NewSocket(fTask);
    ASSERT_EQ(0, fresh->RequestEvent(QUOR_EV_READ));
    EXPECT_NE(taken, fresh->GetCookie());
    EXPECT_EQ(taken + 1, fresh->GetCookie());

    // Events reach the right context.
    MakeReadable(fresh.get());
    ASSERT_TRUE(WaitUntil([&] { return fTask->ReadEvents() == 1; }, 2000));
    EXPECT_EQ(0, otherTask->ReadEvents());

    // After 9999999 the numbering starts again at 1, still skipping cookies in use.
    QuorEventContext<kPool>::sUniqueID = QuorEventContext<kPool>::kMaxCookie - 1;
    auto wrapped = NewSocket(fTask);
    ASSERT_EQ(0, wrapped->RequestEvent(QUOR_EV_READ));
    uint32_t first = wrapped->GetCookie();
    EXPECT_GE(first, 1u);
    EXPECT_LT(first, 100u);
    QuorEventContext<kPool>::sUniqueID = QuorEventContext<kPool>::kMaxCookie - 1;
    auto again = NewSocket(fTask);
    ASSERT_EQ(0, again->RequestEvent(QUOR_EV_READ));
    EXPECT_NE(first, again->GetCookie());
}

TEST(SerialEventContext, PipeDescriptorSignalsItsTask)
{
    // The serial lines have the event thread of pool 3.
    StartEventPool<3>(1);
    EXPECT_EQ(QuorUart<3>::sEventThread.load(), QuorEventContext<3>::sEventThread.load());
    auto* task = Keep(new EventRecorder<3>);
    QuorUart<3> uart(task);
    EXPECT_EQ(ENOENT, uart.Open("/nonexistent/ttyS9"));
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    ASSERT_EQ(0, uart.Set(fds[0]));
    char buf[8];
    uint32_t got = 0;
    EXPECT_EQ(EAGAIN, uart.Read(buf, sizeof(buf), &got));
    ASSERT_EQ(0, uart.RequestEvent(QUOR_EV_READ));
    ASSERT_EQ(2, write(fds[1], "ok", 2));
    ASSERT_TRUE(WaitUntil([&] { return task->ReadEvents() == 1; }, 2000));
    EXPECT_EQ(0, uart.Read(buf, sizeof(buf), &got));
    EXPECT_EQ(2u, got);
    EXPECT_EQ(0, memcmp(buf, "ok", 2));
    uart.Cleanup();
    EXPECT_TRUE(WaitUntil([&] { return !IsOpenFd(fds[0]); }, 1000));
    close(fds[1]);
}
