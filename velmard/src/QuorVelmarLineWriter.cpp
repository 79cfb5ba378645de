// The writer of a serial line: see QuorVelmarLineWriter.h.
#include "QuorVelmarLineWriter.h"

#include <algorithm>
#include <utility>

#include "OS.h"

namespace {

// The ticket of the last line each thread queued, with the writer it went to.
thread_local const CQuorVelmarLineWriter* t_pLastWriter = nullptr;
thread_local uint64_t t_u64LastTicket = 0;

}  // namespace

CQuorVelmarLineWriter::CQuorVelmarLineWriter(WriteFn write, void* context, BelowMarkFn belowMark)
    : m_pfnWrite(write), m_pContext(context), m_pfnBelowMark(belowMark)
{
}

CQuorVelmarLineWriter::~CQuorVelmarLineWriter()
{
    StopAndWaitForThread();
}

uint64_t CQuorVelmarLineWriter::Queue(const char* bytes, uint32_t length)
{
    OSMutexLocker locker(&m_Mutex);
    if (m_Lines.size() >= kMaxLines || m_u32Bytes + length > kMaxBytes)
        return 0;
    if (!m_bStarted)
        m_bStarted = Start();
    if (!m_bStarted)
        return 0;
    uint64_t ticket = m_u64NextTicket++;
    m_Lines.push_back(Line{ticket, 0, std::string(bytes, length)});
    m_u32Bytes += length;
    m_Cond.Broadcast();
    t_pLastWriter = this;
    t_u64LastTicket = ticket;
    return ticket;
}

void CQuorVelmarLineWriter::HoldAfterOwnLine(uint32_t ms)
{
    if (t_pLastWriter == this)
        HoldAfter(t_u64LastTicket, ms);
}

void CQuorVelmarLineWriter::HoldAfter(uint64_t ticket, uint32_t ms)
{
    OSMutexLocker locker(&m_Mutex);
    for (Line& line : m_Lines) {
        if (line.u64Ticket == ticket) {
            line.u32HoldMs = std::max(line.u32HoldMs, ms);
            return;
        }
    }
    if (ticket == m_u64InFlight)
        m_u32InFlightHoldMs = std::max(m_u32InFlightHoldMs, ms);
    else if (ticket == m_u64LastWritten)
        m_s64QuietUntilMs = std::max(m_s64QuietUntilMs, m_s64LastWrittenMs + (int64_t)ms);
}

uint32_t CQuorVelmarLineWriter::GetQueuedLines()
{
    OSMutexLocker locker(&m_Mutex);
    return (uint32_t)m_Lines.size();
}

bool CQuorVelmarLineWriter::NotifyWhenBelow(uint32_t mark)
{
    OSMutexLocker locker(&m_Mutex);
    if (m_Lines.size() < mark)
        return true;
    m_u32NotifyBelow = mark;
    return false;
}

bool CQuorVelmarLineWriter::WaitIdle(int64_t timeoutMs)
{
    int64_t end = OS::Milliseconds() + timeoutMs;
    OSMutexLocker locker(&m_Mutex);
    while (!m_Lines.empty() || m_u64InFlight != 0) {
        int64_t left = end - OS::Milliseconds();
        if (left <= 0)
            return false;
        m_Cond.Wait(&m_Mutex, left);
    }
    return true;
}

void CQuorVelmarLineWriter::Entry()
{
    OSMutexLocker locker(&m_Mutex);
    while (!IsStopRequested()) {
        int64_t now = OS::Milliseconds();
        if (m_Lines.empty()) {
            m_Cond.Wait(&m_Mutex, 0);
        } else if (now < m_s64QuietUntilMs) {
            m_Cond.Wait(&m_Mutex, m_s64QuietUntilMs - now);
        } else {
            Line line = std::move(m_Lines.front());
            m_Lines.pop_front();
            m_u32Bytes -= (uint32_t)line.bytes.size();
            WriteOne(line);
        }
    }
}

// With m_Mutex held once: writes the line with the mutex released, then
// keeps the line quiet for the hold asked for it, and gives the below-mark
// call when it is due.
void CQuorVelmarLineWriter::WriteOne(Line& line)
{
    m_u64InFlight = line.u64Ticket;
    m_u32InFlightHoldMs = line.u32HoldMs;
    bool belowMark = m_u32NotifyBelow != 0 && m_Lines.size() < m_u32NotifyBelow;
    if (belowMark)
        m_u32NotifyBelow = 0;
    m_Mutex.RecursiveUnlock();
    if (belowMark && m_pfnBelowMark != nullptr)
        m_pfnBelowMark();
    m_pfnWrite(m_pContext, line.bytes.data(), (uint32_t)line.bytes.size());
    m_Mutex.RecursiveLock();
    m_u64LastWritten = m_u64InFlight;
    m_u64InFlight = 0;
    m_s64LastWrittenMs = OS::Milliseconds();
    m_s64QuietUntilMs = m_s64LastWrittenMs + m_u32InFlightHoldMs;
    m_Cond.Broadcast();  // WaitIdle
}

void CQuorVelmarLineWriter::WakeForStop()
{
    OSMutexLocker locker(&m_Mutex);
    m_Cond.Broadcast();
}
