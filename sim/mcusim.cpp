// mcusim: the simulated MCU on <board root>/dev/ttyS1.
#include "McuSimulator.h"
#include "SimProgram.h"

int main(int argc, char** argv)
{
    McuSimulator sim;
    SimProgramInfo info = {"mcusim", "ttyS1",
                           "Simulated MCU: answers the daemon's MCU lines on a pseudo-terminal."};
    return SimRunProgram(argc, argv, sim, info);
}
