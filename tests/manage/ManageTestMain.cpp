// Entry of the management task tests that run in the test process: one
// temporary board root for the whole binary (made before any command runs),
// its preferences, the binary's log, and the simulated MCU and display with
// velmard's serial tasks opened on them.
#include <gtest/gtest.h>

#include <cstdio>

#include "ManageTestSupport.h"
#include "QuorSecTimeoutTask.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    net_test::ProcessBoardRoot::Make();
    net_test::TestLog::Open();
    if (CQuorVelmarPref::ReadPref() != 0) {
        fprintf(stderr, "cannot read the board root's preferences\n");
        return 1;
    }
    // The start flow opens the property file; tests that skip it need it too.
    CServerProperty::GetInstance()->Init(net_test::ProcessBoardRoot::Get().File("/var/tmpfs/SavePowerOff.conf").c_str());
    std::string why;
    if (!manage_test::SerialBoard::Start(&why)) {
        fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    // The timeout entries of pool 2 need its timeout task; no pool thread
    // runs it, so no entry ever fires here.
    QuorSecTimeoutTask<2>::Initialize();
    int result = RUN_ALL_TESTS();
    manage_test::SerialBoard::Stop();
    net_test::TestLog::Close();
    net_test::ProcessBoardRoot::Remove();
    return result;
}
