#include "SocketUtils.h"

#include <arpa/inet.h>
#include <cstdio>

int StringUtils::Inet_aton(const char* text, uint32_t* address)
{
    if (text == nullptr || address == nullptr)
        return 0;
    struct in_addr parsed;
    if (inet_pton(AF_INET, text, &parsed) != 1)
        return 0;
    *address = parsed.s_addr;
    return 1;
}

char* StringUtils::Inet_ntoa(uint32_t address, char* buffer)
{
    if (buffer == nullptr)
        return nullptr;
    const unsigned char* b = (const unsigned char*)&address;
    snprintf(buffer, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buffer;
}
