// The DHCP watch task (thread pool 11): in DHCP address mode it renews the
// lease every "QuorVelmar_DHCPCheckTime" seconds ("udhcpc -q") and reboots
// the device ("reboot") when the address of the first Ethernet interface no
// longer matches the one the daemon works with (the Ip field of its module
// information record). In static mode it only logs.
//
// The first check runs at Initialize; each check re-arms the timer before it
// does its work. A period below 1 s is taken as 1 s. An interface list that
// cannot be read skips the comparison (no reboot); a readable list without
// the address, or with another one, reboots. "udhcpc -q" has no give-up
// option: while no DHCP server answers, the check waits for it.
#ifndef QUOR_VELMAR_DHCPTASK_H
#define QUOR_VELMAR_DHCPTASK_H

#include <cstdint>

#include "QuorSecTimeoutTask.h"
#include "QuorTask.h"
#include "QuorVelmarFunction.h"

class CQuorVelmarDhcpTask : public QuorTask<11> {
public:
    // Reads the interface information as GetNetWorkInfo does, but tells an
    // unreadable list (-1) from one without an Ethernet address (0).
    typedef int (*NetInfoReader)(T_DevInfoFromLocalAboutEth* records, unsigned int capacity);

    CQuorVelmarDhcpTask();
    ~CQuorVelmarDhcpTask() override;

    // Creates and arms the timer and signals the first check: 0, or -1 when
    // the timer cannot be created.
    int Initialize();
    // Handles TASK_EVT_TIMEOUT (one check); every other event is ignored. 0.
    int64_t Run() override;
    // One check: re-arm, read the address mode, renew and compare in DHCP mode.
    void CheckOnce();
    // The address comparison (and the reboot when the addresses differ).
    void UpdateNetwork();

    // The period in milliseconds ("QuorVelmar_DHCPCheckTime", at least 1 s).
    static int64_t PeriodMilSec();
    // Replaces the interface reader (tests); null restores the kernel's.
    void SetNetInfoReader(NetInfoReader reader);

private:
    QuorSecTimeoutTask<11>* m_pMgTaskTimeout = nullptr;
    NetInfoReader m_pfnReadNetInfo;
};

// The DHCP watch task, created once at start-up.
extern CQuorVelmarDhcpTask* g_VelmarDhcp;

#endif
