#include "QuorVelmarUdpSearchTask.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "BoardPath.h"
#include "LightLog.h"
#include "OS.h"
#include "OSThread.h"
#include "QuorSocket.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

CQuorVelmarUdpSearchTask* g_VelmarUdpSearchTask = nullptr;

namespace {

const char kSrc[] = "src/QuorVelmarUdpSearchTask";
const char kUptimeFile[] = "/proc/uptime";
const uint32_t kRecvErrorPauseMs = 10;   // after a receive error other than EINTR
const int64_t kRecvErrorLogMs = 1000;    // one log line of a persistent receive error a second

// ---- Reply values -------------------------------------------------------------

void SetRaw(T_KorvexGUIRsp* rsp, const void* bytes, size_t length)
{
    const size_t kMax = QUOR_SEARCH_MAX_VALUE;
    size_t n = length < kMax ? length : kMax;
    memcpy(rsp->cContent, bytes, n);
    rsp->u8Len = (uint8_t)n;
    rsp->b8IsNumber = 0;
}

void SetNumber(T_KorvexGUIRsp* rsp, uint8_t width, const char* format, uint32_t value)
{
    snprintf(rsp->cContent, sizeof(rsp->cContent), format, value);
    rsp->u8Len = width;
    rsp->b8IsNumber = 1;
}

// The request's value, unchanged (its length already checked to fit 255).
void Echo(const T_KorvexGUIReq& req, T_KorvexGUIRsp* rsp)
{
    SetRaw(rsp, req.cContent, (uint8_t)req.u16Len);
}

// ---- Read handlers ----------------------------------------------------------------

void GetSysRunTime(T_KorvexGUIRsp* rsp)
{
    std::string text;
    uint32_t seconds = CQuorVelmarUdpSearchTask::SystemRunTime(&text);
    LightLogExt(20000, 0, kSrc, __LINE__, "SystemRunTime is <%s> Total Second is <%d>.", text.c_str(), (int)seconds);
    SetNumber(rsp, 4, "%u", seconds);
}

void GetModulName(T_KorvexGUIRsp* rsp)
{
    SetRaw(rsp, "MPL", 3);
}

void GetGetDevSqcNum(T_KorvexGUIRsp* rsp)
{
    // The identifier's hexadecimal text, which the packer reads as decimal.
    SetNumber(rsp, 4, "%x", CQuorVelmarUdpSearchTask::GetMacAddrEnd8Bit());
}

void GetDevName(T_KorvexGUIRsp* rsp)
{
    char alias[128] = "";
    CServerProperty::GetInstance()->GetDevAlias(alias, sizeof(alias));
    SetRaw(rsp, alias, strnlen(alias, sizeof(alias) - 1));
}

void GetMacAddr(T_KorvexGUIRsp* rsp)
{
    char mac[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_MacAddr, mac);
    char pairs[6 * 3 + 1] = "";
    size_t used = 0;
    for (size_t i = 0; i + 1 < strlen(mac) && used + 3 < sizeof(pairs); i += 2)
        used += (size_t)snprintf(pairs + used, sizeof(pairs) - used, "%c%c ", mac[i], mac[i + 1]);
    std::string bytes = HexToStr(pairs);
    SetRaw(rsp, bytes.data(), bytes.size() < 6 ? bytes.size() : 6);
}

enum T_AddressField { kAddressIp, kAddressNetMask, kAddressGateWay };

// One address of the first Ethernet interface as its four bytes.
void GetAddress(T_KorvexGUIRsp* rsp, T_AddressField field)
{
    T_DevInfoFromLocalAboutEth eth;
    memset(&eth, 0, sizeof(eth));
    GetNetWorkInfo(&eth, 1);
    const char* dotted = field == kAddressIp ? eth.cIpAddr : field == kAddressNetMask ? eth.cNetMask : eth.cGateWay;
    uint8_t parts[4];
    char hexText[16];
    if (!CQuorVelmarUdpSearchTask::IpAddrInfoFormatHex(dotted, parts, hexText, sizeof(hexText))) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######IpAddrInfoFormat Error!");
        rsp->u8Len = 0;
        return;
    }
    if (field == kAddressIp)
        LightLogExt(20000, 0, kSrc, __LINE__, "IPAddr is <%s>, IPHexAddr is <%s>!", dotted, hexText);
    std::string bytes = HexToStr(hexText);
    SetRaw(rsp, bytes.data(), bytes.size() < 4 ? bytes.size() : 4);
}

void GetIpAddr(T_KorvexGUIRsp* rsp)
{
    GetAddress(rsp, kAddressIp);
}

void GetNetMask(T_KorvexGUIRsp* rsp)
{
    GetAddress(rsp, kAddressNetMask);
}

// The gateway serves as DNS too: the system keeps no DNS server of its own.
void GetGateWay(T_KorvexGUIRsp* rsp)
{
    GetAddress(rsp, kAddressGateWay);
}

void GetUdpMode(T_KorvexGUIRsp* rsp)
{
    snprintf(rsp->cContent, sizeof(rsp->cContent), "%x%x%x%x%x%x", 2015, 1221, 192, 168, 0, 123);
    rsp->u8Len = 36;
}

void GetUdpCaseMode(T_KorvexGUIRsp* rsp)
{
    snprintf(rsp->cContent, sizeof(rsp->cContent), "%x%x%x%x%x%x", 8213, 4641, 402, 360, 0, 291);
    rsp->u8Len = 36;
}

// A read tag's answer: a function, or a fixed number of width bytes.
struct T_GetEntry {
    uint8_t u8Tag;
    const char* pTrace;
    void (*pfnGet)(T_KorvexGUIRsp* rsp);
    uint8_t u8Width;
    uint32_t u32Value;
};

const T_GetEntry kGetList[] = {
    {0x00, "Get NULL.", nullptr, 0, 0},
    {0x03, "Get system Has Run Timer.", GetSysRunTime, 0, 0},
    {0x04, "Get Dev Modul Name.", GetModulName, 0, 0},
    {0x05, "Get Dev Sequence Number.", GetGetDevSqcNum, 0, 0},
    {0x06, "Get Dev Alias Name.", GetDevName, 0, 0},
    {0x07, "Get Dev Version.", nullptr, 4, 110},
    {0x08, "Get Pass Word Status.", nullptr, 1, 0},
    {0x0a, "Get Dev MacAddr Name.", GetMacAddr, 0, 0},
    {0x0b, "Get Dev Supper DHCP.", nullptr, 1, 0},
    {0x0c, "Get Dev IpAddr Name.", GetIpAddr, 0, 0},
    {0x0d, "Get Net Mask.", GetNetMask, 0, 0},
    {0x0e, "Get GateWay.", GetGateWay, 0, 0},
    {0x0f, "Get DNS.", GetGateWay, 0, 0},
    {0x10, "Get TCP mode.", nullptr, 1, 2},
    {0x11, "Get TCP Port.", nullptr, 2, 23},
    {0x12, "Get Tcp Server List.", nullptr, 0, 0},
    {0x13, "Get Udp Working Mode.", GetUdpMode, 0, 0},
    {0x14, "Get Udp Broad Case Working Mode.", GetUdpCaseMode, 0, 0},
    {0x15, "Get Tcp client List.", nullptr, 0, 0},
    {0x16, "Get Uart speed.", nullptr, 1, 11},
    {0x17, "Get Uart Data Bit.", nullptr, 1, 3},
    {0x18, "Get Uart Stop Bit.", nullptr, 1, 0},
    {0x19, "Get Uart Prity Bit.", nullptr, 1, 0},
    {0x1a, "Get Uart Flow ctrl.", nullptr, 1, 0},
    {0x1b, "Get Uart Send Len.", nullptr, 4, 0},
    {0x1c, "Get Uart Recevie Len.", nullptr, 4, 0},
    {0x1d, "Get Uart Frame.", nullptr, 4, 0},
};

// ---- Write handlers -----------------------------------------------------------------

typedef void (*SetFn)(CQuorVelmarUdpSearchTask& task, const T_KorvexGUIReq& req, T_KorvexGUIRsp* rsp);

const uint8_t* Value(const T_KorvexGUIReq& req)
{
    return reinterpret_cast<const uint8_t*>(req.cContent);
}

// The code of a UART write, its first value byte: false (logged) for an
// empty value, which sets nothing and is not echoed.
bool UartCode(const T_KorvexGUIReq& req, const char* name, uint8_t* code)
{
    if (req.u16Len == 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######%s value is empty, Error.", name);
        return false;
    }
    *code = Value(req)[0];
    return true;
}

void SetReset(CQuorVelmarUdpSearchTask&, const T_KorvexGUIReq&, T_KorvexGUIRsp*)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "Reset Device.");
}

void SetFactory(CQuorVelmarUdpSearchTask&, const T_KorvexGUIReq&, T_KorvexGUIRsp*)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "SetFactory.");
}

void SetMacAddr(CQuorVelmarUdpSearchTask&, const T_KorvexGUIReq& req, T_KorvexGUIRsp* rsp)
{
    const uint8_t* v = Value(req);
    LightLogExt(20000, 0, kSrc, __LINE__, "Set MacAddr.");
    LightLogExt(20000, 0, kSrc, __LINE__, "Set MacAddr is <%x:%x:%x:%x:%x:%x>.", v[0], v[1], v[2], v[3], v[4], v[5]);
    Echo(req, rsp);
}

void SetDHCP(CQuorVelmarUdpSearchTask&, const T_KorvexGUIReq& req, T_KorvexGUIRsp*)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "SetDHCP.");
    if (Value(req)[0] == 0)
        LightLogExt(20000, 0, kSrc, __LINE__, "SetDHCP is UnSupper.");
    else if (Value(req)[0] == 1)
        LightLogExt(20000, 0, kSrc, __LINE__, "SetDHCP is Supper.");
}

// The address writes: their name, then the four value bytes; echoed.
template <const char* Name>
void SetAddress(CQuorVelmarUdpSearchTask&, const T_KorvexGUIReq& req, T_KorvexGUIRsp* rsp)
{
    const uint8_t* v = Value(req);
    LightLogExt(20000, 0, kSrc, __LINE__, "%s.", Name);
    LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%d.%d.%d.%d>.", Name, v[0], v[1], v[2], v[3]);
    Echo(req, rsp);
}
const char kSetIpAddr[] = "SetIpAddr";
const char kSetNetMask[] = "SetNetMask";
const char kSetGateWay[] = "SetGateWay";
const char kSetDNS[] = "SetDNS";

void SetTcpMode(CQuorVelmarUdpSearchTask&, const T_KorvexGUIReq& req, T_KorvexGUIRsp* rsp)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "SetTcpMode.");
    Echo(req, rsp);
}

const char kSetUartRate[] = "SetUartRate";
const char kSetUartDataBit[] = "SetUartDataBit";
const char kSetUartStopBit[] = "SetUartStopBit";
const char kSetUartCheckBit[] = "SetUartCheckBit";
const char kSetUartCtrlFlow[] = "SetUartCtrlFlow";

// A UART write: its code is the value's first byte (an empty value is
// refused); the reply echoes the value once the task took the code.
template <bool (CQuorVelmarUdpSearchTask::*Apply)(uint8_t code), const char* Name>
void SetUart(CQuorVelmarUdpSearchTask& task, const T_KorvexGUIReq& req, T_KorvexGUIRsp* rsp)
{
    uint8_t code = 0;
    LightLogExt(20000, 0, kSrc, __LINE__, "%s.", Name);
    if (UartCode(req, Name, &code) && (task.*Apply)(code))
        Echo(req, rsp);
}

struct T_SetEntry {
    uint8_t u8Tag;
    SetFn pfnSet;
};

// Tags not listed answer with an empty value.
const T_SetEntry kSetList[] = {
    {0x01, SetReset},
    {0x02, SetFactory},
    {0x0a, SetMacAddr},
    {0x0b, SetDHCP},
    {0x0c, SetAddress<kSetIpAddr>},
    {0x0d, SetAddress<kSetNetMask>},
    {0x0e, SetAddress<kSetGateWay>},
    {0x0f, SetAddress<kSetDNS>},
    {0x10, SetTcpMode},
    {0x11, SetTcpMode},  // the listening port: the same log line, echoed
    {0x16, SetUart<&CQuorVelmarUdpSearchTask::ApplyUartRate, kSetUartRate>},
    {0x17, SetUart<&CQuorVelmarUdpSearchTask::ApplyUartDataBit, kSetUartDataBit>},
    {0x18, SetUart<&CQuorVelmarUdpSearchTask::ApplyUartStopBit, kSetUartStopBit>},
    {0x19, SetUart<&CQuorVelmarUdpSearchTask::ApplyUartCheckBit, kSetUartCheckBit>},
    {0x1a, SetUart<&CQuorVelmarUdpSearchTask::ApplyUartCtrlFlow, kSetUartCtrlFlow>},
};

// Rates of the rate codes 0 to 15 (code 7 is 4400, as the tool sends it).
const uint32_t kUartRates[16] = {110,  300,   600,   1200,  2400,   4800,   9600,   4400,
                                 19200, 38400, 56000, 57600, 115200, 230400, 460800, 921600};

bool RateUnsupported(uint8_t code)
{
    return code == 7 || code == 10 || code == 14;
}

}  // namespace

// ---- The task ---------------------------------------------------------------------

CQuorVelmarUdpSearchTask::CQuorVelmarUdpSearchTask()
    : CQuorVelmarReceiveLoopTask<10>(kSrc, "CQuorVelmarUdpSearchTask")
{
    memset(&m_tSenderAddr, 0, sizeof(m_tSenderAddr));
}

int CQuorVelmarUdpSearchTask::CreateSearchUdpSocket()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######socket()");
        return -1;
    }
    const struct sockaddr_in addr = QuorInetAddr(INADDR_ANY, QUOR_SEARCH_PORT);
    LightLogExt(20000, 0, kSrc, __LINE__, "bind Search Port is <%d>.", (int)QUOR_SEARCH_PORT);
    if (bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######bind()");
        close(fd);
        return -2;
    }
    return fd;
}

void CQuorVelmarUdpSearchTask::ReadSearchUdpData()
{
    int fd = CreateSearchUdpSocket();
    m_b8Receiving.store(fd >= 0);
    char buffer[kRecvBufLen];
    for (;;) {
        memset(buffer, 0, sizeof(buffer));
        m_u32SenderAddrLen = sizeof(m_tSenderAddr);
        ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<struct sockaddr*>(&m_tSenderAddr),
                             &m_u32SenderAddrLen);
        if (n > 0) {
            ProcessRcvMsg(buffer, (uint32_t)n);
            continue;
        }
        if (n == 0)
            continue;
        int error = errno;
        LogReceiveError();
        if (error == EBADF || error == ENOTSOCK)
            break;
        if (error != EINTR)
            OSThread::Sleep(kRecvErrorPauseMs);
    }
    if (fd >= 0)
        close(fd);
    m_b8Receiving.store(false);
}

// A receive error that persists is logged once a second, with the number
// of errors in between.
void CQuorVelmarUdpSearchTask::LogReceiveError()
{
    const int64_t now = OS::Milliseconds();
    if (m_s64LastRecvErrorLogMs != 0 && now - m_s64LastRecvErrorLogMs < kRecvErrorLogMs) {
        ++m_u32RecvErrorsUnlogged;
        return;
    }
    if (m_u32RecvErrorsUnlogged > 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######ReadSearchUdpData recvfrom() failed <%u> more times.",
                    m_u32RecvErrorsUnlogged);
    LightLogExt(40000, 0, kSrc, __LINE__, "######ReadSearchUdpData recvfrom()Error!");
    m_s64LastRecvErrorLogMs = now;
    m_u32RecvErrorsUnlogged = 0;
}

void CQuorVelmarUdpSearchTask::SetSender(const struct sockaddr_in& sender)
{
    m_tSenderAddr = sender;
    m_u32SenderAddrLen = sizeof(sender);
}

// ---- Requests ------------------------------------------------------------------

int CQuorVelmarUdpSearchTask::ProcessRcvMsg(const char* bytes, uint32_t length)
{
    T_KorvexGUIReq req;
    if (ParseSearchReq(bytes, length, &req) != 0)
        return -2;
    if (req.u32Q7MId != 0 && req.u32Q7MId != GetMacAddrEnd8Bit())
        return 0;
    int shown = req.u16Len < QUOR_SEARCH_CONTENT_SIZE ? req.u16Len : (int)QUOR_SEARCH_CONTENT_SIZE;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@Recv KorvexGUI Msg, Msg Content is :u16magic is<0x%x>, u8Type is<0x%x>, u32PCId is<0x%x>, "
                "u32Q7MId is<0x%x>, u8TAG is<0x%x>, u16Len is<0x%x>, cContent is<%.*s>.",
                req.u16magic, req.u8Type, req.u32PCId, req.u32Q7MId, req.u8TAG, req.u16Len, shown, req.cContent);
    if (req.u16magic != QUOR_SEARCH_REQ_MAGIC) {
        LightLogExt(40000, 0, kSrc, __LINE__, "Recv KorvexGUI Msg, u16magic is <0x%x> Not Process!", req.u16magic);
        return -2;
    }
    return ProcessCmdTypeReq(req);
}

int CQuorVelmarUdpSearchTask::ProcessCmdTypeReq(const T_KorvexGUIReq& req)
{
    switch (req.u8Type) {
    case QUOR_SEARCH_TYPE_GET:
        return ProcessGetDevReq(req);
    case QUOR_SEARCH_TYPE_SET:
        return ProcessSetDevReq(req);
    case QUOR_SEARCH_TYPE_SEARCH:
        return ProcessSearchDevReq(req);
    default:
        LightLogExt(40000, 0, kSrc, __LINE__, "Recv KorvexGUI Msg, u8Type is <0x%x> Not Process!", req.u8Type);
        return -2;
    }
}

T_KorvexGUIRsp CQuorVelmarUdpSearchTask::NewRsp(const T_KorvexGUIReq& req) const
{
    T_KorvexGUIRsp rsp;
    memset(&rsp, 0, sizeof(rsp));
    rsp.u16magic = QUOR_SEARCH_RSP_MAGIC;
    rsp.u8Type = req.u8Type;
    rsp.u32PCId = req.u32PCId;
    rsp.u32Q7MId = GetMacAddrEnd8Bit();
    rsp.u8Result = 1;
    return rsp;
}

int CQuorVelmarUdpSearchTask::ProcessSearchDevReq(const T_KorvexGUIReq& req)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "This is ProcessSearchDevReq.");
    return SendSearchRsp(NewRsp(req));
}

int CQuorVelmarUdpSearchTask::ProcessGetDevReq(const T_KorvexGUIReq& req)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "This is ProcessGetDevReq.");
    for (const T_GetEntry& entry : kGetList) {
        if (entry.u8Tag != req.u8TAG)
            continue;
        T_KorvexGUIRsp rsp = NewRsp(req);
        rsp.u8TAG = req.u8TAG;
        LightLogExt(20000, 0, kSrc, __LINE__, "%s", entry.pTrace);
        if (entry.pfnGet != nullptr)
            entry.pfnGet(&rsp);
        else if (entry.u8Width != 0)
            SetNumber(&rsp, entry.u8Width, "%u", entry.u32Value);
        return SendSearchRsp(rsp);
    }
    LightLogExt(30000, 0, kSrc, __LINE__, "TAG is <0x%x> Not Process.", req.u8TAG);
    return 0;
}

bool CQuorVelmarUdpSearchTask::WriteLengthFits(const T_KorvexGUIReq& req) const
{
    return req.u16Len <= QUOR_SEARCH_MAX_VALUE && req.u16Len <= QUOR_SEARCH_CONTENT_SIZE &&
           req.u16Len <= req.u32ContentReceived;
}

int CQuorVelmarUdpSearchTask::ProcessSetDevReq(const T_KorvexGUIReq& req)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "This is ProcessSetDevReq.");
    if (!WriteLengthFits(req)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######SetDevReq TAG <0x%x> value length <%u> is above 255 or the <%u> value bytes received, "
                    "no reply.",
                    req.u8TAG, (unsigned)req.u16Len, (unsigned)req.u32ContentReceived);
        return -2;
    }
    T_KorvexGUIRsp rsp = NewRsp(req);
    rsp.u8TAG = req.u8TAG;
    for (const T_SetEntry& entry : kSetList) {
        if (entry.u8Tag == req.u8TAG)
            entry.pfnSet(*this, req, &rsp);
    }
    return SendSearchRsp(rsp);
}

// ---- UART writes ------------------------------------------------------------------

bool CQuorVelmarUdpSearchTask::ApplyUartRate(uint8_t code)
{
    if (code >= sizeof(kUartRates) / sizeof(kUartRates[0])) {
        LightLogExt(40000, 0, kSrc, __LINE__, "SetUartRate is <0x%x> Error.", code);
        return false;
    }
    m_u32UartRate = kUartRates[code];
    if (RateUnsupported(code))
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetUartRate is <%d> system Not supper!.", (int)m_u32UartRate);
    else
        LightLogExt(20000, 0, kSrc, __LINE__, "SetUartRate is <%d>.", (int)m_u32UartRate);
    return true;
}

bool CQuorVelmarUdpSearchTask::ApplyUartDataBit(uint8_t code)
{
    if (code <= 3)
        m_u8UartDataBit = (uint8_t)(5 + code);
    LightLogExt(20000, 0, kSrc, __LINE__, "SetUartDataBit is <%d>.", m_u8UartDataBit);
    return true;
}

bool CQuorVelmarUdpSearchTask::ApplyUartStopBit(uint8_t code)
{
    m_fUartStopBit = code == 1 ? 1.5f : code == 2 ? 2.0f : 1.0f;
    LightLogExt(20000, 0, kSrc, __LINE__, "SetUartStopBit is <%0.1f>.", (double)m_fUartStopBit);
    return true;
}

bool CQuorVelmarUdpSearchTask::ApplyUartCheckBit(uint8_t code)
{
    m_u8UartCheckBit = code == 1 ? 'e' : code == 2 ? 'o' : 'n';
    LightLogExt(20000, 0, kSrc, __LINE__, "SetUartCheckBit is <%c>.", m_u8UartCheckBit);
    return true;
}

bool CQuorVelmarUdpSearchTask::ApplyUartCtrlFlow(uint8_t code)
{
    static const char* const kFlows[] = {"NULL", "Soft Ware", "Hard Ware"};
    m_u8UartCtrlFlow = code <= 2 ? code : 0;
    LightLogExt(20000, 0, kSrc, __LINE__, "SetUartCtrlFlow is %s.", kFlows[m_u8UartCtrlFlow]);
    return true;
}

// ---- Replies ------------------------------------------------------------------------

int CQuorVelmarUdpSearchTask::SendSearchRsp(const T_KorvexGUIRsp& rsp)
{
    char bytes[QUOR_SEARCH_RSP_MAX_LEN];
    uint32_t length = 0;
    if (PackSearchRsp(rsp, bytes, sizeof(bytes), &length) != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######PackSearchDevRsp cContent len is <%d> Error.", rsp.u8Len);
    if (length == 0)
        return -1;
    return SendSearchUdpMsg(bytes, length);
}

int CQuorVelmarUdpSearchTask::SendSearchUdpMsg(const char* bytes, uint32_t length)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######socket");
        LightLogExt(40000, 0, kSrc, __LINE__, "######socket()");
        return -1;
    }
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######bind");
        LightLogExt(40000, 0, kSrc, __LINE__, "######socket()");
        close(fd);
        return -1;
    }
    print_mem(20000, bytes, length);
    ssize_t sent;
    do {
        sent = sendto(fd, bytes, length, 0, reinterpret_cast<const struct sockaddr*>(&m_tSenderAddr),
                      m_u32SenderAddrLen);
    } while (sent < 0 && errno == EINTR);
    close(fd);
    if (sent != (ssize_t)length) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Send Msg length is <%d> Error.", (int)sent);
        return -1;
    }
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &m_tSenderAddr.sin_addr, ip, sizeof(ip));
    LightLogExt(20000, 0, kSrc, __LINE__, "Send Msg <%.*s> and MsgLen is <%d> to IP<%s>, Port<%d>.", (int)length, bytes,
                (int)length, ip, (int)ntohs(m_tSenderAddr.sin_port));
    return 0;
}

// ---- Identity and helpers ---------------------------------------------------------------

uint32_t CQuorVelmarUdpSearchTask::GetMacAddrEnd8Bit()
{
    char mac[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_MacAddr, mac);
    if (strlen(mac) < 5) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######MacAddr <%s> is too short for a device identifier.", mac);
        return 0;
    }
    return (uint32_t)strtoul(mac + 4, nullptr, 16);
}

uint32_t CQuorVelmarUdpSearchTask::SystemRunTime(std::string* text)
{
    char path[BoardPath::kMaxRoot + sizeof(kUptimeFile)];
    std::string content;
    if (BoardPath::Resolve(kUptimeFile, path) != 0 || FileToString(path, content) <= 0)
        content.clear();
    uint32_t seconds = SearchDecimalValue(content.data(), content.size());
    uint32_t inDay = seconds % 86400;
    char hms[32];
    snprintf(hms, sizeof(hms), "%u:%u:%u", inDay / 3600, inDay % 3600 / 60, inDay % 60);
    if (text != nullptr)
        *text = hms;
    return seconds;
}

int CQuorVelmarUdpSearchTask::IpAddrInfoFormatHex(const char* dotted, uint8_t parts[4], char* hexText,
                                                  size_t hexSize)
{
    if (dotted == nullptr || CheckIPV4AddrFormat(dotted, QUOR_IP_TEXT_SIZE, parts) != 0)
        return 0;
    int n = snprintf(hexText, hexSize, "%x %x %x %x", parts[0], parts[1], parts[2], parts[3]);
    return n > 0 && (size_t)n < hexSize ? 1 : 0;
}
