// Helper functions of velmard shared by the network, management and web code:
// shell commands, log dumps, reboot and factory reset, the network identity of
// the device and the checks of new network settings.
#ifndef QUOR_VELMAR_FUNCTION_H
#define QUOR_VELMAR_FUNCTION_H

// ---- Shell commands -------------------------------------------------------

// Runs a shell command and waits for it: the status as system() returns it
// (0 for success). On a simulated board the command runs under the board root
// (absolute paths and PATH resolved there); a command that would reach one of
// the machine's own machine-changing programs is refused with a logged error
// and -1 (see ShellCommand).
int pox_system(const char* command);

#endif
