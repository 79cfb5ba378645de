// The TCP command port of velmard: creates the listener on the configured
// address and port ("QuorVelmar_TelnetIp", "QuorVelmar_TelnetPort"; the
// address 127.0.0.1 means every address) and keeps it for the process. A
// bind that fails is retried every 5 seconds for as long as it fails, so
// start-up waits here until the port is free.
//
// The management task reaches the clients through QuorVelmarTcpSrvSend once
// the server listens.
#ifndef QUOR_VELMAR_TCPSRVCREATE_H
#define QUOR_VELMAR_TCPSRVCREATE_H

#include <atomic>
#include <cstdint>

class CQuorTCPServerSocket;

class CQuorVelmarTcpSrvCreate {
public:
    // A pause of the calling thread (milliseconds).
    typedef void (*PauseFn)(uint32_t milliseconds);
    static const uint32_t kBindRetryMs = 5000;

    CQuorVelmarTcpSrvCreate();

    // Starts listening (see CreateAndStartListener) and makes this the server
    // the management task sends through. 0, or -1 when the listener cannot
    // be created.
    int Initialize();
    // Creates the listener, binds it (retrying), sets the accept deferral and
    // asks for incoming connections. Returns 0 once listening, -1 when the
    // listener cannot be created.
    int CreateAndStartListener();

    CQuorTCPServerSocket* GetListener() const { return m_pTCPServerSocket.load(); }

    // The host-order address to listen on for the preference's address
    // (network order): 127.0.0.1 gives 0, every address.
    static uint32_t ListenAddrFor(uint32_t prefAddr);
    // The listener of the running server, or null before it listens.
    static CQuorTCPServerSocket* GetRunningListener();
    // Replaces the pause between bind attempts (null: sleep).
    static void SetPauseFn(PauseFn pause);

private:
    std::atomic<CQuorTCPServerSocket*> m_pTCPServerSocket{nullptr};
};

// The server, created at start-up.
extern CQuorVelmarTcpSrvCreate* g_pVelmarTcpSrv;

// Queues text for the TCP clients (the management task's SendTcpBuf):
// session > 0 → that client (-2 when it is not connected); session <= 0 with
// mode 0 → every client. -2 while the server does not listen yet.
int QuorVelmarTcpSrvSend(const char* text, uint8_t mode, int32_t session);

#endif
