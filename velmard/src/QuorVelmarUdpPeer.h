// The address and port (host order) of a datagram's sender, as one thread
// stores it and others read it: both under one lock.
#ifndef QUOR_VELMAR_UDPPEER_H
#define QUOR_VELMAR_UDPPEER_H

#include <cstdint>

#include "OSMutex.h"

class CQuorVelmarUdpPeer {
public:
    void Set(uint32_t addr, uint16_t port)
    {
        OSMutexLocker locker(&m_Mutex);
        m_u32Addr = addr;
        m_u16Port = port;
    }
    // Either pointer may be null.
    void Get(uint32_t* addr, uint16_t* port)
    {
        OSMutexLocker locker(&m_Mutex);
        if (addr != nullptr)
            *addr = m_u32Addr;
        if (port != nullptr)
            *port = m_u16Port;
    }

private:
    OSMutex m_Mutex;
    uint32_t m_u32Addr = 0;
    uint16_t m_u16Port = 0;
};

#endif
