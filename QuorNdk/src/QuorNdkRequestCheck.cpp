#include "QuorNdkRequestCheck.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "QuorUpgradeMsgDef.h"

bool CQuorNdkRequestCheck::IsLoopbackSender(uint32_t hostAddr)
{
    return (hostAddr >> 24) == 127;
}

bool CQuorNdkRequestCheck::IsSafeName(const char* name)
{
    if (name == nullptr)
        return false;
    size_t length = strnlen(name, QUOR_MSG_TEXT_SIZE);
    if (length == 0 || length >= QUOR_MSG_TEXT_SIZE || name[0] == '.' || name[0] == '-')
        return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '+' || c == '-';
        if (!allowed)
            return false;
    }
    return true;
}

bool CQuorNdkRequestCheck::IsRegularFileIn(const char* dir, const char* name)
{
    char path[PATH_MAX];
    int n = snprintf(path, sizeof(path), "%s%s", dir, name);
    struct stat st;
    return n > 0 && static_cast<size_t>(n) < sizeof(path) && lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}
