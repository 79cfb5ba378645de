// Shared by the tests of the network and system helpers: the process's board
// root and the log of the test binary.
//
// The board root is read from VELMAR_ROOT once per process, so each test
// binary lays out one temporary board root in main, before anything runs, and
// the tests put back what they change in it.
#ifndef NET_HELPERS_TEST_SUPPORT_H
#define NET_HELPERS_TEST_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "BoardPath.h"
#include "BoardRootFixture.h"
#include "LightLog.h"

namespace net_test {

// The log of the test binary, in a temporary directory, at the debug level.
class TestLog {
public:
    static void Open()
    {
        Dir() = board_test::MakeTempDir("nethelpers-log");
        T_LightLogCallBack callbacks = LightLogStdioCallBack();
        LightLogSetCallBack(&callbacks);
        LightLogSetup((Dir() + "/net").c_str(), 100000, 10, LLOG_LEVEL_DEBUG);
    }
    static void Close()
    {
        LightLogExit();
        board_test::RemoveTree(Dir());
    }
    static std::string Text()
    {
        LightLogFlush();
        return board_test::ReadText(Dir() + "/net001.logTmp");
    }

private:
    static std::string& Dir()
    {
        static std::string s_dir;
        return s_dir;
    }
};

// The log lines written from the object's creation on.
class LogSince {
public:
    LogSince() : fStart(TestLog::Text().size()) {}
    std::string Text() const
    {
        std::string all = TestLog::Text();
        return all.size() > fStart ? all.substr(fStart) : std::string();
    }
    bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }
    // Position of the first occurrence, npos when absent.
    size_t Find(const std::string& text) const { return Text().find(text); }

private:
    size_t fStart;
};

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

} // namespace net_test

#endif
