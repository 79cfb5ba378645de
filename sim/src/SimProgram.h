// The command line and main loop shared by the simulator programs (mcusim,
// dispsim): resolve the paths under the board root, start the simulator,
// serve its control FIFO until SIGINT, SIGTERM or SIGHUP.
#ifndef VELMAR_SIM_SIMPROGRAM_H
#define VELMAR_SIM_SIMPROGRAM_H

#include <string>
#include <vector>

class SimEndpoint;

struct SimProgramInfo {
    const char* program;  // "mcusim"
    const char* device;   // "ttyS1": the link is <root>/dev/<device>
    const char* purpose;  // one line for the usage text
};

struct SimProgramPaths {
    std::string link;
    std::string control;    // empty: no control FIFO
    std::string trafficLog; // empty: no traffic log
    std::vector<std::string> commands;
};

// Parses the arguments; false (with a message on standard error) when they
// are wrong or incomplete. *help is set for -h/--help.
bool SimParseProgramArgs(int argc, char** argv, const SimProgramInfo& info, SimProgramPaths* paths,
                         bool* help);

void SimPrintUsage(const SimProgramInfo& info);

// The whole program; returns its exit status.
int SimRunProgram(int argc, char** argv, SimEndpoint& sim, const SimProgramInfo& info);

#endif
