// The web log-in the device enforces, when the operator turns it on.
//
// The setting is the preference "Velmar_WebLogin" of the module "QuorVelmar"
// ("on" or "off"; missing means off). While it is off nothing here changes a
// reply: every caller of the action API keeps working as before.
//
// While it is on:
// - "verifypasswd" with the right password opens a session: the reply sets
//   the cookie "velmar_session" (HttpOnly, SameSite=Strict, Path=/) holding a
//   random token of 32 hexadecimal characters (getrandom);
// - every "/action" request but "verifypasswd", every "/upload" and "/log"
//   request needs a live session, else it is answered 401 (the static pages
//   stay open);
// - a session ends after the automatic log-out time without a request (12
//   hours when automatic log-out is off), on "weblogout", when the log-in is
//   turned off, and on a password change (every session but the changer's);
// - at most kMaxSessions sessions live at once; a new one replaces the one
//   used longest ago;
// - after kFreeFailures wrong passwords in a row from one address, that
//   address must wait before its next try (2 s, doubling with every further
//   failure, at most 60 s); a try inside the wait is answered 429 without
//   looking at the password. Nothing is slept: no worker thread is held.
//
// The tables are guarded by their own locks; the clock is passed in so the
// tables can be tested without waiting.
#ifndef QUOR_VELMAR_WEBSESSION_H
#define QUOR_VELMAR_WEBSESSION_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

class CQuorVelmarHttpConn;
struct mg_connection;

// An entry of the log-in's tables: a key (a session token, an address) and
// its times.
struct T_QuorLoginEntry {
    enum : size_t { kKeySize = 48 };
    char key[kKeySize];
    uint64_t untilMs;   // a session's end
    uint64_t lastMs;    // last use, last failure
    uint32_t count;     // failures in a row
};

// A fixed number of entries under one lock. A new entry takes a free place,
// else the place of the entry used longest ago.
template <typename Entry, size_t N>
class TQuorEntryTable {
public:
    std::mutex& Mutex() { return m_mutex; }
    Entry (&Entries())[N] { return m_entries; }
    // The first entry for which match holds, or null (lock held by the caller).
    template <typename Match>
    Entry* Find(Match match)
    {
        for (Entry& entry : m_entries) {
            if (match(entry))
                return &entry;
        }
        return nullptr;
    }
    // The entry whose key is key (lock held by the caller).
    Entry* FindKey(const char* key)
    {
        return Find([key](const Entry& entry) {
            return entry.key[0] != '\0' && strncmp(entry.key, key, sizeof(entry.key)) == 0;
        });
    }
    // A cleared place for a new entry: the first free one, else the one whose
    // lastUse is smallest (lock held by the caller).
    template <typename IsFree, typename LastUse>
    Entry* Place(IsFree isFree, LastUse lastUse)
    {
        Entry* place = Find(isFree);
        if (place == nullptr) {
            place = &m_entries[0];
            for (Entry& entry : m_entries) {
                if (lastUse(entry) < lastUse(*place))
                    place = &entry;
            }
        }
        *place = Entry();
        return place;
    }

private:
    std::mutex m_mutex;
    Entry m_entries[N] = {};
};

// The live sessions.
class CQuorVelmarWebSessions {
public:
    enum : size_t { kMaxSessions = 16, kTokenChars = 32, kTokenSize = kTokenChars + 1 };

    // Opens a session that lives lifetimeMs from nowMs on; its token goes
    // into token. False when no random bytes could be had.
    bool Create(uint64_t nowMs, uint64_t lifetimeMs, char (&token)[kTokenSize]);
    // True when token names a live session; its life then starts anew.
    bool Touch(const char* token, uint64_t nowMs, uint64_t lifetimeMs);
    // Ends the session of token (nothing when there is none).
    void End(const char* token);
    // Ends every session but the one of keep (null or unknown: all).
    void EndAllBut(const char* keep);
    // Sessions alive at nowMs.
    size_t Count(uint64_t nowMs);

private:
    T_QuorLoginEntry* Find(const char* token);
    TQuorEntryTable<T_QuorLoginEntry, kMaxSessions> m_table;
};

// Wrong passwords by address.
class CQuorVelmarLoginThrottle {
public:
    enum : size_t { kMaxAddresses = 16, kFreeFailures = 3 };
    enum : uint64_t { kFirstWaitMs = 2000, kMaxWaitMs = 60000, kForgetMs = 15 * 60 * 1000 };

    // Milliseconds the address must still wait before it may try (0: now).
    uint64_t WaitMs(const char* address, uint64_t nowMs);
    void Failed(const char* address, uint64_t nowMs);
    void Succeeded(const char* address);

private:
    TQuorEntryTable<T_QuorLoginEntry, kMaxAddresses> m_table;
};

// The daemon's log-in, used by the web request handlers.
class CQuorVelmarWebLogin {
public:
    // The setting (read from the preferences once, then kept).
    static bool IsOn();
    // Stores the setting: 0, or -2 when the preferences refuse it.
    static int SetOn(bool on);

    // Milliseconds a session lives without a request.
    static uint64_t LifetimeMs();
    // The monotonic clock in milliseconds.
    static uint64_t NowMs();

    // "/action": true when the request may go on (the log-in is off, the
    // command is "verifypasswd", or the request has a live session); else
    // status 401 is chosen on conn and false.
    static bool AdmitAction(CQuorVelmarHttpConn& conn, const char* cmdType, const char* cmdStr);
    // "/upload", "/log": 0 when the request may go on; else a 401 reply is
    // written (the connection closed) and 401 returned.
    static int AdmitRequest(mg_connection* conn);

    // "verifypasswd": false, with status 429 chosen, when the caller's
    // address must still wait; true when the password may be checked.
    static bool MayTry(CQuorVelmarHttpConn& conn);
    // After the check of "verifypasswd": counts a failure, or opens a session
    // and adds its cookie to the reply. Nothing while the log-in is off.
    static void AfterVerify(CQuorVelmarHttpConn& conn, bool passwordOk);
    // After a password change: every session but the caller's ends.
    static void AfterPasswordChange(const CQuorVelmarHttpConn* conn);

    // Commands of the "systemconfig" family:
    // "getweblogin": {"webloginfo":[{"mode":"on"|"off"}]}.
    static void GetWebLogin(CQuorVelmarHttpConn& conn, uint16_t& replySent);
    // "setweblogin" with "mode" ("on"/"off") and "passwd": the password must
    // be right (400 otherwise, counted like "verifypasswd"). Turning it on
    // opens a session for the caller; turning it off ends every session.
    static void SetWebLogin(CQuorVelmarHttpConn& conn, uint16_t& replySent);
    // "weblogout": ends the caller's session and clears its cookie. 200.
    static void WebLogout(CQuorVelmarHttpConn& conn, uint16_t& replySent);

    // The tables (tests).
    static CQuorVelmarWebSessions& Sessions();
    static CQuorVelmarLoginThrottle& Throttle();
    // Forgets the cached setting (tests).
    static void ResetForTest();
};

#endif
