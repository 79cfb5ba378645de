// The unicast group-message socket of velmard (thread pool 1): bound to
// "QuorVelmar_UdpIp" and "QuorVelmar_UdpPort" (retrying the bind every 2 s
// until it succeeds), it hands every datagram whose length word equals its
// size to the communication layer, with the sender's address and port. It
// reads only while the management task's UDP queue has room, so a storm of
// answers waits in its receive buffer rather than being dropped.
//
// The sender of the most recent datagram is also kept class-wide (address
// and port together, under one lock) for the send path of the communication
// layer that answers "the last unicast sender". Answers to a request should
// rather use the sender that travels with the request itself.
#ifndef QUOR_VELMAR_UDPSOCKETTASK_H
#define QUOR_VELMAR_UDPSOCKETTASK_H

#include <cstddef>
#include <cstdint>

#include "QuorInterComInterface.h"
#include "QuorVelmarUdpPeer.h"

class CQuorVelmarUdpSocketTask : public QuorInterComUDPSocket<1> {
public:
    // Binds at once to the host-order address and port. The creator calls
    // StartReceiving() right after new.
    CQuorVelmarUdpSocketTask(QuorInterMsgInterface* parser, uint32_t localAddr, uint16_t localPort);
    ~CQuorVelmarUdpSocketTask() override;

    // Records the sender, then passes the datagram (GetRecvLen() bytes of
    // the parser's buffer) to CQuorVelmarCommLayer::Msg_UdpRecved. 1.
    int ProcessMsg(uint32_t remoteAddr, uint16_t remotePort) override;
    // While the management task's UDP queue is full the socket is left
    // unread (CQuorVelmarCommLayer::UdpIntakeOpen).
    bool MayReceive() override;

    // Receive buffer of the socket: the answers of a whole installation to
    // one search (some 250 datagrams of a few hundred bytes, each costing
    // the system about a kilobyte) wait there while the management task
    // takes them in.
    enum : int { kRecvBufBytes = 512 * 1024 };

    // Sends one datagram through this task's socket to a host-order address
    // and port: 0, or an error number (ENOTCONN while the socket is not bound
    // yet: a send must not bind it to a port of the system's choosing).
    int SendToPeer(uint32_t remoteAddr, uint16_t remotePort, const char* bytes, uint32_t length);

    // The dotted form of the last sender's address into text (size bytes,
    // at least 16; nothing is written for a null or smaller buffer); returns
    // the address (host order).
    static uint32_t GetUdpRemoteAddr(char* text, size_t size = 16);
    static uint16_t GetUdpRemotePort();
    // Address and port of the same datagram.
    static void GetUdpRemote(uint32_t* remoteAddr, uint16_t* remotePort) { s_Remote.Get(remoteAddr, remotePort); }

private:
    static CQuorVelmarUdpPeer s_Remote;
};

#endif
