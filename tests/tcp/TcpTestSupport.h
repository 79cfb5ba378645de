// Helpers of the TCP command port tests: the server of the test process on
// a loopback address, real TCP clients, the lines the communication layer
// handed to the management task, and marks in the light log.
#ifndef TCP_TEST_SUPPORT_H
#define TCP_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "QuorUtilLib/OSNonCopyable.h"
#include "QuorVelmarMsgDef.h"
#include "TestLog.h"

class CQuorTCPServerSocket;
class CQuorVelmarTCPSessionTask;

namespace tcp_test {

// The server listens on this loopback address; clients connect from
// kClientA or kClientB.
extern const char kServerIp[];
extern const char kClientA[];
extern const char kClientB[];

// ---- The light log ------------------------------------------------------------

// A point in the light log: what was logged after it.
class LogMark : public test_log::LogMark {
public:
    LogMark();
};

// ---- Lines handed on ------------------------------------------------------------

struct Line {
    uint8_t scope = 0;
    int32_t session = 0;
    uint16_t length = 0;
    std::string text;  // length bytes
};

// The next line that reached the management task (within timeoutMs).
bool NextLine(Line* line, int timeoutMs = 3000);
// Drops every line waiting.
void DropLines();

// ---- Preferences ------------------------------------------------------------------

void SetClientLinkMaxNum(uint32_t limit);

// ---- Clients ----------------------------------------------------------------------

class TcpClient : OSNonCopyable {
public:
    TcpClient() = default;
    ~TcpClient() { Close(); }

    // Connects from srcIp to ip:port (receive buffer of rcvBuf bytes when
    // non-zero). False on failure.
    bool Connect(const char* srcIp, uint16_t port, const char* ip, int rcvBuf = 0);
    // Connects to the test server.
    bool Connect(const char* srcIp, int rcvBuf = 0);
    bool Send(const std::string& bytes);
    // Reads until size bytes arrived (false on time-out or close).
    bool ReadExactly(size_t size, std::string* out, int timeoutMs = 3000);
    // Everything that arrives within ms.
    std::string ReadFor(int ms);
    // Reads up to and including needle (false on time-out or close).
    bool ReadUntil(const std::string& needle, std::string* out, int timeoutMs = 3000);
    // True when the server closes the connection within timeoutMs.
    bool ClosedByPeer(int timeoutMs = 3000);
    // Closes with a reset instead of an orderly close.
    void Abort();
    void Close();
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// ---- The server ---------------------------------------------------------------------

// Starts pool 7 with its event thread, the management task (no threads: its
// lines stay in its list) and the server, once per process.
void StartServerOnce();
uint16_t ServerPort();
CQuorTCPServerSocket* Listener();

// Connects a client that introduces itself with "HELLO <tag>\r\n" and
// returns its session identifier (0 on failure).
int32_t ConnectSession(TcpClient* client, const char* srcIp, const std::string& tag, int rcvBuf = 0);
// Waits until the server has count sessions.
bool WaitForSessionCount(uint32_t count, int timeoutMs = 3000);

class TcpServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartServerOnce(); }
    void SetUp() override;
    void TearDown() override;
};

}  // namespace tcp_test

#endif
