// The message object of velmard's unicast group-message socket: the 32768-byte
// receive buffer with the message header at its front. Every message is
// accepted here; the communication layer checks and copies the bytes.
#ifndef QUOR_VELMAR_MSGPARSER_H
#define QUOR_VELMAR_MSGPARSER_H

#include "QuorInterMsgInterface.h"

class CQuorVelmarMsgParser : public QuorInterMsgInterface {
public:
    CQuorVelmarMsgParser() = default;
    ~CQuorVelmarMsgParser() override = default;

    // Accepts every message: 1.
    int ParseMsg(const char* msg) override;
};

#endif
