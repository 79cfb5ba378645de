// Entry of the serial line tests: one board root for the whole binary (its
// dev/ holds the links to the pseudo-terminals of the lines), set before
// anything resolves a board path; the binary's own log under it; and the
// one-thread pools 3 and 4 of the two serial tasks.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "LightLog.h"
#include "TestFiles.h"
#include "QuorTask.h"

namespace serial_test {
extern std::string g_boardRoot;
}

namespace {

bool MakeBoardRoot()
{
    std::string root = test_files::MakeTempDir("serial");
    if (root.empty())
        return false;
    for (const char* dir : {"/dev", "/var", "/var/Velmar"}) {
        if (mkdir((root + dir).c_str(), 0755) != 0)
            return false;
    }
    serial_test::g_boardRoot = root;
    return setenv("VELMAR_ROOT", root.c_str(), 1) == 0;
}

bool OpenLog()
{
    T_LightLogCallBack callbacks = LightLogStdioCallBack();
    if (LightLogSetCallBack(&callbacks) != 0)
        return false;
    std::string prefix = serial_test::g_boardRoot + "/var/Velmar/serial";
    return LightLogSetup(prefix.c_str(), 100000, 999, LLOG_LEVEL_DEBUG) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!MakeBoardRoot() || !OpenLog()) {
        fprintf(stderr, "cannot lay out the test board root\n");
        return 1;
    }
    QuorTaskThreadPool<3>::AddThreads(1, 0);
    QuorTaskThreadPool<4>::AddThreads(1, 0);
    int result = RUN_ALL_TESTS();
    if (result == 0) {
        test_files::RemoveTree(serial_test::g_boardRoot);
    } else {
        fprintf(stderr, "board root and log kept in %s\n", serial_test::g_boardRoot.c_str());
    }
    return result;
}
