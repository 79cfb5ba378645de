// board_probe: runs the board-path resolver and the command runner in a
// process of its own, so that tests can start it with VELMAR_ROOT set or unset
// (the root is read once per process).
//
//   board_probe root           prints "<set> <usable> <root>"
//   board_probe path PATH      prints the resolved path, or "ERROR"
//   board_probe command TEXT   prints the resolved command text, or "ERROR"
//   board_probe run TEXT       runs TEXT with pox_system, prints "status N"
//   board_probe read TEXT      copies the output of TEXT, then prints "status N"
//
// With a board root, the log goes to $VELMAR_ROOT/var/Velmar/probeNNN.logTmp.
#include <cstdio>
#include <cstring>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorVelmarFunction.h"
#include "ShellCommand.h"

namespace {

void SetUpLog()
{
    char prefix[LLOG_MAX_PREFIX + 1];
    if (!BoardPath::HasRoot() || BoardPath::Resolve("/var/Velmar/probe", prefix) != 0)
        return;
    T_LightLogCallBack callbacks = LightLogStdioCallBack();
    LightLogSetCallBack(&callbacks);
    LightLogSetup(prefix, 5000, 10, LLOG_LEVEL_DEBUG);
}

int PrintResolved(int result, const char* text)
{
    printf("%s\n", result == 0 ? text : "ERROR");
    return result == 0 ? 0 : 1;
}

int Read(const char* command)
{
    ShellCommand reader;
    if (reader.OpenRead(command) != 0) {
        printf("status %d\n", ShellCommand::kNotRun);
        return 0;
    }
    char line[512];
    while (fgets(line, sizeof(line), reader.Stream()) != nullptr)
        fputs(line, stdout);
    printf("status %d\n", reader.CloseRead());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "root") == 0) {
        printf("%d %d %s\n", BoardPath::HasRoot() ? 1 : 0, BoardPath::RootUsable() ? 1 : 0, BoardPath::Root());
        return 0;
    }
    if (argc != 3)
        return 2;
    SetUpLog();
    char out[ShellCommand::kMaxCommand];
    int result = 0;
    if (strcmp(argv[1], "path") == 0)
        result = PrintResolved(BoardPath::Resolve(argv[2], out), out);
    else if (strcmp(argv[1], "command") == 0)
        result = PrintResolved(BoardPath::ResolveCommand(argv[2], out), out);
    else if (strcmp(argv[1], "run") == 0)
        printf("status %d\n", pox_system(argv[2]));
    else if (strcmp(argv[1], "read") == 0)
        result = Read(argv[2]);
    else
        result = 2;
    fflush(stdout);
    LightLogExit();
    return result;
}
