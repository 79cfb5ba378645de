// dispsim: the simulated display on <board root>/dev/ttyS2.
#include "DisplaySimulator.h"
#include "SimProgram.h"

int main(int argc, char** argv)
{
    DisplaySimulator sim;
    SimProgramInfo info = {"dispsim", "ttyS2",
                           "Simulated display: records what the daemon sends on its second "
                           "serial line, with the line settings."};
    return SimRunProgram(argc, argv, sim, info);
}
