// Helper functions of velmard: see QuorVelmarFunction.h.
#include "QuorVelmarFunction.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "QuorVelmarMsgDef.h"
#include "ShellCommand.h"

// ---- Shell commands -------------------------------------------------------

int pox_system(const char* command)
{
    // SIGCHLD keeps its default disposition in this process; the runner makes
    // sure of it before the child starts, so the status is never lost.
    return ShellCommand().Run(command);
}

// ---- Log text of group message records ------------------------------------

namespace {

// Appends formatted text to a fixed buffer, never past its last byte; what
// does not fit is cut and the text stays terminated.
class LogTextAppender {
public:
    LogTextAppender(char* text, size_t size) : fText(text), fSize(size) { fText[0] = '\0'; }

    void Add(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (fPos + 1 >= fSize)
            return;
        va_list args;
        va_start(args, format);
        int n = vsnprintf(fText + fPos, fSize - fPos, format, args);
        va_end(args);
        if (n < 0) {
            fText[fPos] = '\0';
            return;
        }
        fPos += (size_t)n;
        if (fPos > fSize - 1)
            fPos = fSize - 1;
    }
    int Length() const { return (int)fPos; }

private:
    char* fText;
    size_t fSize;
    size_t fPos = 0;
};

// Printable length of a record text (bounded by its array).
int TextLen(const char* field)
{
    return (int)strnlen(field, QUOR_MSG_TEXT_SIZE);
}

// Annexes a record can hold, whatever its count field says.
unsigned AnnexCount(uint8_t total)
{
    return total < QUOR_MSG_MAX_ANNEX ? (unsigned)total : (unsigned)QUOR_MSG_MAX_ANNEX;
}

void DescribeSearchQueryRsp(LogTextAppender& out, const T_QuorDeviceSearchQueryRsp& r)
{
    out.Add("DeviceType is: 0x%x, DeviceFunction is: %u, DeviceInfoTotal is: %d.", (unsigned)r.u16DeviceType,
            r.u32DeviceFunction, (int)r.u8DeviceInfoTotal);
    for (unsigned i = 0; i < AnnexCount(r.u8DeviceInfoTotal); ++i) {
        const T_QuorDeviceInfoAnnex& a = r.tAnnexCode[i];
        out.Add("%s%X,%s%.*s.", "InfoID is: 0x", (unsigned)a.u16InfoID, "InfoCode is:", TextLen(a.cInfoCode),
                a.cInfoCode);
    }
}

void DescribeUserInfoReq(LogTextAppender& out, const T_QuorUserInfoChangeNotifyReq& r)
{
    out.Add("DeviceType is: 0x%x, UserInfoTotal is: %u.", (unsigned)r.u16DeviceType, (unsigned)r.u8UserInfoTotal);
    for (unsigned i = 0; i < AnnexCount(r.u8UserInfoTotal); ++i) {
        const T_QuorUserInfoAnnex& a = r.tAnnexCode[i];
        out.Add("%s%X,%s%.*s.", "UserInfoType is: 0x", (unsigned)a.u16UserInfoType, "UserInfoContent is:",
                TextLen(a.cUserInfoContent), a.cUserInfoContent);
    }
}

void DescribeUserInfoRsp(LogTextAppender& out, const T_QuorUserInfoChangeNotifyRsp& r)
{
    out.Add("ResultCode is: %d, DeviceType is: 0x%x, UserInfoTotal is: %u.", (int)r.u8ResultCode,
            (unsigned)r.u16DeviceType, (unsigned)r.u8UserInfoTotal);
    for (unsigned i = 0; i < AnnexCount(r.u8UserInfoTotal); ++i) {
        const T_QuorUserInfoRspAnnex& a = r.tAnnexCode[i];
        out.Add("%s%d, %s%X, %s%.*s.", "ResultCode is:", (int)a.u8ResultCode, "UserInfoType is: 0x",
                (unsigned)a.u16UserInfoType, "UserInfoContent is:", TextLen(a.cUserInfoContent),
                a.cUserInfoContent);
    }
}

void DescribeVersionUpgradeReq(LogTextAppender& out, const T_QuorVersionUpgradeReq& r)
{
    out.Add("cDevAddr is: %.*s, u32DevPort is: %d, u32ReqCode is: %d, u32ReqResult is: %d, cVersionSN is: %.*s, "
            "cVersionName is: %.*s, cVersionFile is: %.*s.",
            TextLen(r.cDevAddr), r.cDevAddr, (int)r.u32DevPort, (int)r.u32ReqCode, (int)r.u32ReqResult,
            TextLen(r.cVersionSN), r.cVersionSN, TextLen(r.cVersionName), r.cVersionName, TextLen(r.cVersionFile),
            r.cVersionFile);
}

}  // namespace

int GetLogCharForPack(uint32_t commandId, const void* record, char* text, size_t textSize)
{
    if (record == nullptr || text == nullptr || textSize == 0)
        return -2;
    LogTextAppender out(text, textSize);
    switch (commandId) {
    case QUOR_MSG_DEVICE_SEARCH_QUERY_REQ: {
        const auto& r = *static_cast<const T_QuorDeviceSearchQueryReq*>(record);
        out.Add("DeviceType is: 0x%x, DeviceFunction is: %u.", (unsigned)r.u16DeviceType, r.u32DeviceFunction);
        break;
    }
    case QUOR_MSG_DEVICE_SEARCH_QUERY_RSP:
        DescribeSearchQueryRsp(out, *static_cast<const T_QuorDeviceSearchQueryRsp*>(record));
        break;
    case QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ: {
        const auto& r = *static_cast<const T_QuorDeviceMaxSeqNumNotifyReq*>(record);
        out.Add("DeviceType is: 0x%x, DeviceMaxSeqNum is: %u.", (unsigned)r.u16DeviceType,
                (unsigned)r.u16DeviceMaxSeqNum);
        break;
    }
    case QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP: {
        const auto& r = *static_cast<const T_QuorDeviceMaxSeqNumNotifyRsp*>(record);
        out.Add("ResultCode is: %d, DeviceType is: 0x%x, DeviceMaxSeqNum is: %u.", (int)r.u8ResultCode,
                (unsigned)r.u16DeviceType, (unsigned)r.u16DeviceMaxSeqNum);
        break;
    }
    case QUOR_MSG_GROUP_SIGN_NOTIFY_REQ: {
        const auto& r = *static_cast<const T_QuorDeviceGroupSignNotifyReq*>(record);
        out.Add("DeviceType is: 0x%x, DeviceGroupSignCmd is: 0x%x.", (unsigned)r.u16DeviceType,
                (unsigned)r.u16DeviceGroupSignCmd);
        break;
    }
    case QUOR_MSG_GROUP_SIGN_NOTIFY_RSP: {
        const auto& r = *static_cast<const T_QuorDeviceGroupSignNotifyRsp*>(record);
        out.Add("ResultCode is: %d, DeviceType is: 0x%x, DeviceGroupSignCmd is: 0x%x.", (int)r.u8ResultCode,
                (unsigned)r.u16DeviceType, (unsigned)r.u16DeviceGroupSignCmd);
        break;
    }
    case QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ:
        DescribeUserInfoReq(out, *static_cast<const T_QuorUserInfoChangeNotifyReq*>(record));
        break;
    case QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP:
        DescribeUserInfoRsp(out, *static_cast<const T_QuorUserInfoChangeNotifyRsp*>(record));
        break;
    case QUOR_MSG_VERSION_UPGRADE_REQ:
        DescribeVersionUpgradeReq(out, *static_cast<const T_QuorVersionUpgradeReq*>(record));
        break;
    default:
        break;
    }
    return out.Length();
}
