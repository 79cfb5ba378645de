// A task of its own thread pool whose work is one blocking receive loop:
// Initialize signals the task, its first run enters the loop (which keeps the
// pool's thread until the loop ends) and every later run returns 0 at once.
// The group task and the configuration-tool search task are such tasks.
#ifndef QUOR_VELMAR_RECEIVELOOPTASK_H
#define QUOR_VELMAR_RECEIVELOOPTASK_H

#include <atomic>
#include <cstdint>

#include "LightLog.h"
#include "QuorTask.h"

template <int N>
class CQuorVelmarReceiveLoopTask : public QuorTask<N> {
public:
    // Signals the task to start its receive loop. 0.
    int Initialize()
    {
        this->Signal(TASK_EVT_START);
        LightLogExt(20000, 0, m_pSource, __LINE__, "%s::Initialize OK!", m_pClassName);
        return 0;
    }
    int64_t Run() override
    {
        this->GetEvents();
        if (m_u32Started.exchange(1) == 0)
            ReceiveLoop();
        return 0;
    }

protected:
    // source: the log name of the task's file; className: the task's class,
    // which also names the task.
    CQuorVelmarReceiveLoopTask(const char* source, const char* className) : m_pSource(source), m_pClassName(className)
    {
        this->SetTaskName(className);
    }

    virtual void ReceiveLoop() = 0;

private:
    const char* m_pSource;
    const char* m_pClassName;
    std::atomic<uint32_t> m_u32Started{0};
};

#endif
