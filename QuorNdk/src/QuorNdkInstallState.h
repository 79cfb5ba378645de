// What the agent keeps about an installation under way, so that no ending
// leaves velmard stopped:
// - the install marker, "/Velmar/etc/QuorNdk/Installing", written (and made
//   durable: write, fsync, rename, fsync of the directory) before velmard is
//   stopped and removed after it has been started again. Found at start-up,
//   it means the agent ended in the middle of an installation (killed, a
//   crash, a power cut): the start-up cleans up and starts velmard.
// - the install gate: a stop request waits for the installation that runs
//   and keeps a new one from starting.
#ifndef QUOR_NDK_INSTALLSTATE_H
#define QUOR_NDK_INSTALLSTATE_H

#include <condition_variable>
#include <mutex>

class CQuorNdkInstallMarker {
public:
    // Longest text the marker holds.
    static constexpr size_t kMaxText = 2400;

    // Records the installation (text: what is installed): 0 or -1 (logged).
    static int Write(const char* text);
    // Removes the marker: 0 (also when there was none) or -1 (logged).
    static int Remove();
    // 1 with the marker's text in text (cut to cap - 1 bytes), 0 when there
    // is no marker.
    static int Read(char* text, size_t cap);
};

class CQuorNdkInstallGate {
public:
    // True when an installation may start (no stop was requested); the
    // caller then calls Leave when it has ended.
    bool Enter();
    void Leave();
    // Refuses every later Enter and waits for the running installation.
    void CloseAndWait();
    bool Busy();

private:
    std::mutex m_Mutex;
    std::condition_variable m_Ended;
    bool m_Closed = false;  // guarded by m_Mutex
    bool m_Busy = false;    // guarded by m_Mutex
};

extern CQuorNdkInstallGate g_InstallGate;

#endif
