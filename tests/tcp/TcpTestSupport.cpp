// Helpers of the TCP command port tests: see TcpTestSupport.h.
#include "TestClock.h"
#include "TcpTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "EventTestSupport.h"
#include "OSMutex.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarTCPServerSocket.h"
#include "QuorVelmarTCPSrvCreate.h"

namespace tcp_test {

const char kServerIp[] = "127.0.0.3";
const char kClientA[] = "127.0.0.1";
const char kClientB[] = "127.0.0.2";

namespace {

uint16_t s_u16Port = 0;

sockaddr_in AddrOf(const char* ip, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

// A port nobody listens on at kServerIp just now.
uint16_t FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = AddrOf(kServerIp, 0);
    socklen_t len = sizeof(addr);
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, (sockaddr*)&addr, sizeof(addr)) == 0 && getsockname(fd, (sockaddr*)&addr, &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

using board_test::NowMs;

}  // namespace

// ---- The light log ---------------------------------------------------------------

LogMark::LogMark() : test_log::LogMark([] { return LogCapture::Get().Text(); }) {}

// ---- Lines handed on ---------------------------------------------------------------

bool NextLine(Line* line, int timeoutMs)
{
    T_QuorStringMsg message;
    bool got = WaitUntil([&] { return g_pVelmarManageTask->TakeStringMsg(&message); }, timeoutMs);
    if (!got)
        return false;
    line->scope = message.u8Scope;
    line->session = message.s32SessionId;
    line->length = message.u16Length;
    line->text.assign(message.cMsg, message.u16Length < sizeof(message.cMsg) ? message.u16Length : 0);
    return true;
}

void DropLines()
{
    T_QuorStringMsg message;
    while (g_pVelmarManageTask->TakeStringMsg(&message)) {
    }
}

void SetClientLinkMaxNum(uint32_t limit)
{
    OSMutexLocker locker(&CQuorVelmarPref::PrefMutex());
    CQuorVelmarPref::s_u32Quor_Velmar_ClientMaxNum = limit;
}

// ---- Clients ------------------------------------------------------------------------

bool TcpClient::Connect(const char* srcIp, uint16_t port, const char* ip, int rcvBuf)
{
    Close();
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (rcvBuf > 0)
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof(rcvBuf));
    sockaddr_in src = AddrOf(srcIp, 0);
    sockaddr_in dst = AddrOf(ip, port);
    if (bind(m_fd, (sockaddr*)&src, sizeof(src)) != 0 || connect(m_fd, (sockaddr*)&dst, sizeof(dst)) != 0) {
        Close();
        return false;
    }
    return true;
}

bool TcpClient::Connect(const char* srcIp, int rcvBuf)
{
    return Connect(srcIp, ServerPort(), kServerIp, rcvBuf);
}

bool TcpClient::Send(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

bool TcpClient::ReadExactly(size_t size, std::string* out, int timeoutMs)
{
    out->clear();
    int64_t deadline = NowMs() + timeoutMs;
    char buf[4096];
    while (out->size() < size) {
        int64_t left = deadline - NowMs();
        pollfd p{m_fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, (int)left) <= 0)
            return false;
        size_t want = size - out->size() < sizeof(buf) ? size - out->size() : sizeof(buf);
        ssize_t n = recv(m_fd, buf, want, 0);
        if (n <= 0)
            return false;
        out->append(buf, (size_t)n);
    }
    return true;
}

std::string TcpClient::ReadFor(int ms)
{
    std::string out;
    int64_t deadline = NowMs() + ms;
    char buf[4096];
    for (int64_t left = ms; left > 0; left = deadline - NowMs()) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0)
            break;
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        out.append(buf, (size_t)n);
    }
    return out;
}

bool TcpClient::ReadUntil(const std::string& needle, std::string* out, int timeoutMs)
{
    out->clear();
    int64_t deadline = NowMs() + timeoutMs;
    char c;
    while (out->size() < needle.size() || out->compare(out->size() - needle.size(), needle.size(), needle) != 0) {
        int64_t left = deadline - NowMs();
        pollfd p{m_fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, (int)left) <= 0)
            return false;
        if (recv(m_fd, &c, 1, 0) != 1)
            return false;
        out->push_back(c);
    }
    return true;
}

bool TcpClient::ClosedByPeer(int timeoutMs)
{
    int64_t deadline = NowMs() + timeoutMs;
    char buf[256];
    for (int64_t left = timeoutMs; left > 0; left = deadline - NowMs()) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0)
            return false;
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false;
    }
    return false;
}

void TcpClient::Abort()
{
    if (m_fd < 0)
        return;
    linger reset{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    Close();
}

void TcpClient::Close()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

// ---- The server --------------------------------------------------------------------------

void StartServerOnce()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    LogCapture::Get();
    StartEventPool<7>(4);
    g_pVelmarManageTask = Keep(new CQuorVelmarManageTask);
    s_u16Port = FreePort();
    in_addr addr{};
    inet_pton(AF_INET, kServerIp, &addr);
    CQuorVelmarPref::s_u32Quor_Velmar_TelnetInterAddr = addr.s_addr;
    CQuorVelmarPref::s_u16Quor_Velmar_TelnetInterPort = s_u16Port;
    SetClientLinkMaxNum(10);
    g_pVelmarTcpSrv = Keep(new CQuorVelmarTcpSrvCreate);
    ASSERT_EQ(0, g_pVelmarTcpSrv->Initialize());
    ASSERT_NE(nullptr, CQuorVelmarTcpSrvCreate::GetRunningListener());
}

uint16_t ServerPort()
{
    return s_u16Port;
}

CQuorTCPServerSocket* Listener()
{
    return g_pVelmarTcpSrv->GetListener();
}

int32_t ConnectSession(TcpClient* client, const char* srcIp, const std::string& tag, int rcvBuf)
{
    std::string hello = "HELLO " + tag + "\r\n";
    if (!client->Connect(srcIp, rcvBuf) || !client->Send(hello))
        return 0;
    Line line;
    while (NextLine(&line)) {
        if (line.text == hello)
            return line.session;
    }
    return 0;
}

bool WaitForSessionCount(uint32_t count, int timeoutMs)
{
    return WaitUntil([&] { return Listener()->GetSessionCount() == count; }, timeoutMs);
}

void TcpServerTest::SetUp()
{
    ASSERT_NE(nullptr, g_pVelmarTcpSrv);
    SetClientLinkMaxNum(10);
    ASSERT_TRUE(WaitForSessionCount(0));
    DropLines();
}

void TcpServerTest::TearDown()
{
    // The clients of the test are closed: every session must end.
    EXPECT_TRUE(WaitForSessionCount(0));
    EXPECT_EQ(0u, Listener()->GetClientNum(kClientA));
    EXPECT_EQ(0u, Listener()->GetClientNum(kClientB));
    DropLines();
    SetClientLinkMaxNum(10);
}

}  // namespace tcp_test
