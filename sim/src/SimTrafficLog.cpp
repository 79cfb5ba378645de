#include "SimTrafficLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "SimText.h"

SimTrafficLog::~SimTrafficLog()
{
    Close();
}

int SimTrafficLog::Open(const std::string& path)
{
    Close();
    if (path.empty())
        return 0;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fd = fd;
    return 0;
}

void SimTrafficLog::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

void SimTrafficLog::Line(const std::string& direction, const std::string& line)
{
    WriteEntry(direction, SimEscapeBytes(line));
}

void SimTrafficLog::Bytes(const std::string& direction, const std::string& bytes)
{
    size_t start = 0;
    for (;;) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
            break;
        Line(direction, bytes.substr(start, end - start));
        start = end + 2;
    }
    if (start < bytes.size())
        WriteEntry(direction, SimEscapeBytes(bytes.substr(start)) + " [no CR LF]");
}

void SimTrafficLog::Note(const std::string& text)
{
    bool printable = true;
    for (unsigned char c : text)
        printable = printable && c >= 0x20 && c < 0x7f;
    WriteEntry("#", printable ? text : SimEscapeBytes(text));
}

void SimTrafficLog::WriteEntry(const std::string& middle, const std::string& text)
{
    std::string entry = SimClockText() + " " + middle + " " + text + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0)
        return;
    // One write per entry, so a reader never sees half an entry.
    SimWriteAll(m_fd, entry);
}
