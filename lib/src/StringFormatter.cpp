#include "StringFormatter.h"

#include <new>

bool StringFormatter::Put(const char* data, uint32_t length)
{
    if (length > GetSpaceLeft() && !BufferIsFull(length)) {
        uint32_t fit = GetSpaceLeft();
        if (fit > 0)
            memcpy(fCurrent, data, fit);
        fCurrent += fit;
        return false;
    }
    if (length > 0)
        memcpy(fCurrent, data, length);
    fCurrent += length;
    return true;
}

bool StringFormatter::PutTerminator()
{
    if (GetSpaceLeft() == 0 && !BufferIsFull(1))
        return false;
    *fCurrent = '\0';
    return true;
}

ResizeableStringFormatter::ResizeableStringFormatter(uint32_t initial) : StringFormatter(nullptr, 0)
{
    char* buffer = new (std::nothrow) char[initial > 0 ? initial : 1];
    if (buffer != nullptr) {
        fStart = fCurrent = buffer;
        fEnd = buffer + (initial > 0 ? initial : 1);
    }
}

ResizeableStringFormatter::~ResizeableStringFormatter()
{
    delete[] fStart;
}

bool ResizeableStringFormatter::BufferIsFull(uint32_t needed)
{
    uint32_t used = GetCurrentOffset();
    uint64_t size = GetTotalBufferSize() > 0 ? GetTotalBufferSize() : 64;
    while (size < (uint64_t)used + needed + 1)
        size *= 2;
    if (size > 0xFFFFFFFFull)
        return false;
    char* grown = new (std::nothrow) char[size];
    if (grown == nullptr)
        return false;
    if (used > 0)
        memcpy(grown, fStart, used);
    delete[] fStart;
    fStart = grown;
    fCurrent = grown + used;
    fEnd = grown + size;
    return true;
}
