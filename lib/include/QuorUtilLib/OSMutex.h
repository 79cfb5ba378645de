// Mutexes and condition variables of the utility layer.
#ifndef QUOR_OSMUTEX_H
#define QUOR_OSMUTEX_H

#include "OSNonCopyable.h"

#include <pthread.h>
#include <cstdint>

// Re-entrant mutex.
class OSMutex : private OSNonCopyable {
public:
    OSMutex() = default;
    ~OSMutex();

    void RecursiveLock() { pthread_mutex_lock(&fMutex); }
    void RecursiveUnlock() { pthread_mutex_unlock(&fMutex); }
    bool RecursiveTryLock() { return pthread_mutex_trylock(&fMutex) == 0; }

private:
    friend class OSCond;
    pthread_mutex_t fMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
};

// A mutex for as long as the process runs, one for each Owner type: never
// destroyed, so threads that run until the process ends may still take it.
template <class Owner>
OSMutex& OSLifetimeMutex()
{
    static OSMutex* mutex = new OSMutex;
    return *mutex;
}

// Holds an OSMutex for the lifetime of the object (a null mutex is allowed).
class OSMutexLocker : private OSNonCopyable {
public:
    explicit OSMutexLocker(OSMutex* mutex) : fMutex(mutex)
    {
        if (fMutex != nullptr)
            fMutex->RecursiveLock();
    }
    ~OSMutexLocker()
    {
        if (fMutex != nullptr)
            fMutex->RecursiveUnlock();
    }

private:
    OSMutex* fMutex;
};

// Reader-writer lock.
class OSMutexRW : private OSNonCopyable {
public:
    OSMutexRW() = default;
    ~OSMutexRW();

    void LockRead() { pthread_rwlock_rdlock(&fLock); }
    void LockWrite() { pthread_rwlock_wrlock(&fLock); }
    void Unlock() { pthread_rwlock_unlock(&fLock); }

private:
    // Writers must not starve behind a steady stream of readers.
    pthread_rwlock_t fLock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
};

// Condition variable on the monotonic clock, used with an OSMutex.
class OSCond : private OSNonCopyable {
public:
    OSCond();
    ~OSCond();

    void Signal() { pthread_cond_signal(&fCond); }
    void Broadcast() { pthread_cond_broadcast(&fCond); }
    // Waits until signalled or timeoutMs has passed (0 = no timeout).
    // The mutex must be held exactly once by the caller.
    void Wait(OSMutex* mutex, int64_t timeoutMs = 0);

private:
    pthread_cond_t fCond;
};

#endif
