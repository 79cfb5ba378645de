// Helper functions of velmard: see QuorVelmarFunction.h.
#include "QuorVelmarFunction.h"

#include "ShellCommand.h"

// ---- Shell commands -------------------------------------------------------

int pox_system(const char* command)
{
    // SIGCHLD keeps its default disposition in this process; the runner makes
    // sure of it before the child starts, so the status is never lost.
    return ShellCommand().Run(command);
}
