#include "UpgradeRig.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "LightLog.h"
#include "QuorSecTimeoutTask.h"
#include "QuorUpgradeNames.h"
#include "QuorUpgradeTRM40Task.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarUartTask.h"
#include "SimText.h"
#include "TaskTestSupport.h"
#include "TestFiles.h"

namespace {

const char kImageDir[] = "/Velmar/Upgrade/MCU/";

bool MakeRoot(std::string* root)
{
    *root = test_files::MakeTempDir("upgrade");
    if (root->empty())
        return false;
    for (const char* dir : {"/dev", "/var", "/var/Velmar", "/Velmar", "/Velmar/Upgrade", "/Velmar/Upgrade/MCU"}) {
        if (mkdir((*root + dir).c_str(), 0755) != 0)
            return false;
    }
    return setenv("VELMAR_ROOT", root->c_str(), 1) == 0;
}

bool OpenLog(const std::string& root)
{
    T_LightLogCallBack callbacks = LightLogStdioCallBack();
    std::string prefix = root + "/var/Velmar/upgrade";
    return LightLogSetCallBack(&callbacks) == 0 && LightLogSetup(prefix.c_str(), 100000, 999, LLOG_LEVEL_DEBUG) == 0;
}

}  // namespace

UpgradeRig* UpgradeRig::Instance()
{
    static UpgradeRig* rig = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        rig = new UpgradeRig;  // lives as long as the process, as the tasks do
        if (!rig->Start()) {
            fprintf(stderr, "cannot set up the simulated board (root %s)\n", rig->m_root.c_str());
            rig = nullptr;
        }
    }
    return rig;
}

bool UpgradeRig::Start()
{
    if (!MakeRoot(&m_root) || !OpenLog(m_root))
        return false;
    QuorTaskThreadPool<3>::AddThreads(1, 0);
    QuorTaskThreadPool<9>::AddThreads(1, 0);
    QuorSecTimeoutTask<9>::Initialize();
    SimEndpointOptions options;
    options.linkPath = m_root + "/dev/ttyS1";
    options.trafficLogPath = m_root + "/var/Velmar/mcusim-traffic.log";
    if (m_mcu.Start(options) != 0)
        return false;
    T_QuorModulInfo own;
    QuorCopyField(own.cModulName, QUOR_MODUL_NAME);
    g_ModulInfolist.Append(own);
    {
        OSMutexLocker locker(&CQuorVelmarCommLayer::s_VelmarStringListMutex);
        g_pVelmarManageTask = new CQuorVelmarManageTask;
    }
    g_pVelmarUartTask = new CQuorVelmarUartTask;
    g_UpgradeTRM40Task = new CQuorUpgradeTRM40Task;
    return g_pVelmarUartTask->Initialize() == 0 && g_UpgradeTRM40Task->Initialize() == 0;
}

bool UpgradeRig::WriteBanks(const std::string& name, const std::string (&banks)[3])
{
    static const char* const kSuffix[] = {".h00", ".h01", ".h02"};
    for (int bank = 0; bank < 3; ++bank) {
        std::string path = m_root + kImageDir + name + kSuffix[bank];
        remove(path.c_str());
        if (banks[bank].empty())
            continue;
        FILE* file = fopen(path.c_str(), "wbe");
        if (file == nullptr)
            return false;
        bool written = fwrite(banks[bank].data(), 1, banks[bank].size(), file) == banks[bank].size();
        if (fclose(file) != 0 || !written)
            return false;
    }
    return true;
}

bool UpgradeRig::StartUpgrade(const std::string& name)
{
    std::string image = kImageDir + name;
    return QuorSetUpgradeName(g_MCUVersionFile, image.c_str()) && QuorStartMcuUpgrade();
}

bool UpgradeRig::WaitDone(int timeoutMs)
{
    return WaitUntil([] { return b16UpTRM90.load() == 0; }, timeoutMs);
}

std::string UpgradeRig::UpdateStatus() const
{
    char status[QUOR_MODUL_FIELD_SIZE];
    g_ModulInfolist.GetOwnField(&T_QuorModulInfo::Updatestatus_MCU, status);
    return status;
}

bool UpgradeRig::McuLineWorks(int timeoutMs)
{
    if (!WaitUntil([] { return g_pVelmarUartTask->IsUartOpen(); }, timeoutMs))
        return false;
    // The boot loader may still hold the line for its idle time, and its
    // late answers may still be on their way.
    if (!m_mcu.WaitSent(timeoutMs))
        return false;
    if (!WaitUntil([this] { return !m_mcu.FlashLoader().Active(SimNowMs()); }, timeoutMs))
        return false;
    // The receive loop flushes the line when it starts again: ask until an
    // answer comes through.
    T_QuorStringMsg message;
    auto answered = [&message] {
        return g_pVelmarManageTask->TakeStringMsg(&message) && std::string(message.cMsg) == "ORDER 1";
    };
    for (int waited = 0; waited < timeoutMs; waited += 200) {
        if (g_pVelmarUartTask->UartWrite("GET ORDER\r\n", 11) != 11)
            return false;
        if (WaitUntil(answered, 200))
            return m_mcu.WaitForLine("GET ORDER", timeoutMs);
    }
    return false;
}

void UpgradeRig::Finish(bool keep)
{
    // The MCU serial task stops reading before the process's statics go.
    g_pVelmarUartTask->AllowOpenUartOne(0);
    m_mcu.Stop();
    if (keep) {
        fprintf(stderr, "board root and log kept in %s\n", m_root.c_str());
        return;
    }
    test_files::RemoveTree(m_root);
}
