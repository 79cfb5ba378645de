// Timed entries: a task owns a QuorSecTimeoutTask<N> to be signalled with
// TASK_EVT_TIMEOUT by its pool's single timeout task when its interval has
// passed.
#ifndef QUOR_QUORSECTIMEOUTTASK_H
#define QUOR_QUORSECTIMEOUTTASK_H

#include <atomic>
#include <new>

#include "QuorTask.h"

template <int N> class QuorSecTimeoutTaskThread;

template <int N>
class QuorSecTimeoutTask {
public:
    // Creates the pool's timeout task once and starts its first scan. Call
    // after the pool's threads exist.
    static void Initialize();

    // Arms the entry at now + seconds (disarmed for 0).
    QuorSecTimeoutTask(QuorTask<N>* task, uint32_t seconds);
    // A new entry for task armed at now + seconds, stored into slot (null
    // when there is no memory): true when it was made.
    static bool Start(QuorTask<N>* task, uint32_t seconds, std::atomic<QuorSecTimeoutTask*>& slot)
    {
        QuorSecTimeoutTask* entry = new (std::nothrow) QuorSecTimeoutTask(task, seconds);
        slot.store(entry);
        return entry != nullptr;
    }
    ~QuorSecTimeoutTask();
    QuorSecTimeoutTask(const QuorSecTimeoutTask&) = delete;
    QuorSecTimeoutTask& operator=(const QuorSecTimeoutTask&) = delete;

    // New interval; the entry is due at now + interval.
    void SetTimeOutMilSec(int64_t intervalMs)
    {
        fIntervalMs.store(intervalMs, std::memory_order_relaxed);
        fFireTime.store(OS::Milliseconds() + intervalMs, std::memory_order_relaxed);
    }
    // Re-arms for one more interval from now.
    void RefreshTimeout()
    {
        fFireTime.store(OS::Milliseconds() + fIntervalMs.load(std::memory_order_relaxed),
                        std::memory_order_relaxed);
    }
    // Never fires again until an interval is set.
    void Disarm()
    {
        fIntervalMs.store(0, std::memory_order_relaxed);
        fFireTime.store(0, std::memory_order_relaxed);
    }
    int64_t GetFireTime() const { return fFireTime.load(std::memory_order_relaxed); }
    int64_t GetIntervalMs() const { return fIntervalMs.load(std::memory_order_relaxed); }

    static std::atomic<QuorSecTimeoutTaskThread<N>*> sThread;

private:
    friend class QuorSecTimeoutTaskThread<N>;
    QuorTask<N>* fTask;
    std::atomic<int64_t> fFireTime{0};
    std::atomic<int64_t> fIntervalMs{0};
    OSQueueElem fQueueElem;
    bool fLinked = false;
};

template <int N>
class QuorSecTimeoutTaskThread : public QuorIdleTask<N> {
public:
    QuorSecTimeoutTaskThread() { this->SetTaskName("TimeoutTask"); }
    int64_t Run() override;

private:
    friend class QuorSecTimeoutTask<N>;
    OSMutex fEntriesMutex;
    OSQueue fEntries;
};

template <int N> std::atomic<QuorSecTimeoutTaskThread<N>*> QuorSecTimeoutTask<N>::sThread{nullptr};

template <int N>
void QuorSecTimeoutTask<N>::Initialize()
{
    static OSMutex* startMutex = new OSMutex;
    OSMutexLocker locker(startMutex);
    if (sThread.load() != nullptr)
        return;
    QuorSecTimeoutTaskThread<N>* thread = new QuorSecTimeoutTaskThread<N>;
    sThread.store(thread);
    thread->Signal(TASK_EVT_START);
}

template <int N>
QuorSecTimeoutTask<N>::QuorSecTimeoutTask(QuorTask<N>* task, uint32_t seconds)
    : fTask(task), fQueueElem(this)
{
    int64_t interval = (int64_t)seconds * 1000;
    fIntervalMs.store(interval, std::memory_order_relaxed);
    fFireTime.store(interval != 0 ? OS::Milliseconds() + interval : 0, std::memory_order_relaxed);
    QuorSecTimeoutTaskThread<N>* thread = sThread.load();
    if (thread == nullptr || task == nullptr) {
        // Without the pool's timeout task (or a task) the entry never fires.
        MyAssertAt("../lib/include/QuorUtilLib/QuorSecTimeoutTask", __LINE__);
        return;
    }
    OSMutexLocker locker(&thread->fEntriesMutex);
    thread->fEntries.EnQueue(&fQueueElem);
    fLinked = true;
}

template <int N>
QuorSecTimeoutTask<N>::~QuorSecTimeoutTask()
{
    QuorSecTimeoutTaskThread<N>* thread = sThread.load();
    if (!fLinked || thread == nullptr)
        return;
    OSMutexLocker locker(&thread->fEntriesMutex);
    thread->fEntries.Remove(&fQueueElem);
}

template <int N>
int64_t QuorSecTimeoutTaskThread<N>::Run()
{
    OSMutexLocker locker(&fEntriesMutex);
    int64_t now = OS::Milliseconds();
    // Wake 100 ms past the earliest armed entry, at most 1000 ms from now.
    int64_t wait = 1000;
    for (OSQueueIter iter(&fEntries); !iter.IsDone(); iter.Next()) {
        QuorSecTimeoutTask<N>* entry = static_cast<QuorSecTimeoutTask<N>*>(iter.GetCurrent()->GetEnclosingObject());
        int64_t fireTime = entry->fFireTime.load(std::memory_order_relaxed);
        if (fireTime > 0 && now >= fireTime) {
            // Stays due until the owner re-arms it.
            entry->fTask->Signal(TASK_EVT_TIMEOUT);
            continue;
        }
        int64_t remaining = fireTime - now;
        if (remaining > 0 && entry->fIntervalMs.load(std::memory_order_relaxed) > 0 && remaining + 100 < wait)
            wait = remaining + 100;
    }
    this->GetEvents();
    OSThread::ThreadYield();
    return wait;
}

#endif
