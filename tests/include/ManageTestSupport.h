// Shared by the management task tests that run in the test process: the
// process's board root and log (from the network helper tests), the simulated
// MCU and display on the board's serial links with velmard's serial tasks
// opened on them, a recorder in place of the TCP clients, and recording
// stand-ins for "cp" and "sync".
//
// No task thread of pools 3 and 4 runs: the serial tasks only write (what the
// simulators answer is never read by the daemon side). Unless a binary asks
// for them, no thread of pool 2 runs either: the tests then call the
// management task's operations on their own thread.
#ifndef MANAGE_TEST_SUPPORT_H
#define MANAGE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "DisplaySimulator.h"
#include "McuSimulator.h"
#include "NetHelpersTestSupport.h"
#include "QuorVelmarManageTask.h"
#include "StringLineFixture.h"

namespace manage_test {

using net_test::LogSince;
using net_test::ProcessBoardRoot;

// One text handed to the TCP clients.
struct TcpSent {
    std::string text;
    uint8_t mode;
    int32_t session;
};

// Stands in for the TCP server: records what the management task sends.
class TcpRecorder {
public:
    static int Send(const char* text, uint8_t mode, int32_t session);
    static std::vector<TcpSent> Sent();
    static std::vector<std::string> Texts();
    static void Clear();
};

// Records the pauses of the management task instead of sleeping.
class PauseRecorder {
public:
    static void Pause(uint32_t milliseconds);
    static std::vector<uint32_t> Pauses();
    static void Clear();
};

// The simulated devices and velmard's serial tasks on them, for the whole
// test binary.
class SerialBoard {
public:
    // Starts the simulators on <root>/dev/ttyS1 and ttyS2 and opens the
    // serial tasks on them. False (with the reason in *why) on failure.
    static bool Start(std::string* why);
    static void Stop();
    static McuSimulator& Mcu();
    static DisplaySimulator& Display();
    // The lines the MCU received since the last ClearRecords, after waiting
    // until at least count have arrived (or timeoutMs passed).
    static std::vector<std::string> McuLines(size_t count, int timeoutMs = 2000);
};

// A fresh management task per test (never signalled: no pool thread runs
// it), a fresh own record, empty recorders and call log, every flag clear,
// recording "cp" and "sync" (their exit status and a sleep before it are set
// with SetStatus and SetSleep).

class ManageFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Hands one MCU line to the answer dispatcher.
    int McuLine(const char* line) { return fTask->ProcessUartCMDListParameter(line); }
    // The own record as it is now.
    static T_QuorModulInfo Record();
    static std::string File(const std::string& boardPath) { return ProcessBoardRoot::Get().File(boardPath); }
    static std::string Read(const std::string& boardPath) { return ProcessBoardRoot::Get().Read(boardPath); }
    static void SetStatus(const char* program, int status);
    static void SetSleep(const char* program, int seconds);
    // Runs the start flow up to its first query (the pauses recorded, not
    // slept), then forgets what the MCU received and the pauses.
    void RunStartFlow();

    CQuorVelmarManageTask* fTask = nullptr;
};

// The whole test binary: the board root, its preferences and property file,
// the log, the simulators with the serial tasks on them and pool 2's timeout
// task; with poolThreads, pool 2 also gets that many task threads (its
// timeout entries then fire). Returns the binary's exit status.
int RunManageTests(int argc, char** argv, uint32_t poolThreads);

// The power-save preference as stored in the preferences file now.
std::string PowerSavePref(const char* name);

}  // namespace manage_test

#endif
