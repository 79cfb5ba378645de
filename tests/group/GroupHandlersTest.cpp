// The group coordination handlers of the management task in the test
// process, message by message: exact answer bytes, what each notice changes
// (preferences, module record, property file, MCU line), the broadcast
// starters, the capped list of search answers and the limits of the lists
// inside records.
//
// The process sits in the "board" namespace of a namespace pair (see
// tests/udp/UdpNetnsPair.h): answers and broadcasts leave through its "eth0"
// and reach the test peers' sockets in the "lan" namespace. Received messages
// are handed to the communication layer as a receive path would, with the
// peer's address, and the tests drain the task's queue themselves (pool 2
// has no threads). Needs root; exits 77 (skipped) where no namespace can be
// made.
#include <chrono>
#include <thread>

// The namespace pair's helpers come before the protocol helpers, whose
// global names they would otherwise meet.
#include "TestClock.h"
#include "UdpNetnsPair.h"

#include "ManageTestSupport.h"
#include "ProtocolTestUtil.h"
#include "QuorVelmarDevSearchList.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarUdpMulSocketTask.h"
#include "serverproperty.h"

namespace {

using manage_test::ManageFixture;
using manage_test::SerialBoard;
using net_test::LogSince;
using net_test::ProcessBoardRoot;
using udp_test::HostAddr;
using udp_test::Peer;

using board_test::NowMs;

const char* const kPeer1 = udp_test::kPeer1Ip;
const char* const kPeer2 = udp_test::kPeer2Ip;

class GroupHandlersTest : public ManageFixture {
protected:
    void SetUp() override
    {
        ManageFixture::SetUp();
        g_pVelmarManageTask = fTask;
        g_DevSearchQueryInfoList.Clear();
        fAsker.reset(new Peer(kPeer1, 40000));
        fOther.reset(new Peer(kPeer2, 40001));
        fGroup = udp_test::LanGroupListener();
        ASSERT_TRUE(fAsker->Ok() && fOther->Ok() && fGroup >= 0);
        fBefore = PoolsInUse();
    }
    void TearDown() override
    {
        EXPECT_EQ(fBefore, PoolsInUse());
        close(fGroup);
        fAsker.reset();
        fOther.reset();
        g_DevSearchQueryInfoList.Clear();
        g_pVelmarManageTask = nullptr;
        ManageFixture::TearDown();
    }

    // A message from a peer, as the receive paths hand it over, then handled.
    void Receive(const Bytes& bytes, const char* from = kPeer1)
    {
        Queue(bytes, from);
        fTask->ProcessPrivateUdpMsg();
    }
    void Queue(const Bytes& bytes, const char* from = kPeer1)
    {
        ASSERT_EQ(0, CQuorVelmarCommLayer::Msg_UdpRecved(reinterpret_cast<const char*>(bytes.data()),
                                                         (uint32_t)bytes.size(), HostAddr(from), 40000));
    }
    // The next datagram at a peer's unicast port ("" when none comes).
    static std::string Answer(const Peer& peer, int timeoutMs = 2000)
    {
        Bytes got;
        return udp_test::RecvBytes(peer.unicast, &got, timeoutMs) ? Hex(got) : std::string();
    }
    std::string Broadcast(int timeoutMs = 2000) const
    {
        Bytes got;
        return udp_test::RecvBytes(fGroup, &got, timeoutMs) ? Hex(got) : std::string();
    }
    static std::string McuBytes(uint64_t count, int timeoutMs = 2000)
    {
        SerialBoard::Mcu().WaitForBytes(count, timeoutMs);
        usleep(100000);
        return SerialBoard::Mcu().ReceivedBytes();
    }
    static std::string Password()
    {
        std::string conf = ProcessBoardRoot::Get().Read("/var/tmpfs/SavePowerOff.conf");
        size_t at = conf.find("UserPassWord=");
        return at == std::string::npos ? "(none)" : conf.substr(at + 13, conf.find('\n', at) - at - 13);
    }

    std::unique_ptr<Peer> fAsker, fOther;
    int fGroup = -1;
    std::vector<uint32_t> fBefore;
};

// ---- Search -------------------------------------------------------------------------------

void SetOwnRecord()
{
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::cAlias, "Hall-3");
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::Ip, "198.18.250.1");
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::SequenceNumber, "4");
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::cLoopLink, "on");
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::Group, "off");
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::cShowMe, "on");
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::cViSelect, "dp");
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::cDevType, "TX");
}

Bytes AnswerWith(const std::vector<std::string>& texts, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5)
{
    WireBuilder w;
    w.Header(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, w2, w3, w4, w5).U16(1).U32(0).U8(8);
    for (size_t i = 0; i < texts.size(); ++i)
        w.U16((uint32_t)i + 1).Text(texts[i]);
    return w.Done();
}

TEST_F(GroupHandlersTest, EachQueryIsAnsweredOnceToItsOwnSenderWithTheRecordsEightAnnexes)
{
    SetOwnRecord();
    const std::vector<std::string> texts = {"Hall-3", "198.18.250.1", "4", "on", "off", "on", "dp", "TX"};
    // Two askers close together: each answer goes to its own asker.
    Queue(WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, 7, 8, 9, 10).U16(1).U32(0).Done(), kPeer1);
    Queue(WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, 1, 2, 3, 4).U16(0).U32(5).Done(), kPeer2);
    fTask->ProcessPrivateUdpMsg();
    const Bytes first = AnswerWith(texts, 7, 8, 9, 10);
    EXPECT_EQ(31u + 8 * 6 + 6 + 12 + 1 + 2 + 3 + 2 + 2 + 2, first.size());
    EXPECT_EQ(Hex(first), Answer(*fAsker));
    EXPECT_EQ(Hex(AnswerWith(texts, 1, 2, 3, 4)), Answer(*fOther));
    EXPECT_EQ("", Answer(*fAsker, 300));
    EXPECT_EQ("", Answer(*fOther, 0));

    // Without an own record the annexes are there, with empty texts.
    g_ModulInfolist.Clear();
    Receive(WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ).U16(1).U32(0).Done());
    EXPECT_EQ(Hex(AnswerWith(std::vector<std::string>(8), 0, 1, 0, 0)), Answer(*fAsker));
}

TEST_F(GroupHandlersTest, ReceiverSearchesAndUnaskedAnswersGetNoAnswer)
{
    LogSince log;
    Receive(WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ).U16(QUOR_DEVICE_TYPE_RECEIVER).U32(0).Done());
    EXPECT_TRUE(log.Has("###### Receive One InValid Packet.Length:<30>; CommandID:<0x1601>."));
    Receive(WireBuilder().Header(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP).U8(0).U16(1).U16(9).Done());
    Receive(WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_RSP).U8(3).U16(1).U16(0x1002).Done());
    Receive(WireBuilder().Header(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP).U8(0).U16(1).U8(1).U8(0).U16(0x1001).Text("pw").Done());
    Receive(WireBuilder().Header(QUOR_MSG_VERSION_UPGRADE_RSP).Text("ARM").U32(1).U32(2).U32(3).Text("ok").Done());
    EXPECT_EQ("", Answer(*fAsker, 300));
    EXPECT_TRUE(log.Has("@@@@@@In ProcessDeviceMaxSeqNumNotifyRsp Fun, ResultCode is <0>, DeviceType is <0x1>, "
                        "DeviceMaxSeqNum is <9>."));
    EXPECT_TRUE(log.Has("@@@@@@In ProcessDeviceGroupSignNotifyRsp Fun, ResultCode is <3>, DeviceType is <0x1>, "
                        "DeviceGroupSignCmd is <0x1002>."));
    EXPECT_TRUE(log.Has("@@@@@@In ProcessUserInfoChangeNotifyRsp Fun, AnnexCode[0], ResultCode is <0>, "
                        "UserInfoType is <0x1001>, UserInfoContent is <pw>."));
    EXPECT_TRUE(log.Has("@@@@@@In ProcessVersionUpgradeRsp Fun, DeviceAddr is <ARM>"));
    EXPECT_EQ(0u, g_DevSearchQueryInfoList.Size());
    EXPECT_EQ("", SerialBoard::Mcu().ReceivedBytes());
}

Bytes PeerAnswer(const std::string& alias)
{
    return WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP).U16(1).U32(0).U8(1).U16(1).Text(alias).Done();
}

std::vector<std::string> ListedAliases()
{
    std::vector<std::string> aliases;
    g_DevSearchQueryInfoList.ForEach(
        [&](const T_QuorDeviceSearchQueryRsp& r) { aliases.push_back(r.tAnnexCode[0].cInfoCode); });
    return aliases;
}

TEST_F(GroupHandlersTest, SearchAnswersAreListedInOrderDuplicatesKeptUpToTheCap)
{
    LogSince log;
    Receive(PeerAnswer("a"));
    Receive(PeerAnswer("a"));
    Receive(PeerAnswer("b"), kPeer2);
    EXPECT_EQ((std::vector<std::string>{"a", "a", "b"}), ListedAliases());
    EXPECT_TRUE(log.Has("@@@@@@In ProcessDeviceSearchQueryRsp Fun, DeviceInfo AnnexCode[0] u16InfoID is <1>, "
                        "u32cInfoCodeLen is <1>, cInfoCode is <b>."));

    for (size_t n = 3; n < CQuorVelmarDevSearchList::kMaxEntries + 10; ++n)
        Receive(PeerAnswer("n" + std::to_string(n)));
    EXPECT_EQ((size_t)CQuorVelmarDevSearchList::kMaxEntries, g_DevSearchQueryInfoList.Size());
    std::vector<std::string> listed = ListedAliases();
    EXPECT_EQ("n255", listed.back());
    const std::string full = "######g_DevSearchQueryInfoList is full, search answer from <198.18.250.2> dropped.";
    size_t drops = 0;
    const std::string text = log.Text();
    for (size_t at = text.find(full); at != std::string::npos; at = text.find(full, at + 1))
        drops++;
    EXPECT_EQ(10u, drops);

    // The next search empties the list; answers are taken again.
    g_DevSearchQueryInfoList.Clear();
    Receive(PeerAnswer("c"));
    EXPECT_EQ(std::vector<std::string>{"c"}, ListedAliases());
}

TEST_F(GroupHandlersTest, SearchAnswerWithAnOverlongAnnexIsDroppedAndCountsAbove50AreBounded)
{
    std::unique_ptr<T_QuorDeviceSearchQueryRsp> answer = Zeroed<T_QuorDeviceSearchQueryRsp>();
    answer->u8DeviceInfoTotal = 2;
    answer->tAnnexCode[0].u16InfoID = 1;
    answer->tAnnexCode[1].u16InfoID = 2;
    answer->tAnnexCode[1].u32cInfoCodeLen = 512;
    LogSince log;
    EXPECT_EQ(-2, fTask->ProcessDeviceSearchQueryRsp(*answer, HostAddr(kPeer1)));
    EXPECT_TRUE(log.Has("######cInfoCodeLen is <512> Error."));
    EXPECT_EQ(0u, g_DevSearchQueryInfoList.Size());

    // A count the array cannot hold: only its 50 annexes are looked at.
    answer = Zeroed<T_QuorDeviceSearchQueryRsp>();
    answer->u8DeviceInfoTotal = 255;
    EXPECT_EQ(0, fTask->ProcessDeviceSearchQueryRsp(*answer, HostAddr(kPeer1)));
    EXPECT_TRUE(log.Has("DeviceInfo AnnexCode[49] u16InfoID"));
    EXPECT_FALSE(log.Has("DeviceInfo AnnexCode[50] u16InfoID"));

    std::unique_ptr<T_QuorUserInfoChangeNotifyReq> notice = Zeroed<T_QuorUserInfoChangeNotifyReq>();
    notice->tHeader = QuorFreshMsgHeader(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ);
    notice->u8UserInfoTotal = 200;
    EXPECT_EQ(0, fTask->ProcessUserInfoChangeNotifyReq(*notice, HostAddr(kPeer1)));
    Bytes got;
    ASSERT_TRUE(udp_test::RecvBytes(fAsker->unicast, &got, 2000));
    EXPECT_EQ(28u + 50 * 7, got.size());
    EXPECT_EQ(50u, got[27]);
}

// ---- Notices --------------------------------------------------------------------------------

TEST_F(GroupHandlersTest, MaxSeqNumNoticeIsStoredEverywhereThenAnswered)
{
    for (uint16_t value : {12, 0}) {
        Receive(WireBuilder().Header(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ, 5, 6, 7, 8).U16(1).U16(value).Done());
        Bytes expected = WireBuilder().Header(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP, 5, 6, 7, 8).U8(0).U16(1).U16(value).Done();
        EXPECT_EQ(Hex(expected), Answer(*fAsker));
        const std::string text = std::to_string(value);
        EXPECT_EQ(text, manage_test::PowerSavePref("sequenceMaxnumber"));
        char copy[CQuorVelmarPref::kShortTextSize];
        CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_SequenceMaxNum, copy);
        EXPECT_EQ(text, copy);
        EXPECT_EQ(text, Record().SqncMaxNum);
    }
    // The wire form of the answer for 12 (result, type, number from offset 24).
    Receive(WireBuilder().Header(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ).U16(1).U16(12).Done());
    EXPECT_EQ("00 00 00 1D 00 00 26 03 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 01 00 0C",
              Answer(*fAsker));
}

TEST_F(GroupHandlersTest, GroupSignNoticeIsAnsweredThenTheMcuIsTold)
{
    LogSince order;
    Receive(WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, 3).U16(1).U16(QUOR_GROUP_SIGN_JOIN).Done());
    EXPECT_EQ(Hex(WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_RSP, 3).U8(0).U16(1).U16(0x1001).Done()),
              Answer(*fAsker));
    EXPECT_EQ("SET SUBGROUP self on\r\n", McuBytes(22));
    size_t answered = order.Find("SendDeviceGroupSignNotifyRsp MsgLen is <29>");
    ASSERT_NE(std::string::npos, answered);
    EXPECT_LT(answered, order.Find("SendUartBuf Msg is <SET SUBGROUP self on"));

    SerialBoard::Mcu().ClearRecords();
    Receive(WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ).U16(1).U16(QUOR_GROUP_SIGN_LEAVE).Done());
    EXPECT_NE("", Answer(*fAsker));
    EXPECT_EQ("SET SUBGROUP self off\r\n", McuBytes(23));

    // Neither join nor leave: answered, and the MCU line stays quiet (no
    // empty write, which would count as a failed one).
    SerialBoard::Mcu().ClearRecords();
    LogSince log;
    Receive(WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ).U16(1).U16(0x1003).Done());
    EXPECT_EQ(Hex(WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_RSP).U8(0).U16(1).U16(0x1003).Done()),
              Answer(*fAsker));
    EXPECT_EQ("", McuBytes(1, 300));
    EXPECT_FALSE(log.Has("SendUartBuf"));
    EXPECT_FALSE(log.Has("write m_Uartfd fail"));
}

Bytes PasswordNotice(const std::vector<std::pair<uint16_t, std::string>>& annexes, bool answer)
{
    WireBuilder w;
    if (answer)
        w.Header(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP, 9, 9, 9, 9).U8(0).U16(1).U8((uint32_t)annexes.size());
    else
        w.Header(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, 9, 9, 9, 9).U16(1).U8((uint32_t)annexes.size());
    for (const auto& a : annexes) {
        if (answer)
            w.U8(0);
        w.U16(a.first).Text(a.second);
    }
    return w.Done();
}

TEST_F(GroupHandlersTest, PasswordNoticeChangesThePropertyFileSyncsAndAnswers)
{
    const std::string before = Password();
    // Without a password annex: nothing changes, every annex is echoed.
    const std::vector<std::pair<uint16_t, std::string>> other = {{0x1002, "alias?"}, {0x1003, ""}};
    Receive(PasswordNotice(other, false));
    EXPECT_EQ(Hex(PasswordNotice(other, true)), Answer(*fAsker));
    EXPECT_EQ(before, Password());
    EXPECT_EQ("", ProcessBoardRoot::Calls());

    const std::vector<std::pair<uint16_t, std::string>> change = {{0x1002, "x"}, {0x1001, "n3w pass"}};
    LogSince log;
    Receive(PasswordNotice(change, false));
    EXPECT_EQ(Hex(PasswordNotice(change, true)), Answer(*fAsker));
    EXPECT_EQ("n3w pass", Password());
    EXPECT_EQ("sync\n", ProcessBoardRoot::Calls());
    EXPECT_TRUE(log.Has("pox_system <sync> OK."));

    // A failing "sync": the password is changed, the notice is not answered.
    SetStatus("sync", 1);
    Receive(PasswordNotice({{0x1001, "second"}}, false));
    EXPECT_EQ("", Answer(*fAsker, 500));
    EXPECT_EQ("second", Password());
    EXPECT_TRUE(log.Has("######pox_system <sync> Error and s32Rst is <256>."));
    SetStatus("sync", 0);

    // A text the property file cannot hold on one line is refused: not answered.
    Receive(PasswordNotice({{0x1001, "evil\r\nUserPassWord=x"}}, false));
    EXPECT_EQ("", Answer(*fAsker, 500));
    EXPECT_EQ("second", Password());
    EXPECT_TRUE(log.Has("######ChangePasswd Error, the web password is kept."));
    CServerProperty::GetInstance()->ChangePasswd(before);
}

TEST_F(GroupHandlersTest, PasswordAnnexesMakeOneChangeAndABadOneNone)
{
    const std::string before = Password();
    // Fifty password annexes: the last one holds, with one write and one "sync".
    std::vector<std::pair<uint16_t, std::string>> many;
    for (int i = 0; i < 50; ++i)
        many.push_back({0x1001, "pass" + std::to_string(i)});
    Receive(PasswordNotice(many, false));
    EXPECT_EQ(Hex(PasswordNotice(many, true)), Answer(*fAsker));
    EXPECT_EQ("pass49", Password());
    EXPECT_EQ("sync\n", ProcessBoardRoot::Calls());

    // The parser stops on an annex whose length word is below 4: that annex
    // is not acted on, an empty password is never set.
    ProcessBoardRoot::ClearCalls();
    Receive(WireBuilder().Header(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, 9, 9, 9, 9).U16(1).U8(2)
                .U16(0x1002).Text("x").U16(0x1001).U32(2).Done());
    EXPECT_EQ("pass49", Password());
    EXPECT_EQ("", ProcessBoardRoot::Calls());
    CServerProperty::GetInstance()->ChangePasswd(before);
}

TEST_F(GroupHandlersTest, ProducersAreNotHeldWhileAHandlerRuns)
{
    SetSleep("sync", 1);
    Queue(PasswordNotice({{0x1001, "slow"}}, false));
    std::thread drain([this] { fTask->ProcessPrivateUdpMsg(); });
    usleep(200000);
    const Bytes query = WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ).U16(1).U32(0).Done();
    int64_t start = NowMs();
    Queue(query);
    int64_t took = NowMs() - start;
    drain.join();
    SetSleep("sync", 0);
    EXPECT_LT(took, 500);
    fTask->ProcessPrivateUdpMsg();
    EXPECT_NE("", Answer(*fAsker));
    EXPECT_NE("", Answer(*fAsker));
}

// ---- Broadcasts -----------------------------------------------------------------------------

TEST_F(GroupHandlersTest, BroadcastStartersSendEachNoticeToTheGroup)
{
    T_QuorDeviceSearchQueryReq query{QuorFreshMsgHeader(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ), 0, 0};
    EXPECT_EQ(0, fTask->DoBroadCastMsgReq(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, &query));
    EXPECT_EQ(Hex(WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ).U16(0).U32(0).Done()), Broadcast());

    // The sequence notice goes out, then the MCU is asked to renumber.
    T_QuorDeviceMaxSeqNumNotifyReq seq{QuorFreshMsgHeader(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ), 1, 12};
    EXPECT_EQ(0, fTask->DoBroadCastMsgReq(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ, &seq));
    EXPECT_EQ("00 00 00 1C 00 00 16 03 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 01 00 0C", Broadcast());
    EXPECT_EQ("SET ORDER\r\n", McuBytes(11));

    std::unique_ptr<T_QuorUserInfoChangeNotifyReq> user = Zeroed<T_QuorUserInfoChangeNotifyReq>();
    user->tHeader = QuorFreshMsgHeader(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ);
    user->u16DeviceType = 1;
    user->u8UserInfoTotal = 1;
    user->tAnnexCode[0].u16UserInfoType = 0x1001;
    SetText(user->tAnnexCode[0].cUserInfoContent, "pw");
    LogSince log;
    EXPECT_EQ(0, fTask->DoBroadCastMsgReq(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, user.get()));
    EXPECT_EQ(Hex(WireBuilder().Header(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ).U16(1).U8(1).U16(0x1001).Text("pw").Done()),
              Broadcast());
    EXPECT_TRUE(log.Has("===Memory<len="));

    T_QuorDeviceGroupSignNotifyReq sign{QuorFreshMsgHeader(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ), 1, 0x1002};
    EXPECT_EQ(0, fTask->DoBroadCastMsgReq(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, &sign));
    EXPECT_EQ(Hex(WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ).U16(1).U16(0x1002).Done()), Broadcast());

    // Other identifiers are not broadcast; a missing record is refused.
    EXPECT_EQ(0, fTask->DoBroadCastMsgReq(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, &sign));
    EXPECT_EQ(-2, fTask->DoBroadCastMsgReq(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, nullptr));
    EXPECT_TRUE(log.Has("###### Find CQuorVelmarManageTask::DoBroadCastMsgReq inParams be NULL!"));
    EXPECT_EQ("", Broadcast(300));
    EXPECT_EQ(-2, fTask->DoOneUdpCommand(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, nullptr, 0));
    EXPECT_TRUE(log.Has("###### Find CQuorVelmarManageTask::DoOneUdpCommand inParams be NULL!"));
}

TEST_F(GroupHandlersTest, UpgradeRequestGoesToTheLocalAgent)
{
    uint16_t port = (uint16_t)CQuorVelmarPref::s_u32Quor_VelmarNdk_UdpInterPort;
    int agent = udp_test::BoundSocket("127.0.0.1", port);
    ASSERT_GE(agent, 0);
    std::unique_ptr<T_QuorVersionUpgradeReq> request(new T_QuorVersionUpgradeReq);
    memset(request.get(), 0, sizeof(*request));
    request->tHeader = QuorFreshMsgHeader(QUOR_MSG_VERSION_UPGRADE_REQ);
    SetText(request->cDevAddr, "ARM");
    request->u32DevPort = 3334;
    SetText(request->cVersionFile, "/www/tmp/up.tar");
    EXPECT_EQ(0, fTask->SendVersionUpgradeReq(*request));
    Bytes got;
    ASSERT_TRUE(udp_test::RecvBytes(agent, &got, 2000));
    EXPECT_EQ(Hex(WireBuilder()
                      .Header(QUOR_MSG_VERSION_UPGRADE_REQ)
                      .Text("ARM")
                      .U32(3334)
                      .U32(0)
                      .U32(0)
                      .Text("")
                      .Text("")
                      .Text("/www/tmp/up.tar")
                      .Done()),
              Hex(got));
    close(agent);
}

TEST_F(GroupHandlersTest, MessagesOutsideTheQueuesLengthsAreDroppedBeforeTranslation)
{
    LogSince log;
    Bytes big(3073, 0);
    for (int i = 0; i < 4; ++i)
        big[(size_t)i] = (uint8_t)(3073u >> (24 - 8 * i));
    EXPECT_EQ(-2, CQuorVelmarCommLayer::Msg_UdpRecved(reinterpret_cast<const char*>(big.data()), 3073,
                                                      HostAddr(kPeer1), 40000));
    EXPECT_TRUE(log.Has("###### Find AddUdpPacketCopyQueue inParams length error!"));
    T_MODULE_MSG empty = {0, 0, reinterpret_cast<const char*>(big.data()), 0, 0, HostAddr(kPeer1), 40000};
    EXPECT_EQ(-2, CQuorVelmarCommLayer::ProcessUdpPack(&empty));
    EXPECT_TRUE(log.Has("###### Find Message is Null!"));
    EXPECT_EQ(0u, fTask->GetUdpQueueLength());
}

}  // namespace

int main(int argc, char** argv)
{
    udp_test::MakeNamespaces();
    g_VelmarUdpMulCast = new CQuorVelmarUdpMulSocketTask;  // send paths only; no receive loop
    return manage_test::RunManageTests(argc, argv, 0);
}
