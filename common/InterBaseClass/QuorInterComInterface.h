// Inter-module messaging tasks.
//
// QuorInterComInterface<N> turns a task's read and write events into virtual
// calls. QuorInterComUDPSocket<N> binds a datagram socket (retrying every 2 s
// until the bind succeeds), drains arriving datagrams into its message
// object, checks each header against the bytes received and hands every
// accepted datagram to ProcessMsg. A subclass whose consumer is full stops
// reading (MayReceive): the datagrams wait in the socket's receive buffer
// until the subclass signals TASK_EVT_READ again.
#ifndef QUOR_QUORINTERCOMINTERFACE_H
#define QUOR_QUORINTERCOMINTERFACE_H

#include <cstdint>

#include "LightLog.h"
#include "MyAssert.h"
#include "QuorInterDispInterface.h"
#include "QuorInterMsgInterface.h"
#include "QuorSecTimeoutTask.h"
#include "QuorUDPSocket.h"

#define QUOR_INTERCOM_HEADER_PATH "common/InterBaseClass/QuorInterComInterface"

template <int N>
class QuorInterComInterface : public QuorTask<N> {
public:
    // msg is not owned and must not be null (a null one leaves the task
    // inert); disp is not owned and may be null.
    QuorInterComInterface(QuorInterMsgInterface* msg, QuorInterDispInterface* disp) : m_pMsg(msg), m_pDisp(disp)
    {
        if (msg == nullptr)
            MyAssertAt(QUOR_INTERCOM_HEADER_PATH, __LINE__);
    }
    ~QuorInterComInterface() override = default;

    int64_t Run() override;
    virtual int ProcessReadEvent() = 0;
    virtual int ProcessWriteEvent() = 0;

    QuorInterMsgInterface* GetMsg() const { return m_pMsg; }
    QuorInterDispInterface* GetDisp() const { return m_pDisp; }

protected:
    QuorInterMsgInterface* m_pMsg;
    QuorInterDispInterface* m_pDisp;
};

template <int N>
class QuorInterComUDPSocket : public QuorInterComInterface<N> {
public:
    // Binds at once to the host-order local address (0 = any) and port; a
    // failed bind is retried every 2 seconds.
    QuorInterComUDPSocket(QuorInterMsgInterface* msg, QuorInterDispInterface* disp, uint32_t localAddr,
                          uint16_t localPort);
    ~QuorInterComUDPSocket() override;

    // Opens and binds the socket: 1 when bound or when a retry is armed, 0
    // when no socket could be opened.
    int Initialize();
    // To be called by the creator once the object is complete (after new).
    // The constructor binds the socket but asks for no events: read events
    // are requested here first, so a datagram can never reach a half-built
    // object (the constructors of subclasses run after the base's).
    void StartReceiving();
    // Sets the socket buffers and, once receiving has started, asks for
    // read events: 1, or 0 when read events could not be requested.
    int SetSocketBuf();

    int64_t Run() override;
    // Drains the socket: 1 once it is empty, 0 after a dropped datagram or a
    // receive error (the rest wait for the next read event), 2 when
    // MayReceive said no (no read event is asked for then).
    int ProcessReadEvent() override;
    // Asked before each datagram is taken. False leaves the rest in the
    // socket; the subclass then signals TASK_EVT_READ once it may go on.
    virtual bool MayReceive() { return true; }
    // The receive buffer asked of the system from now on (also after a
    // late bind). Beyond the system's limit it is forced where the process
    // may (a privileged daemon), else the system's limit applies.
    void SetRecvBufBytes(int bytes);
    int ProcessWriteEvent() override { return 1; }
    // One accepted datagram, in the message object's buffer (GetRecvLen()
    // bytes, header parsed). Valid only until this returns. The default
    // passes it to the dispatcher.
    virtual int ProcessMsg(uint32_t remoteAddr, uint16_t remotePort);

    QuorUDPSocket<N>* GetSocket() { return &m_Socket; }
    // Bytes of the datagram being handed to ProcessMsg.
    uint32_t GetRecvLen() const { return m_u32RecvLen; }
    QuorSecTimeoutTask<N>* GetBindRetryTimer() const { return m_pBindRetryTimer; }
    // Bind attempts so far (the first one included).
    uint32_t GetBindAttempts() const { return m_u32BindAttempts.load(); }

    static const uint32_t kBindRetrySeconds = 2;
    static const int kSocketBufBytes = 32768;
    enum : int { kReadPaused = 2 };

protected:
    QuorUDPSocket<N> m_Socket;
    QuorSecTimeoutTask<N>* m_pBindRetryTimer = nullptr;
    uint32_t m_u32LocalAddr;
    uint16_t m_u16LocalPort;

private:
    int TryBind();
    void RetryBind();
    void ArmBindRetry();
    void LogBindFailure(int err);

    int SetRecvBuf();

    uint32_t m_u32RecvLen = 0;
    std::atomic<int> m_s32RecvBufBytes{kSocketBufBytes};
    std::atomic<uint32_t> m_u32BindAttempts{0};
    std::atomic<bool> m_bReceiving{false};   // StartReceiving has been called
};

// ---------------------------------------------------------------------------
// QuorInterComInterface

template <int N>
int64_t QuorInterComInterface<N>::Run()
{
    uint32_t events = this->GetEvents();
    if (events & QUOR_EVT_KILL)
        return -1;
    if (m_pMsg == nullptr)
        return 0;
    if (events & TASK_EVT_READ)
        ProcessReadEvent();
    if (events & TASK_EVT_WRITE)
        ProcessWriteEvent();
    return 0;
}

// ---------------------------------------------------------------------------
// QuorInterComUDPSocket

template <int N>
QuorInterComUDPSocket<N>::QuorInterComUDPSocket(QuorInterMsgInterface* msg, QuorInterDispInterface* disp,
                                                uint32_t localAddr, uint16_t localPort)
    : QuorInterComInterface<N>(msg, disp),
      m_Socket(this, QUOR_SOCKET_NONBLOCKING),
      m_u32LocalAddr(localAddr),
      m_u16LocalPort(localPort)
{
    if (msg != nullptr)
        Initialize();
}

template <int N>
QuorInterComUDPSocket<N>::~QuorInterComUDPSocket()
{
    delete m_pBindRetryTimer;
    m_Socket.Cleanup();
}

template <int N>
int QuorInterComUDPSocket<N>::Initialize()
{
    if (m_Socket.IsBound())
        return SetSocketBuf();
    int err = m_Socket.GetSocketFD() < 0 ? m_Socket.Open() : 0;
    if (err != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__, "######QuorInterComUDPSocket cannot open a socket, err<%d>.",
                    err);
        return 0;
    }
    err = m_Socket.SetIntOption(SOL_SOCKET, SO_REUSEADDR, 1);
    QuorAssertV(err == 0, err);
    if (TryBind() == 0)
        return SetSocketBuf();
    ArmBindRetry();
    return 1;
}

template <int N>
void QuorInterComUDPSocket<N>::StartReceiving()
{
    // Runs of the task start by taking the task's event lock (the liveness
    // check of the task thread): taking it here publishes the complete object.
    (void)this->IsAlive();
    m_bReceiving.store(true);
    if (m_Socket.IsBound())
        m_Socket.RequestEvent(QUOR_EV_READ);
}

template <int N>
int QuorInterComUDPSocket<N>::TryBind()
{
    m_u32BindAttempts.fetch_add(1);
    int err = m_Socket.Bind(m_u32LocalAddr, m_u16LocalPort);
    if (err != 0)
        LogBindFailure(err);
    return err;
}

template <int N>
void QuorInterComUDPSocket<N>::LogBindFailure(int err)
{
    char addr[INET_ADDRSTRLEN];
    QuorAddrToText(m_u32LocalAddr, addr, sizeof(addr));
    LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__,
                "######QuorInterComUDPSocket bind IP<%s> port<%u> err<%d>, retry in %u s.", addr,
                (unsigned)m_u16LocalPort, err, (unsigned)kBindRetrySeconds);
}

template <int N>
void QuorInterComUDPSocket<N>::ArmBindRetry()
{
    if (m_pBindRetryTimer == nullptr) {
        // The pool's timeout task exists before its first timed entry.
        QuorSecTimeoutTask<N>::Initialize();
        m_pBindRetryTimer = new QuorSecTimeoutTask<N>(this, kBindRetrySeconds);
    }
    m_pBindRetryTimer->SetTimeOutMilSec((int64_t)kBindRetrySeconds * 1000);
}

template <int N>
void QuorInterComUDPSocket<N>::RetryBind()
{
    if (m_pBindRetryTimer == nullptr)
        return;
    if (m_Socket.IsBound() || TryBind() == 0) {
        m_pBindRetryTimer->Disarm();
        if (!m_Socket.IsWatching())
            SetSocketBuf();
        return;
    }
    m_pBindRetryTimer->RefreshTimeout();
}

template <int N>
void QuorInterComUDPSocket<N>::SetRecvBufBytes(int bytes)
{
    m_s32RecvBufBytes.store(bytes);
    if (m_Socket.IsBound())
        SetRecvBuf();
}

template <int N>
int QuorInterComUDPSocket<N>::SetRecvBuf()
{
    int bytes = m_s32RecvBufBytes.load();
    if (bytes > kSocketBufBytes && m_Socket.SetIntOption(SOL_SOCKET, SO_RCVBUFFORCE, bytes) == 0)
        return 0;
    int err = m_Socket.SetIntOption(SOL_SOCKET, SO_RCVBUF, bytes);
    if (err != 0) {
        // Still read the socket: a bound socket that is never read stalls silently.
        LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__,
                    "######QuorInterComUDPSocket SO_RCVBUF<%d> err<%d>.", bytes, err);
    }
    return err;
}

template <int N>
int QuorInterComUDPSocket<N>::SetSocketBuf()
{
    SetRecvBuf();
    int err = m_Socket.SetIntOption(SOL_SOCKET, SO_SNDBUF, kSocketBufBytes);
    QuorAssertV(err == 0, err);
    if (!m_bReceiving.load())
        return 1;  // StartReceiving asks for the events
    err = m_Socket.RequestEvent(QUOR_EV_READ);
    if (err != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__,
                    "######QuorInterComUDPSocket cannot request read events, err<%d>.", err);
        return 0;
    }
    return 1;
}

template <int N>
int64_t QuorInterComUDPSocket<N>::Run()
{
    uint32_t events = this->GetEvents();
    if (events & QUOR_EVT_KILL)
        return -1;
    if (this->m_pMsg == nullptr)
        return 0;
    if (events & TASK_EVT_TIMEOUT)
        RetryBind();
    if ((events & TASK_EVT_READ) && m_Socket.IsBound()) {
        if (ProcessReadEvent() != kReadPaused)
            m_Socket.RequestEvent(QUOR_EV_READ);
    }
    if (events & TASK_EVT_WRITE)
        ProcessWriteEvent();
    return 0;
}

template <int N>
int QuorInterComUDPSocket<N>::ProcessReadEvent()
{
    QuorInterMsgInterface* msg = this->m_pMsg;
    if (msg == nullptr || msg->GetMsgBuf() == nullptr)
        return 0;
    for (;;) {
        if (!MayReceive())
            return kReadPaused;
        uint32_t addr = 0;
        uint16_t port = 0;
        uint32_t got = 0;
        int err = m_Socket.RecvFrom(&addr, &port, msg->GetMsgBuf(), QUOR_INTER_MSG_BUF_LEN, &got);
        if (err == EAGAIN)
            return 1;
        if (err != 0)
            return 0;
        // The header must lie within this datagram, and claim exactly its size.
        if (got < QUOR_PDU_HEADER_LEN)
            return 0;
        msg->ParseMsgHeader();
        if (msg->GetPduMsg()->u32Length != got)
            return 0;
        m_u32RecvLen = got;
        ProcessMsg(addr, port);
    }
}

template <int N>
int QuorInterComUDPSocket<N>::ProcessMsg(uint32_t remoteAddr, uint16_t remotePort)
{
    if (this->m_pDisp == nullptr) {
        QuorAssert(this->m_pDisp != nullptr);
        return 0;
    }
    return this->m_pDisp->ReceiveMsg(this->m_pMsg, 0, remoteAddr, remotePort);
}

#endif
