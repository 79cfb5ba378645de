#include "OSHeap.h"

#include <cstring>
#include <new>

OSHeap::OSHeap(uint32_t capacity) : fArraySize(capacity < 2 ? 2 : capacity + 1)
{
    fHeap = new (std::nothrow) OSHeapElem*[fArraySize];
    if (fHeap == nullptr)
        fArraySize = 0;
    else
        memset(fHeap, 0, sizeof(OSHeapElem*) * fArraySize);
}

OSHeap::~OSHeap()
{
    for (uint32_t i = 1; i < fFreeIndex; i++)
        fHeap[i]->fCurrentHeap = nullptr;
    delete[] fHeap;
}

void OSHeap::Place(OSHeapElem* elem, uint32_t index)
{
    fHeap[index] = elem;
    elem->fIndex = index;
}

bool OSHeap::Insert(OSHeapElem* elem)
{
    if (elem == nullptr || elem->fCurrentHeap != nullptr)
        return false;
    if (fFreeIndex >= fArraySize) {
        // Grow rather than write past the end.
        uint32_t newSize = fArraySize < 2 ? 16 : fArraySize * 2;
        OSHeapElem** grown = new (std::nothrow) OSHeapElem*[newSize];
        if (grown == nullptr)
            return false;
        memset(grown, 0, sizeof(OSHeapElem*) * newSize);
        if (fHeap != nullptr)
            memcpy(grown, fHeap, sizeof(OSHeapElem*) * fFreeIndex);
        delete[] fHeap;
        fHeap = grown;
        fArraySize = newSize;
    }
    elem->fCurrentHeap = this;
    Place(elem, fFreeIndex);
    fFreeIndex++;
    SiftUp(fFreeIndex - 1);
    return true;
}

OSHeapElem* OSHeap::Extract(uint32_t index)
{
    if (index < 1 || index >= fFreeIndex)
        return nullptr;
    OSHeapElem* victim = fHeap[index];
    fFreeIndex--;
    if (index != fFreeIndex) {
        Place(fHeap[fFreeIndex], index);
        SiftDown(index);
        SiftUp(index);
    }
    fHeap[fFreeIndex] = nullptr;
    victim->fCurrentHeap = nullptr;
    victim->fIndex = 0;
    return victim;
}

OSHeapElem* OSHeap::Remove(OSHeapElem* elem)
{
    if (elem == nullptr || elem->fCurrentHeap != this)
        return nullptr;
    return Extract(elem->fIndex);
}

void OSHeap::SiftUp(uint32_t index)
{
    OSHeapElem* elem = fHeap[index];
    while (index > 1 && fHeap[index / 2]->fValue > elem->fValue) {
        Place(fHeap[index / 2], index);
        index /= 2;
    }
    Place(elem, index);
}

void OSHeap::SiftDown(uint32_t index)
{
    OSHeapElem* elem = fHeap[index];
    for (;;) {
        uint32_t child = index * 2;
        if (child >= fFreeIndex)
            break;
        if (child + 1 < fFreeIndex && fHeap[child + 1]->fValue < fHeap[child]->fValue)
            child++;
        if (fHeap[child]->fValue >= elem->fValue)
            break;
        Place(fHeap[child], index);
        index = child;
    }
    Place(elem, index);
}
