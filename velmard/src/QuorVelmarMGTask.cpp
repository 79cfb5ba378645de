// The web task: see QuorVelmarMGTask.h.
#include "QuorVelmarMGTask.h"

#include <civetweb.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <strings.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorVelmarMongooseTask.h"

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
// writes, group records of some 26 KB). So each "/action" and "/upload"
// request runs on a thread of its own with a large stack while the worker
// waits for it.
const size_t kHandlerStackBytes = 8u << 20;

struct T_HandlerRun {
    int (*handler)(mg_connection*);
    mg_connection* conn;
    int status;
};

void* RunHandler(void* arg)
{
    T_HandlerRun* run = static_cast<T_HandlerRun*>(arg);
    run->status = run->handler(run->conn);
    return nullptr;
}

int RunOnLargeStack(int (*handler)(mg_connection*), mg_connection* conn)
{
    T_HandlerRun run = {handler, conn, 0};
    pthread_attr_t attr;
    pthread_t thread;
    bool started = pthread_attr_init(&attr) == 0 && pthread_attr_setstacksize(&attr, kHandlerStackBytes) == 0 &&
                   pthread_create(&thread, &attr, RunHandler, &run) == 0;
    pthread_attr_destroy(&attr);
    if (!started) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Web request: no thread for its handler.");
        return Refuse(conn, 503, "Service Unavailable");
    }
    pthread_join(thread, nullptr);
    return run.status;
}

int HandleUpload(mg_connection* conn)
{
    CQuorVelmarMGTask::UploadHandler handler = s_uploadHandler.load(std::memory_order_acquire);
    if (handler == nullptr)
        return Refuse(conn, 400, "Bad Request");
    return RunOnLargeStack(handler, conn);
}

int HandleFile(mg_connection* conn, const mg_request_info& info)
{
    if (!HasDotDotSegment(info.request_uri))
        return 0;
    LightLogExt(30000, 0, kSrc, __LINE__, "######Web request <%.200s> from <%s> refused: outside the document root.",
                info.request_uri, info.remote_addr);
    return Refuse(conn, 404, "Not Found");
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
                             nullptr};
    mg_callbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.begin_request = MGHandleReq;
    callbacks.log_message = LogServerMessage;
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
    std::unique_lock<std::mutex> lock(m_runMutex);
    m_runCond.wait_for(lock, std::chrono::seconds(1),
                       [] { return g_bMGRunFlag.load(std::memory_order_acquire) == 0; });
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
    switch (MGGetKind(info->local_uri)) {
    case QUOR_WEB_KIND_ACTION:
        return RunOnLargeStack(CQuorVelmarMGProcess::ProcessHttpActionReq, conn);
    case QUOR_WEB_KIND_UPLOAD:
        return HandleUpload(conn);
    default:
        return HandleFile(conn, *info);
    }
}

void CQuorVelmarMGTask::SetUploadHandler(UploadHandler handler)
{
    s_uploadHandler.store(handler, std::memory_order_release);
}
