// The action API: the dispatch of "/action" requests and the families
// "commconfig" and "systemconfig". See QuorVelmarMongooseTask.h.
#include <civetweb.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "LightLog.h"
#include "QuorUpgradeTRM40Task.h"
#include "QuorVelmarDevSearchList.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarMGActionSupport.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarWebSession.h"
#include "QuorVelmarWebStatus.h"
#include "serverproperty.h"

using namespace quor_web;

namespace {

const char kSrc[] = "src/QuorVelmarMongooseTask";
const char kArmVersion[] = "3.11";

std::atomic<CQuorVelmarMGProcess::ActionFn> s_hooks[CQuorVelmarMGProcess::kHookCount];

template <size_t N>
std::string OwnField(char (T_QuorModulInfo::*field)[N])
{
    char value[N];
    g_ModulInfolist.GetOwnField(field, value);
    return value;
}

// ---- Group discovery -----------------------------------------------------------

void GetDeviceInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    // One discovery at a time: a second request waits, then runs its own.
    static std::mutex s_discovery;
    std::lock_guard<std::mutex> lock(s_discovery);

    g_DevSearchQueryInfoList.Clear();
    T_QuorDeviceSearchQueryReq query;
    memset(&query, 0, sizeof(query));
    query.tHeader = QuorFreshMsgHeader(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ);
    Broadcast(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, &query);
    PauseMs(1000u * CQuorVelmarPref::s_u16Quor_Velmar_DevSearchQueryTimer);
    const std::string text =
        QuorDeviceListJson(OwnField(&T_QuorModulInfo::SqncMaxNum).c_str(), g_DevSearchQueryInfoList);
    ReplyJson(conn, replySent, "Acheive Device configer Info, Http Response content is <%s>.", text);
}

// ---- Addresses and logout -------------------------------------------------------

void GetIpInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    T_QuorModulInfo own;
    g_ModulInfolist.CopyOwn(&own);
    conn.SendStatus(200);
    ReplyJson(conn, replySent, "Acheive IP configer Info, Http Response content is <%s>.",
              QuorJsonFormat("{\r\n\"ipinfo\":[\r\n{\"ipmode\":\"%s\",\"ip4addr\":\"%s\",\"netmask\":\"%s\",\"gateway\":\"%s\"}\r\n]\r\n}",
                             {own.IpMod, own.Ip, own.Netmask, own.Gateway}));
}

void LogSetIpInfo(const char* mode, const char* ip, const char* mask, const char* gw)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "SetIpInfo: IPMode:<%s> IPAddr<%s> NetMask<%s> GateWay<%s>", mode, ip, mask,
                gw);
}

// The three MCU lines of a new static address, 500 ms after each.
bool SendAddressToMcu(const T_QuorEtherNetInfoSetReq& req)
{
    const char* const formats[] = {"SET SDXBIP %s\r\n", "set sdxmask %s\r\n", "set sdxgateway %s\r\n"};
    const char* const values[] = {req.IPAddr, req.SubMask, req.Gateway};
    for (size_t i = 0; i < 3; ++i) {
        if (!SendMcuLine(formats[i], values[i]))
            return false;
        PauseMs(500);
    }
    return true;
}

void ApplyStaticAddress(CQuorVelmarHttpConn& conn, const T_QuorEtherNetInfoSetReq& req)
{
    if (CQuorVelmarMGProcess::DHCPToStatic() != 1 || CQuorVelmarMGProcess::ProcessNetInfoSetReq(&req) != 0) {
        conn.SendStatus(400);
        return;
    }
    SendAddressToMcu(req);
    g_ModulInfolist.UpdateOwn([&](T_QuorModulInfo& own) {
        QuorCopyField(own.Ip, req.IPAddr);
        QuorCopyField(own.IpMod, "static");
        QuorCopyField(own.Netmask, req.SubMask);
        QuorCopyField(own.Gateway, req.Gateway);
    });
    CServerProperty::GetInstance()->SetIpMod("static");
    if (!RunSync())
        return;
    LightLogExt(20000, 0, kSrc, __LINE__, "Set IP is OK.");
    g_b8DoConfigip.store(true, std::memory_order_release);
    conn.SendStatus(200);
}

void SetIpInfo(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char mode[kShortVarSize], ip[kShortVarSize], mask[kShortVarSize], gw[kShortVarSize];
    if (!ReadVars(conn, {Var("ipmode", mode), Var("ip4addr", ip), Var("netmask", mask), Var("gateway", gw)}))
        return;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "Set IpInfo Req, CMD: %s Content is <%s>,CMD: %s Content is <%s>,CMD: %s Content is <%s>,CMD: %s Content is <%s>,",
                "ipmode", mode, "ip4addr", ip, "netmask", mask, "gateway", gw);
    if (Matches(mode, "static", 6)) {
        // The addresses are checked before anything is switched: a refused
        // request leaves the mode, the files, the record and the MCU alone.
        T_QuorEtherNetInfoSetReq req;
        if (FillEtherNetInfoSetReq(&req, ip, mask, gw) != 0 || CheckIPInfoValidity(&req) != 0) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######Set IpInfo Req refused: <%s> <%s> <%s>.", ip, mask, gw);
            conn.SendStatus(400);
            return;
        }
        ApplyStaticAddress(conn, req);
        if (conn.Status() != 200)
            return;
    } else if (Matches(mode, "dhcp", 4)) {
        if (CQuorVelmarMGProcess::StaticToDHCP() != 1) {
            conn.SendStatus(400);
            return;
        }
        g_b8RebootFlag.store(true, std::memory_order_release);
    }
    conn.SendStatus(200);
    LogSetIpInfo(mode, ip, mask, gw);
}

void GetAutoLogoutInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char mode[kShortVarSize] = "", time[kShortVarSize] = "";
    CServerProperty::GetInstance()->GetLogoutMod(mode, sizeof(mode));
    CServerProperty::GetInstance()->GetLogoutTime(time, sizeof(time));
    ReplyJson(conn, replySent, "Auto logout Info, Http Response content is <%s>.",
              QuorJsonFormat("{\r\n\"autologoutinfo\":[\r\n{\"mode\":\"%s\",\r\n\"time\":\"%s\"\r\n}]}", {mode, time}));
}

void SetAutoLogoutInfo(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char mode[kShortVarSize], time[kShortVarSize];
    if (!ReadVars(conn, {Var("mode", mode), Var("time", time)}))
        return;
    conn.SendStatus(200);
    LightLogExt(20000, 0, kSrc, __LINE__, "logout mod:%s, time:%s", mode, time);
    CServerProperty::GetInstance()->SetLogoutMod(mode);
    CServerProperty::GetInstance()->SetLogoutTime(time);
}

// ---- System -----------------------------------------------------------------------

void SendMcuCommandOk(CQuorVelmarHttpConn& conn, const char* line)
{
    SendMcuLine("%s", line);
    conn.SendStatus(200);
}

void Reboot(CQuorVelmarHttpConn& conn, uint16_t&)
{
    SendMcuCommandOk(conn, "REBOOT\r\n");
}

void ResetFactory(CQuorVelmarHttpConn& conn, uint16_t&)
{
    SendMcuCommandOk(conn, "RESET\r\n");
}

void VerifyPasswd(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char passwd[kVarSize];
    if (!ReadVars(conn, {Var("passwd", passwd)}))
        return;
    if (!CQuorVelmarWebLogin::MayTry(conn))
        return;
    const bool ok = CServerProperty::GetInstance()->PasswdOK(passwd);
    CQuorVelmarWebLogin::AfterVerify(conn, ok);
    conn.SendStatus(ok ? 200 : 400);
}

void ChangePasswd(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char passwd[kVarSize];
    if (!ReadVars(conn, {Var("newpasswd", passwd)}))
        return;
    LightLogExt(20000, 0, kSrc, __LINE__, "System ChangePassWD Req, CMD: %s Content is <%s>.", "changepasswd", passwd);
    if (CServerProperty::GetInstance()->ChangePasswd(passwd) != 1) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######System ChangePassWD Req refused by the property file.");
        conn.SendStatus(400);
        return;
    }
    CQuorVelmarWebLogin::AfterPasswordChange(&conn);
    if (!RunSync())
        return;
    T_QuorUserInfoChangeNotifyReq notice;
    memset(&notice, 0, sizeof(notice));
    notice.tHeader = QuorFreshMsgHeader(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ);
    notice.u16DeviceType = 1;
    notice.u8UserInfoTotal = 1;
    notice.tAnnexCode[0].u16UserInfoType = QUOR_USER_INFO_WEB_PASSWORD;
    QuorCopyField(notice.tAnnexCode[0].cUserInfoContent, passwd);
    Broadcast(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, &notice);
    conn.SendStatus(200);
}

// What the last MCU upgrade could not send goes to the log beside its
// status; the reply keeps its form.
void LogMcuUpgradeNotice()
{
    char notice[QUOR_MCU_NOTICE_SIZE];
    QuorGetMcuUpgradeNotice(notice, sizeof(notice));
    if (notice[0] != '\0')
        LightLogExt(40000, 0, kSrc, __LINE__, "######MCU upgrade notice: %s", notice);
}

void UpgradeInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char name[kVarSize];
    if (!ReadVars(conn, {Var("softwarename", name)}))
        return;
    std::string status;
    if (strcasecmp(name, "MCU") == 0) {
        status = OwnField(&T_QuorModulInfo::Updatestatus_MCU);
        LogMcuUpgradeNotice();
    } else if (strcasecmp(name, "ARM") == 0) {
        status = OwnField(&T_QuorModulInfo::Updatestatus_ARM);
    } else {
        LightLogExt(40000, 0, kSrc, __LINE__, "######System Get SoftWareName Req, CMD: %s Content is <%s>.",
                    "softwarename", name);
        conn.SendStatus(400);
        return;
    }
    const char* software = strcasecmp(name, "MCU") == 0 ? "MCU" : "ARM";
    ReplyJson(conn, replySent, "Acheive Version Info, Http Response content is <%s>.",
              QuorJsonFormat("{\r\n\"upgradeinfo\":[\r\n{\"softwarename\":\"%s\",\"updatestatus\":\"%s\"}\r\n]\r\n}",
                             {software, status.c_str()}));
}

void VersionInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char name[kVarSize];
    if (!ReadVars(conn, {Var("softwarename", name)}))
        return;
    const std::string mcu = OwnField(&T_QuorModulInfo::McuVersion);
    std::string text;
    if (strcasecmp(name, "MCU") == 0) {
        text = QuorJsonFormat("{\r\n\"versioninfo\":[\r\n{\"softwarename\":\"MCU\",\"versionname\":\"%s\"}\r\n]\r\n}",
                              {mcu.c_str()});
    } else if (strcasecmp(name, "ARM") == 0) {
        text = QuorJsonFormat("{\r\n\"versioninfo\":[\r\n{\"softwarename\":\"ARM\",\"versionname\":\"%s\"}\r\n]\r\n}",
                              {kArmVersion});
    } else if (strcasecmp(name, "ALL") == 0) {
        text = QuorJsonFormat("{\r\n\"versioninfo\":[\r\n{\"softwarename\":\"ARM\",\"versionname\":\"%s\"},\r\n"
                              "{\"softwarename\":\"MCU\",\"versionname\":\"%s\"}\r\n]\r\n}",
                              {kArmVersion, mcu.c_str()});
    } else {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In SystemConfigerInterface Fun, versioninfo Error!");
        conn.SendStatus(400);
        return;
    }
    ReplyJson(conn, replySent, "Acheive Version Info, Http Response content is <%s>.", text);
}

void Update(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    RunHook(CQuorVelmarMGProcess::kHookUpdate, conn, replySent);
}

const T_ActionCmd kCommonCmds[] = {
    {"getdeviceinfo", 13, GetDeviceInfo},
    {"getipinfo", 9, GetIpInfo},
    {"setipinfo", 9, SetIpInfo},
    {"getautologoutinfo", 17, GetAutoLogoutInfo},
    {"setautologoutinfo", 17, SetAutoLogoutInfo},
    {"getselfinfo", 11, QuorWebGetSelfInfo},
};

const T_ActionCmd kSystemCmds[] = {
    {"reboot", 6, Reboot},
    {"resetfactory", 12, ResetFactory},
    {"verifypasswd", 12, VerifyPasswd},
    {"changepasswd", 12, ChangePasswd},
    {"upgradeinfo", 11, UpgradeInfo},
    {"versioninfo", 11, VersionInfo},
    {"update", 6, Update},
    {"getweblogin", 11, CQuorVelmarWebLogin::GetWebLogin},
    {"setweblogin", 11, CQuorVelmarWebLogin::SetWebLogin},
    {"weblogout", 9, CQuorVelmarWebLogin::WebLogout},
};

typedef int (*FamilyFn)(CQuorVelmarHttpConn& conn, uint16_t& replySent);

struct T_Family {
    const char* name;
    size_t compare;
    FamilyFn handler;
};

const T_Family kFamilies[] = {
    {"commconfig", 10, CQuorVelmarMGProcess::CommonConfigerInterface},
    {"deviceconfig", 10, CQuorVelmarMGProcess::DevConfigerInterface},
    {"devicecontrol", 13, CQuorVelmarMGProcess::DevCtrlInterface},
    {"systemconfig", 12, CQuorVelmarMGProcess::SystemConfigerInterface},
};

// Chooses the family and runs it; the status chosen when none matches.
void DispatchAction(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char cmdType[kShortVarSize], cmdStr[kShortVarSize];
    if (!conn.ReadForm()) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In ProcessHttpActionReq Fun, the request body is refused.");
        conn.SendStatus(400);
        return;
    }
    if (!ReadVars(conn, {Var("cmdtype", cmdType), Var("cmdstr", cmdStr)}))
        return;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessHttpActionReq Fun, acheive DeviceInfo, szCmdType value is <%s>, szCmdStr value is <%s>.",
                cmdType, cmdStr);
    if (!CQuorVelmarWebLogin::AdmitAction(conn, cmdType, cmdStr))
        return;
    for (const T_Family& family : kFamilies) {
        if (Matches(cmdType, family.name, family.compare)) {
            if (family.handler(conn, replySent) != 0)
                conn.SendStatus(400);
            return;
        }
    }
    LightLogExt(40000, 0, kSrc, __LINE__,
                "######In ProcessHttpActionReq Fun, szCmdType value is <%s>, szCmdStr value is <%s> Error!.", cmdType,
                cmdStr);
    conn.SendStatus(400);
}

} // namespace

void CQuorVelmarMGProcess::SetActionHook(ActionHook hook, ActionFn handler)
{
    if (hook < kHookCount)
        s_hooks[hook].store(handler, std::memory_order_release);
}

CQuorVelmarMGProcess::ActionFn CQuorVelmarMGProcess::GetActionHook(ActionHook hook)
{
    return hook < kHookCount ? s_hooks[hook].load(std::memory_order_acquire) : nullptr;
}

int CQuorVelmarMGProcess::ProcessHttpActionReq(mg_connection* raw)
{
    CQuorVelmarHttpConn conn(raw);
    uint16_t replySent = 1;
    DispatchAction(conn, replySent);
    if (replySent != 0)
        conn.SendTrailer();
    return conn.Status();
}

int CQuorVelmarMGProcess::CommonConfigerInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    static const T_ActionFamily family = {"CommonConfigerInterface", 20000, kCommonCmds,
                                          sizeof(kCommonCmds) / sizeof(kCommonCmds[0])};
    return RunFamily(family, conn, replySent);
}

int CQuorVelmarMGProcess::SystemConfigerInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    static const T_ActionFamily family = {"SystemConfigerInterface", 40000, kSystemCmds,
                                          sizeof(kSystemCmds) / sizeof(kSystemCmds[0])};
    return RunFamily(family, conn, replySent);
}
