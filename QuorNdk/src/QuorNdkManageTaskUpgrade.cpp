// The installation of an ARM software upgrade (see QuorNdkManageTask.h).
//
// Only fixed texts go through the shell ("/etc/init.d/velmard update-stop"
// and "update-start"); tar and the install script run with argument vectors,
// and the upgrade directories are emptied in-process. The log keeps the
// equivalent command lines.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorNdkManageTask.h"
#include "QuorNdkRequestCheck.h"
#include "ShellCommand.h"

namespace {

const char kSrc[] = "QuorNdk/src/QuorNdkManageTaskUpgrade";
const char kArmDir[] = "/Velmar/Upgrade/ARM/";
const char kMcuDir[] = "/Velmar/Upgrade/MCU/";
const char kInstallScript[] = "Install_upgrade_atmel";
const char kStopVelmard[] = "/etc/init.d/velmard update-stop";
const char kStartVelmard[] = "/etc/init.d/velmard update-start";

using BoardDir = char[BoardPath::kMaxRoot + 64];

// The two error forms of the log: steps up to the unpacking say "error!",
// later ones "error !".
enum Step { EARLY_STEP, LATE_STEP };

void LogOutcome(const char* commandLine, bool ok, Step step)
{
    if (ok)
        LightLogExt(20000, 1, kSrc, __LINE__, "system <%s> OK.", commandLine);
    else if (step == EARLY_STEP)
        LightLogExt(40000, 1, kSrc, __LINE__, "######system <%s> error!", commandLine);
    else
        LightLogExt(40000, 1, kSrc, __LINE__, "######system <%s> error !", commandLine);
}

bool RunShell(const char* command, Step step)
{
    bool ok = ShellCommand().Run(command) == 0;
    LogOutcome(command, ok, step);
    return ok;
}

bool RunProgram(const char* const* argv, const char* workDir, const char* commandLine, Step step)
{
    bool ok = ShellCommand().RunProgram(argv, workDir) == 0;
    LogOutcome(commandLine, ok, step);
    return ok;
}

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    return type == FTW_DP ? rmdir(path) : unlink(path);
}

// Empties a directory (the board path dir, ending in '/'), never following
// links out of it: "rm -fr <dir>*" in-process.
bool EmptyDirectory(const char* dir)
{
    BoardDir resolved;
    if (dir[0] != '/' || strcmp(dir, "/") == 0 || BoardPath::Resolve(dir, resolved) != 0)
        return false;
    DIR* listing = opendir(resolved);
    if (listing == nullptr)
        return errno == ENOENT;
    bool ok = true;
    while (struct dirent* entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        char path[PATH_MAX];
        int n = snprintf(path, sizeof(path), "%s%s", resolved, entry->d_name);
        ok = n > 0 && static_cast<size_t>(n) < sizeof(path) &&
             nftw(path, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0 && ok;
    }
    closedir(listing);
    return ok;
}

bool EmptyUpgradeDirectory(const char* dir)
{
    BoardDir resolved;
    char commandLine[sizeof(resolved) + 16];
    BoardPath::Resolve(dir, resolved);
    snprintf(commandLine, sizeof(commandLine), "rm -fr %s*", resolved);
    bool ok = EmptyDirectory(dir);
    LogOutcome(commandLine, ok, LATE_STEP);
    return ok;
}

// The archive and the member path of its install script.
struct Archive {
    BoardDir armDir;                                   // resolved, ends in '/'
    char path[sizeof(BoardDir) + 512];                 // armDir + file
    char script[512 + sizeof(kInstallScript) + 4];     // "<name>/Install_upgrade_atmel"
    char localScript[sizeof(script) + 2];              // "./<name>/Install_upgrade_atmel"
};

bool DescribeArchive(const T_QuorVersionUpgradeReq& request, Archive* a)
{
    if (BoardPath::Resolve(kArmDir, a->armDir) != 0)
        return false;
    int n1 = snprintf(a->path, sizeof(a->path), "%s%s", a->armDir, request.cVersionFile);
    int n2 = snprintf(a->script, sizeof(a->script), "%s/%s", request.cVersionName, kInstallScript);
    int n3 = snprintf(a->localScript, sizeof(a->localScript), "./%s", a->script);
    return n1 > 0 && (size_t)n1 < sizeof(a->path) && n2 > 0 && (size_t)n2 < sizeof(a->script) && n3 > 0 &&
           (size_t)n3 < sizeof(a->localScript);
}

} // namespace

bool CQuorNdkManageTask::IsAcceptable(const T_QuorVersionUpgradeReq& request, uint32_t remoteAddr)
{
    if (!CQuorNdkRequestCheck::IsLoopbackSender(remoteAddr)) {
        LightLogExt(40000, 1, kSrc, __LINE__,
                    "###### Upgrade request from <%u.%u.%u.%u> outside this board is dropped.", remoteAddr >> 24,
                    (remoteAddr >> 16) & 0xFF, (remoteAddr >> 8) & 0xFF, remoteAddr & 0xFF);
        return false;
    }
    BoardDir armDir;
    if (!CQuorNdkRequestCheck::IsSafeName(request.cVersionFile) ||
        !CQuorNdkRequestCheck::IsSafeName(request.cVersionName) || BoardPath::Resolve(kArmDir, armDir) != 0 ||
        !CQuorNdkRequestCheck::IsRegularFileIn(armDir, request.cVersionFile)) {
        LightLogExt(40000, 1, kSrc, __LINE__,
                    "###### Upgrade request refused: VersionName <%.64s> or VersionFile <%.64s> is not a usable name "
                    "of an archive in <%s>.",
                    request.cVersionName, request.cVersionFile, kArmDir);
        return false;
    }
    return true;
}

void CQuorNdkManageTask::StartVelmardAgain()
{
    LightLogExt(30000, 1, kSrc, __LINE__, "The upgrade failed, velmard is started again.");
    RunShell(kStartVelmard, LATE_STEP);
}

int CQuorNdkManageTask::DoARMVersionUpgrade(const T_QuorVersionUpgradeReq& request)
{
    Archive a;
    if (!DescribeArchive(request, &a))
        return -2;
    char commandLine[sizeof(a.path) + sizeof(a.armDir) + sizeof(a.script) + 32];

    // The archive must hold the install script before velmard is touched.
    snprintf(commandLine, sizeof(commandLine), "tar -tzf %s %s", a.path, a.script);
    const char* const listArgv[] = {"tar", "-t", "-z", "-f", a.path, a.script, nullptr};
    if (!RunProgram(listArgv, nullptr, commandLine, EARLY_STEP))
        return -2;

    LightLogExt(20000, 1, kSrc, __LINE__, "update ARM...");
    sleep(2);
    if (!RunShell(kStopVelmard, EARLY_STEP))
        return -2;

    snprintf(commandLine, sizeof(commandLine), "tar xvzfm %s -C %s", a.path, a.armDir);
    const char* const tarArgv[] = {"tar", "-x", "-v", "-z", "-f", a.path, "-m", "-C", a.armDir, nullptr};
    bool ok = RunProgram(tarArgv, nullptr, commandLine, EARLY_STEP);

    if (ok) {
        sleep(1);
        snprintf(commandLine, sizeof(commandLine), "cd %s && %s", a.armDir, a.localScript);
        const char* const scriptArgv[] = {a.localScript, nullptr};
        ok = RunProgram(scriptArgv, a.armDir, commandLine, LATE_STEP);
    }
    if (ok) {
        sleep(1);
        ok = EmptyUpgradeDirectory(kArmDir) && EmptyUpgradeDirectory(kMcuDir);
    }
    if (!ok) {
        StartVelmardAgain();
        return -2;
    }
    LightLogExt(20000, 1, kSrc, __LINE__, "ARM VersionUpgrade Finish!");
    return RunShell(kStartVelmard, LATE_STEP) ? 0 : -2;
}
