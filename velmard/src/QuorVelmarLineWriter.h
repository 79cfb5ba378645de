// The writer of a serial line: a bounded queue of lines and a thread of the
// line's own that writes them, one after the other, at the line's pace.
// Whoever sends a line (the management task, the web task, the GPIO task)
// queues it and goes on; only the writer thread waits for the line.
//
// Order: lines go out in the order they were queued, each whole before the
// next. Pauses: a sender that pauses after a line (a start-flow identity
// line, the lines of an address change) asks for the pause on the line
// itself (HoldAfterOwnLine): the next line goes out no sooner than that long
// after this one has been written, even when the queue lagged behind the
// sender. So the bytes and the gaps the MCU sees are those of a sender that
// wrote the line itself.
//
// Limits: at most kMaxLines lines and kMaxBytes bytes wait; a line beyond
// them is refused (the caller reports it). A consumer that wants to know when
// the queue has fallen below a mark asks with NotifyWhenBelow.
#ifndef QUOR_VELMAR_LINEWRITER_H
#define QUOR_VELMAR_LINEWRITER_H

#include <cstdint>
#include <deque>
#include <string>

#include "OSMutex.h"
#include "OSThread.h"

class CQuorVelmarLineWriter : public OSThread {
public:
    enum : uint32_t { kMaxLines = 256, kMaxBytes = 64 * 1024 };
    // Writes all bytes of one line: the count written, or negative.
    typedef int (*WriteFn)(void* context, const char* bytes, uint32_t length);
    // Called on the writer's thread once the queue fell below a mark asked for.
    typedef void (*BelowMarkFn)();

    CQuorVelmarLineWriter(WriteFn write, void* context, BelowMarkFn belowMark);
    ~CQuorVelmarLineWriter() override;

    // Queues one line (the thread starts with the first). The line's ticket
    // (> 0), or 0 when it is refused: the queue is full, or no thread can run.
    uint64_t Queue(const char* bytes, uint32_t length);
    // The last line the calling thread queued keeps the line quiet for at
    // least ms after it has been written. Nothing when that line has been
    // written and another followed it.
    void HoldAfterOwnLine(uint32_t ms);
    // The same for a given ticket.
    void HoldAfter(uint64_t ticket, uint32_t ms);

    // Lines waiting, not counting the one being written.
    uint32_t GetQueuedLines();
    // True when fewer than mark lines wait; else false, and the below-mark
    // call follows once fewer than mark wait.
    bool NotifyWhenBelow(uint32_t mark);
    // Waits until nothing waits or is being written; false when the time ran
    // out first.
    bool WaitIdle(int64_t timeoutMs);

    void Entry() override;

protected:
    void WakeForStop() override;

private:
    struct Line {
        uint64_t u64Ticket;
        uint32_t u32HoldMs;
        std::string bytes;
    };

    void WriteOne(Line& line);

    WriteFn m_pfnWrite;
    void* m_pContext;
    BelowMarkFn m_pfnBelowMark;

    OSMutex m_Mutex;
    OSCond m_Cond;
    // Guarded by m_Mutex.
    bool m_bStarted = false;
    std::deque<Line> m_Lines;
    uint32_t m_u32Bytes = 0;
    uint64_t m_u64NextTicket = 1;
    uint64_t m_u64InFlight = 0;       // ticket of the line being written (0: none)
    uint32_t m_u32InFlightHoldMs = 0;
    uint64_t m_u64LastWritten = 0;    // ticket of the line written last
    int64_t m_s64LastWrittenMs = 0;
    int64_t m_s64QuietUntilMs = 0;    // no line goes out before
    uint32_t m_u32NotifyBelow = 0;    // 0: nobody waits for the queue to shrink
};

#endif
