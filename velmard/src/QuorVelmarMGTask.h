// The web task of velmard (thread pool 6): runs the embedded web server.
//
// Initialize starts the server (CivetWeb) on "listening_port" 80, or the
// port in VELMAR_HTTP_PORT on the simulated board, with the document root
// "/www" under the board root. The server answers on a small fixed number of
// worker threads of its own (kWorkerThreads), so a request that waits (a
// group discovery, an EDID read) holds only its own worker. The task's first
// run stays in its loop while g_bMGRunFlag is set, keeping the pool's thread;
// the destructor stops the server.
//
// Every request goes through MGHandleReq, by the kind of its URI (the
// prefixes compared ignoring case over 7 characters):
// - "/action": the action API (CQuorVelmarMGProcess::ProcessHttpActionReq);
// - "/upload": the upload handler installed with SetUploadHandler (without
//   one the request is answered 400);
// - anything else: a static file from the document root. A path with a ".."
//   segment (also percent-encoded) is answered 404, and so is any file of
//   the upload directory "/www/tmp"; directories are never listed; scripts
//   (CGI, SSI) are never run.
// "/action" and "/upload" refuse cross-site requests first (403, see
// QuorVelmarWebGuard.h).
//
// - "/log": the read-only log view (QuorVelmarWebLog.h).
//
// Security: by default the API carries no authentication (the pages check
// the web password themselves), so any host that reaches port 80 can change
// the endpoint's settings: keep the endpoint's LAN closed. The operator can
// turn on a log-in the daemon enforces (QuorVelmarWebSession.h).
#ifndef QUOR_VELMAR_MGTASK_H
#define QUOR_VELMAR_MGTASK_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "QuorTask.h"

struct mg_context;
struct mg_connection;

// While set, the web task keeps its loop (and the server) running.
extern std::atomic<uint8_t> g_bMGRunFlag;

// What a request's URI asks for.
enum T_QuorWebKind : uint32_t {
    QUOR_WEB_KIND_ACTION = 2,   // "/action..."
    QUOR_WEB_KIND_UPLOAD = 3,   // "/upload..."
    QUOR_WEB_KIND_FILE = 4      // a file of the document root
};

class CQuorVelmarMGTask : public QuorTask<6> {
public:
    enum : int { kWorkerThreads = 24 };
    // Handles a whole "/upload" request on a worker thread (reads the body,
    // writes the reply). Its result is the HTTP status it sent.
    typedef int (*UploadHandler)(mg_connection* conn);

    CQuorVelmarMGTask();
    ~CQuorVelmarMGTask() override;

    // Starts the server and signals the task's first run. 0, or -2 when the
    // server cannot be started.
    int Initialize();
    // The first run waits in MGRun until g_bMGRunFlag is cleared; then 500.
    int64_t Run() override;

    int MGStart();
    // Waits for a stop request.
    void MGRun();
    // Stops the server (waits for the requests being served).
    void MGStop();
    // Clears g_bMGRunFlag and wakes the task's loop.
    void RequestStop();

    // The port the server listens on (0 before it runs).
    int Port() const { return m_port; }

    static T_QuorWebKind MGGetKind(const char* uri);
    // The server's request callback: 1 when handled here, 0 for the server
    // to serve the file.
    static int MGHandleReq(mg_connection* conn);
    // Installs the "/upload" handler (null: none).
    static void SetUploadHandler(UploadHandler handler);

    static std::atomic<mg_context*> s_pMgServer;

private:
    std::mutex m_runMutex;
    std::condition_variable m_runCond;
    int m_port = 0;
};

// The web task, created by the start-up chain.
extern CQuorVelmarMGTask* g_pVelmarMGTask;

#endif
