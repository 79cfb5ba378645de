// The web task: see QuorVelmarMGTask.h.
#include "QuorVelmarMGTask.h"

#include <civetweb.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <pthread.h>
#include <strings.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorVelmarMetrics.h"
#include "QuorVelmarMongooseTask.h"
#include "QuorVelmarWebGuard.h"
#include "QuorVelmarWebLog.h"
#include "QuorVelmarWebSession.h"

std::atomic<uint8_t> g_bMGRunFlag{1};
CQuorVelmarMGTask* g_pVelmarMGTask = nullptr;
std::atomic<mg_context*> CQuorVelmarMGTask::s_pMgServer{nullptr};

namespace {

const char kSrc[] = "src/QuorVelmarMongooseTask";

const char kDefaultPort[] = "80";
const char kDocumentRoot[] = "/www";
const char kAuthDomain[] = "velmar.local";
const char kPortVariable[] = "VELMAR_HTTP_PORT";
// Patterns no request path can match: scripts are never run here.
const char kNoScripts[] = "$^";
// A client that sends nothing for this long, in its request head or its body
// (an upload), is closed. A browser on the LAN, even over a weak radio link,
// never pauses that long within one request, while stalled clients give
// their worker back within seconds.
const char kRequestTimeoutMs[] = "10000";
// An idle kept-alive connection holds a worker; it is closed after this long.
const char kKeepAliveTimeoutMs[] = "2000";
// Uploads are written to files under the document root; they are never
// served from it (only "edidread" sends its own file).
const char kUploadDir[] = "/tmp";

std::atomic<CQuorVelmarMGTask::UploadHandler> s_uploadHandler{nullptr};

// The listening port: VELMAR_HTTP_PORT when it holds a port number, else 80.
const char* ListeningPort()
{
    const char* text = getenv(kPortVariable);
    if (text == nullptr || *text == '\0' || strlen(text) > 5 || strspn(text, "0123456789") != strlen(text))
        return kDefaultPort;
    long port = strtol(text, nullptr, 10);
    return port > 0 && port <= 65535 ? text : kDefaultPort;
}

// True when a path holds a ".." segment, also after one more round of
// percent-decoding.
bool HasDotDotSegment(const char* uri)
{
    char decoded[2048];
    if (uri == nullptr || mg_url_decode(uri, static_cast<int>(strlen(uri)), decoded, sizeof(decoded), 0) < 0)
        return true;
    for (const char* text : {uri, static_cast<const char*>(decoded)}) {
        for (const char* p = strstr(text, ".."); p != nullptr; p = strstr(p + 1, "..")) {
            bool segmentStart = p == text || p[-1] == '/' || p[-1] == '\\';
            bool segmentEnd = p[2] == '\0' || p[2] == '/' || p[2] == '\\' || p[2] == '?';
            if (segmentStart && segmentEnd)
                return true;
        }
    }
    return false;
}

int Refuse(mg_connection* conn, int status, const char* text)
{
    mg_printf(conn, "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", status, text);
    return status;
}

// CivetWeb's worker threads have small stacks (100 KB in the Debian build),
// while the handlers run the daemon's own code (shell commands, preference
// writes, group records of some 26 KB). So each worker hands its "/action"
// and "/upload" requests to a helper thread of its own with a large stack
// and waits for it; the helper lives as long as the worker.
const size_t kHandlerStackBytes = 8u << 20;

class CLargeStackRunner {
public:
    typedef int (*Handler)(mg_connection*);

    ~CLargeStackRunner()
    {
        if (!m_started)
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cond.notify_all();
        pthread_join(m_thread, nullptr);
    }

    bool Start()
    {
        pthread_attr_t attr;
        m_started = pthread_attr_init(&attr) == 0 && pthread_attr_setstacksize(&attr, kHandlerStackBytes) == 0 &&
                    pthread_create(&m_thread, &attr, Loop, this) == 0;
        pthread_attr_destroy(&attr);
        return m_started;
    }

    // Runs handler(conn) on the helper; its result.
    int Run(Handler handler, mg_connection* conn)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_handler = handler;
        m_conn = conn;
        m_done = false;
        m_cond.notify_all();
        m_cond.wait(lock, [this] { return m_done; });
        return m_status;
    }

private:
    static void* Loop(void* arg)
    {
        CLargeStackRunner* self = static_cast<CLargeStackRunner*>(arg);
        std::unique_lock<std::mutex> lock(self->m_mutex);
        for (;;) {
            self->m_cond.wait(lock, [self] { return self->m_stop || self->m_handler != nullptr; });
            if (self->m_handler == nullptr)
                return nullptr;
            Handler handler = self->m_handler;
            lock.unlock();
            int status = handler(self->m_conn);
            lock.lock();
            self->m_status = status;
            self->m_handler = nullptr;
            self->m_done = true;
            self->m_cond.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    pthread_t m_thread{};
    bool m_started = false;
    bool m_stop = false;
    bool m_done = false;
    Handler m_handler = nullptr;
    mg_connection* m_conn = nullptr;
    int m_status = 0;
};

int RunOnLargeStack(CLargeStackRunner::Handler handler, mg_connection* conn)
{
    thread_local std::unique_ptr<CLargeStackRunner> t_runner;
    if (t_runner == nullptr) {
        std::unique_ptr<CLargeStackRunner> runner(new (std::nothrow) CLargeStackRunner);
        if (runner == nullptr || !runner->Start()) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######Web request: no thread for its handler.");
            return Refuse(conn, 503, "Service Unavailable");
        }
        t_runner = std::move(runner);
    }
    return t_runner->Run(handler, conn);
}

int HandleUpload(mg_connection* conn)
{
    CQuorVelmarMGTask::UploadHandler handler = s_uploadHandler.load(std::memory_order_acquire);
    if (handler == nullptr) {
        Refuse(conn, 400, "Bad Request");
        QuorWebCloseNow(conn);
        return 400;
    }
    int refused = CQuorVelmarWebLogin::AdmitRequest(conn);
    if (refused != 0) {
        QuorWebCloseNow(conn);
        return refused;
    }
    return RunOnLargeStack(handler, conn);
}

// True when the file the path names lies in the upload directory (or is it),
// symbolic links and "." segments resolved. A path naming no file is left to
// the server (404).
bool InUploadDir(const mg_context* server, const char* localUri)
{
    const char* root = mg_get_option(server, "document_root");
    char path[PATH_MAX], real[PATH_MAX], uploads[PATH_MAX], realUploads[PATH_MAX];
    if (root == nullptr || snprintf(path, sizeof(path), "%s/%s", root, localUri) >= (int)sizeof(path) ||
        snprintf(uploads, sizeof(uploads), "%s%s", root, kUploadDir) >= (int)sizeof(uploads) ||
        realpath(path, real) == nullptr || realpath(uploads, realUploads) == nullptr)
        return false;
    size_t length = strlen(realUploads);
    return strncmp(real, realUploads, length) == 0 && (real[length] == '\0' || real[length] == '/');
}

int HandleFile(mg_connection* conn, const mg_request_info& info)
{
    const char* why = nullptr;
    if (HasDotDotSegment(info.request_uri))
        why = "outside the document root";
    else if (InUploadDir(mg_get_context(conn), info.local_uri))
        why = "an uploaded file";
    if (why == nullptr)
        return 0;
    LightLogExt(30000, 0, kSrc, __LINE__, "######Web request <%.200s> from <%s> refused: %s.", info.request_uri,
                info.remote_addr, why);
    return Refuse(conn, 404, "Not Found");
}

// ---- Connections by client address ------------------------------------------------

// What a connection holds: its address, counted in CQuorWebAddressCap when
// admitted.
struct T_ConnSlot {
    char address[48];
    bool admitted;
};

// The first request of a connection counts it; a connection over its
// address's cap is refused at every request.
bool AdmitConnection(mg_connection* conn, const mg_request_info& info)
{
    T_ConnSlot* slot = static_cast<T_ConnSlot*>(mg_get_user_connection_data(conn));
    if (slot == nullptr) {
        slot = new (std::nothrow) T_ConnSlot;
        if (slot == nullptr)
            return false;
        snprintf(slot->address, sizeof(slot->address), "%s", info.remote_addr);
        slot->admitted = CQuorWebAddressCap::Enter(slot->address);
        mg_set_user_connection_data(conn, slot);
    }
    if (!slot->admitted)
        LightLogExt(30000, 0, kSrc, __LINE__, "######Web request from <%s> refused: %d connections already.",
                    info.remote_addr, (int)CQuorWebAddressCap::kMaxConnectionsPerAddress);
    return slot->admitted;
}

void ReleaseConnection(const mg_connection* conn)
{
    T_ConnSlot* slot = static_cast<T_ConnSlot*>(mg_get_user_connection_data(conn));
    if (slot == nullptr)
        return;
    if (slot->admitted)
        CQuorWebAddressCap::Leave(slot->address);
    mg_set_user_connection_data(conn, nullptr);
    delete slot;
}

// The server's own messages go to the log.
int LogServerMessage(const mg_connection*, const char* message)
{
    LightLogExt(30000, 0, kSrc, __LINE__, "######Web server: %.400s", message);
    return 1;
}

} // namespace

CQuorVelmarMGTask::CQuorVelmarMGTask() = default;

CQuorVelmarMGTask::~CQuorVelmarMGTask()
{
    RequestStop();
    MGStop();
}

int CQuorVelmarMGTask::Initialize()
{
    CQuorVelmarMGProcess::InstallFileHandlers();
    if (MGStart() != 0)
        return -2;
    Signal(TASK_EVT_START);
    LightLogExt(20000, 0, kSrc, __LINE__, "CQuorVelmarMGTask::Initialize OK!");
    return 0;
}

int64_t CQuorVelmarMGTask::Run()
{
    while (g_bMGRunFlag.load(std::memory_order_acquire) != 0)
        MGRun();
    return 500;
}

int CQuorVelmarMGTask::MGStart()
{
    char root[BoardPath::kMaxRoot + sizeof(kDocumentRoot)];
    if (BoardPath::Resolve(kDocumentRoot, root) != 0) {
        LightLogExt(40000, 1, kSrc, __LINE__, "######Web server: document root <%s> cannot be resolved.",
                    kDocumentRoot);
        return -2;
    }
    char threads[8];
    snprintf(threads, sizeof(threads), "%d", static_cast<int>(kWorkerThreads));
    const char* options[] = {"listening_ports", ListeningPort(),
                             "document_root", root,
                             "authentication_domain", kAuthDomain,
                             "enable_auth_domain_check", "no",
                             "num_threads", threads,
                             "enable_directory_listing", "no",
                             "cgi_pattern", kNoScripts,
                             "ssi_pattern", kNoScripts,
                             "enable_keep_alive", "yes",
                             "keep_alive_timeout_ms", kKeepAliveTimeoutMs,
                             "request_timeout_ms", kRequestTimeoutMs,
                             nullptr};
    mg_callbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.begin_request = MGHandleReq;
    callbacks.log_message = LogServerMessage;
    callbacks.connection_close = ReleaseConnection;
    mg_init_library(0);
    mg_context* server = mg_start(&callbacks, this, options);
    if (server == nullptr) {
        LightLogExt(40000, 1, kSrc, __LINE__, "######Velmar Mongoose cannot start on port <%s>.", ListeningPort());
        return -2;
    }
    mg_server_port ports[1];
    memset(ports, 0, sizeof(ports));
    if (mg_get_server_ports(server, 1, ports) > 0)
        m_port = ports[0].port;
    s_pMgServer.store(server, std::memory_order_release);
    printf("Velmar Mongoose Starting on port <%d>\n", m_port);
    fflush(stdout);
    LightLogExt(20000, 1, kSrc, __LINE__, "Velmar Mongoose Starting on port <%d>.", m_port);
    return 0;
}

void CQuorVelmarMGTask::MGRun()
{
    // RequestStop clears the flag under this lock and then notifies, so the
    // wait needs no timeout: an idle web task never wakes.
    std::unique_lock<std::mutex> lock(m_runMutex);
    m_runCond.wait(lock, [] { return g_bMGRunFlag.load(std::memory_order_acquire) == 0; });
}

void CQuorVelmarMGTask::MGStop()
{
    mg_context* server = s_pMgServer.exchange(nullptr, std::memory_order_acq_rel);
    if (server != nullptr)
        mg_stop(server);
}

void CQuorVelmarMGTask::RequestStop()
{
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        g_bMGRunFlag.store(0, std::memory_order_release);
    }
    m_runCond.notify_all();
}

T_QuorWebKind CQuorVelmarMGTask::MGGetKind(const char* uri)
{
    if (uri != nullptr && strncasecmp(uri, "/action", 7) == 0)
        return QUOR_WEB_KIND_ACTION;
    if (uri != nullptr && strncasecmp(uri, "/upload", 7) == 0)
        return QUOR_WEB_KIND_UPLOAD;
    return QUOR_WEB_KIND_FILE;
}

int CQuorVelmarMGTask::MGHandleReq(mg_connection* conn)
{
    const mg_request_info* info = mg_get_request_info(conn);
    if (info == nullptr || info->local_uri == nullptr)
        return 0;
    if (!AdmitConnection(conn, *info)) {
        Refuse(conn, 503, "Service Unavailable");
        QuorWebCloseNow(conn);
        return 503;
    }
    if (CQuorVelmarWebLog::IsLogUri(info->local_uri)) {
        if (!QuorWebGuardRequest(conn))
            return 403;
        return RunOnLargeStack(CQuorVelmarWebLog::Serve, conn);
    }
    if (strcmp(info->local_uri, "/metrics") == 0) {
        if (!QuorWebGuardRequest(conn))
            return 403;
        int refused = CQuorVelmarWebLogin::AdmitRequest(conn);
        return refused != 0 ? refused : CQuorVelmarMetrics::HandleRequest(conn);
    }
    switch (MGGetKind(info->local_uri)) {
    case QUOR_WEB_KIND_ACTION:
        if (!QuorWebGuardRequest(conn))
            return 403;
        return RunOnLargeStack(CQuorVelmarMGProcess::ProcessHttpActionReq, conn);
    case QUOR_WEB_KIND_UPLOAD:
        if (!QuorWebGuardRequest(conn))
            return 403;
        return HandleUpload(conn);
    default:
        return HandleFile(conn, *info);
    }
}

void CQuorVelmarMGTask::SetUploadHandler(UploadHandler handler)
{
    s_uploadHandler.store(handler, std::memory_order_release);
}
