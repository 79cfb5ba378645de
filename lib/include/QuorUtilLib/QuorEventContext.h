// Event contexts: descriptors watched by one select-based event thread per
// pool. A context asks for read or write interest; when its descriptor
// becomes ready the event thread calls the context's ProcessEvent (by default
// it signals the owning task with TASK_EVT_READ) and forgets the interest, so
// the owner asks again once it has drained the descriptor.
//
// Descriptors that were ever watched are closed by the event thread only, so
// a ready descriptor can never refer to a reused descriptor number.
#ifndef QUOR_QUOREVENTCONTEXT_H
#define QUOR_QUOREVENTCONTEXT_H

#include <sys/select.h>
#include <sys/types.h>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "LightLog.h"
#include "MyAssert.h"
#include "OSMutex.h"
#include "OSRef.h"
#include "OSThread.h"
#include "QuorTask.h"

// Interest bits of RequestEvent / select_modwatch, and the kinds reported.
enum : int {
    QUOR_EV_READ = 1,
    QUOR_EV_WRITE = 2,
};

// Event bit that ends a task (tasks of this layer return -1 on it).
enum : uint32_t { QUOR_EVT_KILL = 0x1u };

// Result of select_waitevent when nothing is ready yet.
enum : int { QUOR_SELECT_NOEVENT = 4 };

// Capacity of the select sets; descriptors at or above it are refused.
#define QUOR_MAX_SELECT_FD FD_SETSIZE

struct QuorEventReq {
    int er_handle = -1;      // descriptor
    int er_eventbits = 0;    // QUOR_EV_READ or QUOR_EV_WRITE
    uint32_t er_data = 0;    // cookie of the watching context
};

// The select state of pool N. Everything is guarded by MaxFDPosMutex();
// tasks on any thread change interest, only the event thread calls select.
template <int N>
class QuorSelect {
public:
    // Clears the sets, allocates the cookie and deferred-close arrays and
    // creates the wake pipe. A second call does nothing. 0 or an error number.
    static int select_startevents();
    // Sets or clears the read (bit 0) and write (bit 1) interest of the
    // request's descriptor under its cookie and wakes select. 0, EMFILE for a
    // descriptor beyond the sets, EBADF for a negative one, EINVAL for a zero
    // cookie, ENXIO before select_startevents.
    static int select_modwatch(QuorEventReq* req, int events);
    // Drops every interest of fd and hands it to the event thread to close.
    static int select_removeevent(int fd);
    // The next ready descriptor: 0 with the request filled in,
    // QUOR_SELECT_NOEVENT, or the negative result of a failed select.
    static int select_waitevent(QuorEventReq* req);

    // Never destroyed: the event thread runs until the process ends.
    static OSMutex& MaxFDPosMutex() { return OSLifetimeMutex<QuorSelect>(); }
    static bool IsStarted()
    {
        OSMutexLocker locker(&MaxFDPosMutex());
        return sPipes[0] >= 0;
    }

    static fd_set sReadSet;
    static fd_set sWriteSet;
    static fd_set sReturnedReadSet;
    static fd_set sReturnedWriteSet;
    static uint32_t* sCookieArray;
    static int* sFDsToCloseArray;
    static int sPipes[2];
    static int sMaxFDPos;
    static int sCurrentFDPos;
    static bool sInReadSet;
    static int sNumFDsBackFromSelect;
    static int sNumFDsProcessed;

private:
    static int NextReturnedLocked(QuorEventReq* req);
    static bool selecthasdata(int selectResult, int selectErrno);
    static void WakeLocked();
    static void DrainPipeAndCloseLocked();
    static void DropBadDescriptorsLocked();
};

template <int N> class QuorEventContext;

// The event thread of pool N: waits in select and hands ready descriptors to
// their contexts, found by cookie in its reference table.
template <int N>
class QuorEventThread : public OSThread {
public:
    QuorEventThread() : fRefTable(1193) {}
    void Entry() override;
    int GetTemplateID() override { return N; }
    OSRefTable* GetRefTable() { return &fRefTable; }

private:
    void Dispatch(const QuorEventReq& req);
    OSRefTable fRefTable;
};

template <int N>
class QuorEventContext {
public:
    QuorEventContext(int fd, QuorTask<N>* task);
    virtual ~QuorEventContext();
    QuorEventContext(const QuorEventContext&) = delete;
    QuorEventContext& operator=(const QuorEventContext&) = delete;

    // Stores the descriptor and makes it non-blocking. 0 or an error number.
    int InitNonBlocking(int fd);
    // Asks for the interest bits; the first call registers the context with
    // the event thread. 0 or an error number.
    int RequestEvent(int events = QUOR_EV_READ);
    // Stops watching and closes the descriptor (through the event thread once
    // it was watched). The descriptor becomes -1.
    void Cleanup();
    // Called on the event thread when the descriptor is ready.
    virtual void ProcessEvent(int eventKind);

    int GetSocketFD() const { return fFileDesc.load(std::memory_order_acquire); }
    QuorTask<N>* GetTask() const { return fTask.load(std::memory_order_acquire); }
    void SetTask(QuorTask<N>* task) { fTask.store(task, std::memory_order_release); }
    uint32_t GetCookie() const { return fUniqueID.load(std::memory_order_acquire); }
    bool IsWatching() const { return fWatchEventCalled.load(std::memory_order_acquire); }

    // Creates the pool's event thread once and resets its select state.
    // 0 or an error number.
    static int InitializeEventThread();
    // Starts the pool's event thread (once).
    static int StartEventThread();

    // The pool's event thread (shared by every context class of the pool).
    static std::atomic<QuorEventThread<N>*> sEventThread;
    // Last cookie given out; cookies run from 1 to 9999999 and wrap.
    static std::atomic<uint32_t> sUniqueID;
    static const uint32_t kMaxCookie = 10000000;

protected:
    void SetFD(int fd) { fFileDesc.store(fd, std::memory_order_release); }

private:
    int RegisterLocked(QuorEventThread<N>* thread);
    static uint32_t NextCookie();

    std::atomic<int> fFileDesc;
    OSRef fRef;
    std::atomic<QuorTask<N>*> fTask;
    std::atomic<bool> fWatchEventCalled{false};
    QuorEventReq fEventReq;
    std::atomic<uint32_t> fUniqueID{0};
    char fCookieKey[sizeof(uint32_t)] = {};
    QuorEventThread<N>* fEventThread = nullptr;
};

// ---------------------------------------------------------------------------
// QuorSelect

template <int N> fd_set QuorSelect<N>::sReadSet;
template <int N> fd_set QuorSelect<N>::sWriteSet;
template <int N> fd_set QuorSelect<N>::sReturnedReadSet;
template <int N> fd_set QuorSelect<N>::sReturnedWriteSet;
template <int N> uint32_t* QuorSelect<N>::sCookieArray = nullptr;
template <int N> int* QuorSelect<N>::sFDsToCloseArray = nullptr;
template <int N> int QuorSelect<N>::sPipes[2] = {-1, -1};
template <int N> int QuorSelect<N>::sMaxFDPos = 0;
template <int N> int QuorSelect<N>::sCurrentFDPos = 0;
template <int N> bool QuorSelect<N>::sInReadSet = true;
template <int N> int QuorSelect<N>::sNumFDsBackFromSelect = 0;
template <int N> int QuorSelect<N>::sNumFDsProcessed = 0;

template <int N>
int QuorSelect<N>::select_startevents()
{
    OSMutexLocker locker(&MaxFDPosMutex());
    if (sPipes[0] >= 0)
        return 0;
    FD_ZERO(&sReadSet);
    FD_ZERO(&sWriteSet);
    FD_ZERO(&sReturnedReadSet);
    FD_ZERO(&sReturnedWriteSet);
    if (sCookieArray == nullptr)
        sCookieArray = new (std::nothrow) uint32_t[QUOR_MAX_SELECT_FD]();
    if (sFDsToCloseArray == nullptr)
        sFDsToCloseArray = new (std::nothrow) int[QUOR_MAX_SELECT_FD];
    if (sCookieArray == nullptr || sFDsToCloseArray == nullptr) {
        MyAssertAt("Quorev", 136);
        return ENOMEM;
    }
    for (int i = 0; i < QUOR_MAX_SELECT_FD; i++)
        sFDsToCloseArray[i] = -1;
    // Both ends non-blocking: a full pipe already wakes select, so a writer
    // never waits (it holds the select lock the event thread needs).
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC | O_NONBLOCK) != 0) {
        int err = errno;
        MyAssertAt("Quorev", 136);
        return err;
    }
    if (pipes[0] >= QUOR_MAX_SELECT_FD || pipes[1] >= QUOR_MAX_SELECT_FD) {
        close(pipes[0]);
        close(pipes[1]);
        MyAssertAt("Quorev", 136);
        return EMFILE;
    }
    sPipes[0] = pipes[0];
    sPipes[1] = pipes[1];
    FD_SET(sPipes[0], &sReadSet);
    sMaxFDPos = sPipes[0];
    sCurrentFDPos = 0;
    sInReadSet = true;
    sNumFDsBackFromSelect = 0;
    sNumFDsProcessed = 0;
    return 0;
}

template <int N>
void QuorSelect<N>::WakeLocked()
{
    // EAGAIN means the pipe is full and therefore readable: select wakes.
    ssize_t written;
    do {
        written = write(sPipes[1], "p", 1);
    } while (written < 0 && errno == EINTR);
}

template <int N>
int QuorSelect<N>::select_modwatch(QuorEventReq* req, int events)
{
    if (req == nullptr) {
        QuorAssert(req != nullptr);
        return EINVAL;
    }
    int fd = req->er_handle;
    if (fd < 0 || fd >= QUOR_MAX_SELECT_FD) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__,
                    "######Descriptor<%d> is outside the select sets (limit %d), not watched.", fd,
                    (int)QUOR_MAX_SELECT_FD);
        return fd < 0 ? EBADF : EMFILE;
    }
    if (req->er_data == 0) {
        QuorAssert(req->er_data != 0);
        return EINVAL;
    }
    OSMutexLocker locker(&MaxFDPosMutex());
    if (!IsStarted())
        return ENXIO;
    if (events & QUOR_EV_READ)
        FD_SET(fd, &sReadSet);
    else
        FD_CLR(fd, &sReadSet);
    if (events & QUOR_EV_WRITE)
        FD_SET(fd, &sWriteSet);
    else
        FD_CLR(fd, &sWriteSet);
    if (fd > sMaxFDPos)
        sMaxFDPos = fd;
    sCookieArray[fd] = req->er_data;
    WakeLocked();
    return 0;
}

template <int N>
int QuorSelect<N>::select_removeevent(int fd)
{
    if (fd < 0 || fd >= QUOR_MAX_SELECT_FD)
        return EBADF;
    OSMutexLocker locker(&MaxFDPosMutex());
    if (!IsStarted()) {
        close(fd);
        return 0;
    }
    FD_CLR(fd, &sReadSet);
    FD_CLR(fd, &sWriteSet);
    sCookieArray[fd] = 0;
    sFDsToCloseArray[fd] = fd;
    WakeLocked();
    return 0;
}

// Takes the next descriptor of the last select's result that is still
// watched; one-shot: its interest is dropped. 0 when one was found.
template <int N>
int QuorSelect<N>::NextReturnedLocked(QuorEventReq* req)
{
    while (sNumFDsProcessed < sNumFDsBackFromSelect) {
        fd_set* returned = sInReadSet ? &sReturnedReadSet : &sReturnedWriteSet;
        fd_set* watched = sInReadSet ? &sReadSet : &sWriteSet;
        int fd = -1;
        for (; sCurrentFDPos <= sMaxFDPos; sCurrentFDPos++) {
            if (FD_ISSET(sCurrentFDPos, returned)) {
                fd = sCurrentFDPos;
                break;
            }
        }
        if (fd < 0) {
            if (!sInReadSet)
                break;
            sInReadSet = false;
            sCurrentFDPos = 0;
            continue;
        }
        FD_CLR(fd, returned);
        sNumFDsProcessed++;
        // Interest dropped or changed since select returned: not an event.
        if (!FD_ISSET(fd, watched) || sCookieArray[fd] == 0)
            continue;
        FD_CLR(fd, &sReadSet);
        FD_CLR(fd, &sWriteSet);
        req->er_handle = fd;
        req->er_eventbits = sInReadSet ? QUOR_EV_READ : QUOR_EV_WRITE;
        req->er_data = sCookieArray[fd];
        return 0;
    }
    sNumFDsProcessed = sNumFDsBackFromSelect;
    return -1;
}

template <int N>
void QuorSelect<N>::DrainPipeAndCloseLocked()
{
    char buf[4096];
    while (read(sPipes[0], buf, sizeof(buf)) > 0) {
    }
    for (int fd = 0; fd < QUOR_MAX_SELECT_FD; fd++) {
        if (sFDsToCloseArray[fd] >= 0) {
            close(sFDsToCloseArray[fd]);
            sFDsToCloseArray[fd] = -1;
        }
    }
}

// A watched descriptor was closed behind the event thread's back: select
// fails with EBADF on every call. Drop such descriptors so the others are
// served again.
template <int N>
void QuorSelect<N>::DropBadDescriptorsLocked()
{
    for (int fd = 0; fd <= sMaxFDPos; fd++) {
        if (!FD_ISSET(fd, &sReadSet) && !FD_ISSET(fd, &sWriteSet))
            continue;
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        FD_CLR(fd, &sReadSet);
        FD_CLR(fd, &sWriteSet);
        sCookieArray[fd] = 0;
        QuorAssertV(false, fd);
    }
}

template <int N>
bool QuorSelect<N>::selecthasdata(int selectResult, int selectErrno)
{
    if (selectResult < 0) {
        if (selectErrno == EINTR)
            return false;
        if (selectErrno == EBADF) {
            OSMutexLocker locker(&MaxFDPosMutex());
            DropBadDescriptorsLocked();
            return false;
        }
        return true;
    }
    if (selectResult == 0)
        return false;
    OSMutexLocker locker(&MaxFDPosMutex());
    sNumFDsBackFromSelect = selectResult;
    if (FD_ISSET(sPipes[0], &sReturnedWriteSet))
        MyAssertAt("Quorev", 493);
    if (FD_ISSET(sPipes[0], &sReturnedReadSet)) {
        DrainPipeAndCloseLocked();
        FD_CLR(sPipes[0], &sReturnedReadSet);
        sNumFDsProcessed++;
    }
    return sNumFDsProcessed < sNumFDsBackFromSelect;
}

template <int N>
int QuorSelect<N>::select_waitevent(QuorEventReq* req)
{
    {
        OSMutexLocker locker(&MaxFDPosMutex());
        if (NextReturnedLocked(req) == 0)
            return 0;
    }
    for (;;) {
        int maxFd;
        {
            OSMutexLocker locker(&MaxFDPosMutex());
            sCurrentFDPos = 0;
            sInReadSet = true;
            sNumFDsBackFromSelect = 0;
            sNumFDsProcessed = 0;
            sReturnedReadSet = sReadSet;
            sReturnedWriteSet = sWriteSet;
            maxFd = sMaxFDPos;
        }
        struct timeval timeout = {15, 0};
        int result = select(maxFd + 1, &sReturnedReadSet, &sReturnedWriteSet, nullptr, &timeout);
        int err = errno;
        if (selecthasdata(result, err))
            return result < 0 ? -err : QUOR_SELECT_NOEVENT;
    }
}

// ---------------------------------------------------------------------------
// QuorEventThread

template <int N>
void QuorEventThread<N>::Dispatch(const QuorEventReq& req)
{
    uint32_t cookie = req.er_data;
    StrSpan key(reinterpret_cast<char*>(&cookie), sizeof(cookie));
    OSRef* ref = fRefTable.Resolve(&key);
    if (ref == nullptr)
        return;  // cleaned up meanwhile
    static_cast<QuorEventContext<N>*>(ref->GetObject())->ProcessEvent(req.er_eventbits);
    fRefTable.Release(ref);
}

template <int N>
void QuorEventThread<N>::Entry()
{
    while (!IsStopRequested()) {
        QuorEventReq req;
        int result = QuorSelect<N>::select_waitevent(&req);
        if (result < 0)
            result = -result;
        if (result != 0 && result != QUOR_SELECT_NOEVENT) {
            char text[128];
            snprintf(text, sizeof(text), "_AssertV: %s, %d (%d)", "QuorEventContext", 404, result);
            MyAssert(text);
            OSThread::Sleep(10);  // no hot loop on a persistent failure
            continue;
        }
        if (result == 0 && req.er_data != 0)
            Dispatch(req);
        OSThread::ThreadYield();
    }
}

// ---------------------------------------------------------------------------
// QuorEventContext

template <int N> std::atomic<QuorEventThread<N>*> QuorEventContext<N>::sEventThread{nullptr};
template <int N> std::atomic<uint32_t> QuorEventContext<N>::sUniqueID{0};

template <int N>
int QuorEventContext<N>::InitializeEventThread()
{
    static OSMutex* startMutex = new OSMutex;
    OSMutexLocker locker(startMutex);
    if (sEventThread.load() == nullptr)
        sEventThread.store(new QuorEventThread<N>);
    return QuorSelect<N>::select_startevents();
}

template <int N>
int QuorEventContext<N>::StartEventThread()
{
    static OSMutex* startMutex = new OSMutex;
    static bool started = false;
    OSMutexLocker locker(startMutex);
    QuorEventThread<N>* thread = sEventThread.load();
    if (thread == nullptr || !QuorSelect<N>::IsStarted())
        return ENXIO;
    if (!started)
        started = thread->Start();
    return started ? 0 : EAGAIN;
}

template <int N>
QuorEventContext<N>::QuorEventContext(int fd, QuorTask<N>* task) : fFileDesc(fd), fTask(task)
{
}

template <int N>
QuorEventContext<N>::~QuorEventContext()
{
    Cleanup();
}

template <int N>
int QuorEventContext<N>::InitNonBlocking(int fd)
{
    SetFD(fd);
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        int err = errno;
        QuorAssertV(false, err);
        return err;
    }
    return 0;
}

template <int N>
uint32_t QuorEventContext<N>::NextCookie()
{
    uint32_t old = sUniqueID.load();
    uint32_t next;
    do {
        next = old + 1;
        if (next >= kMaxCookie)
            next = 1;
    } while (!sUniqueID.compare_exchange_weak(old, next));
    return next;
}

// Takes a cookie no other context holds and registers under it.
template <int N>
int QuorEventContext<N>::RegisterLocked(QuorEventThread<N>* thread)
{
    for (int attempt = 0; attempt < 100000; attempt++) {
        uint32_t cookie = NextCookie();
        memcpy(fCookieKey, &cookie, sizeof(cookie));
        fRef.Set(StrSpan(fCookieKey, sizeof(fCookieKey)), this);
        if (thread->GetRefTable()->Register(&fRef) == 0) {
            fUniqueID.store(cookie, std::memory_order_release);
            fEventThread = thread;
            fWatchEventCalled.store(true, std::memory_order_release);
            return 0;
        }
    }
    QuorAssert(false);
    return ENOSPC;
}

template <int N>
int QuorEventContext<N>::RequestEvent(int events)
{
    // The select lock also orders the first registration against a second
    // caller on another thread.
    OSMutexLocker locker(&QuorSelect<N>::MaxFDPosMutex());
    int fd = GetSocketFD();
    if (fd < 0)
        return EBADF;
    if (fd >= QUOR_MAX_SELECT_FD) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__,
                    "######Descriptor<%d> is outside the select sets (limit %d), not watched.", fd,
                    (int)QUOR_MAX_SELECT_FD);
        return EMFILE;
    }
    if (!IsWatching()) {
        QuorEventThread<N>* thread = sEventThread.load();
        if (thread == nullptr || !QuorSelect<N>::IsStarted()) {
            QuorAssert(thread != nullptr);
            return ENXIO;
        }
        int err = RegisterLocked(thread);
        if (err != 0)
            return err;
    }
    fEventReq.er_handle = fd;
    fEventReq.er_eventbits = events;
    fEventReq.er_data = GetCookie();
    return QuorSelect<N>::select_modwatch(&fEventReq, events);
}

template <int N>
void QuorEventContext<N>::Cleanup()
{
    bool watching = fWatchEventCalled.exchange(false);
    if (watching) {
        // Wait until the event thread no longer uses this context; on the
        // event thread itself (inside some ProcessEvent) that thread's own
        // reference may be held.
        bool onEventThread = OSThread::GetCurrent() == fEventThread;
        fEventThread->GetRefTable()->UnRegister(&fRef, onEventThread ? 1 : 0);
    }
    int fd = fFileDesc.exchange(-1);
    if (fd < 0)
        return;
    // Once watched, only the event thread closes the descriptor, so select
    // never sees its number reused.
    if (!watching || QuorSelect<N>::select_removeevent(fd) != 0)
        close(fd);
}

template <int N>
void QuorEventContext<N>::ProcessEvent(int eventKind)
{
    (void)eventKind;  // write readiness is reported as a read event too
    QuorTask<N>* task = GetTask();
    if (task != nullptr)
        task->Signal(TASK_EVT_READ);
}

#endif
