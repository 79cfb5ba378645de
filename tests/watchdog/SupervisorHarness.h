// Runs the real velmarcmd against a throw-away board root and watches what it
// does. The test process becomes a child subreaper, so the detached
// supervisor and anything it leaves behind become its children: they are
// waited for and, at the end, ended by their ids.
#ifndef WATCHDOG_SUPERVISORHARNESS_H
#define WATCHDOG_SUPERVISORHARNESS_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "QuorUtilLib/OSNonCopyable.h"

// One start of the watched test program (watch_child.sh).
struct WatchedRun {
    int run = 0;
    pid_t pid = 0;
    pid_t parent = 0;
    long long startNs = 0;
    long long endNs = 0; // 0 when it did not end by itself
};

class SupervisorHarness : OSNonCopyable {
public:
    SupervisorHarness();
    ~SupervisorHarness();

    bool Ready() const { return !m_root.empty(); }
    const std::string& Root() const { return m_root; }
    std::string StateDir() const { return m_root + "/state"; }
    std::string LogDir() const { return m_root + "/var/log/velmarcmd"; }
    std::string ChildLogFile() const { return LogDir() + "/watch_child.sh.log"; }
    std::string StdoutFile() const { return m_root + "/stdout"; }

    // "<watch_child.sh> <state dir> <actions>"
    std::string ChildCommand(const std::string& actions) const;

    // Starts velmarcmd with `args` (not counting its name) and VELMAR_ROOT
    // set, standard output and error going to StdoutFile() (emptied first).
    pid_t Launch(const std::vector<std::string>& args);
    // The same through "sh -c", which prints "status=<its status>" afterwards.
    pid_t LaunchFromShell(const std::string& command);

    // Waits for our child `pid` to end; false on timeout.
    static bool WaitExit(pid_t pid, int timeoutMs, int* status);
    // The one child of this process (the detached supervisor once its
    // starter has ended); 0 when there is not exactly one.
    static pid_t OnlyChild();
    static pid_t ParentOf(pid_t pid);
    static bool IsZombie(pid_t pid);

    std::vector<WatchedRun> Runs() const;
    std::string RunsText() const;
    // Waits until the watched program has started `count` times.
    bool WaitForRuns(size_t count, int timeoutMs) const;
    std::string Args(int run) const;

    static std::string ReadFile(const std::string& path);
    static void WriteFile(const std::string& path, const std::string& text);
    static bool Exists(const std::string& path);
    static long long RealtimeNs();

    // Removes the "YYYY-MM-DD hh:mm:ss " prefix of every entry; `entries`
    // counts the prefixes found.
    static std::string StripTimestamps(const std::string& text, int* entries);

private:
    pid_t Spawn(const std::vector<std::string>& argv);
    static void EndLeftovers();

    std::string m_root;
};

#endif
