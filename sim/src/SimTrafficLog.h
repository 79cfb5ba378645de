// The traffic log of a simulator: one text line per line on the wire, in
// both directions, so a person can follow a session with `tail -f`.
//
//   12:00:01.234 daemon->mcu GET ORDER
//   12:00:01.236 mcu->daemon ORDER 1
//   12:00:02.000 mcu->daemon ORD [no CR LF]
//   12:00:02.100 # silent on
//
// Bytes outside printable ASCII are written as \r, \n, \t or \xNN.
#ifndef VELMAR_SIM_SIMTRAFFICLOG_H
#define VELMAR_SIM_SIMTRAFFICLOG_H

#include "QuorUtilLib/OSNonCopyable.h"

#include <mutex>
#include <string>

class SimTrafficLog : private OSNonCopyable {
public:
    SimTrafficLog() = default;
    ~SimTrafficLog();

    // Opens (creates, appends to) the file; an empty path turns the log off.
    // Returns 0 or a negative errno.
    int Open(const std::string& path);
    void Close();

    // One complete line (without its CR LF) that went `direction`.
    void Line(const std::string& direction, const std::string& line);
    // Bytes that are not (only) complete lines: each complete line is logged
    // as with Line, a rest without CR LF is marked "[no CR LF]".
    void Bytes(const std::string& direction, const std::string& bytes);
    // A remark of the simulator itself ("# text"; escaped only when it holds
    // bytes outside printable ASCII).
    void Note(const std::string& text);

private:
    void WriteEntry(const std::string& middle, const std::string& text);

    std::mutex m_mutex;
    int m_fd = -1;
};

#endif
