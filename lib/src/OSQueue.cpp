#include "OSQueue.h"

#include "MyAssert.h"
#include "OSThread.h"

OSQueueElem::~OSQueueElem()
{
    if (fQueue != nullptr) {
        // Destroying a linked element would leave its queue pointing at freed memory.
        MyAssertAt("../lib/include/QuorUtilLib/OSQueue", 51);
        fQueue->Remove(this);
    }
}

bool OSQueue::EnQueue(OSQueueElem* elem)
{
    if (elem == nullptr || elem->fQueue != nullptr) {
        MyAssertAt("../lib/include/QuorUtilLib/OSQueue", __LINE__);
        return false;
    }
    elem->fNext = nullptr;
    elem->fPrev = fTail;
    if (fTail != nullptr)
        fTail->fNext = elem;
    else
        fHead = elem;
    fTail = elem;
    elem->fQueue = this;
    fLength++;
    return true;
}

OSQueueElem* OSQueue::DeQueue()
{
    OSQueueElem* elem = fHead;
    if (elem != nullptr)
        Remove(elem);
    return elem;
}

void OSQueue::Remove(OSQueueElem* elem)
{
    if (elem == nullptr || elem->fQueue != this)
        return;
    if (elem->fPrev != nullptr)
        elem->fPrev->fNext = elem->fNext;
    else
        fHead = elem->fNext;
    if (elem->fNext != nullptr)
        elem->fNext->fPrev = elem->fPrev;
    else
        fTail = elem->fPrev;
    elem->fNext = elem->fPrev = nullptr;
    elem->fQueue = nullptr;
    fLength--;
}

bool OSQueue_Blocking::EnQueue(OSQueueElem* elem)
{
    OSMutexLocker locker(&fMutex);
    bool queued = fQueue.EnQueue(elem);
    if (queued)
        fCond.Signal();
    return queued;
}

OSQueueElem* OSQueue_Blocking::DeQueue()
{
    OSMutexLocker locker(&fMutex);
    return fQueue.DeQueue();
}

OSQueueElem* OSQueue_Blocking::DeQueueBlocking(OSThread* thread, int32_t timeoutMs)
{
    OSMutexLocker locker(&fMutex);
    // The stop request is read under the mutex that WakeAll takes, so a
    // stop sent just before the wait is never missed.
    bool stopping = thread != nullptr && thread->IsStopRequested();
    if (fQueue.GetLength() == 0 && !stopping) {
        if (timeoutMs < 0)
            fCond.Wait(&fMutex, 0);  // no limit: until an element or a wake
        else
            fCond.Wait(&fMutex, timeoutMs > 0 ? timeoutMs : 1);
    }
    return fQueue.DeQueue();
}

void OSQueue_Blocking::WakeAll()
{
    OSMutexLocker locker(&fMutex);
    fCond.Broadcast();
}

void OSQueue_Blocking::Remove(OSQueueElem* elem)
{
    OSMutexLocker locker(&fMutex);
    fQueue.Remove(elem);
}

uint32_t OSQueue_Blocking::GetLength()
{
    OSMutexLocker locker(&fMutex);
    return fQueue.GetLength();
}
