// Shared by the tests of the network and system helpers: the process's board
// root and the log of the test binary.
//
// The board root is read from VELMAR_ROOT once per process, so each test
// binary lays out one temporary board root in main, before anything runs, and
// the tests put back what they change in it.
#ifndef NET_HELPERS_TEST_SUPPORT_H
#define NET_HELPERS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "BoardPath.h"
#include "BoardRootFixture.h"
#include "LightLog.h"
#include "TestLog.h"

namespace net_test {

// The log of the test binary, in a temporary directory, at the debug level
// (TestLog::Open in main), and the log lines written from a LogSince's
// creation on.
struct TestLog : test_log::ProcessLog {
    static void Open() { ProcessLog::Open("nethelpers-log", "net", 100000); }
};
using LogSince = test_log::LogMark;

// The process's board root: laid out once, named in VELMAR_ROOT before the
// first command runs. Ends the binary (status 1) when it cannot be made,
// because without it commands would reach this machine.
class ProcessBoardRoot {
public:
    static void Make()
    {
        Root().reset(new board_test::TempBoardRoot());
        if (!Root()->Ok()) {
            fprintf(stderr, "cannot lay out a board root: %s\n", Root()->LayoutOutput().c_str());
            exit(1);
        }
        setenv("VELMAR_ROOT", Root()->Path().c_str(), 1);
        if (!BoardPath::HasRoot() || Root()->Path() != BoardPath::Root()) {
            fprintf(stderr, "VELMAR_ROOT was read before the board root was made\n");
            exit(1);
        }
    }
    static void Remove() { Root().reset(); }
    static const board_test::TempBoardRoot& Get() { return *Root(); }

    // Writes an executable script at a board path.
    static bool WriteProgram(const std::string& boardPath, const std::string& script)
    {
        return board_test::WriteText(Get().File(boardPath), script, 0755);
    }
    // The call log with the board root taken out of the paths.
    static std::string Calls()
    {
        std::string calls = Get().Calls();
        const std::string& root = Get().Path();
        for (size_t at = calls.find(root); at != std::string::npos; at = calls.find(root, at))
            calls.erase(at, root.size());
        return calls;
    }
    static void ClearCalls() { board_test::WriteText(Get().File("/var/log/board-calls.log"), ""); }

private:
    static std::unique_ptr<board_test::TempBoardRoot>& Root()
    {
        static std::unique_ptr<board_test::TempBoardRoot> s_root;
        return s_root;
    }
};

// Runs every test with the process's board root and log in place; prepare
// runs once both are.
inline int RunAllWithBoardRoot(const std::function<void()>& prepare = nullptr)
{
    ProcessBoardRoot::Make();
    TestLog::Open();
    if (prepare)
        prepare();
    int result = RUN_ALL_TESTS();
    TestLog::Close();
    ProcessBoardRoot::Remove();
    return result;
}

} // namespace net_test

#endif
