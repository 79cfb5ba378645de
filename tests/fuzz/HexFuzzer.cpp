// Fuzzes the HEX image conversion: any text must convert or be refused
// without reading past its end; a refused text leaves the image as it was,
// and a converted one leaves g_row on a page of the image.
#include <cstdint>
#include <cstring>
#include <vector>

#include "QuorUpgradeFlashImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > QUOR_UPGRADE_FILE_MAX)
        return 0;
    // An exact-size copy, so that a read past the end is caught.
    std::vector<char> text(data, data + size);
    static std::vector<unsigned char> before(QUOR_FLASH_IMAGE_SIZE);
    memcpy(before.data(), g_FlashBuf, QUOR_FLASH_IMAGE_SIZE);
    int result = TransformDataOfFile(text.empty() ? "" : text.data(), (int)size);
    if (result != 0 && memcmp(before.data(), g_FlashBuf, QUOR_FLASH_IMAGE_SIZE) != 0)
        __builtin_trap();
    if (result == 0 && g_row.load() > 0xFF)
        __builtin_trap();
    return 0;
}
