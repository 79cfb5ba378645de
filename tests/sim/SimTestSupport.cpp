#include "SimTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "SimText.h"

bool SerialClient::Open(const std::string& path, bool applyRaw, speed_t speed, tcflag_t extraCflag)
{
    Close();
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    return !applyRaw || Apply(speed, extraCflag);
}

bool SerialClient::Apply(speed_t speed, tcflag_t cflag)
{
    // From nothing, as the daemon does: raw, receiver on, modem lines ignored.
    struct termios attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.c_cflag = CREAD | CLOCAL | cflag;
    if ((cflag & CSIZE) == 0)
        attributes.c_cflag |= CS8;
    cfsetispeed(&attributes, speed);
    cfsetospeed(&attributes, speed);
    return tcsetattr(m_fd, TCSANOW, &attributes) == 0;
}

void SerialClient::Close()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_pending.clear();
}

bool SerialClient::Write(const std::string& bytes)
{
    return SimWriteAll(m_fd, bytes);
}

std::string SerialClient::ReadSome(int timeoutMs)
{
    if (!m_pending.empty()) {
        std::string bytes;
        bytes.swap(m_pending);
        return bytes;
    }
    struct pollfd pfd = {m_fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0)
        return std::string();
    char buffer[4096];
    ssize_t n = read(m_fd, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string SerialClient::ReadUntilQuiet(int quietMs, int maxMs)
{
    std::string bytes;
    int64_t deadline = TestNowMs() + maxMs;
    while (TestNowMs() < deadline) {
        std::string more = ReadSome(quietMs);
        if (more.empty())
            break;
        bytes += more;
    }
    return bytes;
}

bool SerialClient::ReadRawLine(std::string* line, int timeoutMs)
{
    int64_t deadline = TestNowMs() + timeoutMs;
    for (;;) {
        size_t end = m_pending.find("\r\n");
        if (end != std::string::npos) {
            *line = m_pending.substr(0, end + 2);
            m_pending.erase(0, end + 2);
            return true;
        }
        int64_t left = deadline - TestNowMs();
        if (left <= 0)
            return false;
        struct pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
            return false;
        char buffer[4096];
        ssize_t n = read(m_fd, buffer, sizeof buffer);
        if (n > 0)
            m_pending.append(buffer, static_cast<size_t>(n));
    }
}

std::string SerialClient::Ask(const std::string& line, int timeoutMs)
{
    std::string answer;
    if (!WriteLine(line) || !ReadRawLine(&answer, timeoutMs))
        return std::string();
    return answer;
}

int64_t TestNowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string WaitForFileText(const std::string& path, const std::string& text, int timeoutMs)
{
    int64_t deadline = TestNowMs() + timeoutMs;
    for (;;) {
        std::string content = test_files::ReadText(path);
        if (content.find(text) != std::string::npos || TestNowMs() > deadline)
            return content;
        SleepMs(10);
    }
}

void SleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}
