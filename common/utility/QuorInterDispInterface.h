// A dispatcher task through which a UDP socket task can pass received
// messages on to an application: messages from the network and local ones,
// each kind with its own queue and event.
#ifndef QUOR_QUORINTERDISPINTERFACE_H
#define QUOR_QUORINTERDISPINTERFACE_H

#include <cstdint>

#include "OSMutex.h"
#include "OSQueue.h"
#include "QuorInterMsgInterface.h"
#include "QuorTask.h"

class QuorInterDispInterface : public QuorTask<1> {
public:
    QuorInterDispInterface() = default;
    ~QuorInterDispInterface() override = default;

    // Event bit 0x1 ends the task; TASK_EVT_NET_MSG and TASK_EVT_LOCAL_MSG
    // call their handlers.
    int64_t Run() override;

    virtual void ProcessNetMsgEvent() = 0;
    virtual void ProcessLocalMsgEvent() = 0;
    // Take the message (copy what is kept: the buffer is reused) or refuse it.
    virtual bool AcceptNetMsg(QuorInterMsgInterface* msg, uint32_t remoteAddr, uint16_t remotePort) = 0;
    virtual bool AcceptLocalMsg(QuorInterMsgInterface* msg) = 0;

    // Parses the header and offers the message: kind 0 from the network,
    // any other kind local. 1 when accepted (the task is then signalled),
    // else 0.
    int ReceiveMsg(QuorInterMsgInterface* msg, uint16_t kind, uint32_t remoteAddr, uint16_t remotePort);

protected:
    OSQueue m_NetMsgQueue;
    OSMutex m_NetMsgQueueMutex;
    OSQueue m_LocalMsgQueue;
    OSMutex m_LocalMsgQueueMutex;
};

#endif
