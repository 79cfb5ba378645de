// What the agent accepts of an upgrade request before anything runs: only
// velmard on the same board may ask, and the names it gives become one path
// component each, never anything a program could read as an option or a
// path of its own.
#ifndef QUOR_NDK_REQUESTCHECK_H
#define QUOR_NDK_REQUESTCHECK_H

#include <cstdint>

class CQuorNdkRequestCheck {
public:
    // True for a host-order address in 127.0.0.0/8.
    static bool IsLoopbackSender(uint32_t hostAddr);
    // True for a name of 1 to 511 bytes of [A-Za-z0-9._+-] that does not
    // begin with '.' or '-' (so it holds no '/').
    static bool IsSafeName(const char* name);
    // True when dir + name (dir ends with '/') is an existing regular file
    // (not a link to one).
    static bool IsRegularFileIn(const char* dir, const char* name);
};

#endif
