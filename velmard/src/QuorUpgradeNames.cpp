// The upgrade names shared by the web side and the upgrades: see QuorUpgradeNames.h.
#include "QuorUpgradeNames.h"

#include <cstring>

#include "OSMutex.h"

char g_UpVersion[QUOR_UPGRADE_NAME_SIZE];
char g_EDIDName[QUOR_UPGRADE_NAME_SIZE];
char g_MCUVersionFile[QUOR_UPGRADE_NAME_SIZE];

namespace {

OSMutex& NamesMutex()
{
    static OSMutex* mutex = new OSMutex;  // lives as long as the process
    return *mutex;
}

bool CopyBounded(char* out, size_t outSize, const char* text)
{
    size_t length = text != nullptr ? strnlen(text, outSize) : 0;
    bool fits = length < outSize;
    if (!fits)
        length = outSize - 1;
    memcpy(out, text != nullptr ? text : "", length);
    out[length] = '\0';
    return fits;
}

}  // namespace

bool QuorSetUpgradeName(char (&name)[QUOR_UPGRADE_NAME_SIZE], const char* text)
{
    OSMutexLocker locker(&NamesMutex());
    return CopyBounded(name, sizeof(name), text);
}

bool QuorGetUpgradeName(const char (&name)[QUOR_UPGRADE_NAME_SIZE], char* out, size_t outSize)
{
    if (out == nullptr || outSize == 0)
        return false;
    OSMutexLocker locker(&NamesMutex());
    return CopyBounded(out, outSize, name);
}
