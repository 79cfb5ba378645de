#include "OSThread.h"

#include <cerrno>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>

uint32_t OSThread::sStackBytes = 0;

namespace {
thread_local OSThread* tCurrentThread = nullptr;
}

OSThread::~OSThread()
{
    StopAndWaitForThread();
}

void OSThread::Initialize(uint32_t stackBytes)
{
    sStackBytes = stackBytes;
}

void* OSThread::Trampoline(void* arg)
{
    OSThread* self = static_cast<OSThread*>(arg);
    tCurrentThread = self;
    self->Entry();
    return nullptr;
}

bool OSThread::Start()
{
    if (fStarted)
        return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // PTHREAD_STACK_MIN is a long on some C libraries, an int constant on others.
    if (static_cast<size_t>(sStackBytes) >= static_cast<size_t>(PTHREAD_STACK_MIN))
        pthread_attr_setstacksize(&attr, sStackBytes);
    int err = pthread_create(&fThread, &attr, Trampoline, this);
    pthread_attr_destroy(&attr);
    fStarted = (err == 0);
    return fStarted;
}

void OSThread::StopAndWaitForThread()
{
    SendStopRequest();
    if (fStarted && !fJoined && !pthread_equal(fThread, pthread_self())) {
        pthread_join(fThread, nullptr);
        fJoined = true;
    }
}

OSThread* OSThread::GetCurrent()
{
    return tCurrentThread;
}

void OSThread::Sleep(uint32_t ms)
{
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

void OSThread::ThreadYield()
{
    sched_yield();
}

int OSThread::SetPriority(int priority)
{
    if (!fStarted)
        return EINVAL;
    struct sched_param param;
    param.sched_priority = priority;
    return pthread_setschedparam(fThread, SCHED_RR, &param);
}
