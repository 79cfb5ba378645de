// Line framing of a serial line: the bytes read from the line are collected
// in a fixed 2048-byte buffer (m_UartMsg), cut at each CR LF, and every
// non-empty line is handed on as a T_QuorStringMsg of scope 10, session 0,
// without its CR LF.
//
// A burst is consumed piece by piece: what fits behind the held text is
// appended, every complete line is delivered, and the framing goes on with
// the rest of the burst, so a burst may be longer than the buffer. Only a
// line that cannot fit is discarded: the held text is cleared and the rest
// of that line is skipped up to its CR LF; the lines behind it are delivered.
// The skipping ends with the burst: a later burst (after a pause of the
// line) always starts afresh. A burst may reach the framing in parts (the
// reader hands over a full burst buffer at once): the skipping then goes on
// into the next part.
//
// The two lines differ in their limits and messages:
//   MCU line:       at most 2047 bytes held; a line that cannot fit logs
//                   "######UartMsg Len is to long.".
//   auxiliary line: at most 2048 bytes held; a line that cannot fit is
//                   discarded silently, but a buffer filled to 2048 bytes
//                   without CR LF at the end of a burst logs "######UartMsg
//                   Len is to long and it's not have \r\n." and is cleared.
//
// NUL bytes are dropped on input (the line languages have none); every other
// byte, 0x80 and above included, is kept. The held length is tracked
// explicitly. Used on one thread only (the line's reader).
#ifndef QUOR_VELMAR_LINEFRAMER_H
#define QUOR_VELMAR_LINEFRAMER_H

#include <cstddef>
#include <cstdint>

#include "QuorVelmarMsgDef.h"

class CQuorVelmarLineFramer {
public:
    enum Kind { kMcuLine, kAuxiliaryLine };
    enum : uint32_t { kBufferSize = 2048 };

    // Receives each line; its result is not used.
    typedef int (*LineSinkFn)(const T_QuorStringMsg& message);

    CQuorVelmarLineFramer(Kind kind, LineSinkFn sink);

    // Frames one whole burst. 0, or -2 when a line had to be discarded (the
    // lines before and after it are delivered all the same).
    int PorcessUartData(const char* bytes, uint16_t length);
    // Frames one part of a burst that goes on; the same results.
    int PorcessUartPart(const char* bytes, uint16_t length);
    // The line paused: the burst has ended.
    void EndOfBurst();

    // The text held back for a later burst.
    uint32_t HeldLength() const { return m_u32Held; }
    const char* HeldText() const { return m_UartMsg; }
    // Most bytes the buffer holds.
    uint32_t Capacity() const;
    void Clear();

private:
    int Frame(const char* bytes, uint32_t length);
    uint32_t Append(const char* bytes, uint32_t length);
    void DeliverCompleteLines();
    void DeliverLine(const char* text, uint32_t length);
    void DiscardHeldLine();

    Kind m_eKind;
    LineSinkFn m_pfnSink;
    uint32_t m_u32Held;
    bool m_bSkipping;       // discarding the rest of a line that cannot fit
    bool m_bSkippedCr;      // ... and the last byte skipped was a CR
    char m_UartMsg[kBufferSize + 1];  // terminated behind the held text
};

#endif
