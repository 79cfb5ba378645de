#include "ManageTestSupport.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "QuorSecTimeoutTask.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarUartTask.h"
#include "QuorVelmarUartTwoTask.h"
#include "serverproperty.h"

namespace manage_test {

namespace {

std::mutex s_mutex;
std::vector<TcpSent> s_sent;
std::vector<uint32_t> s_pauses;

McuSimulator* s_mcu = nullptr;
DisplaySimulator* s_display = nullptr;

// Records the call, sleeps the seconds kept in var/run/<program>-sleep, then
// exits with the status kept in var/run/<program>-status (0 when there is
// none) or does what the program does (cp).
std::string RecordingProgram(const char* program, const char* realProgram)
{
    std::string script = "#!/bin/sh\n"
                         ". \"$VELMAR_ROOT/usr/lib/board-sim/board-call.sh\"\n"
                         "board_call ";
    script += program;
    script += " \"$@\"\n"
              "sleep \"$(cat \"$VELMAR_ROOT/var/run/";
    script += program;
    script += "-sleep\" 2>/dev/null || echo 0)\"\n"
              "status=$(cat \"$VELMAR_ROOT/var/run/";
    script += program;
    script += "-status\" 2>/dev/null || echo 0)\n"
              "[ \"$status\" -eq 0 ] || exit \"$status\"\n";
    script += realProgram != nullptr ? std::string("exec ") + realProgram + " \"$@\"\n" : "exit 0\n";
    return script;
}

}  // namespace

int TcpRecorder::Send(const char* text, uint8_t mode, int32_t session)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_sent.push_back(TcpSent{text, mode, session});
    return 0;
}

std::vector<TcpSent> TcpRecorder::Sent()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_sent;
}

std::vector<std::string> TcpRecorder::Texts()
{
    std::vector<std::string> texts;
    for (const TcpSent& sent : Sent())
        texts.push_back(sent.text);
    return texts;
}

void TcpRecorder::Clear()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_sent.clear();
}

void PauseRecorder::Pause(uint32_t milliseconds)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_pauses.push_back(milliseconds);
}

std::vector<uint32_t> PauseRecorder::Pauses()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_pauses;
}

void PauseRecorder::Clear()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_pauses.clear();
}

bool SerialBoard::Start(std::string* why)
{
    const board_test::TempBoardRoot& root = ProcessBoardRoot::Get();
    s_mcu = new McuSimulator;
    s_display = new DisplaySimulator;
    if (s_mcu->Start(SimEndpointOptions{root.File("/dev/ttyS1"), ""}) != 0 ||
        s_display->Start(SimEndpointOptions{root.File("/dev/ttyS2"), ""}) != 0) {
        *why = "cannot start the simulated MCU and display";
        return false;
    }
    s_mcu->SetSilent(true);
    g_pVelmarUartTask = new CQuorVelmarUartTask;
    g_pVelmarUartTwoTask = new CQuorVelmarUartTwoTask;
    if (g_pVelmarUartTask->Initialize() != 0 || g_pVelmarUartTwoTask->Initialize() != 0) {
        *why = "cannot open the serial lines on the simulators";
        return false;
    }
    return true;
}

void SerialBoard::Stop()
{
    // The serial tasks stay: their pools never ran them, and the process ends.
    delete s_mcu;
    delete s_display;
    s_mcu = nullptr;
    s_display = nullptr;
}

McuSimulator& SerialBoard::Mcu()
{
    return *s_mcu;
}

DisplaySimulator& SerialBoard::Display()
{
    return *s_display;
}

std::vector<std::string> SerialBoard::McuLines(size_t count, int timeoutMs)
{
    for (int waited = 0; Mcu().ReceivedLines().size() < count && waited < timeoutMs; waited += 10)
        usleep(10000);
    return Mcu().ReceivedLines();
}

void ManageFixture::SetUp()
{
    ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/usr/bin/cp", RecordingProgram("cp", "/bin/cp")));
    ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/usr/bin/sync", RecordingProgram("sync", nullptr)));
    SetStatus("cp", 0);
    SetStatus("sync", 0);
    SetSleep("sync", 0);
    g_ModulInfolist.Clear();
    T_QuorModulInfo own;
    QuorCopyField(own.cModulName, QUOR_MODUL_NAME);
    g_ModulInfolist.Append(own);
    g_b8RebootFlag = false;
    g_b8DoConfigip = false;
    g_b8LearnEDIDOK = false;
    TcpRecorder::Clear();
    PauseRecorder::Clear();
    CQuorVelmarManageTask::SetTcpSender(TcpRecorder::Send);
    CQuorVelmarManageTask::SetPauseFn(PauseRecorder::Pause);
    SerialBoard::Mcu().ClearRecords();
    SerialBoard::Display().ClearRecords();
    ProcessBoardRoot::ClearCalls();
    fTask = new CQuorVelmarManageTask;
}

void ManageFixture::TearDown()
{
    delete fTask;
    fTask = nullptr;
    CQuorVelmarManageTask::SetTcpSender(nullptr);
    remove(File("/usr/bin/cp").c_str());
    remove(File("/usr/bin/sync").c_str());
}

void ManageFixture::SetSleep(const char* program, int seconds)
{
    board_test::WriteText(File(std::string("/var/run/") + program + "-sleep"), std::to_string(seconds) + "\n");
}

T_QuorModulInfo ManageFixture::Record()
{
    T_QuorModulInfo record;
    g_ModulInfolist.CopyOwn(&record);
    return record;
}

void ManageFixture::SetStatus(const char* program, int status)
{
    board_test::WriteText(File(std::string("/var/run/") + program + "-status"), std::to_string(status) + "\n");
}

void ManageFixture::RunStartFlow()
{
    g_ModulInfolist.Clear();
    fTask->DoVelmarStartFlow();
    ASSERT_TRUE(SerialBoard::Mcu().WaitForLine("GET ORDER", 2000));
    SerialBoard::Mcu().ClearRecords();
    PauseRecorder::Clear();
    ProcessBoardRoot::ClearCalls();
}

int RunManageTests(int argc, char** argv, uint32_t poolThreads)
{
    ::testing::InitGoogleTest(&argc, argv);
    ProcessBoardRoot::Make();
    net_test::TestLog::Open();
    if (CQuorVelmarPref::ReadPref() != 0) {
        fprintf(stderr, "cannot read the board root's preferences\n");
        return 1;
    }
    // The start flow opens the property file; tests that skip it need it too.
    CServerProperty::GetInstance()->Init(ProcessBoardRoot::Get().File("/var/tmpfs/SavePowerOff.conf").c_str());
    std::string why;
    if (!SerialBoard::Start(&why)) {
        fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    if (poolThreads > 0)
        QuorTaskThreadPool<2>::AddThreads(poolThreads, 0);
    QuorSecTimeoutTask<2>::Initialize();
    int result = RUN_ALL_TESTS();
    SerialBoard::Stop();
    net_test::TestLog::Close();
    ProcessBoardRoot::Remove();
    return result;
}

std::string PowerSavePref(const char* name)
{
    std::string value;
    CQuorVelmarPref::GetPrefVal(CQuorVelmarPref::GetRefForModule("QuorPowerSave"), name, value);
    return value;
}

}  // namespace manage_test
