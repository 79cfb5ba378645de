// Writes big-endian fields into a message block of known capacity. A write
// that would pass the capacity writes nothing and marks the writer failed.
#ifndef QUOR_WIRE_WRITER_H
#define QUOR_WIRE_WRITER_H

#include <cstdint>
#include <cstring>

class QuorWireWriter {
public:
    QuorWireWriter(char* block, uint32_t capacity)
        : fData(reinterpret_cast<unsigned char*>(block)), fCapacity(block != nullptr ? capacity : 0)
    {
    }

    bool Ok() const { return fOk; }
    uint32_t Position() const { return fPos; }

    void U8(uint8_t value) { Number(1, value); }
    void U16(uint16_t value) { Number(2, value); }
    void U32(uint32_t value) { Number(4, value); }

    // count bytes of data, or count zero bytes when data is null.
    void Bytes(const char* data, uint32_t count)
    {
        if (!Fits(count))
            return;
        if (data != nullptr)
            memcpy(fData + fPos, data, count);
        else
            memset(fData + fPos, 0, count);
        fPos += count;
    }

    // A text item: length word (count + 4), then the count bytes.
    void Text(const char* text, uint32_t count)
    {
        if (count > UINT32_MAX - 4 || !Fits(4 + count)) {
            fOk = false;
            return;
        }
        U32(count + 4);
        Bytes(text, count);
    }

private:
    bool Fits(uint32_t count)
    {
        if (fOk && count <= fCapacity - fPos)
            return true;
        fOk = false;
        return false;
    }
    void Number(uint32_t width, uint32_t value)
    {
        if (!Fits(width))
            return;
        for (uint32_t i = 0; i < width; ++i)
            fData[fPos + i] = (unsigned char)(value >> (8 * (width - 1 - i)));
        fPos += width;
    }

    unsigned char* fData;
    uint32_t fCapacity;
    uint32_t fPos = 0;
    bool fOk = true;
};

#endif
