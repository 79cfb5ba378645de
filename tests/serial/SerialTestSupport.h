// Helpers of the serial line tests: the binary's board root and log, the
// lines a framing or the management task received, and pseudo-terminals
// linked where a task opens its line, with a serial line on one.
#ifndef SERIAL_TEST_SUPPORT_H
#define SERIAL_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <termios.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "TestClock.h"
#include "QuorUtilLib/OSNonCopyable.h"
#include "QuorVelmarMsgDef.h"
#include "QuorVelmarSerialLine.h"
#include "TestLog.h"

namespace serial_test {

// ---- The binary's board root and log (SerialMain.cpp) ----------------------

const std::string& BoardRoot();
// <board root>/dev/ttyS1 and so on.
std::string DevicePath(const char* name);

// Everything logged so far (all files of the log).
std::string LogText();
// A point in the log: what was logged after it.
class LogMark : public test_log::LogMark {
public:
    LogMark() : test_log::LogMark(LogText) {}
};

// ---- Received lines -----------------------------------------------------------

struct Line {
    uint8_t scope;
    int32_t session;
    uint16_t length;
    std::string text;
    bool zeroFilled;  // every byte behind the text is 0
};

Line ToLine(const T_QuorStringMsg& message);

// A sink for a framing under test: keeps every line it is given.
class LineCollector {
public:
    static int Sink(const T_QuorStringMsg& message);
    static std::vector<Line> Take();
};

// Installs a fresh management task as g_pVelmarManageTask for the lifetime
// of the object; its pool has no threads here, so the lines the
// communication layer queues stay in its string list for the test to take.
class ManageQueue : OSNonCopyable {
public:
    ManageQueue();
    ~ManageQueue();
    // Takes lines until count arrived or timeoutMs passed.
    std::vector<Line> Wait(size_t count, int timeoutMs = 3000);
    // The lines that arrive within quietMs.
    std::vector<Line> TakeFor(int quietMs);
};

std::vector<std::string> Texts(const std::vector<Line>& lines);
// The lines hold texts, each queued as a serial line: scope 10, no session,
// its own length.
void ExpectSerialLines(const std::vector<Line>& lines, const std::vector<std::string>& texts);

// Sends probe lines from sim until one reaches the queue (at most 60 tries of
// 100 ms): the task's receive loop runs. A probe that came late is dropped.
template <class Simulator>
bool WaitUntilReading(Simulator& sim, ManageQueue& queue)
{
    for (int i = 0; i < 60; ++i) {
        sim.SendLine("PROBE");
        if (!queue.Wait(1, 100).empty()) {
            queue.TakeFor(100);
            return true;
        }
    }
    return false;
}

// ---- Pseudo-terminals -----------------------------------------------------------

// A pseudo-terminal pair whose follower side is linked at a device path.
class LinkedPty : OSNonCopyable {
public:
    LinkedPty() = default;
    ~LinkedPty() { Close(); }
    bool Open(const std::string& linkPath);
    void CloseLeader();
    void Close();
    int LeaderFd() const { return m_leader; }
    std::string FollowerName() const { return m_follower; }
    // Every byte that arrives on the leader side within quietMs of the last.
    std::string ReadLeader(int quietMs);

private:
    int m_leader = -1;
    int m_keptFollower = -1;  // kept open, as a simulator does
    std::string m_follower;
    std::string m_link;
};

// An MCU serial line on a pseudo-terminal linked at the board path
// boardPath ("/dev/<name>", a literal: the line keeps the pointer); the line
// is closed and the terminal removed at the end of each test.
class PtyLineFixture : public ::testing::Test {
protected:
    explicit PtyLineFixture(const char* boardPath)
        : line{boardPath, 1, CQuorVelmarLineFramer::kMcuLine, LineCollector::Sink}, fBoardPath(boardPath) {}
    void SetUp() override { ASSERT_TRUE(pty.Open(DevicePath(fBoardPath + strlen("/dev/")))); }
    void TearDown() override
    {
        if (line.IsUartOpen())
            line.CloseUart();
        pty.Close();
    }
    void OpenLine() { ASSERT_GT(line.OpenUart(fBoardPath), 2); }

    LinkedPty pty;
    CQuorVelmarSerialLine line;

private:
    const char* fBoardPath;
};

bool ReadAttributes(const std::string& path, struct termios* attributes);
void SleepMs(int ms);
using board_test::NowMs;

}  // namespace serial_test

#endif
