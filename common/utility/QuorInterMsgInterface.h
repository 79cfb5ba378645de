// A message received from another module: one receive buffer with the
// 24-byte message header at its front. On the wire the six header words are
// big-endian; in T_PDU_MSG they are kept in host order.
#ifndef QUOR_QUORINTERMSGINTERFACE_H
#define QUOR_QUORINTERMSGINTERFACE_H

#include <cstdint>

// Bytes of the header at the front of every message.
#define QUOR_PDU_HEADER_LEN 24
// Bytes of a message object's receive buffer.
#define QUOR_INTER_MSG_BUF_LEN 32768

struct T_PDU_MSG {
    uint32_t u32Length;     // total message length, header included
    uint32_t u32CommandID;  // command identifier
    uint32_t u32HeadWord2;
    uint32_t u32HeadWord3;
    uint32_t u32HeadWord4;
    uint32_t u32HeadWord5;
    char* pMsgBuf;          // the message bytes (QUOR_INTER_MSG_BUF_LEN)
};

class QuorInterMsgInterface {
public:
    QuorInterMsgInterface();
    virtual ~QuorInterMsgInterface();
    QuorInterMsgInterface(const QuorInterMsgInterface&) = delete;
    QuorInterMsgInterface& operator=(const QuorInterMsgInterface&) = delete;

    virtual int ParseMsg(const char* msg) = 0;

    // Copies len bytes of data to the start of the buffer: 1, or 0 without
    // copying when data is null or len exceeds the buffer.
    int Initialize(const char* data, uint32_t len);
    // Writes the six header words big-endian into bytes 0 to 23: 1, or 0
    // when there is no buffer.
    int PackMsgHeader();
    // Reads bytes 0 to 23 as six big-endian words into the header: 1, or 0
    // when there is no buffer.
    int ParseMsgHeader();

    T_PDU_MSG* GetPduMsg() { return &m_tPduMsg; }
    char* GetMsgBuf() { return m_tPduMsg.pMsgBuf; }

protected:
    T_PDU_MSG m_tPduMsg;
};

// Big-endian words of the wire formats.
inline uint32_t QuorGetBE32(const unsigned char* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

inline void QuorPutBE32(unsigned char* p, uint32_t value)
{
    p[0] = (unsigned char)(value >> 24);
    p[1] = (unsigned char)(value >> 16);
    p[2] = (unsigned char)(value >> 8);
    p[3] = (unsigned char)value;
}

#endif
