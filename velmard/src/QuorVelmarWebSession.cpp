// The web log-in: see QuorVelmarWebSession.h.
#include "QuorVelmarWebSession.h"

#include <civetweb.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>
#include <sys/random.h>

#include "LightLog.h"
#include "QuorVelmarHttpConn.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

namespace {

const char kSrc[] = "src/QuorVelmarWebSession";
const char kPrefModule[] = "QuorVelmar";
const char kPrefName[] = "Velmar_WebLogin";
const char kCookieName[] = "velmar_session";
const uint64_t kLifetimeWithoutLogoutMs = 12ull * 3600 * 1000;
const size_t kVarSize = 128;

static_assert(static_cast<size_t>(CQuorVelmarWebSessions::kTokenSize) <= static_cast<size_t>(T_QuorLoginEntry::kKeySize), "a token fits an entry's key");

// -1: not read yet; 0 off; 1 on.
std::atomic<int> s_loginOn{-1};

bool FillRandom(unsigned char* out, size_t size)
{
    size_t have = 0;
    while (have < size) {
        ssize_t n = getrandom(out + have, size - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        have += static_cast<size_t>(n);
    }
    return true;
}

// Compares two tokens without stopping at the first difference.
bool SameToken(const char* a, const char* b)
{
    unsigned char diff = 0;
    for (size_t i = 0; i < CQuorVelmarWebSessions::kTokenChars; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0 && a[0] != '\0';
}

bool IsToken(const char* text)
{
    return text != nullptr && strlen(text) == CQuorVelmarWebSessions::kTokenChars &&
           strspn(text, "0123456789abcdef") == CQuorVelmarWebSessions::kTokenChars;
}

// The session token of the request's cookie, or empty.
void RequestToken(mg_connection* conn, char (&token)[CQuorVelmarWebSessions::kTokenSize])
{
    token[0] = '\0';
    const char* cookies = conn != nullptr ? mg_get_header(conn, "Cookie") : nullptr;
    if (cookies == nullptr || mg_get_cookie(cookies, kCookieName, token, sizeof(token)) < 0 || !IsToken(token))
        token[0] = '\0';
}

const char* RemoteAddress(mg_connection* conn)
{
    const mg_request_info* info = conn != nullptr ? mg_get_request_info(conn) : nullptr;
    return info != nullptr ? info->remote_addr : "";
}

bool HasLiveSession(mg_connection* conn)
{
    char token[CQuorVelmarWebSessions::kTokenSize];
    RequestToken(conn, token);
    return token[0] != '\0' &&
           CQuorVelmarWebLogin::Sessions().Touch(token, CQuorVelmarWebLogin::NowMs(), CQuorVelmarWebLogin::LifetimeMs());
}

void SetCookie(CQuorVelmarHttpConn& conn, const char* token, bool clear)
{
    char line[160];
    snprintf(line, sizeof(line), "Set-Cookie: %s=%s; Path=/; HttpOnly; SameSite=Strict%s\r\n", kCookieName, token,
             clear ? "; Max-Age=0" : "");
    conn.AddHeader(line);
}

// Opens a session for the caller and sets its cookie; false when no token
// could be made (status 500 chosen).
bool OpenSession(CQuorVelmarHttpConn& conn)
{
    char token[CQuorVelmarWebSessions::kTokenSize];
    if (!CQuorVelmarWebLogin::Sessions().Create(CQuorVelmarWebLogin::NowMs(), CQuorVelmarWebLogin::LifetimeMs(),
                                                token)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Web log-in: no random bytes for a session token.");
        conn.SendStatus(500);
        return false;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "Web log-in: session opened for <%s>.", RemoteAddress(conn.Raw()));
    SetCookie(conn, token, false);
    return true;
}

bool ReadVar(CQuorVelmarHttpConn& conn, const char* name, char (&out)[kVarSize])
{
    if (conn.GetVar(name, out) == CQuorVelmarHttpConn::kVarTooLong) {
        conn.SendStatus(400);
        return false;
    }
    return true;
}

} // namespace

// ---- Sessions -------------------------------------------------------------------------

T_QuorLoginEntry* CQuorVelmarWebSessions::Find(const char* token)
{
    if (!IsToken(token))
        return nullptr;
    return m_table.Find([token](const T_QuorLoginEntry& session) { return SameToken(session.key, token); });
}

bool CQuorVelmarWebSessions::Create(uint64_t nowMs, uint64_t lifetimeMs, char (&token)[kTokenSize])
{
    unsigned char bytes[kTokenChars / 2];
    if (!FillRandom(bytes, sizeof(bytes)))
        return false;
    for (size_t i = 0; i < sizeof(bytes); ++i)
        snprintf(token + 2 * i, 3, "%02x", bytes[i]);
    std::lock_guard<std::mutex> lock(m_table.Mutex());
    T_QuorLoginEntry* place = m_table.Place(
        [nowMs](const T_QuorLoginEntry& session) { return session.key[0] == '\0' || session.untilMs <= nowMs; },
        [](const T_QuorLoginEntry& session) { return session.lastMs; });
    memcpy(place->key, token, kTokenSize);
    place->untilMs = nowMs + lifetimeMs;
    place->lastMs = nowMs;
    return true;
}

bool CQuorVelmarWebSessions::Touch(const char* token, uint64_t nowMs, uint64_t lifetimeMs)
{
    std::lock_guard<std::mutex> lock(m_table.Mutex());
    T_QuorLoginEntry* session = Find(token);
    if (session == nullptr)
        return false;
    if (session->untilMs <= nowMs) {
        *session = T_QuorLoginEntry();
        return false;
    }
    session->untilMs = nowMs + lifetimeMs;
    session->lastMs = nowMs;
    return true;
}

void CQuorVelmarWebSessions::End(const char* token)
{
    std::lock_guard<std::mutex> lock(m_table.Mutex());
    T_QuorLoginEntry* session = Find(token);
    if (session != nullptr)
        *session = T_QuorLoginEntry();
}

void CQuorVelmarWebSessions::EndAllBut(const char* keep)
{
    std::lock_guard<std::mutex> lock(m_table.Mutex());
    T_QuorLoginEntry* kept = keep != nullptr ? Find(keep) : nullptr;
    for (T_QuorLoginEntry& session : m_table.Entries()) {
        if (&session != kept)
            session = T_QuorLoginEntry();
    }
}

size_t CQuorVelmarWebSessions::Count(uint64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_table.Mutex());
    size_t count = 0;
    for (const T_QuorLoginEntry& session : m_table.Entries())
        count += session.key[0] != '\0' && session.untilMs > nowMs ? 1 : 0;
    return count;
}

// ---- Wrong passwords -------------------------------------------------------------------

uint64_t CQuorVelmarLoginThrottle::WaitMs(const char* address, uint64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_table.Mutex());
    const T_QuorLoginEntry* entry = m_table.FindKey(address != nullptr ? address : "");
    if (entry == nullptr || entry->count < kFreeFailures)
        return 0;
    uint32_t doublings = entry->count - kFreeFailures;
    uint64_t wait = doublings >= 5 ? kMaxWaitMs : kFirstWaitMs << doublings;
    if (wait > kMaxWaitMs)
        wait = kMaxWaitMs;
    uint64_t until = entry->lastMs + wait;
    return until > nowMs ? until - nowMs : 0;
}

void CQuorVelmarLoginThrottle::Failed(const char* address, uint64_t nowMs)
{
    if (address == nullptr || *address == '\0')
        return;
    std::lock_guard<std::mutex> lock(m_table.Mutex());
    T_QuorLoginEntry* entry = m_table.FindKey(address);
    if (entry != nullptr && nowMs - entry->lastMs > kForgetMs)
        entry->count = 0;
    if (entry == nullptr) {
        entry = m_table.Place(
            [nowMs](const T_QuorLoginEntry& e) { return e.key[0] == '\0' || nowMs - e.lastMs > kForgetMs; },
            [](const T_QuorLoginEntry& e) { return e.lastMs; });
        snprintf(entry->key, sizeof(entry->key), "%s", address);
    }
    ++entry->count;
    entry->lastMs = nowMs;
}

void CQuorVelmarLoginThrottle::Succeeded(const char* address)
{
    std::lock_guard<std::mutex> lock(m_table.Mutex());
    T_QuorLoginEntry* entry = m_table.FindKey(address != nullptr ? address : "");
    if (entry != nullptr)
        *entry = T_QuorLoginEntry();
}

// ---- The log-in ------------------------------------------------------------------------

bool CQuorVelmarWebLogin::IsOn()
{
    int on = s_loginOn.load(std::memory_order_acquire);
    if (on >= 0)
        return on == 1;
    std::string value;
    ContainerRef section = CQuorVelmarPref::GetRefForModule(kPrefModule);
    on = section != nullptr && CQuorVelmarPref::GetPrefVal(section, kPrefName, value) &&
                 strcasecmp(value.c_str(), "on") == 0
             ? 1
             : 0;
    s_loginOn.store(on, std::memory_order_release);
    return on == 1;
}

int CQuorVelmarWebLogin::SetOn(bool on)
{
    ContainerRef section = CQuorVelmarPref::GetRefForModule(kPrefModule);
    if (section == nullptr || CQuorVelmarPref::SetPrefVal(section, kPrefName, "CharArray", on ? "on" : "off") != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Web log-in: the setting <%s> cannot be stored.", on ? "on" : "off");
        return -2;
    }
    s_loginOn.store(on ? 1 : 0, std::memory_order_release);
    LightLogExt(20000, 1, kSrc, __LINE__, "Web log-in is now <%s>.", on ? "on" : "off");
    return 0;
}

uint64_t CQuorVelmarWebLogin::LifetimeMs()
{
    char mode[16] = "", minutes[16] = "";
    CServerProperty::GetInstance()->GetLogoutMod(mode, sizeof(mode));
    CServerProperty::GetInstance()->GetLogoutTime(minutes, sizeof(minutes));
    long value = strtol(minutes, nullptr, 10);
    if (strncasecmp(mode, "on", 2) != 0 || value <= 0)
        return kLifetimeWithoutLogoutMs;
    return static_cast<uint64_t>(value) * 60 * 1000;
}

uint64_t CQuorVelmarWebLogin::NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool CQuorVelmarWebLogin::AdmitAction(CQuorVelmarHttpConn& conn, const char* cmdType, const char* cmdStr)
{
    if (!IsOn() || (strncasecmp(cmdType, "systemconfig", 12) == 0 && strncasecmp(cmdStr, "verifypasswd", 12) == 0))
        return true;
    if (HasLiveSession(conn.Raw()))
        return true;
    LightLogExt(30000, 0, kSrc, __LINE__, "######Web log-in: <%s> from <%s> without a session refused.", cmdStr,
                RemoteAddress(conn.Raw()));
    conn.SendStatus(401);
    return false;
}

int CQuorVelmarWebLogin::AdmitRequest(mg_connection* conn)
{
    if (!IsOn() || HasLiveSession(conn))
        return 0;
    const mg_request_info* info = mg_get_request_info(conn);
    LightLogExt(30000, 0, kSrc, __LINE__, "######Web log-in: <%.200s> from <%s> without a session refused.",
                info != nullptr && info->local_uri != nullptr ? info->local_uri : "", RemoteAddress(conn));
    mg_printf(conn, "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return 401;
}

bool CQuorVelmarWebLogin::MayTry(CQuorVelmarHttpConn& conn)
{
    if (!IsOn())
        return true;
    uint64_t wait = Throttle().WaitMs(RemoteAddress(conn.Raw()), NowMs());
    if (wait == 0)
        return true;
    char line[64];
    snprintf(line, sizeof(line), "Retry-After: %u\r\n", static_cast<unsigned>((wait + 999) / 1000));
    conn.AddHeader(line);
    LightLogExt(30000, 0, kSrc, __LINE__, "######Web log-in: <%s> must wait %u ms after wrong passwords.",
                RemoteAddress(conn.Raw()), static_cast<unsigned>(wait));
    conn.SendStatus(429);
    return false;
}

void CQuorVelmarWebLogin::AfterVerify(CQuorVelmarHttpConn& conn, bool passwordOk)
{
    if (!IsOn())
        return;
    const char* address = RemoteAddress(conn.Raw());
    if (!passwordOk) {
        Throttle().Failed(address, NowMs());
        return;
    }
    Throttle().Succeeded(address);
    OpenSession(conn);
}

void CQuorVelmarWebLogin::AfterPasswordChange(const CQuorVelmarHttpConn* conn)
{
    char token[CQuorVelmarWebSessions::kTokenSize];
    RequestToken(conn != nullptr ? conn->Raw() : nullptr, token);
    Sessions().EndAllBut(token[0] != '\0' ? token : nullptr);
}

void CQuorVelmarWebLogin::GetWebLogin(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    conn.SendJson(std::string("{\r\n\"webloginfo\":[\r\n{\"mode\":\"") + (IsOn() ? "on" : "off") + "\"}\r\n]\r\n}");
    replySent = 0;
}

void CQuorVelmarWebLogin::SetWebLogin(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char mode[kVarSize], passwd[kVarSize];
    if (!ReadVar(conn, "mode", mode) || !ReadVar(conn, "passwd", passwd) || !MayTry(conn))
        return;
    bool on = strcasecmp(mode, "on") == 0;
    if (!on && strcasecmp(mode, "off") != 0) {
        conn.SendStatus(400);
        return;
    }
    bool passwordOk = CServerProperty::GetInstance()->PasswdOK(passwd);
    if (!passwordOk) {
        AfterVerify(conn, false);
        conn.SendStatus(400);
        return;
    }
    if (SetOn(on) != 0) {
        conn.SendStatus(400);
        return;
    }
    if (on) {
        if (!OpenSession(conn))
            return;
    } else {
        Sessions().EndAllBut(nullptr);
    }
    conn.SendStatus(200);
}

void CQuorVelmarWebLogin::WebLogout(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char token[CQuorVelmarWebSessions::kTokenSize];
    RequestToken(conn.Raw(), token);
    if (token[0] != '\0')
        Sessions().End(token);
    SetCookie(conn, "", true);
    conn.SendStatus(200);
}

CQuorVelmarWebSessions& CQuorVelmarWebLogin::Sessions()
{
    static CQuorVelmarWebSessions* s_sessions = new CQuorVelmarWebSessions;
    return *s_sessions;
}

CQuorVelmarLoginThrottle& CQuorVelmarWebLogin::Throttle()
{
    static CQuorVelmarLoginThrottle* s_throttle = new CQuorVelmarLoginThrottle;
    return *s_throttle;
}

void CQuorVelmarWebLogin::ResetForTest()
{
    s_loginOn.store(-1, std::memory_order_release);
}
