// The MCU firmware image: a bank file in Intel HEX text, read whole into the
// file buffer and converted into a 64 KiB memory image of one flash bank
// (256 pages of 256 bytes), from which the programming task takes 512-byte
// blocks (QuorUpgradeTRM40Task.h).
//
// Records are lines: ":" followed by hexadecimal digit pairs (either letter
// case): byte count n, address high and low byte, type, n data bytes,
// checksum, then the line end (CR LF, LF, or the end of the text). Type 0
// places data, type 1 ends the file; other types (extended addresses) are
// ignored and logged, so an image covers the first 64 KiB of address space
// only. Empty lines are skipped.
//
// A file is checked whole before the image is touched, and refused (the
// record's line number in the log) unless every non-empty line is one
// record whose digit count matches its byte count, every record sums to 0
// modulo 256 and, for data, ends at or below 0x10000; an end record must be
// present with nothing but empty lines after it; the data records before it
// must place at least one byte, and one of them must start at page 1 or
// higher. A refused file leaves the previous image in place.
//
// The buffers are static (no allocation); the file buffer, the image and
// g_row belong to the one thread that converts (the programming task).
#ifndef QUOR_UPGRADE_FLASHIMAGE_H
#define QUOR_UPGRADE_FLASHIMAGE_H

#include <atomic>
#include <cstdint>

enum : uint32_t {
    QUOR_UPGRADE_FILE_MAX = 0x2D000,      // largest bank file (180 KiB)
    QUOR_FLASH_IMAGE_SIZE = 0x10000,      // one bank: 256 pages
    QUOR_FLASH_PAGE_SIZE = 0x100,
    QUOR_FLASH_BLOCK_SIZE = 0x200         // one write: two pages
};

extern char g_Filebuf[QUOR_UPGRADE_FILE_MAX];
extern unsigned char g_FlashBuf[QUOR_FLASH_IMAGE_SIZE];
// Page of the last data byte placed by the last conversion; the programming
// task adds 0x80 after each bank and clears it at the end.
extern std::atomic<uint32_t> g_row;

// Converts length bytes of HEX text into g_FlashBuf (uncovered bytes 0xFF).
// 0, or -1 (logged "######...") with the image unchanged.
int TransformDataOfFile(const char* buffer, int length);
// The value of two hexadecimal digit characters; a character that is not one
// gives 0 (logged at 10000).
unsigned char ASCIIToHEX(char high, char low);
// Copies pages page and page + 1 of the image (512 bytes) into out; a page
// above 254 copies nothing and gives -2, else 0.
int Get512BytesFlashData(unsigned char* out, uint32_t page);
// Replaces every blank among the first length characters by "0".
void fill0(char* text, uint32_t length);

// Reads the bank file at the board path into g_Filebuf and converts it.
// 0; -1 when the conversion fails; -2 when the file cannot be opened, its
// size read, is larger than the file buffer, or reading it fails. The file
// is closed on every path.
int QuorReadUpgradeFile(const char* path);

#endif
