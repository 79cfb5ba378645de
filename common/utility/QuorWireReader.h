// Reads big-endian fields from received message bytes, strictly within the
// number of bytes received: a read that would pass the end fails and leaves
// the position where it was.
#ifndef QUOR_WIRE_READER_H
#define QUOR_WIRE_READER_H

#include <cstdint>
#include <cstring>

class QuorWireReader {
public:
    // Outcome of reading a length-prefixed text.
    enum TextResult {
        TEXT_OK = 0,
        TEXT_PAST_END,   // the length word or the text ends beyond the bytes
        TEXT_BAD_WORD,   // length word below 4 (it counts itself)
        TEXT_TOO_LONG    // the text does not fit the field with its NUL
    };

    QuorWireReader(const char* data, uint32_t size)
        : fData(reinterpret_cast<const unsigned char*>(data)), fSize(data != nullptr ? size : 0)
    {
    }

    uint32_t Position() const { return fPos; }
    uint32_t Remaining() const { return fSize - fPos; }

    bool Skip(uint32_t count)
    {
        if (count > Remaining())
            return false;
        fPos += count;
        return true;
    }
    bool U8(uint8_t* value)
    {
        uint32_t v;
        if (!Number(1, &v))
            return false;
        *value = (uint8_t)v;
        return true;
    }
    bool U16(uint16_t* value)
    {
        uint32_t v;
        if (!Number(2, &v))
            return false;
        *value = (uint16_t)v;
        return true;
    }
    bool U32(uint32_t* value) { return Number(4, value); }

    // Reads a length word (n + 4) and the n text bytes behind it into field
    // (fieldSize bytes), terminated. *textLen receives the length word minus 4
    // (wrapping for a bad word) whenever the word could be read. On any result
    // but TEXT_OK the field is left as it was; the position moves past the
    // length word only when the word could be read.
    TextResult Text(char* field, uint32_t fieldSize, uint32_t* textLen)
    {
        uint32_t word;
        if (!U32(&word))
            return TEXT_PAST_END;
        uint32_t n = word - 4;
        *textLen = n;
        if (word < 4)
            return TEXT_BAD_WORD;
        if (fieldSize == 0 || n >= fieldSize)
            return TEXT_TOO_LONG;
        if (n > Remaining())
            return TEXT_PAST_END;
        memcpy(field, fData + fPos, n);
        field[n] = '\0';
        fPos += n;
        return TEXT_OK;
    }

private:
    bool Number(uint32_t width, uint32_t* value)
    {
        if (width > Remaining())
            return false;
        uint32_t v = 0;
        for (uint32_t i = 0; i < width; ++i)
            v = (v << 8) | fData[fPos + i];
        fPos += width;
        *value = v;
        return true;
    }

    const unsigned char* fData;
    uint32_t fSize;
    uint32_t fPos = 0;
};

#endif
