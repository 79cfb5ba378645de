// Intel HEX text of a flash image, as the MCU's bank files carry it: for the
// simulated board's test images and the benchmarks. Data records of at most
// `recordBytes` bytes (1 to 255) cover the chosen pages of a 64 KiB image,
// followed by the end record; digits in upper or lower case, CR LF endings.
#ifndef VELMAR_SIM_SIMHEXIMAGE_H
#define VELMAR_SIM_SIMHEXIMAGE_H

#include <cstdint>
#include <string>
#include <vector>

// One 64 KiB image; pages not chosen read 0xFF.
struct SimFlashImage {
    std::string bytes = std::string(0x10000, '\xFF');

    // Fills pages [first, last] with bytes from a seeded generator.
    void FillPages(unsigned first, unsigned last, uint32_t seed);
    // The 512 bytes of pages page and page + 1.
    std::string Block(unsigned page) const { return bytes.substr(page * 256u, 512); }
};

// One record: count, address, type, data and the checksum that makes the
// bytes sum to 0 modulo 256; ":" first, CR LF last.
std::string SimHexRecord(unsigned address, unsigned type, const std::string& data, bool lowerCase = false);
// Records for every byte of pages [first, last] of the image, then the end
// record.
std::string SimHexOfPages(const SimFlashImage& image, unsigned first, unsigned last, unsigned recordBytes = 16,
                          bool lowerCase = false);
// Records for every page holding a byte other than 0xFF, then the end record.
std::string SimHexOfImage(const SimFlashImage& image, unsigned recordBytes = 16, bool lowerCase = false);

#endif
