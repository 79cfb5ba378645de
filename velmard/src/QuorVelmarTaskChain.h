// The start-up chain of velmard's long-lived tasks: each link creates one
// task, stores it in its global and initialises it, in a fixed order.
//
// Kinds of links:
// - hard: a failure is logged and ends the chain (the remaining tasks are not
//   created; the process keeps running with what was started);
// - soft: a failure is logged and the chain goes on; success is logged too;
// - last: like hard, for the final link;
// - pause: waits the given number of seconds.
// Every message is logged at its level with flush.
#ifndef QUOR_VELMAR_TASKCHAIN_H
#define QUOR_VELMAR_TASKCHAIN_H

#include <cstddef>
#include <cstdint>
#include <new>

// What a link's start function reports.
enum {
    QUOR_LINK_OK = 0,
    QUOR_LINK_NO_MEMORY = 1,     // the task could not be created
    QUOR_LINK_INIT_FAILED = 2    // its initialisation failed
};

struct T_QuorTaskLink {
    enum Kind { kHard, kSoft, kLast, kPause };

    Kind eKind;
    // Creates, stores and initialises the task: one of QUOR_LINK_*.
    int (*pfnStart)();
    const char* pNoMemoryText;    // logged at 40000 for QUOR_LINK_NO_MEMORY
    const char* pInitFailText;    // logged at 40000 for QUOR_LINK_INIT_FAILED
    const char* pSuccessText;     // soft links: logged at 20000 on success
    uint32_t u32PauseSeconds;     // pause links
};

// The usual start function: a new T stored in *Global, then Initialize(),
// whose 0 means success. A task that fails to initialise stays in its global.
template <class T, T** Global>
int QuorStartTaskLink()
{
    T* task = new (std::nothrow) T;
    *Global = task;
    if (task == nullptr)
        return QUOR_LINK_NO_MEMORY;
    return task->Initialize() == 0 ? QUOR_LINK_OK : QUOR_LINK_INIT_FAILED;
}

class CQuorVelmarTaskChain {
public:
    typedef void (*PauseFn)(uint32_t seconds);

    // Runs the links in order until a hard or last link fails. pause waits
    // for pause links (null: the full time with nanosleep). Returns the
    // number of links run.
    static size_t Run(const T_QuorTaskLink* links, size_t count, PauseFn pause = nullptr);

    // Waits the whole number of seconds, also across signals.
    static void PauseSeconds(uint32_t seconds);
};

#endif
