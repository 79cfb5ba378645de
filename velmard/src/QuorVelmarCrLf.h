// Pieces of CR LF line framing shared by the serial line framer and the
// command-port sessions: both hold the bytes of a line in a fixed buffer
// and skip the rest of a line that could not fit.
#ifndef QUOR_VELMAR_CRLF_H
#define QUOR_VELMAR_CRLF_H

#include <cstdint>
#include <cstring>

// The first CR LF among the length bytes of text; null when there is none.
inline const char* FindCrLf(const char* text, uint32_t length)
{
    return static_cast<const char*>(memmem(text, length, "\r\n", 2));
}

// Drops the first count of the *held bytes of buffer: the rest moves to the
// front, with a terminator behind it (the buffer keeps room for one).
inline void DropFront(char* buffer, uint32_t* held, uint32_t count)
{
    if (count == 0)
        return;
    *held -= count;
    memmove(buffer, buffer + count, *held);
    buffer[*held] = '\0';
}

// Skips bytes (length > 0) up to and including the CR LF that ends a
// discarded line; *skippedCr says the last byte skipped before was its CR.
// *skipping ends with the line. Returns the bytes skipped.
inline uint32_t SkipToLineEnd(const char* bytes, uint32_t length, bool* skipping, bool* skippedCr)
{
    uint32_t skipped = length;
    if (*skippedCr && bytes[0] == '\n') {
        skipped = 1;
    } else if (const char* crlf = FindCrLf(bytes, length)) {
        skipped = static_cast<uint32_t>(crlf - bytes) + 2;
    } else {
        *skippedCr = bytes[length - 1] == '\r';
        return skipped;
    }
    *skipping = false;
    *skippedCr = false;
    return skipped;
}

#endif
