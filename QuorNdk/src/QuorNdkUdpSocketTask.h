// The agent's UDP socket (thread pool 1), bound to "VelmarNdk_UdpIp" and
// "VelmarNdk_UdpPort": every datagram whose length word fits its size goes to
// the communication layer with its sender. The answers leave through the
// same socket.
#ifndef QUOR_NDK_UDPSOCKETTASK_H
#define QUOR_NDK_UDPSOCKETTASK_H

#include <atomic>
#include <cstdint>

#include "QuorInterComInterface.h"

class CQuorNdkUdpSocketTask : public QuorInterComUDPSocket<1> {
public:
    // Binds at once to the host-order address and port. The creator calls
    // StartReceiving() right after new.
    CQuorNdkUdpSocketTask(QuorInterMsgInterface* parser, uint32_t localAddr, uint16_t localPort);

    // Records the sender, then hands the datagram to
    // CQuorNdkCommLayer::Msg_UdpRecved. 1.
    int ProcessMsg(uint32_t remoteAddr, uint16_t remotePort) override;

    // One datagram to a host-order address and port: 0, or an error number
    // (ENOTCONN while the socket is not bound yet).
    int SendToPeer(uint32_t remoteAddr, uint16_t remotePort, const char* bytes, uint32_t length);

    // Sender of the last datagram (host order); recorded, not used for answers.
    std::atomic<uint32_t> m_u32RemoteAddr{0};
    std::atomic<uint16_t> m_u16RemotePort{0};
};

#endif
