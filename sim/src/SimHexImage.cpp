#include "SimHexImage.h"

#include <cstdio>

namespace {

const char* Format(bool lowerCase)
{
    return lowerCase ? "%02x" : "%02X";
}

void AppendByte(std::string* text, unsigned byte, bool lowerCase)
{
    char digits[3];
    snprintf(digits, sizeof digits, Format(lowerCase), byte & 0xFF);
    *text += digits;
}

std::string RecordsOf(const SimFlashImage& image, unsigned from, unsigned to, unsigned recordBytes, bool lowerCase)
{
    std::string text;
    if (recordBytes == 0 || recordBytes > 255)
        recordBytes = 16;
    for (unsigned address = from; address < to; address += recordBytes) {
        unsigned count = to - address < recordBytes ? to - address : recordBytes;
        text += SimHexRecord(address, 0, image.bytes.substr(address, count), lowerCase);
    }
    return text;
}

}  // namespace

void SimFlashImage::FillPages(unsigned first, unsigned last, uint32_t seed)
{
    uint32_t state = seed * 2654435761u + 1u;
    for (unsigned i = first * 256u; i < (last + 1) * 256u && i < bytes.size(); ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 16);
    }
}

std::string SimHexRecord(unsigned address, unsigned type, const std::string& data, bool lowerCase)
{
    std::string text = ":";
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + address + type;
    AppendByte(&text, static_cast<unsigned>(data.size()), lowerCase);
    AppendByte(&text, address >> 8, lowerCase);
    AppendByte(&text, address, lowerCase);
    AppendByte(&text, type, lowerCase);
    for (char c : data) {
        AppendByte(&text, static_cast<unsigned char>(c), lowerCase);
        sum += static_cast<unsigned char>(c);
    }
    AppendByte(&text, (0x100 - (sum & 0xFF)) & 0xFF, lowerCase);
    return text + "\r\n";
}

std::string SimHexOfPages(const SimFlashImage& image, unsigned first, unsigned last, unsigned recordBytes,
                          bool lowerCase)
{
    return RecordsOf(image, first * 256u, (last + 1) * 256u, recordBytes, lowerCase) +
           SimHexRecord(0, 1, std::string(), lowerCase);
}

std::string SimHexOfImage(const SimFlashImage& image, unsigned recordBytes, bool lowerCase)
{
    std::string text;
    for (unsigned page = 0; page < 256; ++page) {
        if (image.bytes.find_first_not_of('\xFF', page * 256u) < (page + 1) * 256u)
            text += RecordsOf(image, page * 256u, (page + 1) * 256u, recordBytes, lowerCase);
    }
    return text + SimHexRecord(0, 1, std::string(), lowerCase);
}
