#include "SimControlFifo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "SimEndpoint.h"
#include "SimPty.h"

namespace {
constexpr size_t kMaxCommand = 65536;
}

SimControlFifo::~SimControlFifo()
{
    Close();
}

int SimControlFifo::Open(const std::string& path)
{
    Close();
    int result = SimMakeDirectories(SimParentDirectory(path));
    if (result != 0)
        return result;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode))
            return -EEXIST;
    } else {
        if (mkfifo(path.c_str(), 0600) != 0)
            return -errno;
        m_created = true;
    }
    m_path = path;
    // Read-write, so the FIFO never reports end of file between writers.
    m_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        result = -errno;
        Close();
        return result;
    }
    return 0;
}

void SimControlFifo::Close()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    if (m_created)
        unlink(m_path.c_str());
    m_created = false;
    m_path.clear();
    m_pending.clear();
}

void SimControlFifo::Poll(SimEndpoint& sim, int timeoutMs)
{
    if (m_fd < 0) {
        poll(nullptr, 0, timeoutMs);
        return;
    }
    struct pollfd pfd = {m_fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0)
        return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(m_fd, buffer, sizeof buffer)) > 0)
        m_pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = m_pending.find('\n')) != std::string::npos) {
        std::string command = m_pending.substr(0, newline);
        m_pending.erase(0, newline + 1);
        std::string error = sim.Control(command);
        if (!error.empty()) {
            fprintf(stderr, "%s: %s\n", sim.Name().c_str(), error.c_str());
            sim.TrafficLog().Note("control error: " + error);
        }
    }
    if (m_pending.size() > kMaxCommand) {
        fprintf(stderr, "%s: control line too long, dropped\n", sim.Name().c_str());
        m_pending.clear();
    }
}
