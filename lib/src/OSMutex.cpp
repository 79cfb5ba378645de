#include "OSMutex.h"

#include <cerrno>
#include <ctime>

OSMutex::~OSMutex()
{
    pthread_mutex_destroy(&fMutex);
}

OSMutexRW::~OSMutexRW()
{
    pthread_rwlock_destroy(&fLock);
}

OSCond::OSCond()
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&fCond, &attr);
    pthread_condattr_destroy(&attr);
}

OSCond::~OSCond()
{
    pthread_cond_destroy(&fCond);
}

void OSCond::Wait(OSMutex* mutex, int64_t timeoutMs)
{
    if (timeoutMs <= 0) {
        pthread_cond_wait(&fCond, &mutex->fMutex);
        return;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += (time_t)(timeoutMs / 1000);
    deadline.tv_nsec += (long)(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&fCond, &mutex->fMutex, &deadline);
}
