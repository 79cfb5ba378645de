// A pseudo-terminal pair for a simulated serial device.
//
// The simulator works the leader side; the follower side is reached through
// a symbolic link (for example <board root>/dev/ttyS1). The simulator keeps a
// descriptor of its own on the follower side for as long as it runs, so a
// client that closes and reopens the line finds the terminal, its settings
// and every byte written meanwhile still there.
#ifndef VELMAR_SIM_SIMPTY_H
#define VELMAR_SIM_SIMPTY_H

#include "QuorUtilLib/OSNonCopyable.h"

#include <termios.h>

#include <string>

class SimPty : private OSNonCopyable {
public:
    SimPty() = default;
    ~SimPty();

    // Opens the pair, puts the follower into raw mode and links linkPath to
    // it (missing parent directories are created; a stale symbolic link is
    // replaced, anything else at linkPath is left alone and refused).
    // Returns 0 or a negative errno.
    int Open(const std::string& linkPath);
    // Removes the link (only while it still points at this follower) and
    // closes both sides.
    void Close();

    bool IsOpen() const { return m_leaderFd >= 0; }
    int LeaderFd() const { return m_leaderFd; }
    int FollowerFd() const { return m_followerFd; }
    const std::string& FollowerName() const { return m_followerName; }
    const std::string& LinkPath() const { return m_linkPath; }

    // Current attributes of the follower side.
    bool ReadAttributes(struct termios* attributes) const;

private:
    int OpenPair();
    int CreateLink(const std::string& linkPath);

    int m_leaderFd = -1;
    int m_followerFd = -1;
    std::string m_followerName;
    std::string m_linkPath;
};

// Creates the directory and its missing parents (mode 0755). 0 or -errno.
int SimMakeDirectories(const std::string& path);

// The directory part of a path ("." when there is none).
std::string SimParentDirectory(const std::string& path);

#endif
