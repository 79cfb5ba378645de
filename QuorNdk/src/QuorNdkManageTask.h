// The agent's management task (thread pool 2): takes the datagrams the
// communication layer queues, answers each upgrade request at once and then
// installs, one request at a time (the installation blocks this task, so a
// second request waits in the queue until the first has started velmard
// again).
//
// Before anything runs, a request must come from 127.0.0.0/8, carry names
// that are a single safe path component (CQuorNdkRequestCheck) and name an
// existing archive in the ARM directory; a refused request gets no answer.
// Before velmard is stopped, the archive must carry a valid signature when an
// upgrade key is installed, and list "<name>/Install_upgrade_atmel". Once
// velmard's stop has been tried, every ending starts it again; the install
// marker (QuorNdkInstallState.h) covers endings of the agent itself, and a
// stop request waits for the installation to end.
#ifndef QUOR_NDK_MANAGETASK_H
#define QUOR_NDK_MANAGETASK_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "OSMutex.h"
#include "QuorSecTimeoutTask.h"
#include "QuorTask.h"
#include "QuorUpgradeMsgDef.h"

class CQuorNdkManageTask : public QuorTask<2> {
public:
    // Datagrams waiting while an installation runs; more are dropped.
    static constexpr size_t kMaxQueuedPackets = 16;
    // Longest datagram queued.
    static constexpr uint32_t kMaxPacketLen = 3072;

    CQuorNdkManageTask();
    ~CQuorNdkManageTask() override;

    // Creates the 1000 ms timer: 0, or -1 (logged).
    int Initialize();

    // Copies the message into the queue: 0; -2 for a null message or a
    // length of 0 or above 3072; -1 when no memory or the queue is full.
    int AddUdpPacketCopyQueue(const T_MODULE_MSG* message);

    int64_t Run() override;

    // 0x1801 goes to ProcessVersionUpgradeReq; every other command is ignored.
    // The record is returned to its pool afterwards.
    int DoOneUdpCommand(uint32_t commandId, void* record, uint32_t remoteAddr);
    // Checks, answers, installs. 0, or -2 for a refused or failed request.
    int ProcessVersionUpgradeReq(const T_QuorVersionUpgradeReq& request, uint32_t remoteAddr);
    int SendVersionUpgradeRsp(const T_QuorVersionUpgradeRsp& answer);
    // The installation steps: 0, or -2 (logged; velmard is running again
    // whenever it had been stopped).
    int DoARMVersionUpgrade(const T_QuorVersionUpgradeReq& request);
    // At start-up: when the install marker says an installation was cut
    // short, empties the upgrade directories, starts velmard and removes the
    // marker (logged).
    static void RecoverInterruptedInstall();

private:
    struct T_Packet {
        char* pAllMsg;        // pooled copy of the bytes
        uint32_t u32MsgLen;
        uint32_t u32RemoteAddr;
    };

    bool IsAcceptable(const T_QuorVersionUpgradeReq& request, uint32_t remoteAddr);
    void DoOnePacket(const T_Packet& packet);

    OSMutex m_PacketMutex;
    std::deque<T_Packet> m_Packets;  // guarded by m_PacketMutex
    std::atomic<QuorSecTimeoutTask<2>*> m_pMgTaskTimeout{nullptr};
};

extern CQuorNdkManageTask* g_pVelmarNdkManageTask;

#endif
