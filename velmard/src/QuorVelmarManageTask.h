// The management task of velmard (thread pool 2): the hub that receives the
// text lines of the serial lines and TCP sessions and the group messages of
// the peers, and dispatches them on its own thread.
//
// Inbound side: two queues, each with its own lock, filled by the
// communication layer from the producer threads:
// - the string list of T_QuorStringMsg lines, in arrival order;
// - the UDP queue of received group messages, each a pooled packet holding a
//   pooled copy of the bytes and the sender's address.
// The producer appends and the communication layer then signals
// TASK_EVT_READ. Run drains the UDP queue first, then the string list, one
// element at a time: the element is taken under the lock, the lock released,
// the element handled and its pooled parts given back. Producers are never
// held while a handler runs.
#ifndef QUOR_VELMAR_MANAGETASK_H
#define QUOR_VELMAR_MANAGETASK_H

#include <cstdint>

#include "OSMutex.h"
#include "OSQueue.h"
#include "QuorTask.h"
#include "QuorVelmarMsgDef.h"

// Lengths of received group messages the UDP queue takes.
enum : uint32_t {
    QUOR_UDP_PACKET_MIN_LEN = 1,
    QUOR_UDP_PACKET_MAX_LEN = 3072
};

// A received group message waiting in the UDP queue.
struct T_QuorUdpPacket {
    uint32_t u32Reserved;     // always 0
    uint32_t u32MsgLen;       // bytes in pAllMsg
    char* pAllMsg;            // pooled copy of the bytes (GetMemPoolAllMsg), owned
    uint32_t u32RemoteAddr;   // sender's IPv4 address, host order
    uint16_t u16RemotePort;   // sender's port, host order
};

class CQuorVelmarManageTask : public QuorTask<2> {
public:
    CQuorVelmarManageTask();
    ~CQuorVelmarManageTask() override;

    // Takes the pending events; on TASK_EVT_READ drains the UDP queue, then
    // the string list. Always 0 (wait for the next signal).
    int64_t Run() override;

    // ---- Producers (any thread; the caller signals TASK_EVT_READ after) ----

    // Appends a copy of the line at the tail of the string list. The text is
    // kept terminated: the length is cut to at most 2047 bytes. 0, or -1
    // when no list node could be had (logged, line dropped).
    int AddStringPacketToProcessList(const T_QuorStringMsg& message);
    // Copies the message bytes into a pooled packet at the tail of the UDP
    // queue. -2 for a null wrapper or bytes, or a length outside 1..3072; -1
    // when a pool is empty (all logged, message dropped); 0 when queued.
    int AddUdpPacketCopyQueue(const T_MODULE_MSG* message);

    // ---- Drain (the management task's thread) -----------------------------

    // Handles every queued message, one at a time, oldest first.
    void ProcessPrivateUdpMsg();
    void ProcessStringMsg();

    // Takes the oldest packet out of the UDP queue (under its lock) and gives
    // its queue element back; null when empty. The caller hands the packet
    // back with FreeUdpPacket.
    T_QuorUdpPacket* TakeUdpPacket();
    // Gives a packet's bytes and the packet itself back to their pools.
    static void FreeUdpPacket(T_QuorUdpPacket* packet);
    // Copies the oldest line into *message and removes it; false when empty.
    bool TakeStringMsg(T_QuorStringMsg* message);

    uint32_t GetUdpQueueLength();
    uint32_t GetStringListLength();

private:
    struct StringNode;

    void DoOneUdpPacket(const T_QuorUdpPacket& packet);
    void DoStringMsgCommand(const T_QuorStringMsg& message);

    OSQueue m_UdpPacketQueue;        // elements enclose T_QuorUdpPacket
    OSMutex m_UdpPacketQueueMutex;
    OSMutex m_StringListMutex;
    OSQueue m_StringMsgList;         // elements enclose StringNode
};

// The management task, created once at start-up before any producer runs.
extern CQuorVelmarManageTask* g_pVelmarManageTask;

#endif
