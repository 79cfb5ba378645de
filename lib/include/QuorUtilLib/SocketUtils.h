// Socket and address helpers of the utility layer.
#ifndef QUOR_SOCKETUTILS_H
#define QUOR_SOCKETUTILS_H

#include <cstdint>

class SocketUtils {
public:
    // Prepares the socket layer (nothing to do on Linux).
    static void Initialize(bool lookupDNSName = false) { (void)lookupDNSName; }
};

class StringUtils {
public:
    // Parses a dotted IPv4 text; address in network order. 1 on success, 0 on failure.
    static int Inet_aton(const char* text, uint32_t* address);
    // Formats a network-order address; buffer must hold 16 bytes.
    static char* Inet_ntoa(uint32_t address, char* buffer);
};

#endif
