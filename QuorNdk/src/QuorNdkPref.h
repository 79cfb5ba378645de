// Preferences of the upgrade agent, read once at start from the same file as
// velmard's ("/Velmar/etc/Velmar.xml"): where velmard's unicast socket is
// (the destination of the answers), where the agent listens, its thread
// counts, its log level and where the upgrade key is.
#ifndef QUOR_NDK_PREF_H
#define QUOR_NDK_PREF_H

#include <cstdint>

class CQuorNdkPref {
public:
    // Reads the file: 0, or -1 when it cannot be parsed or an address text is
    // not a dotted IPv4 address (logged). Missing entries keep their defaults.
    static int ReadPref();

    static uint32_t s_u32Quor_Velmar_UdpInterAddr;     // "QuorVelmar_UdpIp", network order, 0 = any
    static uint16_t s_u16Quor_Velmar_UdpInterPort;     // "QuorVelmar_UdpPort", 3334
    static uint32_t s_u32VelmarNdk_UdpInterAddr;       // "VelmarNdk_UdpIp", network order, 0 = any
    static uint16_t s_u16VelmarNdk_UdpInterPort;       // "VelmarNdk_UdpPort", 65009
    static uint16_t s_u16VelmarNdk_RecvUdpThreadNum;   // "VelmarNdk_RecvUdp_ThreadNum", 1
    static uint16_t s_u16VelmarNdk_ManageTaskThreadNum;// "VelmarNdk_ManageTask_ThreadNum", 1
    static int32_t s_s32VelmarNdk_LogLevel_Out;        // "Quor_VelmarNdk_LogLevel_Out", 20000
    // "VelmarNdk_UpgradeKey": board path of the public key archives must be
    // signed with; no file there means archives are installed unverified.
    static char s_cVelmarNdk_UpgradeKey[256];          // "/Velmar/etc/QuorNdk/upgrade.pub"
};

#endif
