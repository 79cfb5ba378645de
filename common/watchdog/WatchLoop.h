// The watch loop: start the program, wait for it, decide from how it ended.
#ifndef VELMARCMD_WATCHLOOP_H
#define VELMARCMD_WATCHLOOP_H

#include <sys/types.h>

#include <string>
#include <vector>

// Exit codes the daemons use for conditions a restart cannot cure; 199 is the
// watched child's own code for a command that could not be executed.
constexpr int kExitExecFailed = 199;
constexpr int kExitAlreadyRunning = 198;
constexpr int kExitConfigError = 197;
constexpr int kExitShareMemoryError = 196;
constexpr int kExitChannelConfigError = 195;

// A program that ends abnormally sooner than this after its start is
// restarted after a pause of the same length, so it cannot spin.
constexpr long kQuickDeathMs = 1000;
constexpr unsigned kQuickDeathPauseSec = 1;
constexpr unsigned kForkRetrySec = 16;
constexpr unsigned kWaitRetrySec = 1;

struct WatchTarget {
    const char* selfName = nullptr; // the supervisor's own name, for its messages
    const char* command = nullptr;  // first word of the command line
    char* const* argv = nullptr;    // the watched program's argument vector
    std::string logFile;            // "<log dir>/<base name>.log"
    std::string outFile;            // "<log dir>/<base name>.out"
    std::string errFile;            // "<log dir>/<base name>.err"
};

// What the supervisor does once the watched child has ended.
enum class WatchAction { Restart, Shutdown, KeepWaiting };

// Logs how the child `pid` ended (`status` as from waitpid) and decides.
WatchAction ReportChildEnd(const WatchTarget& target, pid_t pid, int status);

// Runs the watched program until a decision ends supervision; returns the
// supervisor's exit status.
int RunWatchLoop(const WatchTarget& target);

#endif
