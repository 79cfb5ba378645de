// velmarcmd: runs one command line as a watched child, restarts it when it
// dies abnormally and logs every start and end.
//
//   velmarcmd "<program> [options...]"
#include "SupervisorPaths.h"
#include "CommandLine.h"
#include "DaemonStart.h"
#include "WatchLoop.h"
#include "WatchMessages.h"

#include <stdio.h>

namespace {

constexpr mode_t kLogDirMode = 0775;

int PrintUsage(const char* selfName)
{
    printf(MSG_USAGE, selfName);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    const char* selfName = (argc > 0 && argv[0] != nullptr) ? argv[0] : "velmarcmd";
    if (argc != 2)
        return PrintUsage(selfName);
    std::vector<std::string> words = SplitCommand(argv[1]);
    if (words.empty())
        return PrintUsage(selfName);
    std::vector<char*> childArgv = MakeArgv(words);

    const std::string logDir = ResolveBoardPath(kVelmarcmdLogDir);
    MakeDirectoryTree(logDir, kLogDirMode);
    const std::string logBase = logDir + "/" + GetExeceName(childArgv[0]);

    WatchTarget target;
    target.selfName = selfName;
    target.command = childArgv[0];
    target.argv = childArgv.data();
    target.logFile = logBase + ".log";
    target.outFile = logBase + ".out";
    target.errFile = logBase + ".err";

    daemon_start();
    return RunWatchLoop(target);
}
