// A descriptor that a thread sleeping in poll() watches beside its own, so
// that another thread can end the sleep (a stop, a descriptor change)
// without the sleeper waking on a fixed period to look.
#ifndef QUOR_OSWAKEFD_H
#define QUOR_OSWAKEFD_H

#include "OSNonCopyable.h"

class OSWakeFd : private OSNonCopyable {
public:
    OSWakeFd();
    ~OSWakeFd();

    // The descriptor to poll for reading; -1 when none could be had (the
    // sleeper then has to bound its waits itself).
    int Fd() const { return fFd; }
    bool IsValid() const { return fFd >= 0; }
    // Makes Fd() readable until Drain(). Any thread.
    void Wake();
    // Takes back every Wake() so far (the sleeper, once woken).
    void Drain();

private:
    int fFd;
};

#endif
