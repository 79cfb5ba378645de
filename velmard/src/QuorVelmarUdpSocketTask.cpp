#include "QuorVelmarUdpSocketTask.h"

#include <cerrno>

#include "QuorVelmarCommLayer.h"

CQuorVelmarUdpPeer CQuorVelmarUdpSocketTask::s_Remote;

CQuorVelmarUdpSocketTask::CQuorVelmarUdpSocketTask(QuorInterMsgInterface* parser, uint32_t localAddr,
                                                   uint16_t localPort)
    : QuorInterComUDPSocket<1>(parser, nullptr, localAddr, localPort)
{
    SetTaskName("CQuorVelmarUdpSocketTask");
    SetRecvBufBytes(kRecvBufBytes);
}

CQuorVelmarUdpSocketTask::~CQuorVelmarUdpSocketTask() = default;

int CQuorVelmarUdpSocketTask::ProcessMsg(uint32_t remoteAddr, uint16_t remotePort)
{
    s_Remote.Set(remoteAddr, remotePort);
    CQuorVelmarCommLayer::Msg_UdpRecved(m_pMsg->GetMsgBuf(), GetRecvLen(), remoteAddr, remotePort);
    return 1;
}

bool CQuorVelmarUdpSocketTask::MayReceive()
{
    return CQuorVelmarCommLayer::UdpIntakeOpen();
}

int CQuorVelmarUdpSocketTask::SendToPeer(uint32_t remoteAddr, uint16_t remotePort, const char* bytes,
                                         uint32_t length)
{
    if (!m_Socket.IsBound())
        return ENOTCONN;
    return m_Socket.SendTo(remoteAddr, remotePort, bytes, length);
}

uint32_t CQuorVelmarUdpSocketTask::GetUdpRemoteAddr(char* text, size_t size)
{
    uint32_t addr = 0;
    GetUdpRemote(&addr, nullptr);
    if (text != nullptr && size >= 16)
        QuorAddrToText(addr, text, size);
    return addr;
}

uint16_t CQuorVelmarUdpSocketTask::GetUdpRemotePort()
{
    uint16_t port = 0;
    GetUdpRemote(nullptr, &port);
    return port;
}
