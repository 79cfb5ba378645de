// One command line of a TCP client as the management task's command handlers
// read it: its words in order, the text behind the words taken so far, and
// the reply to the client that sent it.
//
// Words are taken with PareCommandString (space-separated, at most 31
// characters kept of each) on demand, in order, from the line's text as a C
// string; a binary line (EDID data) is only read up to its first zero byte
// here, and handed on with its byte count elsewhere.
#ifndef QUOR_VELMAR_TCPCMDLINE_H
#define QUOR_VELMAR_TCPCMDLINE_H

#include <cstddef>
#include <cstdint>

#include "QuorVelmarManageTask.h"
#include "QuorVelmarMsgDef.h"

class CQuorVelmarTcpCmdLine {
public:
    // Words a handler can take; later ones read as empty.
    enum : size_t { kMaxWords = 9 };

    explicit CQuorVelmarTcpCmdLine(const T_QuorStringMsg& message);
    CQuorVelmarTcpCmdLine(const CQuorVelmarTcpCmdLine&) = delete;
    CQuorVelmarTcpCmdLine& operator=(const CQuorVelmarTcpCmdLine&) = delete;

    // The n-th word (1 is the first), taking the words up to it if not yet
    // taken; empty when the line has fewer words or n is 0 or above kMaxWords.
    const char* Word(size_t n);
    // The text behind the last word taken, the spaces after it skipped (the
    // whole line before any word is taken); ends with the line's CR LF.
    const char* Rest() const { return m_pCursor; }
    // The line's text from its index-th byte on (empty when it is shorter).
    const char* TextFrom(size_t index) const;
    const char* Text() const { return m_Message.cMsg; }
    const T_QuorStringMsg& Message() const { return m_Message; }
    // The bytes to hand on unchanged: the message length, bounded by the text
    // array.
    uint32_t ByteCount() const;

    // True when word begins with keyword, ignoring case (a longer word that
    // begins with the keyword matches; an empty keyword never does).
    static bool Matches(const char* word, const char* keyword);

    // Formats a reply and queues it for the client that sent the line
    // (mode 1, its session). A reply longer than 2047 characters is cut
    // (logged). The result of SendTcpBuf.
    int Reply(CQuorVelmarManageTask& task, const char* format, ...) __attribute__((format(printf, 3, 4)));

private:
    const T_QuorStringMsg& m_Message;
    const char* m_pCursor;
    size_t m_Taken = 0;
    char m_Words[kMaxWords][QUOR_TOKEN_SIZE] = {};
};

#endif
