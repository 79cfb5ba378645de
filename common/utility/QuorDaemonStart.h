// Start-up steps both daemons share (velmard and the upgrade agent): the
// standard descriptors, the single-instance lock, the log under
// "/var/Velmar" and the signal dispositions. The module words of the texts
// printed on failure are each daemon's own and are passed in.
#ifndef QUOR_DAEMONSTART_H
#define QUOR_DAEMONSTART_H

// A closed standard descriptor would be given to the next file opened (a
// serial line at descriptor 0 looks closed to its task): parks /dev/null
// there (this machine's device, not a board file).
void QuorKeepStandardDescriptorsOpen();

// Installs the stdio log callbacks; a refusal prints "<module>Cours
// SetCallBack failed, error code<N>" and returns the code.
int QuorInstallLogCallbacks(const char* module);

// Takes the lock file (a board path): 0, or the cause when it is not taken:
// EWOULDBLOCK when another instance holds it, else why the file cannot be
// used (ENAMETOOLONG for a path that does not resolve).
int QuorTakeInstanceLock(const char* lockFile);

// Prints why the lock was not taken: "<module>Cours Module has already
// started, exit!" for a lock held by another instance, else the real cause.
void QuorReportInstanceLock(const char* module, const char* lockFile, int cause);

// The log "/var/Velmar/<name>" (5000 lines per file, 10 files, threshold
// debug) with the assertion sink; a failure prints "<module> LightLogSetup
// failed, error code<N>" and returns the code.
int QuorSetUpDaemonLog(const char* name, const char* module);

// Every signal 1 to 31 is ignored but SIGINT (ends the process) and SIGCHLD
// (left at its default, so that commands running at the same time on several
// threads all get their own status); SIGUSR1 runs stopHandler.
void QuorSetUpDaemonSignals(void (*stopHandler)(int));

#endif
