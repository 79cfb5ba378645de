// The listener of the TCP command port (thread pool 7) and the list of its
// sessions.
//
// The listener (QuorTCPListenerSocket) accepts, counts connections per client
// address (refusing those beyond "QuorVelmar_ClinetLinkMaxNum", loaded again
// for every new session) and goes back to accepting whatever happened. This
// class supplies its session tasks (from the session pool), the client-list
// nodes (from their pool) and the log lines of the client list, and keeps the
// list of live sessions.
//
// One mutex, the session-list mutex, guards the session list and is held for
// every change, copy and lookup, and across every append to a session's send
// list made through the server: a session leaves the list under it before
// its connection is closed and the object goes back to the pool, so a line
// queued through the server never reaches a closed session or the next
// connection served by the same object. It comes before any session's
// send-list mutex.
#ifndef QUOR_VELMAR_TCPSERVERSOCKET_H
#define QUOR_VELMAR_TCPSERVERSOCKET_H

#include <cstdint>
#include <vector>

#include "OSMutex.h"
#include "QuorTCPListenerSocket.h"

class CQuorVelmarTCPSessionTask;

class CQuorTCPServerSocket : public QuorTCPListenerSocket<7> {
public:
    CQuorTCPServerSocket();
    ~CQuorTCPServerSocket() override;

    // A new session (initialised, in the list) and its socket, or null.
    QuorTask<7>* GetSessionTask(QuorTCPSocket<7>** socket) override;
    T_QuorIPInfoList* GetTCPIPInfoNodeMemory() override;
    void FreeTCPIPInfoNodeMemory(T_QuorIPInfoList* node) override;
    void LightLogFormemory(int fd) override;
    void LightLogForAddClientIP(QuorClientAddKind kind, const char* ip, uint32_t count) override;
    void LightLogForDeleteClientIP(const char* ip, uint32_t count) override;
    void LightLogForReduceClientIPNum(const char* ip, uint32_t count) override;
    void LightLogForClientNumOutOfRange(const char* ip, uint32_t limit, int fd) override;
    void LightLogForFindIPFromList(const char* ip) override;

    // The session with this identifier, or null. The pointer is only safe
    // to use while the session cannot close (prefer the operations below).
    CQuorVelmarTCPSessionTask* GetTCPSessionBySrcNo2(int32_t id);
    // Removes the session from the list and lowers its address count.
    void DeleteTCPSessionBySrcNo2(int32_t id);
    // A copy of the session list (same caution as GetTCPSessionBySrcNo2).
    std::vector<CQuorVelmarTCPSessionTask*> GetAllTCPSession();
    uint32_t GetSessionCount();
    // TCP_DEFER_ACCEPT 1 on the listening socket: 0 or the error number.
    int DeferAccept();

    // ---- Output for the clients (any thread) ------------------------------

    // Queues text for the clients: session > 0 → that session's list with
    // mode, or -2 when no such session is connected (logged); session <= 0
    // with mode 0 → a copy for every connected client; session <= 0 with
    // another mode → the first session's list with that mode. 0 otherwise.
    int QueueTcpMsg(const char* text, uint8_t mode, int32_t session);
    // Appends a mode-1 copy of text to every live session's list but except's.
    void FanOutTcpMsg(const char* text, const CQuorVelmarTCPSessionTask* except);

private:
    CQuorVelmarTCPSessionTask* FindLocked(int32_t id);
    void FanOutLocked(const char* text, const CQuorVelmarTCPSessionTask* except);
    void ForgetClientAddress(CQuorVelmarTCPSessionTask* session);

    OSMutex m_SessionListMutex;
    std::vector<CQuorVelmarTCPSessionTask*> m_SessionList;  // in order of connection
    uint32_t m_u32SessionCount = 0;
};

#endif
