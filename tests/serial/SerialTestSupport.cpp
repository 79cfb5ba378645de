#include "SerialTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "LightLog.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarManageTask.h"

namespace serial_test {

std::string g_boardRoot;  // set by main

const std::string& BoardRoot()
{
    return g_boardRoot;
}

std::string DevicePath(const char* name)
{
    return g_boardRoot + "/dev/" + name;
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}


// ---- Log ---------------------------------------------------------------------------

std::string LogText()
{
    LightLogFlush();
    return test_files::ReadFilesIn(g_boardRoot + "/var/Velmar", "serial");
}

// ---- Lines -------------------------------------------------------------------------

Line ToLine(const T_QuorStringMsg& message)
{
    Line line;
    line.scope = message.u8Scope;
    line.session = message.s32SessionId;
    line.length = message.u16Length;
    size_t length = std::min<size_t>(message.u16Length, sizeof(message.cMsg));
    line.text.assign(message.cMsg, length);
    line.zeroFilled = true;
    for (size_t i = length; i < sizeof(message.cMsg); ++i)
        line.zeroFilled = line.zeroFilled && message.cMsg[i] == '\0';
    return line;
}

namespace {

std::mutex g_collectedMutex;
std::vector<Line> g_collected;

}  // namespace

int LineCollector::Sink(const T_QuorStringMsg& message)
{
    std::lock_guard<std::mutex> lock(g_collectedMutex);
    g_collected.push_back(ToLine(message));
    return 0;
}

std::vector<Line> LineCollector::Take()
{
    std::lock_guard<std::mutex> lock(g_collectedMutex);
    std::vector<Line> lines;
    lines.swap(g_collected);
    return lines;
}

std::vector<std::string> Texts(const std::vector<Line>& lines)
{
    std::vector<std::string> texts;
    for (const Line& line : lines)
        texts.push_back(line.text);
    return texts;
}

void ExpectSerialLines(const std::vector<Line>& lines, const std::vector<std::string>& texts)
{
    EXPECT_EQ(texts, Texts(lines));
    for (const Line& line : lines) {
        EXPECT_EQ(10, line.scope) << line.text;
        EXPECT_EQ(0, line.session) << line.text;
        EXPECT_EQ(line.text.size(), line.length) << line.text;
    }
}

// The communication layer reads g_pVelmarManageTask under its string lock.
ManageQueue::ManageQueue()
{
    CQuorVelmarManageTask* task = new CQuorVelmarManageTask;
    OSMutexLocker locker(&CQuorVelmarCommLayer::s_VelmarStringListMutex);
    g_pVelmarManageTask = task;
}

ManageQueue::~ManageQueue()
{
    CQuorVelmarManageTask* task;
    {
        OSMutexLocker locker(&CQuorVelmarCommLayer::s_VelmarStringListMutex);
        task = g_pVelmarManageTask;
        g_pVelmarManageTask = nullptr;
    }
    delete task;
}

std::vector<Line> ManageQueue::Wait(size_t count, int timeoutMs)
{
    std::vector<Line> lines;
    int64_t end = NowMs() + timeoutMs;
    T_QuorStringMsg message;
    while (lines.size() < count && NowMs() <= end) {
        if (g_pVelmarManageTask->TakeStringMsg(&message))
            lines.push_back(ToLine(message));
        else
            SleepMs(2);
    }
    return lines;
}

std::vector<Line> ManageQueue::TakeFor(int quietMs)
{
    std::vector<Line> lines;
    int64_t end = NowMs() + quietMs;
    T_QuorStringMsg message;
    while (NowMs() <= end) {
        if (g_pVelmarManageTask->TakeStringMsg(&message))
            lines.push_back(ToLine(message));
        else
            SleepMs(2);
    }
    return lines;
}

// ---- Pseudo-terminals -----------------------------------------------------------

bool LinkedPty::Open(const std::string& linkPath)
{
    Close();
    m_leader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_leader < 0 || grantpt(m_leader) != 0 || unlockpt(m_leader) != 0)
        return false;
    char name[128];
    if (ptsname_r(m_leader, name, sizeof(name)) != 0)
        return false;
    m_follower = name;
    // Kept open, as a simulator does: the settings and bytes survive the
    // client's close and reopen.
    m_keptFollower = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios raw;
    if (m_keptFollower < 0 || tcgetattr(m_keptFollower, &raw) != 0)
        return false;
    cfmakeraw(&raw);
    tcsetattr(m_keptFollower, TCSANOW, &raw);
    unlink(linkPath.c_str());
    if (symlink(name, linkPath.c_str()) != 0)
        return false;
    m_link = linkPath;
    return true;
}

void LinkedPty::CloseLeader()
{
    if (m_leader >= 0)
        close(m_leader);
    m_leader = -1;
}

void LinkedPty::Close()
{
    CloseLeader();
    if (m_keptFollower >= 0)
        close(m_keptFollower);
    m_keptFollower = -1;
    if (!m_link.empty())
        unlink(m_link.c_str());
    m_link.clear();
}

std::string LinkedPty::ReadLeader(int quietMs)
{
    std::string bytes;
    for (;;) {
        struct pollfd wait = {m_leader, POLLIN, 0};
        if (poll(&wait, 1, quietMs) <= 0 || (wait.revents & POLLIN) == 0)
            return bytes;
        char buf[4096];
        ssize_t n = read(m_leader, buf, sizeof(buf));
        if (n <= 0)
            return bytes;
        bytes.append(buf, static_cast<size_t>(n));
    }
}

bool ReadAttributes(const std::string& path, struct termios* attributes)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = tcgetattr(fd, attributes) == 0;
    close(fd);
    return ok;
}

}  // namespace serial_test
