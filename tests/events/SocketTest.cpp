// Socket wrappers: error numbers, state bits and addresses (no event thread).
#include <gtest/gtest.h>

#include "EventTestSupport.h"
#include "QuorTCPSocket.h"
#include "QuorUDPSocket.h"

namespace {

const int kSocketPool = 22;

// A connected pair: the accepted side wrapped in a QuorTCPSocket, the
// client as a plain descriptor.
class TcpPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = LoopbackAddr(0);
        ASSERT_EQ(0, bind(listener, (sockaddr*)&addr, sizeof(addr)));
        ASSERT_EQ(0, listen(listener, 4));
        socklen_t len = sizeof(addr);
        getsockname(listener, (sockaddr*)&addr, &len);
        fClient = ConnectFrom("127.0.0.1", ntohs(addr.sin_port));
        ASSERT_GE(fClient, 0);
        sockaddr_in peer{};
        len = sizeof(peer);
        int fd = accept4(listener, (sockaddr*)&peer, &len, SOCK_CLOEXEC);
        close(listener);
        ASSERT_GE(fd, 0);
        fSocket.Set(fd, &peer);
        ASSERT_EQ(0, fSocket.InitNonBlocking(fd));
        sockaddr_in client{};
        len = sizeof(client);
        getsockname(fClient, (sockaddr*)&client, &len);
        fClientPort = ntohs(client.sin_port);
    }
    void TearDown() override
    {
        if (fClient >= 0)
            close(fClient);
    }

    QuorTCPSocket<kSocketPool> fSocket{nullptr, QUOR_SOCKET_NONBLOCKING};
    int fClient = -1;
    uint16_t fClientPort = 0;
};

}  // namespace

TEST_F(TcpPair, SetAdoptsTheConnection)
{
    EXPECT_TRUE(fSocket.IsBound());
    EXPECT_TRUE(fSocket.IsConnected());
    EXPECT_EQ(kLoopback, fSocket.GetLocalAddr());
    EXPECT_NE(0, fSocket.GetLocalPort());
    EXPECT_EQ(kLoopback, fSocket.GetRemoteAddr());
    EXPECT_EQ(fClientPort, fSocket.GetRemotePort());
    EXPECT_EQ(htons(fClientPort), fSocket.GetRemoteAddress()->sin_port);
}

TEST_F(TcpPair, ReadReportsWouldBlockDataAndPeerClose)
{
    char buf[16];
    uint32_t got = 99;
    EXPECT_EQ(11, fSocket.Read(buf, sizeof(buf), &got));
    EXPECT_EQ(0u, got);
    EXPECT_TRUE(fSocket.IsConnected()) << "would-block keeps the connection";

    ASSERT_EQ(3, send(fClient, "abc", 3, 0));
    pollfd p{fSocket.GetSocketFD(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 2000));
    EXPECT_EQ(0, fSocket.Read(buf, sizeof(buf), &got));
    EXPECT_EQ(3u, got);
    EXPECT_EQ(0, memcmp(buf, "abc", 3));

    close(fClient);
    fClient = -1;
    ASSERT_EQ(1, poll(&p, 1, 2000));
    EXPECT_EQ(107, fSocket.Read(buf, sizeof(buf), &got));
    EXPECT_EQ(0u, got);
    EXPECT_FALSE(fSocket.IsConnected());
}

TEST_F(TcpPair, SendDeliversAndReportsABrokenConnection)
{
    uint32_t sent = 0;
    EXPECT_EQ(0, fSocket.Send("hello", 5, &sent));
    EXPECT_EQ(5u, sent);
    char buf[8];
    EXPECT_EQ(5, recv(fClient, buf, sizeof(buf), 0));

    // After the peer has gone (and reset the connection) sends fail as not
    // connected, without a SIGPIPE.
    linger hard{1, 0};
    setsockopt(fClient, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(fClient);
    fClient = -1;
    int err = 0;
    for (int i = 0; i < 100 && err == 0; i++) {
        err = fSocket.Send("x", 1, &sent);
        OSThread::Sleep(5);
    }
    EXPECT_EQ(107, err);
    EXPECT_FALSE(fSocket.IsConnected());
}

TEST(QuorSocket, ClosedSocketReadsAsNotConnected)
{
    QuorTCPSocket<kSocketPool> sock(nullptr, 0);
    char buf[4];
    uint32_t got = 1;
    EXPECT_EQ(107, sock.Read(buf, sizeof(buf), &got));
    EXPECT_EQ(107, sock.Send(buf, sizeof(buf), &got));
}

TEST(QuorSocket, OpenTwiceFailsACheck)
{
    QuorUDPSocket<kSocketPool> sock(nullptr, QUOR_SOCKET_NONBLOCKING);
    ASSERT_EQ(0, sock.Open());
    int fd = sock.GetSocketFD();
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    unsigned long asserts = MyAssertCount();
    EXPECT_NE(0, sock.Open());
    EXPECT_EQ(asserts + 1, MyAssertCount());
    EXPECT_EQ(fd, sock.GetSocketFD());
}

TEST(QuorSocket, FailedBindClearsTheAddress)
{
    uint16_t port = 0;
    int taken = BoundUdp(&port);
    ASSERT_GE(taken, 0);
    QuorUDPSocket<kSocketPool> sock(nullptr, 0);
    ASSERT_EQ(0, sock.Open());
    EXPECT_EQ(EADDRINUSE, sock.Bind(kLoopback, port));
    EXPECT_FALSE(sock.IsBound());
    EXPECT_EQ(0u, sock.GetLocalAddr());
    EXPECT_EQ(0, sock.GetLocalPort());
    close(taken);
    EXPECT_EQ(0, sock.Bind(kLoopback, port));
    EXPECT_TRUE(sock.IsBound());
    EXPECT_EQ(kLoopback, sock.GetLocalAddr());
    EXPECT_EQ(port, sock.GetLocalPort());
}

TEST(QuorSocket, UdpAddressesAreInHostOrder)
{
    QuorUDPSocket<kSocketPool> a(nullptr, QUOR_SOCKET_NONBLOCKING);
    QuorUDPSocket<kSocketPool> b(nullptr, QUOR_SOCKET_NONBLOCKING);
    ASSERT_EQ(0, a.Open());
    ASSERT_EQ(0, b.Open());
    ASSERT_EQ(0, a.Bind(kLoopback, 0));
    ASSERT_EQ(0, b.Bind(kLoopback, 0));

    char buf[16];
    uint32_t addr = 0, got = 0;
    uint16_t port = 0;
    EXPECT_EQ(11, b.RecvFrom(&addr, &port, buf, sizeof(buf), &got));
    ASSERT_EQ(0, a.SendTo(kLoopback, b.GetLocalPort(), "ping", 4));
    pollfd p{b.GetSocketFD(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 2000));
    ASSERT_EQ(0, b.RecvFrom(&addr, &port, buf, sizeof(buf), &got));
    EXPECT_EQ(4u, got);
    EXPECT_EQ(kLoopback, addr);
    EXPECT_EQ(a.GetLocalPort(), port);
    EXPECT_EQ(kLoopback, b.GetLastSenderAddr());
    EXPECT_EQ(a.GetLocalPort(), b.GetLastSenderPort());
}

TEST(QuorSocket, AddressText)
{
    char text[16];
    EXPECT_STREQ("127.0.0.1", QuorAddrToText(kLoopback, text, sizeof(text)));
    EXPECT_STREQ("255.255.255.255", QuorAddrToText(0xFFFFFFFFu, text, sizeof(text)));
    char small[8] = "xxxxxxx";
    EXPECT_STREQ("", QuorAddrToText(kLoopback, small, sizeof(small)));
}

TEST(QuorSocket, SessionSocketFitsItsPoolBlock)
{
    // TCP sessions build their socket in a 272-byte pooled block.
    EXPECT_LE(sizeof(QuorTCPSocket<7>), 272u);
}
