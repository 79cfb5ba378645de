// Idle tasks: tasks with an optional one-shot idle timer served by the
// pool's idle-timer thread.
#ifndef QUOR_QUORIDLETASK_H
#define QUOR_QUORIDLETASK_H

#include "QuorTask.h"

template <int N> class QuorIdleTaskThread;

template <int N>
class QuorIdleTask : public QuorTask<N> {
public:
    QuorIdleTask() : fIdleElem(this) {}
    ~QuorIdleTask() override;

    // Signals this task once after ms milliseconds (ignored while one is pending).
    void SetIdleTimer(int64_t ms);
    void CancelIdleTimer();

    static std::atomic<QuorIdleTaskThread<N>*> sIdleThread;

private:
    friend class QuorIdleTaskThread<N>;
    OSHeapElem fIdleElem;
};

template <int N>
class QuorIdleTaskThread : public OSThread {
public:
    QuorIdleTaskThread() : fIdleHeap(64) {}
    ~QuorIdleTaskThread() override;

    // Creates and starts the pool's idle-timer thread once.
    static QuorIdleTaskThread<N>* Initialize();

    void Entry() override;
    int GetTemplateID() override { return N; }

    void SetIdleTimer(QuorIdleTask<N>* task, int64_t ms);
    void CancelTimeout(QuorIdleTask<N>* task);

private:
    OSHeap fIdleHeap;
    OSMutex fHeapMutex;
    OSCond fHeapCond;
};

template <int N> std::atomic<QuorIdleTaskThread<N>*> QuorIdleTask<N>::sIdleThread{nullptr};

template <int N>
QuorIdleTask<N>::~QuorIdleTask()
{
    QuorIdleTaskThread<N>* thread = sIdleThread.load();
    if (thread != nullptr)
        thread->CancelTimeout(this);
}

template <int N>
void QuorIdleTask<N>::SetIdleTimer(int64_t ms)
{
    QuorIdleTaskThread<N>* thread = sIdleThread.load();
    if (thread == nullptr)
        thread = QuorIdleTaskThread<N>::Initialize();
    thread->SetIdleTimer(this, ms);
}

template <int N>
void QuorIdleTask<N>::CancelIdleTimer()
{
    QuorIdleTaskThread<N>* thread = sIdleThread.load();
    if (thread != nullptr)
        thread->CancelTimeout(this);
}

template <int N>
QuorIdleTaskThread<N>* QuorIdleTaskThread<N>::Initialize()
{
    static OSMutex* startMutex = new OSMutex;
    OSMutexLocker locker(startMutex);
    QuorIdleTaskThread<N>* thread = QuorIdleTask<N>::sIdleThread.load();
    if (thread == nullptr) {
        thread = new QuorIdleTaskThread<N>;
        thread->Start();
        QuorIdleTask<N>::sIdleThread.store(thread);
    }
    return thread;
}

template <int N>
QuorIdleTaskThread<N>::~QuorIdleTaskThread()
{
    SendStopRequest();
    {
        OSMutexLocker locker(&fHeapMutex);
        fHeapCond.Signal();
    }
    StopAndWaitForThread();
}

template <int N>
void QuorIdleTaskThread<N>::SetIdleTimer(QuorIdleTask<N>* task, int64_t ms)
{
    if (task == nullptr) {
        MyAssertAt("../lib/include/QuorUtilLib/QuorIdleTask", __LINE__);
        return;
    }
    OSMutexLocker locker(&fHeapMutex);
    if (task->fIdleElem.IsMemberOfAnyHeap())
        return;
    task->fIdleElem.SetValue(OS::Milliseconds() + ms);
    fIdleHeap.Insert(&task->fIdleElem);
    fHeapCond.Signal();
}

template <int N>
void QuorIdleTaskThread<N>::CancelTimeout(QuorIdleTask<N>* task)
{
    if (task == nullptr) {
        MyAssertAt("../lib/include/QuorUtilLib/QuorIdleTask", 130);
        return;
    }
    OSMutexLocker locker(&fHeapMutex);
    fIdleHeap.Remove(&task->fIdleElem);
}

template <int N>
void QuorIdleTaskThread<N>::Entry()
{
    OSMutexLocker locker(&fHeapMutex);
    while (!IsStopRequested()) {
        OSHeapElem* earliest = fIdleHeap.PeekMin();
        int64_t now = OS::Milliseconds();
        if (earliest == nullptr) {
            // Nothing pending: sleep until a timer is set or a stop is
            // requested (both signal the condition under the heap lock).
            fHeapCond.Wait(&fHeapMutex, 0);
            continue;
        }
        if (earliest->GetValue() > now) {
            fHeapCond.Wait(&fHeapMutex, earliest->GetValue() - now);
            continue;
        }
        // Signal every due task while holding the heap lock, so a task's
        // destructor (which cancels under this lock) never races the signal.
        while ((earliest = fIdleHeap.PeekMin()) != nullptr && earliest->GetValue() <= now) {
            fIdleHeap.Extract(1);
            static_cast<QuorIdleTask<N>*>(earliest->GetEnclosingObject())->Signal(TASK_EVT_TIMEOUT);
        }
    }
}

template <int N>
void QuorTaskThreadPool<N>::StartIdleThread()
{
    // The TCP listener's pool pauses accepting through the idle timer.
    if (N == 7)
        QuorIdleTaskThread<N>::Initialize();
}

#endif
