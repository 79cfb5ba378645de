// The group (multicast) side of velmard's group messages (thread pool 8).
//
// Receiving: started by TASK_EVT_START, the task's first run joins the group
// "QuorVelmar_MulUdpRecvIp" on port "QuorVelmar_MulUdpRecvPort" and then
// stays in its receive loop for the life of the process (it owns the pool's
// single thread): it sleeps until a datagram comes or StopReceiving is called, takes up to
// 2048 bytes of it (longer datagrams are cut) and hands them, with the byte
// count and the sender, to CQuorVelmarCommLayer::Msg_UdpRecved, which drops a
// datagram whose length word is below 24 or above the bytes received.
//
// Sending: every send creates a socket of its own and closes it again on
// every path.
// - SendBroadCastUdpMsg: to the whole group. Multicast loopback is off on the
//   send socket, so the module never hears its own group messages.
// - SendRespondUdpMsg: an answer to the peer that asked (the address that
//   came with its request), at that peer's unicast port "QuorVelmar_UdpPort".
// - SendNDKUdpMsg: to the local upgrade agent, 127.0.0.1 at
//   "VelmarNdk_UdpPort".
// The send operations may run on any thread.
#ifndef QUOR_VELMAR_UDPMULSOCKETTASK_H
#define QUOR_VELMAR_UDPMULSOCKETTASK_H

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "OSMutex.h"
#include "OSWakeFd.h"
#include "QuorVelmarReceiveLoopTask.h"
#include "QuorVelmarUdpPeer.h"

class CQuorVelmarUdpMulSocketTask : public CQuorVelmarReceiveLoopTask<8> {
public:
    enum : uint32_t {
        kRecvBufLen = 2048,  // bytes taken of one group datagram
        kWaitMilSec = 5      // longest wait for a datagram when no wake descriptor could be had
    };

    CQuorVelmarUdpMulSocketTask();
    ~CQuorVelmarUdpMulSocketTask() override;

    // Creates the group socket: bound to the group port on any address,
    // loopback off, member of the group on the interface the system picks.
    // The descriptor, or -1 (socket), -2 (bind), -3 (loopback option), -4
    // (group address or membership); the socket is closed on failure.
    int CreateBroadCastSocket(struct sockaddr_in* addr, struct ip_mreq* mreq);
    // The receive loop; returns only when it cannot start or once
    // StopReceiving was called.
    void ReadMulUdpData();

    // To the whole group: 0 once sent; -2 for no message or length 0 (or a
    // group address that does not parse); -1 when no socket can be had; -3
    // when loopback cannot be switched off (nothing is sent then); else the
    // failed send's result.
    int SendBroadCastUdpMsg(const char* msg, uint32_t len);
    // To peerAddr (host order) at "QuorVelmar_UdpPort": 0 once sent; -2 for
    // no message, length 0 or peer address 0; -1 when no socket can be had or
    // the send fails.
    int SendRespondUdpMsg(const char* msg, uint32_t len, uint32_t peerAddr);
    // To 127.0.0.1 at "VelmarNdk_UdpPort": 0 once sent; -2 for no message or
    // length 0; -1 when no socket can be had or the send itself fails.
    int SendNDKUdpMsg(const char* msg, uint32_t len);
    // A datagram socket bound to any address and a port of the system's
    // choosing: the descriptor or -1.
    static int udp_create_sender();

    // Ends the receive loop within one wait; the loop closes its socket.
    void StopReceiving()
    {
        m_b8StopRequested.store(true);
        m_StopWake.Wake();
    }
    // True while the receive loop runs with its socket.
    bool IsReceiving() const { return m_b8Receiving.load(); }
    // Address and port (host order) of the most recent group datagram's sender.
    void GetLastSender(uint32_t* addr, uint16_t* port) { m_LastSender.Get(addr, port); }

private:
    void ReceiveLoop() override { ReadMulUdpData(); }
    // Takes one waiting datagram into buffer (kRecvBufLen + 1 bytes) and
    // hands it on.
    void ReceiveOne(int fd, char* buffer);

    CQuorVelmarUdpPeer m_LastSender;           // most recent group sender
    std::atomic<bool> m_b8StopRequested{false};
    std::atomic<bool> m_b8Receiving{false};
    OSWakeFd m_StopWake;                       // ends the receive loop's wait
};

// The group task, created once at start-up.
extern CQuorVelmarUdpMulSocketTask* g_VelmarUdpMulCast;

#endif
