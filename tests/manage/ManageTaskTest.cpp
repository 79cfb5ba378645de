// The management task's own work: the start flow (identity lines, the query
// chain, resends), the timeout ticks, the deferred reboot and network
// reconfiguration, the dispatch by scope and the send operations. Ticks are
// given by signalling TASK_EVT_TIMEOUT and running one pass on the test's
// thread.
#include <atomic>
#include <thread>

#include "ManageTestSupport.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

namespace manage_test {
namespace {

using Lines = std::vector<std::string>;

class ManageTaskTest : public ManageFixture {
protected:
    // One timeout tick: the pass a timeout event causes.
    void Tick()
    {
        fTask->Signal(TASK_EVT_TIMEOUT);
        fTask->Run();
    }
    // The lines the MCU got since the last ClearRecords, waiting for count.
    static Lines McuGot(size_t count) { return SerialBoard::McuLines(count); }
    // No further line arrives within a short while.
    static bool McuQuiet(size_t count)
    {
        usleep(100000);
        return SerialBoard::Mcu().ReceivedLines().size() == count;
    }
    T_QuorStringMsg Message(uint8_t scope, int32_t session, const std::string& text)
    {
        return StringLine(scope, session, text);
    }
};

TEST_F(ManageTaskTest, StartFlowPushesIdentityThenAsksForOrder)
{
    g_ModulInfolist.Clear();
    LogSince log;
    EXPECT_EQ(0, fTask->DoVelmarStartFlow());
    Lines got = McuGot(5);
    T_QuorModulInfo record = Record();
    char mac[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_MacAddr, mac);
    std::string tail = strlen(mac) == 12 ? std::string(mac + 8, 2) + ":" + std::string(mac + 10, 2) : ":";
    EXPECT_EQ((Lines{std::string("SET SDXBIP ") + record.Ip, std::string("set sdxmask ") + record.Netmask,
                     std::string("set sdxgateway ") + record.Gateway, "set sdxmacaddr " + tail, "GET ORDER"}),
              got);
    EXPECT_TRUE(McuQuiet(5));
    EXPECT_EQ((std::vector<uint32_t>{500, 500, 500, 500, 200}), PauseRecorder::Pauses());
    EXPECT_TRUE(fTask->IsStartFlowRunning());
    EXPECT_EQ(1, fTask->GetMsgCurStatus());

    // The record: one, named, with the alias and mode of the property file.
    EXPECT_EQ(1u, g_ModulInfolist.Size());
    EXPECT_STREQ("QuorVelmar", record.cModulName);
    EXPECT_STREQ("TX", record.cDevType);
    EXPECT_STREQ("0", record.SequenceNumber);
    char alias[128], mode[32];
    CServerProperty::GetInstance()->GetDevAlias(alias, sizeof(alias));
    CServerProperty::GetInstance()->GetIpMod(mode, sizeof(mode));
    EXPECT_STREQ(alias, record.cAlias);
    EXPECT_STREQ(mode, record.IpMod);
    EXPECT_TRUE(log.Has(std::string("Mac is <") + mac + ">."));
    EXPECT_TRUE(log.Has("This Modul Info: Modul Name is <QuorVelmar>"));
}

TEST_F(ManageTaskTest, InitializeRunsTheFlowAndBuildsTheEndFlagMap)
{
    g_ModulInfolist.Clear();
    EXPECT_EQ(0, fTask->Initialize());
    EXPECT_EQ("GET ORDER", McuGot(5).back());
    uint16_t code = 9;
    EXPECT_TRUE(fTask->FindRs232EndFlg("crlf", &code));
    EXPECT_EQ(3, code);
    EXPECT_TRUE(fTask->FindRs232EndFlg("NULL", &code));
    EXPECT_EQ(0, code);
    EXPECT_TRUE(fTask->FindRs232EndFlg("LF", &code));
    EXPECT_EQ(2, code);
    EXPECT_FALSE(fTask->FindRs232EndFlg("Crlf", &code));
}

// Every answer of the chain, the state it leads to and the query it sends.
struct ChainStep {
    const char* answer;
    int state;
    const char* query;
};

const ChainStep kChain[] = {
    {"ORDER 1", 2, "GET SUBGROUP"},
    {"SUBGROUP self off", 3, "GET RING_MARKER"},
    {"RING_MARKER off", 4, "GET SHOWME"},
    {"SHOWME off", 5, "GET MP all"},
    {"MP hdmi all", 6, "GET EDID all"},
    {"EDID all 1080P", 7, "GET HDCPSUPPORT_ONOFF hdmi"},
    {"HDCPSUPPORT_ONOFF hdmi ON", 8, "GET HDCPSUPPORT_ONOFF dp"},
    {"HDCPSUPPORT_ONOFF dp ON", 9, "GET VER"},
    {"VER hdmi 1.0.2", 10, "GET CECAUTO_ONOFF hdmi"},
    {"CECAUTO_ONOFF hdmi ON", 11, "GET CECAUTO_DELAY hdmi"},
    {"CECAUTO_DELAY hdmi 5", 12, "GET LEDFLICKER"},
    {"LEDFLICKER off", 13, "GET AUTOSW_ONOFF"},
    {"AUTOSW_ONOFF on", 15, "GET UARTAUTO_ONOFF hdmi"},
    {"uartauto_onoff hdmi on", 16, "GET UARTPWR_DELAY hdmi"},
    {"uartpwr_delay hdmi 3", 17, nullptr},
};

TEST_F(ManageTaskTest, AnswersWalkTheChainUnforwardedThenAreForwarded)
{
    RunStartFlow();
    LogSince log;
    Lines queries;
    for (const ChainStep& step : kChain) {
        McuLine(step.answer);
        EXPECT_EQ(step.state, fTask->GetMsgCurStatus()) << step.answer;
        if (step.query != nullptr)
            queries.push_back(step.query);
        EXPECT_EQ(queries, McuGot(queries.size())) << step.answer;
    }
    EXPECT_TRUE(McuQuiet(queries.size()));
    EXPECT_FALSE(fTask->IsStartFlowRunning());
    EXPECT_TRUE(log.Has("start flow complete"));
    EXPECT_TRUE(TcpRecorder::Texts().empty());
    EXPECT_STREQ("1.0.2", Record().McuVersion);
    EXPECT_STREQ("1080P", Record().EDIDQueyReq);

    // After the flow the same answers are forwarded and ask for nothing.
    SerialBoard::Mcu().ClearRecords();
    for (const ChainStep& step : kChain)
        McuLine(step.answer);
    EXPECT_EQ(sizeof(kChain) / sizeof(kChain[0]), TcpRecorder::Texts().size());
    EXPECT_EQ("ORDER 1\r\n", TcpRecorder::Texts().front());
    EXPECT_TRUE(McuQuiet(0));
    EXPECT_EQ(17, fTask->GetMsgCurStatus());
}

TEST_F(ManageTaskTest, HdcpQueryGoesOutBeforeTheValueIsChecked)
{
    RunStartFlow();
    LogSince log;
    McuLine("HDCPSUPPORT_ONOFF hdmi maybe");
    EXPECT_EQ((Lines{"GET HDCPSUPPORT_ONOFF dp"}), McuGot(1));
    EXPECT_TRUE(log.Has("######Hdmi_HdcpSuppert is Error."));
    EXPECT_EQ(8, fTask->GetMsgCurStatus());
    EXPECT_TRUE(TcpRecorder::Texts().empty());
    // An unknown port moves nothing and is forwarded.
    McuLine("HDCPSUPPORT_ONOFF vga ON");
    EXPECT_EQ(8, fTask->GetMsgCurStatus());
    EXPECT_EQ((Lines{"HDCPSUPPORT_ONOFF vga ON\r\n"}), TcpRecorder::Texts());
}

TEST_F(ManageTaskTest, SilentMcuGetsOrderFourTimesThenNothing)
{
    ASSERT_EQ(3, CQuorVelmarPref::s_u16Quor_Velmar_MsgReTransmissionNum);
    RunStartFlow();
    for (int tick = 1; tick <= 3; ++tick) {
        Tick();
        EXPECT_EQ(Lines(tick, "GET ORDER"), McuGot(tick));
        EXPECT_EQ(tick < 3, fTask->IsStartFlowRunning()) << tick;
    }
    Tick();
    Tick();
    EXPECT_TRUE(McuQuiet(3));

    // An answer after the flow gave up is stored and forwarded, and asks for nothing.
    LogSince log;
    McuLine("ORDER 5");
    EXPECT_STREQ("5", Record().SequenceNumber);
    EXPECT_TRUE(log.Has("flag is false"));
    EXPECT_EQ((Lines{"ORDER 5\r\n"}), TcpRecorder::Texts());
    EXPECT_TRUE(McuQuiet(3));
    EXPECT_EQ(1, fTask->GetMsgCurStatus());
}

TEST_F(ManageTaskTest, EachOfTheFirstFiveQueriesIsResentAndAnAnswerResetsTheCount)
{
    RunStartFlow();
    const ChainStep* step = kChain;
    const char* resent = "GET ORDER";
    Lines expected;
    for (int state = 1; state <= 5; ++state, ++step) {
        Tick();
        Tick();
        expected.push_back(resent);
        expected.push_back(resent);
        EXPECT_EQ(2, fTask->GetStartFlowRetryCount());
        McuLine(step->answer);
        expected.push_back(step->query);
        EXPECT_EQ(0, fTask->GetStartFlowRetryCount());
        resent = step->query;
    }
    EXPECT_EQ(expected, McuGot(expected.size()));
    EXPECT_TRUE(fTask->IsStartFlowRunning());
}

TEST_F(ManageTaskTest, LaterStatesWaitAndGiveUpAfterSixtyTicks)
{
    RunStartFlow();
    for (int i = 0; i < 6; ++i)
        McuLine(kChain[i].answer);
    ASSERT_EQ(7, fTask->GetMsgCurStatus());
    ASSERT_TRUE(SerialBoard::Mcu().WaitForLine("GET HDCPSUPPORT_ONOFF hdmi", 2000));
    SerialBoard::Mcu().ClearRecords();
    LogSince log;
    for (int tick = 1; tick < 60; ++tick)
        Tick();
    EXPECT_TRUE(fTask->IsStartFlowRunning());
    EXPECT_TRUE(log.Has("Do nothing"));
    // An answer restarts the count.
    McuLine("HDCPSUPPORT_ONOFF hdmi ON");
    for (int tick = 1; tick < 60; ++tick)
        Tick();
    EXPECT_TRUE(fTask->IsStartFlowRunning());
    Tick();
    EXPECT_FALSE(fTask->IsStartFlowRunning());
    EXPECT_TRUE(log.Has("######Start flow got no answer in state <8> for <60> ticks, given up!"));
    EXPECT_EQ((Lines{"GET HDCPSUPPORT_ONOFF dp"}), McuGot(1));
    EXPECT_TRUE(McuQuiet(1));
}

TEST_F(ManageTaskTest, AnInvalidStateEndsTheFlow)
{
    RunStartFlow();
    fTask->AdvanceStartFlow(QUOR_FLOW_UNUSED_STATE, nullptr);
    LogSince log;
    Tick();
    EXPECT_TRUE(log.Has("######MsgRetransmissionStatus MsgCurStatus is <14> Error!"));
    EXPECT_FALSE(fTask->IsStartFlowRunning());
    EXPECT_EQ(17, fTask->GetMsgCurStatus());
}

TEST_F(ManageTaskTest, RebootFollowsOnTheFifthTick)
{
    g_b8RebootFlag = true;
    for (int tick = 1; tick <= 4; ++tick)
        Tick();
    EXPECT_EQ("", ProcessBoardRoot::Calls());
    Tick();
    EXPECT_EQ("reboot\n", ProcessBoardRoot::Calls());
    // The flag stays: five more ticks, one more reboot.
    for (int tick = 1; tick <= 5; ++tick)
        Tick();
    EXPECT_EQ("reboot\nreboot\n", ProcessBoardRoot::Calls());
    // Passes without a tick do not count.
    fTask->Run();
    fTask->Run();
    for (int tick = 1; tick <= 4; ++tick)
        Tick();
    EXPECT_EQ("reboot\nreboot\n", ProcessBoardRoot::Calls());
}

TEST_F(ManageTaskTest, ConfigipRunsAtTheEndOfAnyPass)
{
    LogSince log;
    g_b8DoConfigip = true;
    fTask->Run();
    EXPECT_FALSE(g_b8DoConfigip.load());
    std::string calls = ProcessBoardRoot::Calls();
    EXPECT_EQ(0u, calls.find("configip\n"));
    EXPECT_EQ(calls.size() - 12, calls.find("sync\nreboot\n"));
    EXPECT_EQ((std::vector<uint32_t>{50}), PauseRecorder::Pauses());
    EXPECT_TRUE(log.Has("Do configip pox_system <configip> OK."));
    EXPECT_TRUE(log.Has("Do pox_system <sync> OK."));
    EXPECT_TRUE(log.Has("Do reboot pox_system <reboot> OK."));
    fTask->Run();
    EXPECT_EQ(calls, ProcessBoardRoot::Calls());
}

TEST_F(ManageTaskTest, ConfigipSequenceStopsAtTheFirstFailure)
{
    SetStatus("sync", 2);
    LogSince log;
    g_b8DoConfigip = true;
    fTask->Run();
    EXPECT_TRUE(log.Has("######pox_system <sync> Error and s32Rst is <512>."));
    EXPECT_EQ(std::string::npos, ProcessBoardRoot::Calls().find("reboot"));
    EXPECT_FALSE(g_b8DoConfigip.load());
}

TEST_F(ManageTaskTest, McuNetworkSettingsApplyAStaticAddressAndReconfigureInTheSamePass)
{
    CServerProperty::GetInstance()->SetIpMod("dhcp");
    const std::string before = Read("/etc/network/interfaces");
    // Zero-padded fields are decimal, and only their canonical form goes on.
    T_QuorStringMsg lines[] = {Message(10, 0, "SDXBIP 010.001.2.003"), Message(10, 0, "SDXMASK 255.255.255.000"),
                               Message(10, 0, "SDXGATEWAY 10.1.2.01")};
    for (const T_QuorStringMsg& line : lines)
        fTask->AddStringPacketToProcessList(line);
    fTask->Signal(TASK_EVT_READ);
    fTask->Run();
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_static /etc/network/interfaces\n"
              "cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear\n"
              "sync\n"
              "setip 10.1.2.3 255.255.255.0 10.1.2.1\n"
              "configip\n"
              "ifconfig eth0 10.1.2.3 netmask 255.255.255.0\n"
              "route add default gw 10.1.2.1\n"
              "sync\n"
              "reboot\n",
              ProcessBoardRoot::Calls());
    EXPECT_EQ(Read("/var/tmpfs/interfaces_static"), Read("/etc/network/interfaces"));
    char mode[32];
    CServerProperty::GetInstance()->GetIpMod(mode, sizeof(mode));
    EXPECT_STREQ("static", mode);
    EXPECT_STREQ("10.1.2.3", Record().Ip);
    EXPECT_STREQ("255.255.255.0", Record().Netmask);
    EXPECT_STREQ("10.1.2.1", Record().Gateway);
    EXPECT_TRUE(TcpRecorder::Texts().empty());
    board_test::WriteText(File("/etc/network/interfaces"), before);
}

TEST_F(ManageTaskTest, RefusedMcuNetworkSettingsChangeNothing)
{
    CServerProperty::GetInstance()->SetIpMod("dhcp");
    const std::string gateway = Record().Gateway;
    LogSince log;
    const char* const cases[][2] = {{"1.1.1.1;reboot", "1.1.1.2"},
                                    {"10.0.0.1$(reboot)", "10.0.0.2"},
                                    {"10.0.0.1", "10.0.0.300"},
                                    {"10.0.0.1", "10.0.0.1"}};
    for (const auto& c : cases) {
        McuLine((std::string("SDXBIP ") + c[0]).c_str());
        McuLine("SDXMASK 255.255.255.0");
        McuLine((std::string("SDXGATEWAY ") + c[1]).c_str());
        EXPECT_TRUE(log.Has(std::string("######SDXGATEWAY <") + c[1] + "> refused")) << c[1];
    }
    EXPECT_EQ("", ProcessBoardRoot::Calls());
    EXPECT_FALSE(g_b8DoConfigip.load());
    EXPECT_EQ(gateway, Record().Gateway);
    char mode[32];
    CServerProperty::GetInstance()->GetIpMod(mode, sizeof(mode));
    EXPECT_STREQ("dhcp", mode);
}

TEST_F(ManageTaskTest, LinesAreDispatchedByScope)
{
    LogSince log;
    EXPECT_EQ(0, fTask->DoStringMsgCommand(Message(10, 0, "ORDER 4")));
    EXPECT_STREQ("4", Record().SequenceNumber);
    EXPECT_EQ(0, fTask->DoStringMsgCommand(Message(11, 7, "GET VER\r\n")));
    EXPECT_EQ((Lines{"GET VER"}), McuGot(1));
    EXPECT_EQ(-2, fTask->DoStringMsgCommand(Message(12, 0, "ORDER 6")));
    EXPECT_TRUE(log.Has("######DoStringMsgCommand i_tMsg scop is <12> Error."));
    EXPECT_STREQ("4", Record().SequenceNumber);
    EXPECT_TRUE(McuQuiet(1));
    EXPECT_EQ((Lines{"ORDER 4\r\n"}), TcpRecorder::Texts());
}

TEST_F(ManageTaskTest, SendOperationsAtTheirEdges)
{
    CQuorVelmarManageTask::SetTcpSender(nullptr);
    LogSince log;
    EXPECT_EQ(-2, fTask->SendTcpBuf("ORDER 1\r\n", 0, 0));
    EXPECT_EQ("", log.Text());
    EXPECT_EQ(0, fTask->SendUartBuf(0, ""));
    EXPECT_EQ(0, fTask->SendUart2Buf(0, ""));
    EXPECT_EQ(-2, fTask->SendUartBuf(3, nullptr));
    EXPECT_EQ(4, fTask->SendUartBuf(4, "AB\r\n"));
    EXPECT_EQ((Lines{"AB"}), McuGot(1));
    EXPECT_EQ("AB\r\n", SerialBoard::Mcu().ReceivedBytes());
}

TEST_F(ManageTaskTest, ProducersAreNotHeldWhileAHandlerRuns)
{
    SetSleep("sync", 1);
    fTask->AddStringPacketToProcessList(Message(10, 0, "ALIAS Slow"));
    std::atomic<bool> drained{false};
    std::thread drain([&] {
        fTask->ProcessStringMsg();
        drained = true;
    });
    // Wait until the handler is inside its "sync".
    for (int i = 0; i < 200 && ProcessBoardRoot::Calls().empty(); ++i)
        usleep(10000);
    ASSERT_EQ("sync\n", ProcessBoardRoot::Calls());
    fTask->AddStringPacketToProcessList(Message(10, 0, "ORDER 8"));
    EXPECT_FALSE(drained.load());
    drain.join();
    // The line added during the drain was handled by the same drain.
    EXPECT_STREQ("8", Record().SequenceNumber);
    EXPECT_EQ(0u, fTask->GetStringListLength());
}

TEST_F(ManageTaskTest, SerialLinesAreBoundedOldestDroppedAndCountedOnce)
{
    // Short lines meet the bound on lines, long ones the bound on bytes.
    const uint32_t kLongLine = 2000;
    const struct {
        uint32_t length;  // of each line; 0: "ORDER <n>" alone
        uint32_t fit;     // lines that fit the bounds
    } cases[] = {{0, CQuorVelmarManageTask::kMaxSerialLines},
                 {kLongLine, CQuorVelmarManageTask::kMaxSerialBytes / kLongLine}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        LogSince log;
        fTask->AddStringPacketToProcessList(Message(11, 3, "GET VER\r\n"));
        for (uint32_t i = 0; i < c.fit + 10; ++i) {
            std::string line = "ORDER " + std::to_string(i) + " ";
            line.resize(std::max<size_t>(line.size(), c.length), 'x');
            fTask->AddStringPacketToProcessList(Message(10, 0, line));
        }
        // The TCP line stays; the ten oldest serial lines went.
        EXPECT_EQ(c.fit + 1, fTask->GetStringListLength());
        T_QuorStringMsg first;
        ASSERT_TRUE(fTask->TakeStringMsg(&first));
        EXPECT_STREQ("GET VER\r\n", first.cMsg);
        ASSERT_TRUE(fTask->TakeStringMsg(&first));
        EXPECT_EQ(0, strncmp("ORDER 10 ", first.cMsg, 9)) << first.cMsg;
        auto occurrences = [&log](const std::string& what) {
            std::string text = log.Text();
            size_t n = 0;
            for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
                ++n;
            return n;
        };
        EXPECT_EQ(1u, occurrences("the oldest are dropped"));
        while (fTask->TakeStringMsg(&first)) {
        }
        EXPECT_EQ(1u, occurrences("######Serial lines dropped while the list was full: <10>."));
    }
}

TEST_F(ManageTaskTest, OneRunHandlesABoundedBatchOfEachSource)
{
    for (int i = 0; i < 100; ++i)
        fTask->AddStringPacketToProcessList(Message(10, 0, "ORDER " + std::to_string(i)));
    EXPECT_TRUE(fTask->ProcessStringBatch(64));
    EXPECT_EQ(36u, fTask->GetStringListLength());
    EXPECT_STREQ("63", Record().SequenceNumber);
    EXPECT_FALSE(fTask->ProcessStringBatch(64));
    EXPECT_STREQ("99", Record().SequenceNumber);
}

TEST_F(ManageTaskTest, TcpLinesAreCountedPerSessionAndInAll)
{
    for (int i = 0; i < 3; ++i)
        fTask->AddStringPacketToProcessList(Message(11, 7, "A\r\n"));
    fTask->AddStringPacketToProcessList(Message(11, 8, "A\r\n"));
    EXPECT_TRUE(fTask->TcpLinesAbove(7, 2, 100));
    EXPECT_FALSE(fTask->TcpLinesAbove(7, 3, 100));
    EXPECT_FALSE(fTask->TcpLinesAbove(8, 2, 100));
    EXPECT_TRUE(fTask->TcpLinesAbove(8, 2, 3));
    T_QuorStringMsg taken;
    ASSERT_TRUE(fTask->TakeStringMsg(&taken));
    EXPECT_FALSE(fTask->TcpLinesAbove(7, 2, 3));
}

}  // namespace
}  // namespace manage_test
