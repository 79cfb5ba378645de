#include "StrSpan.h"

#include <strings.h>
#include <new>

char* StrSpan::GetAsCString() const
{
    char* copy = new (std::nothrow) char[Len + 1];
    if (copy == nullptr)
        return nullptr;
    if (Len > 0 && Ptr != nullptr)
        memcpy(copy, Ptr, Len);
    copy[Len] = '\0';
    return copy;
}

bool StrSpan::Equal(const char* text) const
{
    if (text == nullptr)
        return Len == 0;
    size_t len = strlen(text);
    return len == Len && (Len == 0 || memcmp(Ptr, text, Len) == 0);
}

bool StrSpan::Equal(const StrSpan& other) const
{
    return other.Len == Len && (Len == 0 || memcmp(Ptr, other.Ptr, Len) == 0);
}

bool StrSpan::EqualIgnoreCase(const char* text, uint32_t len) const
{
    return len == Len && (Len == 0 || strncasecmp(Ptr, text, Len) == 0);
}
