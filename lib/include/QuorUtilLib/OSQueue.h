// Intrusive FIFO queues of the utility layer.
#ifndef QUOR_OSQUEUE_H
#define QUOR_OSQUEUE_H

#include <cstdint>
#include "OSMutex.h"

class OSQueue;
class OSThread;

// A link that an object carries to sit in one queue at a time.
class OSQueueElem {
public:
    explicit OSQueueElem(void* enclosing = nullptr) : fEnclosingObject(enclosing) {}
    ~OSQueueElem();
    OSQueueElem(const OSQueueElem&) = delete;
    OSQueueElem& operator=(const OSQueueElem&) = delete;

    void* GetEnclosingObject() const { return fEnclosingObject; }
    void SetEnclosingObject(void* obj) { fEnclosingObject = obj; }
    OSQueue* InQueue() const { return fQueue; }
    bool IsMemberOfAnyQueue() const { return fQueue != nullptr; }
    OSQueueElem* Next() const { return fNext; }
    OSQueueElem* Prev() const { return fPrev; }

private:
    friend class OSQueue;
    OSQueueElem* fNext = nullptr;
    OSQueueElem* fPrev = nullptr;
    OSQueue* fQueue = nullptr;
    void* fEnclosingObject;
};

// Not thread safe on its own; callers lock.
class OSQueue {
public:
    OSQueue() = default;
    OSQueue(const OSQueue&) = delete;
    OSQueue& operator=(const OSQueue&) = delete;

    // Appends; an element already in a queue is refused (returns false).
    bool EnQueue(OSQueueElem* elem);
    // Takes the head, or null when empty.
    OSQueueElem* DeQueue();
    // Unlinks elem when it is in this queue.
    void Remove(OSQueueElem* elem);
    OSQueueElem* GetHead() const { return fHead; }
    OSQueueElem* GetTail() const { return fTail; }
    uint32_t GetLength() const { return fLength; }

private:
    OSQueueElem* fHead = nullptr;
    OSQueueElem* fTail = nullptr;
    uint32_t fLength = 0;
};

// Walks a queue from head to tail.
class OSQueueIter {
public:
    explicit OSQueueIter(OSQueue* queue) : fCurrent(queue->GetHead()) {}
    OSQueueElem* GetCurrent() const { return fCurrent; }
    bool IsDone() const { return fCurrent == nullptr; }
    void Next()
    {
        if (fCurrent != nullptr)
            fCurrent = fCurrent->Next();
    }

private:
    OSQueueElem* fCurrent;
};

// A queue with its own mutex and condition.
class OSQueue_Blocking {
public:
    OSQueue_Blocking() = default;
    // Appends and wakes one waiter.
    bool EnQueue(OSQueueElem* elem);
    // Takes the head without waiting; null when empty.
    OSQueueElem* DeQueue();
    // Waits up to timeoutMs for an element; null after the timeout. A
    // negative timeout waits without a limit. With a thread given, the wait
    // also ends (null) once its stop request is set and WakeAll is called.
    OSQueueElem* DeQueueBlocking(OSThread* thread, int32_t timeoutMs);
    // Wakes every waiter (they look at their stop requests).
    void WakeAll();
    void Remove(OSQueueElem* elem);
    uint32_t GetLength();
    OSMutex* GetMutex() { return &fMutex; }
    OSQueue* GetQueue() { return &fQueue; }

private:
    OSMutex fMutex;
    OSCond fCond;
    OSQueue fQueue;
};

#endif
