#include "QuorInterDispInterface.h"

#include "MyAssert.h"

int QuorInterDispInterface::ReceiveMsg(QuorInterMsgInterface* msg, uint16_t kind, uint32_t remoteAddr,
                                       uint16_t remotePort)
{
    if (msg == nullptr || msg->GetMsgBuf() == nullptr) {
        QuorAssert(msg != nullptr && msg->GetMsgBuf() != nullptr);
        return 0;
    }
    msg->ParseMsgHeader();
    if (kind != 0) {
        if (!AcceptLocalMsg(msg))
            return 0;
        Signal(TASK_EVT_LOCAL_MSG);
        return 1;
    }
    if (!AcceptNetMsg(msg, remoteAddr, remotePort))
        return 0;
    Signal(TASK_EVT_NET_MSG);
    return 1;
}

int64_t QuorInterDispInterface::Run()
{
    uint32_t events = GetEvents();
    if (events & 0x1u)
        return -1;
    if (events & TASK_EVT_NET_MSG)
        ProcessNetMsgEvent();
    if (events & TASK_EVT_LOCAL_MSG)
        ProcessLocalMsgEvent();
    return 0;
}
