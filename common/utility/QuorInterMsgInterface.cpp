#include "QuorInterMsgInterface.h"

#include <cstring>
#include <new>

#include "MyAssert.h"

QuorInterMsgInterface::QuorInterMsgInterface()
{
    memset(&m_tPduMsg, 0, sizeof(m_tPduMsg));
    m_tPduMsg.pMsgBuf = new (std::nothrow) char[QUOR_INTER_MSG_BUF_LEN]();
    if (m_tPduMsg.pMsgBuf == nullptr)
        MyAssertAt("QuorInterMsgInterface", __LINE__);
}

QuorInterMsgInterface::~QuorInterMsgInterface()
{
    delete[] m_tPduMsg.pMsgBuf;
}

int QuorInterMsgInterface::Initialize(const char* data, uint32_t len)
{
    if (data == nullptr || len > QUOR_INTER_MSG_BUF_LEN || m_tPduMsg.pMsgBuf == nullptr)
        return 0;
    memcpy(m_tPduMsg.pMsgBuf, data, len);
    return 1;
}

int QuorInterMsgInterface::PackMsgHeader()
{
    if (m_tPduMsg.pMsgBuf == nullptr) {
        MyAssertAt("QuorInterMsgInterface", __LINE__);
        return 0;
    }
    unsigned char* p = reinterpret_cast<unsigned char*>(m_tPduMsg.pMsgBuf);
    const uint32_t words[6] = {m_tPduMsg.u32Length,    m_tPduMsg.u32CommandID, m_tPduMsg.u32HeadWord2,
                               m_tPduMsg.u32HeadWord3, m_tPduMsg.u32HeadWord4, m_tPduMsg.u32HeadWord5};
    for (int i = 0; i < 6; i++)
        QuorPutBE32(p + 4 * i, words[i]);
    return 1;
}

int QuorInterMsgInterface::ParseMsgHeader()
{
    if (m_tPduMsg.pMsgBuf == nullptr) {
        MyAssertAt("QuorInterMsgInterface", __LINE__);
        return 0;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(m_tPduMsg.pMsgBuf);
    m_tPduMsg.u32Length = QuorGetBE32(p);
    m_tPduMsg.u32CommandID = QuorGetBE32(p + 4);
    m_tPduMsg.u32HeadWord2 = QuorGetBE32(p + 8);
    m_tPduMsg.u32HeadWord3 = QuorGetBE32(p + 12);
    m_tPduMsg.u32HeadWord4 = QuorGetBE32(p + 16);
    m_tPduMsg.u32HeadWord5 = QuorGetBE32(p + 20);
    return 1;
}
