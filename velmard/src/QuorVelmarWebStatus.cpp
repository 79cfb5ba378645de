// The endpoint's own state: see QuorVelmarWebStatus.h.
#include "QuorVelmarWebStatus.h"

#include <string>

#include "LightLog.h"
#include "QuorVelmarHttpConn.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarPref.h"

namespace {

const char kSrc[] = "src/QuorVelmarWebStatus";

struct T_SelfItem {
    const char* name;
    const char* value;
};

} // namespace

void QuorWebGetSelfInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    T_QuorModulInfo own;
    g_ModulInfolist.CopyOwn(&own);
    char mac[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_MacAddr, mac);
    const T_SelfItem items[] = {
        {"alias", own.cAlias},          {"mac", mac},
        {"ip4addr", own.Ip},            {"ipmode", own.IpMod},
        {"sequence_number", own.SequenceNumber}, {"devicemaxseqnum", own.SqncMaxNum},
        {"looplink_sign", own.cLoopLink}, {"group_sign", own.Group},
        {"showme_sign", own.cShowMe},   {"vi_select", own.cViSelect},
        {"dev_type", own.cDevType},     {"hdcp_hdmi", own.HdcpHDMISuppert},
        {"hdcp_dp", own.HdcpDPSuppert}, {"hdcp_in", own.HdcpInStatus},
        {"hdcp_out", own.HdcpOutStatus}, {"cecsupport", own.CECSuppert},
        {"cecdelay", own.CECDelay},     {"edidsetting", own.EDIDQueyReq},
        {"autosw", own.AutoSW},         {"mcuversion", own.McuVersion},
        {"mcustatus", own.Updatestatus_MCU}, {"armstatus", own.Updatestatus_ARM},
    };
    std::string text = "{\r\n\"selfinfo\":[\r\n{";
    for (const T_SelfItem& item : items) {
        if (text.back() != '{')
            text += ',';
        text += QuorJsonFormat("\"%s\":\"%s\"", {item.name, item.value});
    }
    text += "}\r\n]\r\n}";
    LightLogExt(10000, 0, kSrc, __LINE__, "Own state, Http Response content is <%s>.", text.c_str());
    conn.SendJson(text);
    replySent = 0;
}
