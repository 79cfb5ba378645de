// The guards of the web server's writing entries ("/action", "/upload"):
// who may ask, how many connections one address may hold, and how a refused
// request ends.
//
// Cross-site refusal. A page of another site can make the operator's
// browser send a "simple" request (a form POST, a fetch in 'no-cors' mode,
// an image GET); the browser marks where it comes from, and that decides:
// - "Sec-Fetch-Site" present and neither "same-origin" nor "none": refused;
// - else "Origin" present and its host[:port] differs from the request's
//   "Host" (case ignored; ":80" for http and ":443" for https are the same as
//   no port; "Origin: null" never matches): refused;
// - else, from a browser (a "User-Agent" beginning with "Mozilla/", which a
//   page cannot change) that sent neither header: over plain HTTP a browser
//   sends "Sec-Fetch-Site" to no one and "Origin" not with a GET, so the
//   "Referer" must name the request's host (an address typed in, a page that
//   withholds its address, or another site: refused);
// - else served. Requests without these headers (curl, the PC tools, control
//   systems) are served as they always were. The operator pages send their
//   requests as POST from the endpoint's own origin, with "Origin".
// A refused request is answered 403 with the plain-text trailer, logged
// (level 40000, at most one line a second with the count of the lines left
// out) and its connection closed without reading the rest of its body.
//
// Per-address cap. Each client address may hold at most
// kMaxConnectionsPerAddress connections at a time; the requests of the
// connections above it are answered 503 and closed. The table of addresses is
// bounded (kMaxAddresses); when it is full, a new address is refused too.
//
// Everything here is safe to call from any worker thread.
#ifndef QUOR_VELMAR_WEBGUARD_H
#define QUOR_VELMAR_WEBGUARD_H

#include <cstddef>

struct mg_connection;

// The request headers the decision reads; null: absent.
struct T_QuorWebSiteHeaders {
    const char* secFetchSite;
    const char* origin;
    const char* host;
    const char* referer;
    const char* userAgent;
};

// True when the request may be served (see above).
bool QuorWebRequestIsSameSite(const T_QuorWebSiteHeaders& headers);
// The same for the request of a connection.
bool QuorWebRequestIsSameSite(const mg_connection* conn);

// Checks the connection's request. False when it is cross-site: the 403 has
// then been sent and the connection is closed at once.
bool QuorWebGuardRequest(mg_connection* conn);

// Ends the connection at once when the handler returns: the rest of the
// request body is not read (the client sees its connection reset if it keeps
// sending). Call after the reply is written.
void QuorWebCloseNow(mg_connection* conn);
// The descriptor of this process's TCP socket whose peer is address:port
// (numeric) on localPort; -1 when there is none. It reads no other
// descriptor, so other threads may close and open theirs meanwhile.
int QuorWebConnectionSocket(const char* address, int port, int localPort);

// Connections counted by client address.
class CQuorWebAddressCap {
public:
    enum : size_t { kMaxConnectionsPerAddress = 8, kMaxAddresses = 64 };

    // A connection of address opens: true when it is within the cap (it is
    // then counted and Leave must follow), false when refused (not counted).
    static bool Enter(const char* address);
    static void Leave(const char* address);
    // Connections counted for the address now.
    static size_t Count(const char* address);
};

#endif
