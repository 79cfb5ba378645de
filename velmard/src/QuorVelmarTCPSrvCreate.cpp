// The TCP command port of velmard: see QuorVelmarTCPSrvCreate.h.
#include "QuorVelmarTCPSrvCreate.h"

#include <arpa/inet.h>

#include <cstdio>
#include <new>

#include "LightLog.h"
#include "OSThread.h"
#include "QuorEventContext.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarTCPServerSocket.h"

CQuorVelmarTcpSrvCreate* g_pVelmarTcpSrv = nullptr;

namespace {

const char kSrc[] = "src/QuorVelmarTCPSrvCreate";
const uint32_t kLoopbackAddr = 0x7F000001u;  // host order

std::atomic<CQuorVelmarTcpSrvCreate::PauseFn> s_pfnPause{nullptr};
std::atomic<CQuorTCPServerSocket*> s_pRunningListener{nullptr};

void PauseBeforeRetry(uint32_t milliseconds)
{
    CQuorVelmarTcpSrvCreate::PauseFn pause = s_pfnPause.load();
    if (pause != nullptr)
        pause(milliseconds);
    else
        OSThread::Sleep(milliseconds);
}

// The listener's socket set up on the configured address: 0 or an error number.
int BindListener(CQuorTCPServerSocket* listener, uint32_t prefAddr, uint16_t port, const char* addrText)
{
    int err = listener->Initialize(CQuorVelmarTcpSrvCreate::ListenAddrFor(prefAddr), port);
    if (err == 0)
        return 0;
    printf("QuorTCPServerSocket ip <%s> bind port <%u> err<%d>,wait for 5s until success.\n", addrText,
           (unsigned)port, err);
    fflush(stdout);
    LightLogExt(40000, 0, kSrc, __LINE__, "QuorTCPServerSocket <%s> bind port <%u> err<%d>,wait for 5s until success.",
                addrText, (unsigned)port, err);
    return err;
}

}  // namespace

CQuorVelmarTcpSrvCreate::CQuorVelmarTcpSrvCreate() = default;

uint32_t CQuorVelmarTcpSrvCreate::ListenAddrFor(uint32_t prefAddr)
{
    uint32_t addr = ntohl(prefAddr);
    return addr == kLoopbackAddr ? 0 : addr;
}

CQuorTCPServerSocket* CQuorVelmarTcpSrvCreate::GetRunningListener()
{
    return s_pRunningListener.load();
}

void CQuorVelmarTcpSrvCreate::SetPauseFn(PauseFn pause)
{
    s_pfnPause.store(pause);
}

int CQuorVelmarTcpSrvCreate::Initialize()
{
    LightLogExt(10000, 0, kSrc, __LINE__, "MgrTask start to work");
    int result = CreateAndStartListener();
    if (result == 0)
        s_pRunningListener.store(GetListener());
    return result;
}

int CQuorVelmarTcpSrvCreate::CreateAndStartListener()
{
    // The sessions and the listener are watched by pool 7's event thread
    // (each call does its work once per process).
    QuorEventContext<7>::InitializeEventThread();
    QuorEventContext<7>::StartEventThread();

    CQuorTCPServerSocket* listener = new (std::nothrow) CQuorTCPServerSocket;
    if (listener == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Put in for memory for CQuorTCPServerSocket failed");
        return -1;
    }
    m_pTCPServerSocket.store(listener);
    {
        OSMutexLocker locker(&CQuorVelmarPref::PrefMutex());
        listener->SetClientLinkMaxNum(CQuorVelmarPref::s_u32Quor_Velmar_ClientMaxNum);
    }
    uint32_t prefAddr = CQuorVelmarPref::s_u32Quor_Velmar_TelnetInterAddr;
    uint16_t port = CQuorVelmarPref::s_u16Quor_Velmar_TelnetInterPort;
    char addrText[INET_ADDRSTRLEN];
    QuorAddrToText(ntohl(prefAddr), addrText, sizeof(addrText));
    while (BindListener(listener, prefAddr, port, addrText) != 0) {
        PauseBeforeRetry(kBindRetryMs);
        listener->Cleanup();
    }
    int err = listener->DeferAccept();
    if (err != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "QuorTCPServerSocket listener<%s:%u> defer accept err<%d>.", addrText,
                    (unsigned)port, err);
    LightLogExt(20000, 0, kSrc, __LINE__, "QuorTCPServerSocket ip <%s> bind port <%u> success.", addrText,
                (unsigned)port);
    err = listener->RequestEvent(QUOR_EV_READ);
    if (err != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######QuorTCPServerSocket cannot watch for connections, err<%d>.", err);
    return 0;
}

int QuorVelmarTcpSrvSend(const char* text, uint8_t mode, int32_t session)
{
    CQuorTCPServerSocket* listener = CQuorVelmarTcpSrvCreate::GetRunningListener();
    if (listener == nullptr || text == nullptr)
        return -2;
    LightLogExt(20000, 0, kSrc, __LINE__, "SendTcpBuf TcpMsg is <%s>, mode <%u>, TaskSession <%d>.", text,
                (unsigned)mode, session);
    return listener->QueueTcpMsg(text, mode, session);
}
