// The read-only view of the daemon's log for the operator pages.
//
// "GET /log" answers the last lines of the log ring as plain text, oldest
// first, one line each, the lines as the log holds them. Query variables:
// - "level": the lowest level shown, 10000 (everything, the default), 20000,
//   30000, 40000 or 50000, or the names "debug", "info", "warning", "error",
//   "fatal". A line without a level of its own (the start banner) goes with
//   the line before it;
// - "lines": how many lines, 1 to kMaxLines (default kDefaultLines).
// At most kMaxReadBytes of each log file and kMaxReplyBytes in all are read;
// the open log file is flushed first, so the newest line is there. Another
// method than GET or HEAD is answered 405, a bad variable 400. The web
// log-in applies (401 without a session while it is on).
#ifndef QUOR_VELMAR_WEBLOG_H
#define QUOR_VELMAR_WEBLOG_H

#include <cstddef>
#include <cstdint>
#include <string>

struct mg_connection;

class CQuorVelmarWebLog {
public:
    enum : size_t {
        kDefaultLines = 200,
        kMaxLines = 2000,
        kMaxReadBytes = 256 * 1024,
        kMaxReplyBytes = 512 * 1024
    };

    // True for the URI of the log view ("/log").
    static bool IsLogUri(const char* uri);
    // The whole "/log" request; the HTTP status sent.
    static int Serve(mg_connection* conn);

    // The level named by text (a number or a name); 0 when unknown.
    static uint32_t ParseLevel(const char* text);
    // The level of one log line ("<time> [<level>]: ..."); 0 when it has none.
    static uint32_t LineLevel(const char* line, size_t length);
    // The last lines of the ring whose level is at least minLevel.
    static std::string Collect(uint32_t minLevel, size_t lines);
};

#endif
