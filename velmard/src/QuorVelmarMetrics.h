// Counters of velmard for monitoring an installation: GET /metrics on the web
// server answers them in the Prometheus text format (version 0.0.4).
//
// The counters are process-wide atomics, counted where the daemon already
// handles the event (a line taken from the MCU, a group message sent, ...);
// counting never blocks and never allocates. The page is built on the web
// worker that serves it, from those atomics and from a copy of the own module
// record; nothing on it comes from a peer except the record's texts, which
// are escaped as label values.
#ifndef QUOR_VELMAR_METRICS_H
#define QUOR_VELMAR_METRICS_H

#include <cstddef>
#include <cstdint>
#include <string>

struct mg_connection;

class CQuorVelmarMetrics {
public:
    // Plain event counters.
    enum Counter : uint32_t {
        kMcuLinesIn,        // lines taken from the MCU serial line
        kMcuLinesOut,       // writes to the MCU serial line that went out
        kMcuWritesFailed,   // writes to the MCU serial line that did not
        kSerialLinesDropped,// MCU lines dropped while the management task was behind
        kTcpLinesIn,        // lines taken from command-port sessions
        kTcpSessionsOpened, // command-port sessions accepted
        kTcpSessionsClosed, // command-port sessions ended
        kTcpSessionsRefused,// command-port connections refused (no session left)
        kGroupInInvalid,    // group messages that did not translate
        kGroupOutFailed,    // group messages that could not be packed or sent
        kCounterCount
    };

    static void Add(Counter counter, uint64_t by = 1);
    static uint64_t Get(Counter counter);

    // A group message taken in or sent, by command identifier (the kinds of
    // the group protocol; any other identifier counts as "other").
    static void CountGroupIn(uint32_t commandId);
    static void CountGroupOut(uint32_t commandId);
    static uint64_t GetGroupIn(uint32_t commandId);
    static uint64_t GetGroupOut(uint32_t commandId);

    // A search query went to the group: the answers that follow are timed
    // from now.
    static void MarkSearchSent();
    // An answer joined the device list.
    static void MarkSearchAnswer();

    // The whole page. uptimeSeconds: the daemon's age.
    static std::string Render(double uptimeSeconds);
    // Escapes a label value: backslash, double quote and line feed; other
    // control bytes become spaces.
    static std::string LabelValue(const char* text, size_t maxLength);

    // The web server's entry for "/metrics": GET (or HEAD) answers the page
    // with status 200, any other method 405. Returns the status sent.
    static int HandleRequest(mg_connection* conn);
};

#endif
