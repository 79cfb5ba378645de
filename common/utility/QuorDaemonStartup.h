// The start-up and the stop of a daemon (velmard, the upgrade agent): the
// logger callbacks, the single-instance lock (taken before the log is set up,
// so that a second instance never touches the running one's log files), the
// log, the preferences, the options -v -d -h, the signals and daemonising;
// then the idle loop until the stop signal (SIGHUP when daemonised, SIGUSR1
// in the foreground) and the ending with _exit(0), so that no global is
// destroyed under the tasks that still run.
//
// Every text and value that tells one daemon from the other comes from its
// T_QuorDaemonIdentity; the texts are built from the module words
// ("<module>Cours Module has already started, exit!", "<module> Module Start
// Initlize.").
#ifndef QUOR_DAEMONSTARTUP_H
#define QUOR_DAEMONSTARTUP_H

#include <csignal>
#include <cstdint>

struct T_QuorDaemonIdentity {
    const char* src;            // source name of its log lines
    const char* module;         // "Quor Velmar": the words of every start-up text
    const char* processName;    // name given to daemonising
    const char* logName;        // file name of the log under /var/Velmar
    const char* lockFile;       // board path of the instance lock
    const char* version;        // "MPL-ARM-V3.11"
    const char* buildDate;      // in the "started" line
    const char* bannerDate;     // in the banner of -v and -h
    const char* bannerTime;
    int (*readPrefs)();         // loads the preferences: negative on failure
    const int32_t* logLevel;    // the threshold the preferences set
    int exitPrefs;              // exit status: the preferences do not load
    int exitRunning;            // exit status: the lock is not taken
    int exitDaemon;             // exit status: daemonising failed
    int exitUsage;              // exit status: an unknown option
    bool bannerOnBadOption;     // an unknown option prints the banner before the usage
    bool printStopped;          // the stop prints "Stopping <module> Module success......"
    bool reportHeldBack;        // the stop reports the log lines the rate limit held back
};

class CQuorDaemonStartup {
public:
    // Runs the start-up through daemonising and the "Start Initlize" log
    // line: true to go on with the daemon's own tasks, false with *status
    // the value main returns (-1 when the log cannot be set up, 0 after -v).
    // A lock not taken, preferences that do not load, an unknown option and
    // a failed daemonising exit the process with the identity's status.
    static bool Start(const T_QuorDaemonIdentity& identity, int argc, char** argv, int* status);

    // Returns once the stop signal has come; keeps the low-precision clock
    // going meanwhile (once a second).
    static void WaitForStop();

    // Logs the stop, flushes the log and stdout and ends the process with 0.
    [[noreturn]] static void ExitStopped(const T_QuorDaemonIdentity& identity);

private:
    static bool SetUpLogAndLock(const T_QuorDaemonIdentity& identity);
    static void LoadPreferences(const T_QuorDaemonIdentity& identity);
    static int ParseOptions(const T_QuorDaemonIdentity& identity, int argc, char** argv, bool* daemon);
    static void PrintBanner(const T_QuorDaemonIdentity& identity);
    static void PrintUsage();
    static void StartProcess(const T_QuorDaemonIdentity& identity, bool daemon);
    [[noreturn]] static void ExitWith(int status);
    static void OnStopSignal(int);

    static const char* s_pProgramName;      // argv[0], for the usage line
    static volatile sig_atomic_t s_b16Stop;  // set by the stop signal's handler
};

#endif
