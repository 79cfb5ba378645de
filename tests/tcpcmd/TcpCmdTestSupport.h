// Shared by the TCP command tests: a fixture that hands lines to the
// management task as a TCP session would (scope 11, a session id, CR LF
// kept), records the replies, the group notices and the pauses in one order,
// and puts the display line's preferences back to the board root's defaults
// around every test.
#ifndef TCPCMD_TEST_SUPPORT_H
#define TCPCMD_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "ManageTestSupport.h"

namespace tcpcmd_test {

using manage_test::LogSince;
using manage_test::PowerSavePref;
using manage_test::ProcessBoardRoot;
using manage_test::SerialBoard;
using manage_test::TcpRecorder;
using manage_test::TcpSent;
using Lines = std::vector<std::string>;

// The session the test lines come from.
const int32_t kSession = 4711;

// A line of a TCP client: scope 11, the session, the bytes as given.
T_QuorStringMsg TcpLine(const std::string& bytes, int32_t session = kSession);

// Group notices and pauses, in the order they happened: "group 0x1605 type 1
// sign 0x1001" for a 0x1605 notice ("group 0x<id>" for any other), "pause N".
class EventRecorder {
public:
    static int Group(uint32_t commandId, const void* record);
    static void Pause(uint32_t milliseconds);
    static Lines Events();
    static void Clear();
};

class TcpCmdFixture : public manage_test::ManageFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // Hands one line to the command set: the result of ProcessTcpMsg.
    int Send(const std::string& bytes, int32_t session = kSession);
    // The replies so far; each must have gone to kSession with mode 1.
    static Lines Replies();
    // The MCU's lines (without CR LF) once count have arrived; the raw bytes.
    static Lines McuGot(size_t count) { return SerialBoard::McuLines(count); }
    static std::string McuBytes(size_t count);
    // The bytes the display got once count have arrived (and nothing more
    // for 50 ms after).
    static std::string DisplayGot(size_t count);
    // Nothing reached the MCU / the display within 100 ms.
    static bool McuQuiet();
    static bool DisplayQuiet();
    static std::string Calls() { return ProcessBoardRoot::Calls(); }

    // The preferences of the display line and its power commands, in the
    // file and in memory: the board root's defaults, applied to the line.
    static void ResetDisplayPrefs();
    static std::string Member(const char* member);
};

}  // namespace tcpcmd_test

#endif
