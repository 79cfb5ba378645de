// One HTTP request of the web server as the request handlers see it: the
// request variables and the three ways a handler answers.
//
// Request variables come from the query string first, then from a form body
// (at most kMaxFormBytes; a larger body is refused by ReadForm). A variable
// read into a fixed buffer that it does not fit is reported as too long and
// the buffer left empty: a value is never cut and then used.
//
// Replies (every reply is framed with chunked transfer encoding):
// - SendJson: status (200 unless SendStatus chose another), "Content-Type:
//   application/json" and the text as the body;
// - SendStatus alone: the status is written with the plain-text trailer
//   (SendTrailer) when the handler returns;
// - neither: the trailer goes out with status 500 (the request did not
//   complete).
// The trailer is "Content-Type: text/plain" and "Connection: close" and two
// data chunks of "\r\n" each.
#ifndef QUOR_VELMAR_HTTPCONN_H
#define QUOR_VELMAR_HTTPCONN_H

#include <cstddef>
#include <initializer_list>
#include <string>

struct mg_connection;

// Escapes a text for a JSON string: '"' and '\\' get a backslash, control
// characters become \u00XX; every other byte is kept as it is.
std::string QuorJsonEscape(const char* text);

// Fills a printf-style template whose only directives are "%s" with the
// values, in order, each escaped with QuorJsonEscape (a missing value is
// empty).
std::string QuorJsonFormat(const char* pattern, std::initializer_list<const char*> values);

class CQuorVelmarHttpConn {
public:
    enum : size_t { kMaxFormBytes = 16384 };
    enum { kVarMissing = -1, kVarTooLong = -2 };

    explicit CQuorVelmarHttpConn(mg_connection* conn);

    // Reads the request body, when there is one, as form variables. False
    // when it is larger than kMaxFormBytes or cannot be read.
    bool ReadForm();

    // Copies a request variable into out (size bytes, always terminated).
    // Its length; kVarMissing (out empty) when absent; kVarTooLong (out
    // empty) when it needs size bytes or more.
    int GetVar(const char* name, char* out, size_t size) const;
    template <size_t N>
    int GetVar(const char* name, char (&out)[N]) const
    {
        return GetVar(name, out, N);
    }

    // Chooses the status of the reply (the first choice holds).
    void SendStatus(int status);
    // Adds a header line (ended by "\r\n") to the reply, before the reply's
    // own header lines.
    void AddHeader(const char* line);
    // Writes the whole JSON reply.
    void SendJson(const std::string& text);
    // Writes the status and the plain-text trailer.
    void SendTrailer();

    int Status() const { return m_status; }
    bool Replied() const { return m_replied; }
    mg_connection* Raw() const { return m_conn; }

private:
    void WriteHead(const char* headerLines);
    void WriteChunk(const char* data, size_t length);

    mg_connection* m_conn;
    std::string m_form;
    std::string m_extraHeaders;
    int m_status = 0;
    bool m_replied = false;
};

#endif
