#include "SimPty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

SimPty::~SimPty()
{
    Close();
}

int SimMakeDirectories(const std::string& path)
{
    if (path.empty())
        return -EINVAL;
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
    std::string parent = SimParentDirectory(path);
    if (parent != path && parent != "." && parent != "/") {
        int result = SimMakeDirectories(parent);
        if (result != 0)
            return result;
    }
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return -errno;
    return 0;
}

std::string SimParentDirectory(const std::string& path)
{
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return "/";
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

int SimPty::Open(const std::string& linkPath)
{
    Close();
    int result = OpenPair();
    if (result == 0)
        result = CreateLink(linkPath);
    if (result != 0)
        Close();
    return result;
}

int SimPty::OpenPair()
{
    m_leaderFd = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_leaderFd < 0)
        return -errno;
    char name[128];
    if (grantpt(m_leaderFd) != 0 || unlockpt(m_leaderFd) != 0 ||
        ptsname_r(m_leaderFd, name, sizeof name) != 0)
        return -errno;
    m_followerName = name;
    m_followerFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_followerFd < 0)
        return -errno;
    // Raw until a client applies settings of its own: no echo back into the
    // simulator, no CR or LF translation.
    struct termios attributes;
    if (tcgetattr(m_followerFd, &attributes) != 0)
        return -errno;
    cfmakeraw(&attributes);
    if (tcsetattr(m_followerFd, TCSANOW, &attributes) != 0)
        return -errno;
    return 0;
}

int SimPty::CreateLink(const std::string& linkPath)
{
    if (linkPath.empty())
        return -EINVAL;
    int result = SimMakeDirectories(SimParentDirectory(linkPath));
    if (result != 0)
        return result;
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        return -EEXIST;
    // Link under a temporary name, then rename over a stale link: a client
    // never sees the path missing or half made.
    std::string temporary = linkPath + ".new." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(m_followerName.c_str(), temporary.c_str()) != 0)
        return -errno;
    if (rename(temporary.c_str(), linkPath.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        return -error;
    }
    m_linkPath = linkPath;
    return 0;
}

void SimPty::Close()
{
    if (!m_linkPath.empty()) {
        char target[256];
        ssize_t n = readlink(m_linkPath.c_str(), target, sizeof target - 1);
        if (n >= 0) {
            target[n] = '\0';
            if (m_followerName == target)
                unlink(m_linkPath.c_str());
        }
        m_linkPath.clear();
    }
    if (m_followerFd >= 0)
        close(m_followerFd);
    if (m_leaderFd >= 0)
        close(m_leaderFd);
    m_followerFd = -1;
    m_leaderFd = -1;
    m_followerName.clear();
}

bool SimPty::ReadAttributes(struct termios* attributes) const
{
    return m_followerFd >= 0 && tcgetattr(m_followerFd, attributes) == 0;
}
