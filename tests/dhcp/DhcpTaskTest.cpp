// The DHCP watch task on a temporary board root: the address mode from the
// property file, "udhcpc -q" and "reboot" through the simulated board
// programs, and the interface address from a stand-in reader.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "NetHelpersTestSupport.h"
#include "QuorSecTimeoutTask.h"
#include "QuorVelmarDhcpTask.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarPref.h"
#include "TaskTestSupport.h"
#include "serverproperty.h"

using net_test::LogSince;
using net_test::ProcessBoardRoot;

namespace {

// What the stand-in interface reader reports: -1 unreadable, 0 no address.
std::mutex s_mutex;
int s_result = 1;
std::string s_address;

int FakeNetInfo(T_DevInfoFromLocalAboutEth* records, unsigned int)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_result > 0)
        QuorCopyField(records[0].cIpAddr, s_address.c_str());
    return s_result;
}

void Interface(int result, const std::string& address)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_result = result;
    s_address = address;
}

class DhcpTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ProcessBoardRoot::ClearCalls();
        fTask.SetNetInfoReader(FakeNetInfo);
        g_ModulInfolist.Clear();
        T_QuorModulInfo own;
        QuorCopyField(own.cModulName, QUOR_MODUL_NAME);
        QuorCopyField(own.Ip, "192.168.1.20");
        g_ModulInfolist.Append(own);
    }
    static void Mode(const char* mode) { CServerProperty::GetInstance()->SetIpMod(mode); }

    CQuorVelmarDhcpTask fTask;
};

// Static mode only logs; DHCP mode renews, then compares the address. The
// log writes the line ends of its texts as \x0A.
TEST_F(DhcpTaskTest, ModeDecidesWhatRuns)
{
    struct {
        const char* mode;
        int result;
        const char* address;
        const char* calls;
        const char* log;
    } cases[] = {
        {"static", 1, "192.168.1.21", "", "in static ip mod"},
        {"", 1, "192.168.1.21", "", "in static ip mod"},
        {"dhcpx", 1, "192.168.1.21", "", "in static ip mod"},
        {"DHCP", 1, "192.168.1.20", "udhcpc -q\n", "do nothing\\x0A192.168.1.20\\x0A192.168.1.20"},
        {"dhcp", 1, "192.168.1.21", "udhcpc -q\nreboot\n", "reboot\\x0A192.168.1.20\\x0A192.168.1.21"},
        {"Dhcp", 0, "", "udhcpc -q\nreboot\n", "reboot\\x0A192.168.1.20\\x0A"},
        {"dhcp", -1, "", "udhcpc -q\n", "address check skipped"},
    };
    for (const auto& c : cases) {
        ProcessBoardRoot::ClearCalls();
        Mode(c.mode);
        Interface(c.result, c.address);
        LogSince log;
        fTask.CheckOnce();
        EXPECT_EQ(c.calls, ProcessBoardRoot::Calls()) << c.mode << " " << c.address;
        EXPECT_TRUE(log.Has(c.log)) << c.log;
    }
}

TEST_F(DhcpTaskTest, FirstCheckRunsAtInitializeWithAtLeastOneSecond)
{
    Mode("static");
    CQuorVelmarPref::s_u32Quor_Velmar_DHCPCheckTime = 0;
    EXPECT_EQ(1000, CQuorVelmarDhcpTask::PeriodMilSec());
    CQuorVelmarPref::s_u32Quor_Velmar_DHCPCheckTime = 3600;
    EXPECT_EQ(3600000, CQuorVelmarDhcpTask::PeriodMilSec());
    LogSince log;
    CQuorVelmarDhcpTask* task = Keep(new CQuorVelmarDhcpTask);
    ASSERT_EQ(0, task->Initialize());
    EXPECT_TRUE(WaitUntil([&] { return log.Has("in static ip mod"); }, 10000));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return net_test::RunAllWithBoardRoot([] {
        CServerProperty::GetInstance()->Init(ProcessBoardRoot::Get().File("/var/tmpfs/SavePowerOff.conf").c_str());
        QuorTaskThreadPool<11>::AddThreads(1, 0);
        QuorSecTimeoutTask<11>::Initialize();
    });
}
