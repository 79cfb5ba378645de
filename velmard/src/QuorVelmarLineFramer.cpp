// Line framing of a serial line: see QuorVelmarLineFramer.h.
#include "QuorVelmarLineFramer.h"

#include <cstring>

#include "LightLog.h"
#include "QuorVelmarCrLf.h"

namespace {

const char kSrc[] = "src/QuorVelmarLineFramer";

}  // namespace

CQuorVelmarLineFramer::CQuorVelmarLineFramer(Kind kind, LineSinkFn sink)
    : m_eKind(kind), m_pfnSink(sink), m_u32Held(0), m_bSkipping(false), m_bSkippedCr(false)
{
    memset(m_UartMsg, 0, sizeof(m_UartMsg));
}

uint32_t CQuorVelmarLineFramer::Capacity() const
{
    return m_eKind == kMcuLine ? kBufferSize - 1 : kBufferSize;
}

void CQuorVelmarLineFramer::Clear()
{
    m_u32Held = 0;
    m_UartMsg[0] = '\0';
}

int CQuorVelmarLineFramer::PorcessUartData(const char* bytes, uint16_t length)
{
    int result = Frame(bytes, length);
    EndOfBurst();
    return result;
}

int CQuorVelmarLineFramer::PorcessUartPart(const char* bytes, uint16_t length)
{
    return Frame(bytes, length);
}

void CQuorVelmarLineFramer::EndOfBurst()
{
    m_bSkipping = false;
    m_bSkippedCr = false;
}

int CQuorVelmarLineFramer::Frame(const char* bytes, uint32_t length)
{
    if (bytes == nullptr)
        return 0;
    int result = 0;
    uint32_t pos = 0;
    while (pos < length) {
        if (m_bSkipping) {
            pos += SkipToLineEnd(bytes + pos, length - pos, &m_bSkipping, &m_bSkippedCr);
            continue;
        }
        pos += Append(bytes + pos, length - pos);
        DeliverCompleteLines();
        if (m_u32Held < Capacity())
            continue;  // room again: Append takes the rest
        // Full, and no CR LF in it.
        if (pos < length) {
            // More of the line is coming: it cannot fit.
            if (m_eKind == kMcuLine)
                LightLogExt(40000, 0, kSrc, __LINE__, "######UartMsg Len is to long.");
            DiscardHeldLine();
            result = -2;
        } else if (m_eKind == kAuxiliaryLine) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######UartMsg Len is to long and it's not have \r\n.");
            DiscardHeldLine();
            result = -2;
        }
        // The MCU line keeps a full buffer at the end of a part: the next
        // byte decides.
    }
    return result;
}

// Clears the held text and skips the rest of its line.
void CQuorVelmarLineFramer::DiscardHeldLine()
{
    m_bSkippedCr = m_u32Held > 0 && m_UartMsg[m_u32Held - 1] == '\r';
    m_bSkipping = true;
    Clear();
}

// Appends what fits, dropping NUL bytes; returns the input bytes consumed.
uint32_t CQuorVelmarLineFramer::Append(const char* bytes, uint32_t length)
{
    uint32_t used = 0;
    uint32_t capacity = Capacity();
    while (used < length) {
        char c = bytes[used];
        if (c != '\0') {
            if (m_u32Held >= capacity)
                break;
            m_UartMsg[m_u32Held++] = c;
        }
        ++used;
    }
    m_UartMsg[m_u32Held] = '\0';
    return used;
}

void CQuorVelmarLineFramer::DeliverCompleteLines()
{
    uint32_t start = 0;
    for (;;) {
        const char* text = m_UartMsg + start;
        const char* crlf = FindCrLf(text, m_u32Held - start);
        if (crlf == nullptr)
            break;
        if (m_eKind == kMcuLine)
            LightLogExt(10000, 0, kSrc, __LINE__, "@@@@@@m_UartMsg is <%s>.", text);
        uint32_t lineLength = static_cast<uint32_t>(crlf - text);
        if (lineLength > 0)
            DeliverLine(text, lineLength);
        start += lineLength + 2;
    }
    DropFront(m_UartMsg, &m_u32Held, start);
}

void CQuorVelmarLineFramer::DeliverLine(const char* text, uint32_t length)
{
    T_QuorStringMsg message;
    memset(&message, 0, sizeof(message));
    if (length >= sizeof(message.cMsg))
        length = sizeof(message.cMsg) - 1;  // cannot happen: lines are shorter than the buffer
    message.u8Scope = QUOR_STRING_SCOPE_SERIAL;
    message.s32SessionId = 0;
    message.u16Length = static_cast<uint16_t>(length);
    memcpy(message.cMsg, text, length);
    LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@Recevie One %s Uart Frame is <%s>.",
                m_eKind == kMcuLine ? "MCU" : "Third-Party", message.cMsg);
    if (m_pfnSink != nullptr)
        m_pfnSink(message);
}
