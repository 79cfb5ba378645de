#include "TcpCmdTestSupport.h"

#include <cstdio>
#include <mutex>

#include "QuorVelmarPref.h"
#include "QuorVelmarUartTwoTask.h"

namespace tcpcmd_test {

namespace {

std::mutex s_mutex;
Lines s_events;

}  // namespace

T_QuorStringMsg TcpLine(const std::string& bytes, int32_t session)
{
    T_QuorStringMsg m;
    memset(&m, 0, sizeof(m));
    m.u8Scope = QUOR_STRING_SCOPE_TCP;
    m.s32SessionId = session;
    const size_t length = std::min(bytes.size(), sizeof(m.cMsg) - 1);
    m.u16Length = (uint16_t)length;
    memcpy(m.cMsg, bytes.data(), length);
    return m;
}

int EventRecorder::Group(uint32_t commandId, const void* record)
{
    char text[96];
    if (commandId == QUOR_MSG_GROUP_SIGN_NOTIFY_REQ) {
        const T_QuorDeviceGroupSignNotifyReq* notice = static_cast<const T_QuorDeviceGroupSignNotifyReq*>(record);
        snprintf(text, sizeof(text), "group 0x%X type %u sign 0x%X header 0x%X %u", (unsigned)commandId,
                 (unsigned)notice->u16DeviceType, (unsigned)notice->u16DeviceGroupSignCmd,
                 (unsigned)notice->tHeader.u32CommandID, (unsigned)notice->tHeader.u32HeadWord3);
    } else {
        snprintf(text, sizeof(text), "group 0x%X", (unsigned)commandId);
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    s_events.push_back(text);
    return 0;
}

void EventRecorder::Pause(uint32_t milliseconds)
{
    manage_test::PauseRecorder::Pause(milliseconds);
    std::lock_guard<std::mutex> lock(s_mutex);
    s_events.push_back("pause " + std::to_string(milliseconds));
}

Lines EventRecorder::Events()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_events;
}

void EventRecorder::Clear()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_events.clear();
}

void TcpCmdFixture::SetUp()
{
    ManageFixture::SetUp();
    ResetDisplayPrefs();
    EventRecorder::Clear();
    CQuorVelmarManageTask::SetGroupBroadcaster(EventRecorder::Group);
    CQuorVelmarManageTask::SetPauseFn(EventRecorder::Pause);
    fTask->Rs232EndFlgMapping();  // as Initialize does
    SerialBoard::Mcu().ClearRecords();
    SerialBoard::Display().ClearRecords();
    ProcessBoardRoot::ClearCalls();
}

void TcpCmdFixture::TearDown()
{
    CQuorVelmarManageTask::SetGroupBroadcaster(nullptr);
    ResetDisplayPrefs();
    ManageFixture::TearDown();
}

int TcpCmdFixture::Send(const std::string& bytes, int32_t session)
{
    T_QuorStringMsg message = TcpLine(bytes, session);
    return fTask->ProcessTcpMsg(message);
}

Lines TcpCmdFixture::Replies()
{
    Lines texts;
    for (const TcpSent& sent : TcpRecorder::Sent()) {
        EXPECT_EQ(QUOR_STRING_MODE_ONE_CLIENT, sent.mode) << sent.text;
        EXPECT_EQ(kSession, sent.session) << sent.text;
        texts.push_back(sent.text);
    }
    return texts;
}

std::string TcpCmdFixture::McuBytes(size_t count)
{
    SerialBoard::Mcu().WaitForBytes(count, 2000);
    usleep(50000);
    return SerialBoard::Mcu().ReceivedBytes();
}

std::string TcpCmdFixture::DisplayGot(size_t count)
{
    SerialBoard::Display().WaitForBytes(count, 2000);
    usleep(50000);  // nothing more may follow
    return SerialBoard::Display().ReceivedBytes();
}

bool TcpCmdFixture::McuQuiet()
{
    usleep(100000);
    return SerialBoard::Mcu().ReceivedByteCount() == 0;
}

bool TcpCmdFixture::DisplayQuiet()
{
    usleep(100000);
    return SerialBoard::Display().ReceivedByteCount() == 0;
}

void TcpCmdFixture::ResetDisplayPrefs()
{
    struct Default {
        const char* name;
        char* member;
        size_t size;
        const char* value;
    } defaults[] = {
        {"RS232Speed", CQuorVelmarPref::s_cQuor_RS232Speed, CQuorVelmarPref::kShortTextSize, "57600"},
        {"RS232DataBit", CQuorVelmarPref::s_cQuor_RS232DataBit, CQuorVelmarPref::kShortTextSize, "8"},
        {"RS232ParityBit", CQuorVelmarPref::s_cQuor_RS232ParityBit, CQuorVelmarPref::kShortTextSize, "NONE"},
        {"RS232Stop", CQuorVelmarPref::s_cQuor_RS232StopBit, CQuorVelmarPref::kShortTextSize, "1"},
        {"RS232PWROn", CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweron, CQuorVelmarPref::kLongTextSize, ""},
        {"RS232PWROff", CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweroff, CQuorVelmarPref::kLongTextSize, ""},
        {"RS232Hexadecimal", CQuorVelmarPref::s_cQuor_PWRSave_RS232Hexadecimal, CQuorVelmarPref::kShortTextSize, ""},
        {"RS232EndFlg", CQuorVelmarPref::s_cQuor_RS232EndFlg, CQuorVelmarPref::kShortTextSize, "\r\n"},
        {"RS232DelayCtrltime", CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime, CQuorVelmarPref::kShortTextSize,
         ""},
    };
    for (const Default& d : defaults) {
        if (PowerSavePref(d.name) != d.value) {
            EXPECT_EQ(0, CQuorVelmarPref::SetPWRSavePrefVal(d.name, "char", d.value)) << d.name;
        }
        CQuorVelmarPref::StoreText(d.member, d.size, d.value);
    }
    EXPECT_EQ(0, g_pVelmarUartTwoTask->SetUartOptFromPrefs());
}

std::string TcpCmdFixture::Member(const char* member)
{
    char text[CQuorVelmarPref::kLongTextSize];
    CQuorVelmarPref::CopyText(member, text);
    return text;
}

}  // namespace tcpcmd_test
