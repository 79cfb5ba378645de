#include "QuorNdkUdpSocketTask.h"

#include <cerrno>

#include "QuorNdkCommLayer.h"

CQuorNdkUdpSocketTask::CQuorNdkUdpSocketTask(QuorInterMsgInterface* parser, uint32_t localAddr, uint16_t localPort)
    : QuorInterComUDPSocket<1>(parser, nullptr, localAddr, localPort)
{
    SetTaskName("CQuorNdkUdpSocketTask");
}

int CQuorNdkUdpSocketTask::ProcessMsg(uint32_t remoteAddr, uint16_t remotePort)
{
    m_u32RemoteAddr.store(remoteAddr, std::memory_order_relaxed);
    m_u16RemotePort.store(remotePort, std::memory_order_relaxed);
    CQuorNdkCommLayer::Msg_UdpRecved(m_pMsg->GetMsgBuf(), GetRecvLen(), remoteAddr, remotePort);
    return 1;
}

int CQuorNdkUdpSocketTask::SendToPeer(uint32_t remoteAddr, uint16_t remotePort, const char* bytes, uint32_t length)
{
    if (!m_Socket.IsBound())
        return ENOTCONN;
    return m_Socket.SendTo(remoteAddr, remotePort, bytes, length);
}
