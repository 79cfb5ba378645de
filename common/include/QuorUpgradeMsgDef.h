// What both daemons share of the binary messages: the six-word header, the
// text rules, the software upgrade request (0x1801, velmard to the upgrade
// agent) and its answer (0x2801), and the wrapper of received bytes.
//
// On the wire every message starts with a 24-byte header of six big-endian
// u32 words; fields follow without padding; a text travels without terminator
// behind a u32 length word that counts itself (text bytes + 4). In memory a
// record starts with the same six words in host order, followed by its body
// fields as plain members; texts are zero-terminated fixed arrays.
#ifndef QUOR_UPGRADE_MSGDEF_H
#define QUOR_UPGRADE_MSGDEF_H

#include <cstddef>
#include <cstdint>

#include "MemoryPool.h"

enum : uint32_t {
    QUOR_MSG_VERSION_UPGRADE_REQ = 0x1801,
    QUOR_MSG_VERSION_UPGRADE_RSP = 0x2801
};

enum : uint32_t {
    QUOR_MSG_HEADER_LEN = 24,    // bytes of the wire header
    QUOR_MSG_TEXT_SIZE = 512,    // bytes of a record text array (511 + NUL)
    QUOR_MSG_TEXT_WORD_LEN = 4   // the length word in front of a text
};

// The six header words, host order.
struct T_QuorMsgHeader {
    uint32_t u32Length;     // total length, header included; computed when packing
    uint32_t u32CommandID;
    uint32_t u32HeadWord2;  // words 2 to 5 are carried unchanged; an answer
    uint32_t u32HeadWord3;  // copies them from its request
    uint32_t u32HeadWord4;
    uint32_t u32HeadWord5;
};

// The header of a message this module originates: (0, id, 0, 1, 0, 0).
inline T_QuorMsgHeader QuorFreshMsgHeader(uint32_t commandId)
{
    return T_QuorMsgHeader{0, commandId, 0, 1, 0, 0};
}

// The header of an answer: words 2 to 5 of the request, word 1 the answer's id.
inline T_QuorMsgHeader QuorAnswerMsgHeader(const T_QuorMsgHeader& request, uint32_t answerId)
{
    return T_QuorMsgHeader{0, answerId, request.u32HeadWord2, request.u32HeadWord3,
                           request.u32HeadWord4, request.u32HeadWord5};
}

// 0x1801, 52 bytes plus the four text lengths (to the local upgrade agent).
struct T_QuorVersionUpgradeReq {
    T_QuorMsgHeader tHeader;
    char cDevAddr[QUOR_MSG_TEXT_SIZE];
    uint32_t u32DevPort;
    uint32_t u32ReqCode;
    uint32_t u32ReqResult;
    char cVersionSN[QUOR_MSG_TEXT_SIZE];
    char cVersionName[QUOR_MSG_TEXT_SIZE];
    char cVersionFile[QUOR_MSG_TEXT_SIZE];
};

// 0x2801, 44 bytes plus the two text lengths (from the local upgrade agent).
struct T_QuorVersionUpgradeRsp {
    T_QuorMsgHeader tHeader;
    char cDevAddr[QUOR_MSG_TEXT_SIZE];
    uint32_t u32DevPort;
    uint32_t u32RspCode;
    uint32_t u32RspResult;
    char cRspData[QUOR_MSG_TEXT_SIZE];
};

// Received message bytes as handed to a management task. The bytes are not
// owned. The sender's address travels with the message so that an answer goes
// to the peer that asked.
struct T_MODULE_MSG {
    uint32_t u32Reserved;     // always 0
    uint32_t u32MsgLen;       // message length, from the message's first word
    const char* pMsg;         // message bytes
    uint32_t u32Reserved2;    // always 0
    uint16_t u16Reserved3;    // always 0
    uint32_t u32RemoteAddr;   // sender's IPv4 address, host order
    uint16_t u16RemotePort;   // sender's port, host order
};

static_assert(sizeof(T_QuorVersionUpgradeRsp) == MEMPOOL_VERSION_UPGRADE_RSP_SIZE, "0x2801 record size");
static_assert(sizeof(T_QuorVersionUpgradeReq) == 2084, "0x1801 record size");

#endif
