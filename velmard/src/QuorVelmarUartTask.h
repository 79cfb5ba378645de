// The MCU serial task (thread pool 3): owns the line to the video-switching
// MCU, "/dev/ttyS1". It opens the line at the configured speed (8N1), reads
// everything the MCU sends and hands each CR LF line to the management task
// through the communication layer (scope 10), and offers the write-with-retry
// that every writer to the MCU uses (the management task's SendUartBuf).
//
// The MCU firmware upgrade borrows the line: AllowOpenUartOne(0) closes it
// (closing wakes the receive loop, which leaves at once; writers get -2 and
// nothing is written), AllowOpenUartOne(1) opens it again without touching the line
// settings, which stay as the upgrade left them; reading resumes at the next
// run, at most 100 ms later.
//
// Writing: every writer queues its lines (QueueUartWrite) on the line's own
// writer (QuorVelmarLineWriter.h), which writes them in order at the line's
// pace; nobody else waits for the line. Before the line is handed over, the
// lines already queued go out first.
#ifndef QUOR_VELMAR_UARTTASK_H
#define QUOR_VELMAR_UARTTASK_H

#include <atomic>
#include <cstdint>

#include "QuorVelmarLineWriter.h"
#include "QuorVelmarSerialTask.h"

// Initialize opens "/dev/ttyS1" and applies "Velmar_UartSpeed", 8 data
// bits, no parity, 1 stop bit.
class CQuorVelmarUartTask : public CQuorVelmarSerialTask<3> {
public:
    CQuorVelmarUartTask();
    ~CQuorVelmarUartTask() override;

    // Hand-over to the MCU firmware upgrade: 0 closes the line, anything
    // else opens it again (nothing to do when it is open). 0, or the negative
    // open result.
    int AllowOpenUartOne(uint8_t flag);
    uint8_t GetAllowOpenUartOne() const { return m_u8AllowOpenUart.load(); }

    // Queues length bytes for the line's writer: length once queued; 0 for a
    // length of 0; -2 (logged, nothing queued) when the line is closed or
    // handed over, or the queue is full.
    int QueueUartWrite(const char* text, uint32_t length);
    CQuorVelmarLineWriter& Writer() { return m_Writer; }

    // The longest wait for the queued lines before the line is handed over.
    enum : int64_t { kHandOverDrainMs = 3000 };

private:
    void ApplyStartSettings() override;
    static int WriteQueuedLine(void* self, const char* bytes, uint32_t length);

    std::atomic<uint8_t> m_u8AllowOpenUart;
    CQuorVelmarLineWriter m_Writer;
};

// The MCU serial task, created once at start-up.
extern CQuorVelmarUartTask* g_pVelmarUartTask;

#endif
