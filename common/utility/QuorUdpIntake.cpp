// How group messages come into a daemon: see QuorUdpIntake.h.
#include "QuorUdpIntake.h"

#include <cstring>

#include "LightLog.h"
#include "MemoryPool.h"

int CQuorUdpIntake::Receive(const char* bytes, uint32_t received, uint32_t remoteAddr, uint16_t remotePort,
                            OSMutex& mutex, int (*process)(T_MODULE_MSG*))
{
    T_MODULE_MSG message;
    if (!QuorWrapDatagram(bytes, received, remoteAddr, remotePort, &message))
        return -2;
    OSMutexLocker locker(&mutex);
    return process(&message);
}

bool CQuorUdpIntake::FitsQueue(const T_MODULE_MSG* message, uint32_t minLen, uint32_t maxLen, const char* src)
{
    if (message == nullptr || message->pMsg == nullptr) {
        LightLogExt(40000, 0, src, __LINE__, "###### Find AddUdpPacketCopyQueue inParams be NULL!");
        return false;
    }
    if (message->u32MsgLen < minLen || message->u32MsgLen > maxLen) {
        LightLogExt(40000, 0, src, __LINE__, "###### Find AddUdpPacketCopyQueue inParams length error!");
        return false;
    }
    return true;
}

char* CQuorUdpIntake::CopyForQueue(const T_MODULE_MSG* message, const char* src)
{
    uint32_t length = message->u32MsgLen;
    int32_t classSize = 0;
    char* bytes = static_cast<char*>(GetMemPoolAllMsg((int32_t)length, &classSize));
    if (bytes == nullptr) {
        LightLogExt(40000, 0, src, __LINE__,
                    "###### Fail to GetNew pMsg->pAllMsg memory, When AddUdpPacketCopyQueue().");
        return nullptr;
    }
    memset(bytes, 0, (size_t)classSize);
    memcpy(bytes, message->pMsg, length);
    return bytes;
}

int CQuorUdpIntake::NoMemory(const T_QuorUdpIntakeNames& names, const char* pointer)
{
    LightLogExt(40000, names.flush, names.src, __LINE__, "###### New %s memory fail! When %s::Initialize().", pointer,
                names.layer);
    return -1;
}

void CQuorUdpIntake::LogListening(const T_QuorUdpIntakeNames& names, uint32_t addr, uint16_t port)
{
    LightLogExt(20000, 0, names.src, __LINE__, "%s listen on IPaddr<%d>,Port<%u>", names.module, (int)addr,
                (unsigned)port);
}

int CQuorUdpIntake::NoManageTask(const T_QuorUdpIntakeNames& names)
{
    if (names.noManageTask != nullptr)
        LightLogExt(40000, 0, names.src, __LINE__, "%s", names.noManageTask);
    return -3;
}
