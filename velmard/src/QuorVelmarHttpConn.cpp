// One HTTP request of the web server: see QuorVelmarHttpConn.h.
#include "QuorVelmarHttpConn.h"

#include <civetweb.h>
#include <cstdio>
#include <cstring>

namespace {

const char* StatusText(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 401:
        return "Unauthorized";
    case 429:
        return "Too Many Requests";
    default:
        return "Internal Server Error";
    }
}

} // namespace

std::string QuorJsonEscape(const char* text)
{
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text != nullptr ? text : ""); *p != 0;
         ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20) {
            char code[8];
            snprintf(code, sizeof(code), "\\u%04x", *p);
            out += code;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

std::string QuorJsonFormat(const char* pattern, std::initializer_list<const char*> values)
{
    std::string out;
    const char* const* value = values.begin();
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += QuorJsonEscape(value != values.end() ? *value++ : "");
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

CQuorVelmarHttpConn::CQuorVelmarHttpConn(mg_connection* conn) : m_conn(conn) {}

bool CQuorVelmarHttpConn::ReadForm()
{
    const mg_request_info* info = mg_get_request_info(m_conn);
    if (info == nullptr)
        return false;
    if (info->content_length > static_cast<long long>(kMaxFormBytes))
        return false;
    char buf[1024];
    int n;
    while ((n = mg_read(m_conn, buf, sizeof(buf))) > 0) {
        if (m_form.size() + static_cast<size_t>(n) > kMaxFormBytes)
            return false;
        m_form.append(buf, static_cast<size_t>(n));
    }
    return n == 0;
}

int CQuorVelmarHttpConn::GetVar(const char* name, char* out, size_t size) const
{
    if (size == 0)
        return kVarTooLong;
    out[0] = '\0';
    const mg_request_info* info = mg_get_request_info(m_conn);
    const char* query = info != nullptr ? info->query_string : nullptr;
    int result = kVarMissing;
    if (query != nullptr)
        result = mg_get_var(query, strlen(query), name, out, size);
    if (result == kVarMissing && !m_form.empty())
        result = mg_get_var(m_form.data(), m_form.size(), name, out, size);
    if (result < 0) {
        out[0] = '\0';
        return result == kVarMissing ? kVarMissing : kVarTooLong;
    }
    return result;
}

void CQuorVelmarHttpConn::SendStatus(int status)
{
    if (m_status == 0)
        m_status = status;
}

void CQuorVelmarHttpConn::AddHeader(const char* line)
{
    if (!m_replied && line != nullptr)
        m_extraHeaders += line;
}

void CQuorVelmarHttpConn::WriteHead(const char* headerLines)
{
    if (m_replied)
        return;
    m_replied = true;
    if (m_status == 0)
        m_status = 500;
    mg_printf(m_conn, "HTTP/1.1 %d %s\r\n%s%sTransfer-Encoding: chunked\r\n\r\n", m_status, StatusText(m_status),
              m_extraHeaders.c_str(), headerLines);
}

void CQuorVelmarHttpConn::WriteChunk(const char* data, size_t length)
{
    mg_printf(m_conn, "%zx\r\n", length);
    mg_write(m_conn, data, length);
    mg_write(m_conn, "\r\n", 2);
}

void CQuorVelmarHttpConn::SendJson(const std::string& text)
{
    if (m_replied)
        return;
    SendStatus(200);
    WriteHead("Content-Type: application/json\r\n");
    if (!text.empty())
        WriteChunk(text.data(), text.size());
    mg_write(m_conn, "0\r\n\r\n", 5);
}

void CQuorVelmarHttpConn::SendTrailer()
{
    if (m_replied)
        return;
    WriteHead("Content-Type: text/plain\r\nConnection: close\r\n");
    WriteChunk("\r\n", 2);
    WriteChunk("\r\n", 2);
    mg_write(m_conn, "0\r\n\r\n", 5);
}
