// Appends text into a buffer; the resizeable form grows as needed.
#ifndef QUOR_STRINGFORMATTER_H
#define QUOR_STRINGFORMATTER_H

#include <cstdint>
#include <cstring>

class StringFormatter {
public:
    StringFormatter(char* buffer, uint32_t length) : fStart(buffer), fCurrent(buffer), fEnd(buffer + length) {}
    virtual ~StringFormatter() = default;
    StringFormatter(const StringFormatter&) = delete;
    StringFormatter& operator=(const StringFormatter&) = delete;

    // Appends length bytes; returns false (and appends what fits) when full.
    bool Put(const char* data, uint32_t length);
    bool Put(const char* text) { return Put(text, (uint32_t)strlen(text)); }
    bool PutChar(char c) { return Put(&c, 1); }
    // Appends a NUL without counting it in the length; false when no room.
    bool PutTerminator();
    char* GetBufPtr() const { return fStart; }
    uint32_t GetCurrentOffset() const { return (uint32_t)(fCurrent - fStart); }
    uint32_t GetSpaceLeft() const { return (uint32_t)(fEnd - fCurrent); }
    uint32_t GetTotalBufferSize() const { return (uint32_t)(fEnd - fStart); }
    void Reset() { fCurrent = fStart; }

protected:
    // Called when data does not fit; returns true after making room.
    virtual bool BufferIsFull(uint32_t needed) { (void)needed; return false; }

    char* fStart;
    char* fCurrent;
    char* fEnd;
};

class ResizeableStringFormatter : public StringFormatter {
public:
    explicit ResizeableStringFormatter(uint32_t initial = 64);
    ~ResizeableStringFormatter() override;

protected:
    bool BufferIsFull(uint32_t needed) override;
};

#endif
