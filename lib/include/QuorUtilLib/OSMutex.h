// Mutexes and condition variables of the utility layer.
#ifndef QUOR_OSMUTEX_H
#define QUOR_OSMUTEX_H

#include <pthread.h>
#include <cstdint>

// Re-entrant mutex.
class OSMutex {
public:
    OSMutex();
    ~OSMutex();
    OSMutex(const OSMutex&) = delete;
    OSMutex& operator=(const OSMutex&) = delete;

    void RecursiveLock() { pthread_mutex_lock(&fMutex); }
    void RecursiveUnlock() { pthread_mutex_unlock(&fMutex); }
    bool RecursiveTryLock() { return pthread_mutex_trylock(&fMutex) == 0; }

private:
    friend class OSCond;
    pthread_mutex_t fMutex;
};

// Holds an OSMutex for the lifetime of the object (a null mutex is allowed).
class OSMutexLocker {
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
    OSMutexLocker(const OSMutexLocker&) = delete;
    OSMutexLocker& operator=(const OSMutexLocker&) = delete;

private:
    OSMutex* fMutex;
};

// Reader-writer lock.
class OSMutexRW {
public:
    OSMutexRW();
    ~OSMutexRW();
    OSMutexRW(const OSMutexRW&) = delete;
    OSMutexRW& operator=(const OSMutexRW&) = delete;

    void LockRead() { pthread_rwlock_rdlock(&fLock); }
    void LockWrite() { pthread_rwlock_wrlock(&fLock); }
    void Unlock() { pthread_rwlock_unlock(&fLock); }

private:
    pthread_rwlock_t fLock;
};

// Condition variable on the monotonic clock, used with an OSMutex.
class OSCond {
public:
    OSCond();
    ~OSCond();
    OSCond(const OSCond&) = delete;
    OSCond& operator=(const OSCond&) = delete;

    void Signal() { pthread_cond_signal(&fCond); }
    void Broadcast() { pthread_cond_broadcast(&fCond); }
    // Waits until signalled or timeoutMs has passed (0 = no timeout).
    // The mutex must be held exactly once by the caller.
    void Wait(OSMutex* mutex, int64_t timeoutMs = 0);

private:
    pthread_cond_t fCond;
};

#endif
