// Reads a file at given offsets.
#ifndef QUOR_OSFILESOURCE_H
#define QUOR_OSFILESOURCE_H

#include "OSNonCopyable.h"

#include <cstdint>

class OSFileSource : private OSNonCopyable {
public:
    OSFileSource() = default;
    ~OSFileSource() { Close(); }

    // Opens path for reading; the length is 0 when it cannot be opened.
    void Set(const char* path);
    // 0 on success (got may be short at the end of the file), else the error number.
    int Read(uint64_t offset, void* buffer, uint32_t length, uint32_t* got);
    void Close();
    bool IsOpen() const { return fFD >= 0; }
    uint64_t GetLength() const { return fLength; }

private:
    int fFD = -1;
    uint64_t fLength = 0;
};

#endif
