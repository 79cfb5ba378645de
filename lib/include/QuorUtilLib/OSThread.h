// Base of every runtime thread.
#ifndef QUOR_OSTHREAD_H
#define QUOR_OSTHREAD_H

#include <pthread.h>
#include <atomic>
#include <cstdint>

class OSThread {
public:
    OSThread() = default;
    virtual ~OSThread();
    OSThread(const OSThread&) = delete;
    OSThread& operator=(const OSThread&) = delete;

    // The thread body.
    virtual void Entry() = 0;
    // The pool number of runtime threads; -1 for other threads.
    virtual int GetTemplateID() { return -1; }

    // Sets the stack size of threads started from now on (0 = system default).
    static void Initialize(uint32_t stackBytes);
    // Starts the thread; returns false when it could not be created.
    bool Start();
    // Requests the stop and joins the thread.
    void StopAndWaitForThread();
    // Sets the stop request and wakes the thread if it sleeps in a wait of
    // its own (see WakeForStop).
    void SendStopRequest()
    {
        fStopRequested.store(1, std::memory_order_release);
        WakeForStop();
    }
    bool IsStopRequested() const { return fStopRequested.load(std::memory_order_acquire) != 0; }

    // The OSThread running the caller, or null for other threads.
    static OSThread* GetCurrent();
    static void Sleep(uint32_t ms);
    static void ThreadYield();
    // Returns 0 on success, else the system error.
    int SetPriority(int priority);

    // Bracket each task run (hooks for run-time monitoring; no cost here).
    static void JobBeginMonitor(int32_t planMs) { (void)planMs; }
    static void JobEndMonitor() {}

protected:
    // Threads that sleep without a time limit wake here so that they see the
    // stop request. Not called for the base class part of a destroyed thread.
    virtual void WakeForStop() {}

private:
    static void* Trampoline(void* arg);

    pthread_t fThread{};
    bool fStarted = false;
    bool fJoined = false;
    std::atomic<uint16_t> fStopRequested{0};
    static uint32_t sStackBytes;
};

#endif
