// The control FIFO of a simulator program: each line written into it is one
// control command (SimEndpoint::Control), for example
//
//   echo 'ORDER 5' > $VELMAR_ROOT/var/run/mcusim.ctl      (inject a line)
//   echo '!silent on' > $VELMAR_ROOT/var/run/mcusim.ctl   (stop answering)
#ifndef VELMAR_SIM_SIMCONTROLFIFO_H
#define VELMAR_SIM_SIMCONTROLFIFO_H

#include "QuorUtilLib/OSNonCopyable.h"

#include <string>

class SimEndpoint;

class SimControlFifo : private OSNonCopyable {
public:
    SimControlFifo() = default;
    ~SimControlFifo();

    // Creates the FIFO (an existing FIFO is reused; anything else at the path
    // is refused) and opens it. Returns 0 or a negative errno.
    int Open(const std::string& path);
    // Closes it and removes the FIFO when Open created it.
    void Close();

    // Waits up to timeoutMs for commands and runs every complete line on
    // `sim`; errors are reported on standard error and in the traffic log.
    void Poll(SimEndpoint& sim, int timeoutMs);

private:
    int m_fd = -1;
    bool m_created = false;
    std::string m_path;
    std::string m_pending;
};

#endif
