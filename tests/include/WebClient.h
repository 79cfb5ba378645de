// A plain HTTP/1.1 client for the web tests: one request per connection,
// made from inside a network namespace, the reply read to the end and its
// chunked body decoded.
#ifndef WEB_CLIENT_H
#define WEB_CLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "GroupLanSupport.h"

namespace web_test {

struct HttpReply {
    int status = 0;        // 0: no reply
    std::string head;      // status line and header lines, up to the empty line
    std::string body;      // decoded
    std::string raw;       // the bytes as they came
};

// Decodes a chunked body; false when the framing is broken.
inline bool DecodeChunked(const std::string& in, std::string* out)
{
    size_t at = 0;
    for (;;) {
        size_t lineEnd = in.find("\r\n", at);
        if (lineEnd == std::string::npos)
            return false;
        size_t size = strtoul(in.substr(at, lineEnd - at).c_str(), nullptr, 16);
        at = lineEnd + 2;
        if (size == 0)
            return in.compare(at, 2, "\r\n") == 0;
        if (at + size + 2 > in.size() || in.compare(at + size, 2, "\r\n") != 0)
            return false;
        out->append(in, at, size);
        at += size + 2;
    }
}

// Sends request (the whole text) to ip:port from namespace ns and reads the
// reply until the server closes.
inline HttpReply HttpRequest(const std::string& ns, const std::string& ip, const std::string& request,
                             int timeoutMs = 60000, uint16_t port = 80)
{
    HttpReply reply;
    board_test::TcpClient client;
    if (!client.Connect(ip, port, 0, ns) || !client.Send(request, timeoutMs))
        return reply;
    reply.raw = client.ReadFor(timeoutMs);  // until the server closes
    size_t headEnd = reply.raw.find("\r\n\r\n");
    if (reply.raw.compare(0, 9, "HTTP/1.1 ") != 0 || headEnd == std::string::npos)
        return reply;
    reply.head = reply.raw.substr(0, headEnd + 2);
    const std::string rest = reply.raw.substr(headEnd + 4);
    if (reply.head.find("Transfer-Encoding: chunked\r\n") != std::string::npos) {
        if (!DecodeChunked(rest, &reply.body))
            return reply;
    } else {
        reply.body = rest;
    }
    reply.status = atoi(reply.raw.c_str() + 9);
    return reply;
}

inline HttpReply HttpGet(const std::string& ns, const std::string& ip, const std::string& path,
                         int timeoutMs = 60000, uint16_t port = 80)
{
    return HttpRequest(ns, ip, "GET " + path + " HTTP/1.1\r\nHost: " + ip + "\r\nConnection: close\r\n\r\n",
                       timeoutMs, port);
}

} // namespace web_test

#endif
