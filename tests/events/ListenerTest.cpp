// The TCP listener on loopback: per-address limits and counts, and that it
// always goes back to accepting (after refusals, errors and shortages).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

#include "EventTestSupport.h"
#include "QuorTCPListenerSocket.h"

namespace {

const int kPool = 7;
class TestServer;

// One connection: reads until the peer closes, then gives its address back.
class TestSession : public QuorTask<kPool> {
public:
    explicit TestSession(TestServer* server) : fServer(server), fSocket(this, QUOR_SOCKET_NONBLOCKING) {}
    int64_t Run() override;
    bool IsClosed() const { return fClosed.load(); }
    QuorTCPSocket<kPool>* Socket() { return &fSocket; }

private:
    TestServer* fServer;
    QuorTCPSocket<kPool> fSocket;
    std::atomic<bool> fClosed{false};
};

class TestServer : public QuorTCPListenerSocket<kPool> {
public:
    QuorTask<kPool>* GetSessionTask(QuorTCPSocket<kPool>** socket) override
    {
        fSessionCalls++;
        if (fRefuseSessions.load() > 0) {
            fRefuseSessions--;
            return nullptr;
        }
        auto* session = Keep(new TestSession(this));
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fSessions.push_back(session);
            fSessionTimes.push_back(OS::Milliseconds());
        }
        *socket = session->Socket();
        return session;
    }
    T_QuorIPInfoList* GetTCPIPInfoNodeMemory() override
    {
        if (fNodeShortage.load() > 0) {
            fNodeShortage--;
            return nullptr;
        }
        fLiveNodes++;
        return new T_QuorIPInfoList();
    }
    void FreeTCPIPInfoNodeMemory(T_QuorIPInfoList* node) override
    {
        fLiveNodes--;
        delete node;
    }
    void LightLogFormemory(int) override { fNoMemory++; }
    void LightLogForAddClientIP(QuorClientAddKind kind, const char* ip, uint32_t count) override
    {
        Note("add" + std::to_string((int)kind) + " " + ip + " " + std::to_string(count));
    }
    void LightLogForDeleteClientIP(const char* ip, uint32_t count) override
    {
        Note(std::string("delete ") + ip + " " + std::to_string(count));
    }
    void LightLogForReduceClientIPNum(const char* ip, uint32_t count) override
    {
        Note(std::string("reduce ") + ip + " " + std::to_string(count));
    }
    void LightLogForClientNumOutOfRange(const char* ip, uint32_t limit, int) override
    {
        Note(std::string("refuse ") + ip + " " + std::to_string(limit));
    }
    void LightLogForFindIPFromList(const char* ip) override { Note(std::string("missing ") + ip); }

    // A connection closed: lower its address count.
    void SessionClosed(const char* ip)
    {
        T_QuorIPInfoList* node = DeleteOrReduceNodeNumFromList(ip);
        if (node != nullptr)
            FreeTCPIPInfoNodeMemory(node);
    }
    size_t Sessions()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fSessions.size();
    }
    int64_t SessionTime(size_t index)
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fSessionTimes.at(index);
    }
    TestSession* Session(size_t index)
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fSessions.at(index);
    }
    std::vector<std::string> Notes()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fNotes;
    }
    bool HasNote(const std::string& note)
    {
        auto notes = Notes();
        return std::find(notes.begin(), notes.end(), note) != notes.end();
    }

    std::atomic<int> fRefuseSessions{0};
    std::atomic<int> fNodeShortage{0};
    std::atomic<int> fSessionCalls{0};
    std::atomic<int> fLiveNodes{0};
    std::atomic<int> fNoMemory{0};

private:
    void Note(const std::string& note)
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fNotes.push_back(note);
    }
    std::mutex fMutex;
    std::vector<TestSession*> fSessions;
    std::vector<int64_t> fSessionTimes;
    std::vector<std::string> fNotes;
};

int64_t TestSession::Run()
{
    uint32_t events = GetEvents();
    if (!(events & TASK_EVT_READ) || fClosed.load())
        return 0;
    char buf[256];
    uint32_t got = 0;
    int err;
    while ((err = fSocket.Read(buf, sizeof(buf), &got)) == 0) {
    }
    if (err == EAGAIN) {
        fSocket.RequestEvent(QUOR_EV_READ);
        return 0;
    }
    char ip[16];
    QuorAddrToText(fSocket.GetRemoteAddr(), ip, sizeof(ip));
    fServer->SessionClosed(ip);
    fSocket.Cleanup();
    fClosed = true;
    return 0;
}

class ListenerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // As at start-up: the event thread is created, the pool's threads
        // (with its idle-timer thread) added, then the event thread started.
        QuorEventContext<kPool>::InitializeEventThread();
        QuorTaskThreadPool<kPool>::AddThreads(4, 0);
        QuorEventContext<kPool>::StartEventThread();
    }

    TestServer* Listen(uint32_t limit)
    {
        auto* server = Keep(new TestServer);
        server->SetClientLinkMaxNum(limit);
        EXPECT_EQ(0, server->Initialize(kLoopback, 0));
        EXPECT_EQ(0, server->RequestEvent(QUOR_EV_READ));
        return server;
    }
    int Connect(TestServer* server, const char* from = "127.0.0.1")
    {
        int fd = ConnectFrom(from, server->GetLocalPort());
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            fClients.push_back(fd);
        return fd;
    }
    // The server refuses the first connection (closed at once); meanwhile
    // runs; the next connection is taken: the time from the refusal to that
    // session, which the listener's pause holds back (-1: no session).
    int64_t PauseAfterRefusal(TestServer* server, const std::function<void()>& meanwhile)
    {
        int first = Connect(server);
        EXPECT_TRUE(ClosedByPeer(first, 2000));
        int64_t refused = OS::Milliseconds();
        meanwhile();
        Connect(server);
        if (!WaitUntil([&] { return server->Sessions() == 1; }, 5000))
            return -1;
        return server->SessionTime(0) - refused;
    }
    void CloseClient(int fd)
    {
        fClients.erase(std::remove(fClients.begin(), fClients.end(), fd), fClients.end());
        close(fd);
    }
    void TearDown() override
    {
        for (int fd : fClients)
            close(fd);
    }

    std::vector<int> fClients;
};

}  // namespace

TEST_F(ListenerTest, PerAddressLimitRefusesAndCounts)
{
    TestServer* server = Listen(2);
    int a1 = Connect(server);
    int a2 = Connect(server);
    ASSERT_TRUE(WaitUntil([&] { return server->Sessions() == 2; }));
    EXPECT_EQ(2u, server->GetClientNum("127.0.0.1"));

    // A third connection from the same address is closed at once.
    int a3 = Connect(server);
    EXPECT_TRUE(ClosedByPeer(a3, 2000));
    EXPECT_TRUE(server->HasNote("refuse 127.0.0.1 2"));
    EXPECT_EQ(2u, server->Sessions());
    EXPECT_EQ(2u, server->GetClientNum("127.0.0.1"));

    // Another address is still served (the listener went back to accepting).
    Connect(server, "127.0.0.2");
    ASSERT_TRUE(WaitUntil([&] { return server->Sessions() == 3; }));
    EXPECT_EQ(1u, server->GetClientNum("127.0.0.2"));

    // Once one of the first two ends, the address may connect again.
    CloseClient(a1);
    ASSERT_TRUE(WaitUntil([&] { return server->GetClientNum("127.0.0.1") == 1; }));
    int a4 = Connect(server);
    ASSERT_TRUE(WaitUntil([&] { return server->Sessions() == 4; }));
    EXPECT_FALSE(ClosedByPeer(a4, 200));
    EXPECT_EQ(2u, server->GetClientNum("127.0.0.1"));

    // Counts go down as connections end; the node goes at zero.
    CloseClient(a2);
    CloseClient(a4);
    ASSERT_TRUE(WaitUntil([&] { return server->GetClientNum("127.0.0.1") == 0; }));
    EXPECT_TRUE(server->HasNote("reduce 127.0.0.1 1"));
    EXPECT_TRUE(server->HasNote("delete 127.0.0.1 0"));
    // The node is unlinked under the list lock and freed just after it.
    EXPECT_TRUE(WaitUntil([&] { return server->fLiveNodes.load() == 1; })) << "only 127.0.0.2 is listed";
    auto notes = server->Notes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ("add0 127.0.0.1 1", notes[0]);
    EXPECT_EQ("add2 127.0.0.1 2", notes[1]);
    EXPECT_TRUE(server->HasNote("add1 127.0.0.2 2"));
}

TEST_F(ListenerTest, LimitZeroAllowsOneConnectionPerAddress)
{
    TestServer* server = Listen(0);
    Connect(server);
    ASSERT_TRUE(WaitUntil([&] { return server->Sessions() == 1; }));
    int second = Connect(server);
    EXPECT_TRUE(ClosedByPeer(second, 2000));
    Connect(server, "127.0.0.3");
    EXPECT_TRUE(WaitUntil([&] { return server->Sessions() == 2; }));
}

TEST_F(ListenerTest, ManyRefusalsNeverStopTheListener)
{
    TestServer* server = Listen(1);
    Connect(server);
    ASSERT_TRUE(WaitUntil([&] { return server->Sessions() == 1; }));
    for (int i = 0; i < 15; i++) {
        int refused = Connect(server);
        EXPECT_TRUE(ClosedByPeer(refused, 2000));
        CloseClient(refused);
    }
    Connect(server, "127.0.0.4");
    EXPECT_TRUE(WaitUntil([&] { return server->Sessions() == 2; }));
    EXPECT_EQ(1u, server->GetClientNum("127.0.0.1"));
}

TEST_F(ListenerTest, NodeShortagePausesThenAcceptsAgain)
{
    TestServer* server = Listen(10);
    server->fNodeShortage = 1;
    int64_t pause = PauseAfterRefusal(server, [&] { EXPECT_EQ(1, server->fNoMemory.load()); });
    ASSERT_NE(-1, pause);
    EXPECT_GE(pause, 800) << "the listener pauses about 1000 ms";
    Connect(server);
    EXPECT_TRUE(WaitUntil([&] { return server->Sessions() == 2; }));
}

TEST_F(ListenerTest, RefusedSessionRestoresTheCountAndPauses)
{
    TestServer* server = Listen(10);
    server->fRefuseSessions = 1;
    int64_t pause = PauseAfterRefusal(server, [&] {
        EXPECT_TRUE(WaitUntil([&] { return server->GetClientNum("127.0.0.1") == 0; }, 1000));
        EXPECT_TRUE(WaitUntil([&] { return server->fLiveNodes.load() == 0; }, 1000)) << "the node went back";
    });
    ASSERT_NE(-1, pause);
    EXPECT_GE(pause, 800);
    EXPECT_EQ(1u, server->GetClientNum("127.0.0.1"));
}

TEST_F(ListenerTest, PauseFlagDelaysTheNextConnection)
{
    TestServer* server = Listen(10);
    server->SetAcceptPause();
    Connect(server);
    ASSERT_TRUE(WaitUntil([&] { return server->Sessions() == 1; }));
    Connect(server);
    ASSERT_TRUE(WaitUntil([&] { return server->Sessions() == 2; }, 5000));
    EXPECT_GE(server->SessionTime(1) - server->SessionTime(0), 800);
}

TEST_F(ListenerTest, AcceptErrorCreatesNoSessionAndIsRetried)
{
    // A bound socket that does not listen yet: accept fails (EINVAL).
    auto* server = Keep(new TestServer);
    server->SetClientLinkMaxNum(10);
    ASSERT_EQ(0, server->Open());
    ASSERT_EQ(0, server->Bind(kLoopback, 0));
    server->Signal(TASK_EVT_START);
    OSThread::Sleep(1500);
    EXPECT_EQ(0, server->fSessionCalls.load()) << "no session for a failed accept";
    ASSERT_EQ(0, listen(server->GetSocketFD(), 16));
    Connect(server);
    EXPECT_TRUE(WaitUntil([&] { return server->Sessions() == 1; }, 5000));
    Connect(server);
    EXPECT_TRUE(WaitUntil([&] { return server->Sessions() == 2; }, 5000));
}

TEST_F(ListenerTest, AcceptedDescriptorBeyondTheSetsIsClosed)
{
    if (!RaiseFdLimit(QUOR_MAX_SELECT_FD + 256))
        GTEST_SKIP() << "the descriptor limit cannot be raised above " << QUOR_MAX_SELECT_FD;
    TestServer* server = Listen(10);
    OSThread::Sleep(100);  // deferred closes of earlier tests are done
    // Fill every descriptor below the limit of the select sets.
    std::vector<int> fillers;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        if (fd >= QUOR_MAX_SELECT_FD) {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    int client = Connect(server);
    bool closed = ClosedByPeer(client, 2000);
    for (int fd : fillers)
        close(fd);
    EXPECT_TRUE(closed);
    EXPECT_EQ(0u, server->Sessions());
    EXPECT_EQ(0u, server->GetClientNum("127.0.0.1"));
    Connect(server);
    EXPECT_TRUE(WaitUntil([&] { return server->Sessions() == 1; }));
}

TEST_F(ListenerTest, KillBitDeletesTheListener)
{
    auto* server = new TestServer;
    ASSERT_EQ(0, server->Initialize(kLoopback, 0));
    ASSERT_EQ(0, server->RequestEvent(QUOR_EV_READ));
    int fd = server->GetSocketFD();
    server->Signal(QUOR_EVT_KILL);
    EXPECT_TRUE(WaitUntil([&] { return !IsOpenFd(fd); }, 2000));
}

TEST(ListenerClientList, ConcurrentAddAndDeleteKeepTheListConsistent)
{
    // Accepts (event thread) and session ends (task threads) edit the list
    // at the same time.
    TestServer server;
    server.SetClientLinkMaxNum(1000);
    auto worker = [&server](int id) {
        for (int i = 0; i < 2000; i++) {
            std::string text = "10.0." + std::to_string(id) + "." + std::to_string(i % 7);
            const char* ip = text.c_str();
            T_QuorIPInfoList* node = server.GetTCPIPInfoNodeMemory();
            if (server.AddNodeOrNodeNumToList(ip, node, -1) != QUOR_CLIENT_ADDED)
                server.FreeTCPIPInfoNodeMemory(node);
            server.SessionClosed(ip);
        }
    };
    std::thread t1(worker, 1), t2(worker, 2), t3(worker, 1);
    t1.join();
    t2.join();
    t3.join();
    EXPECT_EQ(0, server.fLiveNodes.load());
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(0u, server.GetClientNum(("10.0.1." + std::to_string(i)).c_str()));
}
