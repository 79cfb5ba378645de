// Binary min-heap keyed by signed 64-bit values; 1-based.
#ifndef QUOR_OSHEAP_H
#define QUOR_OSHEAP_H

#include "OSNonCopyable.h"

#include <cstdint>

class OSHeap;

class OSHeapElem {
public:
    explicit OSHeapElem(void* enclosing = nullptr) : fEnclosingObject(enclosing) {}
    OSHeapElem(const OSHeapElem&) = delete;
    OSHeapElem& operator=(const OSHeapElem&) = delete;

    void SetValue(int64_t value) { fValue = value; }
    int64_t GetValue() const { return fValue; }
    void* GetEnclosingObject() const { return fEnclosingObject; }
    void SetEnclosingObject(void* obj) { fEnclosingObject = obj; }
    bool IsMemberOfAnyHeap() const { return fCurrentHeap != nullptr; }

private:
    friend class OSHeap;
    int64_t fValue = 0;
    void* fEnclosingObject;
    OSHeap* fCurrentHeap = nullptr;
    uint32_t fIndex = 0;
};

// Not thread safe on its own; callers lock. Grows past its initial capacity.
class OSHeap : private OSNonCopyable {
public:
    explicit OSHeap(uint32_t capacity = 1024);
    ~OSHeap();

    // Inserts; false when the element is already in a heap or memory ran out.
    bool Insert(OSHeapElem* elem);
    // Takes the element at index (1 = the minimum); null when out of range.
    OSHeapElem* Extract(uint32_t index = 1);
    // Removes elem when it is in this heap; returns it, or null.
    OSHeapElem* Remove(OSHeapElem* elem);
    // The minimum without removing it; null when empty.
    OSHeapElem* PeekMin() const { return fFreeIndex > 1 ? fHeap[1] : nullptr; }
    // Number of elements.
    uint32_t CurrentHeapSize() const { return fFreeIndex - 1; }
    // The next free index: 1 when empty.
    uint32_t FreeIndex() const { return fFreeIndex; }

private:
    void SiftUp(uint32_t index);
    void SiftDown(uint32_t index);
    void Place(OSHeapElem* elem, uint32_t index);

    OSHeapElem** fHeap;
    uint32_t fFreeIndex = 1;
    uint32_t fArraySize;
};

#endif
