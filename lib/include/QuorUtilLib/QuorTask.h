// Tasks, task threads and thread pools.
//
// A task is a heap object with a virtual Run() that is woken by event bits and
// executed by the task threads of its pool. Every pool number N is a separate
// world: its own threads, thread picker, reader-writer lock and timers.
#ifndef QUOR_QUORTASK_H
#define QUOR_QUORTASK_H

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "MyAssert.h"
#include "OS.h"
#include "OSHeap.h"
#include "OSMutex.h"
#include "OSQueue.h"
#include "OSThread.h"

// Event bits shared by all task classes; other bits belong to the classes.
enum : uint32_t {
    TASK_EVT_SCHEDULED = 0x80000000u,
    TASK_EVT_TIMER = 0x2u,
    TASK_EVT_START = 0x4u,
    TASK_EVT_TIMEOUT = 0x8u,
    TASK_EVT_READ = 0x10u,
    TASK_EVT_WRITE = 0x20u,
    // Inter-module messages.
    TASK_EVT_NET_MSG = 0x100u,
    TASK_EVT_LOCAL_MSG = 0x200u,
};

// State prefix of a live task's name.
extern const char sTaskStateStr[];  // "live_"

class QuorBaseTask {
public:
    virtual ~QuorBaseTask() = default;
    virtual int64_t Run() = 0;
    virtual void AddTaskToBreakPointReadyTaskList(void* thread) = 0;
    virtual void AddTaskToSuccessTaskList(void* thread) = 0;
};

template <int N> class QuorTaskThread;
template <int N> class QuorTaskThreadPool;

template <int N>
class QuorTask : public QuorBaseTask {
public:
    QuorTask();
    ~QuorTask() override;

    // ORs events into the task's event word and queues the task on a thread
    // unless it is already queued, running or waiting for its timer.
    void Signal(uint32_t events);
    // Like Signal, but with more than two threads a non-zero hint selects the
    // pool's last thread and a zero hint one of the others.
    void Signal(uint32_t events, uint32_t hint);

    void AddTaskToBreakPointReadyTaskList(void* thread) override;
    void AddTaskToSuccessTaskList(void* thread) override;

    // Takes the pending events: returns the bits and clears them, except the
    // scheduled bit, in one step.
    uint32_t GetEvents();

    bool IsAlive();
    // Neither queued nor running nor waiting for its timer: the next signal
    // picks a thread for it afresh.
    bool IsIdle();
    // Names the task "live_" + name (cut to fit 47 characters).
    void SetTaskName(const char* name);
    const char* GetTaskName() const { return fStateName; }

    void SetRunBudget(uint32_t budget) { fRunBudget.store(budget, std::memory_order_relaxed); }
    // Signals go to this thread only until the next run starts.
    void SetPinnedThread(QuorTaskThread<N>* thread) { fPinnedThread.store(thread); }
    // The next run holds the pool lock for writing.
    void SetExclusive() { fExclusive.store(1); }
    QuorTaskThread<N>* GetLastThread() const { return fLastThread.load(); }

    static std::atomic<uint32_t> sThreadPicker;

private:
    friend class QuorTaskThread<N>;
    QuorTaskThread<N>* PickThread(uint32_t hint, bool hinted);
    void SignalOnThread(uint32_t events, uint32_t hint, bool hinted);
    // Files the task on one list of a QuorTaskThread (null: nothing).
    void EnqueueOnThread(void* thread, OSQueue_Blocking QuorTaskThread<N>::*list);

    int64_t fCoRunResult = 0;
    uint16_t fCoValid = 1;
    char fStateName[48];
    uint8_t* fCoStack = nullptr;
    QuorTaskThread<N>* fCoThread = nullptr;
    OSQueueElem fBreakPointElem;
    uint32_t fEvents = 0;
    std::atomic<QuorTaskThread<N>*> fPinnedThread{nullptr};
    std::atomic<uint16_t> fExclusive{0};
    std::atomic<QuorTaskThread<N>*> fLastThread{nullptr};
    OSHeapElem fWakeElem;
    OSQueueElem fTaskQueueElem;
    uint32_t fRunBudgetLeft = 0;
    std::atomic<uint32_t> fRunBudget{0};
    OSMutex fEventMutex;
};

template <int N>
class QuorTaskThread : public OSThread {
public:
    QuorTaskThread() : fTimerHeap(1024) {}
    ~QuorTaskThread() override { StopAndWaitForThread(); }

    void Entry() override;
    int GetTemplateID() override { return N; }

    // Queues a task on this thread (wakes it).
    void EnQueueTask(QuorTask<N>* task) { fTaskQueue.EnQueue(&task->fTaskQueueElem); }

protected:
    void WakeForStop() override { fTaskQueue.WakeAll(); }

public:
    OSQueue_Blocking fBreakPointReadyList;
    OSQueue_Blocking fSuccessList;
    OSMutex fListMutex;
    OSQueueElem fThreadElem;

private:
    QuorTask<N>* WaitForTask();
    // One task's turn on this thread: runs it, re-runs it while new events
    // arrive, and files it as idle, timed, requeued or dead.
    void RunTask(QuorTask<N>* task);
    int64_t RunPass(QuorTask<N>* task);

    OSHeap fTimerHeap;
    OSQueue_Blocking fTaskQueue;
    int64_t fFairnessTime = 0;
    uint32_t fFairnessCount = 0;
};

template <int N>
class QuorTaskThreadPool {
public:
    // Creates the pool's threads once; a thread that fails to start is not
    // kept (the pool has the threads that run). A second call does nothing.
    // Returns 1.
    static int AddThreads(uint32_t count, int priority);
    static uint32_t GetNumThreads() { return sNumTaskThreads.load(std::memory_order_acquire); }
    static QuorTaskThread<N>* GetThread(uint32_t index)
    {
        return index < GetNumThreads() ? sTaskThreadArray[index] : nullptr;
    }
    static OSMutexRW* GetMutexRW() { return sMutexRW; }

    static QuorTaskThread<N>** sTaskThreadArray;
    static std::atomic<uint32_t> sNumTaskThreads;
    static OSMutexRW* sMutexRW;
    static int32_t s32PlanTime;
    static uint16_t sUcontextEnable;

private:
    // Never destroyed: pool threads run until the process ends.
    static OSMutex& StartMutex() { return OSLifetimeMutex<QuorTaskThreadPool>(); }
    // Pools whose tasks pause through the idle timer get its thread with
    // their task threads (defined with the idle task).
    static void StartIdleThread();
};

// ---------------------------------------------------------------------------
// QuorTask

template <int N> std::atomic<uint32_t> QuorTask<N>::sThreadPicker{0};

template <int N>
QuorTask<N>::QuorTask() : fBreakPointElem(this), fWakeElem(this), fTaskQueueElem(this)
{
    SetTaskName("unknown");
}

template <int N>
QuorTask<N>::~QuorTask()
{
    // A task destroyed while queued must not stay linked into its thread.
    if (fTaskQueueElem.IsMemberOfAnyQueue())
        MyAssertAt("../lib/include/QuorUtilLib/QuorTask", __LINE__);
}

template <int N>
void QuorTask<N>::SetTaskName(const char* name)
{
    OSMutexLocker locker(&fEventMutex);
    snprintf(fStateName, sizeof(fStateName), "%s%s", sTaskStateStr, name != nullptr ? name : "unknown");
}

template <int N>
bool QuorTask<N>::IsAlive()
{
    OSMutexLocker locker(&fEventMutex);
    return strncmp(fStateName, sTaskStateStr, 5) == 0;
}

template <int N>
bool QuorTask<N>::IsIdle()
{
    OSMutexLocker locker(&fEventMutex);
    return (fEvents & TASK_EVT_SCHEDULED) == 0;
}

template <int N>
uint32_t QuorTask<N>::GetEvents()
{
    OSMutexLocker locker(&fEventMutex);
    uint32_t events = fEvents & ~TASK_EVT_SCHEDULED;
    fEvents &= TASK_EVT_SCHEDULED;
    return events;
}

template <int N>
QuorTaskThread<N>* QuorTask<N>::PickThread(uint32_t hint, bool hinted)
{
    QuorTaskThread<N>* pinned = fPinnedThread.load();
    if (pinned != nullptr)
        return pinned;
    uint32_t count = QuorTaskThreadPool<N>::GetNumThreads();
    uint32_t ticket = sThreadPicker.fetch_add(1, std::memory_order_relaxed) + 1;
    if (hinted && count > 2) {
        if (hint != 0)
            return QuorTaskThreadPool<N>::sTaskThreadArray[count - 1];
        return QuorTaskThreadPool<N>::sTaskThreadArray[ticket % (count - 1)];
    }
    return QuorTaskThreadPool<N>::sTaskThreadArray[ticket % count];
}

template <int N>
void QuorTask<N>::SignalOnThread(uint32_t events, uint32_t hint, bool hinted)
{
    {
        OSMutexLocker locker(&fEventMutex);
        if (strncmp(fStateName, sTaskStateStr, 5) != 0)
            return;
        if (QuorTaskThreadPool<N>::GetNumThreads() == 0) {
            // No threads yet: keep the bits, but leave the task unscheduled
            // so the first signal after the threads exist queues it.
            fEvents |= events & ~TASK_EVT_SCHEDULED;
            return;
        }
        uint32_t old = fEvents;
        fEvents = old | TASK_EVT_SCHEDULED | events;
        if (old & TASK_EVT_SCHEDULED)
            return;
    }
    PickThread(hint, hinted)->EnQueueTask(this);
}

template <int N>
void QuorTask<N>::Signal(uint32_t events)
{
    SignalOnThread(events, 0, false);
}

template <int N>
void QuorTask<N>::Signal(uint32_t events, uint32_t hint)
{
    SignalOnThread(events, hint, true);
}

template <int N>
void QuorTask<N>::EnqueueOnThread(void* thread, OSQueue_Blocking QuorTaskThread<N>::*list)
{
    QuorTaskThread<N>* owner = static_cast<QuorTaskThread<N>*>(thread);
    if (owner == nullptr)
        return;
    OSMutexLocker locker(&owner->fListMutex);
    (owner->*list).EnQueue(&fBreakPointElem);
}

template <int N>
void QuorTask<N>::AddTaskToBreakPointReadyTaskList(void* thread)
{
    // Coroutine mode is never switched on in this system.
    EnqueueOnThread(thread, &QuorTaskThread<N>::fBreakPointReadyList);
}

template <int N>
void QuorTask<N>::AddTaskToSuccessTaskList(void* thread)
{
    EnqueueOnThread(thread, &QuorTaskThread<N>::fSuccessList);
}

// ---------------------------------------------------------------------------
// QuorTaskThread

template <int N>
QuorTask<N>* QuorTaskThread<N>::WaitForTask()
{
    for (;;) {
        int64_t now = OS::Milliseconds();
        if (now - fFairnessTime >= 2000) {
            // Fairness mode: a thread kept busy by due timers still serves
            // its queue.
            if (++fFairnessCount > 10) {
                fFairnessTime = now;
                fFairnessCount = 0;
            }
            OSQueueElem* elem = fTaskQueue.DeQueue();
            if (elem != nullptr)
                return static_cast<QuorTask<N>*>(elem->GetEnclosingObject());
            fFairnessTime = now;
            fFairnessCount = 0;
        } else {
            OSHeapElem* earliest = fTimerHeap.PeekMin();
            if (earliest != nullptr && earliest->GetValue() <= now) {
                fTimerHeap.Extract(1);
                return static_cast<QuorTask<N>*>(earliest->GetEnclosingObject());
            }
            // Sleep until signalled, until the earliest timer is due, or
            // until a stop is requested: no wake-up without a reason.
            int64_t wait = -1;
            if (earliest != nullptr) {
                wait = earliest->GetValue() - now;
                if (wait <= 0)
                    MyAssertAt("QuorTask", 935);
                if (wait > INT32_MAX)
                    wait = INT32_MAX;
            }
            fFairnessTime = now;
            OSQueueElem* elem = fTaskQueue.DeQueueBlocking(this, (int32_t)wait);
            if (elem != nullptr)
                return static_cast<QuorTask<N>*>(elem->GetEnclosingObject());
        }
        if (IsStopRequested())
            return nullptr;
    }
}

template <int N>
int64_t QuorTaskThread<N>::RunPass(QuorTask<N>* task)
{
    task->fPinnedThread.store(nullptr);
    OSMutexRW* lock = QuorTaskThreadPool<N>::sMutexRW;
    bool exclusive = task->fExclusive.load() != 0;
    if (exclusive)
        lock->LockWrite();
    else
        lock->LockRead();
    OSThread::JobBeginMonitor(QuorTaskThreadPool<N>::s32PlanTime);
    int64_t result = task->Run();
    OSThread::JobEndMonitor();
    lock->Unlock();
    // The task may be gone once a negative result is seen; only touch it
    // again when it lives on.
    if (result >= 0) {
        if (exclusive)
            task->fExclusive.store(0);
        task->fLastThread.store(this);
    }
    return result;
}

template <int N>
void QuorTaskThread<N>::RunTask(QuorTask<N>* task)
{
    task->fRunBudgetLeft = task->fRunBudget.load(std::memory_order_relaxed);
    for (;;) {
        int64_t result = RunPass(task);
        if (result < 0) {
            {
                OSMutexLocker locker(&task->fEventMutex);
                task->fStateName[0] = 'D';
            }
            delete task;
            return;
        }
        if (result > 0) {
            task->fWakeElem.SetValue(OS::Milliseconds() + result);
            fTimerHeap.Insert(&task->fWakeElem);
            OSMutexLocker locker(&task->fEventMutex);
            task->fEvents |= TASK_EVT_TIMER;
            return;
        }
        {
            OSMutexLocker locker(&task->fEventMutex);
            if (task->fEvents == TASK_EVT_SCHEDULED) {
                task->fEvents = 0;
                return;
            }
            // New events arrived during the run.
            if (task->fRunBudgetLeft != 0 && --task->fRunBudgetLeft == 0) {
                fTaskQueue.EnQueue(&task->fTaskQueueElem);
                return;
            }
        }
        OSThread::ThreadYield();
    }
}

template <int N>
void QuorTaskThread<N>::Entry()
{
    for (;;) {
        QuorTask<N>* task = WaitForTask();
        if (task == nullptr)
            break;
        if (!task->IsAlive()) {
            // Cannot happen while the task invariants hold; skip it and keep
            // the thread serving the others.
            MyAssertAt("../lib/include/QuorUtilLib/QuorTask", __LINE__);
            continue;
        }
        RunTask(task);
        OSThread::ThreadYield();
    }
}

// ---------------------------------------------------------------------------
// QuorTaskThreadPool

template <int N> QuorTaskThread<N>** QuorTaskThreadPool<N>::sTaskThreadArray = nullptr;
template <int N> std::atomic<uint32_t> QuorTaskThreadPool<N>::sNumTaskThreads{0};
template <int N> OSMutexRW* QuorTaskThreadPool<N>::sMutexRW = nullptr;
template <int N> int32_t QuorTaskThreadPool<N>::s32PlanTime = 0;
template <int N> uint16_t QuorTaskThreadPool<N>::sUcontextEnable = 0;

template <int N>
int QuorTaskThreadPool<N>::AddThreads(uint32_t count, int priority)
{
    OSMutexLocker locker(&StartMutex());
    if (sTaskThreadArray != nullptr)
        return 1;
    sMutexRW = new OSMutexRW;
    sTaskThreadArray = new QuorTaskThread<N>*[count > 0 ? count : 1]();
    uint32_t started = 0;
    for (uint32_t i = 0; i < count; i++) {
        QuorTaskThread<N>* thread = new QuorTaskThread<N>;
        if (!thread->Start()) {
            // A thread that did not start would take tasks and never run them.
            printf("Thread Start failed, ThreadPool[%d], thread[%u] not added\n", N, i);
            delete thread;
            continue;
        }
        sTaskThreadArray[started++] = thread;
        if (priority > 0) {
            int err = thread->SetPriority(priority);
            if (err != 0)
                printf("Thread SetPriority return err[%d], inPriority[%d], ThreadPool[%d]\n", err, priority, N);
        }
    }
    StartIdleThread();
    sNumTaskThreads.store(started, std::memory_order_release);
    return 1;
}

#include "QuorIdleTask.h"

#endif
