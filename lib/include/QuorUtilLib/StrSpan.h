// A pointer and a length into text owned by someone else.
#ifndef QUOR_STRSPAN_H
#define QUOR_STRSPAN_H

#include <cstdint>
#include <cstring>

struct StrSpan {
    char* Ptr = nullptr;
    uint32_t Len = 0;

    StrSpan() = default;
    StrSpan(char* ptr, uint32_t len) : Ptr(ptr), Len(len) {}
    explicit StrSpan(char* text) : Ptr(text), Len(text ? (uint32_t)strlen(text) : 0) {}

    void Set(char* ptr, uint32_t len) { Ptr = ptr; Len = len; }
    // A new NUL-terminated copy the caller deletes with delete[].
    char* GetAsCString() const;
    bool Equal(const char* text) const;
    bool Equal(const StrSpan& other) const;
    bool EqualIgnoreCase(const char* text, uint32_t len) const;
};

#endif
